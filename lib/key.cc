// Reading, checking and wiping the key, and the tables derived from it.
#include "key.h"

#include <algorithm>
#include <new>

#include "kernels/kernels.h"
#include "platform.h"

namespace kelm {

namespace {

/// A schedule's region holds the schedule first, then its copy of the key.
constexpr std::size_t kKeyOffset = (sizeof(kernels::Schedule) + 63) / 64 * 64;
static_assert(alignof(kernels::Schedule) <= 64);

}  // namespace

kelm_status check_key_length(std::uint64_t length) {
  if (length < MIN_KEY_SIZE) return KELM_KEY_TOO_SMALL;
  if ((length & (length - 1)) != 0) return KELM_KEY_NOT_POWER_OF_TWO;
  if (length > MAX_KEY_SIZE) return KELM_KEY_TOO_LARGE;
  return KELM_OK;
}

kelm_status CipherKey::allocate(std::uint64_t length, PageSource& pages) {
  wipe();
  region_ =
      SecretRegion(MAX_KEY_SIZE, SecretRegion::Lock::kYes, SecretRegion::Populate::kNo, pages);
  if (!region_.valid()) return KELM_NO_MEMORY;
  size_ = static_cast<std::uint8_t>(length);
  return KELM_OK;
}

kelm_status CipherKey::assign(std::span<const std::uint8_t> bytes, PageSource& pages) {
  wipe();
  if (const kelm_status status = check_key_length(bytes.size())) return status;
  if (const kelm_status status = allocate(bytes.size(), pages)) return status;
  std::copy(bytes.begin(), bytes.end(), reinterpret_cast<std::uint8_t*>(region_.data()));
  return KELM_OK;
}

kelm_status CipherKey::read(int fd, std::uint64_t& length, FileAccess& files, PageSource& pages) {
  wipe();
  length = 0;
  const std::optional<Descriptor> file = describe(fd);
  if (!file) return KELM_READ_FAILED;
  if (file->regular) {
    // The length is taken in full: a long file is never mistaken for a short key.
    length = file->size > file->position ? file->size - file->position : 0;
    if (const kelm_status status = check_key_length(length)) return status;
    if (const kelm_status status = allocate(length, pages)) return status;
    auto* const bytes = reinterpret_cast<std::uint8_t*>(region_.data());
    const ReadResult got = read_full_at(files, fd, bytes, size_, file->position);
    if (!got.failed && got.count == length) return KELM_OK;
    wipe();
    return KELM_READ_FAILED;
  }
  // A pipe tells its length only by ending: it is read whole into memory as
  // secret as the key's, one byte past the limit to see a longer one.
  const SecretRegion stream(KEY_STREAM_LIMIT + 1, SecretRegion::Lock::kYes,
                            SecretRegion::Populate::kNo, pages);
  if (!stream.valid()) return KELM_NO_MEMORY;
  auto* const read = reinterpret_cast<std::uint8_t*>(stream.data());
  const ReadResult got = read_full(files, fd, read, KEY_STREAM_LIMIT + 1);
  if (got.failed || got.count > KEY_STREAM_LIMIT) return KELM_READ_FAILED;
  length = got.count;
  if (const kelm_status status = check_key_length(length)) return status;
  if (const kelm_status status = allocate(length, pages)) return status;
  std::copy(read, read + length, reinterpret_cast<std::uint8_t*>(region_.data()));
  return KELM_OK;
}

std::span<const std::uint8_t> CipherKey::bytes() const {
  if (!region_.valid()) return {};
  return {reinterpret_cast<const std::uint8_t*>(region_.data()), size_};
}

void CipherKey::wipe() noexcept {
  region_ = SecretRegion();  // zeroes the key, then frees it
  size_ = 0;
}

KeySchedule::KeySchedule(std::span<const std::uint8_t> key, std::uint8_t seed, PageSource& pages)
    : region_(kKeyOffset + MAX_KEY_SIZE, SecretRegion::Lock::kYes, SecretRegion::Populate::kNo,
              pages) {
  if (!region_.valid()) return;
  auto* const copy = reinterpret_cast<std::uint8_t*>(region_.data() + kKeyOffset);
  std::copy(key.begin(), key.end(), copy);
  schedule_ = new (region_.data()) kernels::Schedule({copy, key.size()}, seed);
}

void KeySchedule::reseed(std::uint8_t seed) {
  const std::span<const std::uint8_t> key = schedule_->key();
  schedule_->~Schedule();
  schedule_ = new (region_.data()) kernels::Schedule(key, seed);
}

KeySchedule::~KeySchedule() {
  if (schedule_ != nullptr) schedule_->~Schedule();
  // The region zeroes the tables and the key's copy as it goes.
}

}  // namespace kelm
