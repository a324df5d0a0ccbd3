#include "console.h"

#include "system.h"

namespace kelm {

void DescriptorOut::deliver(std::string_view text) { write_console(fd_, text); }

std::optional<char> DescriptorIn::next() { return read_console_byte(fd_); }

std::optional<char> TerminalIn::next() {
  if (!terminal_) terminal_ = open_terminal();
  if (!terminal_->is_open()) return std::nullopt;
  return read_console_byte(terminal_->get());
}

}  // namespace kelm
