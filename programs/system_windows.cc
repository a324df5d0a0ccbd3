// The command's system calls on Windows. Files are opened with the wide API
// and handed to the library as C runtime descriptors. Names travel as UTF-8
// and are widened at the call.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "system.h"

namespace kelm {

namespace {

// ---- Names ----

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          size);
  }
  return wide;
}

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                          nullptr, nullptr);
  }
  return text;
}

/// The wide name to open: a long name is made absolute and given the
/// "\\?\" prefix, which lifts the 260-character limit.
std::wstring system_name(const std::string& name) {
  std::wstring wide = widen(name);
  if (wide.size() < MAX_PATH - 12 || wide.starts_with(L"\\\\")) return wide;
  const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  const DWORD written = ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (written == 0 || written >= size) return wide;
  full.resize(written);
  return full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

bool usable(HANDLE handle) { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }

/// A descriptor that owns `handle`, or -1 (and the handle closed).
int adopt(HANDLE handle, int flags) {
  if (!usable(handle)) return -1;
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) ::CloseHandle(handle);
  return fd;
}

/// The device that stands for the system's named pipes, whose identity is
/// their name: wider than any volume's 32-bit serial number.
constexpr std::uint64_t kPipeDevice = 0x4E50'4653'0000'0000;  // "NPFS"

/// The identity of the pipe named `name` ("\name" within the pipe
/// folder): its name, in upper case as the pipe folder compares names.
std::uint64_t pipe_index(std::wstring name) {
  if (!name.empty()) ::CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  std::uint64_t hash = 0xCBF2'9CE4'8422'2325;  // FNV-1a
  for (const wchar_t c : name) hash = (hash ^ static_cast<std::uint16_t>(c)) * 0x100'0000'01B3;
  return hash;
}

