// The key in memory: loaded from its file, checked, and wiped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "console.h"
#include "failure.h"
#include "file_io.h"
#include "kelm.h"
#include "secure_memory.h"

namespace kelm {

namespace kernels {
class Schedule;
}

/// Most bytes read from a key file that is a pipe: far more than any usable
/// key, so its length is told as a file's would be, yet bounded.
inline constexpr std::size_t KEY_STREAM_LIMIT = std::size_t{64} * 1024;

/// The key in memory. Owns its bytes and the tables derived from them, in
/// one region kept out of swap and core dumps, and zeroes them before they
/// are freed. Not copyable, so no stray copy survives.
class CipherKey {
 public:
  CipherKey() = default;
  CipherKey(const CipherKey&) = delete;
  CipherKey& operator=(const CipherKey&) = delete;
  ~CipherKey();

  /// Loads the key file `name`, reading it through `files` and keeping it in
  /// memory from `pages`: a regular file, or a pipe read whole (at most
  /// KEY_STREAM_LIMIT bytes), whose length then counts as a file's would.
  /// Writes the key-size lines to `out`. On failure returns it and leaves
  /// the key empty.
  std::optional<Failure> load_key_file(const std::string& name, TextOut& out,
                                       FileAccess& files = system_files(),
                                       PageSource& pages = system_pages());

  /// Takes a copy of `bytes` as the key. False (key left empty) unless the
  /// length is a power of two from MIN_KEY_SIZE to MAX_KEY_SIZE.
  bool assign(std::span<const std::uint8_t> bytes, PageSource& pages = system_pages());

  /// Zeroes and frees the key bytes and their tables.
  void wipe() noexcept;

  /// The tables the cipher's loops use for this key and `seed`, built anew
  /// on each call in the key's own protected memory; valid until the next
  /// call or until the key is wiped. A key must be loaded.
  const kernels::Schedule& schedule(std::uint8_t seed);

  std::uint8_t size() const { return size_; }
  std::span<const std::uint8_t> bytes() const;
  /// The memory that holds the key and its tables; empty when none is loaded.
  const SecretRegion& region() const { return region_; }

 private:
  /// Makes room for a key of `size` bytes; false if no memory could be had.
  bool allocate(std::uint8_t size, PageSource& pages);
  /// Checks a key file's `length`, takes its bytes through `fill` where it
  /// is usable, and writes the key-size lines.
  template <typename Fill>
  std::optional<Failure> take(const std::string& name, std::uint64_t length, TextOut& out,
                              PageSource& pages, Fill fill);
  void drop_schedule() noexcept;

  SecretRegion region_;
  kernels::Schedule* schedule_ = nullptr;  // lives in region_
  std::uint8_t size_ = 0;
};

}  // namespace kelm
