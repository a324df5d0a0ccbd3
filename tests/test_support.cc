#include "test_support.h"

#include "platform.h"
#include "system.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <io.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

namespace kelm::testing {

std::filesystem::path make_folder(const std::string& prefix) {
  std::random_device entropy;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int tries = 0; tries < 100; ++tries) {
    std::filesystem::path folder = base / (prefix + std::to_string(entropy()));
    std::error_code error;
    // False when the name is taken: another try with another name.
    if (std::filesystem::create_directory(folder, error)) {
      // The name the system gives an open file's path, so that paths compare.
      return std::filesystem::canonical(folder, error);
    }
  }
  return {};
}

void TempDirTest::SetUp() {
  dir_ = make_folder("kelm_test_");
  ASSERT_FALSE(dir_.empty());
}

void TempDirTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TempDirTest::path(const std::string& name) const { return (dir_ / name).string(); }

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << path;
}

void write_file(const std::string& path, const std::string& text) {
  write_file(path, Bytes(text.begin(), text.end()));
}

std::optional<Bytes> read_file(const std::string& path) {
  if (!std::filesystem::is_regular_file(path)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  // In one read: a file of tens of megabytes a byte at a time is slow
  // under a sanitizer.
  std::error_code error;
  Bytes bytes(static_cast<std::size_t>(std::filesystem::file_size(path, error)));
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

Bytes random_bytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

Bytes pattern(std::size_t length, std::uint8_t salt) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8) * 7 + salt) & 0xFF);
  }
  return bytes;
}

void FaultyFiles::plant(Calls calls, Fault fault, std::function<void()> hook) {
  planted_.push_back({.calls = std::move(calls), .fault = fault, .hook = std::move(hook)});
}

namespace {

/// The path of the file open on `fd`, or "" if the system cannot tell.
std::string path_of(int fd) {
#ifdef _WIN32
  wchar_t name[4096] = {};
  const DWORD length = ::GetFinalPathNameByHandleW(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)),
                                                   name, 4096, FILE_NAME_NORMALIZED);
  if (length == 0 || length >= 4096) return "";
  std::wstring_view wide(name, length);
  if (wide.starts_with(L"\\\\?\\")) wide.remove_prefix(4);
  return std::filesystem::path(wide).string();
#else
  char name[4096] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), name, sizeof name - 1);
  return std::string(name, length > 0 ? static_cast<std::size_t>(length) : 0);
#endif
}

/// The file position of `fd`, or 0 where it has none.
std::uint64_t position_of(int fd) {
#ifdef _WIN32
  const std::int64_t offset = ::_lseeki64(fd, 0, SEEK_CUR);
#else
  const off_t offset = ::lseek(fd, 0, SEEK_CUR);
#endif
  return offset < 0 ? 0 : static_cast<std::uint64_t>(offset);
}

/// Fails a call as `fault` says: with EINTR, or with `error`.
int fail(FaultyFiles::Fault fault, int error) {
  errno = fault == FaultyFiles::Fault::kInterrupt ? EINTR : error;
  return -1;
}

}  // namespace

void FaultyFiles::reaching_write() {
  std::unique_lock lock(mutex_);
  meet(Call::kWrite, lock, false);
}

void FaultyFiles::meet(Call kind, std::unique_lock<std::mutex>& lock, bool hold) {
  if (holder_ && *holder_ != std::this_thread::get_id() && held_kind_ == kind) {
    met_ = true;
    meeting_.notify_all();
  }
  if (!hold) return;
  holder_ = std::this_thread::get_id();
  held_kind_ = kind;
  met_ = false;
  meeting_.wait_for(lock, std::chrono::milliseconds(100), [&] { return met_; });
  holder_.reset();
}

bool FaultyFiles::meets(Planted& planted, Call kind, int fd, const Range* range) {
  const Calls& calls = planted.calls;
  if (calls.kind && *calls.kind != kind) return false;
  if (!calls.path.empty()) {
    const std::optional<FileInfo> named = path_info(calls.path);
    const std::optional<FileInfo> opened = file_info(fd);
    if (!named || !opened || !same_file(*named, *opened)) return false;
  }
  if (calls.from) return range && range->offset + range->length > *calls.from;
  const std::size_t n = planted.seen++;
  return !calls.n || n == *calls.n || (calls.onwards && n > *calls.n);
}

