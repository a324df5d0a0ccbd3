// The kelm command: arguments in, files processed, exit status out.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>

#include "console.h"
#include "file_io.h"

namespace kelm {

/// The three console streams a run talks to.
struct Console {
  TextIn& in;    // the answer to the overwrite question
  TextOut& out;  // key-size and progress lines
  TextOut& err;  // the overwrite question and error messages
};

/// Source of the calendar time in seconds; its low 8 bits seed an encryption.
using Clock = std::function<std::time_t()>;

/// Runs one kelm command. `args` are the words after the program name:
/// mode, input file, output file, key file. Returns the exit status; every
/// failure has written its message to `console.err` by then. The run's
/// reads and writes of file data go through `files`.
int run(std::span<const std::string> args, Console console, const Clock& clock,
        FileAccess& files = system_files());

/// The percent a progress line shows: position / payload * 100 worked out in
/// double precision, truncated, then taken modulo 2^16 (an input that grew
/// can take it far past 100). 0 for an empty payload.
std::uint16_t shown_percent(std::uint64_t position, std::uint64_t payload);

/// Writes the message for running out of memory, without needing any.
/// Returns the exit status that goes with it.
int report_no_memory(TextOut& err);

}  // namespace kelm
