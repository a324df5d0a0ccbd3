// Streams arbitrary payloads through the whole read/encipher/write path, in
// chunks of a few dozen bytes so that small inputs reach every lane, tile
// and group boundary, and checks the output and the chunks told against the
// plain reference, with the input cut short at an arbitrary byte or not.
//
// Input layout: byte 0: bit 0 decrypts, bit 1 writes in order, bits 2-3 the
// key length (16 << n), bit 4 one worker, bit 5 reads in order to the input's
// end (its length unknown), bit 6 cuts the input short; byte 1 the seed; byte 2 the chunk length (1
// to 256); byte 3 the lanes (1 to 32); byte 4 the tile (1 to 64); bytes 5-6 where the input is cut;
// then the key bytes, then the payload.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "file_io.h"
#include "kernels/kernels.h"
#include "key.h"
#include "reference_cipher.h"
#include "stream.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeader = 7;

void check(bool condition) {
  if (!condition) std::abort();
}

/// The system's calls, with the input ending early at `end` and the output
/// refusing bytes at and past `room`, by an error or by taking none.
class CutFiles final : public kelm::FileAccess {
 public:
  CutFiles(std::uint64_t end, std::uint64_t room, bool refuse_by_error, std::size_t piece)
      : end_(end), room_(room), refuse_by_error_(refuse_by_error), piece_(piece) {}
  /// Reads in order come in pieces of at most `piece` bytes, as from a pipe.
  std::ptrdiff_t read(int fd, std::uint8_t* buffer, std::size_t length) override {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    check(at >= 0);
    const std::ptrdiff_t got =
        read_at(fd, buffer, std::min(length, piece_), static_cast<std::uint64_t>(at));
    if (got > 0) check(lseek(fd, got, SEEK_CUR) >= 0);
    return got;
  }
  std::ptrdiff_t read_at(int fd, std::uint8_t* buffer, std::size_t length,
                         std::uint64_t offset) override {
    if (offset >= end_) return 0;
    return kelm::system_files().read_at(
        fd, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(length, end_ - offset)),
        offset);
  }
  std::ptrdiff_t write(int fd, const std::uint8_t* buffer, std::size_t length) override {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    check(at >= 0);
    return write_at(fd, buffer, length, static_cast<std::uint64_t>(at), false);
  }
  std::ptrdiff_t write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                          std::uint64_t offset) override {
    return write_at(fd, buffer, length, offset, true);
  }
  int truncate(int fd, std::uint64_t length) override {
    return kelm::system_files().truncate(fd, length);
  }

 private:
  std::ptrdiff_t write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                          std::uint64_t offset, bool positional) {
    if (offset >= room_) {
      if (!refuse_by_error_) return 0;
      errno = ENOSPC;
      return -1;
    }
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, room_ - offset));
    return positional ? kelm::system_files().write_at(fd, buffer, length, offset)
                      : kelm::system_files().write(fd, buffer, length);
  }

  std::uint64_t end_;
  std::uint64_t room_;
  bool refuse_by_error_;
  std::size_t piece_;
};

