#include "secure_memory.h"

#include <utility>

#include "platform.h"

namespace kelm {

namespace {

std::size_t round_to_pages(std::size_t size) {
  const std::size_t unit = page_size();
  return (size + unit - 1) / unit * unit;
}

class SystemPages final : public PageSource {
 public:
  void* map(std::size_t size, bool populate) override { return map_pages(size, populate); }
  void unmap(void* block, std::size_t size) noexcept override { unmap_pages(block, size); }
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
  kept_out_of_dumps_ = exclude_from_dumps(block, rounded);
  // The locked-memory limit may be small; an unlocked key still works.
  locked_ = lock == Lock::kYes && lock_pages(block, rounded);
}

SecretRegion::SecretRegion(SecretRegion&& other) noexcept { move_from(other); }

SecretRegion& SecretRegion::operator=(SecretRegion&& other) noexcept {
  if (this != &other) {
    give_back();
    move_from(other);
  }
  return *this;
}

SecretRegion::~SecretRegion() { give_back(); }

void SecretRegion::move_from(SecretRegion& other) noexcept {
  pages_ = std::exchange(other.pages_, nullptr);
  data_ = std::exchange(other.data_, nullptr);
  size_ = std::exchange(other.size_, 0);
  locked_ = std::exchange(other.locked_, false);
  kept_out_of_dumps_ = std::exchange(other.kept_out_of_dumps_, false);
}

void SecretRegion::give_back() noexcept {
  if (data_ == nullptr) return;
  wipe_pages(data_, size_);
  if (locked_) unlock_pages(data_, size_);
  pages_->unmap(data_, size_);
  pages_ = nullptr;
  data_ = nullptr;
  size_ = 0;
  locked_ = false;
  kept_out_of_dumps_ = false;
}

}  // namespace kelm
