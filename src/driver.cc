// The run of one kelm command, as a list of guarded steps. Each step either
// succeeds or hands back a Failure; only run() turns that into an exit status.
#include "driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <istream>
#include <optional>
#include <ostream>

#include "cipher_kernels.h"
#include "file_io.h"
#include "kelm.h"
#include "pipeline.h"

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

/// Writes one progress line. The percent is truncated, then shown modulo 2^16.
void draw_progress(std::ostream& out, std::uint64_t position, std::uint64_t payload) {
  std::uint16_t percent = 0;
  if (payload != 0) {
    const double exact = static_cast<double>(position) / static_cast<double>(payload) * 100.0;
    // Reduced before the conversion, which would be undefined past 2^64.
    percent = static_cast<std::uint16_t>(std::fmod(std::trunc(exact), 65536.0));
  }
  out << "\r completed " << percent << "% " << position << " out of " << payload << " B";
  out.flush();
}

/// Everything one run holds, from the open input to the loaded key.
class Run {
 public:
  Run(Console console, const Clock& clock) : console_(console), clock_(clock) {}

  std::optional<Failure> execute(std::span<const std::string> args);

 private:
  std::optional<Failure> open_input();
  std::optional<Failure> confirm_output();
  std::optional<Failure> open_output();
  std::optional<Failure> measure_input();
  std::optional<Failure> exchange_seed();
  std::optional<Failure> process_chunks();
  void produce(Batch& batch, std::uint64_t index) const;
  std::optional<Failure> write_batch(const Batch& batch);
  std::optional<Failure> finish();
  bool is_input_or_key(const struct stat& info) const;

  Console console_;
  const Clock& clock_;
  Arguments args_;
  UniqueFd input_;
  struct stat input_info_ {};
  std::optional<struct stat> key_info_;
  UniqueFd output_;
  CipherKey key_;
  std::uint8_t seed_ = 0;
  std::uint64_t payload_ = 0;
  std::uint64_t payload_start_ = 0;  // offset of the payload in the input
  std::uint64_t position_ = 0;
};

std::optional<Failure> Run::execute(std::span<const std::string> args) {
  if (auto failure = parse_arguments(args, args_)) return failure;
  if (auto failure = open_input()) return failure;
  if (auto failure = confirm_output()) return failure;
  if (auto failure = open_output()) return failure;
  if (auto failure = key_.load_key_file(args_.key, console_.out)) return failure;
  seed_ = static_cast<std::uint8_t>(clock_());
  if (auto failure = measure_input()) return failure;
  if (auto failure = exchange_seed()) return failure;
  if (auto failure = process_chunks()) return failure;
  return finish();
}

