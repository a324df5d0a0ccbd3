// The one extra thread a stream may run beside the calling thread.
#pragma once

#include <functional>
#include <thread>

namespace kelm {

/// A second thread that runs `body` to its end; joined when destroyed.
class HelperThread {
 public:
  /// Starts `body`; throws std::system_error when no thread can be had.
  explicit HelperThread(std::function<void()> body);
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;
  ~HelperThread();

  /// Waits for `body` to end; does nothing the second time.
  void join();

 private:
  std::thread thread_;
};

}  // namespace kelm
