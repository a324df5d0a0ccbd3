// The driver run in-process with a fixed clock, so ciphertexts are exact.
#include "driver.h"

#include <cstring>
#include <sstream>

#include "kelm.h"
#include "reference_cipher.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;

const Bytes kKey16 = {0x07, 0x1C, 0x23, 0x39, 0x4E, 0x50, 0x65, 0x7B,
                      0x82, 0x9F, 0xA8, 0xB1, 0xCD, 0xD6, 0xEA, 0xF4};

class DriverTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    testing::write_file(path("key"), kKey16);
  }

  /// Runs kelm with the clock at `time`; fills out_ and err_.
  int kelm(const std::string& mode, const std::string& input, const std::string& output,
           std::time_t time = 0x1234500E) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const std::vector<std::string> args = {mode, path(input), path(output), path("key")};
    const int status = run(args, {in, out, err}, [time] { return time; });
    out_ = out.str();
    err_ = err.str();
    return status;
  }

  std::string out_;
  std::string err_;
};

TEST_F(DriverTest, EncryptsWithClockSeedAndRestartsEveryChunk) {
  // "Hi!" at the start of both chunks enciphers the same way: the cipher
  // restarts at payload byte 1,000,000. Seed 0x0E is the clock's low byte.
  Bytes plain = testing::pattern(1'000'003);
  for (std::size_t at : {0u, 1'000'000u}) std::memcpy(plain.data() + at, "Hi!", 3);
  testing::write_file(path("plain"), plain);
  ASSERT_EQ(kelm("encrypt", "plain", "sealed"), 0) << err_;
  const Bytes sealed = *testing::read_file(path("sealed"));
  ASSERT_EQ(sealed.size(), 1'000'004u);
  EXPECT_EQ(sealed[0], 0x0E);
  EXPECT_EQ(Bytes(sealed.begin() + 1, sealed.begin() + 4), (Bytes{0xE7, 0x5C, 0x97}));
  EXPECT_EQ(Bytes(sealed.begin() + 1'000'001, sealed.end()), (Bytes{0xE7, 0x5C, 0x97}));

  ASSERT_EQ(kelm("decrypt", "sealed", "opened", 0), 0) << err_;
  EXPECT_EQ(testing::read_file(path("opened")), plain);
}

TEST_F(DriverTest, DrawsOneProgressLinePerReadThenTheFinalLine) {
  const struct {
    const char* name;
    const char* mode;
    std::size_t input_size;
    const char* progress;
  } kCases[] = {
      {"small encrypt", "encrypt", 3,
       "\r completed 100% 3 out of 3 B"
       "\r completed 100% 3 out of 3 B\n"},
      // A full chunk is followed by one more read that delivers nothing.
      {"one whole chunk", "encrypt", 1'000'000,
       "\r completed 100% 1000000 out of 1000000 B"
       "\r completed 100% 1000000 out of 1000000 B"
       "\r completed 100% 1000000 out of 1000000 B\n"},
      {"chunk plus one", "encrypt", 1'000'001,
       "\r completed 99% 1000000 out of 1000001 B"
       "\r completed 100% 1000001 out of 1000001 B"
       "\r completed 100% 1000001 out of 1000001 B\n"},
      // Decrypt positions count the seed byte.
      {"three chunks decrypted", "decrypt", 3'000'001,
       "\r completed 33% 1000001 out of 3000000 B"
       "\r completed 66% 2000001 out of 3000000 B"
       "\r completed 100% 3000001 out of 3000000 B"
       "\r completed 100% 3000001 out of 3000000 B"
       "\r completed 100% 3000000 out of 3000000 B\n"},
      {"seed byte only", "decrypt", 1,
       "\r completed 0% 1 out of 0 B"
       "\r completed 100% 0 out of 0 B\n"},
      {"one payload byte", "decrypt", 2,
       "\r completed 200% 2 out of 1 B"
       "\r completed 100% 1 out of 1 B\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::write_file(path("input"), testing::pattern(c.input_size));
    std::remove(path("output").c_str());
    ASSERT_EQ(kelm(c.mode, "input", "output"), 0) << err_;
    EXPECT_EQ(out_, std::string("keysize is 2^4\n") + c.progress);
    EXPECT_EQ(err_, "");
    const std::size_t expected =
        c.mode == std::string("encrypt") ? c.input_size + 1 : c.input_size - 1;
    EXPECT_EQ(testing::read_file(path("output"))->size(), expected);
  }
}

/// The progress lines of the plain loop: read a chunk, draw, and stop after
/// the first read that delivers less than a whole chunk.
std::string progress_of_plain_loop(std::uint64_t payload, std::uint64_t start) {
  std::string lines;
  std::uint64_t position = start;
  for (std::uint64_t left = payload;;) {
    const std::uint64_t got = std::min<std::uint64_t>(left, 1'000'000);
    left -= got;
    position += got;
    const auto percent = static_cast<std::uint64_t>(static_cast<double>(position) /
                                                    static_cast<double>(payload) * 100.0);
    lines += "\r completed " + std::to_string(percent) + "% " + std::to_string(position) +
             " out of " + std::to_string(payload) + " B";
    if (got < 1'000'000) return lines;
  }
}

TEST_F(DriverTest, LargeFilesMatchTheReferenceAcrossBatches) {
  // Sizes around the eight-chunk batches the driver reads and enciphers at once.
  const std::uint64_t kSizes[] = {8'000'000, 8'000'001, 16'000'000, 17'500'003};
  for (std::uint64_t size : kSizes) {
    SCOPED_TRACE(size);
    const Bytes plain = testing::pattern(size, 7);
    testing::write_file(path("plain"), plain);
    std::remove(path("sealed").c_str());
    std::remove(path("opened").c_str());
    ASSERT_EQ(kelm("encrypt", "plain", "sealed", 0x1FF), 0) << err_;
    const std::string total = std::to_string(size);
    EXPECT_EQ(out_, "keysize is 2^4\n" + progress_of_plain_loop(size, 0) + "\r completed 100% " +
                        total + " out of " + total + " B\n");

    Bytes expected = plain;
    for (std::uint64_t at = 0; at < size; at += CHUNK_SIZE) {
      reference::transform_chunk(kKey16, true, expected.data() + at,
                                 std::min(CHUNK_SIZE, size - at), 0xFF);
    }
    expected.insert(expected.begin(), 0xFF);
    EXPECT_TRUE(testing::read_file(path("sealed")) == expected);

    ASSERT_EQ(kelm("decrypt", "sealed", "opened"), 0) << err_;
    EXPECT_EQ(out_, "keysize is 2^4\n" + progress_of_plain_loop(size, 1) + "\r completed 100% " +
                        total + " out of " + total + " B\n");
    EXPECT_TRUE(testing::read_file(path("opened")) == plain);
  }
}

}  // namespace
}  // namespace kelm
