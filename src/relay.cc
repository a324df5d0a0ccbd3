// The helper thread; the relay, and how each side waits for the other; and
// the share of jobs.
#include "relay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#if KELM_LINUX_EXTRAS
#include <pthread.h>
#include <sched.h>
#endif

namespace kelm {

namespace {

/// Lets the processor know the thread is waiting on another (a hint only).
void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield");  // NOLINT(hicpp-no-assembler)
#endif
}

/// The helper thread. On Linux it starts on another processor than its
/// creator's: a new thread queues behind its creator, and on a virtual
/// machine, whose idle processors look busy to the scheduler, it waited
/// there for milliseconds. Once running it may go anywhere its creator may,
/// unless someone has placed it since.
class HelperThread {
 public:
  /// Starts `body`; throws std::system_error when no thread can be had.
  explicit HelperThread(std::function<void()> body) : body_(std::move(body)) { start(); }
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;
  ~HelperThread() { join(); }

  void join() {
    if (joined_) return;
    joined_ = true;
#if KELM_LINUX_EXTRAS
    (void)::pthread_join(thread_, nullptr);
#else
    thread_.join();
#endif
  }

 private:
#if KELM_LINUX_EXTRAS
  void start() {
    pthread_attr_t attributes;
    if (const int error = ::pthread_attr_init(&attributes); error != 0) {
      throw std::system_error(error, std::generic_category());
    }
    const int here = ::sched_getcpu();
    if (here >= 0 && here < CPU_SETSIZE &&
        ::sched_getaffinity(0, sizeof allowed_, &allowed_) == 0 && CPU_ISSET(here, &allowed_) &&
        CPU_COUNT(&allowed_) > 1) {
      started_on_ = allowed_;
      CPU_CLR(here, &started_on_);
      placed_ = ::pthread_attr_setaffinity_np(&attributes, sizeof started_on_, &started_on_) == 0;
    }
    const int error = ::pthread_create(&thread_, &attributes, &HelperThread::enter, this);
    ::pthread_attr_destroy(&attributes);
    if (error != 0) throw std::system_error(error, std::generic_category());
  }

  static void* enter(void* self) {
    auto& helper = *static_cast<HelperThread*>(self);
    if (helper.placed_) {
      // Widened only if nobody has placed the thread since it was made.
      cpu_set_t now;
      if (::sched_getaffinity(0, sizeof now, &now) == 0 && CPU_EQUAL(&now, &helper.started_on_)) {
        (void)::sched_setaffinity(0, sizeof helper.allowed_, &helper.allowed_);
      }
    }
    helper.body_();
    return nullptr;
  }

  pthread_t thread_{};
  cpu_set_t allowed_{};
  cpu_set_t started_on_{};
  bool placed_ = false;
#else
  void start() { thread_ = std::thread(body_); }

  std::thread thread_;
#endif
  std::function<void()> body_;
  bool joined_ = false;
};

/// Hands rounds from a producing helper thread to the calling thread.
///
/// A side that must wait spins briefly first: on an idle machine the other
/// side delivers within a round's time, and a wake through the scheduler
/// costs more. Each spin that ends unanswered halves the next, so where
/// other programs keep the other side from running, spinning soon stops.
/// A caller whose next round the helper has not begun even within a spin
/// produces the round itself: a helper without a processor never holds the
/// run up. One side produces at a time, strictly in order.
class Relay {
 public:
  Relay(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume)
      : slots_(slots), produce_(produce), consume_(consume) {}

  /// Runs the relay to its end; throws what either side threw.
  void run() {
    // With one slot the two sides could only take turns: no thread for that.
    if (slots_ == 1) return run_alone();
    std::unique_ptr<HelperThread> helper;
    try {
      helper = std::make_unique<HelperThread>([this] { produce_all(); });
    } catch (const std::system_error&) {
      // No second thread to be had: this one does every round in turn.
      return run_alone();
    }
    try {
      consume_all();
    } catch (...) {
      stop();
      helper->join();
      throw;
    }
    helper->join();
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
    published_.store(produced_, std::memory_order_release);
  }

  /// Spins, without `lock`, until `ready` holds or `budget` is spent; true
  /// if it came to hold. Doubles the budget after a success and halves it
  /// after a failure.
  template <typename Ready>
  static bool spin_until(Ready ready, std::chrono::microseconds& budget,
                         std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    const auto deadline = std::chrono::steady_clock::now() + budget;
    bool held = false;
    for (unsigned spins = 1;; ++spins) {
      if (ready()) {
        held = true;
        break;
      }
      relax();
      // The clock costs more than a spin: it is asked only now and then.
      if (spins % 64 == 0 && std::chrono::steady_clock::now() >= deadline) break;
    }
    lock.lock();
    budget = held ? std::min(budget * 2, kLongestSpin) : std::max(budget / 2, kShortestSpin);
    return held;
  }

