// Where the second worker starts to share a file: the thresholds the
// documents quote, at the byte on each side.
#include "shape.h"

#include <gtest/gtest.h>

namespace kelm {
namespace {

TEST(ShapeTest, ASecondWorkerSharesOnlyWorkThatRepaysIt) {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  const auto kIn = Access::kInOrder;
  const auto kAny = Access::kAnywhere;
  const struct {
    const char* name;
    Direction direction;
    std::uint64_t payload;
    Access input;
    Access output;
    std::size_t workers;
  } kRows[] = {
      {"encryption of 16 chunks, file to file", Direction::kEncrypt, 16 * CHUNK_SIZE, kAny, kAny,
       1},
      {"encryption of 16 chunks and a byte", Direction::kEncrypt, 16 * CHUNK_SIZE + 1, kAny, kAny,
       2},
      {"decryption of 16 MiB", Direction::kDecrypt, 16 * kMiB, kAny, kAny, 1},
      {"decryption of 16 MiB and a byte", Direction::kDecrypt, 16 * kMiB + 1, kAny, kAny, 2},
      {"encryption of 8 chunks into a pipe", Direction::kEncrypt, 8 * CHUNK_SIZE, kAny, kIn, 1},
      {"encryption of 8 chunks and a byte into a pipe", Direction::kEncrypt, 8 * CHUNK_SIZE + 1,
       kAny, kIn, 2},
      {"encryption from a pipe", Direction::kEncrypt, UNKNOWN_LENGTH, kIn, kAny, 2},
      {"decryption from a pipe", Direction::kDecrypt, UNKNOWN_LENGTH, kIn, kIn, 2},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    StreamPlan plan;
    plan.direction = row.direction;
    plan.payload = row.payload;
    plan.input_access = row.input;
    plan.output_access = row.output;
    EXPECT_EQ(shape_of(plan).workers, row.workers);
  }
}

}  // namespace
}  // namespace kelm
