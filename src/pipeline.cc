#include "pipeline.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "secure_memory.h"

namespace kelm {

namespace {

/// A second thread of the stream, started where the system allows on
/// another processor than its creator's, then free to run anywhere. A new
/// thread is queued on its creator's processor, and a scheduler may leave it
/// there while its creator runs: on a virtual machine an idle processor can
/// look busy (its host has descheduled it), and the helper then waited for
/// milliseconds while the other processor idled (measured).
class Helper {
 public:
  /// Throws std::system_error when no thread can be had.
  explicit Helper(std::function<void()> body) : body_(std::move(body)) {
    pthread_attr_t attributes;
    if (const int error = ::pthread_attr_init(&attributes); error != 0) {
      throw std::system_error(error, std::generic_category());
    }
    cpu_set_t elsewhere;
    const int here = ::sched_getcpu();
    if (here >= 0 && ::sched_getaffinity(0, sizeof allowed_, &allowed_) == 0 &&
        CPU_COUNT(&allowed_) > 1 && CPU_ISSET(here, &allowed_)) {
      elsewhere = allowed_;
      CPU_CLR(here, &elsewhere);
      // Best effort: without it the thread starts where the system puts it.
      widen_ = ::pthread_attr_setaffinity_np(&attributes, sizeof elsewhere, &elsewhere) == 0;
    }
    const int error = ::pthread_create(&thread_, &attributes, &Helper::enter, this);
    ::pthread_attr_destroy(&attributes);
    if (error != 0) throw std::system_error(error, std::generic_category());
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  ~Helper() { join(); }

  void join() {
    if (joined_) return;
    joined_ = true;
    ::pthread_join(thread_, nullptr);
  }

 private:
  static void* enter(void* self) {
    auto& helper = *static_cast<Helper*>(self);
    // Started elsewhere; from here on the scheduler may place it anywhere.
    if (helper.widen_) (void)::sched_setaffinity(0, sizeof helper.allowed_, &helper.allowed_);
    helper.body_();
    return nullptr;
  }

  std::function<void()> body_;
  cpu_set_t allowed_{};
  bool widen_ = false;
  pthread_t thread_{};
  bool joined_ = false;
};

/// Hands rounds from a producing helper thread to the calling thread.
class Relay {
 public:
  Relay(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume)
      : slots_(slots), produce_(produce), consume_(consume) {}

  /// Runs the relay to its end; throws what either side threw.
  void run() {
    // With one slot the two sides could only take turns: no thread for that.
    if (slots_ == 1) return run_alone();
    std::unique_ptr<Helper> helper;
    try {
      helper = std::make_unique<Helper>([this] { produce_all(); });
    } catch (const std::system_error&) {
      // No second thread to be had: this one does every round in turn.
      return run_alone();
    }
    try {
      consume_all();
    } catch (...) {
      stop();
      helper->join();
      throw;
    }
    helper->join();
    if (producer_error_) std::rethrow_exception(producer_error_);
  }

 private:
  void run_alone() {
    while (true) {
      const bool more = produce_(0);
      if (!consume_(0) || !more) return;
    }
  }

  void produce_all() {
    try {
      for (std::uint64_t round = 0;; ++round) {
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return stopped_ || round - consumed_ < slots_; });
          if (stopped_) return;
        }
        const bool more = produce_(static_cast<std::size_t>(round % slots_));
        {
          const std::lock_guard lock(mutex_);
          ++produced_;
          producer_done_ = !more;
        }
        changed_.notify_all();
        if (!more) return;
      }
    } catch (...) {
      {
        const std::lock_guard lock(mutex_);
        producer_error_ = std::current_exception();
        producer_done_ = true;
      }
      changed_.notify_all();
    }
  }

