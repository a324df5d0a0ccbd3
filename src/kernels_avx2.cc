// The cipher's loops for x86-64 processors with AVX2. This file alone is
// compiled with -mavx2; the dispatch calls into it only after the processor
// has said it has AVX2.
//
// The key lookup: pshufb picks a byte from a 16-byte table by the low four
// bits of each index byte, and gives 0 where the index's top bit is set. A
// key of S slices of 16 bytes is held as differences of neighbouring slices,
// D[0] = T[0] and D[s] = T[s] ^ T[s-1]. Subtracting 16s from an index in
// [0, 128) leaves the top bit clear exactly when the index lies in slice s
// or above, so XOR-ing pshufb(D[s], index - 16s) over every s telescopes to
// T[index / 16][index % 16]: S shuffles, S - 1 subtractions and S - 1 XORs,
// and no blends.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cipher_kernels.h"
#include "kelm.h"
#include "kernel_sets.h"

namespace kelm::kernels {
namespace {

/// 8 bytes from any address, as one number (only ever moved, never
/// interpreted, so byte order does not matter).
inline long long load8(const std::uint8_t* at) {
  long long word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// The few operations the loops need, for 16- and 32-byte vectors, so one
// template serves 16 lanes in an xmm register and 32 in a ymm one. A ymm
// register works as two 16-byte halves: lanes 0-15 and 16-31 side by side.
struct Xmm {
  using V = __m128i;
  static constexpr std::size_t kLanes = 16;
  static V zero() { return _mm_setzero_si128(); }
  static V broadcast16(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  }
  static V load(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  }
  static void store(std::uint8_t* at, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v); }
  static V broadcast8(const std::uint8_t* at) { return _mm_set1_epi64x(load8(at)); }
  /// 8 bytes of lanes i and i + 8, from `base` plus their offsets.
  static V gather_rows(const std::uint8_t* base, const std::size_t* offsets, std::size_t i) {
    return _mm_set_epi64x(load8(base + offsets[i + 8]), load8(base + offsets[i]));
  }
  /// The inverse of gather_rows.
  static void scatter_rows(std::uint8_t* base, const std::size_t* offsets, std::size_t i, V v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(base + offsets[i]), v);
    _mm_storeh_pd(reinterpret_cast<double*>(base + offsets[i + 8]), _mm_castsi128_pd(v));
  }
  static V bytes(std::uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static V xor_(V a, V b) { return _mm_xor_si128(a, b); }
  static V and_(V a, V b) { return _mm_and_si128(a, b); }
  static V sub_bytes(V a, V b) { return _mm_sub_epi8(a, b); }
  static V shuffle(V table, V index) { return _mm_shuffle_epi8(table, index); }
  static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V lo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
  static V hi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
  static V lo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
  static V hi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
};

struct Ymm {
  using V = __m256i;
  static constexpr std::size_t kLanes = 32;
  static V zero() { return _mm256_setzero_si256(); }
  static V broadcast16(const std::uint8_t* at) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  }
  static V load(const std::uint8_t* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  }
  static void store(std::uint8_t* at, V v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), v);
  }
  static V broadcast8(const std::uint8_t* at) { return _mm256_set1_epi64x(load8(at)); }
  /// 8 bytes of lanes i and i + 8 in the low half, i + 16 and i + 24 in the
  /// high one. Broadcasts are plain loads; the blends avoid the shuffle port.
  static V gather_rows(const std::uint8_t* base, const std::size_t* offsets, std::size_t i) {
    const V first = _mm256_blend_epi32(_mm256_set1_epi64x(load8(base + offsets[i])),
                                       _mm256_set1_epi64x(load8(base + offsets[i + 8])), 0x0C);
    const V second = _mm256_blend_epi32(_mm256_set1_epi64x(load8(base + offsets[i + 16])),
                                        _mm256_set1_epi64x(load8(base + offsets[i + 24])), 0xC0);
    return _mm256_blend_epi32(first, second, 0xF0);
  }
  /// The inverse of gather_rows.
  static void scatter_rows(std::uint8_t* base, const std::size_t* offsets, std::size_t i, V v) {
    Xmm::scatter_rows(base, offsets, i, _mm256_castsi256_si128(v));
    Xmm::scatter_rows(base, offsets + 16, i, _mm256_extracti128_si256(v, 1));
  }
  static V bytes(std::uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
  static V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V sub_bytes(V a, V b) { return _mm256_sub_epi8(a, b); }
  static V shuffle(V table, V index) { return _mm256_shuffle_epi8(table, index); }
  static V lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V lo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  static V hi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  static V lo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  static V hi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
};

