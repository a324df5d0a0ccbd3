// The input side of a stream, shared by both workers: where the payload
// starts and how it is read, how far it could be read, and the last byte an
// input read in order hands from one job to the next.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "file_io.h"
#include "stream.h"

namespace kelm {

class InputSide {
 public:
  InputSide(const StreamPlan& plan, FileAccess& files)
      : plan_(plan), files_(files), readable_(plan.payload) {}

  /// Whether the input gives its bytes only in order: a job then reads in turn.
  bool in_order() const { return plan_.input_access == Access::kInOrder; }

  /// Reads `length` payload bytes from `position` into `to`: where they are,
  /// or, from an input read in order, as its next bytes. With `before`,
  /// also puts the byte just before them at to[-1]: a decryption job's
  /// first feedback. Learns where the input ends or fails.
  std::size_t read(std::uint8_t* to, std::uint64_t position, std::size_t length, bool before);

  /// Payload bytes from `start`, at most `span`, as far as the input is
  /// known to go.
  std::size_t length_from(std::uint64_t start, std::uint64_t span) const;

  /// The input can be read up to here: the payload, or where it ended or
  /// failed, whichever is lower.
  std::uint64_t readable() const { return readable_; }
  bool failed() const { return failed_; }

 private:
  void ends(std::uint64_t position, bool failed);

  const StreamPlan& plan_;
  FileAccess& files_;
  std::atomic<std::uint64_t> readable_;
  std::atomic<bool> failed_{false};
  /// The last byte read from an input read in order, for the next job's
  /// first feedback: handed over with the read turn.
  std::uint8_t last_read_ = 0;
};

}  // namespace kelm
