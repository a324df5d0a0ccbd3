// The checked file calls, at offsets past what 32 bits can hold.
#include "file_io.h"

#include "system.h"
#include "test_support.h"

namespace kelm {
namespace {

class FileIoTest : public testing::TempDirTest {};

TEST_F(FileIoTest, ReadsAndMeasuresPastTwoGibibytes) {
  // A sparse file: only the bytes written take room on the disk.
  const std::uint64_t kFar = (std::uint64_t{3} << 30) + 5;  // past 2^31 and 2^32
  {
    UniqueFd file = open_output_file(path("sparse"), Create::kNew, 0600);
    ASSERT_TRUE(file.is_open());
    const std::uint8_t text[] = {'f', 'a', 'r'};
    ASSERT_TRUE(write_full_at(system_files(), file.get(), text, 3, kFar));
    ASSERT_TRUE(close_file(system_files(), file));
  }
  FileInfo info;
  std::optional<UniqueFd> file = open_input_file(path("sparse"), info);
  ASSERT_TRUE(file);
  EXPECT_EQ(static_cast<std::uint64_t>(info.size), kFar + 3);
  std::uint8_t got[6] = {};
  const ReadResult read = read_full_at(system_files(), file->get(), got, sizeof got, kFar - 2);
  EXPECT_FALSE(read.failed);
  EXPECT_EQ(read.count, 5u);  // the file ends three bytes in
  EXPECT_EQ(testing::Bytes(got, got + 5), (testing::Bytes{0, 0, 'f', 'a', 'r'}));
}

}  // namespace
}  // namespace kelm