/// Fills the identity of the pipe open on `handle`, which has no file
/// index: every handle on one pipe, either end, must get the same one.
void identify_pipe(HANDLE handle, FileInfo& info) {
  // A pipe of the system's own pipe folder (one made by CreatePipe too) is
  // known by its name there.
  alignas(FILE_NAME_INFO) std::uint8_t named[sizeof(FILE_NAME_INFO) + 1024 * sizeof(wchar_t)];
  if (::GetFileInformationByHandleEx(handle, FileNameInfo, named, sizeof named)) {
    const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(named);
    const std::wstring_view text(name->FileName, name->FileNameLength / sizeof(wchar_t));
    if (text.size() > 1) {
      info.device = kPipeDevice;
      info.index = pipe_index(std::wstring(text));
      return;
    }
  }
  // A pipe from outside the pipe folder (Wine's standard streams that are
  // a Unix pipe) may have a file ID of its own.
  FILE_ID_INFO id{};
  if (::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::memcpy(&low, id.FileId.Identifier, sizeof low);
    std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
    if ((low | high) != 0) {
      info.device = id.VolumeSerialNumber;
      info.index = low ^ high;
      return;
    }
  }
  // Nothing else tells: the handle's value stands in, which no other
  // handle shares.
  info.index = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

std::optional<FileInfo> info_of(HANDLE handle) {
  FileInfo info;
  info.permissions = 0644;
  switch (::GetFileType(handle)) {
    case FILE_TYPE_CHAR: info.kind = FileKind::kDevice; break;
    case FILE_TYPE_PIPE: info.kind = FileKind::kFifo; break;
    case FILE_TYPE_DISK: break;
    default: return usable(handle) ? std::optional<FileInfo>(info) : std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION details{};
  if (!::GetFileInformationByHandle(handle, &details)) {
    if (info.kind == FileKind::kOther) return std::nullopt;
    // Devices (NUL, a console) have no file index, and their names cannot
    // be taken over, so any handle on one is as good as another.
    if (info.kind == FileKind::kFifo) identify_pipe(handle, info);
    return info;
  }
  info.device = details.dwVolumeSerialNumber;
  info.index = (std::uint64_t{details.nFileIndexHigh} << 32) | details.nFileIndexLow;
  info.size = (std::uint64_t{details.nFileSizeHigh} << 32) | details.nFileSizeLow;
  if (info.kind == FileKind::kOther) {
    info.kind = (details.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::kDirectory
                                                                           : FileKind::kRegular;
  }
  if ((details.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) info.permissions = 0444;
  return info;
}

/// The name within the pipe folder ("\name") if `name` names a pipe
/// ("\\.\pipe\name" or "\\?\pipe\name", in any case), or nothing.
std::optional<std::wstring> pipe_name(const std::string& name) {
  std::wstring wide = widen(name);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  constexpr std::size_t kFolder = 9;
  if (wide.size() <= kFolder || !wide.starts_with(L"\\\\") ||
      (wide[2] != L'.' && wide[2] != L'?') ||
      ::CompareStringOrdinal(wide.data() + 3, 6, L"\\pipe\\", 6, TRUE) != CSTR_EQUAL) {
    return std::nullopt;
  }
  return wide.substr(kFolder - 1);
}

/// What `name` leads to, following links unless `follow` is false.
std::optional<FileInfo> info_at(const std::string& name, bool follow) {
  // Every open of a pipe's name is a connection, which a server may give
  // once: a pipe is looked up without one.
  if (const std::optional<std::wstring> pipe = pipe_name(name)) {
    // A pipe whose every instance is busy exists all the same.
    const std::wstring full = L"\\\\.\\pipe" + *pipe;
    if (!::WaitNamedPipeW(full.c_str(), 1) && ::GetLastError() != ERROR_SEM_TIMEOUT) {
      return std::nullopt;
    }
    FileInfo info;
    info.kind = FileKind::kFifo;
    info.permissions = 0644;
    info.device = kPipeDevice;
    info.index = pipe_index(*pipe);
    return info;
  }
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE handle = ::CreateFileW(system_name(name).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, flags, nullptr);
  if (!usable(handle)) return std::nullopt;
  std::optional<FileInfo> info = info_of(handle);
  ::CloseHandle(handle);
  return info;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

// ---- Files ----

std::optional<FileInfo> file_info(int fd) {
  HANDLE handle = handle_of(fd);
  if (!usable(handle)) return std::nullopt;
  return info_of(handle);
}

std::optional<FileInfo> path_info(const std::string& name) { return info_at(name, true); }

std::optional<UniqueFd> open_input_file(const std::string& name, FileInfo& info) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder cannot be opened at all.
  HANDLE handle = ::CreateFileW(system_name(name).c_str(), GENERIC_READ, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!usable(handle)) return std::nullopt;
  const std::optional<FileInfo> opened = info_of(handle);
  UniqueFd fd(adopt(handle, _O_RDONLY));
  if (!fd.is_open() || !opened ||
      (opened->kind != FileKind::kRegular && opened->kind != FileKind::kFifo)) {
    return std::nullopt;
  }
  info = *opened;
  return fd;
}

UniqueFd duplicate_descriptor(int fd) { return UniqueFd(::_dup(fd)); }

UniqueFd open_fifo_for_writing(const std::string& name, const FileInfo& expected) {
  // A named pipe has no identity to check beyond its name.
  if (expected.kind != FileKind::kFifo) return UniqueFd();
  return open_output_file(name, Create::kNo, 0);
}

UniqueFd open_output_file(const std::string& name, Create create, unsigned permissions) {
  // A new file without write permission for its owner is made read-only,
  // the nearest the file attributes come to the input's permission bits.
  const DWORD attributes = create == Create::kNew && (permissions & 0200) == 0
                               ? FILE_ATTRIBUTE_READONLY
                               : FILE_ATTRIBUTE_NORMAL;
  HANDLE handle =
      ::CreateFileW(system_name(name).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                    create == Create::kNew ? CREATE_NEW : OPEN_EXISTING, attributes, nullptr);
  return UniqueFd(adopt(handle, _O_WRONLY));
}

bool empty_file(int fd) {
  const HANDLE handle = handle_of(fd);
  LARGE_INTEGER start{};
  return ::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle);
}

void remove_if_same(const std::string& name, const FileInfo& file) {
  const std::optional<FileInfo> named = info_at(name, false);
  if (named && same_file(*named, file)) (void)::DeleteFileW(system_name(name).c_str());
}

void advise_sequential(int) {}

void widen_pipe(int) {}

std::uint64_t file_position(int fd) {
  const std::int64_t at = ::_lseeki64(fd, 0, SEEK_CUR);
  return at < 0 ? 0 : static_cast<std::uint64_t>(at);
}

bool close_descriptor(int fd) { return ::_close(fd) == 0; }

// ---- The console and the process ----

namespace {

bool closed_streams[3] = {false, false, false};

}  // namespace

bool prepare_process() {
  // A crash shows no dialog and waits for nobody.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  for (int fd = 0; fd <= 2; ++fd) {
    if (usable(handle_of(fd))) continue;
    closed_streams[fd] = true;
    const int null = ::_open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (null < 0 || (null != fd && ::_dup2(null, fd) != 0)) return false;
    if (null != fd) ::_close(null);
  }
  // Console text goes out byte for byte: "\n" stays "\n".
  for (int fd = 0; fd <= 2; ++fd) (void)::_setmode(fd, _O_BINARY);
  return true;
}

bool closed_at_start(int fd) { return fd >= 0 && fd <= 2 && closed_streams[fd]; }

std::vector<std::string> program_arguments(int, char**) {
  // The wide command line holds every name as it was typed, whatever the
  // console's code page.
  int count = 0;
  LPWSTR* words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (words == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(narrow(words[i]));
  ::LocalFree(words);
  return arguments;
}

void write_console(int fd, std::string_view text) {
  HANDLE handle = handle_of(fd);
  DWORD mode = 0;
  if (::GetConsoleMode(handle, &mode)) {
    // A console shows UTF-16; names in messages arrive as UTF-8.
    const std::wstring wide = widen(text);
    std::wstring_view rest = wide;
    while (!rest.empty()) {
      DWORD done = 0;
      if (!::WriteConsoleW(handle, rest.data(), static_cast<DWORD>(rest.size()), &done, nullptr) ||
          done == 0) {
        return;
      }
      rest.remove_prefix(done);
    }
    return;
  }
  while (!text.empty()) {
    DWORD done = 0;
    // Progress and messages are for the eye: a closed console changes
    // nothing about the run, so the rest is dropped.
    if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) ||
        done == 0) {
      return;
    }
    text.remove_prefix(done);
  }
}

bool is_terminal(int fd) {
  DWORD mode = 0;
  return ::GetConsoleMode(handle_of(fd), &mode) != 0;
}

UniqueFd open_terminal() {
  HANDLE handle =
      ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return UniqueFd(adopt(handle, _O_RDONLY));
}

std::optional<char> read_console_byte(int fd) {
  char byte = 0;
  DWORD got = 0;
  if (interrupt_received() != 0) return std::nullopt;
  if (!::ReadFile(handle_of(fd), &byte, 1, &got, nullptr) || got != 1) return std::nullopt;
  if (interrupt_received() != 0) return std::nullopt;
  return byte;
}

// ---- Interrupts ----

namespace {

std::atomic<int> received{0};

/// kelm's threads that may wait on a pipe or the console: the one that
/// caught interrupts, and each start_thread() started until it is joined.
SRWLOCK threads_lock = SRWLOCK_INIT;
std::array<HANDLE, 8> waiting_threads{};

void add_waiting_thread(HANDLE thread) {
  ::AcquireSRWLockExclusive(&threads_lock);
  const auto free = std::find(waiting_threads.begin(), waiting_threads.end(), nullptr);
  if (free != waiting_threads.end()) *free = thread;
  ::ReleaseSRWLockExclusive(&threads_lock);
}

void remove_waiting_thread(HANDLE thread) {
  ::AcquireSRWLockExclusive(&threads_lock);
  std::replace(waiting_threads.begin(), waiting_threads.end(), thread, HANDLE{nullptr});
  ::ReleaseSRWLockExclusive(&threads_lock);
}

/// Ends the read or write each of kelm's threads is waiting in, as a signal
/// ends a wait elsewhere: the call fails, and the run stops.
void cancel_waits() {
  ::AcquireSRWLockShared(&threads_lock);
  for (HANDLE thread : waiting_threads) {
    if (thread != nullptr) (void)::CancelSynchronousIo(thread);
  }
  ::ReleaseSRWLockShared(&threads_lock);
}

BOOL WINAPI record_interrupt(DWORD event) {
  const bool closing =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  received.store(closing ? SIGTERM : SIGINT);
  // A read of the answer, a pipe that gives nothing or takes nothing: each
  // gives up at once. A wait begun just as the news came is ended by the
  // second round.
  cancel_waits();
  ::Sleep(50);
  cancel_waits();
  // The system ends a closing process when this returns: give the run its
  // few milliseconds to cut back the output and wipe the key first.
  if (closing) ::Sleep(5000);
  return TRUE;
}

}  // namespace

void catch_interrupts() {
  HANDLE self = nullptr;
  if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self,
                        0, FALSE, DUPLICATE_SAME_ACCESS)) {
    add_waiting_thread(self);
  }
  (void)::SetConsoleCtrlHandler(record_interrupt, TRUE);
}

int interrupt_received() { return received.load(); }

void end_by_interrupt(int) {
  // What a console program ended by Ctrl-C returns on Windows.
  ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void wake_on_interrupt(bool starting) {
  // The handle is the thread's own, for as long as it is listed.
  thread_local HANDLE self = nullptr;
  if (starting &&
      ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self,
                        0, FALSE, DUPLICATE_SAME_ACCESS)) {
    add_waiting_thread(self);
  } else if (!starting && self != nullptr) {
    remove_waiting_thread(self);
    (void)::CloseHandle(self);
    self = nullptr;
  }
}

}  // namespace kelm
