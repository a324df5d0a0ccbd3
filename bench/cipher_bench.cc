// Cipher throughput per key size: the kernels the driver uses against the
// plain one-byte-at-a-time reference. Run: build/dev/bench/cipher_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "cipher_kernels.h"
#include "kelm.h"
#include "reference_cipher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBufferSize = 8 * kelm::CHUNK_SIZE;

Bytes random_bytes(std::size_t length, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(length);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

template <bool kEncrypt>
void BM_Kernel(benchmark::State& state) {
  kelm::CipherKey key;
  if (!key.assign(random_bytes(static_cast<std::size_t>(state.range(0)), 1))) {
    state.SkipWithError("bad key size");
    return;
  }
  Bytes buffer = random_bytes(kBufferSize, 2);
  for (auto _ : state) {
    if (kEncrypt) {
      key.encrypt_chunks(buffer.data(), buffer.size(), 77);
    } else {
      key.decrypt_chunks(buffer.data(), buffer.size(), 77);
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}

/// The kernels that processors without AVX2 run.
template <bool kEncrypt>
void BM_Portable(benchmark::State& state) {
  const Bytes key = random_bytes(static_cast<std::size_t>(state.range(0)), 1);
  const kelm::kernels::Schedule schedule(key, 77);
  Bytes buffer = random_bytes(kBufferSize, 2);
  for (auto _ : state) {
    if (kEncrypt) {
      kelm::kernels::encrypt_interleaved(schedule, buffer.data(), kelm::kernels::kMaxLanes,
                                         kelm::CHUNK_SIZE);
    } else {
      for (std::size_t at = 0; at < buffer.size(); at += kelm::CHUNK_SIZE) {
        kelm::kernels::decrypt_portable(schedule, buffer.data() + at, kelm::CHUNK_SIZE);
      }
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}

template <bool kEncrypt>
void BM_Reference(benchmark::State& state) {
  const Bytes key = random_bytes(static_cast<std::size_t>(state.range(0)), 1);
  Bytes buffer = random_bytes(kBufferSize, 2);
  for (auto _ : state) {
    for (std::size_t at = 0; at < buffer.size(); at += kelm::CHUNK_SIZE) {
      kelm::reference::transform_chunk(key, kEncrypt, buffer.data() + at, kelm::CHUNK_SIZE, 77);
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}

void key_sizes(benchmark::internal::Benchmark* bench) {
  bench->ArgName("key")->Arg(16)->Arg(32)->Arg(64)->Arg(128)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Kernel<true>)->Name("encrypt")->Apply(key_sizes);
BENCHMARK(BM_Kernel<false>)->Name("decrypt")->Apply(key_sizes);
BENCHMARK(BM_Portable<true>)->Name("encrypt_portable")->Apply(key_sizes);
BENCHMARK(BM_Portable<false>)->Name("decrypt_portable")->Apply(key_sizes);
BENCHMARK(BM_Reference<true>)->Name("reference_encrypt")->Apply(key_sizes);
BENCHMARK(BM_Reference<false>)->Name("reference_decrypt")->Apply(key_sizes);

}  // namespace

BENCHMARK_MAIN();
