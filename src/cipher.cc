// The feedback XOR cipher. Every byte is combined with two key bytes: one
// picked through the key by the byte's position and the seed, the other by
// the previous ciphertext byte. Both directions feed back the ciphertext
// byte, which is what makes decryption undo encryption.
//
// Encryption is a serial chain within a chunk (each byte needs the one
// before), so chunks are enciphered several at a time, their chains
// interleaved. Decryption's feedback is the ciphertext, known in advance,
// so it runs a whole vector of bytes at once where the processor allows.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "cipher_kernels.h"
#include "kelm.h"

namespace kelm {
namespace kernels {

Schedule::Schedule(std::span<const std::uint8_t> key, std::uint8_t seed)
    : key_(key), mask_(key.size() - 1) {
  // The key length is a power of two, so reducing modulo it keeps the low bits.
  for (std::uint64_t n = 0; n < kPositionSpan; ++n) {
    by_position_[n] = key[key[(seed + n) & mask_] & mask_];
  }
  for (std::uint64_t f = 0; f < 256; ++f) {
    by_feedback_[f] = key[f & mask_];
    by_feedback_wide_[f] = by_feedback_[f];
  }
}

Schedule::~Schedule() {
  wipe_bytes(by_position_, sizeof by_position_);
  wipe_bytes(by_feedback_, sizeof by_feedback_);
  wipe_bytes(by_feedback_wide_, sizeof by_feedback_wide_);
}

namespace {

/// Positions handled per block. The position key bytes of a block are
/// folded in first, many at a time, so that the serial chains that follow
/// only have the feedback pick left, and few enough values to stay in
/// registers.
constexpr std::uint64_t kBlock = 64;

/// XORs the `length` (at most kBlock) bytes at `bytes`, which hold chunk
/// positions from `position` on, with the key bytes those positions pick.
inline void fold_positions(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                           std::uint64_t length) {
  // by_position repeats with the key length and runs on kBlock bytes past
  // any start below it, so the block needs no wrap-around.
  const std::uint8_t* const picked = schedule.by_position() + (position & schedule.mask());
  for (std::uint64_t i = 0; i < length; ++i) bytes[i] ^= picked[i];
}

/// Runs positions [begin, end) of N consecutive chunks in step; chunk j
/// starts at chunks + j * CHUNK_SIZE. The fixed stride lets every lane be
/// addressed from one pointer, leaving registers for the N feedback chains.
template <std::size_t N>
void encrypt_lanes(const Schedule& schedule, std::uint8_t* chunks, std::uint8_t* feedback,
                   std::uint64_t begin, std::uint64_t end) {
  unsigned chain[N];
  for (std::size_t j = 0; j < N; ++j) chain[j] = feedback[j];
  const std::uint32_t* const by_feedback = schedule.by_feedback_wide();
  for (std::uint64_t block = begin; block < end; block += kBlock) {
    const std::uint64_t length = std::min(kBlock, end - block);
    for (std::size_t j = 0; j < N; ++j) {
      fold_positions(schedule, chunks + j * CHUNK_SIZE + block, block, length);
    }
    std::uint8_t* const stop = chunks + block + length;
    for (std::uint8_t* at = chunks + block; at != stop; ++at) {
      for (std::size_t j = 0; j < N; ++j) {
        // Both operands are below 256, so the result indexes the table as is.
        chain[j] = at[j * CHUNK_SIZE] ^ by_feedback[chain[j]];
        at[j * CHUNK_SIZE] = static_cast<std::uint8_t>(chain[j]);
      }
    }
  }
  for (std::size_t j = 0; j < N; ++j) feedback[j] = static_cast<std::uint8_t>(chain[j]);
}

void encrypt_lanes(const Schedule& schedule, std::uint8_t* chunks, std::uint8_t* feedback,
                   std::size_t count, std::uint64_t begin, std::uint64_t end) {
  switch (count) {
    case 1: return encrypt_lanes<1>(schedule, chunks, feedback, begin, end);
    case 2: return encrypt_lanes<2>(schedule, chunks, feedback, begin, end);
    case 3: return encrypt_lanes<3>(schedule, chunks, feedback, begin, end);
    case 4: return encrypt_lanes<4>(schedule, chunks, feedback, begin, end);
    case 5: return encrypt_lanes<5>(schedule, chunks, feedback, begin, end);
    case 6: return encrypt_lanes<6>(schedule, chunks, feedback, begin, end);
    case 7: return encrypt_lanes<7>(schedule, chunks, feedback, begin, end);
    default: return encrypt_lanes<8>(schedule, chunks, feedback, begin, end);
  }
}

}  // namespace

std::uint8_t encrypt_interleaved(const Schedule& schedule, std::uint8_t* chunks, std::size_t count,
                                 std::uint64_t last_length) {
  std::uint8_t feedback[kMaxLanes] = {};
  // Only the last chunk may be shorter: run all chains to its end, then the
  // others on to theirs.
  encrypt_lanes(schedule, chunks, feedback, count, 0, last_length);
  if (count > 1 && last_length < CHUNK_SIZE) {
    encrypt_lanes(schedule, chunks, feedback, count - 1, last_length, CHUNK_SIZE);
  }
  return feedback[count - 1];
}

std::uint8_t encrypt_single(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t length) {
  std::uint8_t feedback = 0;
  encrypt_lanes<1>(schedule, buffer, &feedback, 0, length);
  return feedback;
}

std::uint8_t decrypt_portable(const Schedule& schedule, std::uint8_t* buffer,
                              std::uint64_t length) {
  const std::uint8_t* const by_position = schedule.by_position();
  const std::uint8_t* const by_feedback = schedule.by_feedback();
  const std::uint64_t mask = schedule.mask();
  std::uint8_t previous = 0;
  std::uint64_t n = 0;
  // Eight bytes a step: the feedback picks are looked up one by one, the
  // XORs done on whole words. Byte arrays keep it independent of byte order.
  for (; n + 8 <= length; n += 8) {
    std::uint8_t cipher[8];
    std::uint8_t picked[8];
    std::memcpy(cipher, buffer + n, 8);
    picked[0] = by_feedback[previous];
    for (int i = 1; i < 8; ++i) picked[i] = by_feedback[cipher[i - 1]];
    std::uint64_t word;
    std::uint64_t by_feedback_word;
    std::uint64_t by_position_word;
    std::memcpy(&word, cipher, 8);
    std::memcpy(&by_feedback_word, picked, 8);
    std::memcpy(&by_position_word, by_position + (n & mask), 8);
    word ^= by_feedback_word ^ by_position_word;
    std::memcpy(buffer + n, &word, 8);
    previous = cipher[7];
  }
  for (; n < length; ++n) {
    const std::uint8_t c = buffer[n];
    buffer[n] = static_cast<std::uint8_t>(c ^ by_position[n & mask] ^ by_feedback[previous]);
    previous = c;
  }
  return previous;
}

namespace {

/// Looks up key[index] for 32 indices below 2^kPower at once: pshufb picks
/// from 16-byte slices of the key by the low 4 bits, then a blend per
/// further index bit chooses between slices.
template <int kPower>
__attribute__((target("avx2"))) inline __m256i lookup_avx2(const __m256i* slices, __m256i index) {
  __m256i level[8];
  constexpr std::size_t kSlices = std::size_t{1} << (kPower - 4);
  for (std::size_t s = 0; s < kSlices; ++s) level[s] = _mm256_shuffle_epi8(slices[s], index);
  std::size_t count = kSlices;
  for (int bit = 4; bit < kPower; ++bit) {
    // blendv looks at each byte's top bit; move the deciding bit there.
    const __m256i select = _mm256_slli_epi16(index, 7 - bit);
    for (std::size_t s = 0; s < count / 2; ++s) {
      level[s] = _mm256_blendv_epi8(level[2 * s], level[2 * s + 1], select);
    }
    count /= 2;
  }
  return level[0];
}

template <int kPower>
__attribute__((target("avx2"))) std::uint8_t decrypt_avx2_for(const Schedule& schedule,
                                                              std::uint8_t* buffer,
                                                              std::uint64_t length) {
  constexpr std::size_t kSlices = std::size_t{1} << (kPower - 4);
  const std::uint8_t* const key = schedule.key().data();
  __m256i slices[kSlices];
  for (std::size_t s = 0; s < kSlices; ++s) {
    slices[s] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16 * s)));
  }
  const __m256i mask = _mm256_set1_epi8(static_cast<char>(schedule.mask()));
  const std::uint8_t* const by_position = schedule.by_position();
  __m256i carried = _mm256_setzero_si256();  // last ciphertext vector; feedback starts at 0
  std::uint64_t n = 0;
  for (; n + 32 <= length; n += 32) {
    const __m256i cipher = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buffer + n));
    // Each byte's feedback is the ciphertext byte before it: shift the
    // vector up by one byte, carrying in the last byte of the previous one.
    const __m256i across = _mm256_permute2x128_si256(carried, cipher, 0x21);
    const __m256i previous = _mm256_alignr_epi8(cipher, across, 15);
    const __m256i index = _mm256_and_si256(previous, mask);
    const __m256i picked =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(by_position + (n & schedule.mask())));
    const __m256i plain =
        _mm256_xor_si256(cipher, _mm256_xor_si256(picked, lookup_avx2<kPower>(slices, index)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(buffer + n), plain);
    carried = cipher;
  }
  std::uint8_t previous = n == 0 ? 0 : static_cast<std::uint8_t>(_mm256_extract_epi8(carried, 31));
  for (; n < length; ++n) {
    const std::uint8_t c = buffer[n];
    buffer[n] = static_cast<std::uint8_t>(c ^ by_position[n & schedule.mask()] ^
                                          schedule.by_feedback()[previous]);
    previous = c;
  }
  wipe_bytes(slices, sizeof slices);
  return previous;
}

}  // namespace

