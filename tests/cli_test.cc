// End-to-end tests of the kelm binary: files before, arguments and answer,
// then the exit status, the exact console texts and the files after.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string_view>
#include <thread>
#include <vector>

#include "format.h"
#include "reference_cipher.h"
#include "sanitized.h"
#include "test_support.h"

namespace kelm {
namespace {

using testing::Bytes;
using testing::read_file;
using testing::write_file;

const char kKeyLine[] = "keysize is 2^4\n";
const char kUsage[] =
    "Error: kelm requires 4 arguments\n"
    " kelm <encrypt or decrypt> inputfile outputfile keyfile\n";
const char kMode[] = "Error: check arguments, must choose encrypt or decrypt\n";

std::string prompt(const std::string& name) {
  return "Error: output file " + name + " exists, overwrite? (Y/n): ";
}
std::string same_file(const std::string& name) {
  return "Error: output file " + name + " is the same file as the input or key file\n";
}

/// What the output file must hold after the run.
enum class After {
  kAbsent,     // no regular file of that name was made
  kInput,      // still a name of the untouched input
  kUnchanged,  // the "old" bytes put there before
  kEmpty,      // emptied, then the run failed
  kSealed,     // a ciphertext of the input: one byte longer
  kKey,        // still a name of the untouched key
};

class CliTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    input_ = testing::pattern(100, 1);
    key_ = testing::pattern(16, 2);
    write_file(path("in"), input_);
    write_file(path("key"), key_);
  }

  testing::Outcome kelm(const std::vector<std::string>& args,
                        const std::optional<std::string>& answer = std::nullopt) {
    return testing::run_binary(args, dir_.string(), answer);
  }

  void expect_output(After after, const std::string& name = "out") {
    const std::optional<Bytes> bytes = read_file(path(name));
    switch (after) {
      case After::kAbsent: EXPECT_FALSE(bytes); break;
      case After::kInput: EXPECT_EQ(bytes, input_); break;
      case After::kKey: EXPECT_EQ(bytes, key_); break;
      case After::kUnchanged: EXPECT_EQ(bytes, Bytes({'o', 'l', 'd'})); break;
      case After::kEmpty: EXPECT_EQ(bytes, Bytes()); break;
      case After::kSealed:
        ASSERT_TRUE(bytes);
        EXPECT_EQ(bytes->size(), input_.size() + 1);
        break;
    }
  }

  /// Input and key must survive every run byte for byte.
  void expect_sources_intact() {
    EXPECT_EQ(read_file(path("in")), input_);
    EXPECT_EQ(read_file(path("key")), key_);
  }

  Bytes input_;
  Bytes key_;
};

#ifdef _WIN32
constexpr bool kPosix = false;
/// The device that takes anything and keeps nothing.
const char kNullDevice[] = "NUL";
/// The exit status of a console program ended by Ctrl-C or Ctrl-Break.
constexpr int kInterrupted = static_cast<int>(0xC000013AU);
bool interrupt(pid_t pid, int = 0) { return testing::send_ctrl_break(pid); }
const char kNoConsoleEvents[] = "console events cannot be sent here (Wine)";
void make_fifo(const std::string&) { ADD_FAILURE() << "no FIFOs on this system"; }
#else
constexpr bool kPosix = true;
const char kNullDevice[] = "/dev/null";
constexpr int kInterrupted = 128 + SIGINT;
bool interrupt(pid_t pid, int signal = SIGINT) { return ::kill(pid, signal) == 0; }
const char kNoConsoleEvents[] = "the signal could not be sent";
void make_fifo(const std::string& name) { ::mkfifo(name.c_str(), 0600); }
#endif

void make_folder(const std::string& name) { std::filesystem::create_directory(name); }
void make_symlink(const std::string& target, const std::string& name) {
  std::filesystem::create_symlink(target, name);
}

void no_setup(const std::string&) {}
void existing_output(const std::string& dir) { write_file(dir + "/out", "old"); }