/// An in-memory file holding `bytes`, emptied first.
int refill(int fd, const Bytes& bytes) {
  check(ftruncate(fd, 0) == 0);
  check(bytes.empty() ||
        pwrite(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
  check(lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

Bytes contents(int fd) {
  const off_t size = lseek(fd, 0, SEEK_END);
  check(size >= 0);
  Bytes bytes(static_cast<std::size_t>(size));
  check(pread(fd, bytes.data(), bytes.size(), 0) == size);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  const bool decrypt = (data[0] & 1) != 0;
  const std::size_t key_size = std::size_t{16} << ((data[0] >> 2) & 3);
  if (size < kHeader + key_size) return 0;
  const std::uint8_t seed = data[1];
  const Bytes key_bytes(data + kHeader, data + kHeader + key_size);
  const Bytes payload(data + kHeader + key_size, data + size);

  kelm::StreamPlan plan;
  plan.direction = decrypt ? kelm::Direction::kDecrypt : kelm::Direction::kEncrypt;
  plan.output_access = (data[0] & 2) == 0 ? kelm::Access::kAnywhere : kelm::Access::kInOrder;
  plan.workers = (data[0] & 0x10) != 0 ? 1 : 2;
  plan.shared_decryption = 0;
  const bool unknown_length = (data[0] & 0x20) != 0;
  plan.input_access = unknown_length ? kelm::Access::kInOrder : kelm::Access::kAnywhere;
  plan.chunk_size = 1 + std::uint64_t{data[2]};
  plan.max_lanes = 1 + data[3] % kelm::kernels::kMaxLanes;
  plan.tile = 1 + data[4] % 64;
  plan.decryption_job = plan.max_lanes * plan.tile;
  plan.whole_lanes = plan.max_lanes;
  plan.payload = unknown_length ? kelm::UNKNOWN_LENGTH : payload.size();
  std::uint64_t readable = payload.size();
  if ((data[0] & 0x40) != 0)
    readable = std::min<std::uint64_t>(readable, data[5] | std::uint64_t{data[6]} << 8);
  // The top bits of the tile byte plant a write fault: the output takes
  // only `room` bytes, then fails (1) or takes nothing more (2).
  const int write_fault = data[4] >> 6;
  const std::uint64_t room =
      write_fault == 1 || write_fault == 2 ? data[6] | std::uint64_t{data[5]} << 8 : ~0ULL;

  // The reference's output: chunk by chunk, up to the first unreadable byte.
  const Bytes expected = kelm::reference::transform_payload(
      key_bytes, !decrypt,
      Bytes(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(readable)), seed,
      plan.chunk_size);
  // Every whole chunk is told of, then the end of a partial one.
  std::vector<std::uint64_t> ends;
  for (std::uint64_t end = plan.chunk_size; end <= readable; end += plan.chunk_size) {
    ends.push_back(end);
  }
  if (readable % plan.chunk_size != 0) ends.push_back(readable);

  static const int input = memfd_create("input", 0);
  static const int output = memfd_create("output", 0);
  check(input >= 0 && output >= 0);
  plan.input = refill(input, payload);
  plan.output = refill(output, {});
  kelm::CipherKey key;
  check(key.assign(key_bytes) == KELM_OK);
  const kelm::KeySchedule schedule(key.bytes(), seed);
  for (const kelm::kernels::Kernels* set : kelm::kernels::available()) {
    plan.kernels = set;
    check(ftruncate(output, 0) == 0 && lseek(output, 0, SEEK_SET) == 0);
    check(lseek(input, 0, SEEK_SET) == 0);
    CutFiles files(readable, room, write_fault == 1, 1 + std::size_t{seed} % 97);
    std::vector<std::uint64_t> told;
    const kelm::StreamEnd end =
        kelm::stream_payload(plan, schedule.get(), files, kelm::system_pages(),
                             [&](std::uint64_t position) { told.push_back(position); });
    const Bytes written = contents(output);
    if (room < expected.size()) {
      // Whatever was written is a prefix, and only chunks inside it were told of.
      check(end == kelm::StreamEnd::kWriteFailed);
      check(written.size() <= room && std::equal(written.begin(), written.end(), expected.begin()));
      check(told.size() <= ends.size() && std::equal(told.begin(), told.end(), ends.begin()));
      check(told.empty() || told.back() <= written.size());
      continue;
    }
    if (unknown_length) {
      // Where a pipe ends is where its stream ends.
      check(end == (readable == 0 ? kelm::StreamEnd::kEmpty : kelm::StreamEnd::kDone));
    } else {
      check(end ==
            (readable < payload.size() ? kelm::StreamEnd::kReadFailed : kelm::StreamEnd::kDone));
    }
    check(written == expected);
    check(told == ends);
  }
  return 0;
}