std::optional<FaultyFiles::Fault> FaultyFiles::act(Planted& planted, Range* range) {
  const std::optional<std::uint64_t> from = planted.calls.from;
  if (from && range->offset < *from) {
    range->length = static_cast<std::size_t>(*from - range->offset);
    return std::nullopt;
  }
  switch (planted.fault) {
    case Fault::kThrow: throw std::bad_alloc();
    case Fault::kHook: planted.hook(); return std::nullopt;
    case Fault::kShortThenFail:
      planted.calls.n = planted.seen;
      planted.fault = Fault::kFail;
      [[fallthrough]];
    case Fault::kShort:
      if (!range) return Fault::kFail;  // no bytes to take fewer of
      range->length = std::max<std::size_t>(range->length / 2, 1);
      return std::nullopt;
    default: return planted.fault;
  }
}

std::optional<FaultyFiles::Fault> FaultyFiles::next_call(Call kind, int fd, bool positional,
                                                         Range* range) {
  std::string name = path_of(fd);
  std::unique_lock lock(mutex_);
  log_.emplace_back(kind, std::move(name));
  if (kind == Call::kWrite && positional) {
    largest_placed_write_ = std::max(largest_placed_write_, range->length);
  }
  std::vector<Planted*> met;
  for (Planted& planted : planted_) {
    if (meets(planted, kind, fd, range)) met.push_back(&planted);
  }
  // A call in order is made in a turn the other worker waits for.
  const auto held = [](const Planted* planted) { return planted->calls.held; };
  meet(kind, lock, positional && std::any_of(met.begin(), met.end(), held));
  for (Planted* planted : met) {
    if (const std::optional<Fault> fault = act(*planted, range)) return fault;
  }
  return std::nullopt;
}

std::ptrdiff_t FaultyFiles::read(int fd, std::uint8_t* buffer, std::size_t length) {
  return read_some(fd, buffer, {position_of(fd), length}, false);
}

std::ptrdiff_t FaultyFiles::read_at(int fd, std::uint8_t* buffer, std::size_t length,
                                    std::uint64_t offset) {
  return read_some(fd, buffer, {offset, length}, true);
}

std::ptrdiff_t FaultyFiles::read_some(int fd, std::uint8_t* buffer, Range range, bool positional) {
  if (const std::optional<Fault> fault = next_call(Call::kRead, fd, positional, &range)) {
    return *fault == Fault::kEmpty ? 0 : fail(*fault, EIO);
  }
  return positional ? system_files().read_at(fd, buffer, range.length, range.offset)
                    : system_files().read(fd, buffer, range.length);
}

std::ptrdiff_t FaultyFiles::write(int fd, const std::uint8_t* buffer, std::size_t length) {
  return write_some(fd, buffer, {position_of(fd), length}, false);
}

std::ptrdiff_t FaultyFiles::write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                                     std::uint64_t offset) {
  return write_some(fd, buffer, {offset, length}, true);
}

std::ptrdiff_t FaultyFiles::write_some(int fd, const std::uint8_t* buffer, Range range,
                                       bool positional) {
  if (const std::optional<Fault> fault = next_call(Call::kWrite, fd, positional, &range)) {
    return *fault == Fault::kEmpty ? 0 : fail(*fault, ENOSPC);
  }
  return positional ? system_files().write_at(fd, buffer, range.length, range.offset)
                    : system_files().write(fd, buffer, range.length);
}

int FaultyFiles::truncate(int fd, std::uint64_t length) {
  if (const std::optional<Fault> fault = next_call(Call::kTruncate, fd, false, nullptr)) {
    return fail(*fault, EIO);
  }
  return system_files().truncate(fd, length);
}

int FaultyFiles::close(int fd) {
  // The descriptor goes whatever happens, as with the system's close on
  // Linux, even when a signal interrupts it.
  const std::optional<Fault> fault = next_call(Call::kClose, fd, false, nullptr);
  const int result = close_descriptor(fd) ? 0 : -1;
  return fault ? fail(*fault, EIO) : result;
}

void* FaultyPages::map(std::size_t size, bool populate) {
  if (refuse_ && *refuse_ == maps_++) return nullptr;
  if (!refuse_) ++maps_;
  return system_pages().map(size, populate);
}

