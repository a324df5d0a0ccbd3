// The calls that differ from one operating system to another: files and
// their identity, the console, memory for secrets, interrupts and the
// program's arguments. system_posix.cc and system_windows.cc each implement
// all of it; no other source of kelm includes an operating system's header
// (the kernels include only their compiler's intrinsics headers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

class UniqueFd;

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

/// Closes a descriptor; false if the system reported an error. The
/// descriptor is gone either way.
bool close_descriptor(int fd);

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

// ---- Memory ----

/// The size of a page of memory.
std::size_t page_size();

/// `size` bytes (a whole number of pages) of private, zeroed memory, all put
/// in place at once when `populate`; nullptr when none can be had.
void* map_pages(std::size_t size, bool populate);

/// Gives back a block from map_pages().
void unmap_pages(void* block, std::size_t size) noexcept;

/// Keeps a block out of swap; false where the system's limit refuses.
bool lock_pages(void* block, std::size_t size);

/// Lets a locked block be swapped again.
void unlock_pages(void* block, std::size_t size) noexcept;

/// Leaves a block out of core dumps; false where the system cannot.
bool exclude_from_dumps(void* block, std::size_t size);

/// Overwrites `length` bytes at `data` with zeros in a way the optimiser
/// cannot drop, even when the memory is freed right afterwards.
void wipe_bytes(void* data, std::size_t length) noexcept;

/// Wipes a block from map_pages() as wipe_bytes() does, but skips pages
/// never put in place: they hold nothing, and a large block mostly unused
/// (a pipe's buffers) would otherwise be put in place just to be wiped.
void wipe_pages(void* block, std::size_t size) noexcept;

// ---- Threads and stacks ----
// Key bytes pass through the stack of either thread of a run. Those stacks
// are locked against swap, left out of core dumps and wiped like the rest.

/// Bytes of the calling thread's stack locked for a run: the deepest calls
/// of a run take under 10 KiB, and each page costs a fault at every start.
inline constexpr std::size_t kWorkingStackSize = std::size_t{64} * 1024;

/// A thread started by start_thread(), as the system names it.
using ThreadHandle = std::uintptr_t;

/// Bytes of stack to give a thread of kelm's, or 0 where the system places
/// a thread's stack itself.
std::size_t thread_stack_size();

/// Starts a thread that runs `body`, which must outlive it, on the `size`
/// bytes at `stack` (the system's own stack where thread_stack_size() is 0).
/// 0, or the system's error number.
int start_thread(std::function<void()>& body, void* stack, std::size_t size, ThreadHandle& thread);

/// Waits for a thread from start_thread() to end.
void join_thread(ThreadHandle thread) noexcept;

/// Makes a block of whole pages fault at any touch, so that a stack that
/// runs past its end stops there instead of overwriting what lies below;
/// or, with `guard` false, usable again. False where the system refused.
bool guard_pages(void* block, std::size_t size, bool guard) noexcept;

/// The part of the calling thread's stack that lock_working_stack() locked.
struct StackLock {
  void* low = nullptr;
  std::size_t size = 0;
  bool locked = false;
};

/// Puts kWorkingStackSize bytes of the calling thread's stack below the
/// caller in place, locks them against swap and leaves them out of core
/// dumps, as far as the system allows.
StackLock lock_working_stack();

/// Wipes kWorkingStackSize bytes of stack below the caller (the frames a
/// run left there), then lets the stack locked by `lock` be swapped again.
/// Called at the depth lock_working_stack() was.
void release_working_stack(const StackLock& lock) noexcept;

}  // namespace kelm
