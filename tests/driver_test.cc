// The driver run in-process with a fixed clock, so ciphertexts are exact.
#include "driver.h"

#include <sstream>

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
  for (std::size_t at : {0u, 1'000'000u}) std::copy_n("Hi!", 3, plain.begin() + at);
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
    const std::size_t expected = c.mode == std::string("encrypt") ? c.input_size + 1
                                                                  : c.input_size - 1;
    EXPECT_EQ(testing::read_file(path("output"))->size(), expected);
  }
}

}  // namespace
}  // namespace kelm