TEST_F(CliTest, FailuresAndQuestions) {
  const struct {
    const char* name;
    std::function<void(const std::string& dir)> setup;
    std::vector<std::string> args;
    std::optional<std::string> answer;  // nothing: standard input closed
    int status;
    std::string out;
    std::string err;
    After after;
    bool posix_only = false;  // FIFOs, /dev, symbolic links and pipes
    bool piped = false;       // `answer` piped in as the input, the output piped out
  } kCases[] = {
      // clang-format off
      {"no arguments", no_setup, {}, {}, 1, "", kUsage, After::kAbsent},
      {"five arguments", no_setup, {"encrypt", "in", "out", "key", "more"}, {}, 1, "", kUsage,
       After::kAbsent},
      {"capitalised mode", no_setup, {"Encrypt", "in", "out", "key"}, {}, 1, "", kMode,
       After::kAbsent},
      {"missing input", no_setup, {"encrypt", "nothing", "out", "key"}, {}, 3, "",
       "Error: could not open input file nothing\n", After::kAbsent},
      {"input is a folder", [](const std::string& d) { make_folder(d + "/dir"); },
       {"encrypt", "dir", "out", "key"}, {}, 3, "", "Error: could not open input file dir\n",
       After::kAbsent},
      {"input is a device", no_setup, {"encrypt", "/dev/zero", "out", "key"}, {}, 3, "",
       "Error: could not open input file /dev/zero\n", After::kAbsent, true},
      // The overwrite question: only an upper-case Y replaces the file.
      {"answer y", existing_output, {"encrypt", "in", "out", "key"}, "y\n", 3, "", prompt("out"),
       After::kUnchanged},
      {"answer n", existing_output, {"encrypt", "in", "out", "key"}, "n\n", 3, "", prompt("out"),
       After::kUnchanged},
      {"no answer", existing_output, {"encrypt", "in", "out", "key"}, "", 3, "", prompt("out"),
       After::kUnchanged},
      {"input closed", existing_output, {"encrypt", "in", "out", "key"}, {}, 3, "",
       prompt("out"), After::kUnchanged},
      // With standard input closed, the input file must not become the answer.
      {"input closed, input starts with Y",
       [](const std::string& d) {
         existing_output(d);
         write_file(d + "/yes", "Yes");
       },
       {"encrypt", "yes", "out", "key"}, {}, 3, "", prompt("out"), After::kUnchanged},
      {"Y after blanks", existing_output, {"encrypt", "in", "out", "key"}, " \n\tY", 0,
       std::string(kKeyLine) + "\r completed 100% 100 out of 100 B" +
           "\r completed 100% 100 out of 100 B\n",
       prompt("out"), After::kSealed},
      // Outputs that cannot be written are refused before the key is read.
      {"output is a folder", [](const std::string& d) { make_folder(d + "/out"); },
       {"encrypt", "in", "out", "key"}, {}, 3, "", "Error: could not open output file out\n",
       After::kAbsent},
      {"output in a missing folder", no_setup, {"encrypt", "in", "none/out", "key"}, {}, 3, "",
       "Error: could not open output file none/out\n", After::kAbsent},
      {"output device is full", no_setup, {"encrypt", "in", "/dev/full", "key"}, "Y", 3,
       kKeyLine, prompt("/dev/full") + "Error: could not write output file /dev/full\n",
       After::kAbsent, true},
      // The output must never be the input or the key, however it is spelled.
      {"output is ./input", no_setup, {"encrypt", "in", "./in", "key"}, {}, 3, "",
       same_file("./in"), After::kInput},
      {"output is a hard link to the input",
       [](const std::string& d) { std::filesystem::create_hard_link(d + "/in", d + "/out"); },
       {"decrypt", "in", "out", "key"}, "Y", 3, "", same_file("out"), After::kInput},
      {"output is a symlink to the input",
       [](const std::string& d) { make_symlink("in", d + "/out"); },
       {"encrypt", "in", "out", "key"}, "Y", 3, "", same_file("out"), After::kInput, true},
      {"output is the key", no_setup, {"encrypt", "in", "key", "key"}, "Y", 3, "",
       same_file("key"), After::kKey},
      // The output it created and then refused is gone again.
      {"output is a missing key", no_setup, {"encrypt", "in", "k", "k"}, {}, 3, "",
       same_file("k"), After::kAbsent},
      // Nothing is written through a link to nowhere: it could point anywhere.
      {"output is a dangling symlink",
       [](const std::string& d) { make_symlink("nowhere", d + "/out"); },
       {"encrypt", "in", "out", "key"}, {}, 3, "", "Error: could not open output file out\n",
       After::kAbsent, true},
      // A symbolic link named on purpose is followed to the file it names.
      {"output is a symlink to another file, confirmed",
       [](const std::string& d) {
         write_file(d + "/target", "old");
         make_symlink("target", d + "/out");
       },
       {"encrypt", "in", "out", "key"}, "Y", 0,
       std::string(kKeyLine) + "\r completed 100% 100 out of 100 B" +
           "\r completed 100% 100 out of 100 B\n",
       prompt("out"), After::kSealed, true},
      // Key failures come after the output was emptied, and leave it empty.
      {"missing key", existing_output, {"encrypt", "in", "out", "nokey"}, "Y", 1, "",
       prompt("out") + "Error: could not load key file nokey\n", After::kEmpty},
      {"key is a folder", [](const std::string& d) { make_folder(d + "/kd"); },
       {"encrypt", "in", "out", "kd"}, {}, 1, "", "Error: could not load key file kd\n",
       After::kEmpty},
      {"short key", [](const std::string& d) { write_file(d + "/k15", testing::pattern(15)); },
       {"encrypt", "in", "out", "k15"}, {}, 4, "", "Error: keysize is too small!\n",
       After::kEmpty},
      {"empty key", [](const std::string& d) { write_file(d + "/k", ""); },
       {"encrypt", "in", "out", "k"}, {}, 4, "", "Error: keysize is too small!\n",
       After::kEmpty},
      {"17-byte key", [](const std::string& d) { write_file(d + "/k", testing::pattern(17)); },
       {"encrypt", "in", "out", "k"}, {}, 4, "keysize is 2^5\nkeysize: 17 power: 5\n",
       "Error: keysize not a power of 2!\n", After::kEmpty},
      // Never taken as its first 16 bytes.
      {"272-byte key", [](const std::string& d) { write_file(d + "/k", testing::pattern(272)); },
       {"encrypt", "in", "out", "k"}, {}, 4, "keysize is 2^9\nkeysize: 272 power: 9\n",
       "Error: keysize not a power of 2!\n", After::kEmpty},
      {"256-byte key", [](const std::string& d) { write_file(d + "/k", testing::pattern(256)); },
       {"encrypt", "in", "out", "k"}, {}, 4, "keysize is 2^8\n",
       "Error: keysize is too large!\n", After::kEmpty},
      {"empty input", [](const std::string& d) { write_file(d + "/empty", ""); },
       {"decrypt", "empty", "out", "key"}, {}, 2, kKeyLine, "Error: input file is empty.\n",
       After::kEmpty},
      {"seed byte only", [](const std::string& d) { write_file(d + "/seed", "s"); },
       {"decrypt", "seed", "out", "key"}, {}, 0,
       std::string(kKeyLine) + "\r completed 0% 1 out of 0 B\r completed 100% 0 out of 0 B\n", "",
       After::kEmpty},
      // Through pipes the text goes to standard error, for a length not known in advance.
      {"empty input, piped", no_setup, {"encrypt", "-", "-", "key"}, "", 2, "",
       std::string(kKeyLine) + "Error: input file is empty.\n", After::kAbsent, true, true},
      {"empty input, piped, decrypt", no_setup, {"decrypt", "-", "-", "key"}, "", 2, "",
       std::string(kKeyLine) + "Error: input file is empty.\n", After::kAbsent, true, true},
      {"seed byte only, piped", no_setup, {"decrypt", "-", "-", "key"}, "s", 0, "",
       std::string(kKeyLine) + "\r completed 1 B\r completed 1 B\n", After::kAbsent, true, true},
      // clang-format on
  };
  for (const auto& c : kCases) {
    if (c.posix_only && !kPosix) continue;
    SCOPED_TRACE(c.name);
    // Every row starts from a fresh folder holding only the input and key.
    TearDown();
    SetUp();
    c.setup(dir_.string());
    testing::Launch launch;
    launch.input = c.answer;
    launch.input_piped = launch.output_piped = c.piped;
    const testing::Outcome outcome = testing::run_binary(c.args, dir_.string(), launch);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
    expect_output(c.after, c.args.size() == 4 ? c.args[2] : "out");
    expect_sources_intact();
    EXPECT_FALSE(read_file(path("nowhere")));
  }
}