void FaultyPages::unmap(void* block, std::size_t size) noexcept {
  const auto* bytes = static_cast<const std::uint8_t*>(block);
  if (std::any_of(bytes, bytes + size, [](std::uint8_t b) { return b != 0; })) ++dirty_;
  system_pages().unmap(block, size);
}

std::optional<std::string> mapping_flags(const void* address, const std::string& smaps) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream list(smaps);
  bool inside = false;
  for (std::string line; std::getline(list, line);) {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char dash = 0;
    std::istringstream head(line);
    // A mapping's first line: its range, "start-end", in hexadecimal.
    if (head >> std::hex >> start >> dash >> end && dash == '-' &&
        line.find(':') > line.find(' ')) {
      inside = start <= at && at < end;
    } else if (inside && line.starts_with("VmFlags:")) {
      return line.substr(8);
    }
  }
  return std::nullopt;
}

namespace {

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

/// Waits until `path` holds `text`, for a few seconds at most.
bool wait_for_text(const std::string& path, const std::string& text) {
  for (int tries = 0; tries < 2000; ++tries) {
    if (slurp(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

#ifndef _WIN32
/// Words to start a program of the build with: an emulator's, when the
/// tests run a binary built for another processor.
std::vector<std::string> launcher() {
  std::vector<std::string> words;
#ifdef KELM_LAUNCHER
  std::istringstream list(KELM_LAUNCHER);
  for (std::string word; std::getline(list, word, ';');) {
    if (!word.empty()) words.push_back(word);
  }
#endif
  return words;
}

/// A pipe, its reading end kept by the tests and its writing end closed on
/// exec, that takes `room` more bytes (at most a page) before a write waits.
bool fill_pipe(int (&ends)[2], std::size_t room) {
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
#ifdef F_SETPIPE_SZ
  const int page = 4096;
  if (::fcntl(ends[1], F_SETPIPE_SZ, page) < 0) return false;
#else
  const int page = 65536;  // the usual width elsewhere
#endif
  const std::string filler(static_cast<std::size_t>(page) - std::min<std::size_t>(room, 4096), 'x');
  return ::write(ends[1], filler.data(), filler.size()) == static_cast<ssize_t>(filler.size());
}

/// In the child: moves `fd` to `target`, or ends the child.
void put_in_place(int fd, int target) {
  if (fd < 0 || ::dup2(fd, target) < 0) ::_exit(127);
  // Only the copy in place reaches kelm: with standard input closed, the
  // files opened for the others would take its place.
  if (fd != target) ::close(fd);
}

/// A thread that writes `text` into `fd`, then closes it unless `hold`.
std::thread feed(int fd, std::string text, bool hold) {
  (void)std::signal(SIGPIPE, SIG_IGN);  // kelm may stop reading
  return std::thread([fd, text = std::move(text), hold] {
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
    if (!hold) ::close(fd);
  });
}

/// A thread that reads `fd` to its end into `text`.
std::thread take(int fd, std::string& text) {
  return std::thread([fd, &text] {
    char block[65536];
    ssize_t got = 0;
    while ((got = ::read(fd, block, sizeof block)) > 0)
      text.append(block, static_cast<std::size_t>(got));
  });
}
#endif

}  // namespace

namespace {

/// The files a launched kelm's standard streams go through, in a folder of
/// their own, so that nothing the child writes can block on a full pipe.
struct StreamFiles {
  std::filesystem::path folder;
  std::string in;
  std::string out;
  std::string err;
};

std::optional<StreamFiles> stream_files(const Launch& launch) {
  StreamFiles files;
  files.folder = make_folder("kelm_io_");
  if (files.folder.empty()) return std::nullopt;
  files.in = launch.input_file.value_or((files.folder / "in").string());
  files.out = launch.output_file.value_or((files.folder / "out").string());
  files.err = (files.folder / "err").string();
  if (launch.input && !launch.input_file && !launch.before_answer && !launch.input_held &&
      !launch.input_piped)
    write_file(files.in, *launch.input);
  return files;
}

/// Takes what the ended child wrote to its standard streams into `outcome`,
/// and removes their folder.
void collect_streams(Outcome& outcome, const Launch& launch, const StreamFiles& files) {
  outcome.out = launch.output_file ? "" : slurp(files.out);
  outcome.err = slurp(files.err);
  std::error_code ignored;
  std::filesystem::remove_all(files.folder, ignored);
}

}  // namespace

std::string kelm_binary() {
  const char* chosen = std::getenv("KELM_TEST_BINARY");
  return chosen != nullptr && *chosen != '\0' ? chosen : KELM_BINARY;
}

#ifndef _WIN32
bool wait_for_end(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void wait_until_asleep(pid_t pid) {
#ifdef __linux__
  // Asleep (S) in every thread's status, three looks in a row a millisecond
  // apart: no thread is running, about to run, or faulting a page in.
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  const auto ended = [pid] {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
  };
  for (int calm = 0; calm < 3 && !ended();) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bool asleep = true;
    std::error_code error;
    // A thread may end while it is looked at: its file then reads as empty.
    for (std::filesystem::directory_iterator task(tasks, error), end; !error && task != end;
         task.increment(error)) {
      char text[512] = {};
      const int fd = ::open((task->path() / "stat").c_str(), O_RDONLY | O_CLOEXEC);
      const ssize_t got = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
      if (fd >= 0) ::close(fd);
      const std::string_view status(text, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
      const std::size_t name_end = status.rfind(')');
      asleep = asleep && name_end != std::string::npos && status.size() > name_end + 2 &&
               status[name_end + 2] == 'S';
    }
    calm = asleep && !error ? calm + 1 : 0;
  }
#else
  (void)pid;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
#endif
}

Outcome run_binary(const std::vector<std::string>& args, const std::string& cwd,
                   const Launch& launch) {
  const std::optional<StreamFiles> files = stream_files(launch);
  if (!files) return {};
  const std::string& in_path = files->in;
  const std::string& out_path = files->out;
  const std::string& err_path = files->err;

  std::vector<std::string> words = launcher();
  words.push_back(kelm_binary());
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int fed[2] = {-1, -1};
  int piped[2] = {-1, -1};
  int unread[2] = {-1, -1};
  const bool input_pipe = launch.input_held || launch.input_piped || launch.before_answer;
  if ((input_pipe && ::pipe2(fed, O_CLOEXEC) != 0) ||
      ((launch.output_to_closed_pipe || launch.output_piped) && ::pipe2(piped, O_CLOEXEC) != 0) ||
      (launch.output_room && !fill_pipe(unread, *launch.output_room))) {
    return {};
  }
  std::thread feeder;
  // Held, the writing end stays ours until kelm has ended; else the feeder's,
  // which waits for the question when the input is the answer.
  if (fed[1] >= 0 && !launch.before_answer) {
    const int end = launch.input_held ? fed[1] : std::exchange(fed[1], -1);
    feeder = feed(end, launch.input.value_or(""), launch.input_held);
  }
  std::string taken;
  std::thread taker;
  // Unless taken, nobody will ever read what kelm writes there.
  if (launch.output_piped) taker = take(piped[0], taken);
  if (launch.output_to_closed_pipe) ::close(std::exchange(piped[0], -1));

  const pid_t pid = ::fork();
  if (pid == 0) {
    if (fed[0] >= 0) {
      put_in_place(fed[0], 0);
    } else if (launch.input || launch.input_file) {
      put_in_place(::open(in_path.c_str(), O_RDONLY), 0);
    } else {
      ::close(0);
    }
    if (launch.output_room) {
      put_in_place(unread[1], 1);
    } else {
      put_in_place(
          piped[1] >= 0 ? piped[1] : ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600),
          1);
    }
    put_in_place(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (launch.file_size_limit) {
      const rlimit limit{*launch.file_size_limit, *launch.file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
    }
    if (launch.address_space_limit) {
      const rlimit limit{*launch.address_space_limit, *launch.address_space_limit};
      if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(127);
    }
    if (launch.core_dumps) {
      const rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
      if (::setrlimit(RLIMIT_CORE, &limit) != 0) ::_exit(127);
    }
    // The tests' own dispositions (and the runner's) must not leak into kelm.
    for (int signal = 1; signal < NSIG; ++signal) (void)std::signal(signal, SIG_DFL);
    if (launch.interrupts_ignored) {
      for (const int signal : {SIGINT, SIGTERM, SIGHUP}) (void)std::signal(signal, SIG_IGN);
    }
    if (launch.before_exec) launch.before_exec();
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  // kelm's copies are the last: the taker sees the end, the feeder kelm's.
  for (int* fd : {&fed[0], &piped[1]}) {
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  }
  if (launch.while_running && pid > 0) launch.while_running(pid);
  if (launch.before_answer) {
    if (pid > 0 && wait_for_text(err_path, "overwrite? (Y/n): ")) launch.before_answer();
    feeder = feed(std::exchange(fed[1], -1), launch.input.value_or(""), false);
  }

  Outcome outcome;
  int wait_status = 0;
  // A kelm that hangs (on a FIFO, say) fails the test instead of the suite.
  if (pid > 0 && !wait_for_end(pid, std::chrono::seconds(60))) {
    ADD_FAILURE() << "kelm did not end within a minute";
    ::kill(pid, SIGKILL);
  }
  if (pid > 0 && ::waitpid(pid, &wait_status, 0) == pid) {
    if (WIFEXITED(wait_status)) outcome.status = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) {
      outcome.status = 128 + WTERMSIG(wait_status);
      outcome.signal = WTERMSIG(wait_status);
      outcome.core_dumped = WCOREDUMP(wait_status);
    }
  }
  if (feeder.joinable()) feeder.join();
  if (taker.joinable()) taker.join();
  for (const int fd : {fed[1], piped[0], unread[0], unread[1]}) {
    if (fd >= 0) ::close(fd);
  }
  collect_streams(outcome, launch, *files);
  if (launch.output_piped) outcome.out = taken;
  return outcome;
}
#else

namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(size, 0)), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

/// `word` as CommandLineToArgvW reads it back: quoted where needed, with
/// backslashes doubled only before a quote.
std::wstring quoted(const std::wstring& word) {
  if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) return word;
  std::wstring text = L"\"";
  std::size_t slashes = 0;
  for (const wchar_t c : word) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    text.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    text.push_back(c);
  }
  text.append(2 * slashes, L'\\');
  return text + L"\"";
}

/// A file handle the child inherits.
HANDLE inherited_file(const std::string& name, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return ::CreateFileW(std::filesystem::path(widen(name)).c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

/// A pipe whose reading end, or writing end, stays with the tests; the other
/// end is inherited.
bool make_pipe(HANDLE& read, HANDLE& write, bool keep_read) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (!::CreatePipe(&read, &write, &inherit, 0)) return false;
  return ::SetHandleInformation(keep_read ? read : write, HANDLE_FLAG_INHERIT, 0) != 0;
}

void close_handle(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

bool wait_for_end(pid_t pid, std::chrono::seconds limit) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return true;  // gone already
  const DWORD waited = ::WaitForSingleObject(process, static_cast<DWORD>(limit.count()) * 1000);
  ::CloseHandle(process);
  return waited == WAIT_OBJECT_0;
}

void wait_until_asleep(pid_t) { std::this_thread::sleep_for(std::chrono::milliseconds(500)); }

bool send_ctrl_break(pid_t pid) {
  return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid)) != 0;
}

namespace {

/// Writes all of `bytes` to `handle`; false once the other end is gone.
bool write_all(HANDLE handle, const Bytes& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    DWORD put = 0;
    const auto length = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 65536));
    if (!::WriteFile(handle, bytes.data() + done, length, &put, nullptr)) return false;
    done += put;
  }
  return true;
}

}  // namespace

