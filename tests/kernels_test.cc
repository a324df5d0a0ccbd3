// The fast kernels against the one-byte-at-a-time reference, on random data.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cipher_kernels.h"
#include "kelm.h"
#include "reference_cipher.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;
using testing::random_bytes;

/// The reference applied chunk by chunk, as the file layout cuts them.
Bytes reference_chunks(const Bytes& key, bool encrypt, Bytes data, std::uint8_t seed) {
  for (std::size_t at = 0; at < data.size(); at += CHUNK_SIZE) {
    const std::size_t length = std::min<std::size_t>(CHUNK_SIZE, data.size() - at);
    reference::transform_chunk(key, encrypt, data.data() + at, length, seed);
  }
  return data;
}

const std::size_t kKeySizes[] = {16, 32, 64, 128};
const std::uint8_t kSeeds[] = {0, 1, 100, 255};

TEST(KernelsTest, SmallLengthsMatchTheReference) {
  // Every length around the vector widths, in one chunk.
  for (std::size_t size : kKeySizes) {
    const Bytes key_bytes = random_bytes(size, 11);
    CipherKey key;
    ASSERT_TRUE(key.assign(key_bytes));
    for (std::uint8_t seed : kSeeds) {
      for (std::size_t length = 0; length <= 300; ++length) {
        SCOPED_TRACE(::testing::Message()
                     << "key " << size << " seed " << unsigned{seed} << " length " << length);
        const Bytes plain = random_bytes(length, static_cast<std::uint32_t>(length));
        const Bytes sealed = reference_chunks(key_bytes, true, plain, seed);
        Bytes data = plain;
        key.encrypt_chunk(data.data(), length, seed);
        ASSERT_EQ(data, sealed);
        key.decrypt_chunk(data.data(), length, seed);
        ASSERT_EQ(data, plain);
      }
    }
  }
}

TEST(KernelsTest, ChunkRunsMatchTheReference) {
  const struct {
    const char* name;
    std::size_t length;
  } kLengths[] = {
      {"exactly one chunk", CHUNK_SIZE},
      {"chunk plus one", CHUNK_SIZE + 1},
      {"odd, three chunks", 2 * CHUNK_SIZE + 12'345},
      {"all lanes, short last", 8 * CHUNK_SIZE - 7},
      {"all lanes, last shorter than a vector block", 7 * CHUNK_SIZE + 5},
      {"more than the lanes", 9 * CHUNK_SIZE + 33},
  };
  for (std::size_t size : kKeySizes) {
    const Bytes key_bytes = random_bytes(size, static_cast<std::uint32_t>(size));
    CipherKey key;
    ASSERT_TRUE(key.assign(key_bytes));
    for (const auto& c : kLengths) {
      const std::uint8_t seed = kSeeds[c.length % 4];
      SCOPED_TRACE(::testing::Message() << "key " << size << ", " << c.name);
      const Bytes plain = random_bytes(c.length, 5);
      Bytes data = plain;
      key.encrypt_chunks(data.data(), data.size(), seed);
      ASSERT_EQ(data, reference_chunks(key_bytes, true, plain, seed));
      const Bytes sealed = data;
      key.decrypt_chunks(data.data(), data.size(), seed);
      ASSERT_EQ(data, plain);
      // The portable decryption must agree too, wherever the vector one runs.
      data = sealed;
      const kernels::Schedule schedule(key_bytes, seed);
      const std::size_t first = std::min<std::size_t>(c.length, CHUNK_SIZE);
      kernels::decrypt_portable(schedule, data.data(), first);
      ASSERT_EQ(std::memcmp(data.data(), plain.data(), first), 0);
    }
  }
}

TEST(KernelsTest, VectorAndPortableDecryptionAgree) {
  if (!kernels::has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  for (std::size_t size : kKeySizes) {
    const Bytes key_bytes = random_bytes(size, 3);
    for (std::uint8_t seed : kSeeds) {
      for (std::size_t length : {0u, 1u, 31u, 32u, 33u, 64u, 65u, 1000u, 4099u}) {
        SCOPED_TRACE(::testing::Message()
                     << "key " << size << " seed " << unsigned{seed} << " length " << length);
        const kernels::Schedule schedule(key_bytes, seed);
        Bytes portable = random_bytes(length, seed);
        Bytes vector = portable;
        const std::uint8_t last_portable =
            kernels::decrypt_portable(schedule, portable.data(), length);
        const std::uint8_t last_vector = kernels::decrypt_avx2(schedule, vector.data(), length);
        ASSERT_EQ(vector, portable);
        ASSERT_EQ(last_vector, last_portable);
      }
    }
  }
}

}  // namespace
}  // namespace kelm
