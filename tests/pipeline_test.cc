// kelm as a filter: standard input and output, pipes and FIFOs, a key from
// a pipe, terminals refused as data and asked for the answer. End to end,
// on POSIX systems, where the tests can hand kelm pipes and terminals.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#endif

#include "format.h"
#include "reference_cipher.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;

#ifndef _WIN32

class PipelineTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    (void)std::signal(SIGPIPE, SIG_IGN);  // kelm may stop reading what is fed to it
    testing::write_file(path("key"), key_);
  }

  /// Runs kelm with `args`, started as `launch` says; standard input is
  /// empty unless it says otherwise.
  testing::Outcome kelm(const std::vector<std::string>& args, testing::Launch launch = {}) {
    if (!launch.input && !launch.input_file) launch.input = "";
    return testing::run_binary(args, dir_.string(), launch);
  }

  Bytes sealed(const Bytes& plain, std::uint8_t seed) const {
    Bytes data = reference::transform_payload(key_, true, plain, seed, CHUNK_SIZE);
    data.insert(data.begin(), seed);
    return data;
  }

  const Bytes key_ = testing::pattern(16, 9);
};

TEST_F(PipelineTest, AFileOnStandardInputIsReadFromWhereItWasLeft) {
  const Bytes plain = testing::pattern(1'000'300, 6);
  testing::write_file(path("plain"), plain);
  testing::Launch launch;
  launch.input_file = path("plain");
  launch.before_exec = [] { (void)::lseek(0, 300, SEEK_SET); };
  const testing::Outcome outcome = kelm({"encrypt", "-", "sealed", "key"}, launch);
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out,
            "keysize is 2^4\n\r completed 100% 1000000 out of 1000000 B"
            "\r completed 100% 1000000 out of 1000000 B"
            "\r completed 100% 1000000 out of 1000000 B\n");
  const Bytes got = *testing::read_file(path("sealed"));
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(got == sealed(Bytes(plain.begin() + 300, plain.end()), got[0]));
}

/// Makes a FIFO and, on a thread, writes `bytes` into it once a reader has
/// opened it.
std::thread feed_fifo(const std::string& name, Bytes bytes) {
  EXPECT_EQ(::mkfifo(name.c_str(), 0600), 0);
  return std::thread([name, bytes = std::move(bytes)] { testing::write_file(name, bytes); });
}

TEST_F(PipelineTest, AFifoInputAndAKeyFromAPipe) {
  const Bytes plain = testing::pattern(2'345'678, 5);
  std::thread input = feed_fifo(path("fifo"), plain);
  std::thread key = feed_fifo(path("keypipe"), key_);
  const testing::Outcome outcome = kelm({"encrypt", "fifo", "sealed", "keypipe"});
  input.join();
  key.join();
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const Bytes got = *testing::read_file(path("sealed"));
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(got == sealed(plain, got[0]));
}

/// A pseudo-terminal's two ends: kelm gets the terminal, the test the master.
struct Terminal {
  int master = -1;
  std::string name;

  Terminal() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
    name = ::ptsname(master);
  }
  ~Terminal() {
    if (master >= 0) ::close(master);
  }
};

TEST_F(PipelineTest, TerminalsAreNeverDataButGiveTheAnswer) {
  Terminal terminal;
  ASSERT_FALSE(terminal.name.empty());
  const std::string tty = terminal.name;
  testing::write_file(path("plain"), testing::pattern(1000, 1));
  const auto on_terminal = [tty](int fd) {
    return [tty, fd] {
      const int opened = ::open(tty.c_str(), O_RDWR | O_NOCTTY);
      if (opened >= 0) ::dup2(opened, fd);
    };
  };
  // A session of its own, with the terminal as its controlling one, or none.
  const auto session = [tty](bool with_terminal) {
    return [tty, with_terminal] {
      ::setsid();
      if (with_terminal) (void)::open(tty.c_str(), O_RDWR);
    };
  };
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const std::string kOld = "old";
  const char kTerminal[] = "Error: output file - is a terminal\n";
  const char kAsk[] = "Error: output file out exists, overwrite? (Y/n): ";
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void()> in_child;
    bool piped;          // standard input a pipe that carries three bytes
    const char* answer;  // typed at the terminal
    int status;          // 0: the existing output "out" was replaced
    const char* err;     // unless nothing
  } kCases[] = {
      // clang-format off
      {"standard output a terminal", {"encrypt", "plain", "-", "key"}, on_terminal(1), false, "",
       3, kTerminal},
      // Refused before kelm waits for the FIFO's writer, who may never come.
      {"standard output a terminal, the input a FIFO", {"encrypt", "fifo", "-", "key"},
       on_terminal(1), false, "", 3, kTerminal},
      {"standard input a terminal", {"encrypt", "-", "new", "key"}, on_terminal(0), false, "", 3,
       "Error: could not open input file -\n"},
      // Standard input carries the data: the answer comes from the terminal.
      {"answered at the terminal", {"encrypt", "-", "out", "key"}, session(true), true, "Y\n", 0,
       nullptr},
      {"declined at the terminal", {"encrypt", "-", "out", "key"}, session(true), true, "n\n", 3,
       kAsk},
      {"no terminal to ask", {"encrypt", "-", "out", "key"}, session(false), true, "", 3, kAsk},
      // clang-format on
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::write_file(path("out"), kOld);
    std::remove(path("new").c_str());
    const std::string typed = c.answer;
    ASSERT_EQ(::write(terminal.master, typed.data(), typed.size()),
              static_cast<ssize_t>(typed.size()));
    testing::Launch launch;
    launch.before_exec = c.in_child;
    launch.input_piped = c.piped;
    if (c.piped) launch.input = "\x01\x02\x03";
    const testing::Outcome outcome = kelm(c.args, launch);
    EXPECT_EQ(outcome.status, c.status);
    if (c.err != nullptr) {
      EXPECT_EQ(outcome.err, c.err);
    }
    EXPECT_EQ(testing::read_file(path("out")) != Bytes(kOld.begin(), kOld.end()), c.status == 0);
    EXPECT_FALSE(testing::read_file(path("new")));
    ::tcflush(terminal.master, TCIOFLUSH);
  }
}

