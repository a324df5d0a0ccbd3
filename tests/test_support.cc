#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

extern char** environ;

namespace kelm::testing {

void TempDirTest::SetUp() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kelm_test_XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  dir_ = tmpl;
}

void TempDirTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TempDirTest::path(const std::string& name) const { return (dir_ / name).string(); }

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << path;
}

void write_file(const std::string& path, const std::string& text) {
  write_file(path, Bytes(text.begin(), text.end()));
}

std::optional<Bytes> read_file(const std::string& path) {
  if (!std::filesystem::is_regular_file(path)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes random_bytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

Bytes pattern(std::size_t length, std::uint8_t salt) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8) * 7 + salt) & 0xFF);
  }
  return bytes;
}

namespace {

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace

Outcome run_binary(const std::vector<std::string>& args, const std::string& cwd,
                   const std::optional<std::string>& input) {
  // Console streams go through files in a folder of their own, so nothing the
  // child writes can block on a full pipe.
  std::string tmpl = (std::filesystem::temp_directory_path() / "kelm_io_XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) return {};
  const std::filesystem::path io = tmpl;
  const std::string in_path = (io / "in").string();
  const std::string out_path = (io / "out").string();
  const std::string err_path = (io / "err").string();
  if (input) write_file(in_path, *input);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) {
    posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  std::vector<std::string> words = {KELM_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  Outcome outcome;
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, KELM_BINARY, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int wait_status = 0;
  if (spawned == 0 && ::waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status)) {
    outcome.status = WEXITSTATUS(wait_status);
  }
  outcome.out = slurp(out_path);
  outcome.err = slurp(err_path);
  std::error_code ignored;
  std::filesystem::remove_all(io, ignored);
  return outcome;
}

}  // namespace kelm::testing
