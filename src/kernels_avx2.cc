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

#include "cipher_kernels.h"
#include "kelm.h"
#include "kernel_sets.h"

namespace kelm::kernels {
namespace {

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
  /// Row of lane j and, in a ymm, lane j + 16.
  static V load_rows(const std::uint8_t* low, const std::uint8_t* /*high*/) { return load(low); }
  static void store_rows(std::uint8_t* low, std::uint8_t* /*high*/, V v) { store(low, v); }
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
  static V load_rows(const std::uint8_t* low, const std::uint8_t* high) {
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high),
                               reinterpret_cast<const __m128i*>(low));
  }
  static void store_rows(std::uint8_t* low, std::uint8_t* high, V v) {
    _mm256_storeu2_m128i(reinterpret_cast<__m128i*>(high), reinterpret_cast<__m128i*>(low), v);
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
  typename A::V lookup_xor(typename A::V byte, typename A::V extra) const {
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

/// Reverses the four bits of 0 to 15.
constexpr std::size_t reverse4(std::size_t k) {
  return ((k & 1) << 3) | ((k & 2) << 1) | ((k & 4) >> 1) | ((k & 8) >> 3);
}

/// Transposes 16 x 16 bytes in each 16-byte half, with four rounds of
/// unpacking. Row r (byte c of in[r]) ends at byte reverse4(r) of out[c]:
/// columns come out in order, rows bit-reversed. Running the result through
/// again, fed in as in[reverse4(c)] = out[c], gives the rows back in order,
/// row reverse4(k) at out[k].
template <typename A>
void transpose16(typename A::V* v) {
  typename A::V t[16];
  for (std::size_t i = 0; i < 8; ++i) {
    t[2 * i] = A::lo8(v[i], v[i + 8]);
    t[2 * i + 1] = A::hi8(v[i], v[i + 8]);
  }
  for (std::size_t i = 0; i < 8; ++i) {
    v[2 * i] = A::lo16(t[i], t[i + 8]);
    v[2 * i + 1] = A::hi16(t[i], t[i + 8]);
  }
  for (std::size_t i = 0; i < 8; ++i) {
    t[2 * i] = A::lo32(v[i], v[i + 8]);
    t[2 * i + 1] = A::hi32(v[i], v[i + 8]);
  }
  for (std::size_t i = 0; i < 8; ++i) {
    v[2 * i] = A::lo64(t[i], t[i + 8]);
    v[2 * i + 1] = A::hi64(t[i], t[i + 8]);
  }
}

/// Where each lane of a vector pass reads and writes. Lanes past the
/// caller's count read and write a scratch row instead, so every pass runs
/// all its lanes and touches nothing of the caller's beyond `count`.
template <typename A>
struct LaneRows {
  std::uint8_t* row[A::kLanes];
  std::size_t keep[A::kLanes];  // all ones for a real lane, 0 for scratch
  alignas(16) std::uint8_t scratch[16] = {};

  LaneRows(std::uint8_t* lanes, std::size_t stride, std::size_t count) {
    for (std::size_t j = 0; j < A::kLanes; ++j) {
      row[j] = j < count ? lanes + j * stride : scratch;
      keep[j] = j < count ? ~std::size_t{0} : 0;
    }
  }
  std::uint8_t* at(std::size_t j, std::size_t offset) const { return row[j] + (offset & keep[j]); }
  /// Lane j + 16, the other half of a ymm row; none for xmm rows.
  std::uint8_t* high(std::size_t j, std::size_t offset) const {
    if constexpr (A::kLanes > 16) return at(j + 16, offset);
    return nullptr;
  }
};

/// Where lane j's chain byte sits in a vector: byte reverse4(j % 16) of the
/// half j / 16, which is where the transpose leaves lane j's bytes.
constexpr std::size_t chain_byte(std::size_t j) { return (j / 16) * 16 + reverse4(j % 16); }

/// Runs whole blocks of 16 positions for all A::kLanes lanes and returns
/// how many positions it ran. Each block: 16 rows loaded, the position key
/// bytes folded in, transposed to 16 vectors of one position each, the
/// chain stepped 16 times, transposed back and stored.
///
/// Critical path: the chain, one lookup_xor per position (an AND, a
/// subtraction, a pshufb and log2(slices + 1) XORs). The transposes of one
/// block overlap the chain of the next, so for short keys throughput is set
/// by the 128 unpacks a block needs on the shuffle ports.
template <typename A, std::size_t kSlices>
std::size_t encrypt_blocks(const Schedule& schedule, const LaneRows<A>& rows,
                           std::uint64_t position, std::size_t length, std::uint8_t* chains) {
  using V = typename A::V;
  const KeyTable<A, kSlices> table(schedule);
  V chain = A::load(chains);
  std::size_t block = 0;
  for (; block + 16 <= length; block += 16) {
    const V picked =
        A::broadcast16(schedule.by_position() + ((position + block) & schedule.mask()));
    V v[16];
    for (std::size_t j = 0; j < 16; ++j) {
      v[j] = A::xor_(A::load_rows(rows.at(j, block), rows.high(j, block)), picked);
    }
    transpose16<A>(v);
    V out[16];
    for (std::size_t c = 0; c < 16; ++c) {
      chain = table.lookup_xor(chain, v[c]);
      out[reverse4(c)] = chain;
    }
    transpose16<A>(out);
    for (std::size_t k = 0; k < 16; ++k) {
      const std::size_t j = reverse4(k);
      A::store_rows(rows.at(j, block), rows.high(j, block), out[k]);
    }
  }
  A::store(chains, chain);
  return block;
}

template <typename A>
void encrypt_vector(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                    std::size_t count, std::uint64_t position, std::size_t length,
                    std::uint8_t* feedback) {
  const LaneRows<A> rows(lanes, stride, count);
  alignas(32) std::uint8_t chains[32] = {};
  for (std::size_t j = 0; j < count; ++j) chains[chain_byte(j)] = feedback[j];
  std::size_t done = 0;
  switch (schedule.key().size()) {
    case 16: done = encrypt_blocks<A, 1>(schedule, rows, position, length, chains); break;
    case 32: done = encrypt_blocks<A, 2>(schedule, rows, position, length, chains); break;
    case 64: done = encrypt_blocks<A, 4>(schedule, rows, position, length, chains); break;
    default: done = encrypt_blocks<A, 8>(schedule, rows, position, length, chains); break;
  }
  for (std::size_t j = 0; j < count; ++j) feedback[j] = chains[chain_byte(j)];
  // Fewer than 16 positions are left: the scalar chains finish them.
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
