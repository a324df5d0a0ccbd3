// The driver run in-process with a fixed clock, so ciphertexts are exact.
#include "driver.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>

#include "fd_stream.h"
#include "key.h"
#include "messages.h"
#include "reference_cipher.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;
using Call = testing::FaultyFiles::Call;
using Fault = testing::FaultyFiles::Fault;

const Bytes kKey16 = {0x07, 0x1C, 0x23, 0x39, 0x4E, 0x50, 0x65, 0x7B,
                      0x82, 0x9F, 0xA8, 0xB1, 0xCD, 0xD6, 0xEA, 0xF4};

/// The library's calls as the program makes them, but through `files` and
/// `pages`.
Services through(testing::FaultyFiles& files, PageSource& pages = system_pages()) {
  Services services;
  services.read_key = [&files, &pages](int fd, kelm_key** key, std::uint64_t* length) {
    auto made = std::make_unique<kelm_key>();
    const kelm_status status = made->key.read(fd, *length, files, pages);
    *key = status == KELM_OK ? made.release() : nullptr;
    return status;
  };
  services.encrypt = [&files, &pages](const kelm_key* key, std::uint8_t seed, int in, int out,
                                      const kelm_fd_options* options) {
    return stream_fd(Direction::kEncrypt, key->key.bytes(), seed, in, out, options, files, pages);
  };
  services.decrypt = [&files, &pages](const kelm_key* key, int in, int out,
                                      const kelm_fd_options* options) {
    return stream_fd(Direction::kDecrypt, key->key.bytes(), 0, in, out, options, files, pages);
  };
  services.close = [&files](int fd) { return files.close(fd) == 0; };
  return services;
}

class DriverTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    testing::write_file(path("key"), kKey16);
  }

  /// Runs kelm with the clock at `time`; fills out_ and err_.
  int kelm(const std::string& mode, const std::string& input, const std::string& output,
           std::time_t time = 0x1234500E) {
    return kelm(mode, input, output, Services{}, time);
  }
  int kelm(const std::string& mode, const std::string& input, const std::string& output,
           std::time_t time, testing::FaultyFiles& files) {
    return kelm(mode, input, output, through(files), time);
  }

  /// As above, through `services`.
  int kelm(const std::string& mode, const std::string& input, const std::string& output,
           const Services& services, std::time_t time = 0x1234500E) {
    testing::StringIn in;
    testing::StringOut out;
    testing::StringOut err;
    const std::vector<std::string> args = {mode, path(input), path(output), path("key")};
    const int status = run(
        args, {in, out, err}, [time] { return time; }, services);
    out_ = out.text();
    err_ = err.text();
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

TEST_F(DriverTest, LargeFilesMatchTheReferenceAcrossChunks) {
  // Whole chunks with and without a short last one, as the program streams
  // them in its own shape of lanes and tiles.
  const std::size_t kSizes[] = {16'000'000, 17'500'003};
  for (std::size_t size : kSizes) {
    SCOPED_TRACE(size);
    const Bytes plain = testing::pattern(size, 7);
    testing::write_file(path("plain"), plain);
    std::remove(path("sealed").c_str());
    std::remove(path("opened").c_str());
    ASSERT_EQ(kelm("encrypt", "plain", "sealed", 0x1FF), 0) << err_;
    const std::string total = std::to_string(size);
    EXPECT_EQ(out_, "keysize is 2^4\n" + progress_of_plain_loop(size, 0) + "\r completed 100% " +
                        total + " out of " + total + " B\n");

    Bytes expected = reference::transform_payload(kKey16, true, plain, 0xFF, CHUNK_SIZE);
    expected.insert(expected.begin(), 0xFF);
    EXPECT_TRUE(testing::read_file(path("sealed")) == expected);

    ASSERT_EQ(kelm("decrypt", "sealed", "opened"), 0) << err_;
    EXPECT_EQ(out_, "keysize is 2^4\n" + progress_of_plain_loop(size, 1) + "\r completed 100% " +
                        total + " out of " + total + " B\n");
    EXPECT_TRUE(testing::read_file(path("opened")) == plain);
  }
}

/// `data` run through the reference, chunk by chunk.
Bytes reference_of(Bytes data, bool encrypt, std::uint8_t seed) {
  return reference::transform_payload(kKey16, encrypt, std::move(data), seed, CHUNK_SIZE);
}

TEST_F(DriverTest, AnInputThatFailsOrChangesEndsWithWhatWasRead) {
  const std::string kCannotRead = "Error: could not read input file ";
  const struct {
    const char* name;
    const char* mode;
    std::size_t size;                     // of the input when kelm measures it
    std::optional<std::uint64_t> end_at;  // input byte where reading stops
    bool error;                           // stopping with an error, not an early end
    std::size_t grows_by;                 // bytes appended once reading has begun
    const char* progress;
    std::size_t readable;  // input bytes the output must stand for
  } kCases[] = {
      {"shrinks in the middle of a chunk", "encrypt", 2'500'000, 1'234'567, false, 0,
       "\r completed 40% 1000000 out of 2500000 B"
       "\r completed 49% 1234567 out of 2500000 B",
       1'234'567},
      // The failing read got nothing of its chunk, so nothing more is drawn.
      {"fails on a chunk boundary", "encrypt", 2'500'000, 1'000'000, true, 0,
       "\r completed 40% 1000000 out of 2500000 B", 1'000'000},
      {"says 4096 bytes, has 23", "encrypt", 4096, 23, false, 0, "\r completed 0% 23 out of 4096 B",
       23},
      {"nothing readable", "encrypt", 10, 0, true, 0, "", 0},
      {"decrypt, fails mid chunk", "decrypt", 2'000'001, 1'500'001, true, 0,
       "\r completed 50% 1000001 out of 2000000 B"
       "\r completed 75% 1500001 out of 2000000 B",
       1'500'001},
      {"decrypt, not even the seed byte", "decrypt", 10, 0, false, 0, "", 0},
      // Bytes appended meanwhile are not read: the output matches the line.
      {"grows while read",
       "encrypt",
       1'500'000,
       {},
       false,
       1'000'000,
       "\r completed 66% 1000000 out of 1500000 B"
       "\r completed 100% 1500000 out of 1500000 B"
       "\r completed 100% 1500000 out of 1500000 B\n",
       1'500'000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes input = testing::pattern(c.size, 5);
    testing::write_file(path("input"), input);
    std::remove(path("output").c_str());
    testing::FaultyFiles files;
    files.plant({.kind = Call::kRead, .path = path("input"), .n = 0}, Fault::kHook, [&] {
      std::ofstream(path("input"), std::ios::binary | std::ios::app)
          << std::string(c.grows_by, 'x');
    });
    if (c.end_at) {
      files.plant({.kind = Call::kRead, .path = path("input"), .from = *c.end_at},
                  c.error ? Fault::kFail : Fault::kEmpty);
    }
    const bool encrypt = c.mode == std::string("encrypt");
    const int status = kelm(c.mode, "input", "output", 0x1FF, files);
    const bool completes = !c.end_at;
    EXPECT_EQ(status, completes ? 0 : 3);
    EXPECT_EQ(out_, std::string("keysize is 2^4\n") + c.progress);
    EXPECT_EQ(err_, completes ? "" : kCannotRead + path("input") + "\n");
    // The output stands for exactly the bytes read, and no others: nothing
    // at all, not even the seed byte, where none was.
    const auto read_end = input.begin() + static_cast<std::ptrdiff_t>(c.readable);
    Bytes expected;
    if (encrypt && c.readable > 0) {
      expected = reference_of(Bytes(input.begin(), read_end), true, 0xFF);
      expected.insert(expected.begin(), 0xFF);
    } else if (c.readable > 0) {
      expected = reference_of(Bytes(input.begin() + 1, read_end), false, input[0]);
    }
    EXPECT_TRUE(testing::read_file(path("output")) == expected);
  }
}

// What the output holds after each of these is the stream's own affair,
// swept there; here, each failing call's message and status.
TEST_F(DriverTest, EveryFailingCallEndsWithItsMessage) {
  // One and a half chunks: two lanes, the second short.
  const Bytes plain = testing::pattern(1'500'000, 3);
  testing::write_file(path("plain"), plain);
  ASSERT_EQ(kelm("encrypt", "plain", "sealed"), 0);
  const std::string kReadInput = "Error: could not read input file ";
  const std::string kWriteOutput = "Error: could not write output file ";
  // How the call goes wrong, and whether an interrupt comes with it, with
  // the output cut back or not: an interrupted run says nothing, unless its
  // output may hold more than a correct beginning.
  enum class Interrupt { kNone, kCutWorks, kCutFails };
  const std::pair<Fault, Interrupt> kFaults[] = {
      {Fault::kFail, Interrupt::kNone},     {Fault::kEmpty, Interrupt::kNone},
      {Fault::kFail, Interrupt::kCutWorks}, {Fault::kEmpty, Interrupt::kCutWorks},
      {Fault::kFail, Interrupt::kCutFails}, {Fault::kEmpty, Interrupt::kCutFails}};
  for (const bool encrypt : {true, false}) {
    const std::string mode = encrypt ? "encrypt" : "decrypt";
    const std::string input = encrypt ? "plain" : "sealed";
    testing::FaultyFiles clean;
    std::remove(path("output").c_str());
    ASSERT_EQ(kelm(mode, input, "output", 0x1234500E, clean), 0);
    std::size_t uncut = 0;  // interrupted runs that said their output was not cut back
    for (std::size_t n = 0; n < clean.calls(); ++n) {
      for (const auto& [fault, interrupt] : kFaults) {
        SCOPED_TRACE(::testing::Message()
                     << mode << ", call " << n << ", fault " << static_cast<int>(fault)
                     << ", interrupt " << static_cast<int>(interrupt));
        std::remove(path("output").c_str());
        testing::FaultyFiles files;
        files.plant({.n = n}, fault);
        if (interrupt == Interrupt::kCutFails) files.plant({.kind = Call::kTruncate}, Fault::kFail);
        testing::FaultyPages pages;
        Services services = through(files, pages);
        if (interrupt != Interrupt::kNone) {
          services.interrupted = [&files, n = n] { return files.calls() > n ? SIGINT : 0; };
        }
        const int status = kelm(mode, input, "output", services);
        const std::string file = files.call(n).second;
        EXPECT_EQ(pages.dirty(), 0u) << "memory given back unwiped";
        if (interrupt != Interrupt::kNone) {
          EXPECT_EQ(status, 128 + SIGINT);
          const bool said = interrupt == Interrupt::kCutFails && !err_.empty();
          EXPECT_EQ(err_, said ? kWriteOutput + path("output") + "\n" : "");
          uncut += said ? 1 : 0;
          continue;
        }
        // Each file's failure has its own message; the key's, its own status.
        if (file == path("key")) {
          EXPECT_EQ(status, 1);
          EXPECT_EQ(err_, "Error: could not load key file " + path("key") + "\n");
        } else if (file == path(input)) {
          EXPECT_EQ(status, 3);
          EXPECT_EQ(err_, kReadInput + path(input) + "\n");
        } else {
          ASSERT_EQ(file, path("output"));
          EXPECT_EQ(status, 3);
          EXPECT_EQ(err_, kWriteOutput + path("output") + "\n");
        }
      }
    }
    // Writes ahead of the complete beginning that could not be cut off.
    EXPECT_TRUE(!encrypt || uncut > 0);
  }
}

// Memory refused for the key, its tables or the buffers, or an allocator
// that throws while the input is read or the output written.
TEST_F(DriverTest, MemoryRunningOutAnywhereEndsWithStatus2) {
  testing::write_file(path("input"), testing::pattern(2'500'000, 4));
  const std::string kBuffers = "Error: malloc buffer failed.\n";
  using Calls = testing::FaultyFiles::Calls;
  const struct {
    std::optional<std::size_t> refused;  // the block refused, in the order asked for
    std::optional<Calls> thrown;         // the file calls that throw instead
    std::string message;
  } kCases[] = {
      {0, {}, "Error: key malloc failed for keysize 16\n"},
      {1, {}, kBuffers},
      {2, {}, kBuffers},
      {{}, Calls{.kind = Call::kRead, .path = path("input"), .n = 0}, kBuffers},
      {{}, Calls{.kind = Call::kWrite, .n = 5, .onwards = true}, kBuffers},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.refused.value_or(9) << " "
                                      << (c.thrown ? static_cast<int>(*c.thrown->kind) : 9));
    std::remove(path("output").c_str());
    testing::FaultyPages pages;
    if (c.refused) pages.refuse(*c.refused);
    testing::FaultyFiles files;
    if (c.thrown) files.plant(*c.thrown, Fault::kThrow);
    EXPECT_EQ(kelm("encrypt", "input", "output", through(files, pages)), 2);
    EXPECT_EQ(err_, c.message);
    EXPECT_EQ(out_.starts_with("keysize is 2^4\n"), c.refused != 0u);
    EXPECT_EQ(pages.dirty(), 0u);
  }
}

}  // namespace
}  // namespace kelm
