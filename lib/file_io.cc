#include "file_io.h"

#include <cerrno>

namespace kelm {

namespace {

/// Whether to give up a call: a stop was asked for. A call in order may wait
/// without end, so none begins once a stop is asked for; one a signal cut
/// short goes on unless the signal asked for the stop.
bool stopping(const Stop& stop) { return stop && stop(); }

/// The loop both reads share: `read_some` is read, or pread at the place.
template <typename ReadSome>
ReadResult read_until_full(std::uint8_t* buffer, std::size_t length, const Stop& stop,
                           ReadSome read_some) {
  ReadResult result;
  while (result.count < length) {
    const std::ptrdiff_t got =
        read_some(buffer + result.count, length - result.count, result.count);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR && !stopping(stop)) continue;
      result.failed = true;
      break;
    }
    result.count += static_cast<std::size_t>(got);
  }
  return result;
}

/// The loop both writes share: `write_some` is write or pwrite at the place.
template <typename WriteSome>
bool write_until_done(const std::uint8_t* buffer, std::size_t length, const Stop& stop,
                      WriteSome write_some) {
  std::size_t done = 0;
  while (done < length) {
    const std::ptrdiff_t put = write_some(buffer + done, length - done, done);
    if (put < 0) {
      if (errno == EINTR && !stopping(stop)) continue;
      return false;
    }
    // A write that takes nothing would loop forever; treat it as a failure.
    if (put == 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

ReadResult read_full(FileAccess& files, int fd, std::uint8_t* buffer, std::size_t length,
                     const Stop& stop) {
  return read_until_full(buffer, length, stop,
                         [&](std::uint8_t* to, std::size_t count, std::size_t) -> std::ptrdiff_t {
                           if (stopping(stop)) return 0;
                           return files.read(fd, to, count);
                         });
}

ReadResult read_full_at(FileAccess& files, int fd, std::uint8_t* buffer, std::size_t length,
                        std::uint64_t offset, const Stop& stop) {
  return read_until_full(buffer, length, stop,
                         [&](std::uint8_t* to, std::size_t count, std::size_t done) {
                           return files.read_at(fd, to, count, offset + done);
                         });
}

bool write_full(FileAccess& files, int fd, const std::uint8_t* buffer, std::size_t length,
                const Stop& stop) {
  return write_until_done(
      buffer, length, stop,
      [&](const std::uint8_t* from, std::size_t count, std::size_t) -> std::ptrdiff_t {
        if (stopping(stop)) {
          errno = EPIPE;
          return -1;
        }
        return files.write(fd, from, count);
      });
}

bool write_full_at(FileAccess& files, int fd, const std::uint8_t* buffer, std::size_t length,
                   std::uint64_t offset, const Stop& stop) {
  return write_until_done(buffer, length, stop,
                          [&](const std::uint8_t* from, std::size_t count, std::size_t done) {
                            return files.write_at(fd, from, count, offset + done);
                          });
}

}  // namespace kelm
