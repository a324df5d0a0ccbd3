// The x86-64 vector types of 16 and 32 lanes that the AVX2 and AVX-512 sets
// share, with the operations lane_blocks.h asks of them. In an anonymous
// namespace for the reason lane_blocks.h gives: each set's file builds its
// own copy with its own flags.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelm::kernels {
namespace {  // NOLINT(cert-dcl59-cpp): one copy per set's file, see above

/// 8 bytes from any address, as one number (only ever moved, never
/// interpreted, so byte order does not matter).
inline std::uint64_t load8(const std::uint8_t* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

/// load8 as the type the x86 intrinsics take.
inline long long word(const std::uint8_t* at) { return static_cast<long long>(load8(at)); }

// 16 lanes in an xmm register, and 32 in a ymm one, which works as two
// 16-byte halves: lanes 0-15 and 16-31 side by side.
struct Xmm {
  using V = __m128i;
  static constexpr std::size_t kLanes = 16;
  static V zero() { return _mm_setzero_si128(); }
  static V broadcast16(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  }
  static V load(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  }
  static void store(std::uint8_t* at, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v); }
  static V broadcast8(const std::uint8_t* at) { return _mm_set1_epi64x(word(at)); }
  /// 8 bytes of lanes i and i + 8, from `base` plus their offsets.
  static V gather_rows(const std::uint8_t* base, const std::size_t* offsets, std::size_t i) {
    return _mm_set_epi64x(word(base + offsets[i + 8]), word(base + offsets[i]));
  }
  /// The inverse of gather_rows.
  static void scatter_rows(std::uint8_t* base, const std::size_t* offsets, std::size_t i, V v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(base + offsets[i]), v);
    // Through memcpy: a lane's bytes need not sit where a double could.
    const auto high = static_cast<std::uint64_t>(_mm_extract_epi64(v, 1));
    std::memcpy(base + offsets[i + 8], &high, sizeof high);
  }
  static V bytes(std::uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static V xor_(V a, V b) { return _mm_xor_si128(a, b); }
  static V and_(V a, V b) { return _mm_and_si128(a, b); }
  static V sub_bytes(V a, V b) { return _mm_sub_epi8(a, b); }
  static V shuffle(V table, V index) { return _mm_shuffle_epi8(table, index); }
  static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V lo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
  static V hi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
  static V lo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
  static V hi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
};

struct Ymm {
  using V = __m256i;
  static constexpr std::size_t kLanes = 32;
  static V zero() { return _mm256_setzero_si256(); }
  static V broadcast16(const std::uint8_t* at) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  }
  static V load(const std::uint8_t* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  }
  static void store(std::uint8_t* at, V v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), v);
  }
  static V broadcast8(const std::uint8_t* at) { return _mm256_set1_epi64x(word(at)); }
  /// 8 bytes of lanes i and i + 8 in the low half, i + 16 and i + 24 in the
  /// high one. Broadcasts are plain loads; the blends avoid the shuffle port.
  static V gather_rows(const std::uint8_t* base, const std::size_t* offsets, std::size_t i) {
    const V first = _mm256_blend_epi32(_mm256_set1_epi64x(word(base + offsets[i])),
                                       _mm256_set1_epi64x(word(base + offsets[i + 8])), 0x0C);
    const V second = _mm256_blend_epi32(_mm256_set1_epi64x(word(base + offsets[i + 16])),
                                        _mm256_set1_epi64x(word(base + offsets[i + 24])), 0xC0);
    return _mm256_blend_epi32(first, second, 0xF0);
  }
  /// The inverse of gather_rows.
  static void scatter_rows(std::uint8_t* base, const std::size_t* offsets, std::size_t i, V v) {
    Xmm::scatter_rows(base, offsets, i, _mm256_castsi256_si128(v));
    Xmm::scatter_rows(base, offsets + 16, i, _mm256_extracti128_si256(v, 1));
  }
  static V bytes(std::uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
  static V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V sub_bytes(V a, V b) { return _mm256_sub_epi8(a, b); }
  static V shuffle(V table, V index) { return _mm256_shuffle_epi8(table, index); }
  static V lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V lo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  static V hi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  static V lo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  static V hi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
};

}  // namespace
}  // namespace kelm::kernels
