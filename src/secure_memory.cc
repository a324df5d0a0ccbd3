#include "secure_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <utility>

#include "kelm.h"

namespace kelm {

namespace {

std::size_t round_to_pages(std::size_t size) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::size_t unit = page > 0 ? static_cast<std::size_t>(page) : 4096;
  return (size + unit - 1) / unit * unit;
}

}  // namespace

SecretRegion::SecretRegion(std::size_t size, Lock lock, Populate populate) {
  if (size == 0) return;
  const std::size_t rounded = round_to_pages(size);
  // Anonymous private memory arrives zeroed and belongs to this process alone.
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (populate == Populate::kYes ? MAP_POPULATE : 0);
  void* block = ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (block == MAP_FAILED) return;
  data_ = static_cast<std::byte*>(block);
  size_ = rounded;
  kept_out_of_dumps_ = ::madvise(block, rounded, MADV_DONTDUMP) == 0;
  // The locked-memory limit may be small; an unlocked key still works.
  locked_ = lock == Lock::kYes && ::mlock(block, rounded) == 0;
}

SecretRegion::SecretRegion(SecretRegion&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      locked_(std::exchange(other.locked_, false)),
      kept_out_of_dumps_(std::exchange(other.kept_out_of_dumps_, false)) {}

SecretRegion& SecretRegion::operator=(SecretRegion&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    locked_ = std::exchange(other.locked_, false);
    kept_out_of_dumps_ = std::exchange(other.kept_out_of_dumps_, false);
  }
  return *this;
}

SecretRegion::~SecretRegion() { release(); }

void SecretRegion::release() noexcept {
  if (data_ == nullptr) return;
  wipe_bytes(data_, size_);
  if (locked_) (void)::munlock(data_, size_);
  (void)::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  locked_ = false;
  kept_out_of_dumps_ = false;
}

}  // namespace kelm
