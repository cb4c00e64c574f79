// libFuzzer target: one fuzz input becomes a window offset text and thirteen
// input files of any length; the tool builds the image in process, in a
// scratch directory, and every property the disk must have for any input is
// checked. A failed check aborts, so the fuzzer reports it.
//
// Input layout:
//   byte 0            length L of the offset text (mod 24)
//   bytes 1..L        the offset text (a NUL byte ends it early)
//   13 x 2 bytes      per file, in opening order, a little-endian selector:
//                     top two bits pick exact / short / longer / empty, the
//                     low 14 bits give the shortfall or the surplus
//   the rest          file contents, consumed in order; once used up, files
//                     continue with bytes derived from their number and offset
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "builder/run.h"
#include "composer/name_table.h"
#include "tests/d88_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr long kTaken[13] = {256,  768,  4096, 23552, 3584, 3584, 3584,
                             3584, 3584, 3584, 3584,  3584, 3584};
const char* const kNames[13] = {"ipl1.bin",           "ipl2_v1.bin", "zemra80_prog_p6_v1.bin",
                                "zemra80_org_v1.bin", "data1.bin",   "data2.bin",
                                "data3.bin",          "data4.bin",   "data5.bin",
                                "data6.bin",          "data7.bin",   "data8.bin",
                                "data9.bin"};

// The run happens in a scratch directory; the fuzzer's own directory is
// restored around it, so corpus paths and crash artifacts stay where the
// fuzzer was started.
int g_home = -1;
std::string g_scratch;

void Check(bool ok, const char* what, int c = -1, int r = -1) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s (cylinder %d, sector %d)\n", what, c, r);
  if (fchdir(g_home) != 0) std::perror("fchdir");
  std::abort();
}

// Enters the scratch directory for one run and leaves it at scope end.
struct InScratch {
  InScratch() { Check(chdir(g_scratch.c_str()) == 0, "cannot enter the scratch directory"); }
  ~InScratch() { Check(fchdir(g_home) == 0, "cannot leave the scratch directory"); }
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Has() const { return at_ < size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

long FileSize(int member, uint16_t selector) {
  const long n = selector & 0x3FFF;
  switch (selector >> 14) {
    case 0:
      return kTaken[member];
    case 1:
      return n % kTaken[member];
    case 2:
      return kTaken[member] + n;
    default:
      return 0;
  }
}

bool AllZero(std::span<const uint8_t> s) {
  for (uint8_t b : s)
    if (b != 0) return false;
  return true;
}

bool Equal(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

Bytes ReadAll(const char* name) {
  Bytes bytes;
  std::FILE* f = std::fopen(name, "rb");
  Check(f != nullptr, "image missing");
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return bytes;
}

// Checks that sectors [first, first + count) of `cylinder` hold `file`'s
// bytes from offset 0, then 0xFF where it has none.
void CheckCopied(std::span<const uint8_t> image, int cylinder, int first, int count,
                 const Bytes& file) {
  for (int i = 0; i < count; ++i) {
    const auto data = testing_support::SectorData(image, cylinder, first + i);
    for (size_t p = 0; p < 256; ++p) {
      const size_t o = static_cast<size_t>(i) * 256 + p;
      Check(data[p] == (o < file.size() ? file[o] : 0xFF), "input bytes misplaced", cylinder,
            first + i);
    }
  }
}

// Entries in the current directory besides "." and "..".
int DirectoryEntries() {
  DIR* dir = opendir(".");
  Check(dir != nullptr, "cannot list the scratch directory");
  int n = 0;
  while (const dirent* e = readdir(dir))
    n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
  closedir(dir);
  return n;
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
  const InScratch scratch;
  Reader in(data, size);
  std::string offset;
  for (int n = in.Byte() % 24; n > 0; --n) {
    const char c = static_cast<char>(in.Byte());
    if (c == '\0') break;
    offset += c;
  }
  long sizes[13];
  for (int m = 0; m < 13; ++m) {
    const uint16_t lo = in.Byte();
    sizes[m] = FileSize(m, static_cast<uint16_t>(lo | in.Byte() << 8));
  }
  std::vector<Bytes> files(13);
  for (int m = 0; m < 13; ++m) {
    Bytes& f = files[static_cast<size_t>(m)];
    f.resize(static_cast<size_t>(sizes[m]));
    for (long o = 0; o < sizes[m]; ++o)
      f[static_cast<size_t>(o)] = in.Has() ? in.Byte() : static_cast<uint8_t>(m * 131 + o * 7);
    std::FILE* out = std::fopen(kNames[m], "wb");
    Check(out != nullptr && std::fwrite(f.data(), 1, f.size(), out) == f.size() &&
              std::fclose(out) == 0,
          "cannot write an input");
  }

  const char* argv[] = {"gen_tarsilp6", "v1", offset.c_str(), nullptr};
  std::FILE* err = std::fopen("/dev/null", "w");
  const int status = builder::Run(3, argv, err, err);
  std::fclose(err);
  Check(status == 0, "run failed");
  Check(DirectoryEntries() == 14, "the run left files besides its inputs and the image");
  const Bytes image_bytes = ReadAll(builder::kOutputName);
  const std::span<const uint8_t> image(image_bytes);
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
  return 0;
}
