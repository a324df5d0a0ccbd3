// The stream in rounds: its shape, the reading side (read and encipher),
// the writing side (write, tell the chunks that are whole, cut back), and
// the groups that each thread of a large encryption does whole.
#include "stream.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <mutex>
#include <vector>

#include "relay.h"

namespace kelm {

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
/// positions of each a round takes, and how the two threads share the work.
struct Shape {
  std::size_t lanes = 1;
  std::size_t tile = 1;
  std::size_t stride = 1;      // from one lane's tile to the next in the buffer
  std::size_t round_size = 1;  // bytes of one round's buffer
  std::size_t slots = 1;       // round buffers: rounds in flight, or one per thread
  /// Groups of lanes for the threads to share, each enciphering whole
  /// groups; 0 when the rounds are relayed from one thread to the other.
  std::uint64_t groups = 0;
};

/// Groups of chunks into a file for the threads to share, or 0 where one
/// group holds them all, or the output takes bytes only in order, or there
/// is to be one thread. An even count, of lanes as equal as can be, so that
/// both threads end together: a chain step costs the same however many
/// lanes run in step, so a group of fewer lanes costs no less time.
std::uint64_t shared_groups(const StreamPlan& plan, std::uint64_t chunks, std::size_t widest) {
  if (!plan.output_seekable || plan.rounds_in_flight < 2 || chunks <= widest) return 0;
  std::uint64_t groups = ceil_div(chunks, widest);
  groups += groups % 2;
  return ceil_div(chunks, ceil_div(chunks, groups));
}

/// Encryption runs the chains of several chunks side by side, each lane
/// reading and writing a tile of its own chunk.
Shape encryption_shape(const StreamPlan& plan, std::uint64_t chunks, std::uint64_t longest) {
  Shape shape;
  const std::size_t widest = std::clamp<std::size_t>(plan.max_lanes, 1, kernels::kMaxLanes);
  shape.groups = shared_groups(plan, chunks, widest);
  if (shape.groups != 0) {
    shape.lanes = static_cast<std::size_t>(ceil_div(chunks, shape.groups));
  } else {
    // In order, each lane must be held whole until the ones before it are out.
    const std::size_t most = plan.output_seekable ? widest : std::min(widest, IN_ORDER_LANES);
    shape.lanes = static_cast<std::size_t>(std::min<std::uint64_t>(most, chunks));
  }
  // Each system call costs several microseconds beside its copy, so a large
  // file takes long tiles: four times as long with shared groups, where
  // each thread's buffer only has to outlast its own write, and twice as
  // long with a full width of relayed lanes, whose rounds must also wait in
  // the ring. A narrower group (a small file) keeps short rounds, so that
  // reading, enciphering and writing overlap from the start.
  const std::size_t wide = shape.groups != 0 ? 4 : shape.lanes == kernels::kMaxLanes ? 2 : 1;
  const std::uint64_t tile =
      plan.output_seekable ? std::max<std::size_t>(plan.tile, 1) * wide : plan.chunk_size;
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
    // Each thread enciphers into a buffer of its own.
    if (shape.groups != 0) {
      shape.slots = 2;
      return shape;
    }
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

/// A group of chunks enciphered side by side, and how far its lanes are.
struct LaneGroup {
  std::uint64_t start = 0;     // payload position of the first chunk
  std::uint64_t position = 0;  // position within the chunks
  std::array<std::uint8_t, kernels::kMaxLanes> feedback{};
};

/// One stream's state. Relayed, the reading side (produce) runs on the
/// helper thread and the writing side (consume) on the calling thread, and
/// they share only the rounds. Shared, each thread reads, enciphers and
/// writes whole groups of its own, and they share only the output.
class Stream {
 public:
  Stream(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
         PageSource& pages, const ChunkDone& chunk_done)
      : plan_(plan),
        schedule_(schedule),
        kernels_(plan.kernels != nullptr ? *plan.kernels : kernels::best()),
        files_(files),
        pages_(pages),
        chunk_done_(chunk_done),
        shape_(shape_for(plan)),
        read_limit_(plan.payload),
        known_limit_(plan.payload),
        prefix_(plan.payload, plan.chunk_size) {}

  StreamEnd run();

 private:
  std::uint8_t* buffer(std::size_t slot) const {
    return reinterpret_cast<std::uint8_t*>(memory_.data()) + slot * shape_.round_size;
  }
  bool produce(std::size_t slot);
  bool encipher_tile(LaneGroup& group, Round& round, std::uint8_t* bytes);
  bool produce_stretch(Round& round, std::uint8_t* bytes);
  std::size_t read_at(std::uint8_t* bytes, std::uint64_t position, std::size_t length);
  bool consume(std::size_t slot);
  bool encipher_group(std::uint64_t group, std::size_t worker);
  bool write_round(const Round& round, const std::uint8_t* bytes);
  bool write_extent(const Extent& extent, const std::uint8_t* bytes);
  bool cut_back();
  StreamEnd finish();

  const StreamPlan& plan_;
  const kernels::Schedule& schedule_;
  const kernels::Kernels& kernels_;
  FileAccess& files_;
  PageSource& pages_;
  const ChunkDone& chunk_done_;
  const Shape shape_;
  SecretRegion memory_;
  std::vector<Round> rounds_;

  // Reading side. Shared groups read at once on both threads.
  std::atomic<std::uint64_t> read_limit_;  // the payload, or the first byte that could not be read
  LaneGroup lanes_;                        // the relayed group being enciphered
  std::uint64_t stretch_start_ = 0;        // the next stretch to decipher
  std::uint8_t previous_ = 0;              // last ciphertext byte read, when decrypting

  // Writing side. Shared groups write under the mutex, one at a time.
  std::mutex output_mutex_;
  std::uint64_t known_limit_;  // read_limit_ as the last round written saw it
  OutputPrefix prefix_;
  bool write_failed_ = false;
  bool stopped_ = false;
};

static_assert(OutputPrefix::kMaxAhead >= 2 * kernels::kMaxLanes,
              "every lane of two shared groups may be written ahead of the first");

StreamEnd Stream::run() {
  if (plan_.payload == 0) return StreamEnd::kDone;
  memory_ = SecretRegion(shape_.slots * shape_.round_size, SecretRegion::Lock::kNo,
                         SecretRegion::Populate::kYes, pages_);
  if (!memory_.valid()) return StreamEnd::kNoMemory;
  if (shape_.groups == 0) rounds_.resize(shape_.slots);
  try {
    if (shape_.groups != 0) {
      share_jobs(shape_.groups, [this](std::uint64_t group, std::size_t worker) {
        return encipher_group(group, worker);
      });
      known_limit_ = read_limit_;
    } else {
      relay_rounds(
          shape_.slots, [this](std::size_t slot) { return produce(slot); },
          [this](std::size_t slot) { return consume(slot); });
    }
  } catch (...) {
    // Whatever ended the stream, nothing past the complete prefix stays.
    if (!cut_back()) return StreamEnd::kWriteFailed;
    throw;
  }
  return finish();
}

std::size_t Stream::read_at(std::uint8_t* bytes, std::uint64_t position, std::size_t length) {
  const ReadResult got =
      read_full_at(files_, plan_.input, bytes, length, plan_.input_offset + position);
  // An early end and a read error are one: the input is readable up to here.
  if (got.count < length) {
    const std::uint64_t reached = position + got.count;
    std::uint64_t limit = read_limit_.load();
    while (reached < limit && !read_limit_.compare_exchange_weak(limit, reached)) {
    }
  }
  return got.count;
}

bool Stream::produce(std::size_t slot) {
  Round& round = rounds_[slot];
  bool more = false;
  if (plan_.direction == Direction::kEncrypt) {
    if (!encipher_tile(lanes_, round, buffer(slot))) {
      lanes_ = LaneGroup{lanes_.start + shape_.lanes * plan_.chunk_size};
    }
    more = lanes_.start < read_limit_;
  } else {
    more = produce_stretch(round, buffer(slot));
  }
  round.limit = read_limit_;
  return more;
}

/// Reads the same stretch of positions from each chunk of the group, and
/// runs their chains through it side by side; false once the group has
/// ended. Only the last chunk of the payload is shorter than the others,
/// and only the chunk where the input fails is cut, so the lanes still
/// going are always the first ones.
bool Stream::encipher_tile(LaneGroup& group, Round& round, std::uint8_t* bytes) {
  round.count = 0;
  std::size_t lanes = 0;
  std::size_t widest = 0;
  for (std::size_t lane = 0; lane < shape_.lanes; ++lane) {
    const std::uint64_t start = group.start + lane * plan_.chunk_size;
    const std::uint64_t end = std::min(start + plan_.chunk_size, read_limit_.load());
    const std::uint64_t at = start + group.position;
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
    kernels_.encrypt_lanes(schedule_, bytes, shape_.stride, lanes, group.position, widest,
                           group.feedback.data());
  }
  group.position += shape_.tile;
  const std::uint64_t first_end = std::min(group.start + plan_.chunk_size, read_limit_.load());
  return group.start + group.position < first_end;
}

/// Reads the next stretch of the payload and deciphers it chunk by chunk.
bool Stream::produce_stretch(Round& round, std::uint8_t* bytes) {
  round.count = 0;
  const std::uint64_t start = stretch_start_;
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
  stretch_start_ = start + got;
  return stretch_start_ < read_limit_;
}

bool Stream::consume(std::size_t slot) { return write_round(rounds_[slot], buffer(slot)); }

/// Reads, enciphers and writes one whole group of a shared stream, in the
/// buffer of its own thread; false to end the stream.
bool Stream::encipher_group(std::uint64_t group, std::size_t worker) {
  LaneGroup lanes{group * shape_.lanes * plan_.chunk_size};
  std::uint8_t* const bytes = buffer(worker);
  Round round;
  while (true) {
    const bool goes_on = encipher_tile(lanes, round, bytes);
    round.limit = read_limit_;
    const std::lock_guard lock(output_mutex_);
    if (!write_round(round, bytes)) return false;
    if (!goes_on) return true;
  }
}

/// Writes a round's extents from `bytes`, the round's buffer; false to end
/// the stream.
bool Stream::write_round(const Round& round, const std::uint8_t* bytes) {
  // With shared groups, the other thread may have ended the stream.
  if (stopped_ || write_failed_) return false;
  if (plan_.stop_requested && plan_.stop_requested()) {
    stopped_ = true;
    return false;
  }
  known_limit_ = round.limit;
  for (std::size_t i = 0; i < round.count; ++i) {
    const Extent& extent = round.extents[i];
    const std::uint64_t end = extent.position + extent.length;
    prefix_.will_write(end);
    if (!write_extent(extent, bytes + extent.offset)) {
      write_failed_ = true;
      return false;
    }
    prefix_.written(extent.position, end, chunk_done_);
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

/// Cuts the output back to its complete prefix, where it may hold more and
/// can be cut; false if the cut failed.
bool Stream::cut_back() {
  if (!plan_.output_seekable || !prefix_.ragged()) return true;
  return files_.truncate(plan_.output, plan_.output_offset + prefix_.complete()) == 0;
}

StreamEnd Stream::finish() {
  if (!cut_back() || write_failed_) return StreamEnd::kWriteFailed;
  if (stopped_) return StreamEnd::kStopped;
  if (known_limit_ < plan_.payload) {
    // The chunk the input failed in delivered some bytes: they are drawn too.
    if (prefix_.complete() % plan_.chunk_size != 0) chunk_done_(prefix_.complete());
    return StreamEnd::kReadFailed;
  }
  // Never a success with less than the whole payload in place.
  if (prefix_.complete() != plan_.payload) return StreamEnd::kWriteFailed;
  return StreamEnd::kDone;
}

}  // namespace

StreamEnd stream_payload(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, PageSource& pages, const ChunkDone& chunk_done) {
  Stream stream(plan, schedule, files, pages, chunk_done);
  return stream.run();
}

}  // namespace kelm
