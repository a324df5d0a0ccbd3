// Batches of chunks, and the relay that shares them between two threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "kelm.h"

namespace kelm {

/// Chunks read, enciphered and written as one batch: as many as the
/// encryption kernel interleaves, so its chains all run at once.
inline constexpr std::size_t BATCH_CHUNKS = 8;
inline constexpr std::size_t BATCH_SIZE = BATCH_CHUNKS * CHUNK_SIZE;

/// A batch of chunks on its way through the run. It holds plaintext on one
/// side of the cipher, so every byte it ever held is zeroed before it is
/// freed, whichever way the run ends.
class Batch {
 public:
  Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  ~Batch();

  bool allocated() const { return bytes_ != nullptr; }
  std::uint8_t* data() const { return bytes_.get(); }
  std::size_t filled() const { return filled_; }
  bool read_failed() const { return read_failed_; }
  /// No batch follows: the input ended or could not be read further.
  bool last() const { return read_failed_ || filled_ < BATCH_SIZE; }

  /// Fills the batch from byte `offset` of the file `fd`. Before a read
  /// error only whole chunks count, as if each chunk had been read on its
  /// own and the failing read had delivered nothing.
  void read_at(int fd, std::uint64_t offset);

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t filled_ = 0;
  std::size_t high_water_ = 0;
  bool read_failed_ = false;
};

/// Fills batch number `index` (read and encipher).
using ProduceBatch = std::function<void(Batch& batch, std::uint64_t index)>;
/// Writes a filled batch; a failure ends the relay.
using ConsumeBatch = std::function<std::optional<Failure>(const Batch& batch)>;

/// Runs every batch of a file through `produce` and then, strictly in order,
/// through `consume`, until a last() batch is consumed or consume fails.
/// Two threads share the work, one batch each in turn: while one reads and
/// enciphers its batch, the other writes the batch before. `first` and
/// `second` are the two threads' buffers. Falls back to one thread when no
/// second can be started. Returns the failure that ended the relay, if any.
std::optional<Failure> relay_batches(const ProduceBatch& produce, const ConsumeBatch& consume,
                                     Batch& first, Batch& second);

}  // namespace kelm
