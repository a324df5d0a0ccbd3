// Streams arbitrary payloads through the whole read/encipher/write path, in
// chunks of a few dozen bytes so that small inputs reach every lane, tile
// and group boundary, and checks the output and the chunks told against the
// plain reference, with the input cut short at an arbitrary byte or not.
//
// Input layout: byte 0: bit 0 decrypts, bit 1 writes in order, bits 2-3 the
// key length (16 << n), bits 4-5 the rounds in flight (1 + n % 3), bit 6 cuts
// the input short; byte 1 the seed; byte 2 the chunk length (1 to 256);
// byte 3 the lanes (1 to 32); byte 4 the tile (1 to 64); bytes 5-6 where
// the input is cut; then the key bytes, then the payload.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "file_io.h"
#include "kelm.h"
#include "kernels/kernels.h"
#include "pipeline.h"
#include "reference_cipher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeader = 7;

void check(bool condition) {
  if (!condition) std::abort();
}

/// The system's calls, with the input ending early at `end`.
class CutFiles final : public kelm::FileAccess {
 public:
  explicit CutFiles(std::uint64_t end) : end_(end) {}
  ssize_t read_at(int fd, std::uint8_t* buffer, std::size_t length, std::uint64_t offset) override {
    if (offset >= end_) return 0;
    return kelm::system_files().read_at(
        fd, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(length, end_ - offset)),
        offset);
  }
  ssize_t write(int fd, const std::uint8_t* buffer, std::size_t length) override {
    return kelm::system_files().write(fd, buffer, length);
  }
  ssize_t write_at(int fd, const std::uint8_t* buffer, std::size_t length,
                   std::uint64_t offset) override {
    return kelm::system_files().write_at(fd, buffer, length, offset);
  }
  int truncate(int fd, std::uint64_t length) override {
    return kelm::system_files().truncate(fd, length);
  }

 private:
  std::uint64_t end_;
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
  plan.output_seekable = (data[0] & 2) == 0;
  plan.rounds_in_flight = 1 + ((data[0] >> 4) & 3) % 3;
  plan.chunk_size = 1 + std::uint64_t{data[2]};
  plan.max_lanes = 1 + data[3] % kelm::kernels::kMaxLanes;
  plan.tile = 1 + data[4] % 64;
  plan.stretch = plan.max_lanes * plan.tile;
  plan.payload = payload.size();
  std::uint64_t readable = payload.size();
  if ((data[0] & 0x40) != 0)
    readable = std::min<std::uint64_t>(readable, data[5] | std::uint64_t{data[6]} << 8);

  // The reference's output: chunk by chunk, up to the first unreadable byte.
  Bytes expected(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(readable));
  for (std::uint64_t at = 0; at < readable; at += plan.chunk_size) {
    const std::uint64_t length = std::min(plan.chunk_size, readable - at);
    kelm::reference::transform_chunk(key_bytes, !decrypt, expected.data() + at, length, seed);
  }
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
  check(key.assign(key_bytes));
  for (const kelm::kernels::Kernels* set : kelm::kernels::available()) {
    plan.kernels = set;
    check(ftruncate(output, 0) == 0 && lseek(output, 0, SEEK_SET) == 0);
    CutFiles files(readable);
    std::vector<std::uint64_t> told;
    const kelm::StreamEnd end = kelm::stream_payload(
        plan, key.schedule(seed), files, [&](std::uint64_t position) { told.push_back(position); });
    check(end ==
          (readable < payload.size() ? kelm::StreamEnd::kReadFailed : kelm::StreamEnd::kDone));
    check(contents(output) == expected);
    check(told == ends);
  }
  return 0;
}
