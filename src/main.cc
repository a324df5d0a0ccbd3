#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "console.h"
#include "driver.h"
#include "failure.h"
#include "file_io.h"
#include "interrupt.h"

namespace {

/// Reached with no exception in flight only when one could not even be
/// made: memory ran out before the first could be thrown. Anything else is
/// a fault in kelm, and aborts as usual.
[[noreturn]] void out_of_memory_at_start() {
  if (std::current_exception() != nullptr) std::abort();
  static const char kMessage[] = "Error: malloc buffer failed.\n";
  (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  ::_exit(kelm::STATUS_RESOURCE);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_terminate(out_of_memory_at_start);
  kelm::forbid_core_dumps();
  if (!kelm::ensure_standard_descriptors()) return kelm::STATUS_FILE;
  // Progress is for the eye only: a reader that went away must not end the
  // run half done. A write past a file-size limit fails like any other
  // failed write, with its message, instead of killing the process.
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);
  kelm::catch_interrupts();
  int status = kelm::STATUS_RESOURCE;
  {
    kelm::DescriptorIn in(STDIN_FILENO);
    kelm::DescriptorOut out(STDOUT_FILENO);
    kelm::DescriptorOut err(STDERR_FILENO);
    try {
      const std::vector<std::string> args(argv + 1, argv + argc);
      kelm::Seams seams;
      seams.interrupted = kelm::interrupt_received;
      status = kelm::run(
          args, {in, out, err}, [] { return std::time(nullptr); }, seams);
    } catch (const std::bad_alloc&) {
      status = kelm::report_no_memory(err);
    }
  }
  // Everything is wiped by now; end the way the signal would have.
  if (const int signal = kelm::interrupt_received()) kelm::end_by_signal(signal);
  return status;
}
