// The tables every kernel set shares, and the one place that picks a set.
#include <cassert>
#include <cstdlib>
#include <limits>
#include <utility>

#include "cipher_kernels.h"
#include "kelm.h"
#include "kernel_sets.h"

namespace kelm::kernels {

static_assert(Schedule::kPositionSpan >= MAX_KEY_SIZE + kWidestLoad,
              "a load of kWidestLoad bytes at any position below the key length must stay in "
              "the position table");
static_assert(MAX_KEY_SIZE <=
                  std::numeric_limits<decltype(std::declval<CipherKey>().size())>::max(),
              "the largest key must fit the key's size field");

namespace {

bool usable_key_size(std::size_t size) {
  return size == 16 || size == 32 || size == 64 || size == 128;
}

}  // namespace

Schedule::Schedule(std::span<const std::uint8_t> key, std::uint8_t seed)
    : key_(key), mask_(key.size() - 1) {
  // Any other length would make the masks below read past the key. The check
  // costs nothing next to building the tables, so it stays in every build.
  assert(usable_key_size(key.size()));
  if (!usable_key_size(key.size())) std::abort();
  // The key length is a power of two, so reducing modulo it keeps the low bits.
  for (std::uint64_t n = 0; n < kPositionSpan; ++n) {
    by_position_[n] = key[key[(seed + n) & mask_] & mask_];
  }
  for (std::uint64_t f = 0; f < 256; ++f) {
    by_feedback_[f] = key[f & mask_];
    by_feedback_wide_[f] = by_feedback_[f];
  }
}

Schedule::~Schedule() {
  wipe_bytes(by_position_, sizeof by_position_);
  wipe_bytes(by_feedback_, sizeof by_feedback_);
  wipe_bytes(by_feedback_wide_, sizeof by_feedback_wide_);
}

namespace {

/// The sets of this build that this processor runs, fastest last.
struct Choice {
  const Kernels* sets[4] = {};
  std::size_t count = 0;

  void add(const Kernels& kernels) { sets[count++] = &kernels; }
};

Choice find_available() {
  Choice choice;
  choice.add(kPortable);
#if defined(KELM_HAVE_AVX2)
  if (__builtin_cpu_supports("avx2")) choice.add(kAvx2);
#endif
#if defined(KELM_HAVE_AVX512)
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi")) {
    choice.add(kAvx512);
  }
#endif
#if defined(KELM_HAVE_NEON)
  // Every arm64 processor has NEON.
  choice.add(kNeon);
#endif
  return choice;
}

const Choice& choice() {
  static const Choice found = find_available();
  return found;
}

}  // namespace

std::span<const Kernels* const> available() {
  const Choice& found = choice();
  return {found.sets, found.count};
}

const Kernels& best() {
  const Choice& found = choice();
  return *found.sets[found.count - 1];
}

}  // namespace kelm::kernels
