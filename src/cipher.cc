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

namespace {

/// Takes chains that have run up to position `done` on to the ends of their
/// chunks. Only the last chunk may be shorter: all chains run to its end,
/// then the others on to theirs. Returns the last chunk's final feedback.
std::uint8_t finish_interleaved(const Schedule& schedule, std::uint8_t* chunks,
                                std::uint8_t* feedback, std::size_t count, std::uint64_t done,
                                std::uint64_t last_length) {
  encrypt_lanes(schedule, chunks, feedback, count, done, last_length);
  if (count > 1 && last_length < CHUNK_SIZE) {
    encrypt_lanes(schedule, chunks, feedback, count - 1, std::max(done, last_length), CHUNK_SIZE);
  }
  return feedback[count - 1];
}

}  // namespace

std::uint8_t encrypt_interleaved(const Schedule& schedule, std::uint8_t* chunks, std::size_t count,
                                 std::uint64_t last_length) {
  std::uint8_t feedback[kMaxLanes] = {};
  return finish_interleaved(schedule, chunks, feedback, count, 0, last_length);
}

std::uint8_t encrypt_single(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t length) {
  std::uint8_t feedback = 0;
  encrypt_lanes<1>(schedule, buffer, &feedback, 0, length);
  return feedback;
}

namespace {

/// Deciphers positions [from, length) one byte at a time, `previous` being
/// the ciphertext byte before `from` (0 at the start of a chunk): the tail
/// that the wider loops leave. Returns the last ciphertext byte.
std::uint8_t decrypt_bytes(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t from,
                           std::uint64_t length, std::uint8_t previous) {
  for (std::uint64_t n = from; n < length; ++n) {
    const std::uint8_t c = buffer[n];
    buffer[n] = static_cast<std::uint8_t>(c ^ schedule.by_position()[n & schedule.mask()] ^
                                          schedule.by_feedback()[previous]);
    previous = c;
  }
  return previous;
}

}  // namespace

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
  return decrypt_bytes(schedule, buffer, n, length, previous);
}

