#include "tests/test_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  if (lstat(path.c_str(), &st) == 0) return true;
  if (errno != ENOENT)
    throw std::runtime_error("cannot look at " + path + ": " + std::strerror(errno));
  return false;
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

std::map<std::string, Bytes> Listing(const std::string& dir) {
  std::map<std::string, Bytes> files;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) throw std::runtime_error("cannot list " + dir);
  for (errno = 0; const dirent* e = readdir(d); errno = 0) {
    const std::string name = e->d_name, path = dir + "/" + name;
    struct stat st;
    if (name == "." || name == "..") continue;
    if (lstat(path.c_str(), &st) != 0)
      throw std::runtime_error("cannot look at " + path + ": " + std::strerror(errno));
    if (S_ISREG(st.st_mode)) {
      files[name] = ReadFile(path);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(path.c_str(), target, sizeof target);
      files[name] = Bytes{'-', '>', ' '};
      files[name].insert(files[name].end(), target, target + std::max<ssize_t>(n, 0));
    } else {
      files[name] = Bytes{'(', 's', 'p', 'e', 'c', 'i', 'a', 'l', ')'};
    }
  }
  const int error = errno;  // readdir gives no entry at the end of the folder, or on an error
  closedir(d);
  if (error != 0) throw std::runtime_error("cannot list " + dir + ": " + std::strerror(error));
  return files;
}

namespace {

// The words that start the tool with `args`: the emulator of a cross build (its words separated
// by '|'), or strace with what `options` asks of it and its trace in `trace`; then the tool.
std::vector<std::string> Command(const std::vector<std::string>& args, const RunOptions& options,
                                 const std::string& trace) {
  std::vector<std::string> words;
  const std::string emulator = GEN_TARSILP6_EMULATOR;
  for (size_t at = 0; at < emulator.size();) {
    const size_t end = std::min(emulator.find('|', at), emulator.size());
    words.push_back(emulator.substr(at, end - at));
    at = end + 1;
  }
  if (options.trace_all || !options.inject.empty()) words = {"strace", "-y", "-o", trace};
  std::string traced;  // the calls named by the inject options
  for (size_t at = 0; at < options.inject.size();) {
    const size_t end = std::min(options.inject.find(';', at), options.inject.size());
    std::string inject = options.inject.substr(at, end - at);
    if (inject.find("when=") == std::string::npos) inject += ":when=1";
    words.insert(words.end(), {"-e", "inject=" + inject});
    if (!traced.empty()) traced += ",";
    traced += inject.substr(0, inject.find(':'));
    at = end + 1;
  }
  if (!options.trace_all && !traced.empty()) words.insert(words.end(), {"-e", "trace=" + traced});
  if (!options.traced_path.empty()) words.insert(words.end(), {"-P", options.traced_path});
  words.push_back(options.binary.empty() ? GEN_TARSILP6_BINARY : options.binary);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// In the child, before the tool starts: its limits, umask and signals as `options` say. Returns
// false if one cannot be set.
bool SetLimitsAndSignals(const RunOptions& options) {
  const rlimit no_core = {0, 0};  // a signal that dumps core leaves no file in the folder
  if (setrlimit(RLIMIT_CORE, &no_core) != 0) return false;
  if (options.file_size_limit >= 0) {
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    limit.rlim_cur = static_cast<rlim_t>(options.file_size_limit);  // the hard limit stays
    if (signal(SIGXFSZ, SIG_DFL) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
  }
  if (options.stack_limit >= 0) {
    const rlimit limit = {static_cast<rlim_t>(options.stack_limit),
                          static_cast<rlim_t>(options.stack_limit)};
    if (setrlimit(RLIMIT_STACK, &limit) != 0) return false;
  }
  if (options.open_files >= 0) {  // counted from 3: nothing of the test's is left open
    close_range(3, ~0u, 0);
    const rlimit limit = {static_cast<rlim_t>(options.open_files),
                          static_cast<rlim_t>(options.open_files)};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  }
  if (options.umask >= 0) umask(static_cast<mode_t>(options.umask));
  if (options.ignored != 0 && signal(options.ignored, SIG_IGN) == SIG_ERR) return false;
  sigset_t pending;
  sigemptyset(&pending);
  for (const int sig : options.pending) sigaddset(&pending, sig);
  if (sigprocmask(SIG_BLOCK, &pending, nullptr) != 0) return false;
  for (const int sig : options.pending) {
    if (raise(sig) != 0) return false;
  }
  return true;
}

// In the child: a mount namespace without /proc, and another user, as `options` say. Returns
// false if that cannot be.
bool SetWorld(const RunOptions& options) {
  if (options.no_proc) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (umount2("/proc", MNT_DETACH) != 0) return false;
  }
  if (options.user >= 0) {
    const auto id = static_cast<uid_t>(options.user);
    const std::vector<gid_t> groups(options.groups.begin(), options.groups.end());
    if (setgroups(groups.size(), groups.data()) != 0) return false;
    if (setgid(id) != 0 || setuid(id) != 0) return false;
  }
  return true;
}

}  // namespace

ToolRun::ToolRun(const ScratchDir& dir, const std::vector<std::string>& args,
                 const RunOptions& options) {
  const std::string out_path = capture_ / "stdout";
  const std::string err_path = capture_ / "stderr";
  std::vector<std::string> words = Command(args, options, capture_ / "trace");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  traced_ = !options.inject.empty() || options.trace_all;
  // strace, run as another user, writes its trace here.
  if (traced_ && options.user >= 0 && chmod(capture_.path().c_str(), 0777) != 0)
    throw std::runtime_error("cannot open " + capture_.path() + " to other users");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ != 0) return;
  setpgid(0, 0);  // a group of its own, which a test may stop and continue as one
  const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(dir.path().c_str()) != 0)
    _exit(127);
  if (traced_) {  // LeakSanitizer, in a sanitized build, cannot work under strace
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
  }
  if (!SetLimitsAndSignals(options) || !SetWorld(options)) _exit(127);
  execvp(argv[0], argv.data());
  _exit(127);
}

