// The cipher's loops for x86-64 processors with AVX-512 F, BW, VL and VBMI.
// This file alone is compiled with those flags; the dispatch calls into it
// only after the processor has said it has them.
//
// vpermb looks up a 64-byte table by the low six bits of each index byte,
// and vpermi2b a 128-byte one by the low seven, in one instruction each.
// Shorter keys are repeated to fill 64 bytes, so the reduction modulo the
// key length comes free with the lookup and every key size costs the same.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "cipher_kernels.h"
#include "kelm.h"
#include "kernel_sets.h"

// GCC 12 warns that the intrinsics' own placeholder for lanes that a mask
// leaves alone may be used uninitialized; no mask here leaves any alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace kelm::kernels {
namespace {

#include "kernels_blocks.inc"  // NOLINT(bugprone-suspicious-include)
#include "kernels_x86.inc"     // NOLINT(bugprone-suspicious-include)

/// The key in ymm registers for the chains of encryption: a 32-byte table
/// (a 16-byte key repeated) for vpermb, two for vpermi2b with a 64-byte
/// key, four and a blend on index bit 6 with a 128-byte one. Staying in ymm
/// registers leaves the processor's second vector port to the transposes,
/// which any zmm instruction would shut.
template <typename A, std::size_t kSlices>
struct ChainTable {
  __m256i table[4];
  __m512i wide[2];

  explicit ChainTable(const Schedule& schedule) {
    const std::uint8_t* const key = schedule.key().data();
    alignas(32) std::uint8_t bytes[128];
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = key[i & schedule.mask()];
    for (std::size_t t = 0; t < 4; ++t) {
      table[t] = _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes + 32 * t));
    }
    wide[0] = _mm512_loadu_si512(bytes);
    wide[1] = _mm512_loadu_si512(bytes + 64);
    wipe_bytes(bytes, sizeof bytes);
  }
  ChainTable(const ChainTable&) = delete;
  ChainTable& operator=(const ChainTable&) = delete;
  ~ChainTable() { wipe_bytes(this, sizeof *this); }

  /// extra ^ key[byte mod key length] for every byte of `byte`.
  [[gnu::always_inline]] __m256i lookup_xor(__m256i byte, __m256i extra) const {
    __m256i picked;
    if constexpr (kSlices <= 2) {
      picked = _mm256_permutexvar_epi8(byte, table[0]);
    } else if constexpr (kSlices == 4) {
      picked =
          _mm512_castsi512_si256(_mm512_permutexvar_epi8(_mm512_castsi256_si512(byte), wide[0]));
    } else {
      picked = _mm512_castsi512_si256(
          _mm512_permutex2var_epi8(wide[0], _mm512_castsi256_si512(byte), wide[1]));
    }
    return _mm256_xor_si256(picked, extra);
  }
};

/// The key filling one zmm register (repeated when shorter), or two for a
/// 128-byte key, for decryption's 64 bytes a step.
template <std::size_t kSlices>
struct WideTable {
  __m512i low;
  __m512i high;

  explicit WideTable(const Schedule& schedule) {
    const std::uint8_t* const key = schedule.key().data();
    alignas(64) std::uint8_t bytes[128];
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = key[i & schedule.mask()];
    low = _mm512_load_si512(bytes);
    high = _mm512_load_si512(bytes + 64);
    wipe_bytes(bytes, sizeof bytes);
  }
  WideTable(const WideTable&) = delete;
  WideTable& operator=(const WideTable&) = delete;
  ~WideTable() { wipe_bytes(this, sizeof *this); }

  /// extra ^ key[byte mod key length] for every byte of `byte`.
  [[gnu::always_inline]] __m512i lookup_xor(__m512i byte, __m512i extra) const {
    const __m512i picked = kSlices == 8 ? _mm512_permutex2var_epi8(low, byte, high)
                                        : _mm512_permutexvar_epi8(byte, low);
    return _mm512_xor_si512(picked, extra);
  }
};

void encrypt_lanes(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                   std::size_t count, std::uint64_t position, std::size_t length,
                   std::uint8_t* feedback) {
  // Fewer lanes repeat the last one (see LaneOffsets): an xmm pass would
  // take as many instructions for half the lanes.
  encrypt_vector<Ymm, ChainTable>(schedule, lanes, stride, count, position, length, feedback);
}

/// Deciphers 64 bytes a step: the feedback picks come from the ciphertext
/// moved up by one byte (one vpermi2b across the previous and the current
/// vector), so the steps are independent of each other.
template <std::size_t kSlices>
std::uint8_t decrypt_for(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                         std::size_t length, std::uint8_t previous) {
  const WideTable<kSlices> table(schedule);
  const std::uint8_t* const by_position = schedule.by_position();
  // Byte i of the moved vector is byte i - 1 of the current one (index
  // 64 + i - 1), byte 0 the last of the previous one (index 63).
  alignas(64) std::uint8_t moved[64];
  for (std::size_t i = 0; i < 64; ++i) moved[i] = static_cast<std::uint8_t>(63 + i);
  const __m512i move = _mm512_load_si512(moved);
  __m512i carried = _mm512_set1_epi8(static_cast<char>(previous));
  std::size_t n = 0;
  for (; n + 64 <= length; n += 64) {
    const __m512i cipher = _mm512_loadu_si512(bytes + n);
    const __m512i before = _mm512_permutex2var_epi8(carried, move, cipher);
    const __m512i picked = _mm512_loadu_si512(by_position + ((position + n) & schedule.mask()));
    previous = bytes[n + 63];
    _mm512_storeu_si512(bytes + n, table.lookup_xor(before, _mm512_xor_si512(cipher, picked)));
    carried = cipher;
  }
  return decrypt_tail(schedule, bytes + n, position + n, length - n, previous);
}

std::uint8_t decrypt(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                     std::size_t length, std::uint8_t previous) {
  return by_key_slices(schedule, [&](auto slices) {
    return decrypt_for<slices>(schedule, bytes, position, length, previous);
  });
}

}  // namespace

const Kernels kAvx512 = {"avx512", encrypt_lanes, decrypt};

}  // namespace kelm::kernels
