#include "file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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
  if (fd_ >= 0) (void)::close(release());
}

bool close_file(FileAccess& files, UniqueFd& file) {
  if (!file.is_open()) return true;
  // The descriptor is gone even when close reports an error, so it must not
  // be retried; the error still tells the caller that something failed.
  return files.close(file.release()) == 0;
}

std::optional<UniqueFd> open_regular_file(const char* name, struct stat& info) {
  // O_NONBLOCK keeps a FIFO from stalling the open until a writer appears;
  // anything that is not a regular file is turned away just after.
  UniqueFd fd(::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.is_open()) return std::nullopt;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return std::nullopt;
  return fd;
}

namespace {

/// The loop both reads share: `read_some` is read or pread at the place.
template <typename ReadSome>
ReadResult read_until_full(std::uint8_t* buffer, std::size_t length, ReadSome read_some) {
  ReadResult result;
  while (result.count < length) {
    const ssize_t got = read_some(buffer + result.count, length - result.count, result.count);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      result.failed = true;
      break;
    }
    result.count += static_cast<std::size_t>(got);
  }
  return result;
}

}  // namespace

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
    const ssize_t put = write_some(buffer + done, length - done, done);
    if (put < 0) {
      if (errno == EINTR) continue;
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

namespace {

/// Offsets travel as 64-bit counts; off_t must hold them on every system,
/// 32-bit ones included, or files past 2 GiB would fail or be misread.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

class SystemFiles final : public FileAccess {
 public:
  ssize_t read_at(int fd, std::uint8_t* buffer, std::size_t length, std::uint64_t offset) override {
    return ::pread(fd, buffer, length, static_cast<off_t>(offset));
  }
  ssize_t write(int fd, const std::uint8_t* buffer, std::size_t length) override {
    return ::write(fd, buffer, length);
  }
  ssize_t write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                   std::uint64_t offset) override {
    return ::pwrite(fd, buffer, length, static_cast<off_t>(offset));
  }
  int truncate(int fd, std::uint64_t length) override {
    return ::ftruncate(fd, static_cast<off_t>(length));
  }
  int close(int fd) override { return ::close(fd); }
};

}  // namespace

FileAccess& system_files() {
  static SystemFiles files;
  return files;
}

bool ensure_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open returns the lowest free descriptor, which is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) return false;
  }
  return true;
}

}  // namespace kelm
