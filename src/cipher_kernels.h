// The cipher's inner loops, exposed so that tests can check every variant
// against the reference, whatever the processor they run on picks.
#pragma once

#include <cstdint>
#include <span>

namespace kelm::kernels {

/// Tables derived from the key and the seed, so the loops need no modulo:
/// by_position[n] is the key byte position n picks (it repeats with the key
/// length and is stored long enough for a whole vector load at any
/// n < key length), by_feedback[f] the key byte feedback f picks. They are
/// as secret as the key and wiped when the schedule goes out of scope.
class Schedule {
 public:
  static constexpr std::size_t kPositionSpan = 128 + 64;

  Schedule(std::span<const std::uint8_t> key, std::uint8_t seed);
  Schedule(const Schedule&) = delete;
  Schedule& operator=(const Schedule&) = delete;
  ~Schedule();

  std::span<const std::uint8_t> key() const { return key_; }
  std::uint64_t mask() const { return mask_; }
  const std::uint8_t* by_position() const { return by_position_; }
  const std::uint8_t* by_feedback() const { return by_feedback_; }

 private:
  std::span<const std::uint8_t> key_;
  std::uint64_t mask_;
  alignas(64) std::uint8_t by_position_[kPositionSpan];
  alignas(64) std::uint8_t by_feedback_[256];
};

/// Enciphers `count` chunks in step, so that their feedback chains overlap
/// in the processor: chunk j starts at lanes[j] and has lengths[j] bytes.
/// All chunks but the last must have the same length. Returns the last
/// chunk's final feedback byte.
std::uint8_t encrypt_interleaved(const Schedule& schedule, std::uint8_t* const* lanes,
                                 const std::uint64_t* lengths, int count);

/// Deciphers one chunk, portable code. Returns the final feedback byte.
std::uint8_t decrypt_portable(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t length);

/// Deciphers one chunk with AVX2. Only to be called where has_avx2() holds.
std::uint8_t decrypt_avx2(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t length);

/// True when this processor can run decrypt_avx2.
bool has_avx2();

/// Most chunks encrypt_interleaved takes at once.
inline constexpr int kMaxLanes = 8;

}  // namespace kelm::kernels
