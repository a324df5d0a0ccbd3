// Enciphers arbitrary stretches of several chunks with every kernel set this
// processor runs, checks them against the plain reference cipher, and checks
// that each set's decryption gives the data back.
//
// Input layout: byte 0 picks the key length (16, 32, 64 or 128 by its low
// two bits), byte 1 is the seed, byte 2 the lane count (1 to 32), bytes 3
// and 4 the stretch's start position in its chunks (0 to 4095), byte 5 the
// stride's excess over the stretch length; then the key bytes, then the
// data, cut into one stretch per lane.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels/kernels.h"
#include "reference_cipher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeader = 6;

// Copies and comparisons go through <algorithm>, which takes empty ranges
// at null pointers in its stride, unlike memcpy and memcmp.
void check(bool condition) {
  if (!condition) std::abort();
}

struct Input {
  Bytes key;
  std::uint8_t seed;
  std::size_t count;
  std::size_t position;
  std::size_t length;
  std::size_t stride;
  const std::uint8_t* data;
};

/// Lane j's whole chunk up to the end of its stretch, enciphered by the
/// reference: a fixed prefix, then the lane's bytes from the input.
Bytes reference_lane(const Input& in, std::size_t j, bool encrypt_it, Bytes* plain) {
  Bytes chunk(in.position + in.length);
  for (std::size_t n = 0; n < in.position; ++n) chunk[n] = static_cast<std::uint8_t>(n * 31 + j);
  std::copy_n(in.data + j * in.length, in.length, chunk.data() + in.position);
  *plain = chunk;
  if (encrypt_it) kelm::reference::encrypt_chunk(in.key, chunk.data(), chunk.size(), in.seed);
  return chunk;
}

std::uint8_t before(const Bytes& sealed, std::size_t position) {
  return position == 0 ? 0 : sealed[position - 1];
}

void check_set(const kelm::kernels::Kernels& set, const Input& in) {
  const kelm::kernels::Schedule schedule(in.key, in.seed);
  std::vector<Bytes> plains(in.count);
  std::vector<Bytes> sealed(in.count);
  Bytes lanes(in.count * in.stride + 1, 0x5C);
  std::uint8_t feedback[kelm::kernels::kMaxLanes + 1];
  std::memset(feedback, 0x3D, sizeof feedback);
  for (std::size_t j = 0; j < in.count; ++j) {
    sealed[j] = reference_lane(in, j, true, &plains[j]);
    std::copy_n(plains[j].data() + in.position, in.length, lanes.data() + j * in.stride);
    feedback[j] = before(sealed[j], in.position);
  }
  set.encrypt_lanes(schedule, lanes.data(), in.stride, in.count, in.position, in.length, feedback);
  check(feedback[in.count] == 0x3D && lanes.back() == 0x5C);
  for (std::size_t j = 0; j < in.count; ++j) {
    std::uint8_t* const lane = lanes.data() + j * in.stride;
    check(std::equal(lane, lane + in.length, sealed[j].data() + in.position));
    check(feedback[j] == before(sealed[j], in.position + in.length));
    for (std::size_t n = in.length; n < in.stride; ++n) check(lane[n] == 0x5C);
    const std::uint8_t last =
        set.decrypt(schedule, lane, in.position, in.length, before(sealed[j], in.position));
    check(last == feedback[j]);
    check(std::equal(lane, lane + in.length, plains[j].data() + in.position));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  const std::size_t key_size = std::size_t{16} << (data[0] & 3);
  if (size < kHeader + key_size) return 0;
  Input in;
  in.key.assign(data + kHeader, data + kHeader + key_size);
  in.seed = data[1];
  in.count = std::size_t{1} + data[2] % kelm::kernels::kMaxLanes;
  in.position = data[3] + 256u * (data[4] & 0x0Fu);
  in.length = (size - kHeader - key_size) / in.count;
  in.stride = in.length + data[5];
  in.data = data + kHeader + key_size;

  for (const kelm::kernels::Kernels* set : kelm::kernels::available()) check_set(*set, in);

  // Lane 0's whole chunk in one stretch, through the set the program picks.
  const kelm::kernels::Kernels& best = kelm::kernels::best();
  const kelm::kernels::Schedule schedule(in.key, in.seed);
  Bytes plain;
  const Bytes sealed = reference_lane(in, 0, true, &plain);
  Bytes chunk = plain;
  std::uint8_t feedback = 0;
  best.encrypt_lanes(schedule, chunk.data(), chunk.size(), 1, 0, chunk.size(), &feedback);
  check(chunk == sealed && feedback == before(sealed, sealed.size()));
  check(best.decrypt(schedule, chunk.data(), 0, chunk.size(), 0) == feedback);
  check(chunk == plain);
  return 0;
}
