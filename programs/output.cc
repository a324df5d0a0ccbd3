#include "output.h"

#include "messages.h"

namespace kelm {

namespace {

bool same_as(const std::optional<FileInfo>& a, const FileInfo& b) { return a && same_file(*a, b); }

/// White space as the C locale has it: what is skipped before an answer.
bool is_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/// True when `name` names the open file `fd` (following links, as the
/// question did).
bool names_file(const std::string& name, int fd) {
  const std::optional<FileInfo> named = path_info(name);
  const std::optional<FileInfo> opened = file_info(fd);
  return named && opened && same_file(*named, *opened);
}

}  // namespace

std::optional<Failure> OutputFile::confirm(const Sources& sources, Answers answers, TextOut& err) {
  if (standard()) return confirm_standard(sources);
  // Held open, neither created nor emptied: while it is open no other file
  // can take its device and inode.
  file_ = open_output_file(name_, Create::kNo, 0);
  const std::optional<FileInfo> found = file_.is_open() ? file_info(file_.get()) : path_info(name_);
  if (!found) {
    file_.reset();
    return std::nullopt;
  }
  const FileInfo& info = *found;
  if (info.kind == FileKind::kDirectory) return cannot_open_output(name_);
  if (sources.include(info)) return output_is_source(name_);
  // A terminal or /dev/null may serve as both; a file or a pipe would take
  // progress text or the question in among the data.
  if ((info.kind == FileKind::kRegular || info.kind == FileKind::kFifo) &&
      (same_as(file_info(kStandardOutput), info) || same_as(file_info(kStandardError), info))) {
    return output_is_console(name_);
  }
  probed_ = info;

  ask_overwrite(err, name_);
  if (!answer_is_yes(sources, answers)) return overwrite_declined();
  return std::nullopt;
}

/// Binary data never goes to a terminal, nor to a stream that names no file.
std::optional<Failure> OutputFile::refuse_at_once() const {
  if (!standard()) return std::nullopt;
  if (closed_at_start(kStandardOutput)) return cannot_open_output(name_);
  if (is_terminal(kStandardOutput)) {
    return output_is_terminal(name_);
  }
  return std::nullopt;
}

/// The console's own text never goes in among the data.
std::optional<Failure> OutputFile::confirm_standard(const Sources& sources) const {
  const std::optional<FileInfo> out = file_info(kStandardOutput);
  if (!out) return cannot_open_output(name_);
  if (sources.include(*out)) return output_is_source(name_);
  // Progress goes to standard error instead: not into the data.
  if ((out->kind == FileKind::kRegular || out->kind == FileKind::kFifo) &&
      same_as(file_info(kStandardError), *out)) {
    return output_is_console(name_);
  }
  return std::nullopt;
}

/// Reads the answer to the question. Standard input that is one of the
/// files of this run gives no answer: its bytes are data, not a reply.
bool OutputFile::answer_is_yes(const Sources& sources, Answers answers) const {
  if (answers.in == nullptr) return false;
  if (answers.standard_input) {
    const std::optional<FileInfo> in = file_info(kStandardInput);
    if (in && in->kind != FileKind::kDevice &&
        (sources.include(*in) || (probed_ && same_file(*in, *probed_)))) {
      return false;
    }
  }
  // The first byte that is not white space; the end of the input, or no
  // input at all, means no.
  std::optional<char> answer = answers.in->next();
  while (answer && is_white_space(*answer)) answer = answers.in->next();
  return answer == 'Y';
}

std::optional<Failure> OutputFile::open(Sources& sources, const std::string& key_name,
                                        unsigned permissions) {
  if (standard()) {
    // Written in order from where the shell left it, never emptied.
    file_ = duplicate_descriptor(kStandardOutput);
    if (!file_.is_open()) return cannot_open_output(name_);
    return std::nullopt;
  }
  if (probed_) {
    // A FIFO that had no reader at the question is waited for now, as any
    // writer waits, if it is still the one asked about.
    if (!file_.is_open()) {
      file_ = probed_->kind == FileKind::kFifo ? open_fifo_for_writing(name_, *probed_)
                                               : open_output_file(name_, Create::kNo, 0);
    }
  } else {
    // A new file gets the input's permission bits (less set-id bits, then
    // the umask), so a private file's counterpart is not readable by others.
    file_ = open_output_file(name_, Create::kNew, permissions);
  }
  if (!file_.is_open()) return cannot_open_output(name_);
  return check_opened(sources, key_name);
}

/// Checks the opened output once more through its descriptor, then empties
/// it. An output this run created and then refuses is removed again.
std::optional<Failure> OutputFile::check_opened(Sources& sources, const std::string& key_name) {
  const int fd = file_.get();
  const std::optional<FileInfo> opened = file_info(fd);
  if (!opened) return cannot_open_output(name_);
  const FileInfo& info = *opened;
  if (probed_ && (!same_file(info, *probed_) || !names_file(name_, fd))) {
    return cannot_open_output(name_);
  }
  // A key file that did not exist before may be the output just created.
  if (!sources.key) sources.key = path_info(key_name);
  if (sources.include(info)) {
    if (!probed_) remove_if_same(name_, info);
    return output_is_source(name_);
  }
  anywhere_ = info.kind == FileKind::kRegular;
  if (anywhere_ && info.size != 0 && !empty_file(fd)) return cannot_open_output(name_);
  return std::nullopt;
}

}  // namespace kelm
