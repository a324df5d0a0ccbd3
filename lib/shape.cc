#include "shape.h"

#include <algorithm>

namespace kelm {

namespace {

/// Stretches of output ahead of the complete prefix that a stream may keep
/// track of: enough for several full-width jobs, so that a worker the
/// system slows down holds the other up only after a long delay.
constexpr std::size_t kMostAhead = 256;

constexpr std::size_t kCacheLine = 64;

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

/// Up to this many lanes a chain step costs the vector sets no more than
/// one lane does.
constexpr std::size_t kNarrowLanes = 16;

/// Up to kNarrowLanes chunks are one job: two narrower jobs would take as
/// long each, and a second worker then costs more to start and to share the
/// file with than it saves (2 to 16 MB run faster so, 20 MB slower). More
/// are an even count of jobs, of lanes as equal as can be, so that both
/// workers end together.
void cut_chunks(WorkShape& shape, std::uint64_t chunks, std::size_t most_lanes) {
  if (chunks <= std::min(most_lanes, kNarrowLanes)) {
    shape.lanes = static_cast<std::size_t>(std::max<std::uint64_t>(chunks, 1));
    return;
  }
  std::uint64_t jobs = std::max<std::uint64_t>(2, ceil_div(chunks, most_lanes));
  jobs += jobs % 2;
  shape.lanes = static_cast<std::size_t>(ceil_div(chunks, jobs));
}

void encryption_shape(const StreamPlan& plan, WorkShape& shape) {
  const std::size_t most_lanes = std::clamp<std::size_t>(plan.max_lanes, 1, kernels::kMaxLanes);
  const std::uint64_t longest = std::min(plan.chunk_size, plan.payload);
  shape.whole = plan.input_access == Access::kInOrder || plan.output_access == Access::kInOrder;
  if (shape.whole) {
    // Each lane sits whole where the input has it: the job is one read and
    // one write, and its lanes are a chunk apart.
    shape.lanes = std::clamp<std::size_t>(plan.whole_lanes, 1, most_lanes);
    if (plan.payload != UNKNOWN_LENGTH) {
      shape.lanes = static_cast<std::size_t>(
          std::min<std::uint64_t>(shape.lanes, ceil_div(plan.payload, plan.chunk_size)));
    }
    shape.stride = static_cast<std::size_t>(plan.chunk_size);
  } else {
    cut_chunks(shape, ceil_div(plan.payload, plan.chunk_size), most_lanes);
  }
  const bool large = plan.payload != UNKNOWN_LENGTH && plan.payload > most_lanes * plan.chunk_size;
  const std::uint64_t tile =
      std::uint64_t{std::max<std::size_t>(plan.tile, 1)} * (large && !shape.whole ? 4 : 1);
  shape.tile = static_cast<std::size_t>(std::min(tile, longest));
  if (!shape.whole) {
    // Tiles a power of two apart would all fall in the same few cache sets
    // and evict each other; one line more sets each lane a set further on.
    shape.stride = shape.lanes > 1
                       ? (shape.tile + kCacheLine - 1) / kCacheLine * kCacheLine + kCacheLine
                       : shape.tile;
  }
  shape.job_size = shape.lanes * plan.chunk_size;
  // A lane shorter than the first runs on through the buffer's next bytes:
  // every lane has its full room.
  shape.buffer = shape.lanes > 1 ? shape.lanes * shape.stride
                                 : static_cast<std::size_t>(std::min<std::uint64_t>(
                                       shape.whole ? plan.chunk_size : shape.tile, longest));
}

void decryption_shape(const StreamPlan& plan, WorkShape& shape) {
  // No chains to keep apart: a job is a plain run of bytes, and the byte before
  // it, whose ciphertext the first byte's feedback needs.
  shape.job_size =
      std::min<std::uint64_t>(std::max<std::size_t>(plan.decryption_job, 1), plan.payload);
  shape.whole = true;
  shape.buffer = static_cast<std::size_t>(shape.job_size) + 1;
}

}  // namespace

WorkShape shape_of(const StreamPlan& plan) {
  WorkShape shape;
  if (plan.direction == Direction::kEncrypt) {
    encryption_shape(plan, shape);
  } else {
    decryption_shape(plan, shape);
  }
  shape.jobs =
      plan.payload == UNKNOWN_LENGTH ? UNKNOWN_LENGTH : ceil_div(plan.payload, shape.job_size);
  const bool worth_sharing =
      plan.direction == Direction::kEncrypt || plan.payload > plan.shared_decryption;
  shape.workers = shape.jobs > 1 && worth_sharing ? std::clamp<std::size_t>(plan.workers, 1, 2) : 1;
  // Each job a tile at a time writes a stretch per lane; others, one.
  const std::size_t per_job = shape.whole ? 1 : shape.lanes;
  shape.window = std::max<std::size_t>(2, kMostAhead / per_job);
  shape.most_ahead = static_cast<std::size_t>(shape.window) * per_job;
  return shape;
}

}  // namespace kelm
