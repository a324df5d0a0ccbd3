// The constants of the encrypted file format, shared by the key loader, the
// stream and the driver.
#pragma once

#include <cstdint>

namespace kelm {

/// Bytes the cipher processes before it restarts. Part of the encrypted file
/// layout: changing it makes old files unreadable.
inline constexpr std::uint64_t CHUNK_SIZE = 1'000'000;

/// Smallest and largest usable key, in bytes; the length must be a power of two.
inline constexpr std::uint64_t MIN_KEY_SIZE = 16;
inline constexpr std::uint64_t MAX_KEY_SIZE = 128;

/// Whether a key of `length` bytes is one the cipher takes: a power of two
/// from MIN_KEY_SIZE to MAX_KEY_SIZE.
constexpr bool usable_key_size(std::uint64_t length) {
  return length >= MIN_KEY_SIZE && length <= MAX_KEY_SIZE && (length & (length - 1)) == 0;
}

}  // namespace kelm
