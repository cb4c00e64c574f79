// Helpers for tests that run the real tool: a scratch directory, input sets
// whose bytes reveal their file offsets, and a run of the binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// A fresh directory under TMPDIR, removed with its contents at scope end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);  // empty when missing
bool Exists(const std::string& path);

// The thirteen input names for `tag`, in the order the tool opens them.
std::vector<std::string> InputNames(const std::string& tag);

// Byte `offset` of input number `member` (0 to 12, opening order) in the
// offset-revealing input set: a sector placed one sector off, or a file taken
// for another, shows up as wrong bytes.
uint8_t PatternByte(int member, long offset);
Bytes PatternFile(int member, long size);

// Writes all thirteen inputs with PatternFile, each `size` bytes long or, when
// `sizes` is given, sizes[member] bytes long.
void WritePatternInputs(const ScratchDir& dir, const std::string& tag, long size);
void WritePatternInputs(const ScratchDir& dir, const std::string& tag,
                        const std::vector<long>& sizes);

// Bytes each input gives to the image, in opening order.
extern const long kTakenBytes[13];

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the real tool in `dir` with `args` (not including the program name).
RunResult RunTool(const ScratchDir& dir, const std::vector<std::string>& args);

}  // namespace testing_support
