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
#include "output.h"
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
Failure cannot_write_output(const std::string& name) {
  return {STATUS_FILE, "Error: could not write output file " + name + "\n"};
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

/// The percent a progress line shows: position / payload * 100 in double
/// precision, truncated, in 16 bits; 0 for an empty payload. The position
/// is at most the payload plus the seed byte, so it never passes 200.
std::uint16_t shown_percent(std::uint64_t position, std::uint64_t payload) {
  if (payload == 0) return 0;
  const double exact = static_cast<double>(position) / static_cast<double>(payload) * 100.0;
  return static_cast<std::uint16_t>(static_cast<std::uint64_t>(exact));
}

/// The progress line, redrawn in place after each chunk and ended by the
/// final line, on whichever stream the run's text goes to. A message on the
/// same stream while the line is drawn starts on a line of its own.
class ProgressLine {
 public:
  explicit ProgressLine(TextOut& out) : out_(&out) {}

  /// Where the key-size lines and the progress line go.
  TextOut& text() { return *out_; }
  /// Sends the text to `out` from now on.
  void move_to(TextOut& out) { out_ = &out; }

  /// Draws the line for `position`; with no length known in advance, the
  /// position alone.
  void draw(std::uint64_t position, std::uint64_t payload) {
    TextOut& out = *out_;
    out << "\r completed ";
    if (payload != UNKNOWN_LENGTH) out << shown_percent(position, payload) << "% ";
    out << position;
    if (payload != UNKNOWN_LENGTH) out << " out of " << payload;
    out << " B";
    out.flush();
    open_ = true;
  }

  /// Draws the final line and ends it.
  void finish(std::uint64_t position, std::uint64_t payload) {
    if (payload != UNKNOWN_LENGTH) {
      *out_ << "\r completed 100% " << payload << " out of " << payload << " B";
    } else {
      *out_ << "\r completed " << position << " B";
    }
    out_->flush();
    *out_ << "\n";
    out_->flush();
    open_ = false;
  }

  /// Ends a line still drawn on `err`, where a message is about to go.
  void end_before_message(TextOut& err) {
    if (open_ && out_ == &err) err << "\n";
    open_ = false;
  }

 private:
  TextOut* out_;
  bool open_ = false;  // drawn, and not yet ended by a line end
};

/// A run that an interrupt stopped: nothing is said, the caller learns of
/// the signal itself.
Failure stopped() { return {STATUS_FILE, ""}; }

/// Everything one run holds, from the open input to the loaded key.
class Run {
 public:
  Run(Console console, const Clock& clock, const Services& services, ProgressLine& progress)
      : console_(console),
        clock_(clock),
        services_(services),
        files_(*services.files),
        progress_(progress) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  std::optional<Failure> execute(std::span<const std::string> args);

 private:
  std::optional<Failure> open_input();
  std::optional<Failure> prepare_output();
  std::optional<Failure> load_key();
  bool interrupted() const { return services_.interrupted() != 0; }
  Answers answers() const;
  std::optional<Failure> measure_input();
  std::optional<Failure> read_seed();
  std::optional<Failure> process_chunks();
  std::optional<Failure> stream_failure(StreamEnd end) const;
  std::optional<Failure> finish();
  bool length_known() const { return sources_.input.kind == FileKind::kRegular; }

  Console console_;
  const Clock& clock_;
  const Services& services_;
  FileAccess& files_;
  ProgressLine& progress_;
  Arguments args_;
  UniqueFd input_;
  Sources sources_;
  std::optional<OutputFile> output_;
  CipherKey key_;
  std::uint8_t seed_ = 0;
  std::uint64_t payload_ = UNKNOWN_LENGTH;
  std::uint64_t input_start_ = 0;    // where kelm's input begins in its file
  std::uint64_t payload_start_ = 0;  // offset of the payload in the input
  std::uint64_t streamed_ = 0;       // payload bytes written, as last told
};

std::optional<Failure> Run::execute(std::span<const std::string> args) {
  if (const char* text = information_asked(args)) {
    console_.out << text;
    console_.out.flush();
    return std::nullopt;
  }
  if (auto failure = parse_arguments(args, args_)) return failure;
  output_.emplace(args_.output);
  if (auto failure = output_->refuse_at_once()) return failure;
  if (auto failure = open_input()) return failure;
  if (auto failure = prepare_output()) return failure;
  if (auto failure = load_key()) return failure;
  seed_ = static_cast<std::uint8_t>(clock_());
  if (auto failure = measure_input()) return failure;
  if (auto failure = read_seed()) return failure;
  if (auto failure = process_chunks()) return failure;
  return finish();
}

/// Opens the input: "-" is standard input. A pipe is read as it comes; a
/// terminal is refused, since keystrokes are not data.
std::optional<Failure> Run::open_input() {
  if (args_.input == "-") {
    // A stream closed at start names no file: what stands in its place
    // would read as an empty input.
    if (closed_at_start(kStandardInput)) return cannot_open_input(args_.input);
    UniqueFd file = duplicate_descriptor(kStandardInput);
    const std::optional<FileInfo> info = file.is_open() ? file_info(file.get()) : std::nullopt;
    if (!info || (info->kind != FileKind::kRegular && info->kind != FileKind::kFifo &&
                  info->kind != FileKind::kSocket)) {
      return cannot_open_input(args_.input);
    }
    sources_.input = *info;
    input_ = std::move(file);
    // A file on standard input is read from where the caller left it, as
    // cat reads it.
    if (length_known()) input_start_ = file_position(input_.get());
  } else {
    std::optional<UniqueFd> file = open_input_file(args_.input, sources_.input);
    // An open of a FIFO that an interrupt ended says nothing of the file.
    if (interrupted()) return stopped();
    if (!file) return cannot_open_input(args_.input);
    input_ = std::move(*file);
  }
  if (length_known()) {
    advise_sequential(input_.get());
  } else {
    widen_pipe(input_.get());
  }
  return std::nullopt;
}

/// Refuses, asks about and opens the output. Text meant for standard output
/// goes to standard error once the data goes there.
std::optional<Failure> Run::prepare_output() {
  if (output_->standard()) progress_.move_to(console_.err);
  sources_.key = path_info(args_.key);
  if (auto failure = output_->confirm(sources_, answers(), console_.err)) return failure;
  auto failure = output_->open(sources_, args_.key, sources_.input.permissions);
  if (interrupted()) return stopped();
  if (failure) return failure;
  widen_pipe(output_->file().get());
  return std::nullopt;
}

/// Loads the key; a key pipe or FIFO whose wait an interrupt ended says
/// nothing of the key, not even its size.
std::optional<Failure> Run::load_key() {
  auto failure = key_.load_key_file(args_.key, progress_.text(), files_, *services_.pages);
  if (!interrupted()) return failure;
  progress_.text().discard();
  return stopped();
}

/// Where the answer to the question comes from: the terminal when standard
/// input carries the data.
Answers Run::answers() const {
  const std::optional<FileInfo> in = file_info(kStandardInput);
  if (args_.input == "-" ||
      (in && in->kind != FileKind::kDevice && same_file(*in, sources_.input))) {
    return {console_.terminal, false};
  }
  return {&console_.in, true};
}

std::optional<Failure> Run::measure_input() {
  if (!length_known()) return std::nullopt;
  const std::uint64_t size = sources_.input.size;
  const std::uint64_t length = size > input_start_ ? size - input_start_ : 0;
  if (length == 0) return Failure{STATUS_RESOURCE, "Error: input file is empty.\n"};
  payload_ = args_.mode == Mode::kEncrypt ? length : length - 1;
  return std::nullopt;
}

/// Decryption reads the seed byte back; encryption writes it as the
/// stream's header.
std::optional<Failure> Run::read_seed() {
  if (args_.mode == Mode::kEncrypt) return std::nullopt;
  const ReadResult got = length_known()
                             ? read_full_at(files_, input_.get(), &seed_, 1, input_start_)
                             : read_full(files_, input_.get(), &seed_, 1);
  if (got.count != 1) {
    if (!length_known() && !got.failed) {
      return Failure{STATUS_RESOURCE, "Error: input file is empty.\n"};
    }
    return cannot_read_input(args_.input);
  }
  payload_start_ = 1;
  return std::nullopt;
}

/// Streams the payload, drawing the progress line after every chunk as if
/// each had been read, enciphered and written on its own.
std::optional<Failure> Run::process_chunks() {
  const bool encrypt = args_.mode == Mode::kEncrypt;
  StreamPlan plan;
  plan.direction = encrypt ? Direction::kEncrypt : Direction::kDecrypt;
  plan.input = input_.get();
  plan.input_access = length_known() ? Access::kAnywhere : Access::kInOrder;
  plan.input_offset = input_start_ + payload_start_;
  plan.output = output_->file().get();
  plan.output_access = output_->anywhere() ? Access::kAnywhere : Access::kInOrder;
  plan.output_offset = encrypt ? 1 : 0;
  if (encrypt) plan.header = {&seed_, 1};
  plan.payload = payload_;
  plan.stop_requested = [this] { return services_.interrupted() != 0; };
  const kernels::Schedule& schedule = key_.schedule(seed_);
  const StreamEnd end =
      stream_payload(plan, schedule, files_, *services_.pages, [this](std::uint64_t position) {
        streamed_ = position;
        progress_.draw(payload_start_ + position, payload_);
      });
  if (auto failure = stream_failure(end)) return failure;
  // A payload that ends on a chunk boundary draws its last line again, as
  // if one more read had found nothing.
  if (streamed_ % CHUNK_SIZE == 0) progress_.draw(payload_start_ + streamed_, payload_);
  return std::nullopt;
}

/// The failure a stream's end stands for, if any.
std::optional<Failure> Run::stream_failure(StreamEnd end) const {
  switch (end) {
    case StreamEnd::kDone: return std::nullopt;
    // A stream of a seed byte alone decrypts to nothing.
    case StreamEnd::kEmpty:
      if (args_.mode == Mode::kDecrypt) return std::nullopt;
      return Failure{STATUS_RESOURCE, "Error: input file is empty.\n"};
    case StreamEnd::kReadFailed: return cannot_read_input(args_.input);
    // The one end a stop does not explain: the output may not have been cut back.
    case StreamEnd::kWriteFailed: {
      Failure failure = cannot_write_output(args_.output);
      failure.outlives_interrupt = true;
      return failure;
    }
    case StreamEnd::kNoMemory: return Failure{STATUS_RESOURCE, kNoMemory};
    case StreamEnd::kStopped: return stopped();
  }
  return std::nullopt;
}

std::optional<Failure> Run::finish() {
  if (!close_file(files_, input_)) return cannot_read_input(args_.input);
  if (!close_file(files_, output_->file())) return cannot_write_output(args_.output);
  progress_.finish(payload_start_ + streamed_, payload_);
  key_.wipe();
  return std::nullopt;
}

}  // namespace

