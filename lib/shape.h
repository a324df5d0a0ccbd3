// The shape of a stream's work: how the payload is cut into jobs, and what
// each worker's buffer holds. A pure function of the plan.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream.h"

namespace kelm {

struct WorkShape {
  /// Jobs in the payload; UNKNOWN_LENGTH until an input read in order ends.
  std::uint64_t jobs = 0;
  /// Payload bytes a job covers; job n starts at n * job_size.
  std::uint64_t job_size = 0;
  /// Chunks an encryption job enciphers side by side (1 when decrypting).
  std::size_t lanes = 1;
  /// Positions of each lane enciphered at a time.
  std::size_t tile = 0;
  /// From one lane to the next in the buffer.
  std::size_t stride = 0;
  /// A job is read whole and written whole: always when decrypting, and
  /// when encrypting where a file takes bytes only in order; else an
  /// encryption job goes tile by tile.
  bool whole = false;
  /// Bytes of one worker's buffer.
  std::size_t buffer = 0;
  /// 1 or 2: a second worker only where there is more than one job, and
  /// a decryption large enough to repay it.
  std::size_t workers = 1;
  /// Jobs that may be begun at or past the oldest one not finished: how far
  /// the faster worker may run ahead of the slower.
  std::uint64_t window = 1;
  /// Separate stretches of output that may then be written ahead of the
  /// complete prefix.
  std::size_t most_ahead = 0;
};

/// The shape for `plan`; the payload must not be 0.
WorkShape shape_of(const StreamPlan& plan);

}  // namespace kelm
