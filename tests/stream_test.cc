// Streaming a payload: every shape of jobs, files read and written anywhere
// or in order, against the plain chunk-at-a-time reference, and what is left
// and told after any call to the system fails, comes up short, throws or is
// interrupted.
#include "stream.h"

#include <atomic>
#include <new>

#include "key.h"
#include "platform.h"
#include "reference_cipher.h"
#include "system.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;
using Call = testing::FaultyFiles::Call;
using Fault = testing::FaultyFiles::Fault;

constexpr std::uint8_t kSeed = 77;
constexpr std::uint64_t kInputOffset = 3;   // bytes before the payload in the input
constexpr std::uint64_t kOutputOffset = 2;  // and in the output, the header's byte last
constexpr std::uint8_t kHeader = 0xAB;

/// Files that give or take bytes only in order, as pipes do.
enum Pipes : unsigned {
  kNoPipe = 0,
  kPipeIn = 1,
  kPipeOut = 2,
  kUnknownLength = 4 | kPipeIn,  // read in order to its end
};

/// The shape of one stream; chunks of about a hundred bytes reach every
/// lane, tile and job boundary with small files.
struct Shape {
  const char* name;
  Direction direction;
  std::uint64_t payload;
  std::uint64_t chunk;
  std::size_t lanes;
  std::size_t tile;
  unsigned pipes = kNoPipe;
  std::size_t workers = 2;
  bool helper_refused = false;
};

constexpr Direction kEnc = Direction::kEncrypt;
constexpr Direction kDec = Direction::kDecrypt;

/// The chunk positions the plain loop tells of when the input can be read
/// up to `readable`: every chunk end, then the end of a partial chunk.
std::vector<std::uint64_t> chunk_ends(std::uint64_t readable, std::uint64_t chunk) {
  std::vector<std::uint64_t> ends;
  for (std::uint64_t end = chunk; end <= readable; end += chunk) ends.push_back(end);
  if (readable % chunk != 0) ends.push_back(readable);
  return ends;
}

struct Streamed {
  StreamEnd end = StreamEnd::kDone;  // unless it threw
  bool threw = false;                // an exception reached the caller instead
  Bytes output;                      // without the bytes before the payload
  std::vector<std::uint64_t> told;   // chunk positions, in the order told
  bool header = false;               // the header is in the output
};

class StreamTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    key_bytes_ = testing::random_bytes(32, 5);
    ASSERT_EQ(key_.assign(key_bytes_), KELM_OK);
  }

  /// What a whole stream of `shape` must write: the reference, chunk by chunk.
  Bytes expected(const Shape& shape) const {
    return reference::transform_payload(key_bytes_, shape.direction == kEnc, plain(shape), kSeed,
                                        shape.chunk);
  }

  static Bytes plain(const Shape& shape) {
    return testing::random_bytes(static_cast<std::size_t>(shape.payload),
                                 static_cast<std::uint32_t>(shape.payload));
  }

  Streamed stream(const Shape& shape, FileAccess& files, const kernels::Kernels* set = nullptr,
                  std::function<bool()> stop = nullptr) {
    Bytes input(kInputOffset, 0xEE);
    const Bytes payload = plain(shape);
    input.insert(input.end(), payload.begin(), payload.end());
    testing::write_file(path("input"), input);
    std::remove(path("output").c_str());
    FileInfo opened;
    UniqueFd in = open_input_file(path("input"), opened).value_or(UniqueFd());
    UniqueFd out = open_output_file(path("output"), Create::kNew, 0600);
    // The bytes before the header are there already; an input read in
    // order is past its own.
    EXPECT_TRUE(write_full(system_files(), out.get(), input.data(), kOutputOffset - 1));
    Bytes skipped(kInputOffset);
    if ((shape.pipes & kPipeIn) != 0) {
      EXPECT_EQ(read_full(system_files(), in.get(), skipped.data(), kInputOffset).count,
                kInputOffset);
    }

    StreamPlan plan;
    plan.direction = shape.direction;
    plan.input = in.get();
    plan.input_access = (shape.pipes & kPipeIn) != 0 ? Access::kInOrder : Access::kAnywhere;
    plan.input_offset = kInputOffset;
    plan.output = out.get();
    plan.output_access = (shape.pipes & kPipeOut) != 0 ? Access::kInOrder : Access::kAnywhere;
    plan.output_offset = kOutputOffset;
    plan.header = {&kHeader, 1};
    plan.payload = shape.pipes == kUnknownLength ? UNKNOWN_LENGTH : shape.payload;
    plan.chunk_size = shape.chunk;
    plan.max_lanes = shape.lanes;
    plan.tile = shape.tile;
    plan.whole_lanes = shape.lanes;
    plan.decryption_job = shape.lanes * shape.tile;  // decryption's jobs, in the same table
    plan.workers = shape.workers;
    plan.helper_refused = shape.helper_refused;
    plan.shared_decryption = 0;  // even the smallest are shared, to meet both workers
    plan.kernels = set;
    plan.stop = std::move(stop);
    Streamed result;
    try {
      const KeySchedule schedule(key_.bytes(), kSeed);
      result.end = stream_payload(plan, schedule.get(), files, system_pages(),
                                  [&](std::uint64_t position) { result.told.push_back(position); });
    } catch (const std::bad_alloc&) {
      result.threw = true;
    }
    const Bytes written = *testing::read_file(path("output"));
    EXPECT_GE(written.size(), kOutputOffset - 1);
    // The header is written before the payload, or not at all.
    result.header = written.size() >= kOutputOffset;
    if (result.header) {
      EXPECT_EQ(written[kOutputOffset - 1], kHeader);
      result.output.assign(written.begin() + static_cast<std::ptrdiff_t>(kOutputOffset),
                           written.end());
    }
    return result;
  }

  Bytes key_bytes_;
  CipherKey key_;
};

