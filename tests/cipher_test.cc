#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "golden.h"
#include "kelm.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;
using testing::random_bytes;

// Bytes whose low bits differ from their index, so a wrong index shows.
const Bytes kKey16 = {0x07, 0x1C, 0x23, 0x39, 0x4E, 0x50, 0x65, 0x7B,
                      0x82, 0x9F, 0xA8, 0xB1, 0xCD, 0xD6, 0xEA, 0xF4};

Bytes key_of_size(std::size_t size) {
  Bytes key(size);
  for (std::size_t i = 0; i < size; ++i) key[i] = static_cast<std::uint8_t>(i * 37 + 11);
  return key;
}

/// A key that must load; the test stops otherwise.
#define MAKE_KEY(name, bytes) \
  CipherKey name;             \
  ASSERT_TRUE(name.assign(bytes))

TEST(CipherTest, KnownAnswerWorkedByHand) {
  // Seed 14, key kKey16, plaintext "Hi!":
  //   n=0: key[key[14]&15]=key[10]=A8, feedback 0 -> key[0]=07; 48^A8^07=E7
  //   n=1: key[key[15]&15]=key[4]=4E, feedback E7 -> key[7]=7B;  69^4E^7B=5C
  //   n=2: key[key[0]&15]=key[7]=7B,  feedback 5C -> key[12]=CD; 21^7B^CD=97
  MAKE_KEY(key, kKey16);
  Bytes data = {'H', 'i', '!'};
  key.encrypt_chunk(data.data(), data.size(), 14);
  EXPECT_EQ(data, (Bytes{0xE7, 0x5C, 0x97}));
  key.decrypt_chunk(data.data(), data.size(), 14);
  EXPECT_EQ(data, (Bytes{'H', 'i', '!'}));
}

TEST(CipherTest, FirstByteUsesWholeKeyLengthAsModulus) {
  // 32-byte key, seed 200: 200&31=8, key[8]=33, 33&31=19, key[19]=CA;
  // feedback 0 picks key[0]=0B. 'A'(41)^CA^0B=80.
  MAKE_KEY(key, key_of_size(32));
  std::uint8_t byte = 'A';
  key.encrypt_chunk(&byte, 1, 200);
  EXPECT_EQ(byte, 0x80);
}

TEST(CipherTest, ZeroKeyLeavesBytesUnchanged) {
  MAKE_KEY(key, Bytes(16, 0));
  const Bytes plain = random_bytes(300, 7);
  Bytes data = plain;
  key.encrypt_chunk(data.data(), data.size(), 99);
  EXPECT_EQ(data, plain);
}

TEST(CipherTest, OtherSeedDoesNotDecrypt) {
  MAKE_KEY(key, key_of_size(64));
  const Bytes plain = random_bytes(1000, 3);
  Bytes data = plain;
  key.encrypt_chunk(data.data(), data.size(), 10);
  key.decrypt_chunk(data.data(), data.size(), 11);
  EXPECT_NE(data, plain);
}

TEST(CipherTest, EmptyChunkTouchesNothingButResetsFeedback) {
  MAKE_KEY(key, kKey16);
  std::uint8_t byte = 0x5A;
  key.encrypt_chunk(&byte, 1, 0);
  ASSERT_NE(key.feedback(), 0);
  std::uint8_t untouched = 0x33;
  key.encrypt_chunk(&untouched, 0, 0);
  EXPECT_EQ(untouched, 0x33);
  EXPECT_EQ(key.feedback(), 0);
  EXPECT_EQ(Bytes(key.bytes().begin(), key.bytes().end()), kKey16);
}

TEST(CipherTest, KnownAnswersOfTheReference) {
  const std::vector<testing::GoldenKey> golden = testing::load_golden();
  ASSERT_EQ(golden.size(), 4u) << "tests/golden/ciphertexts.txt missing or unreadable";
  for (const testing::GoldenKey& known : golden) {
    MAKE_KEY(key, known.key);
    for (const testing::GoldenChunk& chunk : known.chunks) {
      SCOPED_TRACE(::testing::Message()
                   << "key " << known.key.size() << ", chunk of " << chunk.sealed.size()
                   << ", seed " << unsigned{chunk.seed});
      const Bytes plain = testing::golden_plaintext(chunk.salt, chunk.sealed.size());
      Bytes data = plain;
      key.encrypt_chunk(data.data(), data.size(), chunk.seed);
      EXPECT_EQ(data, chunk.sealed);
      key.decrypt_chunk(data.data(), data.size(), chunk.seed);
      EXPECT_EQ(data, plain);
    }
  }
}

TEST(CipherTest, KnownAnswersAcrossChunkBoundaries) {
  // Each chunk of a payload starts afresh: position 0 and feedback 0.
  for (const testing::GoldenKey& known : testing::load_golden()) {
    MAKE_KEY(key, known.key);
    for (const testing::GoldenPayload& payload : known.payloads) {
      SCOPED_TRACE(::testing::Message() << "key " << known.key.size());
      const Bytes plain = testing::golden_plaintext(payload.salt, payload.length);
      Bytes data = plain;
      for (std::size_t at = 0; at < data.size(); at += CHUNK_SIZE) {
        const std::size_t length = std::min<std::size_t>(CHUNK_SIZE, data.size() - at);
        key.encrypt_chunk(data.data() + at, length, payload.seed);
      }
      EXPECT_EQ(testing::fnv1a(data), payload.fnv);
      for (const testing::GoldenSlice& slice : payload.slices) {
        EXPECT_EQ(
            Bytes(data.begin() + static_cast<std::ptrdiff_t>(slice.offset),
                  data.begin() + static_cast<std::ptrdiff_t>(slice.offset + slice.bytes.size())),
            slice.bytes)
            << "at " << slice.offset;
      }
      for (std::size_t at = 0; at < data.size(); at += CHUNK_SIZE) {
        const std::size_t length = std::min<std::size_t>(CHUNK_SIZE, data.size() - at);
        key.decrypt_chunk(data.data() + at, length, payload.seed);
      }
      EXPECT_TRUE(data == plain);
    }
  }
}

}  // namespace
}  // namespace kelm
