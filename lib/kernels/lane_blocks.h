// The encryption every vector set shares: blocks of 8 positions of 16 or 32
// lanes, transposed so that one vector holds one position of every lane, the
// chains stepped a position at a time, and transposed back; and
// by_key_slices, which builds each loop for one key length.
//
// A set supplies its vector type A (V, kLanes, load, store, broadcast8,
// gather_rows, scatter_rows, xor_ and the zips lo8/hi8 ... lo64/hi64, which
// unpack the low and high halves of each 16-byte half at 8, 16, 32 and 64
// bits) and its key table Table<A, kSlices>, whose lookup_xor(byte, extra)
// gives extra ^ key[byte mod key length] in every byte.
//
// All of it sits in an anonymous namespace, so each set's file gets its own
// copy built with its own flags: a function shared between files could be
// merged at link time into the copy that needs the wider instruction set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kernel_sets.h"
#include "kernels.h"

namespace kelm::kernels {
namespace {  // NOLINT(cert-dcl59-cpp): one copy per set's file, see above

/// Calls `call` with the key's count of 16-byte slices (1, 2, 4 or 8) as a
/// compile-time constant, so each loop is built for one key length.
template <typename Call>
[[gnu::always_inline]] inline auto by_key_slices(const Schedule& schedule, Call call) {
  switch (schedule.key().size()) {
    case 16: return call(std::integral_constant<std::size_t, 1>{});
    case 32: return call(std::integral_constant<std::size_t, 2>{});
    case 64: return call(std::integral_constant<std::size_t, 4>{});
    default: return call(std::integral_constant<std::size_t, 8>{});
  }
}

/// Reverses the three bits of 0 to 7.
constexpr std::size_t reverse3(std::size_t k) { return ((k & 1) << 2) | (k & 2) | ((k & 4) >> 2); }

/// Transposes in each 16-byte half of kVectors (8 or 16) vectors with four
/// rounds of unpacking, each pairing vector k with vector k + kVectors / 2.
/// With eight, byte p of v[r] moves to byte (p & 8) | reverse3(r) of
/// v[p & 7]: rows of 8 bytes (two to a half) come out as vectors of one
/// byte position each, and the same rounds, fed v[reverse3(c)] = out[c],
/// turn those back into rows. Sixteen vectors of 16-byte rows transpose the
/// same way, with reverse4 (avx512.cc).
template <typename A, std::size_t kVectors = 8>
[[gnu::always_inline]] inline void transpose(typename A::V* v) {
  constexpr std::size_t kHalf = kVectors / 2;
  typename A::V t[kVectors];
  for (std::size_t k = 0; k < kHalf; ++k) {
    t[2 * k] = A::lo8(v[k], v[k + kHalf]);
    t[2 * k + 1] = A::hi8(v[k], v[k + kHalf]);
  }
  for (std::size_t k = 0; k < kHalf; ++k) {
    v[2 * k] = A::lo16(t[k], t[k + kHalf]);
    v[2 * k + 1] = A::hi16(t[k], t[k + kHalf]);
  }
  for (std::size_t k = 0; k < kHalf; ++k) {
    t[2 * k] = A::lo32(v[k], v[k + kHalf]);
    t[2 * k + 1] = A::hi32(v[k], v[k + kHalf]);
  }
  for (std::size_t k = 0; k < kHalf; ++k) {
    v[2 * k] = A::lo64(t[k], t[k + kHalf]);
    v[2 * k + 1] = A::hi64(t[k], t[k + kHalf]);
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
/// many positions it ran. Each block loads the lanes' 8-byte rows into eight
/// vectors (vector i: lanes i and i + 8 in one 16-byte half, i + 16 and
/// i + 24 in the other), folds in the position key bytes, transposes to
/// eight vectors of one position each, steps the chains eight times,
/// transposes back and stores.
///
/// Critical path: the chain, one lookup_xor per position, whose latency
/// each set's table states. The transposes of one block overlap the chain
/// of the next, so with short keys throughput is set by the 64 zips a block
/// needs on the shuffle ports.
template <typename A, template <typename, std::size_t> class Table, std::size_t kSlices>
[[gnu::noinline]] std::size_t encrypt_blocks(const Schedule& schedule, const LaneOffsets<A>& lanes,
                                             std::uint8_t* base, std::uint64_t position,
                                             std::size_t length, std::uint8_t* chains) {
  using V = typename A::V;
  const Table<A, kSlices> table(schedule);
  V chain = A::load(chains);
  std::size_t block = 0;
  for (; block + 8 <= length; block += 8) {
    std::uint8_t* const at = base + block;
    const V picked = A::broadcast8(schedule.by_position() + ((position + block) & schedule.mask()));
    V v[8];
    for (std::size_t i = 0; i < 8; ++i) {
      v[i] = A::xor_(A::gather_rows(at, lanes.at, i), picked);
    }
    transpose<A>(v);
    V out[8];
    for (std::size_t c = 0; c < 8; ++c) {
      chain = table.lookup_xor(chain, v[c]);
      out[reverse3(c)] = chain;
    }
    transpose<A>(out);
    for (std::size_t k = 0; k < 8; ++k) A::scatter_rows(at, lanes.at, reverse3(k), out[k]);
  }
  A::store(chains, chain);
  return block;
}

template <typename A, template <typename, std::size_t> class Table>
void encrypt_vector(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                    std::size_t count, std::uint64_t position, std::size_t length,
                    std::uint8_t* feedback) {
  const LaneOffsets<A> offsets(stride, count);
  alignas(32) std::uint8_t chains[32] = {};
  for (std::size_t j = 0; j < A::kLanes; ++j) {
    chains[chain_byte(j)] = feedback[j < count ? j : count - 1];
  }
  const std::size_t done = by_key_slices(schedule, [&](auto slices) {
    return encrypt_blocks<A, Table, slices>(schedule, offsets, lanes, position, length, chains);
  });
  for (std::size_t j = 0; j < count; ++j) feedback[j] = chains[chain_byte(j)];
  // Fewer than 8 positions are left: the scalar chains finish them.
  kPortable.encrypt_lanes(schedule, lanes + done, stride, count, position + done, length - done,
                          feedback);
}

}  // namespace
}  // namespace kelm::kernels
