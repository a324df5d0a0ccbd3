#include "input_side.h"

#include <algorithm>

namespace kelm {

std::size_t InputSide::read(std::uint8_t* to, std::uint64_t position, std::size_t length,
                            bool before) {
  if (length == 0 || position >= readable_) return 0;
  std::size_t count = 0;
  bool failed = false;
  if (!in_order()) {
    // The byte before is the job before's to read: a read that fails there
    // says nothing of this job's bytes.
    const std::size_t back = before && position != 0 ? 1 : 0;
    const ReadResult got = read_full_at(files_, plan_.input, to - back, length + back,
                                        plan_.input_offset + position - back, plan_.stop);
    count = got.count > back ? got.count - back : 0;
    failed = got.failed;
  } else {
    if (before) to[-1] = last_read_;
    const ReadResult got = read_full(files_, plan_.input, to, length, plan_.stop);
    count = got.count;
    failed = got.failed;
    if (count != 0) last_read_ = to[count - 1];
  }
  if (count < length) ends(position + count, failed);
  return count;
}

std::size_t InputSide::length_from(std::uint64_t start, std::uint64_t span) const {
  const std::uint64_t end = std::min(start + span, readable_.load());
  return static_cast<std::size_t>(end > start ? end - start : 0);
}

/// The input can be read no further than `position`: an early end of a
/// payload of known length, the end of one of unknown length, or an error.
void InputSide::ends(std::uint64_t position, bool failed) {
  if (failed) failed_ = true;
  std::uint64_t limit = readable_.load();
  while (position < limit && !readable_.compare_exchange_weak(limit, position)) {
  }
}

}  // namespace kelm
