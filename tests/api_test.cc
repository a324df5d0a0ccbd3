// The C API, through kelm.h alone, against the plain reference: streams fed
// pieces of every size, both ways; whole files by descriptor, with
// progress, a stop and an empty input; and the key's statuses.
#include "kelm.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "reference_cipher.h"
#include "test_support.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kelm {
namespace {

using testing::Bytes;

constexpr std::uint64_t kChunk = 1'000'000;
constexpr std::uint8_t kSeed = 0xA7;
const Bytes kKeyBytes = testing::pattern(32, 11);

/// The seed byte, then the reference over each chunk of `plain`.
Bytes sealed(const Bytes& plain) {
  Bytes sealed = reference::transform_payload(kKeyBytes, true, plain, kSeed, kChunk);
  sealed.insert(sealed.begin(), kSeed);
  return sealed;
}

#ifdef _WIN32
int open_file(const std::string& name, int flags) {
  return ::_open(name.c_str(), flags | O_BINARY);
}
std::int64_t seek(int fd, std::int64_t at, int whence) { return ::_lseeki64(fd, at, whence); }
void close_file(int fd) { ::_close(fd); }
#else
int open_file(const std::string& name, int flags) { return ::open(name.c_str(), flags); }
std::int64_t seek(int fd, std::int64_t at, int whence) { return ::lseek(fd, at, whence); }
void close_file(int fd) { ::close(fd); }
#endif

/// `in` through `stream` in pieces of `piece` bytes.
Bytes run_stream(kelm_stream* stream, const Bytes& in, std::size_t piece) {
  Bytes out(in.size() + 1);
  std::size_t put = 0;
  for (std::size_t at = 0; at < in.size(); at += piece) {
    const std::size_t length = std::min(piece, in.size() - at);
    std::size_t written = 0;
    EXPECT_EQ(kelm_stream_update(stream, in.data() + at, length, out.data() + put, &written),
              KELM_OK);
    put += written;
  }
  out.resize(put);
  kelm_stream_free(stream);
  return out;
}

struct Told {
  std::vector<std::uint64_t> done;
  std::uint64_t total = 0;
  int asks = 0;
  int stop_after = -1;  // asks answered with "go on" before a stop; -1: never
};

class ApiTest : public testing::TempDirTest {};

TEST_F(ApiTest, EveryWayInMatchesTheReference) {
  kelm_key* key = nullptr;
  ASSERT_EQ(kelm_key_new(kKeyBytes.data(), kKeyBytes.size(), &key), KELM_OK);
  const struct {
    const char* name;
    std::size_t length;
    std::size_t piece;  // 0: the whole file by descriptor
    int stop_after = -1;
    kelm_status status = KELM_OK;
  } kRows[] = {
      {"byte by byte over a chunk's end", kChunk + 9, 1},
      {"pieces a byte short of a chunk", 3 * kChunk + 5, kChunk - 1},
      {"whole chunks side by side, more than the widest lanes", 34 * kChunk + 7, 40 * kChunk},
      {"a file", 2 * kChunk + 500'000, 0},
      {"a file of one byte", 1, 0},
      {"a file stopped at its fifth write", 3 * kChunk, 0, 4, KELM_STOPPED},
      {"an empty file", 0, 0, -1, KELM_EMPTY_INPUT},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const Bytes plain = testing::pattern(row.length, 4);
    const Bytes expected = sealed(plain);
    if (row.piece != 0) {
      kelm_stream* stream = nullptr;
      ASSERT_EQ(kelm_encryptor_new(key, kSeed, &stream), KELM_OK);
      EXPECT_TRUE(run_stream(stream, plain, row.piece) == expected);
      ASSERT_EQ(kelm_decryptor_new(key, &stream), KELM_OK);
      EXPECT_TRUE(run_stream(stream, expected, row.piece) == plain);
      continue;
    }
    // Both files start past a few bytes of their own, which stay.
    const Bytes before = {1, 2, 3};
    Bytes with_before = before;
    with_before.insert(with_before.end(), plain.begin(), plain.end());
    testing::write_file(path("plain"), with_before);
    testing::write_file(path("sealed"), before);
    Told told;
    told.stop_after = row.stop_after;
    kelm_fd_options options{};
    options.context = &told;
    options.progress = [](void* context, std::uint64_t done, std::uint64_t total) {
      static_cast<Told*>(context)->done.push_back(done);
      static_cast<Told*>(context)->total = total;
    };
    options.stop = [](void* context) {
      Told& t = *static_cast<Told*>(context);
      return t.stop_after >= 0 && t.asks++ >= t.stop_after ? 1 : 0;
    };
    const int in = open_file(path("plain"), O_RDONLY);
    const int out = open_file(path("sealed"), O_RDWR);
    ASSERT_TRUE(in >= 0 && out >= 0);
    ASSERT_EQ(seek(in, 3, SEEK_SET), 3);
    ASSERT_EQ(seek(out, 3, SEEK_SET), 3);
    EXPECT_EQ(kelm_encrypt_fd(key, kSeed, in, out, &options), row.status);
    if (row.status == KELM_OK) {  // each position past what was read or written
      EXPECT_EQ(seek(in, 0, SEEK_CUR), 3 + row.length);
      EXPECT_EQ(seek(out, 0, SEEK_CUR), 3 + 1 + row.length);
    }
    close_file(in);
    const Bytes written = *testing::read_file(path("sealed"));
    ASSERT_GE(written.size(), 3u);
    const Bytes payload(written.begin() + 3, written.end());
    EXPECT_TRUE(Bytes(written.begin(), written.begin() + 3) == before);
    if (row.status != KELM_OK) {
      // A beginning, cut back: nothing at all for an empty input.
      EXPECT_LT(payload.size(), row.length == 0 ? 1 : expected.size());
      EXPECT_TRUE(std::equal(payload.begin(), payload.end(), expected.begin()));
      close_file(out);
      continue;
    }
    EXPECT_TRUE(payload == expected);
    EXPECT_EQ(told.total, row.length);
    EXPECT_EQ(told.done.back(), row.length);
    EXPECT_EQ(told.done.size(), (row.length + kChunk - 1) / kChunk);
    ASSERT_EQ(seek(out, 3, SEEK_SET), 3);
    testing::write_file(path("back"), Bytes{});
    const int back = open_file(path("back"), O_WRONLY);
    EXPECT_EQ(kelm_decrypt_fd(key, out, back, nullptr), KELM_OK);
    close_file(out);
    close_file(back);
    EXPECT_TRUE(*testing::read_file(path("back")) == plain);
  }
  kelm_key_free(key);
}

TEST(ApiKeyTest, EveryLengthGetsItsStatus) {
  const struct {
    std::size_t length;
    kelm_status status;
  } kLengths[] = {
      {0, KELM_KEY_TOO_SMALL},         {15, KELM_KEY_TOO_SMALL}, {16, KELM_OK},
      {17, KELM_KEY_NOT_POWER_OF_TWO}, {128, KELM_OK},           {200, KELM_KEY_NOT_POWER_OF_TWO},
      {256, KELM_KEY_TOO_LARGE},
  };
  const Bytes bytes = testing::pattern(256);
  for (const auto& row : kLengths) {
    SCOPED_TRACE(row.length);
    kelm_key* key = nullptr;
    EXPECT_EQ(kelm_key_new(bytes.data(), row.length, &key), row.status);
    EXPECT_EQ(key != nullptr, row.status == KELM_OK);
    kelm_key_free(key);
  }
  EXPECT_EQ(kelm_key_new(nullptr, 16, nullptr), KELM_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace kelm