  void produce_all() {
    std::unique_lock lock(mutex_);
    try {
      while (true) {
        const auto turn = [&] {
          return stopped_ || last_produced_ || (!producing_ && produced_ - consumed_ < slots_);
        };
        // A slot frees up as soon as the caller has written a round.
        const auto freed = [&] {
          return released_.load(std::memory_order_acquire) + slots_ >
                 published_.load(std::memory_order_acquire);
        };
        if (!turn() && !producing_) (void)spin_until(freed, helper_spin_, lock);
        helper_waiting_ = true;
        helper_turn_.wait(lock, turn);
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
      const auto ready = [&] { return produced_ > round || stopped_ || last_produced_; };
      while (!ready()) {
        // On an idle machine the helper delivers within a spin.
        const auto arrived = [&] { return published_.load(std::memory_order_acquire) > round; };
        if (spin_until(arrived, caller_spin_, lock) || ready()) continue;
        if (!producing_) {
          // The helper has not begun this round even within a spin: it has
          // no processor, and waiting for it would only add its way to one.
          // Not ready, so produced_ is this very round, and its slot free.
          produce_next(lock);
          wake_helper(lock);
          lock.lock();
          continue;
        }
        caller_waiting_ = true;
        caller_turn_.wait(lock, ready);
        caller_waiting_ = false;
      }
      if (stopped_ || produced_ <= round) return;
      const bool last = last_produced_ && produced_ == round + 1;
      lock.unlock();
      const bool go_on = consume_(static_cast<std::size_t>(round % slots_));
      lock.lock();
      ++consumed_;
      released_.store(consumed_, std::memory_order_release);
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

  static constexpr std::chrono::microseconds kShortestSpin{1};
  static constexpr std::chrono::microseconds kLongestSpin{1000};

  const std::size_t slots_;
  const ProduceRound& produce_;
  const ConsumeRound& consume_;
  // For a spin without the lock: produced_ and consumed_ as last published.
  std::atomic<std::uint64_t> published_{0};
  std::atomic<std::uint64_t> released_{0};
  std::chrono::microseconds caller_spin_{500};  // each side's own budget
  std::chrono::microseconds helper_spin_{500};
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

/// Hands out independent jobs to the two threads. Each thread keeps its own
/// data hot in its own caches and makes its own system calls; the only
/// waits are the bound on how far one may run ahead of the other, and the
/// end.
class JobShare {
 public:
  JobShare(std::uint64_t jobs, const DoJob& work) : jobs_(jobs), work_(work) {}

  void run() {
    std::unique_ptr<HelperThread> helper;
    try {
      if (jobs_ > 1) helper = std::make_unique<HelperThread>([this] { work_through(1); });
    } catch (const std::system_error&) {
      // No second thread: this one does every job.
    }
    work_through(0);
    if (helper) helper->join();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void work_through(std::size_t worker) {
    try {
      std::uint64_t job = 0;
      while (take(job)) {
        if (!work_(job, worker)) {
          stop();
          return;
        }
        finish(job);
      }
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!error_) error_ = std::current_exception();
      stopped_ = true;
      ended_.notify_all();
    }
  }

  /// Takes the next job into `job`, waiting while it would be two ahead of
  /// a job still under way; false when there is none left to take.
  bool take(std::uint64_t& job) {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [&] { return stopped_ || next_ >= jobs_ || next_ < unfinished_ + 2; });
    if (stopped_ || next_ >= jobs_) return false;
    job = next_++;
    return true;
  }

  void finish(std::uint64_t job) {
    std::lock_guard lock(mutex_);
    if (job != unfinished_) {
      // The one after the oldest under way: it counts once that one ends.
      next_ended_ = true;
      return;
    }
    unfinished_ += next_ended_ ? 2 : 1;
    next_ended_ = false;
    ended_.notify_all();
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    ended_.notify_all();
  }

  const std::uint64_t jobs_;
  const DoJob& work_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::uint64_t next_ = 0;        // the next job to take
  std::uint64_t unfinished_ = 0;  // the oldest job not yet ended
  bool next_ended_ = false;       // the job after it has ended
  bool stopped_ = false;
  std::exception_ptr error_;
};

}  // namespace

void share_jobs(std::uint64_t jobs, const DoJob& work) {
  JobShare share(jobs, work);
  share.run();
}

void relay_rounds(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume) {
  Relay relay(std::max<std::size_t>(slots, 1), produce, consume);
  relay.run();
}

}  // namespace kelm
