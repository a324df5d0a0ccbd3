// Every kernel set of this build, for the dispatch and the tests, and what
// the set files share among themselves. Not for the rest of the program,
// which goes through available() and best().
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace kelm::kernels {

/// Plain C++, built everywhere, and the fallback on every processor.
extern const Kernels kPortable;
#if defined(KELM_HAVE_AVX2)
/// x86-64 with AVX2; chosen at run time.
extern const Kernels kAvx2;
#endif
#if defined(KELM_HAVE_AVX512)
/// x86-64 with AVX-512 F, BW, VL and VBMI; chosen at run time.
extern const Kernels kAvx512;
#endif
#if defined(KELM_HAVE_NEON)
/// arm64, which always has NEON.
extern const Kernels kNeon;
#endif

/// Deciphers `length` bytes one at a time, with the same contract as
/// Kernels::decrypt: the tail that the wider loops leave.
std::uint8_t decrypt_tail(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                          std::size_t length, std::uint8_t previous);

}  // namespace kelm::kernels
