// The key in memory: read or copied in, checked, and wiped; and the tables
// a stream derives from it.
#pragma once

#include <cstdint>
#include <span>

#include "file_io.h"
#include "format.h"
#include "kelm.h"
#include "secure_memory.h"

namespace kelm {

namespace kernels {
class Schedule;
}

/// Most bytes read from a key that is a pipe: far more than any usable key,
/// so its length is told as a file's would be, yet bounded.
inline constexpr std::size_t KEY_STREAM_LIMIT = std::size_t{64} * 1024;

/// The key in memory. Owns its bytes in one region kept out of swap and
/// core dumps, and zeroes them before they are freed. Not copyable, so no
/// stray copy survives.
class CipherKey {
 public:
  CipherKey() = default;
  CipherKey(const CipherKey&) = delete;
  CipherKey& operator=(const CipherKey&) = delete;
  ~CipherKey() { wipe(); }

  /// Takes a copy of `bytes` as the key, in memory from `pages`; on failure
  /// the key is left empty.
  kelm_status assign(std::span<const std::uint8_t> bytes, PageSource& pages = system_pages());

  /// Reads the key from `fd`, from its file position to its end, straight
  /// into the key's memory: a regular file's length is its size, however
  /// large (only a usable one is read); anything else is read whole, to at
  /// most KEY_STREAM_LIMIT bytes. `length` is set to the key's length as
  /// far as it was learned, 0 when not at all.
  kelm_status read(int fd, std::uint64_t& length, FileAccess& files = system_files(),
                   PageSource& pages = system_pages());

  /// Zeroes and frees the key bytes.
  void wipe() noexcept;

  std::span<const std::uint8_t> bytes() const;
  /// The memory that holds the key; empty when none is loaded.
  const SecretRegion& region() const { return region_; }

 private:
  /// Makes room for a key of `length` bytes, which must be usable.
  kelm_status allocate(std::uint64_t length, PageSource& pages);

  SecretRegion region_;
  std::uint8_t size_ = 0;
};

/// Whether a key of `length` bytes is usable, and if not, why.
kelm_status check_key_length(std::uint64_t length);

/// The tables the cipher's loops use for a key and a seed, with a copy of
/// the key, in protected memory of their own: a stream keeps no pointer to
/// the key it was made from.
class KeySchedule {
 public:
  KeySchedule() = default;
  /// `key` must hold a usable key. Check valid(): memory may run out.
  KeySchedule(std::span<const std::uint8_t> key, std::uint8_t seed,
              PageSource& pages = system_pages());
  KeySchedule(const KeySchedule&) = delete;
  KeySchedule& operator=(const KeySchedule&) = delete;
  ~KeySchedule();

  bool valid() const { return schedule_ != nullptr; }
  /// Builds the tables anew for `seed`, from the same key.
  void reseed(std::uint8_t seed);
  const kernels::Schedule& get() const { return *schedule_; }
  const SecretRegion& region() const { return region_; }

 private:
  SecretRegion region_;
  kernels::Schedule* schedule_ = nullptr;  // lives in region_
};

}  // namespace kelm

/// A key behind the C API.
struct kelm_key {
  kelm::CipherKey key;
};
