#include "console.h"

#include <unistd.h>

#include <cerrno>

#include "interrupt.h"

namespace kelm {

void DescriptorOut::deliver(std::string_view text) {
  while (!text.empty()) {
    const ssize_t done = ::write(fd_, text.data(), text.size());
    if (done < 0 && errno == EINTR) continue;
    // Progress and messages are for the eye: a closed or full console
    // changes nothing about the run, so the rest is dropped.
    if (done <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(done));
  }
}

std::optional<char> DescriptorIn::next() {
  char byte = 0;
  while (true) {
    const ssize_t got = ::read(fd_, &byte, 1);
    if (got == 1) return byte;
    // An interrupt ends the wait for an answer at once; it counts as none.
    if (got < 0 && errno == EINTR && interrupt_received() == 0) continue;
    return std::nullopt;
  }
}

}  // namespace kelm
