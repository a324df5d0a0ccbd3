// Every kernel set this processor runs, against the one-byte-at-a-time
// reference: whole chunks on one lane, and stretches of many chunks at once,
// as the read/write path calls them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "format.h"
#include "golden.h"
#include "kernels/kernel_sets.h"
#include "kernels/kernels.h"
#include "reference_cipher.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;
using testing::random_bytes;

const std::size_t kKeySizes[] = {16, 32, 64, 128};
const std::uint8_t kSeeds[] = {0, 1, 100, 255};

/// One chunk's plaintext and its ciphertext by the reference.
struct Chunk {
  Bytes plain;
  Bytes sealed;
};

Chunk make_chunk(const Bytes& key, std::uint8_t seed, std::size_t length, std::uint32_t salt) {
  Chunk chunk{random_bytes(length, salt), {}};
  chunk.sealed = chunk.plain;
  reference::encrypt_chunk(key, chunk.sealed.data(), length, seed);
  return chunk;
}

/// The ciphertext byte before `position`: what a caller carries in.
std::uint8_t feedback_before(const Chunk& chunk, std::size_t position) {
  return position == 0 ? 0 : chunk.sealed[position - 1];
}

TEST(KernelsTest, WholeChunksMatchTheReference) {
  // Every length around the vector widths, each chunk in one stretch on one lane.
  for (const kernels::Kernels* set : kernels::available()) {
    for (std::size_t size : kKeySizes) {
      const Bytes key = random_bytes(size, 11);
      for (std::uint8_t seed : kSeeds) {
        const kernels::Schedule schedule(key, seed);
        for (std::size_t length = 0; length <= 300; ++length) {
          SCOPED_TRACE(::testing::Message() << set->name << ", key " << size << ", seed "
                                            << unsigned{seed} << ", length " << length);
          const Chunk chunk = make_chunk(key, seed, length, static_cast<std::uint32_t>(length));
          Bytes data = chunk.plain;
          std::uint8_t feedback = 0;
          set->encrypt_lanes(schedule, data.data(), length, 1, 0, length, &feedback);
          ASSERT_EQ(data, chunk.sealed);
          ASSERT_EQ(feedback, feedback_before(chunk, length));
          ASSERT_EQ(set->decrypt(schedule, data.data(), 0, length, 0), feedback);
          ASSERT_EQ(data, chunk.plain);
        }
      }
    }
  }
}

/// A call of encrypt_lanes or decrypt on a stretch of `count` chunks.
struct Stretch {
  const char* name;
  std::size_t count;     // lanes
  std::size_t position;  // where the stretch starts in its chunks
  std::size_t length;
  std::size_t gap;     // stride - length
  std::size_t offset;  // of the first lane from an aligned address
};

