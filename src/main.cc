#include <unistd.h>

#include <csignal>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "console.h"
#include "driver.h"
#include "file_io.h"
#include "kelm.h"

int main(int argc, char** argv) {
  if (!kelm::ensure_standard_descriptors()) return kelm::STATUS_FILE;
  // Progress is for the eye only: a reader that went away must not end the
  // run half done. A write past a file-size limit fails like any other
  // failed write, with its message, instead of killing the process.
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);
  kelm::DescriptorIn in(STDIN_FILENO);
  kelm::DescriptorOut out(STDOUT_FILENO);
  kelm::DescriptorOut err(STDERR_FILENO);
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return kelm::run(args, {in, out, err}, [] { return std::time(nullptr); });
  } catch (const std::bad_alloc&) {
    return kelm::report_no_memory(err);
  }
}
