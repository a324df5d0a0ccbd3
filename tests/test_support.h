// Helpers shared by the tests: a scratch folder, whole-file I/O and running
// the kelm binary as a separate process.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console.h"
#include "file_io.h"
#include "secure_memory.h"

namespace kelm::testing {

using Bytes = std::vector<std::uint8_t>;

/// A fresh folder per test, removed with everything in it afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  /// Path of `name` inside the folder.
  std::string path(const std::string& name) const;

  std::filesystem::path dir_;
};

void write_file(const std::string& path, const Bytes& bytes);
void write_file(const std::string& path, const std::string& text);
/// The file's bytes, or nothing if there is no regular file at `path`.
std::optional<Bytes> read_file(const std::string& path);
/// `length` pseudo-random bytes, the same for the same `seed`.
Bytes random_bytes(std::size_t length, std::uint32_t seed);
/// `length` bytes of a repeating, position-dependent pattern.
Bytes pattern(std::size_t length, std::uint8_t salt = 0);

/// Console text out, kept in a string.
class StringOut : public TextOut {
 public:
  /// Everything flushed so far.
  const std::string& text() const { return text_; }

 protected:
  void deliver(std::string_view text) override { text_.append(text); }

 private:
  std::string text_;
};

/// Console text in, from a string.
class StringIn : public TextIn {
 public:
  explicit StringIn(std::string text = "") : text_(std::move(text)) {}
  std::optional<char> next() override {
    if (at_ == text_.size()) return std::nullopt;
    return text_[at_++];
  }

 private:
  std::string text_;
  std::size_t at_ = 0;
};

/// The system's file calls, with faults planted at chosen calls: by number,
/// by kind and file, or at a byte of a file.
class FaultyFiles : public FileAccess {
 public:
  /// The kinds of call, and how a call a fault meets goes wrong.
  enum class Call { kRead, kWrite, kTruncate, kClose };
  enum class Fault {
    kFail,           // an error: ENOSPC for a write, else EIO
    kEmpty,          // a read at end of file, a write that takes nothing
    kShort,          // half the bytes (at least one); the call after it goes on
    kShortThenFail,  // half the bytes, and the call after it fails (a size limit)
    kInterrupt,      // EINTR, as the arrival of a signal makes it; the call after it goes on
    kThrow,          // std::bad_alloc, as an exhausted allocator would
    kHook,           // runs the hook given to plant(), then the call as usual
  };
  /// Which calls a fault meets: those of `kind` on the file at `path` (any
  /// kind, any file, when unset), counted from 0 among themselves; the
  /// `n`-th (all, when unset), or with `onwards` every one from the `n`-th on.
  struct Calls {
    std::optional<Call> kind{};
    std::string path{};
    std::optional<std::size_t> n{};
    bool onwards = false;
    /// Instead, every read or write that reaches this byte (offsets count
    /// from the start of each file): one that begins before it takes the
    /// bytes before it, one that begins there or later meets the fault. So
    /// the input ends there (kEmpty), or its device fails there (kFail), or
    /// the output's disk is full there (kFail).
    std::optional<std::uint64_t> from{};
    /// Holds a call met, if it reads or writes at a given place, before its
    /// fault until the other worker reaches a call of the same kind (for a
    /// write, reaching_write() counts), so that the fault meets both workers
    /// mid-job on any machine; a tenth of a second at most, for a worker
    /// with no such call left.
    bool held = false;
  };
  /// Makes the calls `calls` names go wrong as `fault` says; of two faults
  /// that meet one call, the one planted first acts first.
  void plant(Calls calls, Fault fault, std::function<void()> hook = nullptr);
  /// The calling worker is about to write, before it waits for the file: for
  /// a stream's stop hook, which each write asks first.
  void reaching_write();
  /// Calls made so far, and the kind and file (its path, from the
  /// descriptor at the time of the call) of each.
  std::size_t calls() const { return log_.size(); }
  std::pair<Call, std::string> call(std::size_t n) const { return log_.at(n); }
  /// The most bytes one write at a given place has asked for.
  std::size_t largest_placed_write() const { return largest_placed_write_; }

  std::ptrdiff_t read(int fd, std::uint8_t* buffer, std::size_t length) override;
  std::ptrdiff_t read_at(int fd, std::uint8_t* buffer, std::size_t length,
                         std::uint64_t offset) override;
  std::ptrdiff_t write(int fd, const std::uint8_t* buffer, std::size_t length) override;
  std::ptrdiff_t write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                          std::uint64_t offset) override;
  int truncate(int fd, std::uint64_t length) override;
  /// As close, for the driver's checked closes.
  int close(int fd);

 private:
  struct Planted {
    Calls calls;
    Fault fault;
    std::function<void()> hook;
    std::size_t seen = 0;  // calls of its kind and file so far
  };
  /// The bytes a read or write asks for.
  struct Range {
    std::uint64_t offset;
    std::size_t length;
  };
  std::ptrdiff_t read_some(int fd, std::uint8_t* buffer, Range range, bool positional);
  std::ptrdiff_t write_some(int fd, const std::uint8_t* buffer, Range range, bool positional);
  /// Logs a call; the failure the faults that meet it make of it, if any,
  /// after cutting `range` short as they say.
  std::optional<Fault> next_call(Call kind, int fd, bool positional, Range* range);
  /// Whether `planted` meets this call, counting it if it is of its kind and file.
  bool meets(Planted& planted, Call kind, int fd, const Range* range);
  /// What `planted` does to a call it meets: cuts `range` short, or fails it.
  std::optional<Fault> act(Planted& planted, Range* range);
  /// The calling thread has reached a call of `kind`, which meets a call
  /// held for one; with `hold`, it waits for such a meeting itself.
  void meet(Call kind, std::unique_lock<std::mutex>& lock, bool hold);

  std::mutex mutex_;  // both workers read and write
  std::vector<std::pair<Call, std::string>> log_;
  std::size_t largest_placed_write_ = 0;
  std::vector<Planted> planted_;
  std::condition_variable meeting_;
  std::optional<std::thread::id> holder_;  // the thread held, while it waits
  Call held_kind_ = Call::kRead;
  bool met_ = false;
};

