#include "placement.h"

#include <system_error>
#include <utility>

namespace kelm {

Placement::Placement() {
  here = ::sched_getcpu();
  if (here < 0 || here >= CPU_SETSIZE || ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
      !CPU_ISSET(here, &allowed)) {
    here = -1;
  }
}

Helper::Helper(std::function<void()> body) : body_(std::move(body)) {
  pthread_attr_t attributes;
  if (const int error = ::pthread_attr_init(&attributes); error != 0) {
    throw std::system_error(error, std::generic_category());
  }
  const Placement placement;
  if (placement.known() && placement.several()) {
    allowed_ = placement.allowed;
    cpu_set_t elsewhere = allowed_;
    CPU_CLR(placement.here, &elsewhere);
    // Without it the thread starts where the system puts it.
    widen_ = ::pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere) == 0;
  }
  const int error = ::pthread_create(&thread_, &attributes, &Helper::enter, this);
  ::pthread_attr_destroy(&attributes);
  if (error != 0) throw std::system_error(error, std::generic_category());
}

void Helper::join() {
  if (joined_) return;
  joined_ = true;
  ::pthread_join(thread_, nullptr);
}

void* Helper::enter(void* self) {
  auto& helper = *static_cast<Helper*>(self);
  // Started elsewhere; from here on the scheduler may place it anywhere.
  if (helper.widen_) (void)::sched_setaffinity(0, sizeof helper.allowed_, &helper.allowed_);
  helper.body_();
  return nullptr;
}

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield");  // NOLINT(hicpp-no-assembler)
#endif
}

StayHere::StayHere() {
  const Placement placement;
  if (!placement.known()) return;
  allowed_ = placement.allowed;
  cpu_set_t only;
  CPU_ZERO(&only);
  CPU_SET(placement.here, &only);
  pinned_ = ::sched_setaffinity(0, sizeof only, &only) == 0;
}

StayHere::~StayHere() {
  if (pinned_) (void)::sched_setaffinity(0, sizeof allowed_, &allowed_);
}

}  // namespace kelm
