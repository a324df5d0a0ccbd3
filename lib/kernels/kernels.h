// The cipher's inner loops, one set per instruction set, behind one small
// dispatch: what the rest of the program uses. The sets themselves are
// declared in kernel_sets.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "format.h"

namespace kelm::kernels {

/// Most chunks whose chains encrypt_lanes runs in step.
inline constexpr std::size_t kMaxLanes = 32;

/// Widest load any kernel makes from the position table, in bytes.
inline constexpr std::size_t kWidestLoad = 64;

/// Tables derived from the key and the seed, so the loops need no modulo:
/// by_position[n] is the key byte that position n picks (it repeats with the
/// key length and is stored long enough for a whole vector load at any
/// n < key length), by_feedback[f] the key byte that feedback byte f picks.
/// They are as secret as the key and wiped when the schedule is destroyed.
class Schedule {
 public:
  static constexpr std::size_t kPositionSpan = MAX_KEY_SIZE + kWidestLoad;

  /// `key` must be of a usable_key_size and outlive the schedule.
  Schedule(std::span<const std::uint8_t> key, std::uint8_t seed);
  Schedule(const Schedule&) = delete;
  Schedule& operator=(const Schedule&) = delete;
  ~Schedule();

  std::span<const std::uint8_t> key() const { return key_; }
  std::uint64_t mask() const { return mask_; }
  const std::uint8_t* by_position() const { return by_position_; }
  const std::uint8_t* by_feedback() const { return by_feedback_; }
  /// by_feedback widened, so a chain step needs no byte-to-word conversion.
  const std::uint32_t* by_feedback_wide() const { return by_feedback_wide_; }

 private:
  std::span<const std::uint8_t> key_;
  std::uint64_t mask_;
  alignas(64) std::uint8_t by_position_[kPositionSpan];
  alignas(64) std::uint8_t by_feedback_[256];
  alignas(64) std::uint32_t by_feedback_wide_[256];
};

/// One instruction set's version of the cipher's two loops. Both work on any
/// stretch of a chunk, so callers may cut chunks into tiles of any length.
struct Kernels {
  /// Shown by tests and benchmarks: "portable", "avx2", "neon", ...
  const char* name;

  /// Runs the chains of `count` (1 to kMaxLanes) chunks on by `length`
  /// positions, all in step, from position `position` of their chunks.
  /// Lane j's bytes are at lanes + j * stride (stride >= length) and are
  /// enciphered in place; feedback[j] holds lane j's last ciphertext byte
  /// (0 at the start of a chunk) and is left holding its new last one.
  /// Touches no lane at or past `count`. Keep the stride off multiples of
  /// 4 KiB (a tile plus one cache line, say): there every lane falls in the
  /// same first-level cache set, which slows encryption down.
  void (*encrypt_lanes)(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                        std::size_t count, std::uint64_t position, std::size_t length,
                        std::uint8_t* feedback);

  /// Deciphers, in place, `length` bytes standing at `position` of one
  /// chunk. `previous` is the ciphertext byte just before them (0 at the
  /// start of a chunk). Returns the last ciphertext byte of the stretch.
  std::uint8_t (*decrypt)(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                          std::size_t length, std::uint8_t previous);
};

/// Every set this build holds that this processor can run, from the
/// narrowest (the portable one) to the widest.
std::span<const Kernels* const> available();

/// The last of available(), so the widest set this processor runs. Found
/// once: at run time on x86-64, where processors differ, and by the build
/// elsewhere.
const Kernels& best();

}  // namespace kelm::kernels
