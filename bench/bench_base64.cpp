// The record encoder's base64 against OpenSSL's EVP_EncodeBlock, from 16 bytes
// to 64 KiB of random input. Both outputs are compared once per size first.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "publisher/record.h"
#include "support/strings.h"

namespace {

std::vector<unsigned char> random_bytes(std::size_t count) {
  std::mt19937 generator(static_cast<std::uint32_t>(count));
  std::vector<unsigned char> bytes(count);
  for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

void component_base64(benchmark::State& state) {
  const std::vector<unsigned char> input = random_bytes(static_cast<std::size_t>(state.range(0)));
  std::vector<unsigned char> expected(4 * ((input.size() + 2) / 3) + 1);
  EVP_EncodeBlock(expected.data(), input.data(), static_cast<int>(input.size()));
  pfc::string8_fast out;
  base64_encode(input.data(), input.size(), out);
  if (std::strcmp(out.text_pointer(), reinterpret_cast<const char*>(expected.data())) != 0)
    state.SkipWithError("the output differs from OpenSSL's");
  for (auto _ : state) {
    out.shorten(0);
    base64_encode(input.data(), input.size(), out);
    benchmark::DoNotOptimize(out.text_pointer());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(component_base64)->RangeMultiplier(4)->Range(16, 64 << 10);

void openssl_base64(benchmark::State& state) {
  const std::vector<unsigned char> input = random_bytes(static_cast<std::size_t>(state.range(0)));
  std::vector<unsigned char> out(4 * ((input.size() + 2) / 3) + 1);
  for (auto _ : state) {
    EVP_EncodeBlock(out.data(), input.data(), static_cast<int>(input.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(openssl_base64)->RangeMultiplier(4)->Range(16, 64 << 10);

}  // namespace
