// The cipher's loops for arm64, which always has NEON. They have the shape
// of the x86 ones (lane_blocks.h is shared), with TBL as the lookup:
// it picks from a table of one to four registers (16 to 64 bytes) by each
// index byte and gives 0 past the table's end, and TBX, which leaves such
// bytes alone instead, extends a lookup to 128 bytes. So every key size has
// a vector path.
// The build compiles this file for arm64 only; the guard lets tools that
// read every source file (clang-tidy on an x86 build) pass over it.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernel_sets.h"
#include "kernels.h"
#include "lane_blocks.h"
#include "platform.h"

namespace kelm::kernels {
namespace {

/// 16 lanes in one 128-bit register, with the operations lane_blocks.h
/// asks of them; the zips are those of the x86 unpacks.
struct Neon {
  using V = uint8x16_t;
  static constexpr std::size_t kLanes = 16;
  static V load(const std::uint8_t* at) { return vld1q_u8(at); }
  static void store(std::uint8_t* at, V v) { vst1q_u8(at, v); }
  static V broadcast8(const std::uint8_t* at) {
    const uint8x8_t half = vld1_u8(at);
    return vcombine_u8(half, half);
  }
  /// 8 bytes of lanes i and i + 8, from `base` plus their offsets.
  static V gather_rows(const std::uint8_t* base, const std::size_t* offsets, std::size_t i) {
    return vcombine_u8(vld1_u8(base + offsets[i]), vld1_u8(base + offsets[i + 8]));
  }
  /// The inverse of gather_rows.
  static void scatter_rows(std::uint8_t* base, const std::size_t* offsets, std::size_t i, V v) {
    vst1_u8(base + offsets[i], vget_low_u8(v));
    vst1_u8(base + offsets[i + 8], vget_high_u8(v));
  }
  static V xor_(V a, V b) { return veorq_u8(a, b); }
  static V lo8(V a, V b) { return vzip1q_u8(a, b); }
  static V hi8(V a, V b) { return vzip2q_u8(a, b); }
  static V lo16(V a, V b) {
    return vreinterpretq_u8_u16(vzip1q_u16(vreinterpretq_u16_u8(a), vreinterpretq_u16_u8(b)));
  }
  static V hi16(V a, V b) {
    return vreinterpretq_u8_u16(vzip2q_u16(vreinterpretq_u16_u8(a), vreinterpretq_u16_u8(b)));
  }
  static V lo32(V a, V b) {
    return vreinterpretq_u8_u32(vzip1q_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b)));
  }
  static V hi32(V a, V b) {
    return vreinterpretq_u8_u32(vzip2q_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b)));
  }
  static V lo64(V a, V b) {
    return vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b)));
  }
  static V hi64(V a, V b) {
    return vreinterpretq_u8_u64(vzip2q_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b)));
  }
};

/// The key in up to eight registers: TBL over the first four (all of a key
/// up to 64 bytes), TBX over the next four for a 128-byte key.
template <typename A, std::size_t kSlices>
struct TblTable {
  uint8x16x4_t low;
  uint8x16x4_t high;
  uint8x16_t mask;

  explicit TblTable(const Schedule& schedule) {
    const std::uint8_t* const key = schedule.key().data();
    std::uint8_t bytes[128];
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = key[i & schedule.mask()];
    low = vld1q_u8_x4(bytes);
    high = vld1q_u8_x4(bytes + 64);
    wipe_bytes(bytes, sizeof bytes);
    mask = vdupq_n_u8(static_cast<std::uint8_t>(schedule.mask()));
  }
  TblTable(const TblTable&) = delete;
  TblTable& operator=(const TblTable&) = delete;
  ~TblTable() { wipe_bytes(this, sizeof *this); }

  /// extra ^ key[byte & mask] for every byte of `byte`. Latency: an AND, a
  /// TBL over one to four registers (plus a TBX for 128 bytes, whose index
  /// is ready alongside the TBL), and an EOR.
  [[gnu::always_inline]] uint8x16_t lookup_xor(uint8x16_t byte, uint8x16_t extra) const {
    const uint8x16_t index = vandq_u8(byte, mask);
    uint8x16_t picked;
    if constexpr (kSlices == 1) {
      picked = vqtbl1q_u8(low.val[0], index);
    } else if constexpr (kSlices == 2) {
      picked = vqtbl2q_u8(uint8x16x2_t{{low.val[0], low.val[1]}}, index);
    } else if constexpr (kSlices == 4) {
      picked = vqtbl4q_u8(low, index);
    } else {
      // Indexes 64 to 127 are past the first table and 0 to 63 after the
      // flip past the second, so each byte takes exactly one of the two.
      picked = vqtbx4q_u8(vqtbl4q_u8(low, index), high, veorq_u8(index, vdupq_n_u8(64)));
    }
    return veorq_u8(picked, extra);
  }
};

void encrypt_lanes(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                   std::size_t count, std::uint64_t position, std::size_t length,
                   std::uint8_t* feedback) {
  // Critical path: one lookup_xor per position for 16 chains at once (see
  // TblTable). More lanes than 16 run as two passes.
  for (std::size_t first = 0; first < count; first += Neon::kLanes) {
    const std::size_t in_pass = count - first < Neon::kLanes ? count - first : Neon::kLanes;
    encrypt_vector<Neon, TblTable>(schedule, lanes + first * stride, stride, in_pass, position,
                                   length, feedback + first);
  }
}

/// Deciphers 16 bytes a step: the feedback picks come from the ciphertext
/// moved up by one byte (EXT across the previous and the current vector),
/// so the steps are independent of each other.
template <std::size_t kSlices>
std::uint8_t decrypt_for(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                         std::size_t length, std::uint8_t previous) {
  const TblTable<Neon, kSlices> table(schedule);
  const std::uint8_t* const by_position = schedule.by_position();
  uint8x16_t carried = vdupq_n_u8(previous);
  std::size_t n = 0;
  for (; n + 16 <= length; n += 16) {
    const uint8x16_t cipher = vld1q_u8(bytes + n);
    const uint8x16_t before = vextq_u8(carried, cipher, 15);
    const uint8x16_t picked = vld1q_u8(by_position + ((position + n) & schedule.mask()));
    vst1q_u8(bytes + n, table.lookup_xor(before, veorq_u8(cipher, picked)));
    carried = cipher;
  }
  if (n != 0) previous = vgetq_lane_u8(carried, 15);
  return decrypt_tail(schedule, bytes + n, position + n, length - n, previous);
}

std::uint8_t decrypt(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                     std::size_t length, std::uint8_t previous) {
  return by_key_slices(schedule, [&](auto slices) {
    return decrypt_for<slices>(schedule, bytes, position, length, previous);
  });
}

}  // namespace

const Kernels kNeon = {"neon", encrypt_lanes, decrypt};

}  // namespace kelm::kernels

#endif  // defined(__aarch64__)
