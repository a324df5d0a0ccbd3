// Loading, checking and wiping the key.
#include "key.h"

#include <algorithm>
#include <limits>
#include <new>
#include <span>
#include <string>

#include "file_io.h"
#include "kernels/kernels.h"
#include "system.h"

namespace kelm {

static_assert(MAX_KEY_SIZE <=
                  std::numeric_limits<decltype(std::declval<CipherKey>().size())>::max(),
              "the largest key must fit the key's size field");

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

/// The key's region holds the schedule first, then the key bytes.
constexpr std::size_t kKeyOffset = (sizeof(kernels::Schedule) + 63) / 64 * 64;
static_assert(alignof(kernels::Schedule) <= 64);

std::uint8_t* key_bytes(const SecretRegion& region) {
  return reinterpret_cast<std::uint8_t*>(region.data() + kKeyOffset);
}

}  // namespace

std::optional<Failure> CipherKey::load_key_file(const std::string& name, TextOut& out,
                                                FileAccess& files, PageSource& pages) {
  wipe();
  FileInfo info;
  std::optional<UniqueFd> file = open_input_file(name, info);
  if (!file) return cannot_load(name);
  if (info.kind == FileKind::kRegular) {
    // The length is taken in full: a long file is never mistaken for a short key.
    return take(name, info.size, out, pages, [&](std::uint8_t* bytes, std::uint8_t size) {
      const ReadResult got = read_full_at(files, file->get(), bytes, size, 0);
      return !got.failed && got.count == size && close_file(files, *file);
    });
  }
  // A pipe tells its length only by ending: it is read whole into memory as
  // secret as the key's, one byte past the limit to see a longer one.
  const SecretRegion stream(KEY_STREAM_LIMIT + 1, SecretRegion::Lock::kYes,
                            SecretRegion::Populate::kNo, pages);
  if (!stream.valid()) return Failure{STATUS_RESOURCE, "Error: malloc buffer failed.\n"};
  auto* const read = reinterpret_cast<std::uint8_t*>(stream.data());
  const ReadResult got = read_full(files, file->get(), read, KEY_STREAM_LIMIT + 1);
  if (got.failed || got.count > KEY_STREAM_LIMIT || !close_file(files, *file)) {
    return cannot_load(name);
  }
  return take(name, got.count, out, pages, [&](std::uint8_t* bytes, std::uint8_t size) {
    std::copy(read, read + size, bytes);
    return true;
  });
}

template <typename Fill>
std::optional<Failure> CipherKey::take(const std::string& name, std::uint64_t length, TextOut& out,
                                       PageSource& pages, Fill fill) {
  if (length < MIN_KEY_SIZE) return Failure{STATUS_KEY_SIZE, "Error: keysize is too small!\n"};
  const std::uint8_t power = power_for(length);

  // Only a usable key is taken, so no more than MAX_KEY_SIZE bytes are ever held.
  if (usable_key_size(length)) {
    const auto size = static_cast<std::uint8_t>(length);
    if (!allocate(size, pages)) {
      return Failure{STATUS_RESOURCE,
                     "Error: key malloc failed for keysize " + std::to_string(size) + "\n"};
    }
    if (!fill(key_bytes(region_), size)) {
      wipe();
      return cannot_load(name);
    }
  }

  out << "keysize is 2^" << unsigned{power} << "\n";
  if ((std::uint64_t{1} << power) != length) {
    out << "keysize: " << length << " power: " << unsigned{power} << "\n";
    return Failure{STATUS_KEY_SIZE, "Error: keysize not a power of 2!\n"};
  }
  if (length > MAX_KEY_SIZE) return Failure{STATUS_KEY_SIZE, "Error: keysize is too large!\n"};
  return std::nullopt;
}

bool CipherKey::assign(std::span<const std::uint8_t> bytes, PageSource& pages) {
  wipe();
  if (!usable_key_size(bytes.size())) return false;
  const auto size = static_cast<std::uint8_t>(bytes.size());
  if (!allocate(size, pages)) return false;
  std::copy(bytes.begin(), bytes.end(), key_bytes(region_));
  return true;
}

CipherKey::~CipherKey() { wipe(); }

bool CipherKey::allocate(std::uint8_t size, PageSource& pages) {
  region_ = SecretRegion(kKeyOffset + MAX_KEY_SIZE, SecretRegion::Lock::kYes,
                         SecretRegion::Populate::kNo, pages);
  if (!region_.valid()) return false;
  size_ = size;
  return true;
}

std::span<const std::uint8_t> CipherKey::bytes() const {
  if (!region_.valid()) return {};
  return {key_bytes(region_), size_};
}

const kernels::Schedule& CipherKey::schedule(std::uint8_t seed) {
  drop_schedule();
  schedule_ = new (region_.data()) kernels::Schedule(bytes(), seed);
  return *schedule_;
}

void CipherKey::drop_schedule() noexcept {
  if (schedule_ == nullptr) return;
  schedule_->~Schedule();
  schedule_ = nullptr;
}

void CipherKey::wipe() noexcept {
  drop_schedule();
  region_ = SecretRegion();  // zeroes the key and its tables, then frees them
  size_ = 0;
}

}  // namespace kelm
