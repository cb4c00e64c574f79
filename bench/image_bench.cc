// Throughput of the memory-image conversion and of composing the whole image,
// on inputs in scratch files, the image written to /dev/null.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "builder/run.h"
#include "builder/streams.h"
#include "composer/composer.h"
#include "composer/conversion.h"
#include "d88/geometry.h"

namespace {

std::vector<uint8_t> Synthetic(size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed * 31 + (i >> 8));
  return bytes;
}

// Inputs are real files, read as the tool reads them (stdio's memory streams
// would read unbuffered input a byte at a time and measure themselves).
std::string WriteInput(const std::vector<uint8_t>& bytes, unsigned seed) {
  static const std::string dir = [] {
    char templ[] = "/tmp/image_benchXXXXXX";
    return std::string(mkdtemp(templ));
  }();
  const std::string path = dir + "/input" + std::to_string(seed);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

void OpenOver(builder::InputStream& stream, const std::string& path, size_t size) {
  stream.Attach(std::fopen(path.c_str(), "rb"), size);
}

void BM_ConvertMemoryImage(benchmark::State& state) {
  const std::string source = WriteInput(Synthetic(composer::kSourceBytes, 3), 3);
  const auto window_offset = static_cast<int32_t>(state.range(0));
  uint8_t sector[d88::kSectorBytes];
  for (auto _ : state) {
    state.PauseTiming();
    builder::InputStream stream;
    OpenOver(stream, source, composer::kSourceBytes);
    composer::CaptureAreas capture;
    state.ResumeTiming();
    for (int c = composer::kImageFirstCylinder; c <= composer::kImageLastCylinder; ++c) {
      for (int r = 1; r <= d88::kSectorsPerTrack; ++r) {
        composer::ConvertSector(stream, window_offset, c, r, capture, sector);
        benchmark::DoNotOptimize(sector);
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * 0x6000);
}
BENCHMARK(BM_ConvertMemoryImage)->Arg(0)->Arg(-4096)->Arg(65536);

void BM_WriteWholeImage(benchmark::State& state) {
  const size_t sizes[13] = {256,  768,  4096, 23552, 3584, 3584, 3584,
                            3584, 3584, 3584, 3584,  3584, 3584};
  std::vector<std::string> files;
  for (unsigned m = 0; m < 13; ++m) files.push_back(WriteInput(Synthetic(sizes[m], m), m));
  for (auto _ : state) {
    state.PauseTiming();
    std::array<builder::InputStream, composer::kInputCount> inputs;
    for (size_t m = 0; m < 13; ++m) OpenOver(inputs[m], files[m], sizes[m]);
    builder::OutputStream out;
    out.Attach(std::fopen("/dev/null", "wb"));
    state.ResumeTiming();
    builder::WriteImage(composer::SourcesInOpeningOrder(inputs), 0, out);
    out.Close();
  }
  state.SetBytesProcessed(state.iterations() * d88::kImageBytes);
}
BENCHMARK(BM_WriteWholeImage);

}  // namespace

BENCHMARK_MAIN();
