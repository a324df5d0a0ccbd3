// The known answers in tests/golden (see its README): parsing and the
// plaintext generator they were made with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelm::testing {

struct GoldenChunk {
  std::uint8_t seed;
  std::uint32_t salt;
  std::vector<std::uint8_t> sealed;
};

struct GoldenSlice {
  std::size_t offset;
  std::vector<std::uint8_t> bytes;
};

struct GoldenPayload {
  std::uint8_t seed;
  std::uint32_t salt;
  std::size_t length;
  std::uint64_t fnv;
  std::vector<GoldenSlice> slices;
};

struct GoldenKey {
  std::vector<std::uint8_t> key;
  std::vector<GoldenChunk> chunks;
  std::vector<GoldenPayload> payloads;
};

/// Every key's records from tests/golden/ciphertexts.txt; empty if the file
/// cannot be read or does not parse.
std::vector<GoldenKey> load_golden();

/// The plaintext generator the known answers were made with.
std::vector<std::uint8_t> golden_plaintext(std::uint32_t salt, std::size_t length);

/// 64-bit FNV-1a of `bytes`.
std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes);

}  // namespace kelm::testing
