// Throughput of the memory-image conversion and of composing and writing the
// whole image (to /dev/null, so the file system is not measured).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "builder/run.h"
#include "composer/composer.h"
#include "composer/conversion.h"
#include "composer/layout.h"
#include "d88/geometry.h"
#include "io/files.h"

namespace {

// All inputs back to back, as the run holds them, with made-up bytes.
std::vector<uint8_t> SyntheticInputs() {
  std::vector<uint8_t> bytes(composer::kInputBytes);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  return bytes;
}

void BM_ConvertMemoryImage(benchmark::State& state) {
  const std::vector<uint8_t> inputs = SyntheticInputs();
  const composer::SourceImage source =
      composer::SourceBytes(composer::InputBytes(inputs.data(), composer::kInputBytes));
  const auto window_offset = static_cast<int32_t>(state.range(0));
  uint8_t sector[d88::kSectorBytes];
  for (auto _ : state) {
    composer::CaptureAreas capture;
    for (uint32_t a = composer::kImageFirst; a < 0xE000; a += d88::kSectorBytes) {
      composer::ConvertSector(source, window_offset, a, capture, sector);
      benchmark::DoNotOptimize(sector);
    }
    benchmark::DoNotOptimize(capture);
  }
  state.SetBytesProcessed(state.iterations() * (0xE000 - composer::kImageFirst));
}
BENCHMARK(BM_ConvertMemoryImage)->Arg(0)->Arg(-4096)->Arg(65536);

// Each round puts the inputs in place at the block's end, as a run reads them.
void BM_WriteWholeImage(benchmark::State& state) {
  const std::vector<uint8_t> inputs = SyntheticInputs();
  std::vector<uint8_t> block(builder::kBlockBytes);
  for (auto _ : state) {
    std::copy(inputs.begin(), inputs.end(), builder::InputsIn(builder::Block(block)).begin());
    io::ImageFile out;
    if (out.Open("/dev/null") != 0) state.SkipWithError("cannot open /dev/null");
    builder::WriteImage(builder::Block(block), 0, out);
    if (out.Commit() != 0) state.SkipWithError("write to /dev/null failed");
  }
  state.SetBytesProcessed(state.iterations() * d88::kImageBytes);
}
BENCHMARK(BM_WriteWholeImage);

}  // namespace

BENCHMARK_MAIN();
