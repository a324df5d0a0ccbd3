// The run of one kelm command, as a list of guarded steps. Each step either
// succeeds or hands back a Failure; only run() turns that into an exit status.
#include "driver.h"

#include <new>
#include <optional>

#include "failure.h"
#include "file_io.h"
#include "kelm.h"
#include "kernels/kernels.h"
#include "key.h"
#include "stream.h"
#include "system.h"

namespace kelm {

namespace {

enum class Mode { kEncrypt, kDecrypt };

struct Arguments {
  Mode mode = Mode::kEncrypt;
  std::string input;
  std::string output;
  std::string key;
};

Failure cannot_open_input(const std::string& name) {
  return {STATUS_FILE, "Error: could not open input file " + name + "\n"};
}
Failure cannot_read_input(const std::string& name) {
  return {STATUS_FILE, "Error: could not read input file " + name + "\n"};
}
Failure cannot_open_output(const std::string& name) {
  return {STATUS_FILE, "Error: could not open output file " + name + "\n"};
}
Failure cannot_write_output(const std::string& name) {
  return {STATUS_FILE, "Error: could not write output file " + name + "\n"};
}
Failure output_is_source(const std::string& name) {
  return {STATUS_FILE,
          "Error: output file " + name + " is the same file as the input or key file\n"};
}
Failure output_is_console(const std::string& name) {
  return {STATUS_FILE, "Error: output file " + name +
                           " is the same file as standard output or standard error\n"};
}

const char kNoMemory[] = "Error: malloc buffer failed.\n";

#ifndef KELM_VERSION
#define KELM_VERSION "unknown"
#endif

const char kHelp[] =
    "Usage: kelm <encrypt|decrypt> inputfile outputfile keyfile\n"
    "\n"
    "Encrypts inputfile into outputfile, or decrypts it back, with the key in\n"
    "keyfile: a file of 16, 32, 64 or 128 bytes whose raw bytes are the key.\n"
    "Asks before it replaces an existing outputfile.\n"
    "\n"
    "Exit status:\n"
    "  0  the file was encrypted or decrypted\n"
    "  1  wrong arguments, or the key file cannot be loaded\n"
    "  2  the input file is empty, or memory ran out\n"
    "  3  the input or output cannot be used, or the overwrite was not confirmed\n"
    "  4  the key length is unusable\n"
    "\n"
    "  kelm --help     shows this text\n"
    "  kelm --version  shows the version\n"
    "\n"
    "The manual page tells the rest: man kelm\n";

const char kVersion[] = "kelm " KELM_VERSION "\n";

/// The text for a lone --help or --version, or nothing for a real run.
const char* information_asked(std::span<const std::string> args) {
  if (args.size() != 1) return nullptr;
  if (args[0] == "--help") return kHelp;
  if (args[0] == "--version") return kVersion;
  return nullptr;
}

bool same_as(const std::optional<FileInfo>& a, const FileInfo& b) { return a && same_file(*a, b); }

std::optional<Failure> parse_arguments(std::span<const std::string> args, Arguments& parsed) {
  if (args.size() != 4) {
    return Failure{STATUS_USAGE,
                   "Error: kelm requires 4 arguments\n"
                   " kelm <encrypt or decrypt> inputfile outputfile keyfile\n"};
  }
  if (args[0] == "encrypt") {
    parsed.mode = Mode::kEncrypt;
  } else if (args[0] == "decrypt") {
    parsed.mode = Mode::kDecrypt;
  } else {
    return Failure{STATUS_USAGE, "Error: check arguments, must choose encrypt or decrypt\n"};
  }
  parsed.input = args[1];
  parsed.output = args[2];
  parsed.key = args[3];
  return std::nullopt;
}

/// White space as the C locale has it: what is skipped before an answer.
bool is_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/// The percent a progress line shows: position / payload * 100 in double
/// precision, truncated, in 16 bits; 0 for an empty payload. The position
/// is at most the payload plus the seed byte, so it never passes 200.
std::uint16_t shown_percent(std::uint64_t position, std::uint64_t payload) {
  if (payload == 0) return 0;
  const double exact = static_cast<double>(position) / static_cast<double>(payload) * 100.0;
  return static_cast<std::uint16_t>(static_cast<std::uint64_t>(exact));
}

/// Writes one progress line.
void draw_progress(TextOut& out, std::uint64_t position, std::uint64_t payload) {
  out << "\r completed " << shown_percent(position, payload) << "% " << position << " out of "
      << payload << " B";
  out.flush();
}

/// Everything one run holds, from the open input to the loaded key.
class Run {
 public:
  Run(Console console, const Clock& clock, const Seams& seams)
      : console_(console), clock_(clock), seams_(seams), files_(*seams.files) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  std::optional<Failure> execute(std::span<const std::string> args);

 private:
  std::optional<Failure> open_input();
  std::optional<Failure> confirm_output();
  bool answer_is_yes();
  std::optional<Failure> open_output();
  std::optional<Failure> check_opened_output(int fd);
  std::optional<Failure> measure_input();
  std::optional<Failure> exchange_seed();
  std::optional<Failure> process_chunks();
  std::optional<Failure> finish();
  bool is_input_or_key(const FileInfo& info) const;

