#include "pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "file_io.h"

namespace kelm {

Batch::Batch() : bytes_(new (std::nothrow) std::uint8_t[BATCH_SIZE]) {}

Batch::~Batch() { wipe_bytes(bytes_.get(), high_water_); }

void Batch::read_at(int fd, std::uint64_t offset) {
  const ReadResult got = read_full_at(fd, bytes_.get(), BATCH_SIZE, offset);
  high_water_ = std::max(high_water_, got.count);
  read_failed_ = got.failed;
  filled_ = got.failed ? got.count - got.count % CHUNK_SIZE : got.count;
}

namespace {

/// Whose turn it is to consume, and whether the relay has ended.
class Turns {
 public:
  Turns(const ProduceBatch& produce, const ConsumeBatch& consume)
      : produce_(produce), consume_(consume) {}

  /// Consumes `batch`, number `index`, in its turn, then produces and
  /// consumes every `step`-th batch after it, until the relay ends.
  void deliver(Batch& batch, std::uint64_t index, std::uint64_t step) {
    for (;;) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return ended_ || next_ == index; });
      if (ended_) return;
      lock.unlock();
      // Only the turn's holder gets here, so consuming needs no lock.
      std::optional<Failure> failure = consume_(batch);
      lock.lock();
      const bool ending = failure || batch.last();
      if (ending) {
        ended_ = true;
        failure_ = std::move(failure);
      } else {
        ++next_;
      }
      lock.unlock();
      changed_.notify_all();
      if (ending) return;
      index += step;
      produce_(batch, index);
    }
  }

  std::optional<Failure> failure() const { return failure_; }

 private:
  const ProduceBatch& produce_;
  const ConsumeBatch& consume_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t next_ = 0;
  bool ended_ = false;
  std::optional<Failure> failure_;
};

}  // namespace

std::optional<Failure> relay_batches(const ProduceBatch& produce, const ConsumeBatch& consume,
                                     Batch& first, Batch& second) {
  produce(first, 0);
  if (first.last()) return consume(first);
  Turns turns(produce, consume);
  std::optional<std::jthread> helper;
  try {
    helper.emplace([&] {
      produce(second, 1);
      turns.deliver(second, 1, 2);
    });
  } catch (const std::system_error&) {
    // No second thread to be had: this one does every batch in turn.
  }
  turns.deliver(first, 0, helper ? 2 : 1);
  helper.reset();  // waits for the helper to see the relay end
  return turns.failure();
}

}  // namespace kelm
