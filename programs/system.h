// The command's calls that differ from one operating system to another:
// files and their identity, the console, interrupts and the program's
// arguments. system_posix.cc and system_windows.cc each implement all of
// it; no other source of the command includes an operating system's header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

/// Owns one open file descriptor and closes it when it goes out of scope,
/// where the outcome no longer matters; release() hands it to a close whose
/// outcome does.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  /// Closes the descriptor, if open, ignoring the outcome.
  void reset() noexcept;

 private:
  int fd_ = -1;
};

// ---- Files ----

/// What a name or a descriptor leads to.
enum class FileKind { kRegular, kDirectory, kFifo, kSocket, kDevice, kOther };

/// A file's identity and the little else kelm asks of it.
struct FileInfo {
  std::uint64_t device = 0;  // the device, or the volume's serial number
  std::uint64_t index = 0;   // the inode, or the file index
  FileKind kind = FileKind::kOther;
  std::uint64_t size = 0;
  /// Read, write and execute bits for owner, group and others, where the
  /// system has them.
  unsigned permissions = 0;
};

/// True when both describe the same file: same device and same index, never
/// a comparison of names.
inline bool same_file(const FileInfo& a, const FileInfo& b) {
  return a.device == b.device && a.index == b.index;
}

/// What descriptor `fd` is open on; nothing if it is not open.
std::optional<FileInfo> file_info(int fd);

/// What `name` leads to, following symbolic links; nothing if it leads
/// nowhere.
std::optional<FileInfo> path_info(const std::string& name);

/// Opens `name` for reading if it is a regular file, a FIFO or a socket,
/// waiting for a FIFO's writer as any reader does; anything else (a folder,
/// a device) is turned away without waiting. Fills `info` from the open
/// descriptor.
std::optional<UniqueFd> open_input_file(const std::string& name, FileInfo& info);

/// A descriptor of its own on the same file as `fd` (a standard stream), so
/// that closing it leaves the stream alone; not open on failure.
UniqueFd duplicate_descriptor(int fd);

/// How an output is opened: an existing file as it is, or a new one that
/// must not exist yet.
enum class Create { kNo, kNew };

/// Opens `name` for writing, without creating or emptying it, or creates it
/// exclusively (nothing is followed) with `permissions` less the umask.
/// Never waits, even on a FIFO without a reader. Not open on failure.
UniqueFd open_output_file(const std::string& name, Create create, unsigned permissions);

/// Opens the FIFO `name` for writing, waiting for its reader as any writer
/// does, if it is still the file `expected`; not open otherwise, and then
/// without waiting at all.
UniqueFd open_fifo_for_writing(const std::string& name, const FileInfo& expected);

/// Where the file position of `fd` stands, or 0 where it has none.
std::uint64_t file_position(int fd);

/// Empties the open file `fd`; false if the system refused.
bool empty_file(int fd);

/// Removes the name `name` if it still names `file` itself (a link there is
/// not followed).
void remove_if_same(const std::string& name, const FileInfo& file);

/// A hint that `fd` will be read from start to end; nothing depends on it.
void advise_sequential(int fd);

/// A hint that `fd`, if a pipe, may hold a megabyte, so that the program
/// at its other end is woken once per megabyte rather than per 64 KiB;
/// nothing depends on it.
void widen_pipe(int fd);

/// Closes a descriptor; false if the system reported an error (for an
/// output, this can be the first sign of a failed write). The descriptor is
/// gone either way.
bool close_descriptor(int fd);

inline void UniqueFd::reset() noexcept {
  if (fd_ >= 0) (void)close_descriptor(release());
}

// ---- The console and the process ----

/// The standard streams, as descriptors.
inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

/// Prepares the process before anything else: standard streams that are
/// closed are opened on the null device (so no file opened later takes
/// their place), console text goes out byte for byte, a reader of the
/// progress display that went away or a file-size limit ends nothing, and
/// no core dump is ever written (one could hold the key). False if a
/// standard stream could not be filled.
bool prepare_process();

/// Whether standard stream `fd` (0, 1 or 2) was closed when kelm started,
/// before prepare_process() put the null device in its place: a closed
/// stream names no file, so "-" cannot be read from or written to it.
bool closed_at_start(int fd);

/// The program's arguments after its name, in UTF-8.
std::vector<std::string> program_arguments(int argc, char** argv);

/// Writes all of `text` to standard output or error, retrying where the
/// system takes part of it. A console that has gone away loses it quietly.
void write_console(int fd, std::string_view text);

/// Whether `fd` is a terminal (a console).
bool is_terminal(int fd);

/// The controlling terminal (the console), open for reading; not open
/// where there is none.
UniqueFd open_terminal();

/// The next byte of standard input; nothing at its end, when it cannot be
/// read, or once an interrupt has arrived.
std::optional<char> read_console_byte(int fd);

// ---- Interrupts ----

/// Catches Ctrl-C and every other request to stop that can be caught (each
/// signal sent from outside whose default action ends the process: SIGINT,
/// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGXCPU and the like;
/// Ctrl-Break, a closed console), so that a run stops at its next round,
/// cuts its output back and wipes its secrets before it ends. A signal
/// ignored when kelm started stays ignored. The handler records the
/// request and ends every wait of any thread: for the answer to the
/// question, for a FIFO's other end at its open, and on the descriptors
/// this interface opened or duplicated that may wait (pipes, FIFOs and
/// sockets, standard output and error among them), where from then on a
/// read ends at once as at the end of a file and a write fails.
void catch_interrupts();

/// The interrupt that asked the run to stop, as a signal number, or 0.
int interrupt_received();

/// Ends the process the way `signal` would have ended it, so that the
/// shell or script that started kelm sees an interrupted run.
[[noreturn]] void end_by_interrupt(int signal);

/// Makes the calling thread, a worker of the library's, one that an
/// interrupt wakes from any wait (`starting`), or forgets it just before it
/// ends.
void wake_on_interrupt(bool starting);

}  // namespace kelm
