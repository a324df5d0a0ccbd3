#include <cstdlib>
#include <ctime>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "console.h"
#include "driver.h"
#include "failure.h"
#include "system.h"

namespace {

/// Reached with no exception in flight only when one could not even be
/// made: memory ran out before the first could be thrown. Anything else is
/// a fault in kelm, and aborts as usual.
[[noreturn]] void out_of_memory_at_start() {
  if (std::current_exception() != nullptr) std::abort();
  kelm::write_console(kelm::kStandardError, "Error: malloc buffer failed.\n");
  std::_Exit(kelm::STATUS_RESOURCE);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_terminate(out_of_memory_at_start);
  if (!kelm::prepare_process()) return kelm::STATUS_FILE;
  kelm::catch_interrupts();
  int status = kelm::STATUS_RESOURCE;
  {
    kelm::DescriptorIn in(kelm::kStandardInput);
    kelm::DescriptorOut out(kelm::kStandardOutput);
    kelm::DescriptorOut err(kelm::kStandardError);
    kelm::TerminalIn terminal;
    try {
      const std::vector<std::string> args = kelm::program_arguments(argc, argv);
      kelm::Services services;
      services.interrupted = kelm::interrupt_received;
      status = kelm::run(
          args, {in, out, err, &terminal}, [] { return std::time(nullptr); }, services);
    } catch (const std::bad_alloc&) {
      status = kelm::report_no_memory(err);
    }
  }
  // Everything is wiped by now; end the way the interrupt would have.
  if (const int signal = kelm::interrupt_received()) kelm::end_by_interrupt(signal);
  return status;
}
