#include "pipeline.h"

#include <algorithm>
#include <new>
#include <utility>

#include "file_io.h"

namespace kelm {

Batch::Batch() : bytes_(new (std::nothrow) std::uint8_t[BATCH_SIZE]) {}

Batch::~Batch() { wipe_bytes(bytes_.get(), high_water_); }

void Batch::read_from(int fd) {
  const ReadResult got = read_full(fd, bytes_.get(), BATCH_SIZE);
  high_water_ = std::max(high_water_, got.count);
  read_failed_ = got.failed;
  filled_ = got.failed ? got.count - got.count % CHUNK_SIZE : got.count;
}

Pipeline::Pipeline(Batch& first, Batch& second, std::function<void(Batch&)> produce)
    : slots_{&first, &second},
      produce_(std::move(produce)),
      producer_([this](std::stop_token stop) { produce_all(std::move(stop)); }) {}

Pipeline::~Pipeline() {
  producer_.request_stop();
  changed_.notify_all();
  // The jthread joins here, after the producer has finished its batch.
}

void Pipeline::produce_all(std::stop_token stop) {
  for (std::size_t turn = 1;; ++turn) {
    const std::size_t slot = turn % 2;
    {
      std::unique_lock lock(mutex_);
      if (!changed_.wait(lock, stop, [&] { return !filled_[slot]; })) return;
    }
    produce_(*slots_[slot]);
    {
      std::lock_guard lock(mutex_);
      filled_[slot] = true;
    }
    changed_.notify_all();
    if (slots_[slot]->last()) return;
  }
}

Batch& Pipeline::take() {
  const std::size_t slot = taken_ % 2;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return filled_[slot]; });
  return *slots_[slot];
}

void Pipeline::give_back() {
  {
    std::lock_guard lock(mutex_);
    filled_[taken_ % 2] = false;
    ++taken_;
  }
  changed_.notify_all();
}

}  // namespace kelm
