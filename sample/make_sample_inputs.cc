// Writes a plainly synthetic input set for the tool into a directory, so that
// it can be run end to end without the users' own binaries. Every byte is
// derived from its file's number and its offset, and each file starts with a
// readable label, so a byte in the image can be traced back by eye.
//
//   make_sample_inputs DIR TAG
#include <cstdio>
#include <string>

namespace {

struct SampleFile {
  const char* prefix;
  bool tagged;
  int size;
};

// Sizes are those the tool takes, except a few chosen to show the rules for
// short and long inputs: a short data file ends in 0xFF on the disk, and the
// surplus of a long one is never read.
constexpr SampleFile kFiles[] = {
    {"ipl1.bin", false, 256},      {"ipl2_", true, 768},       {"zemra80_prog_p6_", true, 4096},
    {"zemra80_org_", true, 23552}, {"data1.bin", false, 3584}, {"data2.bin", false, 3584},
    {"data3.bin", false, 1000},    {"data4.bin", false, 3584}, {"data5.bin", false, 5000},
    {"data6.bin", false, 3584},    {"data7.bin", false, 3584}, {"data8.bin", false, 3584},
    {"data9.bin", false, 3584},
};

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fputs("usage: make_sample_inputs DIR TAG\n", stderr);
    return 1;
  }
  const std::string dir = argv[1], tag = argv[2];
  int index = 0;
  for (const SampleFile& file : kFiles) {
    const std::string name = std::string(file.prefix) + (file.tagged ? tag + ".bin" : "");
    const std::string label = "SAMPLE " + name + " ";
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr) {
      std::perror(name.c_str());
      return 1;
    }
    for (int o = 0; o < file.size; ++o) {
      const int byte = o < static_cast<int>(label.size()) ? label[o] : (o * 7 + index * 31) & 0xFF;
      std::fputc(byte, f);
    }
    if (std::fclose(f) != 0) {
      std::perror(name.c_str());
      return 1;
    }
    ++index;
  }
  return 0;
}
