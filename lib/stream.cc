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
#include "input_side.h"
#include "job_queue.h"
#include "output_side.h"
#include "shape.h"

namespace kelm {

namespace {

/// One stream: its shape, the jobs, and the input and output sides both
/// workers share.
class Stream {
 public:
  Stream(const StreamPlan& plan, const kernels::Schedule& schedule, FileAccess& files,
         PageSource& pages, const ChunkDone& chunk_done)
      : plan_(plan),
        schedule_(schedule),
        kernels_(plan.kernels != nullptr ? *plan.kernels : kernels::best()),
        pages_(pages),
        shape_(shape_of(plan)),
        jobs_(shape_.jobs, shape_.window),
        input_(plan, files),
        output_(plan, shape_.most_ahead, files, chunk_done) {}

  StreamEnd run();

 private:
  void work(std::size_t worker);
  bool do_job(std::uint64_t job, std::uint8_t* buffer);
  bool encrypt_tiles(std::uint64_t job, std::uint8_t* buffer);
  bool encrypt_whole(std::uint64_t job, std::uint8_t* buffer);
  bool decrypt(std::uint64_t job, std::uint8_t* buffer);
  std::size_t read_job(std::uint64_t job, std::uint8_t* to, std::size_t length);
  bool write_job(std::uint64_t job, const std::uint8_t* bytes, std::size_t length);

  const StreamPlan& plan_;
  const kernels::Schedule& schedule_;
  const kernels::Kernels& kernels_;
  PageSource& pages_;
  const WorkShape shape_;
  JobQueue jobs_;
  InputSide input_;
  OutputSide output_;
  SecretRegion memory_;

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
    if (!output_.cut_back()) return StreamEnd::kWriteFailed;
    std::rethrow_exception(error_);
  }
  return output_.verdict(input_.readable(), input_.failed());
}

/// Takes jobs until none is left or the stream ends; an exception ends it
/// for both workers and is kept for the caller.
void Stream::work(std::size_t worker) {
  std::uint8_t* const buffer =
      reinterpret_cast<std::uint8_t*>(memory_.data()) + worker * shape_.buffer;
  try {
    while (const std::optional<std::uint64_t> job = jobs_.next_job()) {
      if (!do_job(*job, buffer)) {
        jobs_.stop();
        return;
      }
      jobs_.done(*job);
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

/// Reads job `job`'s bytes into `to`, in turn from an input that gives them
/// only in order, and ends the jobs where such an input ends. A decryption
/// job also takes the byte before its own.
std::size_t Stream::read_job(std::uint64_t job, std::uint8_t* to, std::size_t length) {
  const std::uint64_t start = job * shape_.job_size;
  const bool before = plan_.direction == Direction::kDecrypt;
  if (!input_.in_order()) return input_.read(to, start, length, before);
  if (!jobs_.wait_turn(JobQueue::kRead, job)) return 0;
  const std::size_t count = input_.read(to, start, length, before);
  if (count < length) jobs_.end_at(job + 1);
  jobs_.pass_turn(JobQueue::kRead, job);
  return count;
}

/// Writes a job's bytes, in turn where the output takes them in order.
bool Stream::write_job(std::uint64_t job, const std::uint8_t* bytes, std::size_t length) {
  const Piece piece{job * shape_.job_size, bytes, length};
  if (!output_.in_order()) return length == 0 || output_.write({&piece, 1});
  if (!jobs_.wait_turn(JobQueue::kWrite, job)) return false;
  // An input that failed in a job before this one leaves a gap that the
  // output must not run past: every job before has read by now.
  const std::uint64_t readable = input_.readable();
  const auto kept = static_cast<std::size_t>(
      std::min<std::uint64_t>(length, readable > piece.position ? readable - piece.position : 0));
  const Piece in_turn{piece.position, bytes, kept};
  const bool written = kept == 0 || output_.write({&in_turn, 1});
  jobs_.pass_turn(JobQueue::kWrite, job);
  return written;
}

/// Runs the chains of a job's chunks side by side, a tile of each at a
/// time, reading each tile from its place and writing it to its place.
/// Only the payload's last chunk is shorter than the others, and only the
/// chunk where the input fails is cut, so the lanes still going are always
/// the first ones.
bool Stream::encrypt_tiles(std::uint64_t job, std::uint8_t* buffer) {
  const std::uint64_t start = job * shape_.job_size;
  std::array<std::uint8_t, kernels::kMaxLanes> feedback{};
  std::array<Piece, kernels::kMaxLanes> pieces{};
  for (std::uint64_t position = 0; position < plan_.chunk_size; position += shape_.tile) {
    std::size_t lanes = 0;
    std::size_t longest = 0;
    for (; lanes < shape_.lanes; ++lanes) {
      const std::uint64_t chunk = start + lanes * plan_.chunk_size;
      const std::uint64_t end = std::min(chunk + plan_.chunk_size, input_.readable());
      if (chunk + position >= end) break;
      const auto length =
          static_cast<std::size_t>(std::min<std::uint64_t>(shape_.tile, end - chunk - position));
      std::uint8_t* const lane = buffer + lanes * shape_.stride;
      const std::size_t got = input_.read(lane, chunk + position, length, false);
      if (got == 0) break;
      pieces[lanes] = {chunk + position, lane, got};
      longest = std::max(longest, got);
    }
    if (lanes == 0) return true;
    // A lane shorter than the longest runs on through bytes that are never
    // written: cheaper than stopping its chain.
    kernels_.encrypt_lanes(schedule_, buffer, shape_.stride, lanes, position, longest,
                           feedback.data());
    if (!output_.write({pieces.data(), lanes})) return false;
  }
  return true;
}

/// Reads a job's chunks whole, enciphers them side by side in place, a tile
/// at a time, and writes them whole.
bool Stream::encrypt_whole(std::uint64_t job, std::uint8_t* buffer) {
  const std::size_t length = input_.length_from(job * shape_.job_size, shape_.job_size);
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

/// Reads a job's bytes and the ciphertext byte before them, deciphers them
/// chunk by chunk in place, and writes them.
bool Stream::decrypt(std::uint64_t job, std::uint8_t* buffer) {
  const std::uint64_t start = job * shape_.job_size;
  const std::size_t length = input_.length_from(start, shape_.job_size);
  std::uint8_t* const bytes = buffer + 1;
  const std::size_t got = length == 0 ? 0 : read_job(job, bytes, length);
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