namespace {

// The byte operations the vector lookup needs, for 16- and 32-byte vectors.
__attribute__((target("avx2"))) inline __m128i shuffle_bytes(__m128i table, __m128i index) {
  return _mm_shuffle_epi8(table, index);
}
__attribute__((target("avx2"))) inline __m256i shuffle_bytes(__m256i table, __m256i index) {
  return _mm256_shuffle_epi8(table, index);
}
__attribute__((target("avx2"))) inline __m128i blend_bytes(__m128i a, __m128i b, __m128i select) {
  return _mm_blendv_epi8(a, b, select);
}
__attribute__((target("avx2"))) inline __m256i blend_bytes(__m256i a, __m256i b, __m256i select) {
  return _mm256_blendv_epi8(a, b, select);
}
__attribute__((target("avx2"))) inline __m128i shift_words_left(__m128i v, int bits) {
  return _mm_slli_epi16(v, bits);
}
__attribute__((target("avx2"))) inline __m256i shift_words_left(__m256i v, int bits) {
  return _mm256_slli_epi16(v, bits);
}

/// Looks up key[index] for every byte of `index` (each below 2^kPower) at
/// once: pshufb picks from 16-byte slices of the key by the low 4 bits, then
/// a blend per further index bit chooses between slices.
template <int kPower, typename Vector>
__attribute__((target("avx2"))) inline Vector lookup(const Vector* slices, Vector index) {
  Vector level[8];
  constexpr std::size_t kSlices = std::size_t{1} << (kPower - 4);
  for (std::size_t s = 0; s < kSlices; ++s) level[s] = shuffle_bytes(slices[s], index);
  std::size_t count = kSlices;
  for (int bit = 4; bit < kPower; ++bit) {
    // blendv looks at each byte's top bit; move the deciding bit there.
    const Vector select = shift_words_left(index, 7 - bit);
    for (std::size_t s = 0; s < count / 2; ++s) {
      level[s] = blend_bytes(level[2 * s], level[2 * s + 1], select);
    }
    count /= 2;
  }
  return level[0];
}

/// Transposes 8 rows of 16 bytes: out[k] holds column 2k (row j in byte j)
/// in its low half and column 2k + 1 in its high half.
__attribute__((target("avx2"))) inline void transpose_8x16(const __m128i* in, __m128i* out) {
  __m128i pairs[2][4];  // [column half][row pair]: one 16-bit word per column
  for (std::size_t p = 0; p < 4; ++p) {
    pairs[0][p] = _mm_unpacklo_epi8(in[2 * p], in[2 * p + 1]);
    pairs[1][p] = _mm_unpackhi_epi8(in[2 * p], in[2 * p + 1]);
  }
  for (std::size_t h = 0; h < 2; ++h) {
    const __m128i* x = pairs[h];
    const __m128i first_rows_low = _mm_unpacklo_epi16(x[0], x[1]);
    const __m128i first_rows_high = _mm_unpackhi_epi16(x[0], x[1]);
    const __m128i last_rows_low = _mm_unpacklo_epi16(x[2], x[3]);
    const __m128i last_rows_high = _mm_unpackhi_epi16(x[2], x[3]);
    out[4 * h + 0] = _mm_unpacklo_epi32(first_rows_low, last_rows_low);
    out[4 * h + 1] = _mm_unpackhi_epi32(first_rows_low, last_rows_low);
    out[4 * h + 2] = _mm_unpacklo_epi32(first_rows_high, last_rows_high);
    out[4 * h + 3] = _mm_unpackhi_epi32(first_rows_high, last_rows_high);
  }
}

/// Eight chunks' chains in the eight low bytes of one vector, so a step
/// looks up all eight feedback picks at once. Runs whole blocks of 16
/// positions from 0 up to `end` and returns where it stopped.
template <int kPower>
__attribute__((target("avx2"))) std::uint64_t encrypt_eight_avx2_for(const Schedule& schedule,
                                                                     std::uint8_t* chunks,
                                                                     std::uint8_t* feedback,
                                                                     std::uint64_t end) {
  constexpr std::size_t kSlices = std::size_t{1} << (kPower - 4);
  __m128i slices[kSlices];
  for (std::size_t s = 0; s < kSlices; ++s) {
    slices[s] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(schedule.key().data() + 16 * s));
  }
  const __m128i mask = _mm_set1_epi8(static_cast<char>(schedule.mask()));
  __m128i chain = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(feedback));
  std::uint64_t block = 0;
  for (; block + 16 <= end; block += 16) {
    // Positions folded in, then turned so each vector holds two positions
    // of all eight chunks.
    const __m128i picked = _mm_loadu_si128(
        reinterpret_cast<const __m128i*>(schedule.by_position() + (block & schedule.mask())));
    __m128i rows[8];
    for (std::size_t j = 0; j < 8; ++j) {
      const auto* at = reinterpret_cast<const __m128i*>(chunks + j * CHUNK_SIZE + block);
      rows[j] = _mm_xor_si128(_mm_loadu_si128(at), picked);
    }
    __m128i steps[8];
    transpose_8x16(rows, steps);
    for (__m128i& two : steps) {
      chain = _mm_xor_si128(two, lookup<kPower>(slices, _mm_and_si128(chain, mask)));
      const __m128i first = chain;
      chain = _mm_xor_si128(_mm_unpackhi_epi64(two, two),
                            lookup<kPower>(slices, _mm_and_si128(chain, mask)));
      two = _mm_unpacklo_epi64(first, chain);
    }
    // Turned back: the same transpose leaves even positions of chunks 2i
    // and 2i+1 in columns[i] and their odd positions in columns[i + 4].
    __m128i columns[8];
    transpose_8x16(steps, columns);
    for (std::size_t i = 0; i < 4; ++i) {
      auto* even = reinterpret_cast<__m128i*>(chunks + 2 * i * CHUNK_SIZE + block);
      auto* odd = reinterpret_cast<__m128i*>(chunks + (2 * i + 1) * CHUNK_SIZE + block);
      _mm_storeu_si128(even, _mm_unpacklo_epi8(columns[i], columns[i + 4]));
      _mm_storeu_si128(odd, _mm_unpackhi_epi8(columns[i], columns[i + 4]));
    }
  }
  _mm_storel_epi64(reinterpret_cast<__m128i*>(feedback), chain);
  wipe_bytes(slices, sizeof slices);
  return block;
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
        _mm256_xor_si256(cipher, _mm256_xor_si256(picked, lookup<kPower>(slices, index)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(buffer + n), plain);
    carried = cipher;
  }
  wipe_bytes(slices, sizeof slices);
  const auto previous = static_cast<std::uint8_t>(_mm256_extract_epi8(carried, 31));
  return decrypt_bytes(schedule, buffer, n, length, previous);
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

std::uint8_t encrypt_interleaved_avx2(const Schedule& schedule, std::uint8_t* chunks,
                                      std::size_t count, std::uint64_t last_length) {
  // With 64- and 128-byte keys the lookup's chain of blends makes each step
  // slower than eight scalar chains, so those stay scalar (measured with
  // cipher_bench).
  if (count != kMaxLanes || schedule.key().size() > 32) {
    return encrypt_interleaved(schedule, chunks, count, last_length);
  }
  std::uint8_t feedback[kMaxLanes] = {};
  const std::uint64_t done =
      schedule.key().size() == 16
          ? encrypt_eight_avx2_for<4>(schedule, chunks, feedback, last_length)
          : encrypt_eight_avx2_for<5>(schedule, chunks, feedback, last_length);
  return finish_interleaved(schedule, chunks, feedback, count, done, last_length);
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
    const std::uint64_t last_length = span - (count - 1) * CHUNK_SIZE;
    if (kernels::has_avx2()) {
      kernels::encrypt_interleaved_avx2(schedule, buffer + at, count, last_length);
    } else {
      kernels::encrypt_interleaved(schedule, buffer + at, count, last_length);
    }
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
