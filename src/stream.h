// Streaming the payload from the input, through the cipher, to the output,
// in rounds small enough to stay in the processor's caches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "file_io.h"
#include "kelm.h"
#include "kernels/kernels.h"
#include "prefix.h"
#include "secure_memory.h"

namespace kelm {

enum class Direction { kEncrypt, kDecrypt };

/// Chunk positions a lane covers in one round of encryption into a file of
/// fewer than 32 chunks: short enough that reading, enciphering and writing
/// overlap from the start. Larger files take two or four times as long.
inline constexpr std::size_t TILE_SIZE = std::size_t{64} * 1024;

/// Relayed rounds in flight at once: one being written, one being read and
/// enciphered, and one more so that neither side often waits for the other.
inline constexpr std::size_t ROUNDS_IN_FLIGHT = 3;

/// Bytes a round of decryption reads, deciphers and writes: small enough
/// that the rounds in flight stay in the second-level cache.
inline constexpr std::size_t STRETCH_SIZE = std::size_t{256} * 1024;

/// Chunks enciphered side by side when the output takes bytes only in order
/// (a pipe or a device): each is then held whole until it is written.
inline constexpr std::size_t IN_ORDER_LANES = 4;

/// What to stream, from where to where, and the shape of the work.
struct StreamPlan {
  Direction direction = Direction::kEncrypt;
  int input = -1;
  std::uint64_t input_offset = 0;  // where the payload starts in the input
  int output = -1;
  std::uint64_t output_offset = 0;  // where it starts in the output
  /// The output takes writes at any offset (a regular file), so each tile
  /// goes straight to its place; otherwise every byte is written in order.
  bool output_seekable = true;
  /// Bytes to stream: never more are read, even if the input has grown.
  std::uint64_t payload = 0;
  std::uint64_t chunk_size = CHUNK_SIZE;
  /// Upper bounds of the work's shape. The program keeps the defaults;
  /// tests shrink them to reach every boundary with small inputs.
  std::size_t max_lanes = kernels::kMaxLanes;
  std::size_t tile = TILE_SIZE;
  std::size_t stretch = STRETCH_SIZE;
  std::size_t rounds_in_flight = ROUNDS_IN_FLIGHT;
  /// The cipher loops to use; nullptr for the widest this processor has.
  const kernels::Kernels* kernels = nullptr;
  /// Asked before each round is written: true to stop there (an interrupt).
  std::function<bool()> stop_requested;
};

/// How a stream ended.
enum class StreamEnd {
  kDone,         // the whole payload is in the output
  kReadFailed,   // the input ended early or could not be read
  kWriteFailed,  // the output took no more bytes, or could not be cut back
  kNoMemory,     // no buffers could be had
  kStopped,      // stop_requested said so
};

/// Streams the payload, reading and writing through `files` and taking its
/// buffers from `pages`. `chunk_done` is told, in order, of each chunk read,
/// enciphered and written in full; after a read failure it is told once
/// more, of the position reached, if the chunk that failed delivered any
/// bytes.
///
/// However the stream ends, a return or an exception, the output then holds
/// from output_offset a prefix of what a whole stream writes, and nothing
/// after it: all of it when kDone; up to the first byte that could not be
/// read when kReadFailed; otherwise up to the last chunk position told, or
/// beyond it within the chunk that was being written. Only kWriteFailed may
/// leave more where the output cannot be cut back; with an output that
/// takes bytes only in order, a write cut short leaves part of a round.
/// Exceptions reach the caller after both threads have stopped.
StreamEnd stream_payload(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, PageSource& pages, const ChunkDone& chunk_done);

}  // namespace kelm
