// Batches of chunks and the hand-over of batches between the thread that
// reads and enciphers them and the thread that writes them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

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

  /// Fills the batch from the file `fd`. Before a read error only whole
  /// chunks count, as if each chunk had been read on its own and the failing
  /// read had delivered nothing.
  void read_from(int fd);

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t filled_ = 0;
  std::size_t high_water_ = 0;
  bool read_failed_ = false;
};

/// Passes two batches back and forth between a producer thread, which fills
/// them in turn (read and encipher), and the caller, which takes them in the
/// same order (write). The producer stops after a batch that is last(), or
/// when the pipeline is destroyed; the destructor waits for it.
class Pipeline {
 public:
  /// `first` is already filled and is the first batch taken; the producer
  /// starts on `second`. Throws std::system_error if no thread can be made.
  Pipeline(Batch& first, Batch& second, std::function<void(Batch&)> produce);
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  ~Pipeline();

  /// Waits for the next batch in order and returns it.
  Batch& take();
  /// Gives the batch last taken back to the producer to fill again.
  void give_back();

 private:
  void produce_all(std::stop_token stop);

  Batch* slots_[2];
  bool filled_[2] = {true, false};
  std::size_t taken_ = 0;
  std::function<void(Batch&)> produce_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::jthread producer_;  // last: started once everything above is ready
};

}  // namespace kelm