TEST_F(CliTest, RespectsPermissions) {
#ifdef _WIN32
  GTEST_SKIP() << "access there is an ACL, not permission bits";
#else
  if (::geteuid() == 0) GTEST_SKIP() << "root reads and writes past any permission";
  write_file(path("secret"), "data");
  ASSERT_EQ(::chmod(path("secret").c_str(), 0), 0);
  ASSERT_EQ(::mkdir(path("locked").c_str(), 0500), 0);
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
  } kCases[] = {
      // clang-format off
      {"unreadable input", {"encrypt", "secret", "out", "key"}, 3,
       "Error: could not open input file secret\n"},
      {"unreadable key", {"encrypt", "in", "out", "secret"}, 1,
       "Error: could not load key file secret\n"},
      {"read-only folder", {"encrypt", "in", "locked/out", "key"}, 3,
       "Error: could not open output file locked/out\n"},
      // The file exists even though it cannot be read: ask before replacing it.
      {"unreadable output, declined", {"encrypt", "in", "secret", "key"}, 3, prompt("secret")},
      // clang-format on
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const testing::Outcome outcome = kelm(c.args, "n");
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, c.err);
    expect_sources_intact();
  }
  ::chmod(path("locked").c_str(), 0700);
  ::chmod(path("secret").c_str(), 0600);
  EXPECT_EQ(read_file(path("secret")), Bytes({'d', 'a', 't', 'a'}));
#endif
}

/// The lines kelm draws for a stream of unknown length: after each chunk,
/// then the last again where it ends on a chunk's end, then the final line.
std::string stream_progress(std::uint64_t payload, std::uint64_t start) {
  std::string lines;
  std::uint64_t position = 0;
  do {
    position = std::min<std::uint64_t>(position + CHUNK_SIZE, payload);
    if (position != 0) lines += "\r completed " + std::to_string(start + position) + " B";
  } while (position < payload);
  if (payload % CHUNK_SIZE == 0) lines += "\r completed " + std::to_string(start + payload) + " B";
  return lines + "\r completed " + std::to_string(start + payload) + " B\n";
}

