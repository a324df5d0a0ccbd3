// Streaming the payload from the input, through the cipher, to the output:
// two workers, each taking the next job, reading it, enciphering it in a
// buffer of its own and writing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "file_io.h"
#include "format.h"
#include "kernels/kernels.h"
#include "prefix.h"
#include "secure_memory.h"

namespace kelm {

enum class Direction { kEncrypt, kDecrypt };

/// How a file takes or gives its bytes: anywhere (a regular file), or only
/// in order, once (a pipe, a socket, a terminal).
enum class Access { kAnywhere, kInOrder };

/// A payload whose length is not known until its input ends.
inline constexpr std::uint64_t UNKNOWN_LENGTH = ~std::uint64_t{0};

/// Chunk positions an encryption job reads, enciphers and writes at a time
/// when both files take bytes anywhere, in a file of up to one full-width
/// job: few pages for the buffers to fault in. Larger files take tiles four
/// times as long, so that the system calls cost little beside their copies.
inline constexpr std::size_t TILE_SIZE = std::size_t{64} * 1024;

/// Bytes of one decryption job. Longer jobs would make fewer calls, and
/// the two workers would meet less often on the output's lock, but the
/// system caches a file in pieces as large as the writes into it, and large
/// pieces can be slow to come by: with jobs of 512 KiB, 25 of 54 runs
/// of 512 MiB took three to ten times as long as the others (bench/busy.sh),
/// against 7 of 54 with 256 KiB and 4 of 54 for dd bs=256K.
inline constexpr std::size_t DECRYPTION_JOB_SIZE = std::size_t{256} * 1024;

/// Most bytes one call writes into an output written anywhere (a regular
/// file), for the reason DECRYPTION_JOB_SIZE gives: a job that holds its
/// chunks whole, from an input read in order, is written in calls of this
/// size. From a pipe into a file, 512 MiB then takes a median 546 ms of
/// processor time (with the writer's into the pipe) in place of 750, and
/// none of 15 runs is slow, in place of 8 that took up to twice as long.
inline constexpr std::size_t MOST_WRITTEN = std::size_t{256} * 1024;

/// Bytes a decryption must exceed for a second worker to share it: below,
/// starting the helper and sharing the file with it cost more than the
/// half of the copies it takes over.
inline constexpr std::uint64_t SHARED_DECRYPTION = std::uint64_t{16} << 20;

/// Chunks an encryption job holds whole where a file takes bytes only in
/// order: each worker's buffer then holds that many chunks.
inline constexpr std::size_t WHOLE_LANES = 8;

/// What to stream, from where to where, and the bounds of the work's shape.
struct StreamPlan {
  Direction direction = Direction::kEncrypt;
  int input = -1;
  Access input_access = Access::kAnywhere;
  std::uint64_t input_offset = 0;  // where the payload starts in an input read anywhere
  int output = -1;
  Access output_access = Access::kAnywhere;
  std::uint64_t output_offset = 0;  // where the payload starts in an output written anywhere
  /// Written before the payload (the seed byte of an encryption): at once
  /// when the payload's length is known, else once its first byte is read,
  /// so that an empty stream writes nothing.
  std::span<const std::uint8_t> header;
  /// Bytes to stream, never more even if the input has grown; or
  /// UNKNOWN_LENGTH, for an input read in order, to its end.
  std::uint64_t payload = 0;
  std::uint64_t chunk_size = CHUNK_SIZE;
  /// Upper bounds of the work's shape. The program keeps the defaults;
  /// tests shrink them to reach every boundary with small inputs.
  std::size_t max_lanes = kernels::kMaxLanes;
  std::size_t tile = TILE_SIZE;
  std::size_t decryption_job = DECRYPTION_JOB_SIZE;
  std::size_t whole_lanes = WHOLE_LANES;
  std::uint64_t shared_decryption = SHARED_DECRYPTION;
  /// 2 to share the jobs with a helper thread, 1 to do them all here.
  std::size_t workers = 2;
  /// The helper thread is refused, as where the system has none to give.
  bool helper_refused = false;
  /// The cipher loops to use; nullptr for the widest this processor has.
  const kernels::Kernels* kernels = nullptr;
  /// Asked before each write and before each call that may wait: true to
  /// stop there.
  Stop stop;
  /// Told on the helper thread as it starts (true) and just before it ends.
  std::function<void(bool)> worker;
};

/// How a stream ended.
enum class StreamEnd {
  kDone,         // the whole payload is in the output
  kEmpty,        // a payload of unknown length had no byte at all
  kReadFailed,   // the input ended early or could not be read
  kWriteFailed,  // the output took no more bytes, or could not be cut back after a stop
  kNoMemory,     // no buffers could be had
  kStopped,      // stop said so
};

/// Streams the payload, reading and writing through `files` and taking its
/// buffers from `pages`. `chunk_done` is told, in order, of each chunk read,
/// enciphered and written in full, then of the end of a last, partial one:
/// the payload's, or where the input failed.
///
/// However the stream ends, a return or an exception, the output then holds
/// from output_offset a prefix of what a whole stream writes, and nothing
/// after it: all of it when kDone; up to the first byte that could not be
/// read when kReadFailed; otherwise up to the last chunk position told, or
/// beyond it within the chunk that was being written. Only kWriteFailed may
/// leave more where the output cannot be cut back; with an output that
/// takes bytes only in order, a write cut short leaves part of a job.
/// Exceptions reach the caller after both workers have stopped.
StreamEnd stream_payload(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, PageSource& pages, const ChunkDone& chunk_done);

}  // namespace kelm
