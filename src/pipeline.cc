#include "pipeline.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
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

/// Lets the processor know the thread is waiting on another (a hint only).
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield");  // NOLINT(hicpp-no-assembler)
#endif
}

/// Hands rounds from a producing helper thread to the calling thread.
///
/// A side that must wait first spins for a while, and only then sleeps. A
/// round takes a few hundred microseconds, and a sleeper is woken where the
/// scheduler likes: on a virtual machine, whose idle processors look busy,
/// that was the processor the other side runs on, and the two then took
/// turns on it while the other processor idled (measured: 10 MB took 1.3
/// times as long). Spinning keeps each on its own.
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
      stopped_ = true;
      announce();
      helper->join();
      throw;
    }
    helper->join();
    if (producer_error_) std::rethrow_exception(producer_error_);
  }

 private:
  /// How long a side spins before it sleeps: a few rounds' worth.
  static constexpr auto kSpinFor = std::chrono::microseconds(500);

  void run_alone() {
    while (true) {
      const bool more = produce_(0);
      if (!consume_(0) || !more) return;
    }
  }

  void produce_all() {
    try {
      for (std::uint64_t round = 0;; ++round) {
        wait_until([&] { return stopped_ || round - consumed_ < slots_; });
        if (stopped_) return;
        const bool more = produce_(static_cast<std::size_t>(round % slots_));
        // The round first: a consumer that sees the end must see it too.
        ++produced_;
        producer_done_ = !more;
        announce();
        if (!more) return;
      }
    } catch (...) {
      producer_error_ = std::current_exception();
      producer_done_ = true;
      announce();
    }
  }

  void consume_all() {
    for (std::uint64_t round = 0;; ++round) {
      wait_until([&] { return produced_ > round || producer_done_; });
      // The error is set before the end is, and read only after it.
      if ((producer_done_ && producer_error_) || produced_ <= round) return;
      const bool last = producer_done_ && produced_ == round + 1;
      const bool go_on = consume_(static_cast<std::size_t>(round % slots_));
      stopped_ = !go_on;
      ++consumed_;
      announce();
      if (!go_on || last) return;
    }
  }

  /// Returns once `ready` holds: at once if it does, after spinning if it
  /// soon does, else after sleeping until the other side announces a change.
  template <typename Ready>
  void wait_until(Ready ready) {
    const auto spin_until = std::chrono::steady_clock::now() + kSpinFor;
    for (unsigned spins = 0; !ready(); ++spins) {
      relax();
      // The clock is asked only now and then: it costs more than a spin.
      if (spins % 64 == 63 && std::chrono::steady_clock::now() > spin_until) {
        std::unique_lock lock(mutex_);
        ++sleepers_;
        changed_.wait(lock, ready);
        --sleepers_;
        return;
      }
    }
  }

  /// Wakes a sleeping side after a change. The change and the count of
  /// sleepers are both sequentially consistent, so either this sees the
  /// sleeper, or the sleeper sees the change before it sleeps.
  void announce() {
    if (sleepers_ == 0) return;
    const std::lock_guard lock(mutex_);
    changed_.notify_all();
  }

  const std::size_t slots_;
  const ProduceRound& produce_;
  const ConsumeRound& consume_;
  std::atomic<std::uint64_t> produced_{0};
  std::atomic<std::uint64_t> consumed_{0};
  std::atomic<bool> producer_done_{false};  // the last round is produced, or producing failed
  std::atomic<bool> stopped_{false};        // the consumer wants no more
  std::exception_ptr producer_error_;       // set before producer_done_ is
  std::atomic<int> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
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

/// Deciphering into a regular file: threads take every other stretch, each
/// reading, deciphering and writing its own with a buffer of its own, and
/// never waiting for each other. Chunks are told of, and on a failure the
/// output is cut back, up to the prefix every thread has written in full.
class ParallelDecryption : StreamBase {
 public:
  ParallelDecryption(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
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
  };

  void work(Worker& worker, bool telling);
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }
  void stop() { stop_.store(true, std::memory_order_relaxed); }
  std::uint64_t prefix() const;
  StreamEnd finish();

  std::size_t workers_count_ = 1;
  std::size_t stretch_ = 1;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<bool> stop_{false};  // a write failed or something threw: every thread stops
  std::atomic<bool> write_failed_{false};
};

