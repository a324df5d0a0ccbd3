// The relay between the two threads of a stream: every round once and in
// order, one round produced at a time, an early stop, exceptions from either
// side, and a processor placement made from outside left as it is. And the
// share of jobs: each once, never more than two neighbours under way, an
// early stop and exceptions from either thread.
#include "relay.h"

#if defined(__linux__)
#include <sched.h>
#include <sys/types.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kelm {
namespace {

/// Runs `body` on a thread of its own and gives back what it threw. A relay
/// that hangs fails the test binary at once instead of stalling the suite.
std::exception_ptr within_time_limit(const std::function<void()>& body) {
  auto done = std::make_shared<std::promise<std::exception_ptr>>();
  std::future<std::exception_ptr> result = done->get_future();
  std::thread([done, body] {
    try {
      body();
      done->set_value(nullptr);
    } catch (...) {
      done->set_value(std::current_exception());
    }
  }).detach();
  if (result.wait_for(std::chrono::seconds(60)) == std::future_status::timeout) {
    ADD_FAILURE() << "the relay hung";
    std::abort();
  }
  return result.get();
}

constexpr std::size_t kSlotsAlone = 1;   // one thread does both sides
constexpr std::size_t kSlotsShared = 3;  // a helper thread produces

struct Planted : std::runtime_error {
  Planted() : std::runtime_error("planted") {}
};

TEST(RelayTest, ConsumesEveryRoundOnceInOrder) {
  const std::size_t kSlots[] = {1, 2, 3};
  for (std::size_t slots : kSlots) {
    SCOPED_TRACE(slots);
    std::vector<std::uint64_t> in_slot(slots);
    std::uint64_t produced = 0;
    std::vector<std::uint64_t> consumed;
    EXPECT_EQ(within_time_limit([&] {
                relay_rounds(
                    slots,
                    [&](std::size_t slot) {
                      in_slot[slot] = produced++;
                      return produced < 10;
                    },
                    [&](std::size_t slot) {
                      consumed.push_back(in_slot[slot]);
                      return true;
                    });
              }),
              nullptr);
    EXPECT_EQ(consumed, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  }
}

TEST(RelayTest, StopsWhenConsumingSaysSo) {
  std::uint64_t produced = 0;
  std::uint64_t consumed = 0;
  within_time_limit([&] {
    relay_rounds(
        3,
        [&](std::size_t) {
          ++produced;
          return true;  // an endless input
        },
        [&](std::size_t) { return ++consumed < 4; });
  });
  EXPECT_EQ(consumed, 4u);
  EXPECT_LE(produced, 4u + 3u);  // no more than the slots ahead
}

// Whichever side produces a round, no two rounds are ever produced at once,
// and each is produced after the one before it.
TEST(RelayTest, ProducesOneRoundAtATime) {
  std::atomic<int> producing{0};
  std::atomic<bool> overlapped{false};
  std::uint64_t produced = 0;
  std::vector<std::uint64_t> in_slot(kSlotsShared);
  std::vector<std::uint64_t> consumed;
  // Uneven pauses on both sides, so that either may find the next round
  // unbegun and produce it itself.
  const auto pause = [](std::uint64_t round, std::uint64_t every) {
    if (round % every == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
  };
  EXPECT_EQ(within_time_limit([&] {
              relay_rounds(
                  kSlotsShared,
                  [&](std::size_t slot) {
                    if (producing.fetch_add(1) != 0) overlapped = true;
                    pause(produced, 3);
                    in_slot[slot] = produced++;
                    producing.fetch_sub(1);
                    return produced < 200;
                  },
                  [&](std::size_t slot) {
                    consumed.push_back(in_slot[slot]);
                    pause(consumed.size(), 5);
                    return true;
                  });
            }),
            nullptr);
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(consumed.size(), 200u);
  for (std::size_t i = 0; i < consumed.size(); ++i) EXPECT_EQ(consumed[i], i);
}

#if defined(__linux__)
/// Sets the processors every thread of this process may run on, as
/// `taskset -a -p` does from outside.
void place_every_thread(const cpu_set_t& allowed) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const auto id = static_cast<pid_t>(std::stol(task.path().filename().string()));
    (void)::sched_setaffinity(id, sizeof allowed, &allowed);
  }
}

// Neither thread is held to a processor: a placement made from outside while
// the relay runs (taskset -a -p) stays, in both threads and after the relay.
TEST(RelayTest, KeepsAPlacementMadeFromOutside) {
  cpu_set_t before;
  ASSERT_EQ(::sched_getaffinity(0, sizeof before, &before), 0);
  if (CPU_COUNT(&before) < 2) GTEST_SKIP() << "one processor allowed";
  cpu_set_t narrow;
  CPU_ZERO(&narrow);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &before)) {
      CPU_SET(cpu, &narrow);
      break;
    }
  }
  const auto is_narrow = [&] {
    cpu_set_t now;
    return ::sched_getaffinity(0, sizeof now, &now) == 0 && CPU_EQUAL(&now, &narrow);
  };
  for (const bool slow_producer : {true, false}) {
    SCOPED_TRACE(slow_producer ? "the consumer sleeps" : "the producer sleeps");
    const auto pause = [](bool slow) {
      if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    };
    constexpr std::uint64_t kNarrowedAt = 2;
    std::atomic<bool> narrowed{false};
    std::atomic<bool> widened{false};
    bool caller_narrow = false;
    within_time_limit([&] {
      std::uint64_t produced = 0;
      std::uint64_t consumed = 0;
      const auto narrow_all = [&] {
        place_every_thread(narrow);
        narrowed = true;
      };
      const auto check = [&] {
        if (narrowed && !is_narrow()) widened = true;
      };
      relay_rounds(
          2,
          [&](std::size_t) {
            check();
            pause(slow_producer);
            if (slow_producer && produced == kNarrowedAt) narrow_all();
            return ++produced < 8;
          },
          [&](std::size_t) {
            check();
            pause(!slow_producer);
            if (!slow_producer && consumed == kNarrowedAt) narrow_all();
            ++consumed;
            return true;
          });
      caller_narrow = is_narrow();
    });
    place_every_thread(before);
    EXPECT_TRUE(narrowed);
    EXPECT_FALSE(widened);
    EXPECT_TRUE(caller_narrow);
  }
}
#endif