  void consume_all() {
    for (std::uint64_t round = 0;; ++round) {
      bool last = false;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return produced_ > round || producer_done_; });
        if (producer_error_ || produced_ <= round) return;
        last = producer_done_ && produced_ == round + 1;
      }
      const bool go_on = consume_(static_cast<std::size_t>(round % slots_));
      {
        const std::lock_guard lock(mutex_);
        ++consumed_;
        stopped_ = !go_on;
      }
      changed_.notify_all();
      if (!go_on || last) return;
    }
  }

  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
  }

  const std::size_t slots_;
  const ProduceRound& produce_;
  const ConsumeRound& consume_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t produced_ = 0;
  std::uint64_t consumed_ = 0;
  bool producer_done_ = false;  // the last round is produced, or producing failed
  bool stopped_ = false;        // the consumer wants no more
  std::exception_ptr producer_error_;
};

}  // namespace

void relay_rounds(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume) {
  Relay relay(std::max<std::size_t>(slots, 1), produce, consume);
  relay.run();
}

namespace {

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

constexpr std::size_t kCacheLine = 64;

/// From one lane's tile to the next in a buffer. Tiles a power of two apart
/// would all fall in the same few cache sets and evict each other; one line
/// more sets each lane a set further on.
std::size_t lane_stride(std::size_t tile, std::size_t lanes) {
  return lanes > 1 ? (tile + kCacheLine - 1) / kCacheLine * kCacheLine + kCacheLine : tile;
}

/// What every stream shares: the plan, the reading of the input up to the
/// first byte that could not be read, and the telling of chunks.
class StreamBase {
 protected:
  StreamBase(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
             const ChunkDone& chunk_done)
      : plan_(plan),
        schedule_(schedule),
        kernels_(plan.kernels != nullptr ? *plan.kernels : kernels::best()),
        files_(files),
        chunk_done_(chunk_done),
        chunks_(ceil_div(plan.payload, plan.chunk_size)),
        read_limit_(plan.payload) {}

  std::uint64_t read_limit() const { return read_limit_.load(std::memory_order_acquire); }

  /// Reads `length` bytes at payload position `position` and returns how
  /// many came. An early end and a read error are one: the input is then
  /// readable up to there, but never counted below `counted_from`, bytes
  /// another thread has read already.
  std::size_t read_at(std::uint8_t* bytes, std::uint64_t position, std::size_t length,
                      std::uint64_t counted_from) {
    const ReadResult got =
        read_full_at(files_, plan_.input, bytes, length, plan_.input_offset + position);
    if (got.count < length) lower_read_limit(std::max(counted_from, position + got.count));
    return got.count;
  }

  /// Deciphers `length` bytes of payload from position `position`, chunk by
  /// chunk; `previous` is the ciphertext byte before them. Returns the last.
  std::uint8_t decrypt(std::uint8_t* bytes, std::uint64_t position, std::size_t length,
                       std::uint8_t previous) const {
    for (std::size_t at = 0; at < length;) {
      const std::uint64_t in_chunk = (position + at) % plan_.chunk_size;
      const auto piece = static_cast<std::size_t>(
          std::min<std::uint64_t>(plan_.chunk_size - in_chunk, length - at));
      previous = kernels_.decrypt(schedule_, bytes + at, in_chunk, piece,
                                  in_chunk == 0 ? std::uint8_t{0} : previous);
      at += piece;
    }
    return previous;
  }

  /// Tells, in order, of every chunk that ends by `to`, and of the payload's
  /// end when `to` reaches it inside a chunk.
  void tell_up_to(std::uint64_t to) {
    if (to <= told_) return;
    const std::uint64_t chunk = plan_.chunk_size;
    for (std::uint64_t end = (told_ / chunk + 1) * chunk; end <= to; end += chunk) {
      chunk_done_(end);
    }
    if (to == plan_.payload && to % chunk != 0) chunk_done_(to);
    told_ = to;
  }

  /// How a stream ended once `prefix` bytes are in the output: after a read
  /// failure the chunk it cut short is told of too, for the bytes it gave.
  StreamEnd read_end(std::uint64_t prefix) {
    if (read_limit() >= plan_.payload) return StreamEnd::kDone;
    if (prefix % plan_.chunk_size != 0) chunk_done_(prefix);
    return StreamEnd::kReadFailed;
  }