TEST_F(CliTest, RoundTripsAcrossChunkBoundaries) {
  // File to file, and standard input to standard output, whose progress goes
  // to standard error in the form for a length not known in advance.
  const struct {
    std::size_t size;
    bool piped;
  } kCases[] = {{1, false},         {999'999, false}, {1'000'000, false}, {1'000'001, false},
                {2'500'000, false}, {1, true},        {999'999, true},    {1'000'000, true},
                {1'000'001, true},  {8'000'001, true}};
  // Runs `mode` on `from`, through pipes or files, and takes what it wrote.
  const auto run = [this](bool piped, const std::string& mode, const Bytes& from, Bytes& to) {
    testing::Launch launch;
    launch.input_piped = launch.output_piped = piped;
    if (piped) launch.input = std::string(from.begin(), from.end());
    write_file(path("from"), from);
    std::remove(path("to").c_str());
    const testing::Outcome outcome = testing::run_binary(
        {mode, piped ? "-" : "from", piped ? "-" : "to", "key"}, dir_.string(), launch);
    to = piped ? Bytes(outcome.out.begin(), outcome.out.end())
               : read_file(path("to")).value_or(Bytes());
    return outcome;
  };
  for (const auto& c : kCases) {
    if (c.piped && !kPosix) continue;
    SCOPED_TRACE(::testing::Message() << c.size << (c.piped ? " B, piped" : " B, in files"));
    const Bytes plain = testing::pattern(c.size, 9);
    Bytes sealed;
    testing::Outcome outcome = run(c.piped, "encrypt", plain, sealed);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const std::string total = std::to_string(c.size);
    if (c.piped) {
      EXPECT_EQ(outcome.err, kKeyLine + stream_progress(c.size, 0));
    } else {
      EXPECT_TRUE(
          outcome.out.ends_with("\r completed 100% " + total + " out of " + total + " B\n"));
    }
    ASSERT_FALSE(sealed.empty());
    Bytes expected = reference::transform_payload(key_, true, plain, sealed[0], CHUNK_SIZE);
    expected.insert(expected.begin(), sealed[0]);
    EXPECT_TRUE(sealed == expected);
    // Back file to file, and the way it came.
    Bytes opened;
    ASSERT_EQ(run(false, "decrypt", sealed, opened).status, 0);
    EXPECT_TRUE(opened == plain);
    if (!c.piped) continue;
    outcome = run(true, "decrypt", sealed, opened);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, kKeyLine + stream_progress(c.size, 1));
    EXPECT_TRUE(opened == plain);
  }
}

TEST_F(CliTest, NewOutputTakesTheInputPermissionsExistingOneKeepsItsOwn) {
  namespace fs = std::filesystem;
#ifndef _WIN32
  const mode_t old_umask = ::umask(022);
#endif
  const struct {
    const char* name;
    unsigned input;
    std::optional<unsigned> existing_output;
    unsigned expected;
    bool posix_only = false;  // Windows keeps no bits but the owner's write
  } kCases[] = {
      {"private input", 0600, {}, 0600},
      {"read-only input", 0400, {}, 0400},
      {"shared input, umask applies", 0666, {}, 0644, true},
      {"set-id bits are not copied", 04755, {}, 0755, true},
      {"existing output keeps its mode", 0600, 0664, 0664},
      {"existing output stays writable", 0400, 0600, 0600},
  };
  for (const auto& c : kCases) {
    if (c.posix_only && !kPosix) continue;
    SCOPED_TRACE(c.name);
    std::remove(path("out").c_str());
    fs::permissions(path("in"), fs::perms(c.input));
    if (c.existing_output) {
      write_file(path("out"), "old");
      fs::permissions(path("out"), fs::perms(*c.existing_output));
    }
    ASSERT_EQ(kelm({"encrypt", "in", "out", "key"}, "Y").status, 0);
    expect_output(After::kSealed);
    const fs::perms bits = kPosix ? fs::perms::mask : fs::perms::owner_write;
    EXPECT_EQ(fs::status(path("out")).permissions() & bits, fs::perms(c.expected) & bits);
    // Windows removes no read-only file.
    fs::permissions(path("out"), fs::perms::owner_write, fs::perm_options::add);
  }
  fs::permissions(path("in"), fs::perms::owner_write, fs::perm_options::add);
#ifndef _WIN32
  ::umask(old_umask);
#endif
}

TEST_F(CliTest, AnswersHelpAndVersionAlone) {
  const testing::Outcome help = kelm({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: kelm <encrypt|decrypt> inputfile outputfile keyfile\n"));
  EXPECT_NE(help.out.find("man kelm"), std::string::npos);
  EXPECT_EQ(help.err, "");
  const testing::Outcome version = kelm({"--version"});
  EXPECT_EQ(version.status, 0);
  const std::string number = version.out.substr(5, version.out.size() - 6);
  EXPECT_TRUE(version.out.starts_with("kelm ") && version.out.ends_with("\n") && !number.empty() &&
              number.find_first_not_of("0123456789.") == std::string::npos)
      << version.out;
  EXPECT_EQ(version.err, "");
  // Only the lone words are new; anything else is a usage error as before.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help", "in"}, {"--version", "in", "out", "key"}, {"-h"}}) {
    const testing::Outcome outcome = kelm(args);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, args.size() == 4 ? kMode : kUsage);
  }
}

/// `path` as the system takes it beyond 260 characters.
std::filesystem::path beyond_max_path(const std::filesystem::path& path) {
#ifdef _WIN32
  return L"\\\\?\\" + std::filesystem::path(path).make_preferred().wstring();
#else
  return path;
#endif
}

TEST_F(CliTest, NamesInAnyScriptAndOfAnyLengthRoundTrip) {
  namespace fs = std::filesystem;
  const auto utf8 = [](std::u8string_view text) { return std::string(text.begin(), text.end()); };
  // Ten folders of 30 characters: a path of over 300 characters.
  std::u8string folders;
  for (int i = 0; i < 10; ++i) folders += std::u8string(30, u8'd') + u8"/";
  const std::u8string plain = u8"\u00fc-\u540d\u524d.txt";
  const std::u8string sealed = folders + u8"\u00fc-\u540d\u524d.kelm";
  ASSERT_TRUE(fs::create_directories(beyond_max_path(dir_ / fs::path(folders))));
  {
    std::ofstream file(dir_ / fs::path(plain), std::ios::binary);
    file.write(reinterpret_cast<const char*>(input_.data()),
               static_cast<std::streamsize>(input_.size()));
  }
  const testing::Outcome encrypted = kelm({"encrypt", utf8(plain), utf8(sealed), "key"});
  EXPECT_EQ(encrypted.status, 0) << encrypted.err;
  EXPECT_EQ(fs::file_size(beyond_max_path(dir_ / fs::path(sealed))), input_.size() + 1);
  // The name in a message is the one given, byte for byte.
  const testing::Outcome asked = kelm({"decrypt", utf8(sealed), utf8(plain), "key"}, "n");
  EXPECT_EQ(asked.status, 3);
  EXPECT_EQ(asked.err, prompt(utf8(plain)));
  const testing::Outcome decrypted = kelm({"decrypt", utf8(sealed), utf8(plain), "key"}, "Y");
  EXPECT_EQ(decrypted.status, 0) << decrypted.err;
  std::ifstream file(dir_ / fs::path(plain), std::ios::binary);
  EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()) ==
              input_);
  const testing::Outcome refused = kelm({"encrypt", utf8(plain), utf8(plain), "key"});
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err, same_file(utf8(plain)));
}

