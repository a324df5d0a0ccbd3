// Writes ciphertexts.txt from the one-byte-at-a-time reference. Run once;
// the file is then kept as it is, so that later changes to any kernel, or
// to the reference, cannot move the known answers along with them.
//   g++ -std=c++20 -I.. make_golden.cc -o /tmp/make_golden && /tmp/make_golden > ciphertexts.txt
#include <cstdint>
#include <cstdio>
#include <vector>

#include "reference_cipher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kChunk = 1'000'000;

/// The plaintext generator the README describes.
Bytes generate(std::uint32_t salt, std::size_t length) {
  std::uint32_t x = 0x9E3779B9u ^ salt;
  Bytes bytes(length);
  for (auto& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

void print_hex(const std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) std::printf("%02x", bytes[i]);
}

Bytes encrypt_payload(const Bytes& key, Bytes data, std::uint8_t seed) {
  for (std::size_t at = 0; at < data.size(); at += kChunk) {
    const std::size_t length = std::min<std::size_t>(kChunk, data.size() - at);
    kelm::reference::transform_chunk(key, true, data.data() + at, length, seed);
  }
  return data;
}

std::uint64_t fnv1a(const Bytes& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3u;
  return hash;
}

}  // namespace

int main() {
  std::printf("# Known answers of the cipher; see README.md for the format.\n");
  const struct {
    std::size_t size;
    std::uint32_t salt;
  } kKeys[] = {{16, 1601}, {32, 3202}, {64, 6403}, {128, 12804}};
  const struct {
    std::uint8_t seed;
    std::uint32_t salt;
    std::size_t length;
  } kChunks[] = {{0, 1, 1}, {14, 2, 47}, {255, 3, 300}};
  for (const auto& k : kKeys) {
    const Bytes key = generate(k.salt, k.size);
    std::printf("key ");
    print_hex(key.data(), key.size());
    std::printf("\n");
    for (const auto& c : kChunks) {
      const Bytes sealed = encrypt_payload(key, generate(c.salt, c.length), c.seed);
      std::printf("chunk %u %u %zu ", unsigned{c.seed}, unsigned{c.salt}, c.length);
      print_hex(sealed.data(), sealed.size());
      std::printf("\n");
    }
    const std::uint8_t seed = 200;
    const std::uint32_t salt = 4;
    const std::size_t length = 2 * kChunk + 123;
    const Bytes sealed = encrypt_payload(key, generate(salt, length), seed);
    std::printf("payload %u %u %zu %016llx\n", unsigned{seed}, unsigned{salt}, length,
                static_cast<unsigned long long>(fnv1a(sealed)));
    for (std::size_t offset : {std::size_t{0}, kChunk - 16, 2 * kChunk - 16, length - 32}) {
      std::printf("slice %zu ", offset);
      print_hex(sealed.data() + offset, 32);
      std::printf("\n");
    }
  }
  return 0;
}