const Shape kShapes[] = {
    {"one byte", kEnc, 1, 100, 32, 16},
    {"fewer chunks than lanes, short last", kEnc, 7 * 100 + 33, 100, 32, 16},
    {"tiles dividing the chunks", kEnc, 10 * 96, 96, 4, 16},
    {"several jobs, one-byte last chunk", kEnc, 70 * 100 + 1, 100, 16, 24},
    {"all lanes, odd tiles", kEnc, 40 * 64 + 5, 64, 32, 7},
    {"ends on a job boundary", kEnc, 2 * 8 * 50, 50, 8, 50},
    {"tile wider than a chunk", kEnc, 5 * 40 + 9, 40, 3, 64},
    {"one worker", kEnc, 20 * 100 + 3, 100, 4, 16, kNoPipe, 1},
    {"two workers, no helper to be had", kEnc, 20 * 100 + 3, 100, 4, 16, kNoPipe, 2, true},
    {"to a pipe", kEnc, 9 * 100 + 50, 100, 3, 16, kPipeOut},
    {"one lane to a pipe", kEnc, 9 * 100, 100, 1, 16, kPipeOut},
    {"from a pipe", kEnc, 9 * 100 + 50, 100, 2, 32, kPipeIn},
    {"from a pipe of unknown length", kEnc, 13 * 100 + 1, 100, 4, 16, kUnknownLength},
    {"pipe to pipe, ends on a job boundary", kEnc, 8 * 100, 100, 4, 100, kUnknownLength | kPipeOut},
    {"decrypt, jobs inside a chunk", kDec, 10 * 100 + 7, 100, 2, 16},
    {"decrypt, jobs across chunks", kDec, 10 * 100 + 7, 100, 8, 64},
    {"decrypt, ends on a chunk boundary", kDec, 6 * 100, 100, 3, 100},
    {"decrypt to a pipe, one worker", kDec, 10 * 100 + 7, 100, 4, 16, kPipeOut, 1},
    {"decrypt pipe to pipe", kDec, 10 * 100 + 7, 100, 3, 16, kUnknownLength | kPipeOut},
    {"decrypt from a pipe, ends on a job boundary", kDec, 12 * 64, 100, 4, 16, kUnknownLength},
    // The program's own shapes, on real chunks.
    {"encrypt, real chunks", kEnc, 2 * CHUNK_SIZE + 12'345, CHUNK_SIZE, kernels::kMaxLanes,
     TILE_SIZE},
    {"encrypt from a pipe, real chunks", kEnc, 2 * CHUNK_SIZE + 12'345, CHUNK_SIZE, WHOLE_LANES,
     TILE_SIZE, kUnknownLength},
    {"decrypt, real chunks", kDec, 2 * CHUNK_SIZE + 12'345, CHUNK_SIZE, 1, DECRYPTION_JOB_SIZE},
};

TEST_F(StreamTest, EveryShapeMatchesTheReference) {
  for (const kernels::Kernels* set : kernels::available()) {
    for (const Shape& shape : kShapes) {
      SCOPED_TRACE(::testing::Message() << set->name << ", " << shape.name);
      testing::FaultyFiles files;
      const Streamed result = stream(shape, files, set);
      EXPECT_EQ(result.end, StreamEnd::kDone);
      EXPECT_TRUE(result.output == expected(shape));
      EXPECT_EQ(result.told, chunk_ends(shape.payload, shape.chunk));
      // The system caches a file in pieces as large as the writes into it.
      EXPECT_LE(files.largest_placed_write(), MOST_WRITTEN);
    }
  }
}

TEST_F(StreamTest, AnEmptyPipeWritesNothing) {
  for (const Direction direction : {kEnc, kDec}) {
    const Streamed result =
        stream({"empty", direction, 0, 100, 4, 16, kUnknownLength}, system_files());
    EXPECT_EQ(result.end, StreamEnd::kEmpty);
    EXPECT_FALSE(result.header);
    EXPECT_TRUE(result.told.empty());
  }
}

TEST_F(StreamTest, WritesCutShortAreCompleted) {
  // A pipe or a signal can make a write take fewer bytes than asked.
  testing::FaultyFiles files;
  files.plant({.kind = Call::kWrite}, Fault::kShort);
  for (const Shape& shape : {kShapes[3], kShapes[8], kShapes[14], kShapes[17]}) {
    SCOPED_TRACE(shape.name);
    const Streamed result = stream(shape, files);
    EXPECT_EQ(result.end, StreamEnd::kDone);
    EXPECT_TRUE(result.output == expected(shape));
  }
}

TEST_F(StreamTest, EveryCallThatGoesWrongLeavesACorrectPrefix) {
  // Chunks of 100 bytes, five lanes and tiles of 32: a hundred calls or so
  // reach every lane, tile and job boundary.
  const Shape kSwept[] = {
      {"encrypt into a file", kEnc, 12 * 100 + 37, 100, 5, 32},
      {"encrypt to a pipe", kEnc, 12 * 100 + 37, 100, 3, 32, kPipeOut},
      {"encrypt from a pipe", kEnc, 12 * 100 + 37, 100, 3, 32, kUnknownLength},
      {"decrypt into a file", kDec, 12 * 100 + 37, 100, 2, 64},
      {"decrypt pipe to pipe", kDec, 12 * 100 + 37, 100, 2, 64, kUnknownLength | kPipeOut},
      // Lanes written ahead of the first inside the one job.
      {"encrypt one job into a file", kEnc, 3 * 100 + 37, 100, 4, 32, kNoPipe, 1},
  };
  const Fault kFaults[] = {Fault::kFail,      Fault::kEmpty, Fault::kShort, Fault::kShortThenFail,
                           Fault::kInterrupt, Fault::kThrow, Fault::kHook};
  for (const Shape& shape : kSwept) {
    const Bytes whole = expected(shape);
    testing::FaultyFiles clean;
    ASSERT_EQ(stream(shape, clean).end, StreamEnd::kDone);
    for (std::size_t n = 0; n < clean.calls(); ++n) {
      for (const Fault fault : kFaults) {
        // The cut working, then failing; then a failure or a throw held
        // until the other worker is at a call of its kind, mid-job.
        for (const auto& [cut_fails, held] :
             {std::pair{false, false}, {true, false}, {false, true}}) {
          if (held && (shape.workers == 1 || (fault != Fault::kFail && fault != Fault::kThrow))) {
            continue;
          }
          // Only an output written anywhere is ever cut back.
          if (cut_fails && ((shape.pipes & kPipeOut) != 0 || fault == Fault::kShort ||
                            fault == Fault::kInterrupt)) {
            continue;
          }
          SCOPED_TRACE(::testing::Message()
                       << shape.name << ", call " << n << ", fault " << static_cast<int>(fault)
                       << ", cut " << (cut_fails ? "fails" : "works") << (held ? ", held" : ""));
          testing::FaultyFiles files;
          std::atomic<bool> interrupted{false};
          files.plant({.n = n, .held = held}, fault, [&] { interrupted = true; });
          if (cut_fails) files.plant({.kind = Call::kTruncate}, Fault::kFail);
          const Streamed result = stream(shape, files, nullptr, [&] {
            files.reaching_write();
            return interrupted.load();
          });
          ASSERT_GT(files.calls(), n);
          const Call kind = files.call(n).first;
          // A cut that fails is the one way to leave more than a prefix,
          // and it must never pass unreported.
          if (result.end == StreamEnd::kWriteFailed && cut_fails) continue;
          ASSERT_LE(result.output.size(), whole.size());
          ASSERT_TRUE(std::equal(result.output.begin(), result.output.end(), whole.begin()))
              << "not a prefix: " << result.output.size() << " bytes";
          // Only chunks inside the output are told of, in order.
          const bool read_failed = !result.threw && result.end == StreamEnd::kReadFailed;
          const std::uint64_t readable = read_failed ? result.output.size() : shape.payload;
          const std::vector<std::uint64_t> ends = chunk_ends(readable, shape.chunk);
          ASSERT_LE(result.told.size(), ends.size());
          EXPECT_TRUE(std::equal(result.told.begin(), result.told.end(), ends.begin()));
          if (!result.told.empty()) {
            EXPECT_LE(result.told.back(), result.output.size());
          }
          switch (fault) {
            case Fault::kShort:      // completed by the next call
            case Fault::kInterrupt:  // made again, as if nothing happened
              EXPECT_EQ(result.end, StreamEnd::kDone);
              break;
            case Fault::kShortThenFail:  // whichever side makes the next call fails
              EXPECT_TRUE(result.end != StreamEnd::kDone || files.calls() == n + 1);
              break;
            case Fault::kThrow: EXPECT_TRUE(result.threw); break;
            case Fault::kHook:  // an interrupt: it stops at the next write, if any is left
              EXPECT_TRUE(result.end == StreamEnd::kStopped || result.end == StreamEnd::kDone);
              break;
            case Fault::kEmpty:
              // A pipe that gives nothing has ended: a shorter stream.
              if (kind == Call::kRead && shape.pipes == kUnknownLength) {
                EXPECT_TRUE(result.end == StreamEnd::kDone || result.end == StreamEnd::kEmpty);
                break;
              }
              [[fallthrough]];
            case Fault::kFail:
              EXPECT_EQ(result.end,
                        kind == Call::kRead ? StreamEnd::kReadFailed : StreamEnd::kWriteFailed);
              // Once a write has failed, no other begins. Only two lone
              // writes into a file, a decryption's, may run side by side,
              // and the other worker's may begin before this one fails.
              const bool side_by_side = shape.direction == kDec && (shape.pipes & kPipeOut) == 0;
              if (kind == Call::kWrite && !side_by_side) {
                for (std::size_t later = n + 1; later < files.calls(); ++later) {
                  EXPECT_NE(files.call(later).first, Call::kWrite) << "call " << later;
                }
              }
              break;
          }
          const bool ended_early = kind == Call::kRead && fault == Fault::kEmpty;
          if (!result.threw && result.end == StreamEnd::kDone && !ended_early) {
            EXPECT_EQ(result.output.size(), whole.size());
            EXPECT_EQ(result.told, chunk_ends(shape.payload, shape.chunk));
          }
        }
      }
    }
  }
}

TEST_F(StreamTest, ReadFailureLeavesTheExactPrefix) {
  const struct {
    Shape shape;
    std::uint64_t readable;  // payload bytes before the failure
    bool error;              // a read error, else an early end of the file
  } kCases[] = {
      {{"at the first byte", kEnc, 1000, 100, 8, 16}, 0, true},
      {{"in the first tile", kEnc, 1000, 100, 8, 16}, 5, false},
      {{"on a chunk boundary", kEnc, 1000, 100, 8, 16}, 300, true},
      // Lanes past the failure were read and written before it was met.
      {{"in a later lane", kEnc, 20 * 100, 100, 16, 16}, 7 * 100 + 50, false},
      {{"in a later group", kEnc, 40 * 100 + 7, 100, 16, 16}, 20 * 100 + 1, true},
      {{"in the short last chunk", kEnc, 7 * 100 + 33, 100, 8, 16}, 7 * 100 + 10, false},
      {{"to a pipe", kEnc, 9 * 100 + 50, 100, 4, 16, kPipeOut}, 2 * 100 + 99, true},
      {{"from a pipe", kEnc, 9 * 100 + 50, 100, 4, 16, kPipeIn}, 6 * 100 + 1, false},
      {{"decrypt, mid chunk", kDec, 10 * 100 + 7, 100, 2, 16}, 4 * 100 + 17, false},
      {{"decrypt, on a chunk boundary", kDec, 10 * 100 + 7, 100, 2, 16}, 600, true},
      {{"real chunks, mid chunk", kEnc, 3 * CHUNK_SIZE, CHUNK_SIZE, kernels::kMaxLanes, TILE_SIZE},
       CHUNK_SIZE + 123'457,
       false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.shape.name);
    testing::FaultyFiles files;
    files.plant({.kind = Call::kRead, .from = kInputOffset + c.readable},
                c.error ? Fault::kFail : Fault::kEmpty);
    const Streamed result = stream(c.shape, files);
    EXPECT_EQ(result.end, StreamEnd::kReadFailed);
    Bytes prefix = expected(c.shape);
    prefix.resize(static_cast<std::size_t>(c.readable));
    EXPECT_TRUE(result.output == prefix) << result.output.size() << " bytes written";
    EXPECT_EQ(result.told, chunk_ends(c.readable, c.shape.chunk));
  }
}

TEST_F(StreamTest, WriteFailureLeavesAPrefixOfWholeChunksTold) {
  const struct {
    Shape shape;
    std::uint64_t room;  // payload bytes the output takes
    bool truncate_fails;
  } kCases[] = {
      {{"before the first byte", kEnc, 1000, 100, 8, 16}, 0, false},
      // Later lanes are written ahead of the first: they must not stay.
      {{"in the first lane", kEnc, 2000, 100, 16, 16}, 50, false},
      {{"in a later lane", kEnc, 2000, 100, 16, 16}, 5 * 100 + 20, false},
      {{"in a later group", kEnc, 4000, 100, 16, 16}, 25 * 100, false},
      {{"to a pipe", kEnc, 950, 100, 4, 16, kPipeOut}, 333, false},
      {{"decrypt", kDec, 1007, 100, 2, 16}, 444, false},
      {{"and the output cannot be cut back", kEnc, 2000, 100, 16, 16}, 250, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.shape.name);
    testing::FaultyFiles files;
    files.plant({.kind = Call::kWrite, .from = kOutputOffset + c.room}, Fault::kFail);
    if (c.truncate_fails) files.plant({.kind = Call::kTruncate}, Fault::kFail);
    const Streamed result = stream(c.shape, files);
    EXPECT_EQ(result.end, StreamEnd::kWriteFailed);
    const Bytes whole = expected(c.shape);
    if (!c.truncate_fails) {
      ASSERT_LE(result.output.size(), c.room);
      EXPECT_TRUE(std::equal(result.output.begin(), result.output.end(), whole.begin()));
    }
    // Only whole chunks that are in the output are told of.
    for (std::uint64_t told : result.told) {
      EXPECT_EQ(told % c.shape.chunk, 0u);
      EXPECT_LE(told, c.room);
    }
  }
}

}  // namespace
}  // namespace kelm