TEST_F(CliTest, OutputSwappedWhileAskingIsNotTouched) {
  // The question is a natural pause: whatever takes the output's place
  // meanwhile is not the file the user agreed to replace.
  // Wine replaces no file that is open, as kelm holds it, and keeps a removed
  // file that is open under its name and opens it again.
  if (!kPosix) GTEST_SKIP() << "Wine keeps the file kelm holds in place";
  const struct {
    const char* name;
    void (*swap)(const std::string& dir);
  } kCases[] = {
      {"a symbolic link to another file",
       [](const std::string& d) {
         std::remove((d + "/out").c_str());
         make_symlink("victim", d + "/out");
       }},
      {"another plain file, renamed over it",
       [](const std::string& d) {
         write_file(d + "/new", "new");
         std::filesystem::rename(d + "/new", d + "/out");
       }},
      {"a dangling symbolic link",
       [](const std::string& d) {
         std::remove((d + "/out").c_str());
         make_symlink("nowhere", d + "/out");
       }},
      // On ext4 a file made just after another is removed often gets the
      // same inode number, so device and inode alone would pass it.
      {"another plain file, made anew under the name",
       [](const std::string& d) {
         std::remove((d + "/out").c_str());
         write_file(d + "/out", "new");
       }},
      // Opening a FIFO for writing would wait for a reader forever.
      {"a FIFO",
       [](const std::string& d) {
         std::remove((d + "/out").c_str());
         make_fifo(d + "/out");
       }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    write_file(path("out"), "old");
    write_file(path("victim"), "victim");
    testing::Launch launch;
    launch.input = "Y\n";
    const std::string dir = dir_.string();
    launch.before_answer = [&] { c.swap(dir); };
    const testing::Outcome outcome =
        testing::run_binary({"encrypt", "in", "out", "key"}, dir, launch);
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, prompt("out") + "Error: could not open output file out\n");
    EXPECT_EQ(read_file(path("victim")), Bytes({'v', 'i', 'c', 't', 'i', 'm'}));
    EXPECT_FALSE(read_file(path("nowhere")));
    if (std::string(c.name).starts_with("another plain file")) {
      EXPECT_EQ(read_file(path("out")), Bytes({'n', 'e', 'w'}));
    }
    expect_sources_intact();
  }
}

TEST_F(CliTest, ExistingOutputIsHeldOpenThroughTheQuestion) {
#ifdef _WIN32
  GTEST_SKIP() << "no /proc to look into";
#else
  if (!std::filesystem::exists("/proc/self/fd")) GTEST_SKIP() << "no /proc to look into";
  // Held open, the file asked about cannot be replaced by another that
  // happens to get its inode number.
  write_file(path("out"), "old");
  struct stat output {};
  ASSERT_EQ(::stat(path("out").c_str(), &output), 0);
  pid_t kelm_pid = -1;
  bool held = false;
  testing::Launch launch;
  launch.input = "n\n";
  launch.while_running = [&](pid_t pid) { kelm_pid = pid; };
  launch.before_answer = [&] {
    const std::string fds = "/proc/" + std::to_string(kelm_pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds)) {
      struct stat open {};
      held = held || (::stat(entry.path().c_str(), &open) == 0 && open.st_dev == output.st_dev &&
                      open.st_ino == output.st_ino);
    }
  };
  const testing::Outcome outcome =
      testing::run_binary({"encrypt", "in", "out", "key"}, dir_.string(), launch);
  EXPECT_EQ(outcome.status, 3);
  EXPECT_TRUE(held);
  expect_output(After::kUnchanged);
#endif
}

TEST_F(CliTest, RunsWithEveryStandardStreamClosed) {
#ifdef _WIN32
  GTEST_SKIP() << "descriptors 0 to 2 are not handed out anew there";
#else
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::vector<int> closed;
    int status;
    std::string err;
  } kCases[] = {
      // clang-format off
      // Unfilled, they would be given to the input and output files, and the
      // output would be refused as standard output.
      {"files, standard output and error closed", {"encrypt", "in", "out", "key"}, {1, 2}, 0, ""},
      // What kelm puts in their place is no file to read or write data.
      {"output -, standard output closed", {"encrypt", "in", "-", "key"}, {1}, 3,
       "Error: could not open output file -\n"},
      {"input -, standard input closed", {"encrypt", "-", "out", "key"}, {0}, 3,
       "Error: could not open input file -\n"},
      // clang-format on
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::remove(path("out").c_str());
    testing::Launch launch;
    launch.input = "";
    launch.before_exec = [&c] {
      for (const int fd : c.closed) ::close(fd);
    };
    const testing::Outcome outcome = testing::run_binary(c.args, dir_.string(), launch);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.err, c.err);
    if (c.status != 0) continue;
    ASSERT_EQ(kelm({"decrypt", "out", "opened", "key"}).status, 0);
    EXPECT_EQ(read_file(path("opened")), input_);
  }
#endif
}

TEST_F(CliTest, ConsoleStreamsAreNeitherOutputNorAnswer) {
  write_file(path("out"), "old");
  write_file(path("yes"), "Yes, replace it");
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> stdin_file;
    std::optional<std::string> stdout_file;
    std::string err;           // the output named as standard output, or "": asked
    bool posix_only = false;   // names under /dev
    bool closed_pipe = false;  // standard output a pipe nobody reads
  } kCases[] = {
      // clang-format off
      // Progress text would land in the data.
      {"output is standard output", {"encrypt", "in", "out", "key"}, {}, "out", "out"},
      {"output is /dev/stdout", {"encrypt", "in", "/dev/stdout", "key"}, {}, "out", "/dev/stdout",
       true},
      {"output is standard output, a pipe", {"encrypt", "in", "/dev/stdout", "key"}, {}, {},
       "/dev/stdout", true, true},
      {"output is /dev/stderr", {"decrypt", "in", "/dev/stderr", "key"}, {}, {}, "/dev/stderr",
       true},
      // The answer would be read from the data: no answer is read at all.
      {"standard input is the input", {"encrypt", "/dev/stdin", "out", "key"}, "yes", {}, "", true},
      {"standard input is the output", {"encrypt", "in", "out", "key"}, "out", {}, ""},
      {"standard input is the key", {"encrypt", "in", "out", "/dev/stdin"}, "key", {}, "", true},
      // clang-format on
  };
  for (const auto& c : kCases) {
    if (c.posix_only && !kPosix) continue;
    SCOPED_TRACE(c.name);
    if (c.stdin_file == std::string("out")) write_file(path("out"), "Yold");
    const Bytes before = *read_file(path("out"));
    testing::Launch launch;
    if (c.stdin_file) launch.input_file = path(*c.stdin_file);
    if (c.stdout_file) launch.output_file = path(*c.stdout_file);
    launch.output_to_closed_pipe = c.closed_pipe;
    const testing::Outcome outcome = testing::run_binary(c.args, dir_.string(), launch);
    EXPECT_EQ(outcome.status, 3);
    const std::string expected_err =
        c.err.empty() ? prompt(c.args[2])
                      : "Error: output file " + c.err +
                            " is the same file as standard output or standard error\n";
    EXPECT_EQ(outcome.err, expected_err);
    EXPECT_EQ(read_file(path("out")), before);
    expect_sources_intact();
  }
