// A queue of ordered jobs shared by two workers: each takes the next job,
// and waits only for its turn where a file needs order, or at the window.
#pragma once

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace kelm {

/// Hands out jobs, lowest first, and keeps the turns. A worker waits only
/// for a turn (reading from an input that gives bytes in order, writing to
/// an output that takes them in order) or at the window: a job is begun only
/// while it is within `window` of the oldest job not yet finished.
class JobQueue {
 public:
  /// Turns a job may have to wait for.
  enum Turn { kRead, kWrite };

  JobQueue(std::uint64_t jobs, std::uint64_t window)
      : jobs_(jobs), window_(window), finished_(static_cast<std::size_t>(window), false) {}

  /// The next job; nothing once none is left or the stream is ending.
  std::optional<std::uint64_t> next_job() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || next_ >= jobs_ || next_ < oldest_ + window_; });
    if (stopped_ || next_ >= jobs_) return std::nullopt;
    return next_++;
  }

  /// Waits until every job before `job` has had its `turn`; false if the
  /// stream is ending instead.
  bool wait_turn(Turn turn, std::uint64_t job) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || passed_[turn] == job; });
    return !stopped_;
  }

  /// Ends `job`'s turn, handing it to the job after.
  void pass_turn(Turn turn, std::uint64_t job) {
    const std::lock_guard lock(mutex_);
    passed_[turn] = job + 1;
    changed_.notify_all();
  }

  /// Marks `job` done, which may move the window on.
  void done(std::uint64_t job) {
    const std::lock_guard lock(mutex_);
    finished_[slot(job)] = true;
    while (oldest_ < next_ && finished_[slot(oldest_)]) finished_[slot(oldest_++)] = false;
    changed_.notify_all();
  }

  /// There is no job from `job` on: the input has ended.
  void end_at(std::uint64_t job) {
    const std::lock_guard lock(mutex_);
    jobs_ = std::min(jobs_, job);
    changed_.notify_all();
  }

  /// No job is begun from now on, and no turn is waited for.
  void stop() {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  std::size_t slot(std::uint64_t job) const { return static_cast<std::size_t>(job % window_); }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t jobs_;
  const std::uint64_t window_;
  std::uint64_t next_ = 0;                 // the next job to take
  std::uint64_t oldest_ = 0;               // the oldest job not yet finished
  std::vector<bool> finished_;             // of jobs from oldest_ on, by slot
  std::array<std::uint64_t, 2> passed_{};  // jobs whose turn is over, per turn
  bool stopped_ = false;
};

}  // namespace kelm
