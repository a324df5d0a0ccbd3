#include <cstdlib>
#include <ctime>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "console.h"
#include "driver.h"
#include "messages.h"
#include "system.h"

namespace {

/// Whether memory has run out: not even a block larger than any exception
/// kelm throws can be had.
bool memory_ran_out() {
  // Kept in a volatile so that the allocation is not optimised away.
  void* volatile probe = std::malloc(4096);
  const bool none = probe == nullptr;
  std::free(probe);
  return none;
}

/// Reached with no exception in flight and memory gone only when an
/// exception could not even be made: memory ran out before the first could
/// be thrown. Anything else (a thread left joinable, a pure virtual call) is
/// a fault in kelm, and aborts as usual instead of blaming memory.
[[noreturn]] void out_of_memory_at_start() {
  if (std::current_exception() != nullptr || !memory_ran_out()) std::abort();
  kelm::DescriptorOut err(kelm::kStandardError);
  kelm::report_no_memory(err);
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
