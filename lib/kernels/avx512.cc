// The cipher's loops for x86-64 processors with AVX-512 F, BW, VL and VBMI.
// This file alone is compiled with those flags; the dispatch calls into it
// only after the processor has said it has them.
//
// vpermb looks up a table of one register by the low bits of each index
// byte (five for ymm, six for zmm), and vpermi2b one of two zmm registers
// (128 bytes) by the low seven. Shorter keys are repeated to fill the
// table, so the reduction modulo the key length comes with the lookup.
#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernel_sets.h"
#include "kernels.h"
#include "lane_blocks.h"
#include "platform.h"
#include "x86_vectors.h"

// GCC 12 warns that the placeholder the unmasked intrinsics pass for lanes
// a mask leaves alone may be used uninitialized; their mask leaves none.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace kelm::kernels {
namespace {

/// The key filling one zmm register (repeated when shorter), or two for a
/// 128-byte key: decryption's table, and the chains' for the longer keys.
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

  /// key[byte mod key length] for every byte of `byte`.
  [[gnu::always_inline]] __m512i lookup(__m512i byte) const {
    return kSlices == 8 ? _mm512_permutex2var_epi8(low, byte, high)
                        : _mm512_permutexvar_epi8(byte, low);
  }

  /// extra ^ key[byte mod key length] for every byte of `byte`.
  [[gnu::always_inline]] __m512i lookup_xor(__m512i byte, __m512i extra) const {
    return _mm512_xor_si512(lookup(byte), extra);
  }
};

/// The key for 32 chains in a ymm register: a ymm vpermb on the low 32 bytes
/// of WideTable for 16- and 32-byte keys, the zmm lookup for longer ones. On
/// Intel processors any zmm instruction shuts the second vector port, which
/// the transposes use, so the narrow form is kept where the key allows it.
template <typename A, std::size_t kSlices>
class ChainTable {
 public:
  explicit ChainTable(const Schedule& schedule) : key_(schedule) {}

  /// extra ^ key[byte mod key length] for every byte of `byte`.
  [[gnu::always_inline]] __m256i lookup_xor(__m256i byte, __m256i extra) const {
    __m256i picked;
    if constexpr (kSlices <= 2) {
      picked = _mm256_permutexvar_epi8(byte, _mm512_castsi512_si256(key_.low));
    } else {
      // The upper half of the index is undefined, and so is that of the result.
      picked = _mm512_castsi512_si256(key_.lookup(_mm512_castsi256_si512(byte)));
    }
    return _mm256_xor_si256(picked, extra);
  }

 private:
  const WideTable<kSlices> key_;
};

// Up to 16 lanes, encryption moves each block of 8 positions between the
// lanes' rows and registers of one position each with vpermt2b, which picks
// any 64 bytes out of two registers: two turn 16 lanes' rows into their 8
// positions, where unpacking takes 32 shuffles. Rows come in by masked
// broadcasts (a load and a blend, no shuffle) and go out through a buffer in
// the first-level cache, which leaves the shuffle port to the permutes and
// the chains.
//
// More lanes take rows of 16 bytes (encrypt_rows16 below): half the loads
// and stores a byte of lane_blocks.h's rows of 8, for transposes that need
// 16 registers of rows and AVX-512's 32 registers to hold them.

/// Where each byte of a vpermt2b result comes from: bit 6 picks the second
/// source, the low six bits the byte in it.
using Picks = std::array<std::uint8_t, 64>;

template <typename From>
constexpr Picks picks(From from) {
  Picks out{};
  for (std::size_t b = 0; b < out.size(); ++b) out[b] = static_cast<std::uint8_t>(from(b));
  return out;
}

/// Byte `byte` of the first source, or of the second if `second`.
constexpr std::size_t pick(bool second, std::size_t byte) { return (second ? 64 : 0) | byte; }

// Two layouts. Rows: 8 lanes to a register, byte 8i + p is lane i's
// position p. Positions: 4 to a register, byte 16p + l is lane l's.

