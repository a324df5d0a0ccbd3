#include "prefix.h"

#include <algorithm>

namespace kelm {

OutputPrefix::OutputPrefix(std::uint64_t chunk_size, std::size_t most_ahead)
    : chunk_size_(chunk_size) {
  ahead_.reserve(most_ahead);
}

void OutputPrefix::will_write(std::uint64_t end) { touched_ = std::max(touched_, end); }

void OutputPrefix::written(std::uint64_t position, std::uint64_t end, const ChunkDone& chunk_done) {
  touched_ = std::max(touched_, end);
  if (position > complete_) return add_ahead({position, end});
  reach(end, chunk_done);
  // The prefix may now reach stretches that were written ahead.
  while (!ahead_.empty() && ahead_.front().position <= complete_) {
    const std::uint64_t next = ahead_.front().end;
    ahead_.erase(ahead_.begin());
    reach(next, chunk_done);
  }
}

/// Keeps a stretch written ahead, joined to its neighbours where they touch.
void OutputPrefix::add_ahead(Stretch stretch) {
  auto at = std::lower_bound(ahead_.begin(), ahead_.end(), stretch.position,
                             [](const Stretch& s, std::uint64_t p) { return s.position < p; });
  if (at != ahead_.begin() && std::prev(at)->end == stretch.position) {
    --at;
    at->end = stretch.end;
  } else {
    at = ahead_.insert(at, stretch);
  }
  const auto next = std::next(at);
  if (next != ahead_.end() && next->position == at->end) {
    at->end = next->end;
    ahead_.erase(next);
  }
}

void OutputPrefix::reach(std::uint64_t end, const ChunkDone& chunk_done) {
  if (end <= complete_) return;
  for (std::uint64_t boundary = (complete_ / chunk_size_ + 1) * chunk_size_; boundary <= end;
       boundary += chunk_size_) {
    chunk_done(boundary);
  }
  complete_ = end;
}

}  // namespace kelm
