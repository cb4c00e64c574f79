#include "tests/test_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

const long kTakenBytes[13] = {256,  768,  4096, 23552, 3584, 3584, 3584,
                              3584, 3584, 3584, 3584,  3584, 3584};

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/gtsXXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> InputNames(const std::string& tag) {
  std::vector<std::string> names = {"ipl1.bin", "ipl2_" + tag + ".bin",
                                    "zemra80_prog_p6_" + tag + ".bin",
                                    "zemra80_org_" + tag + ".bin"};
  for (int k = 1; k <= 9; ++k) names.push_back("data" + std::to_string(k) + ".bin");
  return names;
}

uint8_t PatternByte(int member, long offset) {
  // Low byte of the offset mixed with its sector number and the member, so
  // that neither a shift by whole sectors nor a swap of files goes unseen.
  // 0xFF is avoided, so that a byte past an input's end is never mistaken
  // for one of its own.
  const unsigned v = static_cast<unsigned>(offset) ^ (static_cast<unsigned>(offset >> 8) * 0x25u) ^
                     (static_cast<unsigned>(member) * 0x4Bu);
  const uint8_t b = static_cast<uint8_t>(v);
  return b == 0xFF ? 0xFE : b;
}

Bytes PatternFile(int member, long size) {
  Bytes bytes(static_cast<size_t>(size));
  for (long o = 0; o < size; ++o) bytes[static_cast<size_t>(o)] = PatternByte(member, o);
  return bytes;
}

void WritePatternInputs(const ScratchDir& dir, const std::string& tag, long size) {
  WritePatternInputs(dir, tag, std::vector<long>(13, size));
}

void WritePatternInputs(const ScratchDir& dir, const std::string& tag,
                        const std::vector<long>& sizes) {
  const auto names = InputNames(tag);
  for (int m = 0; m < 13; ++m)
    WriteFile(dir / names[static_cast<size_t>(m)], PatternFile(m, sizes[static_cast<size_t>(m)]));
}

RunResult RunTool(const ScratchDir& dir, const std::vector<std::string>& args) {
  ScratchDir capture;
  const std::string out_path = capture / "stdout", err_path = capture / "stderr";
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(dir.path().c_str()) != 0)
      _exit(127);
    std::vector<char*> argv;
    static char program[] = GEN_TARSILP6_BINARY;
    argv.push_back(program);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  const Bytes out = ReadFile(out_path), err = ReadFile(err_path);
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

}  // namespace testing_support
