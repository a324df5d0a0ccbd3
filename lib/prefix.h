// What of the output is in place while jobs are written out of order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kelm {

/// Told, in order, of each chunk that has been written in full, with the
/// payload position just past it; and once the stream ends, of the end of a
/// last, partial chunk.
using ChunkDone = std::function<void(std::uint64_t position)>;

/// The output's state, in payload positions: every byte before complete()
/// is written and final; no byte at or past touched() was ever written;
/// bytes in between (stretches written ahead, a write that failed part-way)
/// may hold anything, and are cut off when the stream ends early.
class OutputPrefix {
 public:
  /// `most_ahead` is how many separate stretches may be written ahead of
  /// the complete prefix at once; room for them is set aside now.
  OutputPrefix(std::uint64_t chunk_size, std::size_t most_ahead);

  /// Records that bytes up to `end` are about to be written. Called before
  /// each write, so that a write that fails part-way is still covered.
  void will_write(std::uint64_t end);

  /// Records that [position, end) is written in full; stretches may arrive
  /// in any order. Tells `chunk_done` of every chunk end the complete prefix
  /// now reaches.
  void written(std::uint64_t position, std::uint64_t end, const ChunkDone& chunk_done);

  std::uint64_t complete() const { return complete_; }
  std::uint64_t touched() const { return touched_; }
  /// Whether bytes past the complete prefix may have been written.
  bool ragged() const { return touched_ > complete_; }

 private:
  struct Stretch {
    std::uint64_t position;
    std::uint64_t end;
  };
  void add_ahead(Stretch stretch);
  void reach(std::uint64_t end, const ChunkDone& chunk_done);

  std::uint64_t chunk_size_;
  std::uint64_t complete_ = 0;
  std::uint64_t touched_ = 0;
  std::vector<Stretch> ahead_;  // written past complete_: in order, apart
};

}  // namespace kelm