/// The key as differences of neighbouring 16-byte slices (see the top of
/// the file), in every 16-byte half of a vector, with the index mask.
template <typename A, std::size_t kSlices>
struct KeyTable {
  typename A::V diff[kSlices];
  typename A::V slice_start[kSlices];  // 16s in every byte
  typename A::V mask;

  explicit KeyTable(const Schedule& schedule) {
    const std::uint8_t* const key = schedule.key().data();
    typename A::V previous = A::zero();
    for (std::size_t s = 0; s < kSlices; ++s) {
      const typename A::V slice = A::broadcast16(key + 16 * s);
      diff[s] = A::xor_(slice, previous);
      previous = slice;
      slice_start[s] = A::bytes(static_cast<std::uint8_t>(16 * s));
    }
    mask = A::bytes(static_cast<std::uint8_t>(schedule.mask()));
  }
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;
  ~KeyTable() { wipe_bytes(diff, sizeof diff); }

  /// extra ^ key[byte & mask] for every byte of `byte`. The XORs form a
  /// tree, so the lookup's latency grows with log2 of the slices.
  [[gnu::always_inline]] typename A::V lookup_xor(typename A::V byte, typename A::V extra) const {
    const typename A::V index = A::and_(byte, mask);
    typename A::V terms[kSlices + 1];
    terms[0] = A::shuffle(diff[0], index);
    for (std::size_t s = 1; s < kSlices; ++s) {
      terms[s] = A::shuffle(diff[s], A::sub_bytes(index, slice_start[s]));
    }
    terms[kSlices] = extra;
    std::size_t count = kSlices + 1;
    while (count > 1) {
      const std::size_t half = count / 2;
      for (std::size_t t = 0; t < half; ++t) terms[t] = A::xor_(terms[2 * t], terms[2 * t + 1]);
      if (count % 2 != 0) terms[half] = terms[count - 1];
      count = (count + 1) / 2;
    }
    return terms[0];
  }
};

/// Reverses the three bits of 0 to 7.
constexpr std::size_t reverse3(std::size_t k) { return ((k & 1) << 2) | (k & 2) | ((k & 4) >> 2); }

/// Transposes in each 16-byte half of eight vectors with four rounds of
/// unpacking. Byte p of v[r] moves to byte (p & 8) | reverse3(r) of
/// v[p & 7]. So rows of 8 bytes (two to a half) come out as vectors of one
/// byte position each, and the same rounds, fed v[reverse3(c)] = out[c],
/// turn those back into rows.
template <typename A>
[[gnu::always_inline]] inline void transpose8(typename A::V* v) {
  typename A::V t[8];
  for (std::size_t k = 0; k < 4; ++k) {
    t[2 * k] = A::lo8(v[k], v[k + 4]);
    t[2 * k + 1] = A::hi8(v[k], v[k + 4]);
  }
  for (std::size_t k = 0; k < 4; ++k) {
    v[2 * k] = A::lo16(t[k], t[k + 4]);
    v[2 * k + 1] = A::hi16(t[k], t[k + 4]);
  }
  for (std::size_t k = 0; k < 4; ++k) {
    t[2 * k] = A::lo32(v[k], v[k + 4]);
    t[2 * k + 1] = A::hi32(v[k], v[k + 4]);
  }
  for (std::size_t k = 0; k < 4; ++k) {
    v[2 * k] = A::lo64(t[k], t[k + 4]);
    v[2 * k + 1] = A::hi64(t[k], t[k + 4]);
  }
}

/// Byte offsets of the lanes a vector pass runs. A pass always runs all
/// A::kLanes lanes; lanes past the caller's count repeat the last real one,
/// with the same bytes and feedback, so they write what it writes and
/// nothing of the caller's past `count` is touched.
template <typename A>
struct LaneOffsets {
  std::size_t at[A::kLanes];

  LaneOffsets(std::size_t stride, std::size_t count) {
    for (std::size_t j = 0; j < A::kLanes; ++j) at[j] = (j < count ? j : count - 1) * stride;
  }
};

/// Where lane j's chain byte sits in a vector: the transpose puts lane
/// i + 8q + 16h at byte 16h + 8q + reverse3(i).
constexpr std::size_t chain_byte(std::size_t j) { return (j & ~std::size_t{7}) | reverse3(j & 7); }

