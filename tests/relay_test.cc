// The relay between the two threads of a stream: every round once and in
// order, an early stop, exceptions from either side, and the caller's
// processor placement left as it was.
#include "relay.h"

#include <sched.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
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

// Either side may sleep, held to its processor while it does; afterwards
// the calling thread may run anywhere it could before, whichever side slept.
TEST(RelayTest, LeavesTheCallerFreeToRunAnywhere) {
  for (const bool slow_producer : {true, false}) {
    SCOPED_TRACE(slow_producer ? "the consumer sleeps" : "the producer sleeps");
    const auto pause = [](bool slow) {
      if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    };
    std::uint64_t consumed = 0;
    bool same = false;
    within_time_limit([&] {
      cpu_set_t before;
      ASSERT_EQ(::sched_getaffinity(0, sizeof before, &before), 0);
      std::uint64_t produced = 0;
      relay_rounds(
          2,
          [&](std::size_t) {
            pause(slow_producer);
            return ++produced < 5;
          },
          [&](std::size_t) {
            pause(!slow_producer);
            ++consumed;
            return true;
          });
      cpu_set_t after;
      ASSERT_EQ(::sched_getaffinity(0, sizeof after, &after), 0);
      same = CPU_EQUAL(&before, &after);
    });
    EXPECT_EQ(consumed, 5u);
    EXPECT_TRUE(same);
  }
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

}  // namespace
}  // namespace kelm
