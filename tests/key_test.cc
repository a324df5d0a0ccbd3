#include <sys/stat.h>

#include "kelm.h"
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
      EXPECT_EQ(1u << key.power(), c.length);
    } else {
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->status, c.status);
      EXPECT_EQ(failure->message, c.err);
      EXPECT_EQ(key.size(), 0);
    }
  }
}

TEST_F(KeyTest, RefusesWhatIsNotARegularFile) {
  ASSERT_EQ(::mkdir(path("folder").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);  // must not block
  for (const char* name : {"missing", "folder", "fifo"}) {
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

TEST_F(KeyTest, WipeZeroesSizeAndFeedbackButKeepsPower) {
  CipherKey key;
  ASSERT_TRUE(key.assign(testing::pattern(32)));
  std::uint8_t byte = 1;
  key.encrypt_chunk(&byte, 1, 0);
  key.wipe();
  EXPECT_EQ(key.size(), 0);
  EXPECT_EQ(key.feedback(), 0);
  EXPECT_EQ(key.power(), 5);
  EXPECT_TRUE(key.bytes().empty());
}

}  // namespace
}  // namespace kelm
