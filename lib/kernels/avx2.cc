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
#include <type_traits>

#include "kernel_sets.h"
#include "kernels.h"
#include "lane_blocks.h"
#include "platform.h"
#include "x86_vectors.h"

namespace kelm::kernels {
namespace {

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

  /// extra ^ key[byte & mask] for every byte of `byte`. Latency: an AND, a
  /// subtraction, a pshufb and ceil(log2(slices + 1)) levels of XORs.
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

/// Up to this many lanes the scalar chains, run side by side, are faster
/// than a vector step's table lookups (cipher_bench: 1.8x at one lane,
/// 1.2x at seven; the vector wins from ten on).
constexpr std::size_t kScalarLanes = 7;

void encrypt_lanes(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                   std::size_t count, std::uint64_t position, std::size_t length,
                   std::uint8_t* feedback) {
  if (count <= kScalarLanes) {
    kPortable.encrypt_lanes(schedule, lanes, stride, count, position, length, feedback);
  } else if (count > 16) {
    encrypt_vector<Ymm, KeyTable>(schedule, lanes, stride, count, position, length, feedback);
  } else {
    encrypt_vector<Xmm, KeyTable>(schedule, lanes, stride, count, position, length, feedback);
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
  return by_key_slices(schedule, [&](auto slices) {
    return decrypt_for<slices>(schedule, bytes, position, length, previous);
  });
}

}  // namespace

const Kernels kAvx2 = {"avx2", encrypt_lanes, decrypt};

}  // namespace kelm::kernels