PipeServer::PipeServer(Bytes bytes, End end) {
  static std::atomic<int> count{0};
  name_ = "\\\\.\\pipe\\kelm-" + std::to_string(::GetCurrentProcessId()) + "-" +
          std::to_string(count++);
  // One instance: a second client finds the pipe busy, or gone.
  HANDLE pipe =
      ::CreateNamedPipeW(widen(name_).c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
  EXPECT_NE(pipe, INVALID_HANDLE_VALUE);
  serving_ = std::thread([pipe, bytes = std::move(bytes), end] {
    if (::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
      // Unread bytes are thrown away at a disconnection: all is read first.
      if (write_all(pipe, bytes) && end == End::kDisconnect && ::FlushFileBuffers(pipe)) {
        (void)::DisconnectNamedPipe(pipe);
      }
    }
    ::CloseHandle(pipe);
  });
}

PipeServer::~PipeServer() {
  // A connection of the tests' own ends a wait for one that never came.
  HANDLE client = ::CreateFileW(widen(name_).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (client != INVALID_HANDLE_VALUE) ::CloseHandle(client);
  serving_.join();
}

Outcome run_binary(const std::vector<std::string>& args, const std::string& cwd,
                   const Launch& launch) {
  const std::optional<StreamFiles> files = stream_files(launch);
  if (!files) return {};
  const std::string& in_path = files->in;
  const std::string& out_path = files->out;
  const std::string& err_path = files->err;

  // Started from any folder, so the binary's own path is made whole first.
  const std::wstring binary = std::filesystem::absolute(kelm_binary()).wstring();
  std::wstring command = quoted(binary);
  for (const std::string& arg : args) command += L" " + quoted(widen(arg));

  HANDLE in = nullptr;
  HANDLE answer = nullptr;
  HANDLE out = nullptr;
  HANDLE unread = nullptr;
  if (launch.before_answer) {
    if (!make_pipe(in, answer, false)) return {};
  } else if (launch.input || launch.input_file) {
    in = inherited_file(in_path, GENERIC_READ, OPEN_EXISTING);
  }
  HANDLE err = nullptr;
  if (launch.output_to_closed_pipe || launch.errors_into_output_pipe) {
    if (!make_pipe(unread, out, true)) return {};
    // Nobody will ever read what kelm writes there, unless it is taken.
    if (!launch.errors_into_output_pipe) close_handle(unread);
  } else {
    out = inherited_file(out_path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         OPEN_ALWAYS);
  }
  if (launch.errors_into_output_pipe) {
    // A handle of its own, as a shell's "2>&1" gives: not the same value.
    (void)::DuplicateHandle(::GetCurrentProcess(), out, ::GetCurrentProcess(), &err, 0, TRUE,
                            DUPLICATE_SAME_ACCESS);
  } else {
    err = inherited_file(err_path, GENERIC_WRITE, CREATE_ALWAYS);
  }
  std::string taken;
  std::thread taker;
  if (unread != nullptr) {
    taker = std::thread([unread, &taken] {
      char block[4096];
      DWORD got = 0;
      while (::ReadFile(unread, block, sizeof block, &got, nullptr) && got != 0)
        taken.append(block, got);
    });
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  // kelm shares the tests' console, made here if there is none (under ctest),
  // so that a console event can reach it.
  static const bool console = ::AllocConsole() != 0 || ::GetLastError() == ERROR_ACCESS_DENIED;
  (void)console;
  PROCESS_INFORMATION process{};
  // A group of its own: Ctrl-Break can be sent to kelm alone.
  const bool started = ::CreateProcessW(binary.c_str(), command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP, nullptr, widen(cwd).c_str(),
                                        &startup, &process) != 0;
  close_handle(in);
  close_handle(out);
  close_handle(err);
  Outcome outcome;
  if (started) {
    ::CloseHandle(process.hThread);
    const auto pid = static_cast<pid_t>(process.dwProcessId);
    if (launch.while_running) launch.while_running(pid);
    if (launch.before_answer) {
      if (wait_for_text(err_path, "overwrite? (Y/n): ")) launch.before_answer();
      const std::string text = launch.input.value_or("");
      DWORD written = 0;
      (void)::WriteFile(answer, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    close_handle(answer);
    if (::WaitForSingleObject(process.hProcess, 60'000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "kelm did not end within a minute";
      ::TerminateProcess(process.hProcess, 1);
      ::WaitForSingleObject(process.hProcess, INFINITE);
    }
    DWORD code = 0;
    if (::GetExitCodeProcess(process.hProcess, &code)) outcome.status = static_cast<int>(code);
    ::CloseHandle(process.hProcess);
  }
  close_handle(answer);
  if (taker.joinable()) taker.join();
  close_handle(unread);
  collect_streams(outcome, launch, *files);
  if (launch.errors_into_output_pipe) outcome.out = taken;
  return outcome;
}
#endif

Outcome run_binary(const std::vector<std::string>& args, const std::string& cwd,
                   const std::optional<std::string>& input) {
  Launch launch;
  launch.input = input;
  return run_binary(args, cwd, launch);
}

}  // namespace kelm::testing
