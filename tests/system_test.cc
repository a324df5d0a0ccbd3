// The system interface: what start-up leaves in place, file identity,
// console text that a signal cuts short, and an interrupt at the question.
#include "system.h"
#include "platform.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#endif
#if KELM_LINUX_EXTRAS
#include <sys/prctl.h>
#endif

#include <chrono>
#include <string>
#include <thread>

namespace kelm {
namespace {

TEST(SystemTest, SameFileIsSameDeviceAndIndex) {
  const struct {
    const char* name;
    FileInfo a;
    FileInfo b;
    bool same;
  } kCases[] = {
      {"one file", {7, 42}, {7, 42}, true},
      {"the same inode on two devices", {7, 42}, {8, 42}, false},
      {"two files on one device", {7, 42}, {7, 43}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(same_file(c.a, c.b), c.same);
  }
}

#ifndef _WIN32

TEST(SystemTest, StartUpForbidsCoreDumps) {
  // In a child of its own: the start-up code changes the whole process.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Dumps allowed as far as this process may allow them.
    struct rlimit core {};
    if (::getrlimit(RLIMIT_CORE, &core) == 0) {
      core.rlim_cur = core.rlim_max;
      (void)::setrlimit(RLIMIT_CORE, &core);
    }
    if (!prepare_process()) ::_exit(1);
    if (::getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur != 0) ::_exit(2);
#if KELM_LINUX_EXTRAS
    // Not even a core handler that ignores the limit may take one.
    if (::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) ::_exit(3);
#endif
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: failed, 2: core limit, 3: still dumpable";
}

TEST(SystemTest, AnInterruptBeforeTheWaitForAnAnswerEndsIt) {
  // An interrupt that came just before the wait, with nothing to read and
  // a writer still there: only the interrupt can end the wait. In a child
  // of its own, since catching interrupts changes the whole process. What
  // the run says after it (an output not cut back) still reaches standard
  // error, here that same pipe, which the interrupt took from the run.
  int ends[2] = {-1, -1};
  ASSERT_EQ(::pipe(ends), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::dup2(ends[1], kStandardError) != kStandardError) ::_exit(1);
    catch_interrupts();
    (void)::raise(SIGUSR1);
    const bool no_answer = !read_console_byte(ends[0]);
    write_console(kStandardError, "said\n");
    ::_exit(no_answer && interrupt_received() == SIGUSR1 ? 0 : 1);
  }
  int status = -1;
  pid_t ended = 0;
  for (int waited = 0; ended == 0 && waited < 500; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ended = ::waitpid(pid, &status, WNOHANG);
  }
  if (ended == 0) {
    (void)::kill(pid, SIGKILL);
    (void)::waitpid(pid, &status, 0);
  }
  ::close(ends[1]);
  char said[16] = {};
  const ssize_t got = ::read(ends[0], said, sizeof said);
  ::close(ends[0]);
  ASSERT_EQ(ended, pid) << "still waiting for an answer 5 s after the interrupt";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(std::string(said, static_cast<std::size_t>(std::max<ssize_t>(got, 0))), "said\n");
}

extern "C" void ignore_signal(int) {}

TEST(SystemTest, ConsoleTextCutShortByASignalIsWrittenWhole) {
  if (!std::string(KELM_LAUNCHER).empty()) {
    GTEST_SKIP() << "the emulator delivers signals to a blocked call its own way";
  }
#ifndef F_GETPIPE_SZ
  GTEST_SKIP() << "the capacity of a pipe cannot be read here";
#else
  int ends[2] = {-1, -1};
  ASSERT_EQ(::pipe(ends), 0);
  (void)::fcntl(ends[1], F_SETPIPE_SZ, 4096);
  const int capacity = ::fcntl(ends[1], F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  // No SA_RESTART: a signal ends a blocked write with what it has taken.
  struct sigaction action {};
  struct sigaction before {};
  action.sa_handler = ignore_signal;
  ::sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &before), 0);
  std::string text;
  while (text.size() < 4 * static_cast<std::size_t>(capacity)) text += std::to_string(text.size());
  const pthread_t writer = ::pthread_self();
  std::string got;
  std::thread reader([&] {
    // A full pipe: the writer is inside its first write, blocked.
    for (int waiting = 0; waiting < capacity; (void)::ioctl(ends[0], FIONREAD, &waiting)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    (void)::pthread_kill(writer, SIGUSR1);
    char buffer[4096];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
      got.append(buffer, static_cast<std::size_t>(n));
    }
  });
  write_console(ends[1], text);
  ::close(ends[1]);
  reader.join();
  ::close(ends[0]);
  (void)::sigaction(SIGUSR1, &before, nullptr);
  EXPECT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == text);
#endif
}

#endif

}  // namespace
}  // namespace kelm