std::uint8_t decrypt_avx2(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t length) {
  switch (schedule.key().size()) {
    case 16: return decrypt_avx2_for<4>(schedule, buffer, length);
    case 32: return decrypt_avx2_for<5>(schedule, buffer, length);
    case 64: return decrypt_avx2_for<6>(schedule, buffer, length);
    default: return decrypt_avx2_for<7>(schedule, buffer, length);
  }
}

bool has_avx2() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

}  // namespace kernels

namespace {

std::uint8_t decrypt_one(const kernels::Schedule& schedule, std::uint8_t* buffer,
                         std::uint64_t length) {
  return kernels::has_avx2() ? kernels::decrypt_avx2(schedule, buffer, length)
                             : kernels::decrypt_portable(schedule, buffer, length);
}

}  // namespace

void CipherKey::encrypt_chunk(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  feedback_ = 0;
  if (length == 0) return;
  const kernels::Schedule schedule(bytes(), seed);
  feedback_ = kernels::encrypt_single(schedule, buffer, length);
}

void CipherKey::decrypt_chunk(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  feedback_ = 0;
  if (length == 0) return;
  const kernels::Schedule schedule(bytes(), seed);
  feedback_ = decrypt_one(schedule, buffer, length);
}

void CipherKey::encrypt_chunks(std::uint8_t* buffer, std::uint64_t length,
                               std::uint8_t seed) const {
  if (length == 0) return;
  const kernels::Schedule schedule(bytes(), seed);
  const std::uint64_t group = kernels::kMaxLanes * CHUNK_SIZE;
  for (std::uint64_t at = 0; at < length; at += group) {
    const std::uint64_t span = std::min(group, length - at);
    const std::uint64_t count = (span + CHUNK_SIZE - 1) / CHUNK_SIZE;
    kernels::encrypt_interleaved(schedule, buffer + at, count, span - (count - 1) * CHUNK_SIZE);
  }
}

void CipherKey::decrypt_chunks(std::uint8_t* buffer, std::uint64_t length,
                               std::uint8_t seed) const {
  if (length == 0) return;
  const kernels::Schedule schedule(bytes(), seed);
  for (std::uint64_t at = 0; at < length; at += CHUNK_SIZE) {
    decrypt_one(schedule, buffer + at, std::min(CHUNK_SIZE, length - at));
  }
}

}  // namespace kelm
