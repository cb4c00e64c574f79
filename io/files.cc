#include "io/files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace io {
namespace {

// What a leftover new image is called: ".NAME." and this many characters.
constexpr int kTempSuffixChars = 6;
constexpr int kTempAttempts = 100;

#ifdef _WIN32
constexpr bool IsSeparator(char c) { return c == '/' || c == '\\'; }
#else
constexpr bool IsSeparator(char c) { return c == '/'; }
#endif

// Length of the folder part of `path`, separator included; 0 for a bare name.
std::size_t DirLength(const char* path) {
  std::size_t dir = 0;
  for (std::size_t i = 0; path[i] != '\0'; ++i)
    if (IsSeparator(path[i])) dir = i + 1;
  return dir;
}

// What stands under the image's final name: nothing, a regular file this
// user may write (replaced by a new file), or anything else (written in place).
struct Standing {
  bool exists = false;
  bool replaceable = true;
  unsigned mode = 0;  // permission bits of an existing file (POSIX)
  unsigned owner = 0, group = 0;
};

// The new file while it exists: its name, and whether it is there (read by
// the signal handler on POSIX).
volatile std::sig_atomic_t g_temp_exists = 0;
char g_temp_path[kPathMax];

// ---------------------------------------------------------------------------
// The primitives that differ between POSIX and Windows.
#ifdef _WIN32

int OpenForReading(const char* name) { return _open(name, _O_RDONLY | _O_BINARY); }
int OpenInPlace(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int OpenNew(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long ReadSome(int fd, uint8_t* p, std::size_t n) {
  return _read(fd, p, static_cast<unsigned>(std::min<std::size_t>(n, INT_MAX)));
}
long WriteSome(int fd, const uint8_t* p, std::size_t n) {
  return _write(fd, p, static_cast<unsigned>(std::min<std::size_t>(n, INT_MAX)));
}
int CloseFile(int fd) { return _close(fd); }
void RemoveFile(const char* path) { _unlink(path); }
unsigned long ProcessId() { return static_cast<unsigned long>(_getpid()); }

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

// The replace-existing move is Windows' rename over an existing file.
int RenameOver(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : ErrnoOf(GetLastError());
}

FileId IdOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return {};
  return {true, info.dwVolumeSerialNumber,
          uint64_t{info.nFileIndexHigh} << 32 | uint64_t{info.nFileIndexLow}};
}

// The identity of an open file, and whether it is a directory.
FileId Describe(int fd, bool& directory) {
  struct _stat64 st;
  directory = _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
  return IdOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

// What the image's name stands for: Windows links are left to the system.
bool FollowLinks(const char* path, char (&out)[kPathMax]) {
  if (std::strlen(path) >= kPathMax) return false;
  std::strcpy(out, path);
  return true;
}

Standing Look(const char* path) {
  struct _stat64 st;
  Standing s;
  s.exists = _stat64(path, &st) == 0;
  s.replaceable = !s.exists || ((st.st_mode & _S_IFMT) == _S_IFREG && _access(path, 2) == 0);
  return s;
}
void KeepOwnerAndMode(int, const Standing&) {}  // a writable file has no other bits worth keeping

// Interrupting a run on Windows may leave the new file behind, under its
// telling name; the old image stays whole either way.
void CleanUpOnSignals() {}
void RestoreSignals() {}
void IgnoreFileSizeSignal() {}  // Windows has no such signal: a write fails
void RestoreFileSizeSignal() {}
struct SignalsHeld {
  SignalsHeld() {}
  ~SignalsHeld() {}
};
#else  // POSIX

int OpenForReading(const char* name) { return open(name, O_RDONLY); }
int OpenInPlace(const char* path) { return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666); }
int OpenNew(const char* path) { return open(path, O_WRONLY | O_CREAT | O_EXCL, 0666); }
long ReadSome(int fd, uint8_t* p, std::size_t n) { return read(fd, p, n); }
long WriteSome(int fd, const uint8_t* p, std::size_t n) { return write(fd, p, n); }
int CloseFile(int fd) { return close(fd); }
void RemoveFile(const char* path) { unlink(path); }
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
int RenameOver(const char* from, const char* to) { return std::rename(from, to) == 0 ? 0 : errno; }

FileId IdOf(const struct stat& st) {
  return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}
FileId Describe(int fd, bool& directory) {
  struct stat st;
  const bool known = fstat(fd, &st) == 0;
  directory = known && S_ISDIR(st.st_mode);
  return known ? IdOf(st) : FileId{};
}

// Follows `path` through symbolic links to the name they finally stand for,
// which need not exist yet (a dangling link creates its target). False when
// the chain is too long or cannot be read.
bool FollowLinks(const char* path, char (&out)[kPathMax]) {
  if (std::strlen(path) >= kPathMax) return false;
  std::strcpy(out, path);
  for (int hops = 0; hops < 40; ++hops) {
    char link[kPathMax];
    const ssize_t n = readlink(out, link, sizeof link - 1);
    if (n < 0) return errno == EINVAL || errno == ENOENT;  // not a link, or nothing there
    if (static_cast<std::size_t>(n) == sizeof link - 1) return false;
    link[n] = '\0';
    const std::size_t dir = link[0] == '/' ? 0 : DirLength(out);  // relative to the link's folder
    if (dir + static_cast<std::size_t>(n) >= kPathMax) return false;
    std::memcpy(out + dir, link, static_cast<std::size_t>(n) + 1);
  }
  return false;
}

#ifdef STATX_ATTR_MOUNT_ROOT
// A file mounted over its name (a bind mount, as a container is handed one
// file) cannot be renamed over.
bool MountedOver(const char* path) {
  struct statx st;
  return statx(AT_FDCWD, path, 0, 0, &st) == 0 &&
         (st.stx_attributes_mask & st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}
#else
bool MountedOver(const char*) { return false; }
#endif

// In a folder with the sticky bit (such as /tmp) only the owner of a file or
// of the folder may rename over the file; anyone else who may write it
// writes it in place. (Root may do either, and is treated the same: in place
// is never wrong, only not in one step.)
bool StickyForUs(const char* path, const struct stat& file) {
  const uid_t us = geteuid();
  if (file.st_uid == us) return false;
  char dir[kPathMax] = ".";
  if (const std::size_t n = DirLength(path); n > 0) {
    std::memcpy(dir, path, n);
    dir[n] = '\0';
  }
  struct stat folder;
  return stat(dir, &folder) == 0 && (folder.st_mode & S_ISVTX) != 0 && folder.st_uid != us;
}

Standing Look(const char* path) {
  struct stat st;
  Standing s;
  s.exists = stat(path, &st) == 0;
  s.replaceable = !s.exists || (S_ISREG(st.st_mode) && access(path, W_OK) == 0 &&
                                !MountedOver(path) && !StickyForUs(path, st));
  if (s.exists) {
    s.mode = static_cast<unsigned>(st.st_mode & 07777);
    s.owner = static_cast<unsigned>(st.st_uid);
    s.group = static_cast<unsigned>(st.st_gid);
  }
  return s;
}

// A replaced image keeps its owner, as far as this user may give it (root
// running the tool on someone's image leaves it theirs), and its permission
// bits, set last because a change of owner clears some of them.
void KeepOwnerAndMode(int fd, const Standing& standing) {
  if (fchown(fd, static_cast<uid_t>(standing.owner), static_cast<gid_t>(standing.group)) != 0) {
    // Not allowed to: the new file stays this user's, as any new file would.
  }
  fchmod(fd, static_cast<mode_t>(standing.mode));
}

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the new file, then lets the signal do what it would have done.
extern "C" void RemoveTempAndDie(int sig) {
  if (g_temp_exists) unlink(g_temp_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

void AddCleanupSignals(sigset_t& set) {
  sigemptyset(&set);
  for (const int sig : kCleanupSignals) sigaddset(&set, sig);
}

constexpr int kSignals = static_cast<int>(std::size(kCleanupSignals));
struct sigaction g_saved[kSignals];

// Installs the handler while a new image is being written, except for a
// signal the process ignores (a run under nohup stays immune to SIGHUP).
void CleanUpOnSignals() {
  struct sigaction action = {};
  action.sa_handler = RemoveTempAndDie;
  AddCleanupSignals(action.sa_mask);
  for (int i = 0; i < kSignals; ++i) {
    sigaction(kCleanupSignals[i], &action, &g_saved[i]);
    if (!(g_saved[i].sa_flags & SA_SIGINFO) && g_saved[i].sa_handler == SIG_IGN)
      sigaction(kCleanupSignals[i], &g_saved[i], nullptr);
  }
}

// Puts the handlers from before CleanUpOnSignals() back.
void RestoreSignals() {
  for (int i = 0; i < kSignals; ++i) sigaction(kCleanupSignals[i], &g_saved[i], nullptr);
}

// A file-size limit stops a write with SIGXFSZ, which by default ends the
// process where it stands and leaves a new file behind. Ignored while the
// image is written, it lets the write fail with EFBIG instead, which the run
// reports, removing the new file.
struct sigaction g_saved_file_size;
void IgnoreFileSizeSignal() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &g_saved_file_size);
}
void RestoreFileSizeSignal() { sigaction(SIGXFSZ, &g_saved_file_size, nullptr); }

// Holds the signals back while the new file comes into being or goes, so
// that the handler never sees a name that is half made or already renamed.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    AddCleanupSignals(set);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t saved_;
};

#endif
// ---------------------------------------------------------------------------

int WriteAll(int fd, std::span<const uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const long n = WriteSome(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return errno;
    } else if (n == 0) {
      return EIO;
    }
  }
  return 0;
}

uint64_t Mix(uint64_t x) {  // splitmix64's finaliser
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

// Creates ".NAME.XXXXXX" beside `target`, exclusively, and leaves its name in
// `out`. Returns the descriptor, or -1.
int CreateBeside(const char* target, char (&out)[kPathMax]) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  const std::size_t dir = DirLength(target);
  const std::size_t base = std::strlen(target + dir);
  const std::size_t length = dir + 1 + base + 1 + kTempSuffixChars;
  if (length >= kPathMax) return -1;
  std::memcpy(out, target, dir);
  out[dir] = '.';
  std::memcpy(out + dir + 1, target + dir, base);
  out[dir + 1 + base] = '.';
  out[length] = '\0';
  // Process number, time and a stack address (placed at random by the
  // system): two runs started together still pick different names.
  uint64_t seed = Mix(ProcessId() ^ uint64_t(std::time(nullptr)) << 20 ^
                      reinterpret_cast<std::uintptr_t>(&seed));
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    uint64_t bits = seed = Mix(seed + uint64_t(attempt));
    for (int i = 0; i < kTempSuffixChars; ++i, bits /= sizeof kAlphabet - 1)
      out[length - kTempSuffixChars + i] = kAlphabet[bits % (sizeof kAlphabet - 1)];
    const int fd = OpenNew(out);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

bool SameFile(const FileId& a, const FileId& b) {
  return a.known && b.known && a.volume == b.volume && a.file == b.file;
}

FileId IdOfPath(const char* path) {
#ifdef _WIN32
  const HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const FileId id = IdOfHandle(h);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return id;
#else
  struct stat st;
  return stat(path, &st) == 0 ? IdOf(st) : FileId{};
#endif
}

int InputFile::Open(const char* name) {
  Close();
  fd_ = OpenForReading(name);
  if (fd_ < 0) return errno;
  bool directory = false;
  id_ = Describe(fd_, directory);
  if (directory) {
    Close();
    return EISDIR;
  }
  return 0;
}

ReadResult InputFile::Read(std::span<uint8_t> out) {
  ReadResult result;
  while (result.bytes < out.size()) {
    const long n = ReadSome(fd_, out.data() + result.bytes, out.size() - result.bytes);
    if (n > 0) {
      result.bytes += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;  // the end of the file
    } else if (errno != EINTR) {
      result.error = errno;
      break;
    }
  }
  return result;
}

void InputFile::Close() {
  if (fd_ >= 0) CloseFile(fd_);
  fd_ = -1;
  id_ = {};
}

int ImageFile::Open(const char* path) {
  Discard();
  error_ = 0;
  IgnoreFileSizeSignal();
  file_size_signal_ignored_ = true;
  if (FollowLinks(path, target_)) {
    const Standing standing = Look(target_);
    if (standing.replaceable) {
      {
        const SignalsHeld held;
        CleanUpOnSignals();
        fd_ = CreateBeside(target_, g_temp_path);
        g_temp_exists = fd_ >= 0;
        if (fd_ < 0) RestoreSignals();
      }
      if (fd_ >= 0) {
        replacing_ = true;
        if (standing.exists) KeepOwnerAndMode(fd_, standing);
        return 0;
      }
      // No new file can be made here (a folder this user may not write): in place.
    }
  }
  fd_ = OpenInPlace(path);
  if (fd_ < 0) {
    const int error = errno;
    Discard();
    return error;
  }
  return 0;
}

void ImageFile::Write(std::span<const uint8_t> bytes) {
  if (fd_ >= 0 && error_ == 0) error_ = WriteAll(fd_, bytes);
}

int ImageFile::Commit() {
  if (fd_ < 0) return error_ != 0 ? error_ : EBADF;
  if (CloseFile(fd_) != 0 && error_ == 0) error_ = errno;
  fd_ = -1;
  if (replacing_ && error_ == 0) {
    const SignalsHeld held;
    error_ = RenameOver(g_temp_path, target_);
    if (error_ == 0) g_temp_exists = 0;  // it has taken the image's place
  }
  Discard();
  return error_;
}

void ImageFile::Discard() {
  if (fd_ >= 0) CloseFile(fd_);
  fd_ = -1;
  if (replacing_) {
    {
      const SignalsHeld held;
      if (g_temp_exists) RemoveFile(g_temp_path);
      g_temp_exists = 0;
    }
    RestoreSignals();
    replacing_ = false;
  }
  if (file_size_signal_ignored_) RestoreFileSizeSignal();
  file_size_signal_ignored_ = false;
}

}  // namespace io
