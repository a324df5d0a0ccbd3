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

/// Where the calling thread runs now and where it may run. A best effort:
/// where the system cannot tell, known() is false and nothing is moved.
struct Placement {
  Placement() {
    here = ::sched_getcpu();
    if (here < 0 || here >= CPU_SETSIZE || ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
        !CPU_ISSET(here, &allowed)) {
      here = -1;
    }
  }
  bool known() const { return here >= 0; }
  bool several() const { return !known() || CPU_COUNT(&allowed) > 1; }

  int here = -1;
  cpu_set_t allowed{};
};

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
    const Placement placement;
    if (placement.known() && placement.several()) {
      allowed_ = placement.allowed;
      cpu_set_t elsewhere = allowed_;
      CPU_CLR(placement.here, &elsewhere);
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

/// Keeps the calling thread on the processor it runs on, for as long as it
/// lives, then lets it run anywhere again: around a sleep, so that the
/// thread wakes where it slept and not where the scheduler would put it (on
/// a virtual machine, the processor of the thread that woke it). Costs two
/// system calls and moves nothing; a best effort.
class StayHere {
 public:
  StayHere() {
    const Placement placement;
    if (!placement.known()) return;
    allowed_ = placement.allowed;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(placement.here, &only);
    pinned_ = ::sched_setaffinity(0, sizeof only, &only) == 0;
  }
  StayHere(const StayHere&) = delete;
  StayHere& operator=(const StayHere&) = delete;
  ~StayHere() {
    if (pinned_) (void)::sched_setaffinity(0, sizeof allowed_, &allowed_);
  }

 private:
  cpu_set_t allowed_{};
  bool pinned_ = false;
};

/// Hands rounds from a producing helper thread to the calling thread.
///
/// A side that must wait spins for a moment first: a round takes a few
/// hundred microseconds, and most waits are shorter. Only then does it
/// sleep, held to its processor while it sleeps. Otherwise a sleeper is
/// woken where the scheduler likes, and on a virtual machine, whose idle
/// processors look busy to it, that was the processor the other side runs
/// on: the two then took turns there while the other processor idled
/// (measured: 10 MB took a third longer, and 512 MiB a fifth more
/// processor time, against spinning longer).
class Relay {
 public:
  Relay(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume)
      : slots_(slots), produce_(produce), consume_(consume), spin_for_(spin_time()) {}

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
  /// How long a side spins before it sleeps. 50 to 500 microseconds
  /// measured alike on 10 MB; on 512 MiB longer spins cost processor time.
  /// With one processor to run on, a spin only keeps the other side from it.
  static std::chrono::microseconds spin_time() {
    return std::chrono::microseconds(Placement().several() ? 100 : 0);
  }

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
    const auto spin_until = std::chrono::steady_clock::now() + spin_for_;
    for (unsigned spins = 0; !ready(); ++spins) {
      relax();
      // The clock is asked only now and then: it costs more than a spin.
      if (spins % 64 == 63 && std::chrono::steady_clock::now() > spin_until) {
        const StayHere stay;
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
  const std::chrono::microseconds spin_for_;
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

/// A stretch of payload in a round's buffer, on its way to the output.
struct Extent {
  std::uint64_t position;  // in the payload
  std::size_t offset;      // in the round's buffer
  std::size_t length;
};

/// One round: the stretches it carries, and the end of the readable input
/// as it was known once the round was read.
struct Round {
  std::array<Extent, kernels::kMaxLanes> extents{};
  std::size_t count = 0;
  std::uint64_t limit = 0;
};

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

constexpr std::size_t kCacheLine = 64;

/// The work's shape for one plan: how many chunks go side by side, how many
/// positions of each a round takes, and how many rounds are in flight.
struct Shape {
  std::size_t lanes = 1;
  std::size_t tile = 1;
  std::size_t stride = 1;      // from one lane's tile to the next in the buffer
  std::size_t round_size = 1;  // bytes of one round's buffer
  std::size_t slots = 1;
};

/// Encryption runs the chains of several chunks side by side, each lane
/// reading and writing a tile of its own chunk.
Shape encryption_shape(const StreamPlan& plan, std::uint64_t chunks, std::uint64_t longest) {
  Shape shape;
  // In order, each lane must be held whole until the ones before it are out.
  const std::size_t widest = std::clamp<std::size_t>(plan.max_lanes, 1, kernels::kMaxLanes);
  const std::size_t most = plan.output_seekable ? widest : std::min(widest, IN_ORDER_LANES);
  shape.lanes = static_cast<std::size_t>(std::min<std::uint64_t>(most, chunks));
  const std::uint64_t tile =
      plan.output_seekable ? std::max<std::size_t>(plan.tile, 1) : plan.chunk_size;
  shape.tile = static_cast<std::size_t>(std::min(tile, longest));
  // Tiles a power of two apart would all fall in the same few cache sets
  // and evict each other; one line more sets each lane a set further on.
  shape.stride = shape.lanes > 1
                     ? (shape.tile + kCacheLine - 1) / kCacheLine * kCacheLine + kCacheLine
                     : shape.tile;
  shape.round_size = shape.lanes * shape.stride;
  return shape;
}

Shape shape_for(const StreamPlan& plan) {
  if (plan.payload == 0) return {};
  const std::uint64_t chunks = ceil_div(plan.payload, plan.chunk_size);
  const std::uint64_t longest = std::min(plan.chunk_size, plan.payload);
  Shape shape;
  std::uint64_t rounds = 0;
  if (plan.direction == Direction::kEncrypt) {
    shape = encryption_shape(plan, chunks, longest);
    rounds = ceil_div(chunks, shape.lanes) * ceil_div(longest, shape.tile);
  } else {
    // Decryption has no chains to keep apart: rounds are plain stretches.
    const std::uint64_t size = std::max<std::size_t>(plan.stretch, 1);
    shape.round_size = static_cast<std::size_t>(std::min(size, plan.payload));
    rounds = ceil_div(plan.payload, shape.round_size);
  }
  // A payload that fits one round needs neither a second thread nor a spare.
  shape.slots = rounds > 1 ? std::max<std::size_t>(plan.rounds_in_flight, 1) : 1;
  return shape;
}

/// One stream's state: the reading side (produce) runs on the helper thread,
/// the writing side (consume) on the calling thread; they share only the
/// rounds, handed over by the relay.
class Stream {
 public:
  Stream(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
         const ChunkDone& chunk_done)
      : plan_(plan),
        schedule_(schedule),
        kernels_(plan.kernels != nullptr ? *plan.kernels : kernels::best()),
        files_(files),
        chunk_done_(chunk_done),
        shape_(shape_for(plan)),
        read_limit_(plan.payload),
        known_limit_(plan.payload) {}

  StreamEnd run();

 private:
  std::uint8_t* buffer(std::size_t slot) const {
    return reinterpret_cast<std::uint8_t*>(memory_.data()) + slot * shape_.round_size;
  }
  bool produce(std::size_t slot);
  bool produce_lanes(Round& round, std::uint8_t* bytes);
  bool produce_stretch(Round& round, std::uint8_t* bytes);
  std::size_t read_at(std::uint8_t* bytes, std::uint64_t position, std::size_t length);
  bool consume(std::size_t slot);
  bool write_extent(const Extent& extent, const std::uint8_t* bytes);
  void advance(std::uint64_t to);
  StreamEnd finish();

  const StreamPlan& plan_;
  const kernels::Schedule& schedule_;
  const kernels::Kernels& kernels_;
  FileAccess& files_;
  const ChunkDone& chunk_done_;
  const Shape shape_;
  SecretRegion memory_;
  std::vector<Round> rounds_;

  // Reading side.
  std::uint64_t read_limit_;         // the payload, or the first byte that could not be read
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
  std::uint64_t known_limit_;     // read_limit_ as the last consumed round saw it
  std::uint64_t written_ = 0;     // every byte before this one is in the output
  std::uint64_t high_water_ = 0;  // no byte at or past this one was written
  bool write_failed_ = false;
};

StreamEnd Stream::run() {
  if (plan_.payload == 0) return StreamEnd::kDone;
  memory_ = SecretRegion(shape_.slots * shape_.round_size, SecretRegion::Lock::kNo,
                         SecretRegion::Populate::kYes);
  if (!memory_.valid()) return StreamEnd::kNoMemory;
  rounds_.resize(shape_.slots);
  relay_rounds(
      shape_.slots, [this](std::size_t slot) { return produce(slot); },
      [this](std::size_t slot) { return consume(slot); });
  return finish();
}

std::size_t Stream::read_at(std::uint8_t* bytes, std::uint64_t position, std::size_t length) {
  const ReadResult got =
      read_full_at(files_, plan_.input, bytes, length, plan_.input_offset + position);
  // An early end and a read error are one: the input is readable up to here.
  if (got.count < length) read_limit_ = std::min(read_limit_, position + got.count);
  return got.count;
}

bool Stream::produce(std::size_t slot) {
  Round& round = rounds_[slot];
  round.count = 0;
  const bool more = plan_.direction == Direction::kEncrypt ? produce_lanes(round, buffer(slot))
                                                           : produce_stretch(round, buffer(slot));
  round.limit = read_limit_;
  return more;
}

/// Reads the same stretch of positions from each chunk of the group, and
/// runs their chains through it side by side. Only the last chunk of the
/// payload is shorter than the others, and only the chunk where the input
/// fails is cut, so the lanes still going are always the first ones.
bool Stream::produce_lanes(Round& round, std::uint8_t* bytes) {
  std::size_t lanes = 0;
  std::size_t widest = 0;
  for (std::size_t lane = 0; lane < shape_.lanes; ++lane) {
    const std::uint64_t start = group_start_ + lane * plan_.chunk_size;
    const std::uint64_t end = std::min(start + plan_.chunk_size, read_limit_);
    const std::uint64_t at = start + lane_position_;
    if (at >= end) break;
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(shape_.tile, end - at));
    const std::size_t got = read_at(bytes + lane * shape_.stride, at, length);
    if (got == 0) break;
    round.extents[round.count++] = {at, lane * shape_.stride, got};
    widest = std::max(widest, got);
    lanes = lane + 1;
  }
  // A lane shorter than the widest runs on through stale bytes that are
  // never written: cheaper than stopping its chain.
  if (lanes != 0) {
    kernels_.encrypt_lanes(schedule_, bytes, shape_.stride, lanes, lane_position_, widest,
                           feedback_.data());
  }
  lane_position_ += shape_.tile;
  const std::uint64_t first_end = std::min(group_start_ + plan_.chunk_size, read_limit_);
  if (group_start_ + lane_position_ >= first_end) {
    group_start_ += shape_.lanes * plan_.chunk_size;
    lane_position_ = 0;
    feedback_.fill(0);
  }
  return group_start_ < read_limit_;
}

/// Reads the next stretch of the payload and deciphers it chunk by chunk.
bool Stream::produce_stretch(Round& round, std::uint8_t* bytes) {
  const std::uint64_t start = group_start_;
  const auto length =
      static_cast<std::size_t>(std::min<std::uint64_t>(shape_.round_size, read_limit_ - start));
  const std::size_t got = read_at(bytes, start, length);
  for (std::size_t at = 0; at < got;) {
    const std::uint64_t position = (start + at) % plan_.chunk_size;
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(plan_.chunk_size - position, got - at));
    previous_ = kernels_.decrypt(schedule_, bytes + at, position, piece,
                                 position == 0 ? std::uint8_t{0} : previous_);
    at += piece;
  }
  if (got != 0) round.extents[round.count++] = {start, 0, got};
  group_start_ = start + got;
  return group_start_ < read_limit_;
}

bool Stream::consume(std::size_t slot) {
  const Round& round = rounds_[slot];
  known_limit_ = round.limit;
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

bool Stream::write_extent(const Extent& extent, const std::uint8_t* bytes) {
  if (plan_.output_seekable) {
    return write_full_at(files_, plan_.output, bytes, extent.length,
                         plan_.output_offset + extent.position);
  }
  return write_full(files_, plan_.output, bytes, extent.length);
}

/// Moves the written prefix on to `to`, and on through lanes written ahead,
/// telling of every chunk it completes.
void Stream::advance(std::uint64_t to) {
  const std::uint64_t chunk_size = plan_.chunk_size;
  while (to > written_) {
    for (std::uint64_t end = (written_ / chunk_size + 1) * chunk_size; end <= to;
         end += chunk_size) {
      chunk_done_(end);
    }
    if (to == plan_.payload && to % chunk_size != 0) chunk_done_(to);
    written_ = to;
    const std::uint64_t chunk = written_ / chunk_size;
    const Pending& ahead = pending_[static_cast<std::size_t>(chunk % pending_.size())];
    if (ahead.chunk == chunk) to = ahead.end;
  }
}

StreamEnd Stream::finish() {
  // Bytes past the prefix (lanes written ahead, a write cut short, chunks
  // past an input that ended early) are cut off again where the output
  // allows, so it never holds a hole or bytes out of place.
  const bool cut = plan_.output_seekable && high_water_ > written_;
  const bool cut_failed = cut && files_.truncate(plan_.output, plan_.output_offset + written_) != 0;
  if (write_failed_ || cut_failed) return StreamEnd::kWriteFailed;
  if (known_limit_ < plan_.payload) {
    // The chunk the input failed in delivered some bytes: they are drawn too.
    if (written_ % plan_.chunk_size != 0) chunk_done_(written_);
    return StreamEnd::kReadFailed;
  }
  return StreamEnd::kDone;
}

}  // namespace

StreamEnd stream_payload(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, const ChunkDone& chunk_done) {
  Stream stream(plan, schedule, files, chunk_done);
  return stream.run();
}

}  // namespace kelm
