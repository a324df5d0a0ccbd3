// The relay between the two threads: every batch consumed once, in order,
// and nothing consumed after the end or after a failure.
#include "pipeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "file_io.h"
#include "test_support.h"

namespace kelm {
namespace {

class RelayTest : public testing::TempDirTest {
 protected:
  /// Relays a file of `size` bytes; batches from number `unreadable_from`
  /// on are read from a folder, which fails. consume fails at `failing`.
  std::optional<Failure> relay(std::uint64_t size, std::uint64_t unreadable_from,
                               std::uint64_t failing) {
    testing::write_file(path("input"), testing::Bytes(size, 0x5A));
    UniqueFd file(::open(path("input").c_str(), O_RDONLY));
    UniqueFd folder(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
    consumed_.clear();
    Batch first;
    Batch second;
    return relay_batches(
        [&](Batch& batch, std::uint64_t index) {
          const int fd = index >= unreadable_from ? folder.get() : file.get();
          batch.read_at(fd, index * BATCH_SIZE);
        },
        [&](const Batch& batch) -> std::optional<Failure> {
          consumed_.push_back({batch.filled(), batch.read_failed()});
          if (consumed_.size() - 1 == failing) return Failure{3, "stop"};
          return std::nullopt;
        },
        first, second);
  }

  struct Seen {
    std::size_t filled;
    bool read_failed;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> consumed_;
};

constexpr std::uint64_t kNever = ~std::uint64_t{0};

TEST_F(RelayTest, ConsumesEveryBatchInOrderUpToTheLast) {
  const struct {
    const char* name;
    std::uint64_t size;
    std::vector<Seen> expected;
  } kCases[] = {
      {"one short batch", 100, {{100, false}}},
      {"two and a half",
       2 * BATCH_SIZE + 7,
       {{BATCH_SIZE, false}, {BATCH_SIZE, false}, {7, false}}},
      // A file that ends on a batch boundary ends with an empty batch.
      {"exactly three",
       3 * BATCH_SIZE,
       {{BATCH_SIZE, false}, {BATCH_SIZE, false}, {BATCH_SIZE, false}, {0, false}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(relay(c.size, kNever, kNever));
    EXPECT_EQ(consumed_, c.expected);
  }
}

TEST_F(RelayTest, StopsAtTheFirstFailure) {
  const std::optional<Failure> failure = relay(5 * BATCH_SIZE, kNever, 1);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->message, "stop");
  EXPECT_EQ(consumed_, (std::vector<Seen>{{BATCH_SIZE, false}, {BATCH_SIZE, false}}));
}

TEST_F(RelayTest, AnUnreadableBatchIsTheLast) {
  EXPECT_FALSE(relay(5 * BATCH_SIZE, 2, kNever));
  EXPECT_EQ(consumed_, (std::vector<Seen>{{BATCH_SIZE, false}, {BATCH_SIZE, false}, {0, true}}));
}

}  // namespace
}  // namespace kelm