ToolRun::~ToolRun() {
  if (pid_ > 0) Finish();
}

RunResult ToolRun::Finish(int timeout_ms) {
  int wstatus = 0;
  for (int waited = 0; waitpid(pid_, &wstatus, WNOHANG) == 0; waited += 5) {
    if (waited >= timeout_ms) {
      kill(pid_, SIGKILL);  // shows as a run ended by SIGKILL
      waitpid(pid_, &wstatus, 0);
      break;
    }
    usleep(5000);
  }
  pid_ = -1;
  RunResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
  if (traced_ && result.status > 128) {  // strace's word for a signal it cannot raise itself
    result.signal = result.status - 128;
    result.status = -1;
  }
  const Bytes out = ReadFile(capture_ / "stdout"), err = ReadFile(capture_ / "stderr");
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

std::string ToolForAnyUser() {
  static const ScratchDir bin;
  const std::string tool = bin / "gen_tarsilp6";
  if (!Exists(tool)) {
    WriteFile(tool, ReadFile(GEN_TARSILP6_BINARY));
    if (chmod(tool.c_str(), 0755) != 0 || chmod(bin.path().c_str(), 0755) != 0)
      throw std::runtime_error("cannot make " + tool + " runnable");
  }
  return tool;
}

std::string ToolRun::Trace() const {
  const Bytes trace = ReadFile(capture_ / "trace");
  return std::string(trace.begin(), trace.end());
}

std::string NoStrace() {
  if (std::strlen(GEN_TARSILP6_EMULATOR) > 0) return "strace would see the emulator";
  return std::system("strace -V >/dev/null 2>&1") == 0 ? "" : "no strace here";
}

RunResult RunTool(const ScratchDir& dir, const std::vector<std::string>& args,
                  const RunOptions& options) {
  return ToolRun(dir, args, options).Finish();
}

}  // namespace testing_support
