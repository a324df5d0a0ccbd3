#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <thread>

#include "driver.h"
#include "key.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;

#ifdef _WIN32
constexpr bool kPosix = false;  // no FIFOs in a folder there
#else
constexpr bool kPosix = true;
#endif

class KeyTest : public testing::TempDirTest {
 protected:
  /// Loads the key from a FIFO that a thread fills with `bytes`, as
  /// <(pass show key) would.
  std::optional<Failure> load_from_pipe(KeyHandle& key, const Bytes& bytes, TextOut& out) {
#ifdef _WIN32
    (void)key, (void)bytes, (void)out;
    return std::nullopt;
#else
    std::remove(path("fifo").c_str());
    EXPECT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    std::thread writer([&] {
      const int fd = ::open(path("fifo").c_str(), O_WRONLY);
      for (std::size_t done = 0; fd >= 0 && done < bytes.size();) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
      }
      if (fd >= 0) ::close(fd);
    });
    std::optional<Failure> failure = load_key_file(path("fifo"), out, {}, key);
    writer.join();
    return failure;
#endif
  }
};

TEST_F(KeyTest, LoadsOrRejectsByLength) {
  const struct {
    const char* name;
    std::size_t length;
    int status;  // 0: loaded
    const char* out;
    const char* err;
    bool from_file_only = false;  // a pipe that long is refused before its length counts
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
      {"as long as a pipe may be", KEY_STREAM_LIMIT, 4, "keysize is 2^16\n",
       "Error: keysize is too large!\n"},
      {"longer", KEY_STREAM_LIMIT + 1, 4, "keysize is 2^17\nkeysize: 65537 power: 17\n",
       "Error: keysize not a power of 2!\n", true},
  };
  for (const auto& c : kCases) {
    for (const bool piped : {false, true}) {
      if (piped && !kPosix) continue;
      SCOPED_TRACE(::testing::Message() << c.name << (piped ? ", from a pipe" : ""));
      const Bytes bytes = testing::pattern(c.length, 3);
      testing::write_file(path("key"), bytes);
      KeyHandle key(nullptr, kelm_key_free);
      testing::StringOut out;
      const std::optional<Failure> failure =
          piped ? load_from_pipe(key, bytes, out) : load_key_file(path("key"), out, {}, key);
      out.flush();
      if (piped && c.from_file_only) {
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->status, 1);
        EXPECT_EQ(failure->message, "Error: could not load key file " + path("fifo") + "\n");
        EXPECT_EQ(out.text(), "");
        continue;
      }
      EXPECT_EQ(out.text(), c.out);
      if (c.status == 0) {
        ASSERT_FALSE(failure) << failure->message;
        EXPECT_EQ(Bytes(key->key.bytes().begin(), key->key.bytes().end()), bytes);
      } else {
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->status, c.status);
        EXPECT_EQ(failure->message, c.err);
        EXPECT_EQ(key, nullptr);
      }
    }
  }
}

TEST_F(KeyTest, RefusesWhatIsNeitherAFileNorAPipe) {
  ASSERT_TRUE(std::filesystem::create_directory(path("folder")));
#ifdef _WIN32
  const std::string kNames[] = {path("missing"), path("folder")};
#else
  const std::string kNames[] = {path("missing"), path("folder"), "/dev/zero"};
#endif
  for (const std::string& name : kNames) {
    SCOPED_TRACE(name);
    KeyHandle key(nullptr, kelm_key_free);
    testing::StringOut out;
    const std::optional<Failure> failure = load_key_file(name, out, {}, key);
    out.flush();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->status, 1);
    EXPECT_EQ(failure->message, "Error: could not load key file " + name + "\n");
    EXPECT_EQ(out.text(), "");
  }
}

TEST_F(KeyTest, HoldsTheKeyLockedAndGivesItBackZeroed) {
  testing::write_file(path("key"), testing::pattern(32));
  testing::FaultyPages pages;
  {
    CipherKey key;
    std::uint64_t length = 0;
    FileInfo info;
    const std::optional<UniqueFd> file = open_input_file(path("key"), info);
    ASSERT_TRUE(file);
    ASSERT_EQ(key.read(file->get(), length, system_files(), pages), KELM_OK);
    const KeySchedule schedule(key.bytes(), 9, pages);  // the tables, with a copy of the key
    for (const SecretRegion* region : {&key.region(), &schedule.region()}) {
#ifdef _WIN32
      // A few pages fit in the smallest working set, which is what may be locked.
      EXPECT_TRUE(region->locked());
#else
      struct rlimit limit {};
      ASSERT_EQ(::getrlimit(RLIMIT_MEMLOCK, &limit), 0);
      if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 4 * region->size()) {
        EXPECT_TRUE(region->locked());
      }
#endif
    }
  }
  EXPECT_EQ(pages.maps(), 2u);
  EXPECT_EQ(pages.dirty(), 0u) << "key bytes left in memory given back";
}

}  // namespace
}  // namespace kelm
