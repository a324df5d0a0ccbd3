// Everything the command says: one function per failure, each with its
// exit status and exact text, the key-size lines, and the progress line.
// The driver alone writes them.
#pragma once

#include <cstdint>
#include <string>

#include "console.h"

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

Failure wrong_argument_count();
Failure unknown_mode();
Failure cannot_open_input(const std::string& name);
Failure cannot_read_input(const std::string& name);
Failure input_is_empty();
Failure cannot_open_output(const std::string& name);
Failure cannot_write_output(const std::string& name);
Failure output_is_source(const std::string& name);
Failure output_is_console(const std::string& name);
Failure output_is_terminal(const std::string& name);
/// The text of `kelm --help`, and of `kelm --version`.
const char* help_text();
const char* version_text();

/// The question before an existing output is replaced.
void ask_overwrite(TextOut& err, const std::string& name);
/// The overwrite question answered with anything but "Y": nothing more said.
Failure overwrite_declined();
Failure cannot_load_key(const std::string& name);
Failure key_too_small();
Failure key_not_power_of_two();
Failure key_too_large();
Failure key_memory_ran_out(std::uint64_t length);
Failure memory_ran_out();
/// A run that an interrupt stopped: nothing is said, the caller learns of
/// the signal itself.
Failure stopped();

/// Writes the message for running out of memory, without needing any.
/// Returns the exit status that goes with it.
int report_no_memory(TextOut& err);

/// The key-size lines for a key file of `length` bytes: its power of two,
/// and where the length is none, the length itself.
void write_key_size(TextOut& out, std::uint64_t length);

/// The progress line, redrawn in place after each chunk and ended by the
/// final line, on whichever stream the run's text goes to. A message on the
/// same stream while the line is drawn starts on a line of its own.
class ProgressLine {
 public:
  explicit ProgressLine(TextOut& out) : out_(&out) {}

  /// Where the key-size lines and the progress line go.
  TextOut& text() { return *out_; }
  /// Sends the text to `out` from now on.
  void move_to(TextOut& out) { out_ = &out; }

  /// Draws the line for `position` of `total` bytes; with no length known
  /// in advance (UINT64_MAX), the position alone.
  void draw(std::uint64_t position, std::uint64_t total);
  /// Draws the final line and ends it.
  void finish(std::uint64_t position, std::uint64_t total);
  /// Ends a line still drawn on `err`, where a message is about to go.
  void end_before_message(TextOut& err);

 private:
  TextOut* out_;
  bool open_ = false;  // drawn, and not yet ended by a line end
};

}  // namespace kelm
