#include "file_io.h"

#include <cerrno>
#include <utility>

#include "system.h"

namespace kelm {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() { reset(); }

int UniqueFd::release() { return std::exchange(fd_, -1); }

void UniqueFd::reset() noexcept {
  if (fd_ >= 0) (void)close_descriptor(release());
}

bool close_file(FileAccess& files, UniqueFd& file) {
  if (!file.is_open()) return true;
  // The descriptor is gone even when close reports an error, so it must not
  // be retried; the error still tells the caller that something failed.
  return files.close(file.release()) == 0;
}

namespace {

/// The loop both reads share: `read_some` is read, or pread at the place.
template <typename ReadSome>
ReadResult read_until_full(std::uint8_t* buffer, std::size_t length, ReadSome read_some) {
  ReadResult result;
  while (result.count < length) {
    const std::ptrdiff_t got =
        read_some(buffer + result.count, length - result.count, result.count);
    if (got == 0) break;
    if (got < 0) {
      // A call a signal cut short goes on, unless the signal was an
      // interrupt, which ends the run.
      if (errno == EINTR && interrupt_received() == 0) continue;
      result.failed = true;
      break;
    }
    result.count += static_cast<std::size_t>(got);
  }
  return result;
}

}  // namespace

ReadResult read_full(FileAccess& files, int fd, std::uint8_t* buffer, std::size_t length) {
  return read_until_full(buffer, length,
                         [&files, fd](std::uint8_t* to, std::size_t count, std::size_t) {
                           return files.read(fd, to, count);
                         });
}

ReadResult read_full_at(FileAccess& files, int fd, std::uint8_t* buffer, std::size_t length,
                        std::uint64_t offset) {
  return read_until_full(
      buffer, length, [&files, fd, offset](std::uint8_t* to, std::size_t count, std::size_t done) {
        return files.read_at(fd, to, count, offset + done);
      });
}

namespace {

/// The loop both writes share: `write_some` is write or pwrite at the place.
template <typename WriteSome>
bool write_until_done(const std::uint8_t* buffer, std::size_t length, WriteSome write_some) {
  std::size_t done = 0;
  while (done < length) {
    const std::ptrdiff_t put = write_some(buffer + done, length - done, done);
    if (put < 0) {
      if (errno == EINTR && interrupt_received() == 0) continue;
      return false;
    }
    // A write that takes nothing would loop forever; treat it as a failure.
    if (put == 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

bool write_full(FileAccess& files, int fd, const std::uint8_t* buffer, std::size_t length) {
  return write_until_done(buffer, length,
                          [&files, fd](const std::uint8_t* from, std::size_t count, std::size_t) {
                            return files.write(fd, from, count);
                          });
}

bool write_full_at(FileAccess& files, int fd, const std::uint8_t* buffer, std::size_t length,
                   std::uint64_t offset) {
  return write_until_done(
      buffer, length,
      [&files, fd, offset](const std::uint8_t* from, std::size_t count, std::size_t done) {
        return files.write_at(fd, from, count, offset + done);
      });
}

}  // namespace kelm
