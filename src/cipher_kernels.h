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
  /// by_feedback widened, so a chain step needs no byte-to-word conversion.
  const std::uint32_t* by_feedback_wide() const { return by_feedback_wide_; }

 private:
  std::span<const std::uint8_t> key_;
  std::uint64_t mask_;
  alignas(64) std::uint8_t by_position_[kPositionSpan];
  alignas(64) std::uint8_t by_feedback_[256];
  alignas(64) std::uint32_t by_feedback_wide_[256];
};

/// Enciphers `count` (1 to kMaxLanes) consecutive chunks in step, so that
/// their feedback chains overlap in the processor. All but the last are
/// CHUNK_SIZE long; the last is `last_length`, at most that. Returns the
/// last chunk's final feedback byte.
std::uint8_t encrypt_interleaved(const Schedule& schedule, std::uint8_t* chunks, std::size_t count,
                                 std::uint64_t last_length);

/// The same as encrypt_interleaved, with AVX2 for whole groups of kMaxLanes
/// chunks and keys of up to 32 bytes, where that is faster. Only to be
/// called where has_avx2() holds.
std::uint8_t encrypt_interleaved_avx2(const Schedule& schedule, std::uint8_t* chunks,
                                      std::size_t count, std::uint64_t last_length);

/// Enciphers one chunk of any length. Returns its final feedback byte.
std::uint8_t encrypt_single(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t length);

/// Deciphers one chunk, portable code. Returns the final feedback byte.
std::uint8_t decrypt_portable(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t length);

/// Deciphers one chunk with AVX2. Only to be called where has_avx2() holds.
std::uint8_t decrypt_avx2(const Schedule& schedule, std::uint8_t* buffer, std::uint64_t length);

/// True when this processor can run decrypt_avx2.
bool has_avx2();

/// Most chunks encrypt_interleaved takes at once.
inline constexpr std::size_t kMaxLanes = 8;

}  // namespace kelm::kernels
