// The feedback XOR cipher, one chunk at a time. Every byte is combined with
// two key bytes: one picked through the key by the byte's position and the
// seed, the other by the previous ciphertext byte. Both directions feed back
// the ciphertext byte, which is what makes decryption undo encryption. The
// loops themselves are the kernels', picked for this processor.
#include <algorithm>

#include "kelm.h"
#include "kernels/kernels.h"

namespace kelm {
namespace {

/// Longest stretch handed to a kernel at once, so a chunk length that does
/// not fit a size_t (on 32-bit processors) is still taken whole.
constexpr std::uint64_t kStretch = std::uint64_t{1} << 30;

}  // namespace

void CipherKey::encrypt_chunk(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  feedback_ = 0;
  if (length == 0) return;
  const kernels::Schedule& tables = schedule(seed);
  const kernels::Kernels& kernels = kernels::best();
  for (std::uint64_t at = 0; at < length; at += kStretch) {
    const auto span = static_cast<std::size_t>(std::min(kStretch, length - at));
    // One lane: the stride never matters, so the stretch's own length will do.
    kernels.encrypt_lanes(tables, buffer + at, span, 1, at, span, &feedback_);
  }
}

void CipherKey::decrypt_chunk(std::uint8_t* buffer, std::uint64_t length, std::uint8_t seed) {
  feedback_ = 0;
  if (length == 0) return;
  const kernels::Schedule& tables = schedule(seed);
  const kernels::Kernels& kernels = kernels::best();
  std::uint8_t previous = 0;
  for (std::uint64_t at = 0; at < length; at += kStretch) {
    const auto span = static_cast<std::size_t>(std::min(kStretch, length - at));
    previous = kernels.decrypt(tables, buffer + at, at, span, previous);
  }
  feedback_ = previous;
}

}  // namespace kelm