TEST_F(PipelineTest, StandardOutputFaults) {
  const Bytes plain = testing::pattern(3'000'000, 2);
  testing::write_file(path("plain"), plain);
  // A reader that went away.
  testing::Launch closed;
  closed.output_to_closed_pipe = true;
  testing::Outcome outcome = kelm({"encrypt", "plain", "-", "key"}, closed);
  EXPECT_EQ(outcome.status, 3);
  EXPECT_TRUE(outcome.err.ends_with("Error: could not write output file -\n")) << outcome.err;
  // `>> plain`: the input itself.
  testing::Launch onto_input;
  onto_input.before_exec = [name = path("plain")] {
    const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND);
    if (fd >= 0) ::dup2(fd, 1);
  };
  outcome = kelm({"encrypt", "plain", "-", "key"}, onto_input);
  EXPECT_EQ(outcome.status, 3);
  EXPECT_EQ(outcome.err, "Error: output file - is the same file as the input or key file\n");
  EXPECT_EQ(testing::read_file(path("plain")), plain);
  // A write that fails after a progress line on standard error: the message
  // starts a line of its own.
  ASSERT_EQ(kelm({"encrypt", "plain", "sealed", "key"}).status, 0);
  testing::Launch limited;
  limited.output_file = path("opened");
  limited.file_size_limit = 1'500'000;
  outcome = kelm({"decrypt", "sealed", "-", "key"}, limited);
  EXPECT_EQ(outcome.status, 3);
  EXPECT_EQ(outcome.err,
            "keysize is 2^4\n\r completed 33% 1000001 out of 3000000 B\n"
            "Error: could not write output file -\n");
}

TEST_F(PipelineTest, AConfirmedFifoIsWaitedForAndWrittenWhole) {
  // More than a pipe holds, so that kelm must wait for the reader as it writes.
  const Bytes plain = testing::pattern(1'500'000, 8);
  testing::write_file(path("plain"), plain);
  for (const bool reader_first : {false, true}) {
    SCOPED_TRACE(reader_first ? "reader there at the question, reading late"
                              : "reader a second late");
    std::remove(path("fifo").c_str());
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    int early = -1;
    if (reader_first) early = ::open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Bytes read_back;
    std::thread reader;
    testing::Launch launch;
    launch.input = "Y\n";
    const std::string fifo = path("fifo");
    launch.before_answer = [&] {
      reader = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const int fd = early >= 0 ? early : ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        if (early >= 0) ::fcntl(fd, F_SETFL, 0);  // blocking reads from now on
        std::uint8_t block[65536];
        ssize_t got = 0;
        while ((got = ::read(fd, block, sizeof block)) > 0) {
          read_back.insert(read_back.end(), block, block + got);
        }
        ::close(fd);
      });
    };
    const testing::Outcome outcome =
        testing::run_binary({"encrypt", "plain", "fifo", "key"}, dir_.string(), launch);
    if (reader.joinable()) reader.join();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    ASSERT_FALSE(read_back.empty());
    EXPECT_TRUE(read_back == sealed(plain, read_back[0]));
  }
}

#endif  // !_WIN32

#ifdef _WIN32
// Named pipes served by the tests, each to one client only, as a server
// may serve a key or the input.
class NamedPipeTest : public testing::TempDirTest {};

TEST_F(NamedPipeTest, APipeServedOnceIsReadWhole) {
  using End = testing::PipeServer::End;
  const Bytes plain = testing::pattern(2'500'000, 10);
  const Bytes key = testing::pattern(16, 9);
  testing::write_file(path("in"), plain);
  testing::write_file(path("key"), key);
  const struct {
    const char* name;
    bool key_served;  // the key from the pipe, else the input
    End end;
  } kCases[] = {
      {"input, the server closes", false, End::kClose},
      // The last read fails as "not connected": the end all the same.
      {"input, the server disconnects", false, End::kDisconnect},
      // Nothing but the load of the key may open the pipe.
      {"key, the server closes", true, End::kClose},
      {"key, the server disconnects", true, End::kDisconnect},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::remove(path("sealed").c_str());
    std::remove(path("opened").c_str());
    const testing::PipeServer server(c.key_served ? key : plain, c.end);
    const std::vector<std::string> args = {"encrypt", c.key_served ? "in" : server.name(), "sealed",
                                           c.key_served ? server.name() : "key"};
    const testing::Outcome sealed = testing::run_binary(args, dir_.string(), std::string());
    EXPECT_EQ(sealed.status, 0) << sealed.err;
    if (sealed.status != 0) continue;
    const testing::Outcome opened =
        testing::run_binary({"decrypt", "sealed", "opened", "key"}, dir_.string(), std::string());
    ASSERT_EQ(opened.status, 0) << opened.err;
    EXPECT_TRUE(testing::read_file(path("opened")) == plain);
  }
}
#endif  // _WIN32

}  // namespace
}  // namespace kelm
