#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <filesystem>

#include "key.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;

class KeyTest : public testing::TempDirTest {};

TEST_F(KeyTest, LoadsOrRejectsByLength) {
  const struct {
    const char* name;
    std::size_t length;
    int status;  // 0: loaded
    const char* out;
    const char* err;
  } kCases[] = {
      {"smallest", 16, 0, "keysize is 2^4\n", ""},
      {"largest", 128, 0, "keysize is 2^7\n", ""},
      {"empty", 0, 4, "", "Error: keysize is too small!\n"},
      {"one short", 15, 4, "", "Error: keysize is too small!\n"},
      {"one over", 17, 4, "keysize is 2^5\nkeysize: 17 power: 5\n",
       "Error: keysize not a power of 2!\n"},
      {"not a power", 100, 4, "keysize is 2^7\nkeysize: 100 power: 7\n",
       "Error: keysize not a power of 2!\n"},
      {"past 128", 200, 4, "keysize is 2^8\nkeysize: 200 power: 8\n",
       "Error: keysize not a power of 2!\n"},
      // Lengths are never taken modulo 256: these are not tiny keys.
      {"256 bytes", 256, 4, "keysize is 2^8\n", "Error: keysize is too large!\n"},
      {"272 bytes", 272, 4, "keysize is 2^9\nkeysize: 272 power: 9\n",
       "Error: keysize not a power of 2!\n"},
      {"1 KiB", 1024, 4, "keysize is 2^10\n", "Error: keysize is too large!\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = testing::pattern(c.length, 3);
    testing::write_file(path("key"), bytes);
    CipherKey key;
    testing::StringOut out;
    const std::optional<Failure> failure = key.load_key_file(path("key"), out);
    out.flush();
    EXPECT_EQ(out.text(), c.out);
    if (c.status == 0) {
      ASSERT_FALSE(failure) << failure->message;
      EXPECT_EQ(Bytes(key.bytes().begin(), key.bytes().end()), bytes);
    } else {
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->status, c.status);
      EXPECT_EQ(failure->message, c.err);
      EXPECT_EQ(key.size(), 0);
    }
  }
}

TEST_F(KeyTest, RefusesWhatIsNotARegularFile) {
  ASSERT_TRUE(std::filesystem::create_directory(path("folder")));
#ifdef _WIN32
  const char* const kNames[] = {"missing", "folder"};  // no FIFOs in a folder there
#else
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);  // must not block
  const char* const kNames[] = {"missing", "folder", "fifo"};
#endif
  for (const char* name : kNames) {
    SCOPED_TRACE(name);
    CipherKey key;
    testing::StringOut out;
    const std::optional<Failure> failure = key.load_key_file(path(name), out);
    out.flush();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->status, 1);
    EXPECT_EQ(failure->message, "Error: could not load key file " + path(name) + "\n");
    EXPECT_EQ(out.text(), "");
  }
}

TEST_F(KeyTest, HoldsTheKeyLockedAndGivesItBackZeroed) {
  testing::write_file(path("key"), testing::pattern(32));
  testing::FaultyPages pages;
  {
    CipherKey key;
    testing::StringOut out;
    ASSERT_FALSE(key.load_key_file(path("key"), out, system_files(), pages));
    (void)key.schedule(9);  // the tables derived from it share its region
#ifdef _WIN32
    // A few pages fit in the smallest working set, which is what may be locked.
    EXPECT_TRUE(key.region().locked());
#else
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_MEMLOCK, &limit), 0);
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 2 * key.region().size()) {
      EXPECT_TRUE(key.region().locked());
    }
#endif
  }
  EXPECT_EQ(pages.maps(), 1u);
  EXPECT_EQ(pages.dirty(), 0u) << "key bytes left in memory given back";
}

}  // namespace
}  // namespace kelm
