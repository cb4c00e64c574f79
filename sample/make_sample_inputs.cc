// Writes a plainly synthetic input set for the tool into a directory, so that
// it can be run end to end without the users' own binaries. Each file is as
// long as the tool takes from it, and its byte at offset i is
// (i * 7 + the length of the file's name) & 0xFF: the reference input set for
// which the image's digest is known.
//
//   make_sample_inputs DIR TAG
#include <cstdio>
#include <string>

namespace {

struct SampleFile {
  const char* prefix;
  bool tagged;  // completed by the tag and ".bin"
  int size;
};

constexpr SampleFile kFiles[] = {
    {"ipl1.bin", false, 256},      {"ipl2_", true, 768},       {"zemra80_prog_p6_", true, 4096},
    {"zemra80_org_", true, 23552}, {"data1.bin", false, 3584}, {"data2.bin", false, 3584},
    {"data3.bin", false, 3584},    {"data4.bin", false, 3584}, {"data5.bin", false, 3584},
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
  for (const SampleFile& file : kFiles) {
    const std::string name = file.prefix + (file.tagged ? tag + ".bin" : "");
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    for (int i = 0; f != nullptr && i < file.size; ++i) std::fputc((i * 7 + name.size()) & 0xFF, f);
    if (f == nullptr || std::fclose(f) != 0) {
      std::perror(name.c_str());
      return 1;
    }
  }
  return 0;
}
