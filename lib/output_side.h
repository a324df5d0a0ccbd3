// The output side of a stream, shared by both workers: the header and the
// payload's writes, what of the output is complete, the chunks told, and
// the cut-back and verdict when the stream ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include "file_io.h"
#include "prefix.h"
#include "stream.h"

namespace kelm {

/// A stretch of payload in a worker's buffer, on its way to the output.
struct Piece {
  std::uint64_t position;  // in the payload
  const std::uint8_t* bytes;
  std::size_t length;
};

class OutputSide {
 public:
  OutputSide(const StreamPlan& plan, std::size_t most_ahead, FileAccess& files,
             const ChunkDone& chunk_done);

  /// Whether the output takes bytes only in order: a job then writes in turn.
  bool in_order() const { return plan_.output_access == Access::kInOrder; }

  /// Writes `pieces`, each where it belongs (an output written in order
  /// takes them as they come: its caller keeps the order), after the
  /// plan's header the first time, so that an empty stream writes nothing.
  /// False to end the stream: a stop was asked for, or a write failed, here
  /// or on the other worker. No lock on the prefix is held while the system
  /// writes the pieces.
  bool write(std::span<const Piece> pieces);

  /// Whether the stream is ending: a stop, or a failed write.
  bool ending() const { return stopped_ || failed_; }

  /// Cuts the output back to its complete prefix, where it may hold more
  /// and can be cut; false if the cut failed.
  bool cut_back();

  /// How the stream ended, once both workers have stopped: the input could
  /// be read up to `readable` (the payload's length when all of it was
  /// read), or `read_failed` at that point. Tells of the last, partial
  /// chunk written.
  StreamEnd verdict(std::uint64_t readable, bool read_failed);

 private:
  /// Writes `length` bytes at `offset` of an output written anywhere, or
  /// next in one written in order.
  bool put(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset);

  const StreamPlan& plan_;
  FileAccess& files_;
  const ChunkDone& chunk_done_;
  std::mutex mutex_;       // guards prefix_ and the telling of chunks
  std::mutex file_mutex_;  // held for each write of an encryption
  OutputPrefix prefix_;
  std::atomic<bool> failed_{false};
  std::atomic<bool> stopped_{false};
  bool header_written_ = false;  // guarded by mutex_
};

}  // namespace kelm
