#include "prefix.h"

#include <algorithm>

namespace kelm {

OutputPrefix::OutputPrefix(std::uint64_t payload, std::uint64_t chunk_size)
    : payload_(payload), chunk_size_(chunk_size) {}

void OutputPrefix::will_write(std::uint64_t end) { touched_ = std::max(touched_, end); }

void OutputPrefix::written(std::uint64_t position, std::uint64_t end, const ChunkDone& chunk_done) {
  touched_ = std::max(touched_, end);
  if (position != complete_) {
    // A chunk written ahead: it joins the prefix once the ones before it do.
    ahead_of(position / chunk_size_) = {position / chunk_size_, end};
    return;
  }
  while (end > complete_) {
    for (std::uint64_t boundary = (complete_ / chunk_size_ + 1) * chunk_size_; boundary <= end;
         boundary += chunk_size_) {
      chunk_done(boundary);
    }
    if (end == payload_ && end % chunk_size_ != 0) chunk_done(end);
    complete_ = end;
    // The prefix now reaches a chunk that may have been written ahead.
    const std::uint64_t chunk = complete_ / chunk_size_;
    const Ahead& ahead = ahead_of(chunk);
    if (ahead.chunk == chunk) end = ahead.end;
  }
}

}  // namespace kelm
