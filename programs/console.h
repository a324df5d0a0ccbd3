// The console streams a run talks to: text out (the key size, progress and
// messages) and the answer to the overwrite question in. The standard
// streams in the program, strings in the tests. Not iostreams, whose locale
// set-up at every start costs more than kelm spends on a small file.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "system.h"

namespace kelm {

/// Text out, held until flushed, so each line drawn leaves in one write.
class TextOut {
 public:
  TextOut() = default;
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;
  virtual ~TextOut() = default;

  /// Holds `text` until the next flush.
  void write(std::string_view text) { held_.append(text); }
  /// Passes on everything held. A console that has gone away loses it quietly.
  void flush() {
    if (held_.empty()) return;
    deliver(held_);
    held_.clear();
  }
  /// Drops everything held, unsaid.
  void discard() { held_.clear(); }
  /// Flushes, then passes on `text` at once, without holding it: for the
  /// message about memory running out, which must need none.
  void write_now(std::string_view text) {
    flush();
    deliver(text);
  }

 protected:
  virtual void deliver(std::string_view text) = 0;

 private:
  std::string held_;
};

inline TextOut& operator<<(TextOut& out, std::string_view text) {
  out.write(text);
  return out;
}

/// The numbers that are written in decimal: characters are text, and no
/// truth value is written at all.
template <typename T>
concept WholeNumber = std::integral<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>;

template <WholeNumber Number>
TextOut& operator<<(TextOut& out, Number number) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, number);
  out.write(std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
  return out;
}

/// Text in, a byte at a time: nothing is read past what is used.
class TextIn {
 public:
  TextIn() = default;
  TextIn(const TextIn&) = delete;
  TextIn& operator=(const TextIn&) = delete;
  virtual ~TextIn() = default;

  /// The next byte; nothing at the end, or when it cannot be read.
  virtual std::optional<char> next() = 0;
};

/// Text out to a file descriptor.
class DescriptorOut : public TextOut {
 public:
  explicit DescriptorOut(int fd) : fd_(fd) {}
  DescriptorOut(const DescriptorOut&) = delete;
  DescriptorOut& operator=(const DescriptorOut&) = delete;
  ~DescriptorOut() override { flush(); }

 protected:
  void deliver(std::string_view text) override;

 private:
  int fd_;
};

/// Text in from a file descriptor.
class DescriptorIn : public TextIn {
 public:
  explicit DescriptorIn(int fd) : fd_(fd) {}
  std::optional<char> next() override;

 private:
  int fd_;
};

/// Text in from the controlling terminal, opened at the first byte asked
/// for; nothing where there is no terminal.
class TerminalIn : public TextIn {
 public:
  std::optional<char> next() override;

 private:
  std::optional<UniqueFd> terminal_;
};

}  // namespace kelm