#ifdef _WIN32
  {
    // Two handles on one pipe, as "2>&1 |" gives: the progress would land in the data.
    SCOPED_TRACE("output is standard output, a pipe standard error shares");
    testing::Launch launch;
    launch.errors_into_output_pipe = true;
    const testing::Outcome outcome =
        testing::run_binary({"encrypt", "in", "-", "key"}, dir_.string(), launch);
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.out,
              "Error: output file - is the same file as standard output or standard error\n");
  }
#endif
}

TEST_F(CliTest, ADeviceServesAsOutput) {
  // A device takes the output as it is, after the question.
  ASSERT_EQ(kelm({"encrypt", "in", "sealed", "key"}).status, 0);
  const testing::Outcome outcome = kelm({"decrypt", "sealed", kNullDevice, "key"}, "Y");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, prompt(kNullDevice));
}

TEST_F(CliTest, SignalsDoNotEndARunUnseen) {
  input_ = testing::pattern(2'500'000, 4);
  write_file(path("in"), input_);
  {
    SCOPED_TRACE("progress into a pipe nobody reads");
    testing::Launch launch;
    launch.output_to_closed_pipe = true;
    const testing::Outcome outcome =
        testing::run_binary({"encrypt", "in", "sealed", "key"}, dir_.string(), launch);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    ASSERT_EQ(kelm({"decrypt", "sealed", "opened", "key"}).status, 0);
    EXPECT_TRUE(read_file(path("opened")) == input_);
  }
  if (!kPosix) return;  // no limit on the size of a file there
  for (const std::string mode : {"encrypt", "decrypt"}) {
    SCOPED_TRACE("a file-size limit, " + mode);
    std::remove(path("out").c_str());
    testing::Launch launch;
    launch.file_size_limit = 1'234'567;
    const testing::Outcome outcome = testing::run_binary(
        {mode, mode == "encrypt" ? "in" : "sealed", "out", "key"}, dir_.string(), launch);
    EXPECT_EQ(outcome.status, 3);
    EXPECT_EQ(outcome.err, "Error: could not write output file out\n");
    // Whatever was written is a correct beginning of the whole.
    const Bytes written = *read_file(path("out"));
    EXPECT_LE(written.size(), 1'234'567u);
    if (mode == "encrypt") {
      std::rename(path("out").c_str(), path("part").c_str());
      ASSERT_EQ(kelm({"decrypt", "part", "out", "key"}).status, 0);
      const Bytes opened = *read_file(path("out"));
      EXPECT_TRUE(std::equal(opened.begin(), opened.end(), input_.begin()));
    } else {
      EXPECT_TRUE(std::equal(written.begin(), written.end(), input_.begin()));
    }
  }
}

TEST_F(CliTest, AnInterruptedRunLeavesACorrectPrefixAndEndsByItsSignal) {
  // Four jobs of 17 chunks side by side: the first tiles of every lane of
  // a job are written long before its first chunk is whole, and the last
  // two jobs wait for the first two.
  input_ = testing::pattern(65 * 1'000'000 + 17, 5);
  write_file(path("in"), input_);
  // Every signal from outside whose default action ends a process, and
  // that can be caught; on Windows, Ctrl-Break.
  const struct {
    const char* name;
    int signal;
    bool ignored;  // ignored when kelm started, as in a background job
  } kSignals[] = {
#ifdef _WIN32
      {"Ctrl-Break", 0, false},
#else
      {"Ctrl-C", SIGINT, false},
      {"kill", SIGTERM, false},
      {"a terminal that closed", SIGHUP, false},
      {"Ctrl-\\", SIGQUIT, false},  // would dump core by default
      {"Ctrl-C in a background job", SIGINT, true},
      {"SIGUSR1", SIGUSR1, false},
      {"SIGUSR2", SIGUSR2, false},
      {"an alarm", SIGALRM, false},
      {"a virtual timer", SIGVTALRM, false},
      {"a profiling timer", SIGPROF, false},
      {"a processor time limit", SIGXCPU, false},  // would dump core by default
#ifdef __linux__
      {"SIGIO", SIGIO, false},
      {"SIGSTKFLT", SIGSTKFLT, false},
      {"a power failure", SIGPWR, false},
      {"the first real-time signal", SIGRTMIN, false},
      {"the last real-time signal", SIGRTMAX, false},
#endif
#endif
  };
  // Where kelm is when the signal comes: in the middle of a run, or in a
  // wait that lasts until the signal. Every signal goes to the first row;
  // the first four to every row.
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::size_t> output_room{};  // standard output a pipe that fills
    const char* held_input = nullptr;          // standard input a pipe held open
    bool key_held = false;                     // the key fed through the key FIFO, held open
    std::string err{};                         // what kelm said before the signal
  } kWaits[] = {
      // The first progress line waits for a reader, with the first tiles of
      // every chunk out: a signal left at its default action leaves holes.
      {.name = "mid-run",
       .args = {"encrypt", "in", "out", "key"},
       .output_room = std::strlen(kKeyLine)},
#ifndef _WIN32
      {.name = "for more of a pipe input",
       .args = {"encrypt", "-", "out", "key"},
       .held_input = "a beginning"},
      {.name = "for a reader of the output pipe",
       .args = {"encrypt", "in", "-", "key"},
       .output_room = 4096,
       .err = kKeyLine},
      {.name = "for the writer of a FIFO input", .args = {"encrypt", "fifo", "out", "key"}},
      {.name = "for the writer of a key FIFO", .args = {"encrypt", "in", "out", "key fifo"}},
      {.name = "for the end of a key FIFO",
       .args = {"encrypt", "in", "out", "key fifo"},
       .key_held = true},
      {.name = "for the reader of a FIFO output",
       .args = {"encrypt", "in", "out fifo", "key"},
       .err = prompt("out fifo")},
#endif
  };
