// Helpers for tests that run the real tool: a scratch directory, input sets
// whose bytes reveal their file offsets, and a run of the binary.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
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

// Every entry of `dir` (not descending into folders): a regular file with
// its bytes, a symbolic link as "-> " and its target, anything else as
// "(special)".
std::map<std::string, Bytes> Listing(const std::string& dir);

struct RunResult {
  int status = -1;  // exit status, or -1 when a signal ended the run
  int signal = 0;   // the signal that ended the run, if any
  std::string out;
  std::string err;
};

struct RunOptions {
  long file_size_limit = -1;      // soft RLIMIT_FSIZE in bytes (SIGXFSZ at its default); -1: none
  long stack_limit = -1;          // RLIMIT_STACK in bytes; -1: as inherited
  int umask = -1;                 // -1: inherited
  int user = -1;                  // run as this user and group id (needs root); -1: as we are
  std::string binary = "";        // the tool to run; empty: the one the build made
  std::vector<int> groups = {};   // with `user`: its supplementary groups
  int ignored = 0;                // a signal the tool starts with ignored, as under nohup
  std::vector<int> pending = {};  // signals the tool starts with blocked and already pending
  // What strace does at a call's first entry (or its when=N-th): one or more of its inject
  // options, separated by ';'.
  std::string inject = "";
  std::string traced_path = "";  // strace counts only the calls on this path (its -P)
  bool trace_all = false;        // strace traces every call (Trace() shows them, with fds' paths)
  long open_files = -1;          // RLIMIT_NOFILE; -1: as inherited
  bool no_proc = false;          // run where /proc is not mounted (needs root)
};

// Why runs with `inject` cannot be made here (no strace, or an emulator
// between it and the tool), or "".
std::string NoStrace();

// A copy of the tool that any user may run, for runs as another user.
std::string ToolForAnyUser();

// The real tool started in `dir` with `args` (not including the program
// name); Finish() waits for it, killing it with SIGKILL after `timeout_ms`.
class ToolRun {
 public:
  ToolRun(const ScratchDir& dir, const std::vector<std::string>& args,
          const RunOptions& options = {});
  ~ToolRun();
  ToolRun(const ToolRun&) = delete;
  ToolRun& operator=(const ToolRun&) = delete;
  pid_t pid() const { return pid_; }
  std::string Trace() const;  // what strace has written of a run with `inject` so far
  RunResult Finish(int timeout_ms = 30'000);

 private:
  ScratchDir capture_;
  pid_t pid_ = -1;
  bool traced_ = false;
};

// Runs the real tool in `dir` and waits for it.
RunResult RunTool(const ScratchDir& dir, const std::vector<std::string>& args,
                  const RunOptions& options = {});

}  // namespace testing_support