  const StreamPlan& plan_;
  const kernels::Schedule& schedule_;
  const kernels::Kernels& kernels_;
  FileAccess& files_;
  const ChunkDone& chunk_done_;
  const std::uint64_t chunks_;

 private:
  void lower_read_limit(std::uint64_t to) {
    std::uint64_t now = read_limit_.load(std::memory_order_relaxed);
    while (to < now && !read_limit_.compare_exchange_weak(now, to, std::memory_order_acq_rel)) {
    }
  }

  std::atomic<std::uint64_t> read_limit_;  // the payload, or the first byte not to be had
  std::uint64_t told_ = 0;                 // the calling thread's alone
};

/// Into a regular file: threads stream shares of the payload side by side,
/// each writing its bytes straight to their place. Chunks are told of, and
/// on a failure the output is cut back, up to the prefix every thread has
/// written in full.
class ParallelStream : StreamBase {
 public:
  ParallelStream(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
                 const ChunkDone& chunk_done);
  StreamEnd run();

 private:
  static constexpr std::uint64_t kAllWritten = ~std::uint64_t{0};

  /// One thread's share and how far it has written it.
  struct Worker {
    std::size_t index = 0;
    SecretRegion memory;
    /// Every byte of the share before this one is in the output.
    std::atomic<std::uint64_t> frontier{0};
    std::uint64_t high_water = 0;  // no byte of the share at or past this one was written
    std::uint8_t* bytes() const { return reinterpret_cast<std::uint8_t*>(memory.data()); }
  };

  void work(Worker& worker, bool telling);
  void encrypt_share(Worker& worker, bool telling);
  void decrypt_share(Worker& worker, bool telling);
  bool write_at(Worker& worker, const std::uint8_t* bytes, std::uint64_t position,
                std::size_t length);
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }
  void stop() { stop_.store(true, std::memory_order_relaxed); }
  std::uint64_t prefix() const;
  StreamEnd finish();

  std::size_t workers_count_ = 1;
  std::size_t group_ = 1;    // chunks whose chains run side by side, over all threads
  std::size_t tile_ = 1;     // chunk positions a lane takes at a time
  std::size_t stride_ = 1;   // from one lane's tile to the next in a buffer
  std::size_t stretch_ = 1;  // bytes decryption takes at a time
  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<bool> stop_{false};  // a write failed or something threw: every thread stops
  std::atomic<bool> write_failed_{false};
};

ParallelStream::ParallelStream(const StreamPlan& plan, const kernels::Schedule& schedule,
                               FileAccess& files, const ChunkDone& chunk_done)
    : StreamBase(plan, schedule, files, chunk_done) {
  const std::size_t most = std::max<std::size_t>(plan.workers, 1);
  if (plan.direction == Direction::kEncrypt) {
    group_ = static_cast<std::size_t>(std::min<std::uint64_t>(
        std::clamp<std::size_t>(plan.max_lanes, 1, kernels::kMaxLanes), chunks_));
    // Each thread runs a share of the group's chains; a chain is not split.
    workers_count_ = std::min(most, group_);
    tile_ = static_cast<std::size_t>(std::min<std::uint64_t>(
        std::max<std::size_t>(plan.tile, 1), std::min(plan.chunk_size, plan.payload)));
    stride_ = lane_stride(tile_, ceil_div(group_, workers_count_));
  } else {
    stretch_ = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::size_t>(plan.stretch, 1), plan.payload));
    workers_count_ =
        static_cast<std::size_t>(std::min<std::uint64_t>(most, ceil_div(plan.payload, stretch_)));
  }
}