// Programs that want the processors too preempt either side at any point,
// a waiting caller among them: whatever rounds arrive meanwhile, none is
// overwritten before it is consumed.
TEST(RelayTest, NoRoundIsOverwrittenBeforeItIsConsumed) {
  std::atomic<bool> busy{true};
  std::vector<std::thread> others;
  for (unsigned i = 0; i < 2 * std::max(1U, std::thread::hardware_concurrency()); ++i) {
    others.emplace_back([&] {
      while (busy) {
      }
    });
  }
  constexpr std::uint64_t kRounds = 100'000;
  std::vector<std::uint64_t> in_slot(kSlotsShared);
  std::uint64_t produced = 0;
  std::uint64_t next = 0;
  bool in_order = true;
  EXPECT_EQ(within_time_limit([&] {
              relay_rounds(
                  kSlotsShared,
                  [&](std::size_t slot) {
                    in_slot[slot] = produced++;
                    return produced < kRounds;
                  },
                  [&](std::size_t slot) {
                    in_order = in_order && in_slot[slot] == next;
                    ++next;
                    return true;
                  });
            }),
            nullptr);
  busy = false;
  for (std::thread& other : others) other.join();
  EXPECT_TRUE(in_order);
  EXPECT_EQ(next, kRounds);
}

TEST(RelayTest, AnExceptionOnEitherSideReachesTheCaller) {
  const struct {
    const char* name;
    bool in_producer;
    std::uint64_t round;
  } kCases[] = {
      {"producing the first round", true, 0},
      {"producing a later round", true, 5},
      {"consuming the first round", false, 0},
      {"consuming a later round", false, 5},
  };
  for (const auto& c : kCases) {
    for (std::size_t slots : {kSlotsAlone, kSlotsShared}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", " << slots << " slots");
      std::uint64_t produced = 0;
      std::uint64_t consumed = 0;
      const std::exception_ptr thrown = within_time_limit([&] {
        relay_rounds(
            slots,
            [&](std::size_t) {
              if (c.in_producer && produced == c.round) throw Planted();
              return ++produced < 100;
            },
            [&](std::size_t) {
              if (!c.in_producer && consumed == c.round) throw Planted();
              ++consumed;
              return true;
            });
      });
      ASSERT_NE(thrown, nullptr);
      EXPECT_THROW(std::rethrow_exception(thrown), Planted);
      EXPECT_LE(consumed, c.round);
    }
  }
}

// Uneven jobs on both threads: each job is done once, on one of the two
// workers, and a job begins only when every job two or more before it has
// ended, so the output never has more than two groups written ahead.
TEST(ShareJobsTest, DoesEachJobOnceNeverTwoAheadOfOneUnderWay) {
  constexpr std::size_t kJobs = 300;
  std::vector<std::atomic<int>> done(kJobs);
  std::vector<std::atomic<int>> ended(kJobs);
  std::atomic<bool> too_far{false};
  std::atomic<bool> bad_worker{false};
  EXPECT_EQ(within_time_limit([&] {
              const std::thread::id caller = std::this_thread::get_id();
              share_jobs(kJobs, [&](std::uint64_t number, std::size_t worker) {
                const auto job = static_cast<std::size_t>(number);
                if (worker > 1 || (worker == 0) != (std::this_thread::get_id() == caller)) {
                  bad_worker = true;
                }
                for (std::size_t before = 0; before + 1 < job; ++before) {
                  if (ended[before] == 0) too_far = true;
                }
                if (job % (worker == 0 ? 7 : 5) == 0) {
                  std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                ++done[job];
                ++ended[job];
                return true;
              });
            }),
            nullptr);
  for (std::size_t job = 0; job < kJobs; ++job) EXPECT_EQ(done[job], 1) << "job " << job;
  EXPECT_FALSE(too_far);
  EXPECT_FALSE(bad_worker);
}

TEST(ShareJobsTest, AStopOrAnExceptionOnEitherThreadEndsTheShare) {
  const std::uint64_t kFailing[] = {0, 1, 6, 7};
  for (const bool throws : {false, true}) {
    for (const std::uint64_t failing : kFailing) {
      SCOPED_TRACE(::testing::Message() << (throws ? "throws" : "stops") << " at job " << failing);
      std::atomic<std::uint64_t> highest{0};
      const std::exception_ptr thrown = within_time_limit([&] {
        share_jobs(100, [&](std::uint64_t job, std::size_t) {
          std::uint64_t seen = highest;
          while (job > seen && !highest.compare_exchange_weak(seen, job)) {
          }
          if (job != failing) return true;
          if (throws) throw Planted();
          return false;
        });
      });
      if (throws) {
        ASSERT_NE(thrown, nullptr);
        EXPECT_THROW(std::rethrow_exception(thrown), Planted);
      } else {
        EXPECT_EQ(thrown, nullptr);
      }
      // The failing job never ends, so no job past the one after it may
      // begin; and the share ended rather than waiting for it.
      EXPECT_LE(highest, failing + 1);
    }
  }
}

}  // namespace
}  // namespace kelm