  Console console_;
  const Clock& clock_;
  const Seams& seams_;
  FileAccess& files_;
  Arguments args_;
  UniqueFd input_;
  FileInfo input_info_;
  std::optional<FileInfo> key_info_;
  std::optional<FileInfo> probed_output_;  // the existing output the question is about
  UniqueFd existing_output_;  // that file, held open from before the question where it could be
  UniqueFd output_;
  bool output_seekable_ = false;
  CipherKey key_;
  std::uint8_t seed_ = 0;
  std::uint64_t payload_ = 0;
  std::uint64_t payload_start_ = 0;  // offset of the payload in the input
};

std::optional<Failure> Run::execute(std::span<const std::string> args) {
  if (const char* text = information_asked(args)) {
    console_.out << text;
    console_.out.flush();
    return std::nullopt;
  }
  if (auto failure = parse_arguments(args, args_)) return failure;
  if (auto failure = open_input()) return failure;
  if (auto failure = confirm_output()) return failure;
  if (auto failure = open_output()) return failure;
  if (auto failure = key_.load_key_file(args_.key, console_.out, files_, *seams_.pages)) {
    return failure;
  }
  seed_ = static_cast<std::uint8_t>(clock_());
  if (auto failure = measure_input()) return failure;
  if (auto failure = exchange_seed()) return failure;
  if (auto failure = process_chunks()) return failure;
  return finish();
}

std::optional<Failure> Run::open_input() {
  std::optional<UniqueFd> file = open_regular_file(args_.input, input_info_);
  if (!file) return cannot_open_input(args_.input);
  input_ = std::move(*file);
  advise_sequential(input_.get());
  return std::nullopt;
}

bool Run::is_input_or_key(const FileInfo& info) const {
  return same_file(info, input_info_) || (key_info_ && same_file(info, *key_info_));
}

/// Refuses an output that would destroy the input or the key, or mix with
/// the console's own text, and asks before replacing anything else that
/// exists. An output that does not exist yet is created later, exclusively.
std::optional<Failure> Run::confirm_output() {
  key_info_ = path_info(args_.key);

  // An existing output is held open from now on, neither created nor
  // emptied: it stays the very file asked about, and while it is open no
  // other file can take its device and inode.
  existing_output_ = open_output_file(args_.output, Create::kNo, 0);
  const std::optional<FileInfo> found =
      existing_output_.is_open() ? file_info(existing_output_.get()) : path_info(args_.output);
  if (!found) {
    existing_output_.reset();
    return std::nullopt;
  }
  const FileInfo& info = *found;
  if (info.kind == FileKind::kDirectory) return cannot_open_output(args_.output);
  if (is_input_or_key(info)) return output_is_source(args_.output);
  // A terminal or /dev/null may serve as both; a file or a pipe would take
  // progress text or the question in among the data.
  if ((info.kind == FileKind::kRegular || info.kind == FileKind::kFifo) &&
      (same_as(file_info(kStandardOutput), info) || same_as(file_info(kStandardError), info))) {
    return output_is_console(args_.output);
  }
  probed_output_ = info;

  console_.err << "Error: output file " << args_.output << " exists, overwrite? (Y/n): ";
  console_.err.flush();
  if (!answer_is_yes()) return Failure{STATUS_FILE, ""};
  return std::nullopt;
}

/// Reads the answer to the question. Standard input that is one of the
/// files of this run gives no answer: its bytes are data, not a reply.
bool Run::answer_is_yes() {
  const std::optional<FileInfo> in = file_info(kStandardInput);
  if (in && in->kind != FileKind::kDevice &&
      (is_input_or_key(*in) || (probed_output_ && same_file(*in, *probed_output_)))) {
    return false;
  }
  // The first byte that is not white space; the end of the input, or no
  // input at all, means no.
  std::optional<char> answer = console_.in.next();
  while (answer && is_white_space(*answer)) answer = console_.in.next();
  return answer == 'Y';
}

/// Opens the output without following anything planted since the question:
/// a new output is created exclusively, an existing one must still be the
/// file that was asked about, under its name. Nothing is emptied until
/// every check passed.
std::optional<Failure> Run::open_output() {
  UniqueFd file;
  if (probed_output_) {
    // One that could not be opened before the question (a FIFO without a
    // reader, say) gets one more try.
    file = existing_output_.is_open() ? std::move(existing_output_)
                                      : open_output_file(args_.output, Create::kNo, 0);
  } else {
    // A new file gets the input's permission bits (less set-id bits, then
    // the umask), so a private file's counterpart is not readable by others.
    file = open_output_file(args_.output, Create::kNew, input_info_.permissions);
  }
  if (!file.is_open()) return cannot_open_output(args_.output);
  if (auto failure = check_opened_output(file.get())) return failure;
  output_ = std::move(file);
  return std::nullopt;
}

/// True when `name` names the open file `fd` (following links, as the
/// question did).
bool names_file(const std::string& name, int fd) {
  const std::optional<FileInfo> named = path_info(name);
  const std::optional<FileInfo> opened = file_info(fd);
  return named && opened && same_file(*named, *opened);
}

/// Checks the opened output once more through its descriptor, then empties
/// it. An output this run created and then refuses is removed again.
std::optional<Failure> Run::check_opened_output(int fd) {
  const std::optional<FileInfo> opened = file_info(fd);
  if (!opened) return cannot_open_output(args_.output);
  const FileInfo& info = *opened;
  if (probed_output_ && (!same_file(info, *probed_output_) || !names_file(args_.output, fd))) {
    return cannot_open_output(args_.output);
  }
  // A key file that did not exist before may be the output just created.
  if (!key_info_) key_info_ = path_info(args_.key);
  if (is_input_or_key(info)) {
    // An output this run created and then refuses is removed again.
    if (!probed_output_) remove_if_same(args_.output, info);
    return output_is_source(args_.output);
  }
  output_seekable_ = info.kind == FileKind::kRegular;
  if (output_seekable_ && info.size != 0 && !empty_file(fd)) {
    return cannot_open_output(args_.output);
  }
  return std::nullopt;
}

std::optional<Failure> Run::measure_input() {
  const std::uint64_t length = input_info_.size;
  if (length == 0) return Failure{STATUS_RESOURCE, "Error: input file is empty.\n"};
  payload_ = args_.mode == Mode::kEncrypt ? length : length - 1;
  return std::nullopt;
}

/// Encryption writes the seed byte first; decryption reads it back.
std::optional<Failure> Run::exchange_seed() {
  if (args_.mode == Mode::kEncrypt) {
    if (!write_full(files_, output_.get(), &seed_, 1)) return cannot_write_output(args_.output);
    return std::nullopt;
  }
  if (read_full_at(files_, input_.get(), &seed_, 1, 0).count != 1) {
    return cannot_read_input(args_.input);
  }
  payload_start_ = 1;
  return std::nullopt;
}

/// Streams the payload, drawing the progress line after every chunk as if
/// each had been read, enciphered and written on its own.
std::optional<Failure> Run::process_chunks() {
  StreamPlan plan;
  plan.direction = args_.mode == Mode::kEncrypt ? Direction::kEncrypt : Direction::kDecrypt;
  plan.input = input_.get();
  plan.input_offset = payload_start_;
  plan.output = output_.get();
  plan.output_offset = args_.mode == Mode::kEncrypt ? 1 : 0;
  plan.output_seekable = output_seekable_;
  plan.payload = payload_;
  plan.stop_requested = [this] { return seams_.interrupted() != 0; };
  const kernels::Schedule& schedule = key_.schedule(seed_);
  const StreamEnd end =
      stream_payload(plan, schedule, files_, *seams_.pages, [this](std::uint64_t position) {
        draw_progress(console_.out, payload_start_ + position, payload_);
      });
  switch (end) {
    case StreamEnd::kDone: break;
    case StreamEnd::kReadFailed: return cannot_read_input(args_.input);
    case StreamEnd::kWriteFailed: return cannot_write_output(args_.output);
    case StreamEnd::kNoMemory: return Failure{STATUS_RESOURCE, kNoMemory};
    // The caller learns of the signal itself; nothing is said.
    case StreamEnd::kStopped: return Failure{STATUS_FILE, ""};
  }
  // A payload that ends on a chunk boundary: one more read finds nothing,
  // and it too is drawn.
  if (payload_ % CHUNK_SIZE == 0) draw_progress(console_.out, payload_start_ + payload_, payload_);
  return std::nullopt;
}

std::optional<Failure> Run::finish() {
  if (!close_file(files_, input_)) return cannot_read_input(args_.input);
  if (!close_file(files_, output_)) return cannot_write_output(args_.output);
  console_.out << "\r completed 100% " << payload_ << " out of " << payload_ << " B";
  console_.out.flush();
  console_.out << "\n";
  console_.out.flush();
  key_.wipe();
  return std::nullopt;
}

/// Runs the command; the run, with its key and buffers, is gone by the time
/// this returns, so every secret has been wiped before anything is reported.
std::optional<Failure> execute(std::span<const std::string> args, Console console,
                               const Clock& clock, const Seams& seams) {
  Run kelm_run(console, clock, seams);
  return kelm_run.execute(args);
}

}  // namespace

int report_no_memory(TextOut& err) {
  err.write_now(kNoMemory);  // a literal, written as it is: it needs no memory
  return STATUS_RESOURCE;
}

int run(std::span<const std::string> args, Console console, const Clock& clock,
        const Seams& seams) {
  std::optional<Failure> failure;
  bool out_of_memory = false;
  try {
    failure = execute(args, console, clock, seams);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  // Whatever went to standard output so far comes before the error; the
  // messages are written as they are, needing no more memory.
  console.out.flush();
  if (out_of_memory) {
    report_no_memory(console.err);
  } else if (failure) {
    console.err.write_now(failure->message);
  }
  if (const int signal = seams.interrupted()) return 128 + signal;
  if (out_of_memory) return STATUS_RESOURCE;
  return failure ? failure->status : STATUS_OK;
}

}  // namespace kelm