ParallelDecryption::ParallelDecryption(const StreamPlan& plan, const kernels::Schedule& schedule,
                                       FileAccess& files, const ChunkDone& chunk_done)
    : StreamBase(plan, schedule, files, chunk_done),
      stretch_(static_cast<std::size_t>(
          std::min<std::uint64_t>(std::max<std::size_t>(plan.stretch, 1), plan.payload))) {
  workers_count_ = static_cast<std::size_t>(std::min<std::uint64_t>(
      std::max<std::size_t>(plan.workers, 1), ceil_div(plan.payload, stretch_)));
}

StreamEnd ParallelDecryption::run() {
  for (std::size_t w = 0; w < workers_count_; ++w) {
    auto worker = std::make_unique<Worker>();
    worker->index = w;
    // Each thread puts its own buffer's pages in place, side by side. One
    // byte more: the ciphertext byte before a stretch inside a chunk.
    worker->memory = SecretRegion(stretch_ + 1, SecretRegion::Lock::kNo);
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

/// Runs this thread's stretches: every workers_count_-th one, each read,
/// deciphered and written on its own.
void ParallelDecryption::work(Worker& worker, bool telling) {
  worker.memory.populate();
  auto* const bytes = reinterpret_cast<std::uint8_t*>(worker.memory.data());
  for (std::uint64_t start = worker.index * std::uint64_t{stretch_};;
       start += workers_count_ * std::uint64_t{stretch_}) {
    if (stopped()) return;  // the frontier stays where it is
    if (start >= read_limit()) break;
    worker.frontier.store(start, std::memory_order_release);
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(stretch_, read_limit() - start));
    // Inside a chunk, the ciphertext byte before the stretch comes too.
    const std::size_t lead = start % plan_.chunk_size != 0 ? 1 : 0;
    const std::size_t got = read_at(bytes, start - lead, length + lead, start);
    if (got <= lead) break;
    const std::size_t count = got - lead;
    decrypt(bytes + lead, start, count, lead != 0 ? bytes[0] : std::uint8_t{0});
    if (!write_full_at(files_, plan_.output, bytes + lead, count, plan_.output_offset + start)) {
      write_failed_.store(true, std::memory_order_relaxed);
      stop();
      return;
    }
    worker.high_water = start + count;
    worker.frontier.store(start + count, std::memory_order_release);
    if (telling) tell_up_to(prefix());
  }
  // The rest of the share lies past where the input could be read.
  worker.frontier.store(kAllWritten, std::memory_order_release);
}

/// The payload bytes every thread has written in full, from the start.
std::uint64_t ParallelDecryption::prefix() const {
  std::uint64_t written = read_limit();
  for (const auto& worker : workers_) {
    written = std::min(written, worker->frontier.load(std::memory_order_acquire));
  }
  return written;
}

StreamEnd ParallelDecryption::finish() {
  const std::uint64_t written = prefix();
  std::uint64_t high_water = 0;
  for (const auto& worker : workers_) high_water = std::max(high_water, worker->high_water);
  // Bytes past the prefix (stretches written ahead, a write cut short) are
  // cut off again, so the output never holds a hole or bytes out of place.
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
  std::array<Extent, kernels::kMaxLanes> extents{};
  std::size_t count = 0;
};

/// Rounds handed from a helper thread, which reads and enciphers them, to
/// the calling thread, which writes them and tells of the chunks: for
/// encryption, and for decryption into a pipe or a device.
///
/// Encryption runs the chains of up to 32 chunks side by side: each round
/// reads the same tile of positions from each, and into a file each tile is
/// written straight to its place. Run on one thread, every chain runs once;
/// split over two, each would run every position of its own chunks. Where
/// the output takes bytes only in order, a few whole chunks go side by side
/// and are held until written.
class RelayStream : StreamBase {
 public:
  RelayStream(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
              const ChunkDone& chunk_done);
  StreamEnd run();

 private:
  std::uint8_t* buffer(std::size_t slot) const {
    return reinterpret_cast<std::uint8_t*>(memory_.data()) + slot * round_size_;
  }
  bool produce(std::size_t slot);
  bool produce_lanes(Round& round, std::uint8_t* bytes);
  bool produce_stretch(Round& round, std::uint8_t* bytes);
  bool consume(std::size_t slot);
  bool write_extent(const Extent& extent, const std::uint8_t* bytes);
  void advance(std::uint64_t to);
  StreamEnd finish();

  std::size_t lanes_ = 1;
  std::size_t tile_ = 1;
  std::size_t stride_ = 1;      // from one lane's tile to the next in the buffer
  std::size_t round_size_ = 1;  // bytes of one round's buffer
  std::size_t slots_ = 1;
  SecretRegion memory_;
  std::vector<Round> rounds_;

  // Reading side.
  std::uint64_t group_start_ = 0;    // payload position of the lanes' first chunk
  std::uint64_t lane_position_ = 0;  // position within the lanes' chunks
  std::array<std::uint8_t, kernels::kMaxLanes> feedback_{};
  std::uint8_t previous_ = 0;  // last ciphertext byte read, when decrypting

  // Writing side.
  struct Pending {
    std::uint64_t chunk = ~std::uint64_t{0};
    std::uint64_t end = 0;
  };
  std::array<Pending, kernels::kMaxLanes> pending_{};  // lanes written ahead of the prefix
  std::uint64_t written_ = 0;     // every byte before this one is in the output
  std::uint64_t high_water_ = 0;  // no byte at or past this one was written
  bool write_failed_ = false;
};

RelayStream::RelayStream(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, const ChunkDone& chunk_done)
    : StreamBase(plan, schedule, files, chunk_done) {
  const std::uint64_t longest = std::min(plan.chunk_size, plan.payload);
  std::uint64_t rounds = 0;
  if (plan.direction == Direction::kEncrypt) {
    // In order, each lane must be held whole until the ones before it are out.
    const std::size_t widest = std::clamp<std::size_t>(plan.max_lanes, 1, kernels::kMaxLanes);
    const std::size_t most = plan.output_seekable ? widest : std::min(widest, IN_ORDER_LANES);
    lanes_ = static_cast<std::size_t>(std::min<std::uint64_t>(most, chunks_));
    const std::uint64_t tile =
        plan.output_seekable ? std::max<std::size_t>(plan.tile, 1) : plan.chunk_size;
    tile_ = static_cast<std::size_t>(std::min(tile, longest));
    stride_ = lane_stride(tile_, lanes_);
    round_size_ = lanes_ * stride_;
    rounds = ceil_div(chunks_, lanes_) * ceil_div(longest, tile_);
  } else {
    round_size_ = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::size_t>(plan.stretch, 1), plan.payload));
    rounds = ceil_div(plan.payload, round_size_);
  }
  // A payload that fits one round needs neither a second thread nor a spare.
  slots_ = rounds > 1 ? std::max<std::size_t>(plan.rounds_in_flight, 1) : 1;
}

