// What of the output is in place while tiles are written out of order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace kelm {

/// Told, in order, of each chunk that has been written in full, with the
/// payload position just past it.
using ChunkDone = std::function<void(std::uint64_t position)>;

/// The output's state, in payload positions: every byte before complete()
/// is written and final; no byte at or past touched() was ever written;
/// bytes in between (chunks written ahead, a write that failed part-way) may
/// hold anything, and are cut off when the stream ends early.
class OutputPrefix {
 public:
  /// Most chunks that may be written ahead of the complete prefix at once:
  /// two groups of lanes under way side by side.
  static constexpr std::size_t kMaxAhead = 64;

  OutputPrefix(std::uint64_t payload, std::uint64_t chunk_size);

  /// Records that bytes up to `end` are about to be written. Called before
  /// each write, so that a write that fails part-way is still covered.
  void will_write(std::uint64_t end);

  /// Records that [position, end) is written in full. Within a chunk, bytes
  /// arrive in order; chunks may arrive out of order, at most kMaxAhead
  /// chunks ahead of the complete prefix. Tells `chunk_done` of every chunk
  /// the complete prefix now covers, and of the payload's end.
  void written(std::uint64_t position, std::uint64_t end, const ChunkDone& chunk_done);

  std::uint64_t complete() const { return complete_; }
  std::uint64_t touched() const { return touched_; }
  /// Whether bytes past the complete prefix may have been written.
  bool ragged() const { return touched_ > complete_; }

 private:
  struct Ahead {
    std::uint64_t chunk = ~std::uint64_t{0};
    std::uint64_t end = 0;
  };
  Ahead& ahead_of(std::uint64_t chunk) { return ahead_[chunk % kMaxAhead]; }

  std::uint64_t payload_;
  std::uint64_t chunk_size_;
  std::uint64_t complete_ = 0;
  std::uint64_t touched_ = 0;
  std::array<Ahead, kMaxAhead> ahead_{};
};

}  // namespace kelm
