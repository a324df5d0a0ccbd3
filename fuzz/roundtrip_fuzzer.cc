// Enciphers arbitrary data with an arbitrary key and seed, and checks the
// result against the plain reference cipher and that decryption, by every
// kernel, gives the data back.
//
// Input layout: byte 0 picks the key length (16, 32, 64 or 128), byte 1 is
// the seed, then the key bytes, then the data.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cipher_kernels.h"
#include "kelm.h"
#include "reference_cipher.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t key_size = std::size_t{16} << (data[0] & 3);
  const std::uint8_t seed = data[1];
  if (size < 2 + key_size) return 0;
  const std::vector<std::uint8_t> key_bytes(data + 2, data + 2 + key_size);
  const std::vector<std::uint8_t> plain(data + 2 + key_size, data + size);

  kelm::CipherKey key;
  check(key.assign(key_bytes));

  std::vector<std::uint8_t> expected = plain;
  kelm::reference::transform_chunk(key_bytes, true, expected.data(), expected.size(), seed);

  std::vector<std::uint8_t> sealed = plain;
  key.encrypt_chunk(sealed.data(), sealed.size(), seed);
  check(sealed == expected);
  std::vector<std::uint8_t> batched = plain;
  key.encrypt_chunks(batched.data(), batched.size(), seed);
  check(batched == expected);

  std::vector<std::uint8_t> opened = sealed;
  key.decrypt_chunk(opened.data(), opened.size(), seed);
  check(opened == plain);

  const kelm::kernels::Schedule schedule(key_bytes, seed);
  opened = sealed;
  kelm::kernels::decrypt_portable(schedule, opened.data(), opened.size());
  check(opened == plain);
  if (kelm::kernels::has_avx2()) {
    opened = sealed;
    kelm::kernels::decrypt_avx2(schedule, opened.data(), opened.size());
    check(opened == plain);
  }
  return 0;
}