StreamEnd RelayStream::run() {
  memory_ =
      SecretRegion(slots_ * round_size_, SecretRegion::Lock::kNo, SecretRegion::Populate::kYes);
  if (!memory_.valid()) return StreamEnd::kNoMemory;
  rounds_.resize(slots_);
  relay_rounds(
      slots_, [this](std::size_t slot) { return produce(slot); },
      [this](std::size_t slot) { return consume(slot); });
  return finish();
}

bool RelayStream::produce(std::size_t slot) {
  Round& round = rounds_[slot];
  round.count = 0;
  return plan_.direction == Direction::kEncrypt ? produce_lanes(round, buffer(slot))
                                                : produce_stretch(round, buffer(slot));
}

/// Reads the same stretch of positions from each chunk of the group, and
/// runs their chains through it side by side. Only the last chunk of the
/// payload is shorter than the others, and only the chunk where the input
/// fails is cut, so the lanes still going are always the first ones.
bool RelayStream::produce_lanes(Round& round, std::uint8_t* bytes) {
  std::size_t widest = 0;
  for (std::size_t lane = 0; lane < lanes_; ++lane) {
    const std::uint64_t start = group_start_ + lane * plan_.chunk_size;
    const std::uint64_t end = std::min(start + plan_.chunk_size, read_limit());
    const std::uint64_t at = start + lane_position_;
    if (at >= end) break;
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(tile_, end - at));
    const std::size_t got = read_at(bytes + lane * stride_, at, length, at);
    if (got == 0) break;
    round.extents[round.count++] = {at, lane * stride_, got};
    widest = std::max(widest, got);
  }
  // A lane shorter than the widest runs on through stale bytes that are
  // never written: cheaper than stopping its chain.
  if (round.count != 0) {
    kernels_.encrypt_lanes(schedule_, bytes, stride_, round.count, lane_position_, widest,
                           feedback_.data());
  }
  lane_position_ += tile_;
  const std::uint64_t first_end = std::min(group_start_ + plan_.chunk_size, read_limit());
  if (group_start_ + lane_position_ >= first_end) {
    group_start_ += lanes_ * plan_.chunk_size;
    lane_position_ = 0;
    feedback_.fill(0);
  }
  return group_start_ < read_limit();
}

