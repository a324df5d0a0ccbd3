// The library's system calls on Windows. Descriptors are the C runtime's;
// their data moves through the handles beneath, with positional reads and
// writes given by OVERLAPPED offsets.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <process.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "file_io.h"
#include "platform.h"

namespace kelm {

namespace {

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

/// At most this many bytes in one call, which counts in 32 bits.
constexpr std::size_t kLargestCall = std::size_t{1} << 30;

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

std::ptrdiff_t failed_with(int error) {
  errno = error;
  return -1;
}

class SystemFiles final : public FileAccess {
 public:
  std::ptrdiff_t read(int fd, std::uint8_t* buffer, std::size_t length) override {
    DWORD got = 0;
    if (!::ReadFile(handle_of(fd), buffer, static_cast<DWORD>(std::min(length, kLargestCall)), &got,
                    nullptr)) {
      // A pipe whose writer has gone, or whose server disconnected once the
      // data was read, has ended, as on other systems.
      const DWORD error = ::GetLastError();
      return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? 0 : failed_with(EIO);
    }
    return static_cast<std::ptrdiff_t>(got);
  }
  std::ptrdiff_t read_at(int fd, std::uint8_t* buffer, std::size_t length,
                         std::uint64_t offset) override {
    OVERLAPPED where = at_offset(offset);
    DWORD got = 0;
    if (!::ReadFile(handle_of(fd), buffer, static_cast<DWORD>(std::min(length, kLargestCall)), &got,
                    &where)) {
      return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : failed_with(EIO);
    }
    return static_cast<std::ptrdiff_t>(got);
  }
  std::ptrdiff_t write(int fd, const std::uint8_t* buffer, std::size_t length) override {
    DWORD put = 0;
    if (!::WriteFile(handle_of(fd), buffer, static_cast<DWORD>(std::min(length, kLargestCall)),
                     &put, nullptr)) {
      return failed_with(::GetLastError() == ERROR_DISK_FULL ? ENOSPC : EIO);
    }
    return static_cast<std::ptrdiff_t>(put);
  }
  std::ptrdiff_t write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                          std::uint64_t offset) override {
    OVERLAPPED where = at_offset(offset);
    DWORD put = 0;
    if (!::WriteFile(handle_of(fd), buffer, static_cast<DWORD>(std::min(length, kLargestCall)),
                     &put, &where)) {
      return failed_with(::GetLastError() == ERROR_DISK_FULL ? ENOSPC : EIO);
    }
    return static_cast<std::ptrdiff_t>(put);
  }
  int truncate(int fd, std::uint64_t length) override {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(length);
    HANDLE handle = handle_of(fd);
    if (!::SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) {
      errno = EIO;
      return -1;
    }
    return 0;
  }
};

}  // namespace

FileAccess& system_files() {
  static SystemFiles files;
  return files;
}

std::optional<Descriptor> describe(int fd) {
  const HANDLE handle = handle_of(fd);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return std::nullopt;
  Descriptor described;
  described.regular = ::GetFileType(handle) == FILE_TYPE_DISK;
  if (!described.regular) return described;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) return std::nullopt;
  described.size = static_cast<std::uint64_t>(size.QuadPart);
  const std::int64_t at = ::_lseeki64(fd, 0, SEEK_CUR);
  described.position = at < 0 ? 0 : static_cast<std::uint64_t>(at);
  return described;
}

void set_position(int fd, std::uint64_t position) {
  (void)::_lseeki64(fd, static_cast<std::int64_t>(position), SEEK_SET);
}

// ---- Memory ----

std::size_t page_size() {
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  return system.dwPageSize;
}

void* map_pages(std::size_t size, bool) {
  // Committed private pages arrive zeroed.
  return ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void unmap_pages(void* block, std::size_t) noexcept { (void)::VirtualFree(block, 0, MEM_RELEASE); }

bool lock_pages(void* block, std::size_t size) { return ::VirtualLock(block, size) != 0; }

void unlock_pages(void* block, std::size_t size) noexcept { (void)::VirtualUnlock(block, size); }

bool exclude_from_dumps(void*, std::size_t) { return false; }

void wipe_pages(void* block, std::size_t size) noexcept { wipe_bytes(block, size); }

void wipe_bytes(void* data, std::size_t length) noexcept {
  if (data != nullptr && length != 0) ::SecureZeroMemory(data, length);
}

// ---- Threads and stacks ----
// Windows gives every thread a stack of its own placing; kelm's stacks are
// not locked there.

namespace {

unsigned __stdcall run_thread_body(void* body) {
  (*static_cast<std::function<void()>*>(body))();
  return 0;
}

}  // namespace

std::size_t thread_stack_size() { return 0; }

int start_thread(std::function<void()>& body, void*, std::size_t, ThreadHandle& thread) {
  const std::uintptr_t started = ::_beginthreadex(nullptr, 0, run_thread_body, &body, 0, nullptr);
  if (started == 0) return errno != 0 ? errno : EAGAIN;
  thread = started;
  return 0;
}

void join_thread(ThreadHandle thread) noexcept {
  const auto handle = reinterpret_cast<HANDLE>(thread);
  (void)::WaitForSingleObject(handle, INFINITE);
  (void)::CloseHandle(handle);
}

bool guard_pages(void* block, std::size_t size, bool guard) noexcept {
  DWORD before = 0;
  return ::VirtualProtect(block, size, guard ? PAGE_NOACCESS : PAGE_READWRITE, &before) != 0;
}

StackLock lock_working_stack() { return {}; }

void unlock_working_stack(const StackLock&) noexcept {}

}  // namespace kelm
