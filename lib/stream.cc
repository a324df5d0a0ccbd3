// The engine: a queue of jobs with the turns that order them where a file
// needs order, and the workers that take them.
#include "stream.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "helper_thread.h"
#include "job_queue.h"
#include "output_side.h"
#include "shape.h"

namespace kelm {

namespace {

/// One stream: its shape, the jobs, the output writer, and what both
/// workers learn of the input.
class Stream {
 public:
  Stream(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
         PageSource& pages, const ChunkDone& chunk_done)
      : plan_(plan),
        schedule_(schedule),
        kernels_(plan.kernels != nullptr ? *plan.kernels : kernels::best()),
        files_(files),
        pages_(pages),
        shape_(shape_of(plan)),
        jobs_(shape_.jobs, shape_.window),
        writer_(plan, shape_.most_ahead, files, chunk_done),
        readable_(plan.payload) {}

  StreamEnd run();

 private:
  void work(std::size_t worker);
  bool do_job(std::uint64_t job, std::uint8_t* buffer);
  bool encrypt_tiles(std::uint64_t job, std::uint8_t* buffer);
  bool encrypt_whole(std::uint64_t job, std::uint8_t* buffer);
  bool decrypt(std::uint64_t job, std::uint8_t* buffer);
  std::size_t read_job(std::uint64_t job, std::uint8_t* to, std::size_t length);
  std::size_t read_at(std::uint8_t* to, std::uint64_t position, std::size_t length);
  void input_ends(std::uint64_t position, bool failed);
  bool write_job(std::uint64_t job, const std::uint8_t* bytes, std::size_t length);
  std::uint64_t job_length(std::uint64_t job) const;

  const StreamPlan& plan_;
  const kernels::Schedule& schedule_;
  const kernels::Kernels& kernels_;
  FileAccess& files_;
  PageSource& pages_;
  const WorkShape shape_;
  JobQueue jobs_;
  OutputSide writer_;
  SecretRegion memory_;

  /// The input can be read up to here: the payload, or where it ended or
  /// failed, whichever is lower.
  std::atomic<std::uint64_t> readable_;
  std::atomic<bool> read_failed_{false};
  /// The last ciphertext byte read from an input read in order, for the
  /// next job's first feedback: handed over with the read turn.
  std::uint8_t last_read_ = 0;

