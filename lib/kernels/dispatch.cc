// The schedule's tables, and the one place that picks a kernel set.
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cassert>
#include <cstdlib>

#include "kernel_sets.h"
#include "kernels.h"
#include "platform.h"

namespace kelm::kernels {

static_assert(Schedule::kPositionSpan >= MAX_KEY_SIZE + kWidestLoad,
              "a load of kWidestLoad bytes at any position below the key length must stay in "
              "the position table");

Schedule::Schedule(std::span<const std::uint8_t> key, std::uint8_t seed)
    : key_(key), mask_(key.size() - 1) {
  // Any other length would make the masks below read past the key. The check
  // costs nothing next to building the tables, so it stays in every build.
  assert(usable_key_size(key.size()));
  if (!usable_key_size(key.size())) std::abort();
  // The key length is a power of two, so reducing modulo it keeps the low bits.
  const std::size_t mask = key.size() - 1;
  for (std::size_t n = 0; n < kPositionSpan; ++n) {
    by_position_[n] = key[key[(seed + n) & mask] & mask];
  }
  for (std::size_t f = 0; f < 256; ++f) {
    by_feedback_[f] = key[f & mask];
    by_feedback_wide_[f] = by_feedback_[f];
  }
}

Schedule::~Schedule() {
  wipe_bytes(by_position_, sizeof by_position_);
  wipe_bytes(by_feedback_, sizeof by_feedback_);
  wipe_bytes(by_feedback_wide_, sizeof by_feedback_wide_);
}

namespace {

/// The sets of this build that this processor runs, narrowest first: each
/// added set is wider than those before it, so the last is the widest.
struct Choice {
  const Kernels* sets[4] = {};
  std::size_t count = 0;

  void add(const Kernels& kernels) { sets[count++] = &kernels; }
};

#if defined(KELM_HAVE_AVX2) || defined(KELM_HAVE_AVX512)
/// What this x86 processor and its operating system can run. Asked with
/// three cpuid and one xgetbv, on first use only: the compiler's own probe
/// runs at every start and asks far more, and in a virtual machine each
/// cpuid traps to the hypervisor.
struct X86Features {
  bool avx2 = false;
  bool avx512 = false;  // F, BW, VL and VBMI
};

X86Features ask_processor() {
  X86Features features;
  unsigned a = 0;
  unsigned b = 0;
  unsigned c = 0;
  unsigned d = 0;
  __cpuid(0, a, b, c, d);
  if (a < 7) return features;
  __cpuid(1, a, b, c, d);
  if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return features;
  // The operating system must save the vector registers: xmm and ymm state
  // (bits 1-2) for AVX2, and the mask and zmm state (bits 5-7) for AVX-512.
  unsigned saved = 0;
  unsigned saved_high = 0;
  __asm__("xgetbv" : "=a"(saved), "=d"(saved_high) : "c"(0));
  const bool ymm = (saved & 0x6U) == 0x6U;
  const bool zmm = (saved & 0xE6U) == 0xE6U;
  __cpuid_count(7, 0, a, b, c, d);
  features.avx2 = ymm && (b & bit_AVX2) != 0;
  features.avx512 = zmm && (b & bit_AVX512F) != 0 && (b & bit_AVX512BW) != 0 &&
                    (b & bit_AVX512VL) != 0 && (c & bit_AVX512VBMI) != 0;
  return features;
}
#endif

Choice find_available() {
  Choice choice;
  choice.add(kPortable);
#if defined(KELM_HAVE_AVX2) || defined(KELM_HAVE_AVX512)
  const X86Features features = ask_processor();
#endif
#if defined(KELM_HAVE_AVX2)
  if (features.avx2) choice.add(kAvx2);
#endif
#if defined(KELM_HAVE_AVX512)
  if (features.avx512) choice.add(kAvx512);
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
