// The output's prefix on its own: what is complete, what was touched, and
// which chunk ends are told, as stretches arrive in the orders the workers
// write them.
#include "prefix.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kelm {
namespace {

struct Write {
  std::uint64_t position;
  std::uint64_t end;
};

TEST(OutputPrefixTest, GrowsOnlyThroughCompleteBytesAndTellsChunksInOrder) {
  // Chunks of 10 bytes.
  const struct {
    const char* name;
    std::vector<Write> writes;
    std::uint64_t complete;
    std::vector<std::uint64_t> told;
  } kCases[] = {
      {"in order, in tiles", {{0, 4}, {4, 10}, {10, 20}, {20, 35}}, 35, {10, 20, 30}},
      {"one write across chunks", {{0, 35}}, 35, {10, 20, 30}},
      // Three lanes of tiles of 4, as encryption writes them.
      {"lanes written ahead",
       {{0, 4}, {10, 14}, {20, 24}, {4, 8}, {14, 18}, {24, 28}, {8, 10}, {18, 20}, {28, 30}},
       30,
       {10, 20, 30}},
      {"a later lane ahead, the first short", {{10, 14}, {20, 24}, {0, 4}}, 4, {}},
      {"the first lane done, the second half", {{0, 10}, {20, 30}, {10, 15}}, 15, {10}},
      {"the payload's short last chunk ahead",
       {{30, 35}, {0, 10}, {10, 20}, {20, 30}},
       35,
       {10, 20, 30}},
      // Two workers' stretches inside one chunk, and across chunks, out of order.
      {"stretches joined ahead", {{12, 16}, {20, 24}, {16, 20}, {4, 12}, {0, 4}}, 24, {10, 20}},
      {"a gap left", {{0, 3}, {6, 9}, {12, 15}, {9, 12}}, 3, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    OutputPrefix prefix(10, 2);
    std::vector<std::uint64_t> told;
    std::uint64_t furthest = 0;
    for (const Write& w : c.writes) {
      prefix.will_write(w.end);
      prefix.written(w.position, w.end, [&](std::uint64_t at) { told.push_back(at); });
      furthest = std::max(furthest, w.end);
    }
    EXPECT_EQ(prefix.complete(), c.complete);
    EXPECT_EQ(prefix.touched(), furthest);
    EXPECT_EQ(prefix.ragged(), furthest > c.complete);
    EXPECT_EQ(told, c.told);
  }
}

TEST(OutputPrefixTest, AWriteAnnouncedButNotDoneStaysOutsideTheComplete) {
  // A write that fails part-way has touched bytes it never finished.
  OutputPrefix prefix(10, 2);
  prefix.written(0, 10, [](std::uint64_t) {});
  prefix.will_write(30);
  EXPECT_EQ(prefix.complete(), 10u);
  EXPECT_EQ(prefix.touched(), 30u);
  EXPECT_TRUE(prefix.ragged());
}

}  // namespace
}  // namespace kelm