const Stretch kStretches[] = {
    {"empty", 32, 40, 0, 0, 0},
    {"one byte, one lane", 1, 0, 1, 0, 0},
    {"one byte, all lanes", 32, 0, 1, 3, 1},
    {"a vector less one", 16, 0, 15, 0, 0},
    {"a vector", 16, 0, 16, 0, 0},
    {"a vector and one", 16, 0, 17, 0, 0},
    {"32 lanes of 31", 32, 0, 31, 1, 0},
    {"32 lanes of 33", 32, 0, 33, 0, 0},
    {"15 lanes", 15, 0, 200, 0, 0},
    {"16 lanes", 16, 0, 200, 0, 0},
    {"17 lanes", 17, 0, 200, 0, 0},
    {"31 lanes", 31, 0, 200, 0, 0},
    {"two lanes", 2, 0, 300, 0, 0},
    {"seven lanes", 7, 0, 300, 0, 0},
    {"nine lanes", 9, 0, 300, 0, 0},
    {"24 lanes", 24, 0, 300, 0, 0},
    {"blocks of 64, and one", 32, 0, 65, 0, 0},
    {"blocks of 64, less one", 32, 0, 127, 0, 0},
    {"two blocks of 128", 32, 0, 256, 0, 0},
    {"many blocks, odd end", 32, 0, 1'000, 0, 0},
    {"mid-key start", 32, 5, 300, 0, 0},
    {"start at a key length", 32, 128, 256, 0, 0},
    {"start one past a block", 32, 65, 260, 0, 0},
    {"start just before a block", 32, 127, 130, 0, 0},
    {"late start, short", 32, 4'099, 7, 0, 0},
    {"late start, long", 32, 3'001, 1'100, 0, 0},
    {"stride far past the length", 32, 16, 48, 1'000, 0},
    {"odd stride", 32, 0, 257, 3, 0},
    {"unaligned lanes", 32, 9, 250, 1, 7},
    {"unaligned, one lane", 1, 33, 250, 0, 3},
    {"17 lanes, unaligned, late", 17, 1'234, 500, 5, 13},
    {"32 lanes, a row of 16", 32, 0, 16, 0, 0},
    {"20 lanes, rows of 16, 8 and 7", 20, 120, 39, 0, 0},
};

/// Runs one row through a set: encryption against the reference, untouched
/// bytes outside the lanes, then decryption back to the plaintext.
void check_stretch(const kernels::Kernels& set, const Bytes& key, std::uint8_t seed,
                   const Stretch& row) {
  const std::size_t stride = row.length + row.gap;
  std::vector<Chunk> chunks;
  for (std::size_t j = 0; j < row.count; ++j) {
    chunks.push_back(make_chunk(key, seed, row.position + row.length,
                                static_cast<std::uint32_t>(j * 7919 + row.length)));
  }
  // Room for every lane up to kMaxLanes and then some, all filled with a
  // pattern that must survive wherever no lane is.
  const Bytes filler = random_bytes(row.offset + (kernels::kMaxLanes + 1) * stride + 64, 99);
  Bytes buffer = filler;
  std::uint8_t* const lanes = buffer.data() + row.offset;
  std::uint8_t feedback[kernels::kMaxLanes + 1];
  std::memset(feedback, 0xA5, sizeof feedback);
  for (std::size_t j = 0; j < row.count; ++j) {
    std::memcpy(lanes + j * stride, chunks[j].plain.data() + row.position, row.length);
    feedback[j] = feedback_before(chunks[j], row.position);
  }
  const kernels::Schedule schedule(key, seed);
  set.encrypt_lanes(schedule, lanes, stride, row.count, row.position, row.length, feedback);

  Bytes expected = filler;
  for (std::size_t j = 0; j < row.count; ++j) {
    std::memcpy(expected.data() + row.offset + j * stride, chunks[j].sealed.data() + row.position,
                row.length);
    ASSERT_EQ(feedback[j], feedback_before(chunks[j], row.position + row.length)) << "lane " << j;
  }
  ASSERT_EQ(buffer, expected);
  for (std::size_t j = row.count; j <= kernels::kMaxLanes; ++j) {
    ASSERT_EQ(feedback[j], 0xA5) << "feedback of unused lane " << j;
  }

  for (std::size_t j = 0; j < row.count; ++j) {
    std::uint8_t* const bytes = lanes + j * stride;
    const std::uint8_t last = set.decrypt(schedule, bytes, row.position, row.length,
                                          feedback_before(chunks[j], row.position));
    ASSERT_EQ(last, feedback_before(chunks[j], row.position + row.length)) << "lane " << j;
    ASSERT_EQ(0, std::memcmp(bytes, chunks[j].plain.data() + row.position, row.length))
        << "lane " << j;
  }
}

TEST(KernelsTest, StretchesOfManyChunksMatchTheReference) {
  ASSERT_EQ(kernels::available().front(), &kernels::kPortable);
  for (const kernels::Kernels* set : kernels::available()) {
    for (std::size_t size : kKeySizes) {
      const Bytes key = random_bytes(size, static_cast<std::uint32_t>(size));
      for (std::uint8_t seed : kSeeds) {
        for (const Stretch& row : kStretches) {
          SCOPED_TRACE(::testing::Message() << set->name << ", key " << size << ", seed "
                                            << unsigned{seed} << ", " << row.name);
          check_stretch(*set, key, seed, row);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

/// Enciphers the whole chunks of a payload as lanes, in tiles the way the
/// read/write path does, then the short last chunk as a lane of its own;
/// deciphers each chunk back in tiles too.
void run_payload(const kernels::Kernels& set, const kernels::Schedule& schedule, Bytes& data,
                 bool encrypting) {
  constexpr std::size_t kChunk = CHUNK_SIZE;
  const std::size_t tile = 40'000 + 17;  // does not divide a chunk: the last tile is short
  const std::size_t full = data.size() / kChunk;
  const std::size_t rest = data.size() % kChunk;
  std::uint8_t feedback[kernels::kMaxLanes] = {};
  for (std::size_t at = 0; at < kChunk; at += tile) {
    const std::size_t length = std::min<std::size_t>(tile, kChunk - at);
    if (encrypting) {
      set.encrypt_lanes(schedule, data.data() + at, kChunk, full, at, length, feedback);
    } else {
      for (std::size_t j = 0; j < full; ++j) {
        feedback[j] = set.decrypt(schedule, data.data() + j * kChunk + at, at, length, feedback[j]);
      }
    }
  }
  std::uint8_t last = 0;
  std::uint8_t* const tail = data.data() + full * kChunk;
  if (encrypting) {
    set.encrypt_lanes(schedule, tail, rest, 1, 0, rest, &last);
  } else {
    set.decrypt(schedule, tail, 0, rest, 0);
  }
}

TEST(KernelsTest, EverySetGivesTheKnownAnswers) {
  const std::vector<testing::GoldenKey> golden = testing::load_golden();
  ASSERT_FALSE(golden.empty()) << "tests/golden/ciphertexts.txt missing or unreadable";
  for (const kernels::Kernels* set : kernels::available()) {
    for (const testing::GoldenKey& known : golden) {
      for (const testing::GoldenChunk& chunk : known.chunks) {
        SCOPED_TRACE(::testing::Message() << set->name << ", key " << known.key.size()
                                          << ", chunk of " << chunk.sealed.size());
        const kernels::Schedule schedule(known.key, chunk.seed);
        const Bytes plain = testing::golden_plaintext(chunk.salt, chunk.sealed.size());
        Bytes data = plain;
        // In two stretches, the second carrying on the first's feedback.
        const std::size_t cut = data.size() / 3;
        std::uint8_t feedback = 0;
        set->encrypt_lanes(schedule, data.data(), data.size(), 1, 0, cut, &feedback);
        set->encrypt_lanes(schedule, data.data() + cut, data.size(), 1, cut, data.size() - cut,
                           &feedback);
        EXPECT_EQ(data, chunk.sealed);
        const std::uint8_t previous = set->decrypt(schedule, data.data(), 0, cut, 0);
        set->decrypt(schedule, data.data() + cut, cut, data.size() - cut, previous);
        EXPECT_EQ(data, plain);
      }
      for (const testing::GoldenPayload& payload : known.payloads) {
        SCOPED_TRACE(::testing::Message() << set->name << ", key " << known.key.size());
        const kernels::Schedule schedule(known.key, payload.seed);
        const Bytes plain = testing::golden_plaintext(payload.salt, payload.length);
        Bytes data = plain;
        run_payload(*set, schedule, data, true);
        EXPECT_EQ(testing::fnv1a(data), payload.fnv);
        for (const testing::GoldenSlice& slice : payload.slices) {
          EXPECT_EQ(0,
                    std::memcmp(data.data() + slice.offset, slice.bytes.data(), slice.bytes.size()))
              << "at " << slice.offset;
        }
        run_payload(*set, schedule, data, false);
        EXPECT_TRUE(data == plain);
      }
    }
  }
}

}  // namespace
}  // namespace kelm