/// Reads the next stretch of the payload and deciphers it chunk by chunk.
bool RelayStream::produce_stretch(Round& round, std::uint8_t* bytes) {
  const std::uint64_t start = group_start_;
  const auto length =
      static_cast<std::size_t>(std::min<std::uint64_t>(round_size_, read_limit() - start));
  const std::size_t got = read_at(bytes, start, length, start);
  previous_ = decrypt(bytes, start, got, previous_);
  if (got != 0) round.extents[round.count++] = {start, 0, got};
  group_start_ = start + got;
  return group_start_ < read_limit();
}

bool RelayStream::consume(std::size_t slot) {
  const Round& round = rounds_[slot];
  for (std::size_t i = 0; i < round.count; ++i) {
    const Extent& extent = round.extents[i];
    if (!write_extent(extent, buffer(slot) + extent.offset)) {
      write_failed_ = true;
      return false;
    }
    const std::uint64_t end = extent.position + extent.length;
    high_water_ = std::max(high_water_, end);
    if (extent.position == written_) {
      advance(end);
    } else {
      // A later lane, written ahead: it joins the prefix once the lanes
      // before it are complete.
      const std::uint64_t chunk = extent.position / plan_.chunk_size;
      pending_[static_cast<std::size_t>(chunk % pending_.size())] = {chunk, end};
    }
  }
  return true;
}

bool RelayStream::write_extent(const Extent& extent, const std::uint8_t* bytes) {
  if (plan_.output_seekable) {
    return write_full_at(files_, plan_.output, bytes, extent.length,
                         plan_.output_offset + extent.position);
  }
  return write_full(files_, plan_.output, bytes, extent.length);
}

/// Moves the written prefix on to `to`, and on through lanes written ahead,
/// telling of every chunk it completes.
void RelayStream::advance(std::uint64_t to) {
  while (to > written_) {
    tell_up_to(to);
    written_ = to;
    const std::uint64_t chunk = written_ / plan_.chunk_size;
    const Pending& ahead = pending_[static_cast<std::size_t>(chunk % pending_.size())];
    if (ahead.chunk == chunk) to = ahead.end;
  }
}

StreamEnd RelayStream::finish() {
  // Bytes past the prefix (lanes written ahead, a write cut short, chunks
  // past an input that ended early) are cut off again where the output
  // allows, so it never holds a hole or bytes out of place.
  const bool cut = plan_.output_seekable && high_water_ > written_;
  const bool cut_failed = cut && files_.truncate(plan_.output, plan_.output_offset + written_) != 0;
  if (write_failed_ || cut_failed) return StreamEnd::kWriteFailed;
  return read_end(written_);
}

}  // namespace

StreamEnd stream_payload(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, const ChunkDone& chunk_done) {
  if (plan.payload == 0) return StreamEnd::kDone;
  if (plan.output_seekable && plan.direction == Direction::kDecrypt) {
    return ParallelDecryption(plan, schedule, files, chunk_done).run();
  }
  return RelayStream(plan, schedule, files, chunk_done).run();
}

}  // namespace kelm
