// The one extra thread a stream may run beside the calling thread.
#pragma once

#include <cstdint>
#include <functional>

#include "secure_memory.h"

namespace kelm {

/// A second thread that runs `body` to its end; joined when destroyed. On
/// POSIX systems its stack, where key bytes pass, is the library's own:
/// locked against swap where the system allows, left out of core dumps and
/// wiped once the thread has ended. Windows places a thread's stack itself.
class HelperThread {
 public:
  /// Starts `body`; throws std::system_error when no thread can be had, or
  /// when `refused` (for tests: as if the system had none to give).
  explicit HelperThread(std::function<void()> body, bool refused = false);
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;
  ~HelperThread();

  /// Waits for `body` to end; does nothing the second time.
  void join();

 private:
  /// Makes the guard page below the stack usable again, so it can be wiped.
  void lift_guard() noexcept;

  std::function<void()> body_;
  SecretRegion stack_;  // a guard page, then the stack; none where the system places it
  bool guarded_ = false;
  std::uintptr_t thread_ = 0;
  bool joined_ = false;
};

}  // namespace kelm
