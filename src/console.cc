#include "console.h"

#include "system.h"

namespace kelm {

void DescriptorOut::deliver(std::string_view text) { write_console(fd_, text); }

std::optional<char> DescriptorIn::next() { return read_console_byte(fd_); }

}  // namespace kelm
