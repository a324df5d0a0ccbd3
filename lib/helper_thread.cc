#include "helper_thread.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform.h"

namespace kelm {

HelperThread::HelperThread(std::function<void()> body, bool refused) : body_(std::move(body)) {
  void* stack = nullptr;
  const std::size_t size = thread_stack_size();
  if (size != 0) {
    const std::size_t guard = page_size();
    stack_ = SecretRegion(guard + size, SecretRegion::Lock::kYes);
    if (!stack_.valid())
      throw std::system_error(std::make_error_code(std::errc::not_enough_memory));
    guarded_ = guard_pages(stack_.data(), guard, true);
    stack = stack_.data() + guard;
  }
  if (const int error = refused ? EAGAIN : start_thread(body_, stack, size, thread_); error != 0) {
    lift_guard();
    throw std::system_error(error, std::generic_category());
  }
}

HelperThread::~HelperThread() {
  join();
  lift_guard();
}

void HelperThread::join() {
  if (joined_) return;
  joined_ = true;
  join_thread(thread_);
}

void HelperThread::lift_guard() noexcept {
  if (guarded_) guarded_ = !guard_pages(stack_.data(), page_size(), false);
}

}  // namespace kelm
