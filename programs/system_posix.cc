// The command's system calls on POSIX systems. Linux-only extras (no core
// dumps even for a core handler, wider pipes, FIFOs pinned by a path
// descriptor) are best efforts behind KELM_LINUX_EXTRAS, absent elsewhere.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#if KELM_LINUX_EXTRAS
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "system.h"

namespace kelm {

/// Offsets travel as 64-bit counts; off_t must hold them on every system,
/// 32-bit ones included, or files past 2 GiB would fail or be misread.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

// ---- Waits that an interrupt ends ----
// A thread of kelm's may wait on a pipe, a FIFO or a socket (reading, writing,
// opening) for as long as the other end likes. The interrupt handler ends
// every such wait, whichever thread it runs on: it puts the reading end of
// a pipe whose writer is gone in place of each descriptor that may wait, so
// a call on it, made now or later, ends at once (a read at its end, a write
// failing); gives each FIFO being opened the partner it waits for; and sends
// the signal on to the other threads, so that a call already blocked
// returns.

namespace {

/// The first interrupt that arrived, or 0.
std::atomic<int> received{0};

/// Descriptors that may wait, as the handler reads them: -1 for a free slot.
constexpr std::size_t kWatchSlots = 8;
std::atomic<int> watched[kWatchSlots] = {-1, -1, -1, -1, -1, -1, -1, -1};
/// The FIFO being opened, by name, while an open of it may wait.
std::atomic<const char*> fifo_opening{nullptr};
/// The reading end of a pipe whose writing end is closed: reads end at
/// once, writes fail.
int dead_end = -1;
/// Standard output and error as they were before any interrupt, for the
/// one message an interrupted run still says; -1 where they are not watched.
int console_copies[3] = {-1, -1, -1};

/// kelm's threads, which the handler wakes: the calling thread and the helper.
constexpr std::size_t kThreads = 2;
pthread_t threads[kThreads];
std::atomic<bool> thread_known[kThreads] = {false, false};

/// Handlers running now, on any thread: a slot may be given up only once
/// none is, since one may still be about to use what the slot held.
std::atomic<int> handlers_running{0};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<const char*>::is_always_lock_free,
              "the handler may only touch lock-free atomics");

void wait_for_handlers() {
  while (handlers_running.load() != 0) ::sched_yield();
}

/// Watches `fd` if it is a pipe, a FIFO or a socket, the kinds a call may
/// wait on without end, or a terminal that is `console` text's. Best effort:
/// a descriptor not watched still ends a call at a signal delivered to its
/// thread, since the calls give up once an interrupt has come.
void watch_if_it_may_wait(int fd, bool console = false) {
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) return;
  const bool terminal = console && S_ISCHR(status.st_mode) && ::isatty(fd) == 1;
  if (!S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode) && !terminal) return;
  if (dead_end < 0) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    (void)::close(ends[1]);
    dead_end = ends[0];
  }
  // Kept before any interrupt can replace the stream.
  if (console) console_copies[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  for (auto& slot : watched) {
    int free = -1;
    if (!slot.compare_exchange_strong(free, fd)) continue;
    // An interrupt that came before the slot was seen ends the waits here.
    if (received.load() != 0) (void)::dup2(dead_end, fd);
    return;
  }
}

/// Stops watching `fd`, before it is closed and its number given to another file.
void unwatch(int fd) {
  bool found = false;
  for (auto& slot : watched) {
    int expected = fd;
    found = slot.compare_exchange_strong(expected, -1) || found;
  }
  if (found) wait_for_handlers();
}

