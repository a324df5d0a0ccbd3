#include "relay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>

#include "placement.h"

namespace kelm {

namespace {

/// Hands rounds from a producing helper thread to the calling thread.
///
/// A side that must wait spins for a moment first: a round takes a few
/// hundred microseconds, and most waits are shorter. Only then does it
/// sleep, held to its processor while it sleeps. Otherwise a sleeper is
/// woken where the scheduler likes, and on a virtual machine, whose idle
/// processors look busy to it, that was the processor the other side runs
/// on: the two then took turns there while the other processor idled
/// (measured: 10 MB took a third longer, and 512 MiB a fifth more
/// processor time, against spinning longer).
class Relay {
 public:
  Relay(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume)
      : slots_(slots), produce_(produce), consume_(consume), spin_for_(spin_time()) {}

  /// Runs the relay to its end; throws what either side threw.
  void run() {
    // With one slot the two sides could only take turns: no thread for that.
    if (slots_ == 1) return run_alone();
    std::unique_ptr<Helper> helper;
    try {
      helper = std::make_unique<Helper>([this] { produce_all(); });
    } catch (const std::system_error&) {
      // No second thread to be had: this one does every round in turn.
      return run_alone();
    }
    try {
      consume_all();
    } catch (...) {
      stopped_ = true;
      announce();
      helper->join();
      throw;
    }
    helper->join();
    if (producer_error_) std::rethrow_exception(producer_error_);
  }

 private:
  /// How long a side spins before it sleeps. 50 to 500 microseconds
  /// measured alike on 10 MB; on 512 MiB longer spins cost processor time.
  /// With one processor to run on, a spin only keeps the other side from it.
  static std::chrono::microseconds spin_time() {
    return std::chrono::microseconds(Placement().several() ? 100 : 0);
  }

  void run_alone() {
    while (true) {
      const bool more = produce_(0);
      if (!consume_(0) || !more) return;
    }
  }

  void produce_all() {
    try {
      for (std::uint64_t round = 0;; ++round) {
        wait_until([&] { return stopped_ || round - consumed_ < slots_; });
        if (stopped_) return;
        const bool more = produce_(static_cast<std::size_t>(round % slots_));
        // The round first: a consumer that sees the end must see it too.
        ++produced_;
        producer_done_ = !more;
        announce();
        if (!more) return;
      }
    } catch (...) {
      producer_error_ = std::current_exception();
      producer_done_ = true;
      announce();
    }
  }

  void consume_all() {
    for (std::uint64_t round = 0;; ++round) {
      wait_until([&] { return produced_ > round || producer_done_; });
      // The error is set before the end is, and read only after it.
      if ((producer_done_ && producer_error_) || produced_ <= round) return;
      const bool last = producer_done_ && produced_ == round + 1;
      const bool go_on = consume_(static_cast<std::size_t>(round % slots_));
      stopped_ = !go_on;
      ++consumed_;
      announce();
      if (!go_on || last) return;
    }
  }

  /// Returns once `ready` holds: at once if it does, after spinning if it
  /// soon does, else after sleeping until the other side announces a change.
  template <typename Ready>
  void wait_until(Ready ready) {
    const auto spin_until = std::chrono::steady_clock::now() + spin_for_;
    for (unsigned spins = 0; !ready(); ++spins) {
      relax();
      // The clock is asked only now and then: it costs more than a spin.
      if (spins % 64 == 63 && std::chrono::steady_clock::now() > spin_until) {
        const StayHere stay;
        std::unique_lock lock(mutex_);
        ++sleepers_;
        changed_.wait(lock, ready);
        --sleepers_;
        return;
      }
    }
  }

  /// Wakes a sleeping side after a change. The change and the count of
  /// sleepers are both sequentially consistent, so either this sees the
  /// sleeper, or the sleeper sees the change before it sleeps.
  void announce() {
    if (sleepers_ == 0) return;
    const std::lock_guard lock(mutex_);
    changed_.notify_all();
  }

  const std::size_t slots_;
  const ProduceRound& produce_;
  const ConsumeRound& consume_;
  const std::chrono::microseconds spin_for_;
  std::atomic<std::uint64_t> produced_{0};
  std::atomic<std::uint64_t> consumed_{0};
  std::atomic<bool> producer_done_{false};  // the last round is produced, or producing failed
  std::atomic<bool> stopped_{false};        // the consumer wants no more
  std::exception_ptr producer_error_;       // set before producer_done_ is
  std::atomic<int> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace

void relay_rounds(std::size_t slots, const ProduceRound& produce, const ConsumeRound& consume) {
  Relay relay(std::max<std::size_t>(slots, 1), produce, consume);
  relay.run();
}

}  // namespace kelm