StreamEnd ParallelStream::run() {
  // A share's buffer: its widest lanes, or a stretch and the byte before it.
  const std::size_t size = plan_.direction == Direction::kEncrypt
                               ? ceil_div(group_, workers_count_) * stride_
                               : stretch_ + 1;
  for (std::size_t w = 0; w < workers_count_; ++w) {
    auto worker = std::make_unique<Worker>();
    worker->index = w;
    // Each thread puts its own buffer's pages in place, side by side.
    worker->memory = SecretRegion(size, SecretRegion::Lock::kNo);
    if (!worker->memory.valid()) return StreamEnd::kNoMemory;
    workers_.push_back(std::move(worker));
  }
  std::vector<std::unique_ptr<Helper>> helpers;
  std::vector<std::exception_ptr> errors(workers_count_);
  std::size_t alone_from = workers_count_;  // shares left to this thread: no thread to be had
  for (std::size_t w = 1; w < workers_count_; ++w) {
    try {
      helpers.push_back(std::make_unique<Helper>([this, w, &errors] {
        try {
          work(*workers_[w], false);
        } catch (...) {
          errors[w] = std::current_exception();
          stop();
        }
      }));
    } catch (const std::system_error&) {
      alone_from = w;
      break;
    }
  }
  try {
    work(*workers_[0], true);
    for (std::size_t w = alone_from; w < workers_count_; ++w) work(*workers_[w], true);
  } catch (...) {
    errors[0] = std::current_exception();
    stop();
  }
  for (auto& helper : helpers) helper->join();
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  return finish();
}

void ParallelStream::work(Worker& worker, bool telling) {
  worker.memory.populate();
  if (plan_.direction == Direction::kEncrypt) {
    encrypt_share(worker, telling);
  } else {
    decrypt_share(worker, telling);
  }
  // A share stopped early leaves its frontier where it was.
  if (!stopped()) worker.frontier.store(kAllWritten, std::memory_order_release);
}

/// Runs this thread's lanes of each group of chunks: the same stretch of
/// positions from each, read into one buffer, their chains run side by side
/// through it, and each tile written to its place. Only the last chunk of
/// the payload is shorter than the others, and only the chunk where the
/// input fails is cut, so the lanes still going are always the first ones.
void ParallelStream::encrypt_share(Worker& worker, bool telling) {
  std::uint8_t* const bytes = worker.bytes();
  for (std::uint64_t group_first = 0; group_first < chunks_; group_first += group_) {
    const std::uint64_t in_group = std::min<std::uint64_t>(group_, chunks_ - group_first);
    const std::uint64_t first = group_first + in_group * worker.index / workers_count_;
    const auto lanes = static_cast<std::size_t>(
        group_first + in_group * (worker.index + 1) / workers_count_ - first);
    const std::uint64_t start = first * plan_.chunk_size;
    if (lanes == 0) continue;
    if (start >= read_limit()) return;
    worker.frontier.store(start, std::memory_order_release);
    std::array<std::uint8_t, kernels::kMaxLanes> feedback{};
    for (std::uint64_t position = 0; position < plan_.chunk_size; position += tile_) {
      if (stopped()) return;
      std::array<std::size_t, kernels::kMaxLanes> got{};
      std::size_t going = 0;
      std::size_t widest = 0;
      for (; going < lanes; ++going) {
        const std::uint64_t lane_start = start + going * plan_.chunk_size;
        const std::uint64_t end = std::min(lane_start + plan_.chunk_size, read_limit());
        const std::uint64_t at = lane_start + position;
        if (at >= end) break;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(tile_, end - at));
        got[going] = read_at(bytes + going * stride_, at, length, at);
        if (got[going] == 0) break;
        widest = std::max(widest, got[going]);
      }
      if (going == 0) break;
      // A lane shorter than the widest runs on through stale bytes that are
      // never written: cheaper than stopping its chain.
      kernels_.encrypt_lanes(schedule_, bytes, stride_, going, position, widest, feedback.data());
      for (std::size_t lane = 0; lane < going; ++lane) {
        const std::uint64_t at = start + lane * plan_.chunk_size + position;
        if (!write_at(worker, bytes + lane * stride_, at, got[lane])) return;
      }
      worker.frontier.store(start + position + got[0], std::memory_order_release);
      if (telling) tell_up_to(prefix());
    }
    // Every lane is written to its end, or to where the input ended.
    worker.frontier.store(start + lanes * plan_.chunk_size, std::memory_order_release);
  }
}