/// Gives the FIFO `name` a partner, so that an open of it, in either
/// direction, waits no more. A FIFO opened for both reading and writing
/// never waits itself. Left open: the process is ending.
void end_fifo_wait(const char* name) {
  (void)::open(name, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

/// Marks the FIFO `name` as being opened by this thread, for the length of the open.
class FifoOpening {
 public:
  explicit FifoOpening(const char* name) {
    fifo_opening.store(name);
    if (received.load() != 0) end_fifo_wait(name);
  }
  FifoOpening(const FifoOpening&) = delete;
  FifoOpening& operator=(const FifoOpening&) = delete;
  ~FifoOpening() {
    fifo_opening.store(nullptr);
    wait_for_handlers();
  }
};

/// Ends every wait, from the handler: async-signal-safe calls only.
void end_every_wait(int signal) {
  for (auto& slot : watched) {
    const int fd = slot.load();
    if (fd >= 0 && dead_end >= 0) (void)::dup2(dead_end, fd);
  }
  if (const char* name = fifo_opening.load()) end_fifo_wait(name);
  const pthread_t self = ::pthread_self();
  for (std::size_t i = 0; i < kThreads; ++i) {
    if (thread_known[i].load() && ::pthread_equal(threads[i], self) == 0) {
      (void)::pthread_kill(threads[i], signal);
    }
  }
}

/// Makes the calling thread one the handler wakes, as `slot`.
void know_thread(std::size_t slot) {
  threads[slot] = ::pthread_self();
  thread_known[slot].store(true);
}

/// Forgets the calling thread, before it ends.
void forget_thread(std::size_t slot) {
  thread_known[slot].store(false);
  wait_for_handlers();
}

}  // namespace

// ---- Files ----

namespace {

FileInfo info_from(const struct stat& status) {
  FileInfo info;
  info.device = static_cast<std::uint64_t>(status.st_dev);
  info.index = static_cast<std::uint64_t>(status.st_ino);
  info.size = static_cast<std::uint64_t>(status.st_size);
  info.permissions = static_cast<unsigned>(status.st_mode & 0777);
  if (S_ISREG(status.st_mode)) {
    info.kind = FileKind::kRegular;
  } else if (S_ISDIR(status.st_mode)) {
    info.kind = FileKind::kDirectory;
  } else if (S_ISFIFO(status.st_mode)) {
    info.kind = FileKind::kFifo;
  } else if (S_ISSOCK(status.st_mode)) {
    info.kind = FileKind::kSocket;
  } else if (S_ISCHR(status.st_mode)) {
    info.kind = FileKind::kDevice;
  }
  return info;
}

/// Clears O_NONBLOCK, which only kept the open from waiting.
bool block_again(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

std::optional<FileInfo> file_info(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::nullopt;
  return info_from(status);
}

std::optional<FileInfo> path_info(const std::string& name) {
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0) return std::nullopt;
  return info_from(status);
}

namespace {

bool readable_kind(FileKind kind) {
  return kind == FileKind::kRegular || kind == FileKind::kFifo || kind == FileKind::kSocket;
}

}  // namespace

std::optional<UniqueFd> open_input_file(const std::string& name, FileInfo& info) {
  // A FIFO is waited for, as cat waits; anything else is opened without
  // waiting, and turned away just after unless it is a file or a pipe.
  const std::optional<FileInfo> named = path_info(name);
  const bool fifo = named && named->kind == FileKind::kFifo;
  UniqueFd fd;
  {
    std::optional<FifoOpening> opening;
    if (fifo) opening.emplace(name.c_str());
    fd = UniqueFd(::open(name.c_str(), O_RDONLY | (fifo ? 0 : O_NONBLOCK) | O_CLOEXEC | O_NOCTTY));
  }
  if (!fd.is_open()) return std::nullopt;
  watch_if_it_may_wait(fd.get());
  const std::optional<FileInfo> opened = file_info(fd.get());
  if (!opened || !readable_kind(opened->kind) || !block_again(fd.get())) return std::nullopt;
  info = *opened;
  return fd;
}

UniqueFd duplicate_descriptor(int fd) {
  UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  watch_if_it_may_wait(copy.get());
  return copy;
}

UniqueFd open_fifo_for_writing(const std::string& name, const FileInfo& expected) {
#if KELM_LINUX_EXTRAS
  // A path descriptor pins the very FIFO without opening it for data; the
  // open through it waits for a reader of that FIFO and no other.
  UniqueFd pinned(::open(name.c_str(), O_PATH | O_CLOEXEC));
  const std::optional<FileInfo> found = pinned.is_open() ? file_info(pinned.get()) : std::nullopt;
  const std::string through = "/proc/self/fd/" + std::to_string(pinned.get());
#else
  const std::optional<FileInfo> found = path_info(name);
  const std::string& through = name;
#endif
  if (!found || found->kind != FileKind::kFifo || !same_file(*found, expected)) return UniqueFd();
  UniqueFd fd;
  {
    const FifoOpening opening(through.c_str());
    fd = UniqueFd(::open(through.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
  }
  const std::optional<FileInfo> opened = fd.is_open() ? file_info(fd.get()) : std::nullopt;
  if (!opened || !same_file(*opened, expected)) return UniqueFd();
  watch_if_it_may_wait(fd.get());
  return fd;
}

UniqueFd open_output_file(const std::string& name, Create create, unsigned permissions) {
  const int creation = create == Create::kNew ? O_CREAT | O_EXCL : 0;
  UniqueFd fd(::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | creation,
                     static_cast<mode_t>(permissions & 0777)));
  if (fd.is_open() && !block_again(fd.get())) return UniqueFd();
  watch_if_it_may_wait(fd.get());
  return fd;
}

bool empty_file(int fd) { return ::ftruncate(fd, 0) == 0; }

void remove_if_same(const std::string& name, const FileInfo& file) {
  struct stat named {};
  if (::lstat(name.c_str(), &named) == 0 && same_file(info_from(named), file)) {
    (void)::unlink(name.c_str());
  }
}

void advise_sequential(int fd) { (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

void widen_pipe([[maybe_unused]] int fd) {
#if KELM_LINUX_EXTRAS
  // A megabyte is what any user may ask for by default; a pipe already
  // wider is left so.
  constexpr int kWidth = 1 << 20;
  const int width = ::fcntl(fd, F_GETPIPE_SZ);
  if (width >= 0 && width < kWidth) (void)::fcntl(fd, F_SETPIPE_SZ, kWidth);
#endif
}

std::uint64_t file_position(int fd) {
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  return at < 0 ? 0 : static_cast<std::uint64_t>(at);
}

bool close_descriptor(int fd) {
  unwatch(fd);
  // On Linux the descriptor is gone even when close reports an error, so it
  // must not be retried.
  return ::close(fd) == 0;
}

// ---- The console and the process ----

namespace {

bool closed_streams[3] = {false, false, false};

/// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed.
bool fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    closed_streams[fd] = true;
    // open returns the lowest free descriptor, which is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) return false;
  }
  return true;
}

void forbid_core_dumps() {
  const struct rlimit none {};
  (void)::setrlimit(RLIMIT_CORE, &none);
#if KELM_LINUX_EXTRAS
  // Also covers a core handler that ignores the limit.
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

}  // namespace

bool prepare_process() {
  forbid_core_dumps();
  if (!fill_standard_descriptors()) return false;
  // Progress is for the eye only: a reader that went away must not end the
  // run half done. A write past a file-size limit fails like any other
  // failed write, with its message, instead of killing the process.
  (void)::signal(SIGPIPE, SIG_IGN);
  (void)::signal(SIGXFSZ, SIG_IGN);
  return true;
}

bool closed_at_start(int fd) { return fd >= 0 && fd <= 2 && closed_streams[fd]; }

std::vector<std::string> program_arguments(int argc, char** argv) {
  return {argv + (argc > 0 ? 1 : 0), argv + argc};
}

namespace {

/// Where console text for `fd` goes once an interrupt has come: the stream
/// as it was, if it has room for it now. The message about an output not
/// cut back must not be lost, yet nothing may wait after an interrupt.
int console_after_interrupt(int fd) {
  if (fd != kStandardOutput && fd != kStandardError) return fd;
  if (console_copies[fd] < 0) return fd;
  pollfd room{console_copies[fd], POLLOUT, 0};
  return ::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0 ? console_copies[fd] : -1;
}

}  // namespace

void write_console(int fd, std::string_view text) {
  while (!text.empty()) {
    const int to = received.load() != 0 ? console_after_interrupt(fd) : fd;
    if (to < 0) return;
    const ssize_t done = ::write(to, text.data(), text.size());
    // A call a signal cut short goes on, unless the signal was an interrupt.
    if (done < 0 && errno == EINTR && received.load() == 0) continue;
    // Progress and messages are for the eye: a closed or full console
    // changes nothing about the run, so the rest is dropped.
    if (done <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(done));
  }
}

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

UniqueFd open_terminal() { return UniqueFd(::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY)); }

namespace {

/// Waits until `fd` has a byte or its end to give; false once an interrupt
/// has arrived. Signals are held back from the look at the flag until the
/// wait lets them in again, so one that comes just before the wait ends it
/// too, rather than going unseen until the answer comes.
bool wait_for_console(int fd) {
  sigset_t all;
  sigset_t before;
  ::sigfillset(&all);
  if (fd >= FD_SETSIZE || ::pthread_sigmask(SIG_BLOCK, &all, &before) != 0) {
    return interrupt_received() == 0;
  }
  bool ready = false;
  while (!ready && interrupt_received() == 0) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    const int found = ::pselect(fd + 1, &readable, nullptr, nullptr, nullptr, &before);
    // An error other than a signal is the read's to report.
    ready = found > 0 || (found < 0 && errno != EINTR);
  }
  (void)::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return ready;
}

}  // namespace

std::optional<char> read_console_byte(int fd) {
  char byte = 0;
  while (wait_for_console(fd)) {
    const ssize_t got = ::read(fd, &byte, 1);
    if (got == 1) return byte;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    break;
  }
  return std::nullopt;
}

// ---- Interrupts ----

namespace {

/// Records the first interrupt and ends every wait; a later one, or the same
/// one sent on to another thread, only ends the call it interrupts.
extern "C" void record_interrupt(int signal) {
  const int saved = errno;
  handlers_running.fetch_add(1);
  int none = 0;
  if (received.compare_exchange_strong(none, signal)) end_every_wait(signal);
  handlers_running.fetch_sub(1);
  errno = saved;
}

/// Every signal sent from outside whose default action ends the process.
/// Left out: SIGKILL and SIGSTOP, which cannot be caught; SIGPIPE and
/// SIGXFSZ, ignored from the start; and the signals of a fault in kelm
/// itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS), after
/// which running on is not safe.
constexpr int kInterrupts[] = {
    SIGINT,
    SIGTERM,
    SIGHUP,
    SIGQUIT,
    SIGUSR1,
    SIGUSR2,
    SIGALRM,
    SIGVTALRM,
    SIGPROF,
    SIGXCPU,
#ifdef __linux__
    // Elsewhere some of these are ignored by default.
    SIGIO,
    SIGSTKFLT,
    SIGPWR,
#endif
};

/// Catches `signal` if its action is still the default one: one ignored
/// when kelm started stays ignored, and one handled already stays so.
void catch_interrupt(int signal) {
  struct sigaction before {};
  if (::sigaction(signal, nullptr, &before) != 0) return;
  if ((before.sa_flags & SA_SIGINFO) != 0 || before.sa_handler != SIG_DFL) return;
  struct sigaction action {};
  action.sa_handler = record_interrupt;
  ::sigemptyset(&action.sa_mask);
  // No SA_RESTART: a read waiting for the answer to the question returns.
  action.sa_flags = 0;
  (void)::sigaction(signal, &action, nullptr);
}

}  // namespace

void catch_interrupts() {
  know_thread(0);
  // Progress and messages into a pipe nobody reads, or a terminal whose
  // output is stopped, could wait too.
  for (const int fd : {kStandardOutput, kStandardError}) watch_if_it_may_wait(fd, true);
  for (const int signal : kInterrupts) catch_interrupt(signal);
#ifdef __linux__
  // Real-time signals end a process too; those the C library keeps for
  // itself lie below SIGRTMIN.
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) catch_interrupt(signal);
#endif
}

int interrupt_received() { return received.load(); }

void end_by_interrupt(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  ::sigemptyset(&action.sa_mask);
  (void)::sigaction(signal, &action, nullptr);
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, signal);
  (void)::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)::raise(signal);
  // Not reached: the default action of every interrupt ends the process,
  // without a core dump, which prepare_process() forbade.
  ::_exit(128 + signal);
}

void wake_on_interrupt(bool starting) {
  if (starting) {
    know_thread(1);
  } else {
    forget_thread(1);
  }
}

}  // namespace kelm
