// Reading and writing whole extents of a file, checked and retried, over
// the data calls a run makes, which tests can stand in for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kelm {

/// The data calls a run makes on its open files. The program uses the
/// system's own; tests stand in their own to make a read or a write fail, or
/// come up short, at any byte.
class FileAccess {
 public:
  virtual ~FileAccess() = default;
  /// As read: bytes read, 0 at end of file, or -1 with errno set.
  virtual std::ptrdiff_t read(int fd, std::uint8_t* buffer, std::size_t length) = 0;
  /// As pread: bytes read, 0 at end of file, or -1 with errno set.
  virtual std::ptrdiff_t read_at(int fd, std::uint8_t* buffer, std::size_t length,
                                 std::uint64_t offset) = 0;
  /// As write: bytes written, or -1 with errno set.
  virtual std::ptrdiff_t write(int fd, const std::uint8_t* buffer, std::size_t length) = 0;
  /// As pwrite: bytes written, or -1 with errno set.
  virtual std::ptrdiff_t write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                                  std::uint64_t offset) = 0;
  /// As ftruncate: 0, or -1 with errno set.
  virtual int truncate(int fd, std::uint64_t length) = 0;
};

/// The system calls themselves.
FileAccess& system_files();

/// Asked before each call in order, which may wait without end, and after a
/// call a signal cut short: true gives the call up. Empty: never.
using Stop = std::function<bool()>;

/// What a full read delivered: `count` bytes, short of the length asked for
/// only at end of file or when `failed`, a read error after those bytes.
struct ReadResult {
  std::size_t count = 0;
  bool failed = false;
};

/// Reads from the file position until `length` bytes have arrived or the
/// file ends, retrying on interruption: for files that give bytes only in
/// order. A stop ends the read as the file's end would.
ReadResult read_full(FileAccess& files, int fd, std::uint8_t* buffer, std::size_t length,
                     const Stop& stop = {});

/// Reads from byte `offset` of the file until `length` bytes have arrived or
/// the file ends, retrying on interruption; leaves the file position alone.
ReadResult read_full_at(FileAccess& files, int fd, std::uint8_t* buffer, std::size_t length,
                        std::uint64_t offset, const Stop& stop = {});

/// Writes all `length` bytes at the file position, retrying on interruption
/// and partial writes. False on any error, including a device that accepts
/// no more bytes, or a stop.
bool write_full(FileAccess& files, int fd, const std::uint8_t* buffer, std::size_t length,
                const Stop& stop = {});

/// As write_full, at byte `offset` of the file.
bool write_full_at(FileAccess& files, int fd, const std::uint8_t* buffer, std::size_t length,
                   std::uint64_t offset, const Stop& stop = {});

}  // namespace kelm