#ifndef _WIN32
  for (const char* fifo : {"fifo", "key fifo", "out fifo"}) {
    ASSERT_EQ(::mkfifo(path(fifo).c_str(), 0600), 0);
  }
#endif
  // qemu-user keeps the last real-time signals for itself, and says on its
  // own when its guest ends by a signal that would dump core.
  const bool emulated = !std::string(KELM_LAUNCHER).empty();
  std::size_t cut_short = 0;  // mid-run rows that left less than the whole
  for (const auto& wait : kWaits) {
    const bool mid_run = &wait == &kWaits[0];
    // The worker that waits for the one drawing would never take the signal.
    if (mid_run && KELM_THREAD_SANITIZED) continue;
    for (const auto& c : kSignals) {
#ifdef __linux__
      if (emulated && c.signal > SIGRTMIN) continue;
#endif
      if (!mid_run && &c - kSignals >= 4) break;
      SCOPED_TRACE(std::string(wait.name) + ", " + c.name);
      std::remove(path("out").c_str());
      testing::Launch launch;
      launch.interrupts_ignored = c.ignored;
      // A background job runs to its end, with its progress taken.
      if (!c.ignored) launch.output_room = wait.output_room;
      launch.input_held = wait.held_input != nullptr;
      launch.input = wait.held_input != nullptr ? wait.held_input : "Y\n";
#ifndef _WIN32
      // Linux opens a FIFO for both ends at once, without waiting.
      const int key_writer = wait.key_held ? ::open(path("key fifo").c_str(), O_RDWR) : -1;
      if (key_writer >= 0) {
        ASSERT_EQ(::write(key_writer, key_.data(), key_.size()), 16);
      }
#endif
      bool sent = false;
      launch.while_running = [&](pid_t pid) {
#ifdef _WIN32
        // No pipe holds it mid-run there: it is caught once its output has begun.
        std::error_code error;
        while (std::filesystem::file_size(path("out"), error) <= 1 || error) {
          if (testing::wait_for_end(pid, std::chrono::seconds(0))) break;
        }
#else
        testing::wait_until_asleep(pid);
#endif
        sent = interrupt(pid, c.signal);
      };
      const testing::Outcome outcome = testing::run_binary(wait.args, dir_.string(), launch);
#ifndef _WIN32
      if (key_writer >= 0) ::close(key_writer);
#endif
      if (!sent) GTEST_SKIP() << kNoConsoleEvents;
      if (!emulated) {
        EXPECT_EQ(outcome.err, c.ignored ? outcome.err : wait.err);
      }
      if (c.ignored) {
        EXPECT_EQ(outcome.status, 0);
        continue;
      }
      // Killed by the signal itself, not an exit with 128 + its number.
      EXPECT_EQ(outcome.signal, c.signal);
      EXPECT_EQ(outcome.status, kPosix ? 128 + c.signal : kInterrupted);
      EXPECT_FALSE(outcome.core_dumped);
      // What is left decrypts to a beginning of the input: no hole, and
      // nothing out of place.
      const Bytes left = read_file(path("out")).value_or(Bytes());
      // Short of the whole: a run that let the signal wait for its jobs to
      // end would leave it all, as may a worker the system held back while
      // the other did the rest, now and then.
      ASSERT_LE(left.size(), input_.size() + 1);
      if (mid_run && left.size() <= input_.size()) ++cut_short;
      if (left.empty()) continue;
      std::rename(path("out").c_str(), path("part").c_str());
      ASSERT_EQ(kelm({"decrypt", "part", "opened", "key"}).status, 0);
      const Bytes opened = read_file(path("opened")).value_or(Bytes());
      const std::string_view held = wait.held_input != nullptr ? wait.held_input : "";
      const Bytes fed(held.begin(), held.end());
      const Bytes& source = wait.held_input != nullptr ? fed : input_;
      EXPECT_TRUE(opened.size() <= source.size() &&
                  std::equal(opened.begin(), opened.end(), source.begin()));
      std::remove(path("opened").c_str());
    }
  }
  EXPECT_TRUE(cut_short > 0 || KELM_THREAD_SANITIZED);
}

TEST_F(CliTest, CtrlCAtTheQuestionEndsTheWaitAtOnce) {
  write_file(path("out"), "old");
  pid_t kelm_pid = -1;
  bool ended = false;
  testing::Launch launch;
  launch.input = "Y\n";  // written only after kelm has ended, if it does
  launch.while_running = [&](pid_t pid) { kelm_pid = pid; };
  bool sent = false;
  launch.before_answer = [&] {
    sent = interrupt(kelm_pid);
    ended = sent && testing::wait_for_end(kelm_pid);
  };
  const testing::Outcome outcome =
      testing::run_binary({"encrypt", "in", "out", "key"}, dir_.string(), launch);
  if (!sent) GTEST_SKIP() << kNoConsoleEvents;
  EXPECT_TRUE(ended);
  EXPECT_EQ(outcome.status, kInterrupted);
  EXPECT_EQ(outcome.err, prompt("out"));
  expect_output(After::kUnchanged);
}

