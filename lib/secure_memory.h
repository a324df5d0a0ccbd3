// Memory for secrets: the key, the tables derived from it and the buffers of
// plaintext. Kept out of core dumps, optionally locked against swapping, and
// zeroed before it is given back.
#pragma once

#include <cstddef>

namespace kelm {

/// Where blocks of memory come from and go back to. The program uses the
/// system's pages; tests stand in their own to refuse a block, or to look at
/// what a block holds when it is given back.
class PageSource {
 public:
  virtual ~PageSource() = default;
  /// `size` bytes (a whole number of pages) of private, zeroed memory, all
  /// put in place at once when `populate`; nullptr when none can be had.
  virtual void* map(std::size_t size, bool populate) = 0;
  /// Gives back a block that map() handed out.
  virtual void unmap(void* block, std::size_t size) noexcept = 0;
};

/// The system's own pages.
PageSource& system_pages();

/// A block of private, page-aligned memory, zero when it is handed out,
/// excluded from core dumps and, when asked, locked in memory. Both are a
/// best effort: where the system refuses, the block is still usable. Every
/// byte is wiped before the memory is given back.
class SecretRegion {
 public:
  enum class Lock { kNo, kYes };
  /// Whether every page is put in place at once: one call instead of a
  /// fault per page at first touch, for memory that will all be used.
  enum class Populate { kNo, kYes };

  SecretRegion() = default;
  /// At least `size` bytes from `pages`. Check valid(): there may be none.
  SecretRegion(std::size_t size, Lock lock, Populate populate = Populate::kNo,
               PageSource& pages = system_pages());
  SecretRegion(SecretRegion&& other) noexcept;
  SecretRegion& operator=(SecretRegion&& other) noexcept;
  SecretRegion(const SecretRegion&) = delete;
  SecretRegion& operator=(const SecretRegion&) = delete;
  ~SecretRegion();

  bool valid() const { return data_ != nullptr; }
  std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }
  /// Whether the system agreed to keep the block out of swap.
  bool locked() const { return locked_; }
  /// Whether the system agreed to leave the block out of core dumps.
  bool kept_out_of_dumps() const { return kept_out_of_dumps_; }

 private:
  void give_back() noexcept;
  void move_from(SecretRegion& other) noexcept;

  PageSource* pages_ = nullptr;
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  bool locked_ = false;
  bool kept_out_of_dumps_ = false;
};

}  // namespace kelm
