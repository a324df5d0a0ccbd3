// Feeds arbitrary bytes, of arbitrary length, to the key loader as the
// contents of a key file, and checks that it either loads exactly those
// bytes or refuses them with the status their length deserves.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "key.h"

namespace {

bool usable(std::size_t size) { return size == 16 || size == 32 || size == 64 || size == 128; }

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One in-memory file, refilled for every input: no disk traffic.
  static const int fd = memfd_create("key", 0);
  check(fd >= 0 && ftruncate(fd, 0) == 0);
  check(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  check(lseek(fd, 0, SEEK_SET) == 0);

  kelm_key* key = nullptr;
  std::uint64_t length = 0;
  const kelm_status status = kelm_key_read_fd(fd, &key, &length);
  check((status == KELM_OK) == usable(size) && length == size);
  if (status != KELM_OK) {
    check(key == nullptr);
    check(status == KELM_KEY_TOO_SMALL || status == KELM_KEY_NOT_POWER_OF_TWO ||
          status == KELM_KEY_TOO_LARGE);
  } else {
    check(key->key.bytes().size() == size);
    check(std::memcmp(key->key.bytes().data(), data, size) == 0);
  }
  kelm_key_free(key);
  return 0;
}
