// The calls of the library that differ from one operating system to another:
// memory for secrets, threads and their stacks, and what an open descriptor
// is. platform_posix.cc and platform_windows.cc each implement all of it; no
// other source of the library includes an operating system's header (the
// kernels include only their compiler's intrinsics headers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace kelm {

// ---- Descriptors ----

/// What the library asks of a descriptor it is handed.
struct Descriptor {
  /// A regular file, which takes reads and writes at any offset; anything
  /// else (a pipe, a FIFO, a socket) is read and written in order.
  bool regular = false;
  std::uint64_t size = 0;      // of a regular file
  std::uint64_t position = 0;  // the file position of a regular file
};

/// What `fd` is open on; nothing if it is not open.
std::optional<Descriptor> describe(int fd);

/// Moves the file position of the regular file `fd` to `position`.
void set_position(int fd, std::uint64_t position);

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

/// Bytes of the calling thread's stack a run locks: its deepest calls take
/// under 10 KiB, and each page costs a fault at every start.
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
void unlock_working_stack(const StackLock& lock) noexcept;

}  // namespace kelm