/// Runs this thread's stretches: every workers_count_-th one, each read,
/// deciphered and written on its own.
void ParallelStream::decrypt_share(Worker& worker, bool telling) {
  std::uint8_t* const bytes = worker.bytes();
  for (std::uint64_t start = worker.index * std::uint64_t{stretch_};;
       start += workers_count_ * std::uint64_t{stretch_}) {
    if (stopped() || start >= read_limit()) return;
    worker.frontier.store(start, std::memory_order_release);
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(stretch_, read_limit() - start));
    // Inside a chunk, the ciphertext byte before the stretch comes too.
    const std::size_t lead = start % plan_.chunk_size != 0 ? 1 : 0;
    const std::size_t got = read_at(bytes, start - lead, length + lead, start);
    if (got <= lead) return;
    const std::size_t count = got - lead;
    decrypt(bytes + lead, start, count, lead != 0 ? bytes[0] : std::uint8_t{0});
    if (!write_at(worker, bytes + lead, start, count)) return;
    worker.frontier.store(start + count, std::memory_order_release);
    if (telling) tell_up_to(prefix());
  }
}

bool ParallelStream::write_at(Worker& worker, const std::uint8_t* bytes, std::uint64_t position,
                              std::size_t length) {
  if (!write_full_at(files_, plan_.output, bytes, length, plan_.output_offset + position)) {
    write_failed_.store(true, std::memory_order_relaxed);
    stop();
    return false;
  }
  worker.high_water = std::max(worker.high_water, position + length);
  return true;
}

/// The payload bytes every thread has written in full, from the start.
std::uint64_t ParallelStream::prefix() const {
  std::uint64_t written = read_limit();
  for (const auto& worker : workers_) {
    written = std::min(written, worker->frontier.load(std::memory_order_acquire));
  }
  return written;
}

StreamEnd ParallelStream::finish() {
  const std::uint64_t written = prefix();
  std::uint64_t high_water = 0;
  for (const auto& worker : workers_) high_water = std::max(high_water, worker->high_water);
  // Bytes past the prefix (lanes written ahead, a write cut short, chunks
  // past an input that ended early) are cut off again, so the output never
  // holds a hole or bytes out of place.
  const bool cut_failed =
      high_water > written && files_.truncate(plan_.output, plan_.output_offset + written) != 0;
  tell_up_to(written);
  if (write_failed_.load(std::memory_order_relaxed) || cut_failed) return StreamEnd::kWriteFailed;
  return read_end(written);
}

/// A stretch of payload in a round's buffer, on its way to the output.
struct Extent {
  std::uint64_t position;  // in the payload
  std::size_t offset;      // in the round's buffer
  std::size_t length;
};

/// One round: the stretches it carries.
struct Round {
  std::array<Extent, IN_ORDER_LANES> extents{};
  std::size_t count = 0;
};

/// Into a pipe or a device, which take bytes only in order: a helper thread
/// reads and enciphers rounds while the calling thread writes them.
/// Encryption runs a few whole chunks side by side, held until written.
class InOrderStream : StreamBase {
 public:
  InOrderStream(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
                const ChunkDone& chunk_done);
  StreamEnd run();

 private:
  std::uint8_t* buffer(std::size_t slot) const {
    return reinterpret_cast<std::uint8_t*>(memory_.data()) + slot * round_size_;
  }
  bool produce(std::size_t slot);
  bool consume(std::size_t slot);

  std::size_t lanes_ = 1;
  std::size_t stride_ = 1;
  std::size_t round_size_ = 1;
  std::size_t slots_ = 1;
  SecretRegion memory_;
  std::vector<Round> rounds_;
  std::uint64_t next_ = 0;     // reading side: the next payload position to read
  std::uint8_t previous_ = 0;  // reading side: the last ciphertext byte, when decrypting
  std::uint64_t written_ = 0;  // writing side: every byte before this one is out
  bool write_failed_ = false;
};

