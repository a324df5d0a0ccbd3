#include "secure_memory.h"

#include <string.h>  // explicit_bzero
#include <sys/mman.h>
#include <unistd.h>

#include <utility>

namespace kelm {

void wipe_bytes(void* data, std::size_t length) noexcept {
  if (data != nullptr && length != 0) explicit_bzero(data, length);
}

namespace {

std::size_t round_to_pages(std::size_t size) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::size_t unit = page > 0 ? static_cast<std::size_t>(page) : 4096;
  return (size + unit - 1) / unit * unit;
}

class SystemPages final : public PageSource {
 public:
  void* map(std::size_t size, bool populate) override {
    // Anonymous private memory arrives zeroed and belongs to this process alone.
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0);
    void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
  }
  void unmap(void* block, std::size_t size) noexcept override { (void)::munmap(block, size); }
};

}  // namespace

PageSource& system_pages() {
  static SystemPages pages;
  return pages;
}

SecretRegion::SecretRegion(std::size_t size, Lock lock, Populate populate, PageSource& pages) {
  if (size == 0) return;
  const std::size_t rounded = round_to_pages(size);
  void* block = pages.map(rounded, populate == Populate::kYes);
  if (block == nullptr) return;
  pages_ = &pages;
  data_ = static_cast<std::byte*>(block);
  size_ = rounded;
  kept_out_of_dumps_ = ::madvise(block, rounded, MADV_DONTDUMP) == 0;
  // The locked-memory limit may be small; an unlocked key still works.
  locked_ = lock == Lock::kYes && ::mlock(block, rounded) == 0;
}

SecretRegion::SecretRegion(SecretRegion&& other) noexcept { take(other); }

SecretRegion& SecretRegion::operator=(SecretRegion&& other) noexcept {
  if (this != &other) {
    release();
    take(other);
  }
  return *this;
}

SecretRegion::~SecretRegion() { release(); }

void SecretRegion::take(SecretRegion& other) noexcept {
  pages_ = std::exchange(other.pages_, nullptr);
  data_ = std::exchange(other.data_, nullptr);
  size_ = std::exchange(other.size_, 0);
  locked_ = std::exchange(other.locked_, false);
  kept_out_of_dumps_ = std::exchange(other.kept_out_of_dumps_, false);
}

void SecretRegion::release() noexcept {
  if (data_ == nullptr) return;
  wipe_bytes(data_, size_);
  if (locked_) (void)::munlock(data_, size_);
  pages_->unmap(data_, size_);
  pages_ = nullptr;
  data_ = nullptr;
  size_ = 0;
  locked_ = false;
  kept_out_of_dumps_ = false;
}

}  // namespace kelm
