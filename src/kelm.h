// Shared types of kelm: the key in memory, the chunk size and the failure value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "console.h"
#include "secure_memory.h"

namespace kelm {

namespace kernels {
class Schedule;
}

/// Bytes the cipher processes before it restarts; also the driver's read size.
/// Part of the encrypted file layout: changing it makes old files unreadable.
inline constexpr std::uint64_t CHUNK_SIZE = 1'000'000;

/// Smallest and largest usable key, in bytes; the length must be a power of two.
inline constexpr std::uint64_t MIN_KEY_SIZE = 16;
inline constexpr std::uint64_t MAX_KEY_SIZE = 128;

/// Exit statuses, one per class of failure.
enum Status : int {
  STATUS_OK = 0,
  STATUS_USAGE = 1,     // bad command line, key file cannot be loaded
  STATUS_RESOURCE = 2,  // out of memory, empty input
  STATUS_FILE = 3,      // input or output cannot be used, overwrite declined
  STATUS_KEY_SIZE = 4,  // key length unusable
};

/// A failure on its way back to the driver: the exit status and the exact
/// text for standard error (empty when nothing is to be said).
struct Failure {
  int status;
  std::string message;
};

/// Overwrites `length` bytes at `data` with zeros in a way the optimiser
/// cannot drop, even when the memory is freed right afterwards.
void wipe_bytes(void* data, std::size_t length) noexcept;

/// The key in memory. Owns its bytes and the tables derived from them, in
/// one region kept out of swap and core dumps, and zeroes them before they
/// are freed, on every path out. Not copyable, so no stray copy survives.
class CipherKey {
 public:
  CipherKey() = default;
  CipherKey(const CipherKey&) = delete;
  CipherKey& operator=(const CipherKey&) = delete;
  ~CipherKey();

  /// Loads the key file `name`. Writes the key-size lines to `out`. On
  /// failure returns it and leaves the key empty.
  std::optional<Failure> load_key_file(const std::string& name, TextOut& out);

  /// Takes a copy of `bytes` as the key. False (key left empty) unless the
  /// length is a power of two from MIN_KEY_SIZE to MAX_KEY_SIZE.
  bool assign(std::span<const std::uint8_t> bytes);

  /// Zeroes and frees the key bytes; size and feedback become 0.
  void wipe() noexcept;

  /// Enciphers one chunk in place. `seed` is the file's seed byte; the cipher
  /// starts afresh at every call. A key must be loaded.
  void encrypt_chunk(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed);

  /// Undoes encrypt_chunk for the same key, seed and chunk.
  void decrypt_chunk(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed);

  /// The tables the cipher's loops use for this key and `seed`, built anew
  /// on each call in the key's own protected memory; valid until the next
  /// call or until the key is wiped. A key must be loaded.
  const kernels::Schedule& schedule(std::uint8_t seed);

  std::uint8_t size() const { return size_; }
  std::uint8_t power() const { return power_; }
  std::uint8_t feedback() const { return feedback_; }
  std::span<const std::uint8_t> bytes() const;
  /// The memory that holds the key and its tables; empty when none is loaded.
  const SecretRegion& region() const { return region_; }

 private:
  /// Makes room for a key of `size` bytes; false if no memory could be had.
  bool allocate(std::uint8_t size);
  void drop_schedule() noexcept;

  SecretRegion region_;
  kernels::Schedule* schedule_ = nullptr;  // lives in region_
  std::uint8_t size_ = 0;
  std::uint8_t feedback_ = 0;
  std::uint8_t power_ = 0;
};

}  // namespace kelm
