#include "helper_thread.h"

#include <utility>

namespace kelm {

HelperThread::HelperThread(std::function<void()> body) : thread_(std::move(body)) {}

HelperThread::~HelperThread() { join(); }

void HelperThread::join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace kelm
