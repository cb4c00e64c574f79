// libFuzzer target: one fuzz input becomes a window offset text and thirteen
// input files of any length. The image is composed in memory from the files'
// shares, as the drivers do, and every property the disk must have for any
// input is checked. Inputs so marked also go through the command line, run in
// process in a scratch folder: its image must be the one composed in memory,
// with no other file left. A failed check aborts, so the fuzzer reports it.
//
// Input layout:
//   byte 0            bits 0-4: length L of the offset text (mod 24); bits
//                     5-7 all set: through the command line and files as
//                     well (one input in eight, as each costs a flushed file)
//   bytes 1..L        the offset text (a NUL byte ends it early)
//   13 x 2 bytes      per file, in opening order, a little-endian selector:
//                     top two bits pick exact / short / longer / empty, the
//                     low 14 bits give the shortfall or the surplus
//   the rest          file contents, consumed in order; once used up, files
//                     continue with bytes derived from their number and offset
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "builder/run.h"
#include "composer/composer.h"
#include "composer/input_set.h"
#include "tests/d88_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;
using composer::kInputCount;

uint8_t g_inputs[composer::kInputBytes];
uint8_t g_image[d88::kImageBytes];

// A run through the command line happens in a scratch directory; the
// fuzzer's own directory is restored around it, so corpus paths and crash
// artifacts stay where the fuzzer was started.
int g_home = -1;
std::string g_scratch;

// Returns when `ok`; otherwise says what failed and where (cylinder `c`,
// sector `r`), goes back to the fuzzer's directory and aborts.
void Check(bool ok, const char* what, int c = -1, int r = -1) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s (cylinder %d, sector %d)\n", what, c, r);
  if (fchdir(g_home) != 0) std::perror("fchdir");
  std::abort();
}

