// The run of one kelm command, as a list of guarded steps. Each step either
// succeeds or hands back a Failure; only run() turns that into an exit status.
#include "driver.h"

#include <new>
#include <optional>

#include <memory>

#include "messages.h"
#include "output.h"
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

/// A payload whose length is not known until its input ends.
constexpr std::uint64_t kUnknownLength = ~std::uint64_t{0};
constexpr std::uint64_t kChunkSize = 1'000'000;

/// The text for a lone --help or --version, or nothing for a real run.
const char* information_asked(std::span<const std::string> args) {
  if (args.size() != 1) return nullptr;
  if (args[0] == "--help") return help_text();
  if (args[0] == "--version") return version_text();
  return nullptr;
}

std::optional<Failure> parse_arguments(std::span<const std::string> args, Arguments& parsed) {
  if (args.size() != 4) {
    return wrong_argument_count();
  }
  if (args[0] == "encrypt") {
    parsed.mode = Mode::kEncrypt;
  } else if (args[0] == "decrypt") {
    parsed.mode = Mode::kDecrypt;
  } else {
    return unknown_mode();
  }
  parsed.input = args[1];
  parsed.output = args[2];
  parsed.key = args[3];
  return std::nullopt;
}

/// Everything one run holds, from the open input to the loaded key.
class Run {
 public:
  Run(Console console, const Clock& clock, const Services& services, ProgressLine& progress)
      : console_(console), clock_(clock), services_(services), progress_(progress) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  std::optional<Failure> execute(std::span<const std::string> args);

 private:
  std::optional<Failure> open_input();
  std::optional<Failure> prepare_output();
  std::optional<Failure> load_key();
  bool interrupted() const { return services_.interrupted() != 0; }
  Answers answers() const;
  void measure_input();
  std::optional<Failure> process();
  kelm_status stream(const kelm_fd_options& options);
  std::optional<Failure> stream_failure(kelm_status status) const;
  std::optional<Failure> finish();
  bool length_known() const { return sources_.input.kind == FileKind::kRegular; }
  bool encrypting() const { return args_.mode == Mode::kEncrypt; }
  /// The position a progress line shows for `done` payload bytes: a
  /// decryption's counts the seed byte it read.
  std::uint64_t shown(std::uint64_t done) const { return (encrypting() ? 0 : 1) + done; }

  Console console_;
  const Clock& clock_;
  const Services& services_;
  ProgressLine& progress_;
  Arguments args_;
  UniqueFd input_;
  Sources sources_;
  std::optional<OutputFile> output_;
  KeyHandle key_{nullptr, kelm_key_free};
  std::uint64_t payload_ = kUnknownLength;  // as the progress line shows it
  std::uint64_t input_start_ = 0;           // where kelm's input begins in its file
  std::uint64_t streamed_ = 0;              // payload bytes written, as last told
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
  measure_input();
  if (auto failure = process()) return failure;
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
  auto failure = load_key_file(args_.key, progress_.text(), services_, key_);
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

/// The length the progress line counts to: a decryption's counts the seed
/// byte in its position but not in its length.
void Run::measure_input() {
  if (!length_known()) return;
  const std::uint64_t size = sources_.input.size;
  const std::uint64_t length = size > input_start_ ? size - input_start_ : 0;
  payload_ = encrypting() || length == 0 ? length : length - 1;
}

/// Streams the file, drawing the progress line after every chunk as if each
/// had been read, enciphered and written on its own.
std::optional<Failure> Run::process() {
  kelm_fd_options options{};
  options.context = this;
  options.progress = [](void* run, std::uint64_t done, std::uint64_t) {
    auto& self = *static_cast<Run*>(run);
    self.streamed_ = done;
    self.progress_.draw(self.shown(done), self.payload_);
  };
  options.stop = [](void* run) { return static_cast<Run*>(run)->interrupted() ? 1 : 0; };
  options.worker = [](void*, int started) { wake_on_interrupt(started != 0); };
  if (auto failure = stream_failure(stream(options))) return failure;
  // A payload that ends on a chunk boundary draws its last line again, as
  // if one more read had found nothing.
  if (streamed_ % kChunkSize == 0) progress_.draw(shown(streamed_), payload_);
  return std::nullopt;
}

kelm_status Run::stream(const kelm_fd_options& options) {
  if (!encrypting())
    return services_.decrypt(key_.get(), input_.get(), output_->file().get(), &options);
  const auto seed = static_cast<std::uint8_t>(clock_());
  return services_.encrypt(key_.get(), seed, input_.get(), output_->file().get(), &options);
}

/// The failure a stream's status stands for, if any.
std::optional<Failure> Run::stream_failure(kelm_status status) const {
  switch (status) {
    case KELM_OK: return std::nullopt;
    case KELM_EMPTY_INPUT: return input_is_empty();
    case KELM_READ_FAILED: return cannot_read_input(args_.input);
    case KELM_NO_MEMORY: return memory_ran_out();
    case KELM_STOPPED: return stopped();
    // The one end a stop does not explain: the output may not have been cut back.
    default: {
      Failure failure = cannot_write_output(args_.output);
      failure.outlives_interrupt = true;
      return failure;
    }
  }
}

std::optional<Failure> Run::finish() {
  if (!services_.close(input_.release())) return cannot_read_input(args_.input);
  if (!services_.close(output_->file().release())) return cannot_write_output(args_.output);
  progress_.finish(shown(streamed_), payload_);
  key_.reset();
  return std::nullopt;
}

/// What a key that could not be taken says: the key-size lines where its
/// length is known and usable as far as memory goes, then the message.
std::optional<Failure> key_failure(kelm_status status, std::uint64_t length,
                                   const std::string& name, TextOut& out) {
  switch (status) {
    case KELM_OK: write_key_size(out, length); return std::nullopt;
    case KELM_KEY_TOO_SMALL: return key_too_small();
    case KELM_KEY_NOT_POWER_OF_TWO: write_key_size(out, length); return key_not_power_of_two();
    case KELM_KEY_TOO_LARGE: write_key_size(out, length); return key_too_large();
    case KELM_NO_MEMORY: return length != 0 ? key_memory_ran_out(length) : memory_ran_out();
    default: return cannot_load_key(name);
  }
}

}  // namespace

std::optional<Failure> load_key_file(const std::string& name, TextOut& out,
                                     const Services& services, KeyHandle& key) {
  FileInfo info;
  std::optional<UniqueFd> file = open_input_file(name, info);
  if (!file) return cannot_load_key(name);
  kelm_key* loaded = nullptr;
  std::uint64_t length = 0;
  const kelm_status status = services.read_key(file->get(), &loaded, &length);
  key.reset(loaded);
  if (status == KELM_OK && !services.close(file->release())) {
    key.reset();
    return cannot_load_key(name);
  }
  return key_failure(status, length, name, out);
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
