// The output file: refused where it would destroy the input or the key or
// mix with the console's text, asked about where it exists, and opened
// without following anything planted since the question.
#pragma once

#include <optional>
#include <string>

#include "console.h"
#include "messages.h"
#include "system.h"

namespace kelm {

/// The files a run reads, which its output must never be.
struct Sources {
  FileInfo input;
  std::optional<FileInfo> key;  // nothing while the key file does not exist

  bool include(const FileInfo& info) const {
    return same_file(info, input) || (key && same_file(info, *key));
  }
};

/// Where the answer to the overwrite question comes from.
struct Answers {
  TextIn* in;  // nothing: no answer can be had, which counts as no
  /// `in` is standard input, whose bytes are no answer where it is one of
  /// the run's files.
  bool standard_input;
};

/// The output named on the command line; "-" is standard output.
class OutputFile {
 public:
  explicit OutputFile(std::string name) : name_(std::move(name)) {}

  /// Refuses what needs nothing from the input, before any wait for it:
  /// standard output that is a terminal, or that was closed at start.
  std::optional<Failure> refuse_at_once() const;

  /// Refuses an output that is a folder, one of `sources`, or a file the
  /// console writes to, and asks before replacing anything else that
  /// exists. An existing output is held open from then on, so it stays the
  /// very file asked about. Standard output is never asked about.
  std::optional<Failure> confirm(const Sources& sources, Answers answers, TextOut& err);

  /// Opens the output: creates a new one exclusively with `permissions`, or
  /// reopens the existing one asked about, checks it once more through its
  /// descriptor, and empties it. `sources` may have learned of a key file
  /// created meanwhile.
  std::optional<Failure> open(Sources& sources, const std::string& key_name, unsigned permissions);

  const std::string& name() const { return name_; }
  /// Whether the output is standard output.
  bool standard() const { return name_ == "-"; }
  UniqueFd& file() { return file_; }
  /// Whether it takes writes at any offset (a regular file).
  bool anywhere() const { return anywhere_; }

 private:
  std::optional<Failure> confirm_standard(const Sources& sources) const;
  bool answer_is_yes(const Sources& sources, Answers answers) const;
  std::optional<Failure> check_opened(Sources& sources, const std::string& key_name);

  std::string name_;
  std::optional<FileInfo> probed_;  // the existing output the question is about
  UniqueFd file_;                   // that file from before the question, then the output
  bool anywhere_ = false;
};

}  // namespace kelm