/// 16 lanes' rows (two registers) to positions 4h to 4h + 3.
constexpr Picks rows_to_positions(std::size_t h) {
  return picks([h](std::size_t b) {
    const std::size_t position = 4 * h + b / 16;
    const std::size_t lane = b % 16;
    return pick(lane >= 8, 8 * (lane % 8) + position);
  });
}

/// Positions 0-3 and 4-7 back to the rows of lanes 8g to 8g + 7.
constexpr Picks positions_to_rows(std::size_t g) {
  return picks([g](std::size_t b) {
    const std::size_t lane = 8 * g + b / 8;
    const std::size_t position = b % 8;
    return pick(position >= 4, 16 * (position % 4) + lane);
  });
}

inline __m512i load_picks(const Picks& from) { return _mm512_loadu_si512(from.data()); }

inline __m512i permute(__m512i first, __m512i picks, __m512i second) {
  return _mm512_permutex2var_epi8(first, picks, second);
}

/// The key for 16 chains in an xmm register: the zmm tables of decryption,
/// looked up in as narrow a register as each key length allows.
template <std::size_t kSlices>
class NarrowChain {
 public:
  explicit NarrowChain(const Schedule& schedule) : key_(schedule) {}

  /// extra ^ key[byte mod key length] for every byte of `byte`: the chain's
  /// step, and its critical path.
  [[gnu::always_inline]] __m128i step(__m128i byte, __m128i extra) const {
    __m128i picked;
    if constexpr (kSlices == 1) {
      picked = _mm_permutexvar_epi8(byte, _mm512_castsi512_si128(key_.low));
    } else if constexpr (kSlices == 2) {
      picked = _mm256_castsi256_si128(
          _mm256_permutexvar_epi8(_mm256_castsi128_si256(byte), _mm512_castsi512_si256(key_.low)));
    } else {
      // The zmm lookup, vpermb or vpermi2b, on the xmm's bytes.
      picked = _mm512_castsi512_si128(key_.lookup(_mm512_castsi128_si512(byte)));
    }
    return _mm_xor_si128(picked, extra);
  }

 private:
  const WideTable<kSlices> key_;
};

/// The 16-byte slot `slot` of `whole`.
[[gnu::always_inline]] inline __m128i take(__m512i whole, std::size_t slot) {
  if (slot == 0) return _mm512_castsi512_si128(whole);
  if (slot == 1) return _mm512_extracti32x4_epi32(whole, 1);
  if (slot == 2) return _mm512_extracti32x4_epi32(whole, 2);
  return _mm512_extracti32x4_epi32(whole, 3);
}

/// `whole` with its 16-byte slot `slot` replaced by `part`. Slot 0 ignores
/// `whole` and leaves slots 1 to 3 undefined: fill the slots in order.
[[gnu::always_inline]] inline __m512i place(__m512i whole, __m128i part, std::size_t slot) {
  if (slot == 0) return _mm512_castsi128_si512(part);
  if (slot == 1) return _mm512_inserti32x4(whole, part, 1);
  if (slot == 2) return _mm512_inserti32x4(whole, part, 2);
  return _mm512_inserti32x4(whole, part, 3);
}

/// Lane i's row of block `at` in qword i of a register, for the 8 lanes at
/// `offsets`, with the position key bytes folded in.
[[gnu::always_inline]] inline __m512i gather_rows(const std::uint8_t* at,
                                                  const std::size_t* offsets, __m512i picked) {
  __m512i rows = _mm512_set1_epi64(static_cast<long long>(load8(at + offsets[0])));
  for (unsigned i = 1; i < 8; ++i) {
    rows = _mm512_mask_broadcastq_epi64(
        rows, static_cast<__mmask8>(1U << i),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at + offsets[i])));
  }
  return _mm512_xor_si512(rows, picked);
}