// The fuzz input, taken from the front. Copies and checks go through the C
// library's memcpy and memcmp: every comparison in this file's own loops is
// traced for the fuzzer, and per-byte loops would take most of its time.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // The next byte, or 0 once they are used up.
  uint8_t Byte() {
    if (at_ >= size_) return 0;
    const uint8_t byte = data_[at_];
    ++at_;
    return byte;
  }

  // Fills `out` with the next bytes, and once they are used up with bytes
  // derived from `member` and the offset in `out`, whose pattern repeats
  // every 256 bytes.
  void Fill(Bytes& out, int member) {
    const size_t n = std::min(out.size(), size_ - at_);
    if (n > 0) std::memcpy(out.data(), data_ + at_, n);
    at_ += n;
    uint8_t pattern[256];
    for (unsigned o = 0; o < 256; ++o) pattern[o] = static_cast<uint8_t>(member * 131 + o * 7);
    for (size_t o = n; o < out.size(); o += 256 - o % 256)
      std::memcpy(out.data() + o, pattern + o % 256, std::min(out.size() - o, 256 - o % 256));
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// The length of input `member`'s file as `selector` chooses it: its top two
// bits choose the kind, the rest how far it is short or long.
long FileSize(int member, uint16_t selector) {
  const long n = selector & 0x3FFF, taken = composer::kBytesTaken[member];
  const long sizes[] = {taken, n % taken, taken + n, 0};  // exact, short, longer, empty
  return sizes[selector >> 14];
}

// Whether every byte of `s` is zero.
bool AllZero(std::span<const uint8_t> s) {
  return s.empty() || (s[0] == 0 && std::memcmp(s.data(), s.data() + 1, s.size() - 1) == 0);
}

// Whether `a` and `b` hold the same bytes.
bool Equal(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// Checks that sectors [first, first + count) of `cylinder` hold `file`'s
// bytes from offset 0, then 0xFF where it has none.
void CheckCopied(std::span<const uint8_t> image, int cylinder, int first, int count,
                 const Bytes& file) {
  for (int i = 0; i < count; ++i) {
    uint8_t expected[256];
    const size_t at = static_cast<size_t>(i) * 256;
    const size_t n = file.size() > at ? std::min<size_t>(file.size() - at, 256) : 0;
    if (n > 0) std::memcpy(expected, file.data() + at, n);
    std::memset(expected + n, 0xFF, 256 - n);
    Check(Equal(testing_support::SectorData(image, cylinder, first + i), expected),
          "input bytes misplaced", cylinder, first + i);
  }
}

void CheckImage(std::span<const uint8_t> image, const std::vector<Bytes>& files) {
  Check(testing_support::CheckContainer(image).empty(), "container malformed");
  auto sector = [&](int c, int r) { return testing_support::SectorData(image, c, r); };
  for (int r = 5; r <= 16; ++r) Check(AllZero(sector(0, r)), "loader cylinder tail", 0, r);
  for (int r = 13; r <= 16; ++r) Check(AllZero(sector(7, r)), "blank tail", 7, r);
  for (int c = 18; c < 80; ++c)
    for (int r = 1; r <= 16; ++r) Check(AllZero(sector(c, r)), "blank cylinder", c, r);
  for (int c = 8; c <= 17; ++c) {
    Check(Equal(sector(c, 1), sector(c, 2)), "table sectors differ", c, 1);
    Check(AllZero(sector(c, 1).subspan(90)), "table sector tail", c, 1);
    if (c >= 9) Check(Equal(sector(c, 1).first(90), composer::kNameTable), "name table", c, 1);
  }
  for (int r = 3; r <= 16; ++r) Check(Equal(sector(8, r), sector(6, r)), "capture area A", 8, r);
  CheckCopied(image, 0, 1, 1, files[0]);
  CheckCopied(image, 0, 2, 3, files[1]);
  CheckCopied(image, 1, 1, 16, files[2]);
  for (int k = 1; k <= 9; ++k) CheckCopied(image, 8 + k, 3, 14, files[static_cast<size_t>(3 + k)]);
}

// Writes the files under their names for tag "v1" in the scratch directory,
// runs the tool there and checks that it wrote `image`, and nothing else.
void CheckCommandLine(const std::vector<Bytes>& files, const std::string& offset,
                      std::span<const uint8_t> image) {
  Check(chdir(g_scratch.c_str()) == 0, "cannot enter the scratch directory");
  composer::InputFileNames names;
  Check(composer::ComposeNames("v1", names), "names for v1 refused");
  for (int m = 0; m < kInputCount; ++m) {
    const Bytes& f = files[static_cast<size_t>(m)];
    std::FILE* out = std::fopen(names[m], "wb");
    Check(out != nullptr && std::fwrite(f.data(), 1, f.size(), out) == f.size() &&
              std::fclose(out) == 0,
          "cannot write an input");
  }
  const char* argv[] = {"gen_tarsilp6", "v1", offset.c_str(), nullptr};
  std::FILE* err = std::fopen("/dev/null", "w");
  const int status = builder::Run(3, argv, err, err);
  std::fclose(err);
  Check(status == 0, "run failed");
  Check(std::distance(std::filesystem::directory_iterator("."), {}) == kInputCount + 1,
        "the run left files besides its inputs and image");
  Bytes written(image.size() + 1);  // one byte more than the image should have
  std::FILE* in = std::fopen(builder::kOutputName, "rb");
  Check(in != nullptr && std::fread(written.data(), 1, written.size(), in) == image.size() &&
            Equal(std::span(written).first(image.size()), image) && std::fclose(in) == 0,
        "the tool's image is not the one composed in memory");
  Check(fchdir(g_home) == 0, "cannot leave the scratch directory");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/fuzz_imageXXXXXX";
  g_home = open(".", O_RDONLY | O_DIRECTORY);
  if (g_home < 0 || mkdtemp(dir) == nullptr) std::abort();
  g_scratch = dir;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const uint8_t first = in.Byte();
  std::string offset;
  for (int n = (first & 0x1F) % 24; n > 0; --n) {
    const char c = static_cast<char>(in.Byte());
    if (c == '\0') break;
    offset += c;
  }
  long sizes[kInputCount];
  for (int m = 0; m < kInputCount; ++m) {
    const uint16_t lo = in.Byte();
    sizes[m] = FileSize(m, static_cast<uint16_t>(lo | in.Byte() << 8));
  }
  std::vector<Bytes> files(kInputCount);
  for (int m = 0; m < kInputCount; ++m) {
    Bytes& f = files[static_cast<size_t>(m)];
    f.resize(static_cast<size_t>(sizes[m]));
    in.Fill(f, m);
    // As a driver does: the file's first bytes into its share, then its end.
    const std::span<uint8_t> share = composer::Share(g_inputs, m);
    const size_t read = std::min(f.size(), share.size());
    std::copy_n(f.begin(), read, share.begin());
    composer::EndShare(share, read);
  }
  composer::ComposeImage(g_inputs, composer::ParseWindowOffset(offset.c_str()), g_image);
  CheckImage(g_image, files);
  if ((first & 0xE0) == 0xE0) CheckCommandLine(files, offset, g_image);
  return 0;
}
