// The kelm command: arguments in, files processed, exit status out.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "console.h"
#include "kelm.h"
#include "messages.h"
#include "system.h"

namespace kelm {

/// The console a run talks to.
struct Console {
  TextIn& in;    // the answer to the overwrite question
  TextOut& out;  // key-size and progress lines, unless the data goes there
  TextOut& err;  // the overwrite question and error messages
  /// The answer when standard input carries the data: the terminal, or
  /// nothing where there is none.
  TextIn* terminal = nullptr;
};

/// Source of the calendar time in seconds; its low 8 bits seed an encryption.
using Clock = std::function<std::time_t()>;

/// The library's calls a run makes, and the news of an interrupt. The
/// program uses the library's own; tests stand in theirs to make any read,
/// write or allocation fail.
struct Services {
  std::function<kelm_status(int fd, kelm_key** key, std::uint64_t* length)> read_key =
      kelm_key_read_fd;
  std::function<kelm_status(const kelm_key* key, std::uint8_t seed, int in, int out,
                            const kelm_fd_options* options)>
      encrypt = kelm_encrypt_fd;
  std::function<kelm_status(const kelm_key* key, int in, int out, const kelm_fd_options* options)>
      decrypt = kelm_decrypt_fd;
  /// Closes an input or output whose close is checked.
  std::function<bool(int fd)> close = close_descriptor;
  /// The signal that asked the run to stop, or 0: asked before every round.
  std::function<int()> interrupted = [] { return 0; };
};

/// A key from the library, wiped and freed with its owner.
using KeyHandle = std::unique_ptr<kelm_key, decltype(&kelm_key_free)>;

/// Opens the key file `name` and reads the key through `services`, writing
/// the key-size lines to `out` where its length is known and usable as far
/// as memory goes; on failure returns the message and leaves `key` empty.
std::optional<Failure> load_key_file(const std::string& name, TextOut& out,
                                     const Services& services, KeyHandle& key);

/// Runs one kelm command. `args` are the words after the program name:
/// mode, input file, output file, key file. Returns the exit status; every
/// failure has written its message to `console.err` by then. A run stopped
/// by a signal returns 128 plus its number, as a shell reports it, with
/// nothing written past a correct prefix of its output.
int run(std::span<const std::string> args, Console console, const Clock& clock,
        const Services& services = {});

}  // namespace kelm