/// Writes the rows in `rows` back to block `at` of the 8 lanes at `offsets`.
[[gnu::always_inline]] inline void scatter_rows(std::uint8_t* at, const std::size_t* offsets,
                                                __m512i rows) {
  alignas(64) std::uint8_t bytes[64];
  _mm512_store_si512(bytes, rows);
  // Through memory, on purpose: the compiler would otherwise pull each row
  // out with shuffles, on the port the permutes need.
  asm volatile("" : "+m"(bytes));  // NOLINT(hicpp-no-assembler)
  for (std::size_t i = 0; i < 8; ++i) std::memcpy(at + offsets[i], bytes + 8 * i, 8);
}

/// Runs whole blocks of 8 positions of 16 lanes and returns how many
/// positions it ran. Critical path: one NarrowChain::step a position.
template <std::size_t kSlices>
[[gnu::noinline]] std::size_t encrypt_narrow(const Schedule& schedule, const std::size_t* offsets,
                                             std::uint8_t* base, std::uint64_t position,
                                             std::size_t length, std::uint8_t* chains) {
  const NarrowChain<kSlices> table(schedule);
  __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chains));
  const __m512i in0 = load_picks(rows_to_positions(0));
  const __m512i in1 = load_picks(rows_to_positions(1));
  const __m512i out0 = load_picks(positions_to_rows(0));
  const __m512i out1 = load_picks(positions_to_rows(1));
  std::size_t block = 0;
  for (; block + 8 <= length; block += 8) {
    std::uint8_t* const at = base + block;
    const __m512i picked = _mm512_set1_epi64(static_cast<long long>(
        load8(schedule.by_position() + ((position + block) & schedule.mask()))));
    const __m512i rows0 = gather_rows(at, offsets, picked);
    const __m512i rows1 = gather_rows(at, offsets + 8, picked);
    const __m512i positions[2] = {permute(rows0, in0, rows1), permute(rows0, in1, rows1)};
    // The results go straight into zmm registers: stored in pieces and loaded
    // whole, they could not be forwarded from the store buffer.
    __m512i results[2] = {};
    for (std::size_t p = 0; p < 8; ++p) {
      chain = table.step(chain, take(positions[p / 4], p % 4));
      results[p / 4] = place(results[p / 4], chain, p % 4);
    }
    scatter_rows(at, offsets, permute(results[0], out0, results[1]));
    scatter_rows(at, offsets + 8, permute(results[0], out1, results[1]));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(chains), chain);
  return block;
}

/// Up to 16 lanes in one pass, lanes past the count repeating the last one;
/// the scalar chains finish the positions short of a block.
void encrypt_up_to_16(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                      std::size_t count, std::uint64_t position, std::size_t length,
                      std::uint8_t* feedback) {
  std::size_t offsets[16];
  alignas(16) std::uint8_t chains[16];
  for (std::size_t j = 0; j < 16; ++j) {
    const std::size_t lane = j < count ? j : count - 1;
    offsets[j] = lane * stride;
    chains[j] = feedback[lane];
  }
  const std::size_t done = by_key_slices(schedule, [&](auto slices) {
    return encrypt_narrow<slices>(schedule, offsets, lanes, position, length, chains);
  });
  std::memcpy(feedback, chains, count);
  kPortable.encrypt_lanes(schedule, lanes + done, stride, count, position + done, length - done,
                          feedback);
}

/// Reverses the four bits of 0 to 15: transpose<Ymm, 16> moves byte y of
/// v[r] to byte reverse4(r) of v[y], and undoes itself fed
/// v[reverse4(c)] = out[c].
constexpr std::size_t reverse4(std::size_t k) {
  return ((k & 1) << 3) | ((k & 2) << 1) | ((k & 4) >> 1) | ((k & 8) >> 3);
}

/// Where vector lane j's chain byte sits once rows of 16 are transposed.
constexpr std::size_t wide_chain_byte(std::size_t j) { return (j & 16) | reverse4(j & 15); }

