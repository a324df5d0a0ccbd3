// The plain one-chunk cipher, checked against answers worked out by hand;
// every kernel set is checked against it in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "reference_cipher.h"
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

TEST(CipherTest, KnownAnswersWorkedByHand) {
  const Bytes random = random_bytes(300, 7);
  const struct {
    const char* name;
    Bytes key;
    std::uint8_t seed;
    Bytes plain;
    Bytes sealed;
  } kCases[] = {
      // n=0: key[key[14]&15]=key[10]=A8, feedback 0 -> key[0]=07; 48^A8^07=E7
      // n=1: key[key[15]&15]=key[4]=4E, feedback E7 -> key[7]=7B;  69^4E^7B=5C
      // n=2: key[key[0]&15]=key[7]=7B,  feedback 5C -> key[12]=CD; 21^7B^CD=97
      {"\"Hi!\", seed 14", kKey16, 14, {'H', 'i', '!'}, {0xE7, 0x5C, 0x97}},
      // The first byte takes the whole key length as modulus. 32-byte key,
      // seed 200: 200&31=8, key[8]=33, 33&31=19, key[19]=CA; feedback 0
      // picks key[0]=0B. 'A'(41)^CA^0B=80.
      {"'A', seed 200, 32-byte key", key_of_size(32), 200, {'A'}, {0x80}},
      {"a zero key leaves bytes unchanged", Bytes(16, 0), 99, random, random},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes data = c.plain;
    reference::encrypt_chunk(c.key, data.data(), data.size(), c.seed);
    EXPECT_EQ(data, c.sealed);
    reference::decrypt_chunk(c.key, data.data(), data.size(), c.seed);
    EXPECT_EQ(data, c.plain);
  }
}

TEST(CipherTest, OtherSeedDoesNotDecrypt) {
  const Bytes key = key_of_size(64);
  const Bytes plain = random_bytes(1000, 3);
  Bytes data = plain;
  reference::encrypt_chunk(key, data.data(), data.size(), 10);
  reference::decrypt_chunk(key, data.data(), data.size(), 11);
  EXPECT_NE(data, plain);
}

}  // namespace
}  // namespace kelm
