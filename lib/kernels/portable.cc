// The cipher's loops in plain C++: built for every processor, the fallback
// everywhere, and written so that byte order never matters.
//
// Encryption is a serial chain within a chunk (each byte needs the one
// before), so several chunks' chains run interleaved to keep the processor
// busy. Decryption's feedback is the ciphertext, known in advance, so it
// works a word at a time.
#include <algorithm>
#include <cstring>

#include "kernel_sets.h"
#include "kernels.h"

namespace kelm::kernels {
namespace {

/// Positions handled per block. A block's position key bytes are folded in
/// first, many at a time, so the serial chains that follow only have the
/// feedback pick left; kWidestLoad keeps the block inside the position table.
constexpr std::size_t kBlock = kWidestLoad;

/// Lanes whose chains one pass interleaves: enough to hide the latency of a
/// table load, few enough for the chains to stay in registers.
constexpr std::size_t kLanesPerPass = 8;

/// XORs the `length` (at most kBlock) bytes at `bytes`, which stand at chunk
/// positions from `position` on, with the key bytes those positions pick.
void fold_positions(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                    std::size_t length) {
  // by_position repeats with the key length and runs on kWidestLoad bytes
  // past any start below it, so the block needs no wrap-around.
  const std::uint8_t* const picked = schedule.by_position() + (position & schedule.mask());
  for (std::size_t i = 0; i < length; ++i) bytes[i] ^= picked[i];
}

/// Runs the chains of N lanes on by `length` positions, in step.
template <std::size_t N>
void encrypt_pass(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                  std::uint64_t position, std::size_t length, std::uint8_t* feedback) {
  unsigned chain[N];
  for (std::size_t j = 0; j < N; ++j) chain[j] = feedback[j];
  const std::uint32_t* const by_feedback = schedule.by_feedback_wide();
  for (std::size_t block = 0; block < length; block += kBlock) {
    const std::size_t span = std::min(kBlock, length - block);
    for (std::size_t j = 0; j < N; ++j) {
      fold_positions(schedule, lanes + j * stride + block, position + block, span);
    }
    std::uint8_t* const stop = lanes + block + span;
    for (std::uint8_t* at = lanes + block; at != stop; ++at) {
      for (std::size_t j = 0; j < N; ++j) {
        // Both operands are below 256, so the result indexes the table as is.
        chain[j] = at[j * stride] ^ by_feedback[chain[j]];
        at[j * stride] = static_cast<std::uint8_t>(chain[j]);
      }
    }
  }
  for (std::size_t j = 0; j < N; ++j) feedback[j] = static_cast<std::uint8_t>(chain[j]);
}

void encrypt_lanes(const Schedule& schedule, std::uint8_t* lanes, std::size_t stride,
                   std::size_t count, std::uint64_t position, std::size_t length,
                   std::uint8_t* feedback) {
  for (std::size_t first = 0; first < count; first += kLanesPerPass) {
    std::uint8_t* const pass = lanes + first * stride;
    std::uint8_t* const chains = feedback + first;
    switch (std::min(kLanesPerPass, count - first)) {
      case 1: encrypt_pass<1>(schedule, pass, stride, position, length, chains); break;
      case 2: encrypt_pass<2>(schedule, pass, stride, position, length, chains); break;
      case 3: encrypt_pass<3>(schedule, pass, stride, position, length, chains); break;
      case 4: encrypt_pass<4>(schedule, pass, stride, position, length, chains); break;
      case 5: encrypt_pass<5>(schedule, pass, stride, position, length, chains); break;
      case 6: encrypt_pass<6>(schedule, pass, stride, position, length, chains); break;
      case 7: encrypt_pass<7>(schedule, pass, stride, position, length, chains); break;
      default: encrypt_pass<8>(schedule, pass, stride, position, length, chains); break;
    }
  }
}

std::uint8_t decrypt(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                     std::size_t length, std::uint8_t previous) {
  const std::uint8_t* const by_position = schedule.by_position();
  const std::uint8_t* const by_feedback = schedule.by_feedback();
  const std::uint64_t mask = schedule.mask();
  std::size_t n = 0;
  // Eight bytes a step: the feedback picks are looked up one by one, the
  // XORs done on whole words. Byte arrays keep it independent of byte order.
  for (; n + 8 <= length; n += 8) {
    std::uint8_t cipher[8];
    std::uint8_t picked[8];
    std::memcpy(cipher, bytes + n, 8);
    picked[0] = by_feedback[previous];
    for (std::size_t i = 1; i < 8; ++i) picked[i] = by_feedback[cipher[i - 1]];
    std::uint64_t word;
    std::uint64_t by_feedback_word;
    std::uint64_t by_position_word;
    std::memcpy(&word, cipher, 8);
    std::memcpy(&by_feedback_word, picked, 8);
    std::memcpy(&by_position_word, by_position + ((position + n) & mask), 8);
    word ^= by_feedback_word ^ by_position_word;
    std::memcpy(bytes + n, &word, 8);
    previous = cipher[7];
  }
  return decrypt_tail(schedule, bytes + n, position + n, length - n, previous);
}

}  // namespace

std::uint8_t decrypt_tail(const Schedule& schedule, std::uint8_t* bytes, std::uint64_t position,
                          std::size_t length, std::uint8_t previous) {
  const std::uint8_t* const by_position = schedule.by_position();
  const std::uint8_t* const by_feedback = schedule.by_feedback();
  for (std::size_t n = 0; n < length; ++n) {
    const std::uint8_t c = bytes[n];
    bytes[n] = static_cast<std::uint8_t>(c ^ by_position[(position + n) & schedule.mask()] ^
                                         by_feedback[previous]);
    previous = c;
  }
  return previous;
}

const Kernels kPortable = {"portable", encrypt_lanes, decrypt};

}  // namespace kelm::kernels