/// Runs whole blocks of 16 positions of 32 lanes and returns how many
/// positions it ran. Vector i holds the 16-byte rows of two lanes: the
/// i-th of the first group of 16 at base + i * stride, and the i-th of the
/// second group `second` bytes on. Critical path: one ChainTable lookup a
/// position.
template <std::size_t kSlices>
[[gnu::noinline]] std::size_t encrypt_rows16(const Schedule& schedule, std::size_t stride,
                                             std::size_t second, std::uint8_t* base,
                                             std::uint64_t position, std::size_t length,
                                             std::uint8_t* chains) {
  const ChainTable<Ymm, kSlices> table(schedule);
  __m256i chain = Ymm::load(chains);
  std::size_t block = 0;
  for (; block + 16 <= length; block += 16) {
    std::uint8_t* const at = base + block;
    const __m256i picked =
        Ymm::broadcast16(schedule.by_position() + ((position + block) & schedule.mask()));
    __m256i v[16];
    const std::uint8_t* row = at;
    for (std::size_t i = 0; i < 16; ++i, row += stride) {
      const __m256i rows = _mm256_inserti128_si256(_mm256_castsi128_si256(Xmm::load(row)),
                                                   Xmm::load(row + second), 1);
      v[i] = _mm256_xor_si256(rows, picked);
    }
    transpose<Ymm, 16>(v);
    __m256i out[16];
    for (std::size_t c = 0; c < 16; ++c) {
      chain = table.lookup_xor(chain, v[c]);
      out[reverse4(c)] = chain;
    }
    transpose<Ymm, 16>(out);
    std::uint8_t* to = at;
    for (std::size_t i = 0; i < 16; ++i, to += stride) {
      const __m256i rows = out[reverse4(i)];
      Xmm::store(to, _mm256_castsi256_si128(rows));
      Xmm::store(to + second, _mm256_extracti128_si256(rows, 1));
    }
  }
  Ymm::store(chains, chain);
  return block;
}

/// 17 to 32 lanes: as two groups of 16, the caller's first lanes and its
/// last ones. With fewer than 32 the groups share lanes, which then run
/// twice side by side, on the same bytes with the same feedback, and write
/// the same bytes: every row sits a stride from the one before, with no
/// table of offsets, and no lane past `count` is touched. Blocks of 8 and
/// the scalar chains finish the positions short of a block of 16.
void encrypt_wide(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                  std::size_t count, std::uint64_t position, std::size_t length,
                  std::uint8_t* feedback) {
  const auto lane = [count](std::size_t j) { return j < 16 ? j : count - 16 + (j - 16); };
  alignas(32) std::uint8_t chains[32];
  for (std::size_t j = 0; j < 32; ++j) chains[wide_chain_byte(j)] = feedback[lane(j)];
  const std::size_t done = by_key_slices(schedule, [&](auto slices) {
    return encrypt_rows16<slices>(schedule, stride, (count - 16) * stride, lanes, position, length,
                                  chains);
  });
  for (std::size_t j = 0; j < 32; ++j) feedback[lane(j)] = chains[wide_chain_byte(j)];
  encrypt_vector<Ymm, ChainTable>(schedule, lanes + done, stride, count, position + done,
                                  length - done, feedback);
}

/// Up to this many lanes the scalar chains, run side by side, are faster:
/// a vector step's table lookup takes longer than a scalar load, and few
/// lanes leave the vector mostly empty (cipher_bench, 1 to 4 lanes: about
/// 1.15x the vector's rate; from 6 or 7 on, less).
constexpr std::size_t kScalarLanes = 4;

void encrypt_lanes(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                   std::size_t count, std::uint64_t position, std::size_t length,
                   std::uint8_t* feedback) {
  if (count <= kScalarLanes) {
    return kPortable.encrypt_lanes(schedule, lanes, stride, count, position, length, feedback);
  }
  if (count <= 16) {
    return encrypt_up_to_16(schedule, lanes, stride, count, position, length, feedback);
  }
  encrypt_wide(schedule, lanes, stride, count, position, length, feedback);
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
