// How a step of the run ends when it cannot go on: the value that travels
// back to the driver, which alone writes the message and picks the status.
#pragma once

#include <string>

namespace kelm {

/// Exit statuses, one per class of failure.
enum Status : int {
  STATUS_OK = 0,
  STATUS_USAGE = 1,     // bad command line, key file cannot be loaded
  STATUS_RESOURCE = 2,  // out of memory, empty input
  STATUS_FILE = 3,      // input or output cannot be used, overwrite declined
  STATUS_KEY_SIZE = 4,  // key length unusable
};

/// A failure on its way back to the driver: the exit status and the exact
/// text for standard error (empty when nothing is to be said).
struct Failure {
  int status;
  std::string message;
  /// Said even when an interrupt ended the run, which otherwise says
  /// nothing: the output may hold more than a correct beginning.
  bool outlives_interrupt = false;
};

}  // namespace kelm
