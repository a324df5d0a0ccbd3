// The cipher written as plainly as possible, one byte at a time. The fast
// kernels are checked against it, and the benchmarks measure it for scale.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelm::reference {

/// Enciphers (`encrypt`) or deciphers one chunk in place; the feedback, the
/// previous ciphertext byte, starts at 0.
inline void transform_chunk(std::span<const std::uint8_t> key, bool encrypt, std::uint8_t* buffer,
                            std::uint64_t length, std::uint8_t seed) {
  const std::uint64_t size = key.size();
  std::uint8_t feedback = 0;
  for (std::uint64_t n = 0; n < length; ++n) {
    const std::uint8_t c = buffer[n];
    const std::uint8_t i1 = key[static_cast<std::size_t>((seed + n) % size)];
    const auto r = static_cast<std::uint8_t>(c ^ key[static_cast<std::size_t>(i1 % size)] ^
                                             key[static_cast<std::size_t>(feedback % size)]);
    buffer[n] = r;
    feedback = encrypt ? r : c;
  }
}

/// Enciphers one chunk of `length` bytes in place.
inline void encrypt_chunk(std::span<const std::uint8_t> key, std::uint8_t* buffer,
                          std::uint64_t length, std::uint8_t seed) {
  transform_chunk(key, true, buffer, length, seed);
}

/// Deciphers one chunk of `length` bytes in place.
inline void decrypt_chunk(std::span<const std::uint8_t> key, std::uint8_t* buffer,
                          std::uint64_t length, std::uint8_t seed) {
  transform_chunk(key, false, buffer, length, seed);
}

/// A payload enciphered (`encrypt`) or deciphered chunk by chunk, each
/// chunk `chunk` bytes long but the last, every one from `seed`.
inline std::vector<std::uint8_t> transform_payload(std::span<const std::uint8_t> key, bool encrypt,
                                                   std::vector<std::uint8_t> data,
                                                   std::uint8_t seed, std::uint64_t chunk) {
  for (std::uint64_t at = 0; at < data.size(); at += chunk) {
    transform_chunk(key, encrypt, data.data() + at,
                    std::min<std::uint64_t>(chunk, data.size() - at), seed);
  }
  return data;
}

}  // namespace kelm::reference