TEST_F(CliTest, NoCoreDumpHoldsTheKey) {
  // Under an emulator the dump would be the emulator's own.
  if (!std::string(KELM_LAUNCHER).empty()) GTEST_SKIP() << "runs under an emulator";
#ifdef _WIN32
  GTEST_SKIP() << "no core dumps; Windows Error Reporting's are an administrator's setting";
#else
  input_ = testing::pattern(31 * 1'000'000, 6);
  write_file(path("in"), input_);
  testing::Launch launch;
  launch.core_dumps = true;
  launch.output_room = std::strlen(kKeyLine);  // held mid-run by its first progress line
  launch.while_running = [&](pid_t pid) {
    testing::wait_until_asleep(pid);
    // Not caught (SIGQUIT is, and wipes first): the process dies mid-run.
    ::kill(pid, SIGABRT);
  };
  const testing::Outcome outcome =
      testing::run_binary({"encrypt", "in", "out", "key"}, dir_.string(), launch);
  EXPECT_EQ(outcome.signal, SIGABRT);
  EXPECT_FALSE(outcome.core_dumped);
  // Nor any file a core handler may have left in the folder.
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    if (!entry.path().filename().string().starts_with("core")) continue;
    const Bytes dump = *read_file(entry.path().string());
    EXPECT_TRUE(std::search(dump.begin(), dump.end(), key_.begin(), key_.end()) == dump.end())
        << entry.path();
  }
#endif
}

TEST_F(CliTest, MidRunEveryThreadsStackIsLockedAndLeftOutOfDumps) {
#if !KELM_LINUX_EXTRAS
  GTEST_SKIP() << "no /proc to look into, nor memory left out of dumps";
#else
  if (!std::string(KELM_LAUNCHER).empty()) GTEST_SKIP() << "the emulator's mappings, not kelm's";
  // kelm forbids dumps, which makes its memory map root's alone to read.
  if (::geteuid() != 0) GTEST_SKIP() << "only root may look into kelm's memory map";
  // Four jobs: the helper waits for the calling thread's first progress
  // line with a job of its own in hand.
  input_ = testing::pattern(65 * 1'000'000, 9);
  write_file(path("in"), input_);
  // For each thread, the flags of the mapping that holds its stack pointer
  // while the run is stopped: key bytes pass through both threads' frames.
  std::map<std::string, std::string> flags;
  std::string calling;
  testing::Launch launch;
  launch.output_room = std::strlen(kKeyLine);  // held mid-run by its first progress line
  launch.while_running = [&](pid_t pid) {
    calling = std::to_string(pid);
    testing::wait_until_asleep(pid);
    ::kill(pid, SIGSTOP);
    const std::string proc = "/proc/" + calling;
    // A thread's syscall file ends "SP PC" once the thread has stopped.
    for (int tries = 0; tries < 1000 && flags.empty(); ++tries) {
      for (const auto& task : std::filesystem::directory_iterator(proc + "/task")) {
        std::ifstream syscall(task.path() / "syscall");
        const std::vector<std::string> words{std::istream_iterator<std::string>(syscall), {}};
        if (words.size() < 3) {
          flags.clear();
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          break;
        }
        const auto sp = static_cast<std::uintptr_t>(std::stoull(words.end()[-2], nullptr, 16));
        flags[task.path().filename().string()] =
            testing::mapping_flags(reinterpret_cast<const void*>(sp), proc + "/smaps").value_or("");
      }
    }
    ::kill(pid, SIGCONT);
    ::kill(pid, SIGKILL);  // its progress line would wait for ever
  };
  const testing::Outcome outcome =
      testing::run_binary({"encrypt", "in", "out", "key"}, dir_.string(), launch);
  EXPECT_EQ(outcome.signal, SIGKILL);
  ASSERT_TRUE(flags.contains(calling)) << "kelm was not seen stopped mid-run";
  // A sanitizer's runtime may run threads of its own, and makes mlock do
  // nothing.
#if KELM_SANITIZED
  EXPECT_NE(flags[calling].find(" dd"), std::string::npos) << flags[calling];
#else
  EXPECT_EQ(flags.size(), 2u) << "the calling thread and the helper";
  for (const auto& [thread, mapping] : flags) {
    EXPECT_NE(mapping.find(" dd"), std::string::npos) << thread << ":" << mapping;
    EXPECT_NE(mapping.find(" lo"), std::string::npos) << thread << ":" << mapping;
  }
#endif
#endif
}

TEST_F(CliTest, MemoryShortAtAnyStepEndsWithItsMessage) {
  // A sanitizer's runtime reserves far more address space than kelm needs.
  if (KELM_SANITIZED || !std::string(KELM_LAUNCHER).empty()) {
    GTEST_SKIP() << "the sanitizer or the emulator needs the address space itself";
  }
#ifdef _WIN32
  GTEST_SKIP() << "no limit on a process's address space to set";
#else
  input_ = testing::pattern(2'500'000, 7);
  write_file(path("in"), input_);
  // From too little to load the C library to enough for the whole run, so
  // that memory runs out at every step, the first exception included.
  for (std::uint64_t limit = 2'000'000; limit <= 12'000'000; limit += 200'000) {
    SCOPED_TRACE(limit);
    std::remove(path("out").c_str());
    testing::Launch launch;
    launch.address_space_limit = limit;
    const testing::Outcome outcome =
        testing::run_binary({"encrypt", "in", "out", "key"}, dir_.string(), launch);
    if (outcome.status == 127) continue;  // the loader gave up before kelm ran
    if (outcome.status == 0) {
      expect_output(After::kSealed);
      continue;
    }
    // Either message for memory that ran out, with its status.
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(outcome.err == "Error: malloc buffer failed.\n" ||
                outcome.err == "Error: key malloc failed for keysize 16\n")
        << outcome.err;
  }
#endif
}

}  // namespace
}  // namespace kelm
