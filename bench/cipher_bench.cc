// Cipher throughput per kernel set and key size, against the plain
// one-byte-at-a-time reference for scale.
//
// Encryption runs 32 lanes (kMaxLanes) of 32 KiB tiles, 1 MiB in all, as
// the read/write path calls it: the working set stays in the second-level
// cache and each call carries the lanes' feedback on to the next tile.
// encrypt10 runs 10 lanes the same way, as for a 10 MB file, and encrypt1
// one lane, as for a file of two chunks.
// Decryption runs the same 1 MiB as one stretch.
// update/encrypt and update/decrypt run 100 MB through one
// kelm_stream_update call, as a program using the library would: compare
// with `kelm` on a 100 MB file (bench/compare.sh).
//
// Run: build/bench/bench/cipher_bench [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "format.h"
#include "kelm.h"
#include "kernels/kernels.h"
#include "reference_cipher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kelm::kernels::kMaxLanes;

constexpr std::size_t kTile = 32 * 1024;
// One cache line more than the tile: with a stride that is a multiple of
// 4 KiB every lane would fall in the same first-level cache set.
constexpr std::size_t kStride = kTile + 64;
constexpr std::size_t kBufferSize = kMaxLanes * kTile;
constexpr std::uint8_t kSeed = 77;
const std::size_t kKeySizes[] = {16, 32, 64, 128};

Bytes random_bytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

void count_bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}

void encrypt(benchmark::State& state, const kelm::kernels::Kernels* set, std::size_t key_size,
             std::size_t lanes) {
  const Bytes key = random_bytes(key_size, 1);
  const kelm::kernels::Schedule schedule(key, kSeed);
  Bytes buffer = random_bytes(kMaxLanes * kStride, 2);
  std::uint8_t feedback[kMaxLanes] = {};
  std::uint64_t position = 0;
  for (auto _ : state) {
    set->encrypt_lanes(schedule, buffer.data(), kStride, lanes, position, kTile, feedback);
    // On along the chunk, as the next tile would be; restart where a chunk would.
    position = (position + kTile) % kelm::CHUNK_SIZE;
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * lanes * kTile));
}

void decrypt(benchmark::State& state, const kelm::kernels::Kernels* set, std::size_t key_size) {
  const Bytes key = random_bytes(key_size, 1);
  const kelm::kernels::Schedule schedule(key, kSeed);
  Bytes buffer = random_bytes(kBufferSize, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(set->decrypt(schedule, buffer.data(), 0, buffer.size(), 0));
    benchmark::ClobberMemory();
  }
  count_bytes(state);
}

void reference(benchmark::State& state, bool encrypting, std::size_t key_size) {
  const Bytes key = random_bytes(key_size, 1);
  Bytes buffer = random_bytes(kBufferSize, 2);
  for (auto _ : state) {
    if (encrypting) {
      kelm::reference::encrypt_chunk(key, buffer.data(), buffer.size(), kSeed);
    } else {
      kelm::reference::decrypt_chunk(key, buffer.data(), buffer.size(), kSeed);
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  count_bytes(state);
}

/// 100 MB through one kelm_stream_update call, from one buffer to another.
void update(benchmark::State& state, bool encrypting) {
  constexpr std::size_t kLength = 100'000'000;
  const Bytes key_bytes = random_bytes(32, 1);
  kelm_key* key = nullptr;
  if (kelm_key_new(key_bytes.data(), key_bytes.size(), &key) != KELM_OK) std::abort();
  const Bytes in = random_bytes(kLength + 1, 2);
  Bytes out(kLength + 1);
  for (auto _ : state) {
    kelm_stream* stream = nullptr;
    const kelm_status made =
        encrypting ? kelm_encryptor_new(key, kSeed, &stream) : kelm_decryptor_new(key, &stream);
    std::size_t written = 0;
    if (made != KELM_OK || kelm_stream_update(stream, in.data(), encrypting ? kLength : kLength + 1,
                                              out.data(), &written) != KELM_OK) {
      std::abort();
    }
    kelm_stream_free(stream);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  kelm_key_free(key);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLength));
}

void register_all() {
  benchmark::RegisterBenchmark("update/encrypt", update, true)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("update/decrypt", update, false)->Unit(benchmark::kMillisecond);
  for (std::size_t size : kKeySizes) {
    const std::string key = "/key:" + std::to_string(size);
    for (const kelm::kernels::Kernels* set : kelm::kernels::available()) {
      const std::string name = set->name;
      benchmark::RegisterBenchmark(("encrypt/" + name + key).c_str(), encrypt, set, size,
                                   kMaxLanes);
      // Ten lanes: the shape of a 10 MB file, whose chains cannot fill a vector.
      benchmark::RegisterBenchmark(("encrypt10/" + name + key).c_str(), encrypt, set, size, 10);
      benchmark::RegisterBenchmark(("encrypt1/" + name + key).c_str(), encrypt, set, size, 1);
      benchmark::RegisterBenchmark(("decrypt/" + name + key).c_str(), decrypt, set, size);
    }
    benchmark::RegisterBenchmark(("encrypt/reference" + key).c_str(), reference, true, size);
    benchmark::RegisterBenchmark(("decrypt/reference" + key).c_str(), reference, false, size);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
