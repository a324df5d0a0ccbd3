// Streaming the payload from the input, through the cipher, to the output,
// in rounds small enough to stay in the processor's caches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "file_io.h"
#include "kelm.h"
#include "kernels/kernels.h"

namespace kelm {

enum class Direction { kEncrypt, kDecrypt };

/// Chunk positions a lane covers in one round of encryption into a file:
/// 32 lanes of 64 KiB, two rounds in flight, stay within the second-level
/// cache, so no byte crosses main memory on its way from input to output,
/// while each read and write still moves enough to keep the system calls'
/// own cost small (16 KiB tiles took a third more system time; measured).
inline constexpr std::size_t TILE_SIZE = std::size_t{64} * 1024;

/// Rounds in flight at once: one being read and enciphered while the other
/// is written. A third measured no faster.
inline constexpr std::size_t ROUNDS_IN_FLIGHT = 2;

/// Bytes a round of decryption reads, deciphers and writes: small enough
/// that the two rounds in flight stay in the second-level cache between the
/// read and the write (2 MiB rounds took a quarter longer on 10 MB; measured).
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
  /// The cipher loops to use; nullptr for the fastest this processor has.
  const kernels::Kernels* kernels = nullptr;
};

/// How a stream ended.
enum class StreamEnd {
  kDone,         // the whole payload is in the output
  kReadFailed,   // the input ended early or could not be read
  kWriteFailed,  // the output took no more bytes
  kNoMemory,     // no buffers could be had
};

/// Told, in order, of each chunk that has been read, enciphered and written
/// in full, with the payload position just past it. After a read failure it
/// is told once more, of the position reached, if the chunk that failed
/// delivered any bytes.
using ChunkDone = std::function<void(std::uint64_t position)>;

/// Streams the payload. Afterwards the output holds, from output_offset, the
/// transformed bytes of a prefix of the payload: all of it when kDone; up to
/// the first byte that could not be read when kReadFailed; and when
/// kWriteFailed, up to the last chunk position reported, or a little more
/// where the output cannot be cut back. Exceptions from reading, enciphering
/// or writing reach the caller after both threads have stopped.
StreamEnd stream_payload(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, const ChunkDone& chunk_done);

/// Fills the round in slot `slot`; false when it was the last.
using ProduceRound = std::function<bool(std::size_t slot)>;
/// Writes the round in slot `slot`; false to end the relay early.
using ConsumeRound = std::function<bool(std::size_t slot)>;

/// Produces rounds into `slots` slots in turn and consumes each, strictly in
/// order, until the last is consumed or consume says stop. With more than
/// one slot a helper thread produces while the calling thread consumes;
/// where no thread can be started, or with one slot, the calling thread does
/// both. An exception on either side ends the relay, and once both sides
/// have stopped it is thrown again on the calling thread.
void relay_rounds(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume);

}  // namespace kelm
