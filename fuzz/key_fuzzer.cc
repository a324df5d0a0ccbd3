// Feeds arbitrary bytes, of arbitrary length, to the key loader as the
// contents of a key file, and checks that it either loads exactly those
// bytes or refuses them with a proper message.
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "key.h"

namespace {

bool usable(std::size_t size) { return size == 16 || size == 32 || size == 64 || size == 128; }

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

/// The key loader's text, kept.
struct Captured : kelm::TextOut {
  std::string text;
  void deliver(std::string_view more) override { text.append(more); }
};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One in-memory file, refilled for every input: no disk traffic.
  static const int fd = memfd_create("key", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  check(fd >= 0 && ftruncate(fd, 0) == 0);
  check(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

  kelm::CipherKey key;
  Captured out;
  const std::optional<kelm::Failure> failure = key.load_key_file(path, out);
  check(failure.has_value() != usable(size));
  if (failure) {
    check(failure->status == 1 || failure->status == 2 || failure->status == 4);
    check(failure->message.rfind("Error: ", 0) == 0 && failure->message.back() == '\n');
    check(key.size() == 0 && key.bytes().empty());
  } else {
    check(key.size() == size);
    check(std::memcmp(key.bytes().data(), data, size) == 0);
    out.flush();
    const int power = std::countr_zero(size);
    check(out.text == "keysize is 2^" + std::to_string(power) + "\n");
  }
  return 0;
}
