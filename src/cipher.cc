// The feedback XOR cipher. Every byte is combined with two key bytes: one
// picked through the key by the byte's position and the seed, the other by
// the previous ciphertext byte. Both directions feed back the ciphertext
// byte, which is what makes decryption undo encryption.
#include <algorithm>

#include "kelm.h"

namespace kelm {

namespace {

enum class Direction { kEncrypt, kDecrypt };

template <Direction direction>
void transform(const std::uint8_t* key, std::uint8_t size, std::uint8_t& feedback,
               std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  // The key length is a power of two, so reducing modulo it keeps the low bits.
  const std::uint64_t mask = size - 1u;
  feedback = 0;
  for (std::uint64_t n = 0; n < length; ++n) {
    const std::uint8_t c = buffer[n];
    const std::uint8_t by_position = key[key[(seed + n) & mask] & mask];
    const std::uint8_t by_feedback = key[feedback & mask];
    const auto r = static_cast<std::uint8_t>(c ^ by_position ^ by_feedback);
    buffer[n] = r;
    feedback = direction == Direction::kEncrypt ? r : c;
  }
}

}  // namespace

void CipherKey::encrypt_chunk(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  transform<Direction::kEncrypt>(bytes_.get(), size_, feedback_, buffer, length, seed);
}

void CipherKey::decrypt_chunk(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  transform<Direction::kDecrypt>(bytes_.get(), size_, feedback_, buffer, length, seed);
}

void CipherKey::encrypt_chunks(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  for (std::uint64_t at = 0; at < length; at += CHUNK_SIZE) {
    encrypt_chunk(buffer + at, std::min(CHUNK_SIZE, length - at), seed);
  }
}

void CipherKey::decrypt_chunks(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  for (std::uint64_t at = 0; at < length; at += CHUNK_SIZE) {
    decrypt_chunk(buffer + at, std::min(CHUNK_SIZE, length - at), seed);
  }
}

}  // namespace kelm
