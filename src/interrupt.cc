#include "interrupt.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <atomic>

namespace kelm {

namespace {

std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch a lock-free flag");

extern "C" void record_interrupt(int signal) { received.store(signal); }

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

void catch_interrupts() {
  for (const int signal : kInterrupts) {
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = record_interrupt;
    ::sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read waiting for the answer to the question returns.
    action.sa_flags = 0;
    (void)::sigaction(signal, &action, nullptr);
  }
}

int interrupt_received() { return received.load(); }

void end_by_signal(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  ::sigemptyset(&action.sa_mask);
  (void)::sigaction(signal, &action, nullptr);
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, signal);
  (void)::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)::raise(signal);
  // Not reached: the default action of every interrupt ends the process.
  ::_exit(128 + signal);
}

void forbid_core_dumps() {
  const struct rlimit none {};
  (void)::setrlimit(RLIMIT_CORE, &none);
#if defined(__linux__)
  // Also covers a core handler that ignores the limit, and keeps other
  // processes of the same user from reading this one's memory.
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

}  // namespace kelm