  std::mutex error_mutex_;
  std::exception_ptr error_;  // the first exception on either worker
};

StreamEnd Stream::run() {
  // Buffers for a payload of known length are used whole: one call puts
  // every page in place. A pipe's may carry a few bytes or many chunks, so
  // only the pages it reaches are.
  const auto populate =
      plan_.payload != UNKNOWN_LENGTH ? SecretRegion::Populate::kYes : SecretRegion::Populate::kNo;
  memory_ = SecretRegion(shape_.workers * shape_.buffer, SecretRegion::Lock::kNo, populate, pages_);
  if (!memory_.valid()) return StreamEnd::kNoMemory;
  // With a known length the header goes first; otherwise the first job
  // writes it once it has found a byte.
  if (plan_.payload != UNKNOWN_LENGTH && !writer_.write_header()) {
    return writer_.finish(readable_, read_failed_);
  }
  std::optional<HelperThread> helper;
  if (shape_.workers == 2) {
    try {
      helper.emplace(
          [this] {
            if (plan_.worker) plan_.worker(true);
            work(1);
            if (plan_.worker) plan_.worker(false);
          },
          plan_.helper_refused);
    } catch (const std::system_error&) {
      // No second thread to be had: this one does every job.
    }
  }
  work(0);
  if (helper) helper->join();
  if (error_) {
    // Whatever ended the stream, nothing past the complete prefix stays.
    if (!writer_.cut_back()) return StreamEnd::kWriteFailed;
    std::rethrow_exception(error_);
  }
  return writer_.finish(readable_, read_failed_);
}

/// Takes jobs until none is left or the stream ends; an exception ends it
/// for both workers and is kept for the caller.
void Stream::work(std::size_t worker) {
  std::uint8_t* const buffer =
      reinterpret_cast<std::uint8_t*>(memory_.data()) + worker * shape_.buffer;
  try {
    while (const std::optional<std::uint64_t> job = jobs_.take()) {
      if (!do_job(*job, buffer)) {
        jobs_.stop();
        return;
      }
      jobs_.finish(*job);
    }
  } catch (...) {
    {
      const std::lock_guard lock(error_mutex_);
      if (!error_) error_ = std::current_exception();
    }
    jobs_.stop();
  }
}

bool Stream::do_job(std::uint64_t job, std::uint8_t* buffer) {
  if (plan_.direction == Direction::kDecrypt) return decrypt(job, buffer);
  return shape_.whole ? encrypt_whole(job, buffer) : encrypt_tiles(job, buffer);
}

/// Payload bytes job `job` covers, as far as the input is known to go.
std::uint64_t Stream::job_length(std::uint64_t job) const {
  const std::uint64_t start = job * shape_.span;
  const std::uint64_t end = std::min(start + shape_.span, readable_.load());
  return end > start ? end - start : 0;
}

std::size_t Stream::read_at(std::uint8_t* to, std::uint64_t position, std::size_t length) {
  const ReadResult got =
      read_full_at(files_, plan_.input, to, length, plan_.input_offset + position, plan_.stop);
  if (got.count < length) input_ends(position + got.count, got.failed);
  return got.count;
}

/// The input can be read no further than `position`: an early end of a
/// payload of known length, the end of one of unknown length, or an error.
void Stream::input_ends(std::uint64_t position, bool failed) {
  if (failed) read_failed_ = true;
  std::uint64_t limit = readable_.load();
  while (position < limit && !readable_.compare_exchange_weak(limit, position)) {
  }
}

/// Reads job `job`'s bytes into `to`: where they are, or in turn from an
/// input that gives them only in order. Ends the jobs where the input ends.
std::size_t Stream::read_job(std::uint64_t job, std::uint8_t* to, std::size_t length) {
  const std::uint64_t start = job * shape_.span;
  if (plan_.input_access == Access::kAnywhere) return read_at(to, start, length);
  if (!jobs_.wait_turn(JobQueue::kRead, job)) return 0;
  std::size_t count = 0;
  if (readable_ > start) {
    // Where a decryption job reads, the byte before it is the last one read.
    if (plan_.direction == Direction::kDecrypt) *(to - 1) = last_read_;
    const ReadResult got = read_full(files_, plan_.input, to, length, plan_.stop);
    count = got.count;
    if (count < length) input_ends(start + count, got.failed);
    if (count != 0) last_read_ = to[count - 1];
  }
  if (count < length) jobs_.end_at(job + 1);
  // The stream has a first byte: its header goes out before any job after
  // this one can read, let alone write. Should it fail, so does every write.
  if (job == 0 && count != 0 && plan_.payload == UNKNOWN_LENGTH) (void)writer_.write_header();
  jobs_.pass_turn(JobQueue::kRead, job);
  return count;
}

/// Writes a job's bytes, in turn where the output takes them in order.
bool Stream::write_job(std::uint64_t job, const std::uint8_t* bytes, std::size_t length) {
  const Piece piece{job * shape_.span, bytes, length};
  if (plan_.output_access == Access::kAnywhere) return length == 0 || writer_.write({&piece, 1});
  if (!jobs_.wait_turn(JobQueue::kWrite, job)) return false;
  // An input that failed in a job before this one leaves a gap that the
  // output must not run past: every job before has read by now.
  const std::uint64_t readable = readable_;
  const auto kept = static_cast<std::size_t>(
      std::min<std::uint64_t>(length, readable > piece.position ? readable - piece.position : 0));
  const Piece in_turn{piece.position, bytes, kept};
  const bool written = kept == 0 || writer_.write({&in_turn, 1});
  jobs_.pass_turn(JobQueue::kWrite, job);
  return written;
}

/// Runs the chains of a job's chunks side by side, a tile of each at a
/// time, reading each tile from its place and writing it to its place.
/// Only the payload's last chunk is shorter than the others, and only the
/// chunk where the input fails is cut, so the lanes still going are always
/// the first ones.
bool Stream::encrypt_tiles(std::uint64_t job, std::uint8_t* buffer) {
  const std::uint64_t start = job * shape_.span;
  std::array<std::uint8_t, kernels::kMaxLanes> feedback{};
  std::array<Piece, kernels::kMaxLanes> pieces{};
  for (std::uint64_t position = 0; position < plan_.chunk_size; position += shape_.tile) {
    std::size_t lanes = 0;
    std::size_t longest = 0;
    for (; lanes < shape_.lanes; ++lanes) {
      const std::uint64_t chunk = start + lanes * plan_.chunk_size;
      const std::uint64_t end = std::min(chunk + plan_.chunk_size, readable_.load());
      if (chunk + position >= end) break;
      const auto length =
          static_cast<std::size_t>(std::min<std::uint64_t>(shape_.tile, end - chunk - position));
      std::uint8_t* const lane = buffer + lanes * shape_.stride;
      const std::size_t got = read_at(lane, chunk + position, length);
      if (got == 0) break;
      pieces[lanes] = {chunk + position, lane, got};
      longest = std::max(longest, got);
    }
    if (lanes == 0) return true;
    // A lane shorter than the longest runs on through bytes that are never
    // written: cheaper than stopping its chain.
    kernels_.encrypt_lanes(schedule_, buffer, shape_.stride, lanes, position, longest,
                           feedback.data());
    if (!writer_.write({pieces.data(), lanes})) return false;
  }
  return true;
}

/// Reads a job's chunks whole, enciphers them side by side in place, a tile
/// at a time, and writes them whole.
bool Stream::encrypt_whole(std::uint64_t job, std::uint8_t* buffer) {
  const auto length = static_cast<std::size_t>(job_length(job));
  const std::size_t got = length == 0 ? 0 : read_job(job, buffer, length);
  std::array<std::uint8_t, kernels::kMaxLanes> feedback{};
  const auto first = static_cast<std::size_t>(std::min<std::uint64_t>(got, plan_.chunk_size));
  for (std::size_t position = 0; position < first; position += shape_.tile) {
    const std::size_t lanes =
        static_cast<std::size_t>((got - position + plan_.chunk_size - 1) / plan_.chunk_size);
    kernels_.encrypt_lanes(schedule_, buffer + position, shape_.stride, lanes, position,
                           std::min(shape_.tile, first - position), feedback.data());
  }
  return write_job(job, buffer, got);
}

/// Reads a stretch and the ciphertext byte before it, deciphers it chunk
/// by chunk in place, and writes it.
bool Stream::decrypt(std::uint64_t job, std::uint8_t* buffer) {
  const std::uint64_t start = job * shape_.span;
  const auto length = static_cast<std::size_t>(job_length(job));
  std::uint8_t* const bytes = buffer + 1;
  std::size_t got = 0;
  if (length == 0) {
  } else if (plan_.input_access == Access::kAnywhere && start != 0) {
    // The byte before is the job before's to read: a read that fails there
    // says nothing of that job's bytes.
    const ReadResult with_before = read_full_at(files_, plan_.input, buffer, length + 1,
                                                plan_.input_offset + start - 1, plan_.stop);
    got = with_before.count == 0 ? 0 : with_before.count - 1;
    if (got < length) input_ends(start + got, with_before.failed);
  } else {
    got = read_job(job, bytes, length);
  }
  std::uint8_t previous = *buffer;
  for (std::size_t at = 0; at < got;) {
    const std::uint64_t position = (start + at) % plan_.chunk_size;
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(plan_.chunk_size - position, got - at));
    previous = kernels_.decrypt(schedule_, bytes + at, position, piece,
                                position == 0 ? std::uint8_t{0} : previous);
    at += piece;
  }
  return write_job(job, bytes, got);
}

}  // namespace

StreamEnd stream_payload(const StreamPlan& plan, const kernels::Schedule& schedule,
                         FileAccess& files, PageSource& pages, const ChunkDone& chunk_done) {
  if (plan.payload == 0) return StreamEnd::kDone;
  Stream stream(plan, schedule, files, pages, chunk_done);
  return stream.run();
}

}  // namespace kelm
