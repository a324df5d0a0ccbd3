// The helper thread's stack, and the calling thread's for a run: key bytes
// pass through both, so both must stay out of swap and out of core dumps.
#include "helper_thread.h"

#include <gtest/gtest.h>

#if KELM_LINUX_EXTRAS
#include <sys/resource.h>
#endif

#include <optional>
#include <string>

#include "system.h"
#include "test_support.h"

namespace kelm {
namespace {

#if KELM_LINUX_EXTRAS
#ifndef KELM_SANITIZED
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
#ifndef KELM_SANITIZED
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
    release_working_stack(lock);
  }
#endif
}

}  // namespace
}  // namespace kelm
