// The library's system calls on POSIX systems. Linux-only extras
// (do-not-dump, populated mappings) are best efforts behind
// KELM_LINUX_EXTRAS, absent elsewhere.
#include <pthread.h>
#include <string.h>  // explicit_bzero
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "file_io.h"
#include "platform.h"
#include "sanitized.h"

namespace kelm {

/// Offsets travel as 64-bit counts; off_t must hold them on every system,
/// 32-bit ones included, or files past 2 GiB would fail or be misread.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

// ---- Descriptors ----

namespace {

class SystemFiles final : public FileAccess {
 public:
  ssize_t read(int fd, std::uint8_t* buffer, std::size_t length) override {
    return ::read(fd, buffer, length);
  }
  ssize_t read_at(int fd, std::uint8_t* buffer, std::size_t length, std::uint64_t offset) override {
    return ::pread(fd, buffer, length, static_cast<off_t>(offset));
  }
  ssize_t write(int fd, const std::uint8_t* buffer, std::size_t length) override {
    return ::write(fd, buffer, length);
  }
  ssize_t write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                   std::uint64_t offset) override {
    return ::pwrite(fd, buffer, length, static_cast<off_t>(offset));
  }
  int truncate(int fd, std::uint64_t length) override {
    return ::ftruncate(fd, static_cast<off_t>(length));
  }
};

}  // namespace

FileAccess& system_files() {
  static SystemFiles files;
  return files;
}

std::optional<Descriptor> describe(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::nullopt;
  Descriptor described;
  described.regular = S_ISREG(status.st_mode);
  if (!described.regular) return described;
  described.size = static_cast<std::uint64_t>(status.st_size);
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  described.position = at < 0 ? 0 : static_cast<std::uint64_t>(at);
  return described;
}

void set_position(int fd, std::uint64_t position) {
  (void)::lseek(fd, static_cast<off_t>(position), SEEK_SET);
}

// ---- Memory ----

