#include "relay.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace kelm {

namespace {

/// Hands rounds from a producing helper thread to the calling thread.
///
/// Whichever side finds the next round neither produced nor begun produces
/// it, so the calling thread never waits for a helper that has no processor.
/// A side that must wait sleeps at once: a spin only takes the processor
/// from the side it waits for when a third program wants it too.
class Relay {
 public:
  Relay(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume)
      : slots_(slots), produce_(produce), consume_(consume) {}

  /// Runs the relay to its end; throws what either side threw.
  void run() {
    // With one slot the two sides could only take turns: no thread for that.
    if (slots_ == 1) return run_alone();
    std::thread helper;
    try {
      helper = std::thread([this] { produce_all(); });
    } catch (const std::system_error&) {
      // No second thread to be had: this one does every round in turn.
      return run_alone();
    }
    try {
      consume_all();
    } catch (...) {
      stop();
      helper.join();
      throw;
    }
    helper.join();
    if (producer_error_) std::rethrow_exception(producer_error_);
  }

 private:
  void run_alone() {
    while (true) {
      const bool more = produce_(0);
      if (!consume_(0) || !more) return;
    }
  }

  /// Produces the next round, which the caller has claimed under `lock`, and
  /// publishes it; the lock is released while it works.
  void produce_next(std::unique_lock<std::mutex>& lock) {
    producing_ = true;
    const std::uint64_t round = produced_;
    lock.unlock();
    bool more = false;
    try {
      more = produce_(static_cast<std::size_t>(round % slots_));
    } catch (...) {
      lock.lock();
      producing_ = false;
      throw;
    }
    lock.lock();
    producing_ = false;
    ++produced_;
    last_produced_ = !more;
  }

  void produce_all() {
    std::unique_lock lock(mutex_);
    try {
      while (true) {
        helper_waiting_ = true;
        helper_turn_.wait(lock, [&] {
          return stopped_ || last_produced_ || (!producing_ && produced_ - consumed_ < slots_);
        });
        helper_waiting_ = false;
        if (stopped_ || last_produced_) return;
        produce_next(lock);
        wake_caller(lock);
        lock.lock();
      }
    } catch (...) {
      producer_error_ = std::current_exception();
      stopped_ = true;
      wake_caller(lock);
    }
  }

  void consume_all() {
    for (std::uint64_t round = 0;; ++round) {
      std::unique_lock lock(mutex_);
      while (produced_ <= round && !stopped_ && !last_produced_) {
        if (!producing_) {
          // The helper has not begun this round: waiting for it would only
          // add its way to a processor to the time the round takes.
          produce_next(lock);
          wake_helper(lock);
          lock.lock();
          break;
        }
        caller_waiting_ = true;
        caller_turn_.wait(lock);
        caller_waiting_ = false;
      }
      if (stopped_ || produced_ <= round) return;
      const bool last = last_produced_ && produced_ == round + 1;
      lock.unlock();
      const bool go_on = consume_(static_cast<std::size_t>(round % slots_));
      lock.lock();
      ++consumed_;
      stopped_ = !go_on;
      wake_helper(lock);
      if (!go_on || last) return;
    }
  }

  void stop() {
    std::unique_lock lock(mutex_);
    stopped_ = true;
    wake_helper(lock);
  }

  /// Releases `lock` and wakes the other side if it sleeps.
  void wake_helper(std::unique_lock<std::mutex>& lock) {
    const bool waiting = helper_waiting_;
    lock.unlock();
    if (waiting) helper_turn_.notify_one();
  }
  void wake_caller(std::unique_lock<std::mutex>& lock) {
    const bool waiting = caller_waiting_;
    lock.unlock();
    if (waiting) caller_turn_.notify_one();
  }

  const std::size_t slots_;
  const ProduceRound& produce_;
  const ConsumeRound& consume_;
  // All below are guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable helper_turn_;
  std::condition_variable caller_turn_;
  std::uint64_t produced_ = 0;
  std::uint64_t consumed_ = 0;
  bool producing_ = false;      // a side is producing round produced_
  bool last_produced_ = false;  // the last round is produced
  bool stopped_ = false;        // a side failed, or the consumer wants no more
  bool helper_waiting_ = false;
  bool caller_waiting_ = false;
  std::exception_ptr producer_error_;
};

}  // namespace

void relay_rounds(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume) {
  Relay relay(std::max<std::size_t>(slots, 1), produce, consume);
  relay.run();
}

}  // namespace kelm
