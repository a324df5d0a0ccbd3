// Loading, checking and wiping the key.
#include <string.h>  // explicit_bzero

#include <algorithm>
#include <new>
#include <string>

#include "file_io.h"
#include "kelm.h"

namespace kelm {

void wipe_bytes(void* data, std::size_t length) noexcept {
  if (data != nullptr && length != 0) explicit_bzero(data, length);
}

namespace {

Failure cannot_load(const std::string& name) {
  return {STATUS_USAGE, "Error: could not load key file " + name + "\n"};
}

/// Smallest p with 2^p >= length, computed in full width.
std::uint8_t power_for(std::uint64_t length) {
  std::uint8_t power = 0;
  while (power < 64 && (std::uint64_t{1} << power) < length) ++power;
  return power;
}

bool usable_length(std::uint64_t length) {
  return length >= MIN_KEY_SIZE && length <= MAX_KEY_SIZE && (length & (length - 1)) == 0;
}

}  // namespace

std::optional<Failure> CipherKey::load_key_file(const std::string& name, std::ostream& out) {
  wipe();
  struct stat info {};
  std::optional<UniqueFd> file = open_regular_file(name.c_str(), info);
  if (!file) return cannot_load(name);

  // The length is taken in full: a long file is never mistaken for a short key.
  const auto length = static_cast<std::uint64_t>(info.st_size);
  if (length < MIN_KEY_SIZE) return Failure{STATUS_KEY_SIZE, "Error: keysize is too small!\n"};
  const std::uint8_t power = power_for(length);

  // Only a usable key is read, so no more than MAX_KEY_SIZE bytes are ever held.
  if (usable_length(length)) {
    const auto size = static_cast<std::uint8_t>(length);
    bytes_.reset(new (std::nothrow) std::uint8_t[size]);
    if (!bytes_) {
      return Failure{STATUS_RESOURCE,
                     "Error: key malloc failed for keysize " + std::to_string(size) + "\n"};
    }
    size_ = size;
    const ReadResult got = read_full(file->get(), bytes_.get(), size);
    if (got.failed || got.count != size || !file->close()) {
      wipe();
      return cannot_load(name);
    }
    power_ = power;
  }

  out << "keysize is 2^" << unsigned{power} << "\n";
  if ((std::uint64_t{1} << power) != length) {
    out << "keysize: " << length << " power: " << unsigned{power} << "\n";
    return Failure{STATUS_KEY_SIZE, "Error: keysize not a power of 2!\n"};
  }
  if (length > MAX_KEY_SIZE) return Failure{STATUS_KEY_SIZE, "Error: keysize is too large!\n"};
  return std::nullopt;
}

bool CipherKey::assign(std::span<const std::uint8_t> bytes) {
  wipe();
  if (!usable_length(bytes.size())) return false;
  const auto size = static_cast<std::uint8_t>(bytes.size());
  bytes_.reset(new (std::nothrow) std::uint8_t[size]);
  if (!bytes_) return false;
  std::copy(bytes.begin(), bytes.end(), bytes_.get());
  size_ = size;
  power_ = power_for(size);
  return true;
}

void CipherKey::wipe() noexcept {
  wipe_bytes(bytes_.get(), size_);
  bytes_.reset();
  size_ = 0;
  feedback_ = 0;
}

}  // namespace kelm
