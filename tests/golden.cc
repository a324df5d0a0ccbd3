#include "golden.h"

#include <fstream>
#include <sstream>

namespace kelm::testing {
namespace {

bool parse_hex(const std::string& text, std::vector<std::uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    std::size_t used = 0;
    const unsigned long value = std::stoul(text.substr(i, 2), &used, 16);
    if (used != 2) return false;
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

/// Reads one record into `keys`; false if it does not parse.
bool parse_record(std::istringstream& fields, const std::string& kind,
                  std::vector<GoldenKey>& keys) {
  std::string hex;
  unsigned seed = 0;
  if (kind == "key") {
    keys.emplace_back();
    return static_cast<bool>(fields >> hex) && parse_hex(hex, keys.back().key);
  }
  if (keys.empty()) return false;
  GoldenKey& key = keys.back();
  if (kind == "chunk") {
    GoldenChunk chunk{};
    std::size_t length = 0;
    if (!(fields >> seed >> chunk.salt >> length >> hex) || !parse_hex(hex, chunk.sealed)) {
      return false;
    }
    chunk.seed = static_cast<std::uint8_t>(seed);
    key.chunks.push_back(chunk);
    return chunk.sealed.size() == length;
  }
  if (kind == "payload") {
    GoldenPayload payload{};
    if (!(fields >> seed >> payload.salt >> payload.length >> hex)) return false;
    payload.seed = static_cast<std::uint8_t>(seed);
    payload.fnv = std::stoull(hex, nullptr, 16);
    key.payloads.push_back(payload);
    return true;
  }
  if (kind == "slice") {
    GoldenSlice slice{};
    if (key.payloads.empty() || !(fields >> slice.offset >> hex) || !parse_hex(hex, slice.bytes)) {
      return false;
    }
    key.payloads.back().slices.push_back(slice);
    return true;
  }
  return false;
}

}  // namespace

std::vector<GoldenKey> load_golden() {
  std::ifstream file(KELM_GOLDEN_DIR "/ciphertexts.txt");
  std::vector<GoldenKey> keys;
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string kind;
    if (!(fields >> kind) || kind[0] == '#') continue;
    if (!parse_record(fields, kind, keys)) return {};
  }
  return keys;
}

std::vector<std::uint8_t> golden_plaintext(std::uint32_t salt, std::size_t length) {
  std::uint32_t x = 0x9E3779B9u ^ salt;
  std::vector<std::uint8_t> bytes(length);
  for (auto& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3u;
  return hash;
}

}  // namespace kelm::testing