InOrderStream::InOrderStream(const StreamPlan& plan, const kernels::Schedule& schedule,
                             FileAccess& files, const ChunkDone& chunk_done)
    : StreamBase(plan, schedule, files, chunk_done) {
  std::uint64_t rounds = 0;
  if (plan.direction == Direction::kEncrypt) {
    // Whole chunks, each lane held until the ones before it are out.
    const std::size_t widest = std::clamp<std::size_t>(plan.max_lanes, 1, IN_ORDER_LANES);
    lanes_ = static_cast<std::size_t>(std::min<std::uint64_t>(widest, chunks_));
    const auto longest = static_cast<std::size_t>(std::min(plan.chunk_size, plan.payload));
    stride_ = lane_stride(longest, lanes_);
    round_size_ = lanes_ * stride_;
    rounds = ceil_div(chunks_, lanes_);
  } else {
    round_size_ = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::size_t>(plan.stretch, 1), plan.payload));
    rounds = ceil_div(plan.payload, round_size_);
  }
  // A payload that fits one round needs neither a second thread nor a spare.
  slots_ = rounds > 1 ? std::max<std::size_t>(plan.rounds_in_flight, 1) : 1;
}

StreamEnd InOrderStream::run() {
  memory_ =
      SecretRegion(slots_ * round_size_, SecretRegion::Lock::kNo, SecretRegion::Populate::kYes);
  if (!memory_.valid()) return StreamEnd::kNoMemory;
  rounds_.resize(slots_);
  relay_rounds(
      slots_, [this](std::size_t slot) { return produce(slot); },
      [this](std::size_t slot) { return consume(slot); });
  if (write_failed_) return StreamEnd::kWriteFailed;
  return read_end(written_);
}

bool InOrderStream::produce(std::size_t slot) {
  Round& round = rounds_[slot];
  std::uint8_t* const bytes = buffer(slot);
  round.count = 0;
  if (plan_.direction == Direction::kEncrypt) {
    std::size_t going = 0;
    for (; going < lanes_; ++going) {
      const std::uint64_t at = next_ + going * plan_.chunk_size;
      const std::uint64_t end = std::min(at + plan_.chunk_size, read_limit());
      if (at >= end) break;
      const auto length = static_cast<std::size_t>(end - at);
      const std::size_t got = read_at(bytes + going * stride_, at, length, at);
      if (got == 0) break;
      round.extents[round.count++] = {at, going * stride_, got};
    }
    if (going != 0) {
      std::array<std::uint8_t, kernels::kMaxLanes> feedback{};
      kernels_.encrypt_lanes(schedule_, bytes, stride_, going, 0, round.extents[0].length,
                             feedback.data());
    }
    next_ += lanes_ * plan_.chunk_size;
  } else {
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(round_size_, read_limit() - next_));
    const std::size_t got = read_at(bytes, next_, length, next_);
    previous_ = decrypt(bytes, next_, got, previous_);
    if (got != 0) round.extents[round.count++] = {next_, 0, got};
    next_ += got;
  }
  return next_ < read_limit();
}

bool InOrderStream::consume(std::size_t slot) {
  const Round& round = rounds_[slot];
  for (std::size_t i = 0; i < round.count; ++i) {
    const Extent& extent = round.extents[i];
    if (!write_full(files_, plan_.output, buffer(slot) + extent.offset, extent.length)) {
      write_failed_ = true;
      return false;
    }
    written_ = extent.position + extent.length;
    tell_up_to(written_);
  }
  return true;
}

}  // namespace

StreamEnd stream_payload(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, const ChunkDone& chunk_done) {
  if (plan.payload == 0) return StreamEnd::kDone;
  if (plan.output_seekable) return ParallelStream(plan, schedule, files, chunk_done).run();
  return InOrderStream(plan, schedule, files, chunk_done).run();
}

}  // namespace kelm