std::optional<Failure> Run::open_input() {
  std::optional<UniqueFd> file = open_regular_file(args_.input.c_str(), input_info_);
  if (!file) return cannot_open_input(args_.input);
  input_ = std::move(*file);
  // Only a hint for a larger read-ahead from disk; nothing depends on it.
  (void)::posix_fadvise(input_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::nullopt;
}

bool Run::is_input_or_key(const struct stat& info) const {
  return same_file(info, input_info_) || (key_info_ && same_file(info, *key_info_));
}

/// Refuses an output that would destroy the input or the key, and asks before
/// replacing anything else that exists.
std::optional<Failure> Run::confirm_output() {
  struct stat key_info {};
  if (::stat(args_.key.c_str(), &key_info) == 0) key_info_ = key_info;

  struct stat info {};
  if (::stat(args_.output.c_str(), &info) != 0) return std::nullopt;
  if (S_ISDIR(info.st_mode)) return cannot_open_output(args_.output);
  if (is_input_or_key(info)) return output_is_source(args_.output);

  console_.err << "Error: output file " << args_.output << " exists, overwrite? (Y/n): ";
  console_.err.flush();
  char answer = 'n';  // end of input, or no input at all, means no
  console_.in >> answer;
  if (answer != 'Y') return Failure{STATUS_FILE, ""};
  return std::nullopt;
}

/// Opens the output without truncating, checks once more through the open
/// descriptor that it is not the input or the key, and only then empties it.
std::optional<Failure> Run::open_output() {
  // A new file gets the input's permission bits (less set-id bits, then the
  // umask), so a private file's counterpart is not readable by others.
  const mode_t permissions = input_info_.st_mode & 0777;
  UniqueFd file(
      ::open(args_.output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, permissions));
  if (!file.is_open()) return cannot_open_output(args_.output);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return cannot_open_output(args_.output);
  // A key file that did not exist before may be the output just created.
  struct stat key_info {};
  if (!key_info_ && ::stat(args_.key.c_str(), &key_info) == 0) key_info_ = key_info;
  if (is_input_or_key(info)) return output_is_source(args_.output);
  if (S_ISREG(info.st_mode) && info.st_size != 0 && ::ftruncate(file.get(), 0) != 0) {
    return cannot_open_output(args_.output);
  }
  output_ = std::move(file);
  return std::nullopt;
}

std::optional<Failure> Run::measure_input() {
  const auto length = static_cast<std::uint64_t>(input_info_.st_size);
  if (length == 0) return Failure{STATUS_RESOURCE, "Error: input file is empty.\n"};
  payload_ = args_.mode == Mode::kEncrypt ? length : length - 1;
  return std::nullopt;
}

/// Encryption writes the seed byte first; decryption reads it back.
std::optional<Failure> Run::exchange_seed() {
  if (args_.mode == Mode::kEncrypt) {
    if (!write_full(output_.get(), &seed_, 1)) return cannot_write_output(args_.output);
    return std::nullopt;
  }
  if (read_full(input_.get(), &seed_, 1).count != 1) return cannot_read_input(args_.input);
  payload_start_ = 1;
  position_ = 1;
  return std::nullopt;
}

/// Reads batch number `index` of the payload and enciphers it in place.
/// Runs on two threads at once, so it only reads what stays fixed.
void Run::produce(Batch& batch, std::uint64_t index) const {
  batch.read_at(input_.get(), payload_start_ + index * BATCH_SIZE);
  // Both threads run this at once, so each builds its own tables.
  const kernels::Schedule schedule(key_.bytes(), seed_);
  const kernels::Kernels& kernels = kernels::best();
  for (std::size_t at = 0; at < batch.filled(); at += CHUNK_SIZE) {
    const std::size_t length = std::min<std::size_t>(CHUNK_SIZE, batch.filled() - at);
    if (args_.mode == Mode::kEncrypt) {
      std::uint8_t feedback = 0;
      kernels.encrypt_lanes(schedule, batch.data() + at, length, 1, 0, length, &feedback);
    } else {
      kernels.decrypt(schedule, batch.data() + at, 0, length, 0);
    }
  }
}

/// Writes a batch chunk by chunk, drawing the progress line after each, as
/// if every chunk had been read, enciphered and written on its own.
std::optional<Failure> Run::write_batch(const Batch& batch) {
  for (std::size_t at = 0; at < batch.filled(); at += CHUNK_SIZE) {
    const std::size_t length = std::min<std::size_t>(CHUNK_SIZE, batch.filled() - at);
    if (!write_full(output_.get(), batch.data() + at, length)) {
      return cannot_write_output(args_.output);
    }
    position_ += length;
    draw_progress(console_.out, position_, payload_);
  }
  if (batch.read_failed()) return cannot_read_input(args_.input);
  // Input ending on a chunk boundary: one more read found nothing, and it
  // too is drawn.
  if (batch.last() && batch.filled() % CHUNK_SIZE == 0) {
    draw_progress(console_.out, position_, payload_);
  }
  return std::nullopt;
}

/// Streams the payload through two batch buffers, shared by two threads.
std::optional<Failure> Run::process_chunks() {
  Batch first;
  Batch second;
  if (!first.allocated() || !second.allocated()) {
    return Failure{STATUS_RESOURCE, "Error: malloc buffer failed.\n"};
  }
  return relay_batches([this](Batch& batch, std::uint64_t index) { produce(batch, index); },
                       [this](const Batch& batch) { return write_batch(batch); }, first, second);
}

std::optional<Failure> Run::finish() {
  if (!input_.close()) return cannot_read_input(args_.input);
  if (!output_.close()) return cannot_write_output(args_.output);
  console_.out << "\r completed 100% " << payload_ << " out of " << payload_ << " B";
  console_.out.flush();
  console_.out << "\n";
  console_.out.flush();
  key_.wipe();
  return std::nullopt;
}

}  // namespace

int run(std::span<const std::string> args, Console console, const Clock& clock) {
  Run kelm_run(console, clock);
  std::optional<Failure> failure = kelm_run.execute(args);
  if (!failure) return STATUS_OK;
  // Whatever went to standard output so far comes before the error.
  console.out.flush();
  console.err << failure->message;
  console.err.flush();
  return failure->status;
}

}  // namespace kelm
