// Memory for secrets: kept out of core dumps, locked where allowed, and the
// key with every table derived from it inside it.
#include "secure_memory.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cstdint>
#include <string>

#include "kernels/kernels.h"
#include "key.h"
#include "sanitized.h"
#include "test_support.h"

namespace kelm {
namespace {

/// The kernel's flags for the mapping that holds `address`, each followed
/// by a blank ("dd ": not dumped, "lo ": locked); " " if none holds it.
std::string flags_of(const void* address) {
  return testing::mapping_flags(address).value_or("") + " ";
}

// The sanitizers' runtimes turn mlock into a call that locks nothing.
#if KELM_SANITIZED
constexpr bool kMlockIsReal = false;
#else
constexpr bool kMlockIsReal = true;
#endif

/// Under a user-mode emulator /proc/self/smaps describes the emulator's own
/// memory, not the program's: the kernel's view cannot be checked there, nor
/// on a system without /proc.
#ifdef _WIN32
bool kernel_view_is_ours() { return false; }
bool may_lock(std::size_t) { return true; }
#else
bool kernel_view_is_ours() { return std::string(KELM_LAUNCHER).empty(); }

bool may_lock(std::size_t bytes) {
  rlimit limit{};
  return ::getrlimit(RLIMIT_MEMLOCK, &limit) == 0 &&
         (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= bytes * 4);
}
#endif

TEST(SecretRegionTest, StaysOutOfDumpsAndLockedWhereAllowed) {
  const struct {
    const char* name;
    SecretRegion::Lock lock;
  } kCases[] = {{"locked", SecretRegion::Lock::kYes}, {"not locked", SecretRegion::Lock::kNo}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SecretRegion region(5000, c.lock);
    ASSERT_TRUE(region.valid());
    EXPECT_GE(region.size(), 5000u);
    EXPECT_TRUE(std::all_of(region.data(), region.data() + region.size(),
                            [](std::byte b) { return b == std::byte{0}; }));
    // Leaving memory out of dumps is a Linux extra; elsewhere the process
    // writes no dump at all.
    EXPECT_EQ(region.kept_out_of_dumps(), KELM_LINUX_EXTRAS != 0);
    if (!kernel_view_is_ours()) continue;
    const std::string flags = flags_of(region.data());
    ASSERT_NE(flags, " ") << "no mapping found";
    EXPECT_EQ(flags.find(" dd ") != std::string::npos, KELM_LINUX_EXTRAS != 0) << flags;
    const bool lockable = c.lock == SecretRegion::Lock::kYes && may_lock(region.size());
    if (lockable) {
      EXPECT_TRUE(region.locked());
    }
    if (kMlockIsReal) {
      EXPECT_EQ(region.locked(), flags.find(" lo ") != std::string::npos) << flags;
    }
  }
}

TEST(SecretRegionTest, TheKeyAndItsTablesLiveInSecretRegions) {
  CipherKey key;
  ASSERT_EQ(key.assign(testing::pattern(64, 9)), KELM_OK);
  const SecretRegion& region = key.region();
  ASSERT_TRUE(region.valid());
  const auto inside = [](const SecretRegion& r, const void* p, std::size_t length) {
    const auto* at = static_cast<const std::byte*>(p);
    return at >= r.data() && at + length <= r.data() + r.size();
  };
  EXPECT_TRUE(inside(region, key.bytes().data(), key.bytes().size()));
  {
    const KeySchedule tables(key.bytes(), 3);
    const kernels::Schedule& schedule = tables.get();
    EXPECT_TRUE(inside(tables.region(), &schedule, sizeof schedule));
    EXPECT_TRUE(inside(tables.region(), schedule.key().data(), schedule.key().size()));
    EXPECT_TRUE(inside(tables.region(), schedule.by_position(), kernels::Schedule::kPositionSpan));
    EXPECT_EQ(tables.region().kept_out_of_dumps(), KELM_LINUX_EXTRAS != 0);
  }
  EXPECT_EQ(region.kept_out_of_dumps(), KELM_LINUX_EXTRAS != 0);
  const std::byte* const block = region.data();
  key.wipe();
  EXPECT_FALSE(key.region().valid());
  EXPECT_TRUE(key.bytes().empty());
  if (kernel_view_is_ours()) {
    // Given back: the address may have been handed out again since, but not
    // with the key's marks.
    const std::string flags = flags_of(block);
    EXPECT_EQ(flags.find(" dd "), std::string::npos) << flags;
    EXPECT_EQ(flags.find(" lo "), std::string::npos) << flags;
  }
}

}  // namespace
}  // namespace kelm
