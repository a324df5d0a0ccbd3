// The checked file calls: at offsets past what 32 bits can hold, and
// interrupted by a signal, which a stop makes them give up.
#include "file_io.h"

#include <cstdio>
#include <string>

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
    ASSERT_TRUE(close_descriptor(file.release()));
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

TEST_F(FileIoTest, RetriesACallThatASignalInterruptedUnlessAStopWasAsked) {
  const testing::Bytes text = testing::pattern(100);
  testing::write_file(path("in"), text);
  const struct {
    const char* name;
    // Runs the call through `files` on `fd`; whether it did all of it.
    bool (*call)(FileAccess& files, int fd, std::uint8_t* bytes, const Stop& stop);
    // Calls made once a stop is asked: a call in order, which may wait, is
    // never begun.
    std::size_t stopped_calls;
  } kCalls[] = {
      {"read_full_at",
       [](FileAccess& files, int fd, std::uint8_t* bytes, const Stop& stop) {
         const ReadResult read = read_full_at(files, fd, bytes, 100, 0, stop);
         return !read.failed && read.count == 100;
       },
       1},
      {"write_full",
       [](FileAccess& files, int fd, std::uint8_t* bytes, const Stop& stop) {
         return write_full(files, fd, bytes, 100, stop);
       },
       0},
      {"write_full_at",
       [](FileAccess& files, int fd, std::uint8_t* bytes, const Stop& stop) {
         return write_full_at(files, fd, bytes, 100, 0, stop);
       },
       1},
  };
  for (const auto& c : kCalls) {
    for (const bool stopped : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.name << (stopped ? ", stop asked" : ""));
      const bool reads = std::string(c.name).starts_with("read");
      FileInfo info;
      std::optional<UniqueFd> in = open_input_file(path("in"), info);
      ASSERT_TRUE(in);
      std::remove(path("out").c_str());
      UniqueFd out = open_output_file(path("out"), Create::kNew, 0600);
      ASSERT_TRUE(out.is_open());
      testing::Bytes bytes = reads ? testing::Bytes(100) : text;
      testing::FaultyFiles files;
      files.plant({.n = 0}, testing::FaultyFiles::Fault::kInterrupt);
      const Stop stop = [stopped] { return stopped; };
      EXPECT_EQ(c.call(files, reads ? in->get() : out.get(), bytes.data(), stop), !stopped);
      // The interrupted call, then all of it; or, for a stop, no more.
      EXPECT_EQ(files.calls(), stopped ? c.stopped_calls : 2u);
      if (stopped) continue;
      EXPECT_EQ(bytes, text);
      if (!reads) {
        EXPECT_EQ(testing::read_file(path("out")), text);
      }
    }
  }
}

}  // namespace
}  // namespace kelm
