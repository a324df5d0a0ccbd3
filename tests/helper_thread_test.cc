// The helper thread's stack, and the calling thread's for a run: key bytes
// pass through both, so both must stay out of swap and out of core dumps.
#include "helper_thread.h"

#include <gtest/gtest.h>

#if KELM_LINUX_EXTRAS
#include <sys/resource.h>
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "sanitized.h"
#include "system.h"
#include "test_support.h"

namespace kelm {
namespace {

#if KELM_LINUX_EXTRAS
#if !KELM_SANITIZED
/// Whether the locked-memory limit leaves room for the stacks; root's has none.
bool stacks_can_be_locked() {
  struct rlimit limit {};
  return ::getrlimit(RLIMIT_MEMLOCK, &limit) == 0 &&
         (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= (1u << 20) || ::geteuid() == 0);
}
#endif

/// Where a frame of the caller's stack lies, and what its mapping is.
[[gnu::noinline]] std::optional<std::string> flags_of_a_frame() {
  volatile char local = 0;
  return testing::mapping_flags(const_cast<const char*>(&local));
}

void expect_kept_out(const std::optional<std::string>& flags) {
  ASSERT_TRUE(flags);
  EXPECT_NE(flags->find(" dd"), std::string::npos) << *flags;
  // A sanitizer's runtime makes mlock do nothing.
#if !KELM_SANITIZED
  if (stacks_can_be_locked()) {
    EXPECT_NE(flags->find(" lo"), std::string::npos) << *flags;
  }
#endif
}
#endif

TEST(HelperThreadTest, StacksAreLockedAndLeftOutOfDumps) {
#if !KELM_LINUX_EXTRAS
  GTEST_SKIP() << "no /proc/self/smaps to look into";
#else
  if (!std::string(KELM_LAUNCHER).empty()) GTEST_SKIP() << "the emulator's mappings, not kelm's";
  {
    SCOPED_TRACE("the helper thread's");
    std::optional<std::string> flags;
    HelperThread helper([&flags] { flags = flags_of_a_frame(); });
    helper.join();
    expect_kept_out(flags);
  }
  {
    SCOPED_TRACE("the calling thread's, for a run");
    const StackLock lock = lock_working_stack();
    expect_kept_out(flags_of_a_frame());
    unlock_working_stack(lock);
  }
#endif
}

/// Eight bytes no run would leave on the stack by chance.
constexpr std::uint64_t kMarker = 0x6b656c6d2d6b6579;

/// Leaves kMarker in the lower half of a deep frame, well below the
/// caller's, where the next calls' frames do not reach.
[[gnu::noinline]] void leave_marker() {
  [[maybe_unused]] volatile std::uint64_t area[1024];
  for (std::size_t i = 0; i < 512; ++i) area[i] = kMarker;
}

/// The words of the stack `lock` covers that hold kMarker, read as plain
/// memory whatever frames lie there, below `below`: a build may keep a copy
/// of the marker in the frame of this look itself, which is not below the
/// caller's.
[[gnu::noinline, gnu::no_sanitize_address]] std::vector<const volatile std::uint64_t*> markers_in(
    const StackLock& lock, const void* below) {
  std::vector<const volatile std::uint64_t*> found;
  const auto* words = static_cast<const volatile std::uint64_t*>(lock.low);
  for (std::size_t i = 0; i < lock.size / sizeof *words && words + i < below; ++i) {
    if (words[i] == kMarker) found.push_back(words + i);
  }
  return found;
}

/// How many of `words` still hold kMarker.
[[gnu::noinline, gnu::no_sanitize_address]] std::size_t still_marked(
    const std::vector<const volatile std::uint64_t*>& words) {
  std::size_t kept = 0;
  for (const volatile std::uint64_t* word : words) kept += *word == kMarker ? 1 : 0;
  return kept;
}

TEST(HelperThreadTest, TheWorkingStackIsWipedBeforeItIsUnlocked) {
  const StackLock lock = lock_working_stack();
  leave_marker();
  // Well below this frame, where only the marker's frame reached.
  const auto* below = static_cast<const char*>(__builtin_frame_address(0)) - 2048;
  const auto left =
      lock.low != nullptr ? markers_in(lock, below) : decltype(markers_in(lock, below))();
  unlock_working_stack(lock);
  if (lock.low == nullptr) GTEST_SKIP() << "the calling thread's stack is left as it is";
  ASSERT_FALSE(left.empty()) << "no marker to wipe";
  // Only the words the marker was seen in.
  EXPECT_EQ(still_marked(left), 0u) << "of " << left.size();
}

}  // namespace
}  // namespace kelm
