#include "output_side.h"

#include <algorithm>

namespace kelm {

OutputSide::OutputSide(const StreamPlan& plan, std::size_t most_ahead, FileAccess& files,
                       const ChunkDone& chunk_done)
    : plan_(plan), files_(files), chunk_done_(chunk_done), prefix_(plan.chunk_size, most_ahead) {}

bool OutputSide::write(std::span<const Piece> pieces) {
  {
    const std::lock_guard lock(mutex_);
    if (ending()) return false;
    if (plan_.stop && plan_.stop()) {
      stopped_ = true;
      return false;
    }
    // Under the lock: every payload byte follows the header, on either worker.
    if (!header_written_) {
      const std::span<const std::uint8_t> header = plan_.header;
      if (!put(header.data(), header.size(), plan_.output_offset - header.size())) {
        failed_ = true;
        return false;
      }
      header_written_ = true;
    }
    for (const Piece& piece : pieces) prefix_.will_write(piece.position + piece.length);
  }
  // The system lets one write into a file at a time. An encryption job
  // writes its lanes one after another, and a worker that met the other's
  // writes would spin on the file's lock in the kernel, burning the
  // processor it could read with: here it sleeps instead, woken once for
  // all the lanes of a tile, and no write begins once one has failed. A
  // decryption job is one write, and two of those side by side are handed
  // the kernel's lock faster than a sleeping worker could be woken.
  std::unique_lock<std::mutex> file_lock(file_mutex_, std::defer_lock);
  if (plan_.direction == Direction::kEncrypt) file_lock.lock();
  for (const Piece& piece : pieces) {
    if (failed_ || !put(piece.bytes, piece.length, plan_.output_offset + piece.position)) {
      failed_ = true;
      return false;
    }
    const std::lock_guard lock(mutex_);
    prefix_.written(piece.position, piece.position + piece.length, chunk_done_);
  }
  return true;
}

bool OutputSide::put(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset) {
  if (plan_.output_access == Access::kInOrder) {
    return write_full(files_, plan_.output, bytes, length, plan_.stop);
  }
  for (std::size_t done = 0; done < length; done += MOST_WRITTEN) {
    const std::size_t part = std::min(MOST_WRITTEN, length - done);
    if (!write_full_at(files_, plan_.output, bytes + done, part, offset + done, plan_.stop)) {
      return false;
    }
  }
  return true;
}

bool OutputSide::cut_back() {
  if (plan_.output_access == Access::kInOrder || !prefix_.ragged()) return true;
  return files_.truncate(plan_.output, plan_.output_offset + prefix_.complete()) == 0;
}

StreamEnd OutputSide::verdict(std::uint64_t readable, bool read_failed) {
  if (!cut_back()) return StreamEnd::kWriteFailed;
  // A stop asked for while a write was under way may have failed that
  // write: the stop is what ended the stream.
  if (stopped_ || (plan_.stop && plan_.stop())) return StreamEnd::kStopped;
  if (failed_) return StreamEnd::kWriteFailed;
  const std::uint64_t end = std::min(plan_.payload, readable);
  // Never a success, nor a clean read failure, with less than was read.
  if (prefix_.complete() != end) return StreamEnd::kWriteFailed;
  if (end % plan_.chunk_size != 0) chunk_done_(end);
  if (read_failed || (end < plan_.payload && plan_.payload != UNKNOWN_LENGTH)) {
    return StreamEnd::kReadFailed;
  }
  if (end == 0) return StreamEnd::kEmpty;
  return StreamEnd::kDone;
}

}  // namespace kelm