/// Pages that can be refused, and that must come back zeroed: the n-th
/// block asked for is refused; every block given back is checked.
class FaultyPages : public PageSource {
 public:
  void refuse(std::size_t n) { refuse_ = n; }
  std::size_t maps() const { return maps_; }
  /// Blocks given back while some byte was not zero.
  std::size_t dirty() const { return dirty_; }

  void* map(std::size_t size, bool populate) override;
  void unmap(void* block, std::size_t size) noexcept override;

 private:
  std::optional<std::size_t> refuse_;
  std::size_t maps_ = 0;
  std::size_t dirty_ = 0;
};

/// The flags of the mapping of this process (or of the process whose
/// `smaps` is named) that holds `address`, as /proc/self/smaps lists them
/// after "VmFlags:" ("lo": locked, "dd": left out of core dumps); nothing
/// where the system cannot tell.
std::optional<std::string> mapping_flags(const void* address,
                                         const std::string& smaps = "/proc/self/smaps");

/// A fresh, empty folder named `prefix` and a number in the system's
/// temporary folder, as the system names it; empty if none could be made.
std::filesystem::path make_folder(const std::string& prefix);

struct Outcome {
  // The exit status, or 128 plus the signal that ended it; on Windows the
  // whole exit code.
  int status = -1;
  /// The signal that ended it, or 0 when it exited (or on Windows), so that
  /// an exit with status 128 + n is not taken for a death by signal n.
  int signal = 0;
  bool core_dumped = false;
  std::string out;
  std::string err;
};

/// How to start the kelm binary, beyond its arguments.
struct Launch {
  /// Standard input: this text, or closed altogether when there is none.
  std::optional<std::string> input;
  /// Standard input from this file instead, when set.
  std::optional<std::string> input_file;
  /// Standard output into this file instead of a capture, when set.
  std::optional<std::string> output_file;
  /// Standard output into a pipe whose reading end is closed before kelm starts.
  bool output_to_closed_pipe = false;
  /// Standard input from a pipe that gets `input` (at most 64 KiB) and is
  /// then held open, without another byte, until kelm has ended.
  bool input_held = false;
  /// Standard input from a pipe that a thread of the tests fills with
  /// `input`, of any length, then closes; on POSIX only.
  bool input_piped = false;
  /// Standard output into a pipe that a thread of the tests reads to its
  /// end, into `out`; on POSIX only.
  bool output_piped = false;
  /// Standard output into a pipe that nobody reads but that stays open, and
  /// takes this many bytes (at most 4096) before a write to it waits.
  std::optional<std::size_t> output_room;
  /// Largest file kelm may write, in bytes (RLIMIT_FSIZE), when set.
  std::optional<std::uint64_t> file_size_limit;
  /// When set, kelm's standard input is a pipe: once the overwrite question
  /// has appeared this runs, and only then is `input` written as the answer.
  std::function<void()> before_answer;
  /// Runs as soon as kelm has started, with its process id.
  std::function<void(pid_t)> while_running;
  /// Largest address space kelm may have, in bytes (RLIMIT_AS), when set.
  std::optional<std::uint64_t> address_space_limit;
  /// Lets kelm dump core wherever the system would (RLIMIT_CORE unlimited).
  bool core_dumps = false;
  /// Starts kelm with SIGINT, SIGTERM and SIGHUP ignored, as a shell starts
  /// a background job.
  bool interrupts_ignored = false;
  /// Runs in the child just before kelm's program replaces it; on POSIX only.
  std::function<void()> before_exec;
  /// Standard output into a pipe the tests read, and standard error into a
  /// second handle on that pipe, both taken into `out`; on Windows only.
  bool errors_into_output_pipe = false;
};

/// Waits up to `limit` for process `pid` to end, without reaping it; false
/// if it is still running.
bool wait_for_end(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(10));

/// Waits until every thread of process `pid` is asleep (waiting), or it has
/// ended; where the system cannot tell, a moment.
void wait_until_asleep(pid_t pid);

#ifdef _WIN32
/// Sends Ctrl-Break to the process group of `pid`, as kelm's are started;
/// false if the system refused.
bool send_ctrl_break(pid_t pid);

/// A named pipe of its own, "\\.\pipe\kelm-N", that serves `bytes` to the
/// first client and to no other, then ends as a server may: closing its end,
/// or waiting until all is read and disconnecting the client.
class PipeServer {
 public:
  enum class End { kClose, kDisconnect };
  PipeServer(Bytes bytes, End end);
  /// Waits for the serving to end; a client that never came is not waited for.
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::thread serving_;
};
#endif

/// The kelm binary the end-to-end tests run: $KELM_TEST_BINARY if set,
/// else the one built beside the tests.
std::string kelm_binary();

/// Runs the kelm binary with `args` in folder `cwd`. Standard input is the
/// text `input`, or closed altogether when there is none.
Outcome run_binary(const std::vector<std::string>& args, const std::string& cwd,
                   const std::optional<std::string>& input);

/// Runs the kelm binary with `args` in folder `cwd`, started as `launch` says.
Outcome run_binary(const std::vector<std::string>& args, const std::string& cwd,
                   const Launch& launch);

}  // namespace kelm::testing