std::size_t page_size() {
  const long page = ::sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

void* map_pages(std::size_t size, bool populate) {
  // Anonymous private memory arrives zeroed and belongs to this process alone.
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if KELM_LINUX_EXTRAS
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (size >= kHuge) {
    // A buffer of megabytes in 2 MiB pages: a few faults instead of one
    // per 4 KiB, each of which costs dearly in a virtual machine.
    void* wide = ::mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (wide == MAP_FAILED) return nullptr;
    auto* const start = static_cast<std::uint8_t*>(wide);
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(start);
    const std::size_t head = (kHuge - address % kHuge) % kHuge;
    if (head != 0) (void)::munmap(start, head);
    (void)::munmap(start + head + size, kHuge - head);
    void* block = start + head;
    (void)::madvise(block, size, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    if (populate) (void)::madvise(block, size, MADV_POPULATE_WRITE);
#endif
    return block;
  }
  // One call instead of a page fault per page at first touch.
  if (populate) flags |= MAP_POPULATE;
#else
  (void)populate;
#endif
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void unmap_pages(void* block, std::size_t size) noexcept { (void)::munmap(block, size); }

bool lock_pages(void* block, std::size_t size) { return ::mlock(block, size) == 0; }

void unlock_pages(void* block, std::size_t size) noexcept { (void)::munlock(block, size); }

bool exclude_from_dumps(void* block, std::size_t size) {
#if KELM_LINUX_EXTRAS
  return ::madvise(block, size, MADV_DONTDUMP) == 0;
#else
  (void)block;
  (void)size;
  return false;
#endif
}

void wipe_bytes(void* data, std::size_t length) noexcept {
  if (data == nullptr || length == 0) return;
#if defined(__linux__) || defined(__FreeBSD__) || defined(__OpenBSD__)
  explicit_bzero(data, length);
#else
  // Where explicit_bzero is missing, stores through a volatile pointer
  // cannot be dropped either.
  auto* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = 0;
#endif
}

void wipe_pages(void* block, std::size_t size) noexcept {
  auto* const bytes = static_cast<std::uint8_t*>(block);
  const std::size_t page = page_size();
  // Which pages are in place, a batch at a time; where the system cannot
  // tell, every page is wiped.
  constexpr std::size_t kBatch = 256;
  for (std::size_t at = 0; at < size; at += kBatch * page) {
    const std::size_t span = std::min(size - at, kBatch * page);
    unsigned char resident[kBatch];
    if (::mincore(bytes + at, span, resident) != 0) {
      wipe_bytes(bytes + at, span);
      continue;
    }
    for (std::size_t p = 0; p * page < span; ++p) {
      if ((resident[p] & 1) != 0)
        wipe_bytes(bytes + at + p * page, std::min(page, span - p * page));
    }
  }
}

// ---- Threads and stacks ----

namespace {

extern "C" void* run_thread_body(void* body) {
  (*static_cast<std::function<void()>*>(body))();
  return nullptr;
}

/// Zeroes kWorkingStackSize bytes of stack just below the caller, putting
/// every page of them in place.
[[gnu::noinline]] void zero_stack_below() noexcept {
  std::uint8_t area[kWorkingStackSize];
  // The call's own frame lies below the area, so none of it is overwritten.
  wipe_bytes(area, sizeof area);
}

}  // namespace

std::size_t thread_stack_size() {
  // The run's calls take under 10 KiB; the rest is room for the thread's own
  // data, which the C library keeps at the top of its stack, above the
  // system's least (128 KiB on some 64-bit ARM). Every page is locked, so a
  // fault at every start: no more than that, but under a sanitizer, whose
  // frames are several times larger.
#if KELM_SANITIZED
  return std::size_t{512} * 1024;
#else
  const long least = ::sysconf(_SC_THREAD_STACK_MIN);
  const std::size_t page = page_size();
  const std::size_t room =
      std::size_t{64} * 1024 + (least > 0 ? static_cast<std::size_t>(least) : 0);
  return (room + page - 1) / page * page;
#endif
}

int start_thread(std::function<void()>& body, void* stack, std::size_t size, ThreadHandle& thread) {
  static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle), "a thread must fit its handle");
  pthread_attr_t attributes;
  if (const int error = ::pthread_attr_init(&attributes); error != 0) return error;
  int error = stack != nullptr ? ::pthread_attr_setstack(&attributes, stack, size) : 0;
  pthread_t started{};
  if (error == 0) error = ::pthread_create(&started, &attributes, run_thread_body, &body);
  ::pthread_attr_destroy(&attributes);
  if (error == 0) std::memcpy(&thread, &started, sizeof started);
  return error;
}

void join_thread(ThreadHandle thread) noexcept {
  pthread_t started{};
  std::memcpy(&started, &thread, sizeof started);
  (void)::pthread_join(started, nullptr);
}

bool guard_pages(void* block, std::size_t size, bool guard) noexcept {
  return ::mprotect(block, size, guard ? PROT_NONE : PROT_READ | PROT_WRITE) == 0;
}

[[gnu::noinline]] StackLock lock_working_stack() {
  zero_stack_below();
  // From the page that holds this call's frame down past kWorkingStackSize,
  // all of which zero_stack_below() has just put in place.
  auto* frame = static_cast<std::uint8_t*>(__builtin_frame_address(0));
  const auto top = reinterpret_cast<std::uintptr_t>(frame);
  const std::uintptr_t page = page_size();
  const std::uintptr_t high = (top / page + 1) * page;
  const std::uintptr_t low = (top - kWorkingStackSize) / page * page;
  StackLock lock;
  lock.low = frame - (top - low);
  lock.size = static_cast<std::size_t>(high - low);
  (void)exclude_from_dumps(lock.low, lock.size);
  lock.locked = lock_pages(lock.low, lock.size);
  return lock;
}

[[gnu::noinline]] void unlock_working_stack(const StackLock& lock) noexcept {
  if (lock.low == nullptr) return;
  zero_stack_below();
  if (lock.locked) unlock_pages(lock.low, lock.size);
}

}  // namespace kelm