/// Runs whole blocks of 8 positions for all A::kLanes lanes and returns how
/// many positions it ran. Each block gathers eight rows of 8 bytes into each
/// vector (lanes i and i + 8 in one half, i + 16 and i + 24 in the other),
/// folds in the position key bytes, transposes to eight vectors of one
/// position each, steps the chains eight times, transposes back and stores.
///
/// Critical path: the chain, one lookup_xor per position (an AND, a
/// subtraction, a pshufb and log2(slices + 1) XORs). The transposes of one
/// block overlap the chain of the next, so for short keys throughput is set
/// by the 64 unpacks a block needs on the shuffle ports.
template <typename A, std::size_t kSlices>
[[gnu::noinline]] std::size_t encrypt_blocks(const Schedule& schedule, const LaneOffsets<A>& lanes,
                                             std::uint8_t* base, std::uint64_t position,
                                             std::size_t length, std::uint8_t* chains) {
  using V = typename A::V;
  const KeyTable<A, kSlices> table(schedule);
  V chain = A::load(chains);
  std::size_t block = 0;
  for (; block + 8 <= length; block += 8) {
    std::uint8_t* const at = base + block;
    const V picked = A::broadcast8(schedule.by_position() + ((position + block) & schedule.mask()));
    V v[8];
    for (std::size_t i = 0; i < 8; ++i) {
      v[i] = A::xor_(A::gather_rows(at, lanes.at, i), picked);
    }
    transpose8<A>(v);
    V out[8];
    for (std::size_t c = 0; c < 8; ++c) {
      chain = table.lookup_xor(chain, v[c]);
      out[reverse3(c)] = chain;
    }
    transpose8<A>(out);
    for (std::size_t k = 0; k < 8; ++k) A::scatter_rows(at, lanes.at, reverse3(k), out[k]);
  }
  A::store(chains, chain);
  return block;
}

template <typename A>
void encrypt_vector(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                    std::size_t count, std::uint64_t position, std::size_t length,
                    std::uint8_t* feedback) {
  const LaneOffsets<A> offsets(stride, count);
  alignas(32) std::uint8_t chains[32] = {};
  for (std::size_t j = 0; j < A::kLanes; ++j) {
    chains[chain_byte(j)] = feedback[j < count ? j : count - 1];
  }
  std::size_t done = 0;
  switch (schedule.key().size()) {
    case 16: done = encrypt_blocks<A, 1>(schedule, offsets, lanes, position, length, chains); break;
    case 32: done = encrypt_blocks<A, 2>(schedule, offsets, lanes, position, length, chains); break;
    case 64: done = encrypt_blocks<A, 4>(schedule, offsets, lanes, position, length, chains); break;
    default: done = encrypt_blocks<A, 8>(schedule, offsets, lanes, position, length, chains); break;
  }
  for (std::size_t j = 0; j < count; ++j) feedback[j] = chains[chain_byte(j)];
  // Fewer than 8 positions are left: the scalar chains finish them.
  kPortable.encrypt_lanes(schedule, lanes + done, stride, count, position + done, length - done,
                          feedback);
}

void encrypt_lanes(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                   std::size_t count, std::uint64_t position, std::size_t length,
                   std::uint8_t* feedback) {
  if (count > 16) {
    encrypt_vector<Ymm>(schedule, lanes, stride, count, position, length, feedback);
  } else {
    encrypt_vector<Xmm>(schedule, lanes, stride, count, position, length, feedback);
  }
}

/// Deciphers 32 bytes a step: the feedback picks come from the ciphertext
/// shifted up by one byte, so the steps are independent of each other.
template <std::size_t kSlices>
std::uint8_t decrypt_for(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                         std::size_t length, std::uint8_t previous) {
  const KeyTable<Ymm, kSlices> table(schedule);
  const std::uint8_t* const by_position = schedule.by_position();
  // Only the top byte matters: it is the feedback of the first byte.
  __m256i carried = _mm256_set1_epi8(static_cast<char>(previous));
  std::size_t n = 0;
  for (; n + 32 <= length; n += 32) {
    const __m256i cipher = Ymm::load(bytes + n);
    const __m256i across = _mm256_permute2x128_si256(carried, cipher, 0x21);
    const __m256i before = _mm256_alignr_epi8(cipher, across, 15);
    const __m256i picked = Ymm::load(by_position + ((position + n) & schedule.mask()));
    Ymm::store(bytes + n, table.lookup_xor(before, _mm256_xor_si256(cipher, picked)));
    carried = cipher;
  }
  if (n != 0) previous = static_cast<std::uint8_t>(_mm256_extract_epi8(carried, 31));
  return decrypt_tail(schedule, bytes + n, position + n, length - n, previous);
}

std::uint8_t decrypt(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                     std::size_t length, std::uint8_t previous) {
  switch (schedule.key().size()) {
    case 16: return decrypt_for<1>(schedule, bytes, position, length, previous);
    case 32: return decrypt_for<2>(schedule, bytes, position, length, previous);
    case 64: return decrypt_for<4>(schedule, bytes, position, length, previous);
    default: return decrypt_for<8>(schedule, bytes, position, length, previous);
  }
}

}  // namespace

const Kernels kAvx2 = {"avx2", encrypt_lanes, decrypt};

}  // namespace kelm::kernels
