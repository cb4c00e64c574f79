// Throughput of the memory-image conversion, and of composing the whole
// image in memory (no file is written, so the file system is not measured).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "composer/composer.h"
#include "composer/conversion.h"
#include "d88/geometry.h"

namespace {

// All inputs back to back, as the run holds them, with made-up bytes.
std::vector<uint8_t> SyntheticInputs() {
  std::vector<uint8_t> bytes(composer::kInputBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return bytes;
}

void BM_ConvertMemoryImage(benchmark::State& state) {
  const std::vector<uint8_t> inputs = SyntheticInputs();
  const composer::SourceImage source(inputs.data() + composer::kInputAt[composer::kSource],
                                     composer::kSourceBytes);
  const auto window_offset = static_cast<int32_t>(state.range(0));
  composer::MemoryImage memory;
  for (auto _ : state) {
    composer::ConvertMemoryImage(source, window_offset, memory);
    benchmark::DoNotOptimize(memory);
  }
  state.SetBytesProcessed(state.iterations() * sizeof memory.image);
}
BENCHMARK(BM_ConvertMemoryImage)->Arg(0)->Arg(-4096)->Arg(65536);

void BM_ComposeImage(benchmark::State& state) {
  const std::vector<uint8_t> inputs = SyntheticInputs();
  std::vector<uint8_t> image(d88::kImageBytes);
  for (auto _ : state) {
    composer::ComposeImage(composer::InputBytes(inputs.data(), composer::kInputBytes), 0,
                           composer::Image(image.data(), d88::kImageBytes));
    benchmark::DoNotOptimize(image.data());
  }
  state.SetBytesProcessed(state.iterations() * d88::kImageBytes);
}
BENCHMARK(BM_ComposeImage);

}  // namespace

BENCHMARK_MAIN();