int report_no_memory(TextOut& err) {
  err.write_now(kNoMemory);  // a literal, written as it is: it needs no memory
  return STATUS_RESOURCE;
}

int run(std::span<const std::string> args, Console console, const Clock& clock,
        const Services& services) {
  std::optional<Failure> failure;
  bool out_of_memory = false;
  ProgressLine progress(console.out);
  try {
    // The run, with its key and buffers, is gone by the end of this block,
    // so every secret has been wiped before anything is reported.
    Run kelm_run(console, clock, services, progress);
    failure = kelm_run.execute(args);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  // Whatever went to standard output so far comes before the error; the
  // messages are written as they are, needing no more memory. An
  // interrupted run says nothing, whatever failed because of it, unless its
  // output may hold more than a correct beginning.
  console.out.flush();
  const int signal = services.interrupted();
  if (signal != 0 && !(failure && failure->outlives_interrupt)) return 128 + signal;
  if (out_of_memory || (failure && !failure->message.empty())) {
    progress.end_before_message(console.err);
  }
  if (out_of_memory) {
    report_no_memory(console.err);
  } else if (failure) {
    console.err.write_now(failure->message);
  }
  if (signal != 0) return 128 + signal;
  if (out_of_memory) return STATUS_RESOURCE;
  return failure ? failure->status : STATUS_OK;
}

}  // namespace kelm
