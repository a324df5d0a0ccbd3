#include "messages.h"

namespace kelm {

namespace {

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

}  // namespace

const char* help_text() { return kHelp; }
const char* version_text() { return kVersion; }

namespace {

constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

Failure file_failure(const std::string& text) { return {STATUS_FILE, "Error: " + text + "\n"}; }

/// Smallest p with 2^p >= length, computed in full width.
unsigned power_for(std::uint64_t length) {
  unsigned power = 0;
  while (power < 64 && (std::uint64_t{1} << power) < length) ++power;
  return power;
}

/// The percent a progress line shows: position / total * 100 in double
/// precision, truncated, in 16 bits; 0 for an empty payload. The position
/// is at most the payload plus the seed byte, so it never passes 200.
std::uint16_t shown_percent(std::uint64_t position, std::uint64_t total) {
  if (total == 0) return 0;
  const double exact = static_cast<double>(position) / static_cast<double>(total) * 100.0;
  return static_cast<std::uint16_t>(static_cast<std::uint64_t>(exact));
}

}  // namespace

Failure wrong_argument_count() {
  return {STATUS_USAGE,
          "Error: kelm requires 4 arguments\n"
          " kelm <encrypt or decrypt> inputfile outputfile keyfile\n"};
}
Failure unknown_mode() {
  return {STATUS_USAGE, "Error: check arguments, must choose encrypt or decrypt\n"};
}
Failure cannot_open_input(const std::string& name) {
  return file_failure("could not open input file " + name);
}
Failure cannot_read_input(const std::string& name) {
  return file_failure("could not read input file " + name);
}
Failure input_is_empty() { return {STATUS_RESOURCE, "Error: input file is empty.\n"}; }
Failure cannot_open_output(const std::string& name) {
  return file_failure("could not open output file " + name);
}
Failure cannot_write_output(const std::string& name) {
  return file_failure("could not write output file " + name);
}
Failure output_is_source(const std::string& name) {
  return file_failure("output file " + name + " is the same file as the input or key file");
}
Failure output_is_console(const std::string& name) {
  return file_failure("output file " + name +
                      " is the same file as standard output or standard error");
}
Failure output_is_terminal(const std::string& name) {
  return file_failure("output file " + name + " is a terminal");
}
void ask_overwrite(TextOut& err, const std::string& name) {
  err << "Error: output file " << name << " exists, overwrite? (Y/n): ";
  err.flush();
}
Failure overwrite_declined() { return {STATUS_FILE, ""}; }
Failure cannot_load_key(const std::string& name) {
  return {STATUS_USAGE, "Error: could not load key file " + name + "\n"};
}
Failure key_too_small() { return {STATUS_KEY_SIZE, "Error: keysize is too small!\n"}; }
Failure key_not_power_of_two() { return {STATUS_KEY_SIZE, "Error: keysize not a power of 2!\n"}; }
Failure key_too_large() { return {STATUS_KEY_SIZE, "Error: keysize is too large!\n"}; }
Failure key_memory_ran_out(std::uint64_t length) {
  return {STATUS_RESOURCE, "Error: key malloc failed for keysize " + std::to_string(length) + "\n"};
}
Failure memory_ran_out() { return {STATUS_RESOURCE, "Error: malloc buffer failed.\n"}; }
Failure stopped() { return {STATUS_FILE, ""}; }

int report_no_memory(TextOut& err) {
  err.write_now("Error: malloc buffer failed.\n");  // a literal: it needs no memory
  return STATUS_RESOURCE;
}

void write_key_size(TextOut& out, std::uint64_t length) {
  const unsigned power = power_for(length);
  out << "keysize is 2^" << power << "\n";
  if ((std::uint64_t{1} << power) != length) {
    out << "keysize: " << length << " power: " << power << "\n";
  }
}

void ProgressLine::draw(std::uint64_t position, std::uint64_t total) {
  TextOut& out = *out_;
  out << "\r completed ";
  if (total != kUnknown) out << shown_percent(position, total) << "% ";
  out << position;
  if (total != kUnknown) out << " out of " << total;
  out << " B";
  out.flush();
  open_ = true;
}

void ProgressLine::finish(std::uint64_t position, std::uint64_t total) {
  if (total != kUnknown) {
    *out_ << "\r completed 100% " << total << " out of " << total << " B";
  } else {
    *out_ << "\r completed " << position << " B";
  }
  out_->flush();
  *out_ << "\n";
  out_->flush();
  open_ = false;
}

void ProgressLine::end_before_message(TextOut& err) {
  if (open_ && out_ == &err) err << "\n";
  open_ = false;
}

}  // namespace kelm
