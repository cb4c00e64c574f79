// Files on POSIX systems, with Linux's calls for extended attributes.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "io/files.h"

namespace io {
namespace {

// The new file's name while it exists, for the signal handler too.
char g_new_path[kPathMax];
volatile std::sig_atomic_t g_new_exists = 0;

// Signals that do not end the process by default, cannot be caught, or are
// faults, after which nothing more should run. Every other signal removes
// the new file and then ends the process.
constexpr int kSparedSignals[] = {SIGCHLD,  SIGCONT, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG,
                                  SIGWINCH, SIGKILL, SIGSTOP, SIGSEGV, SIGBUS,  SIGFPE,
                                  SIGILL,   SIGTRAP, SIGABRT, SIGSYS};

sigset_t EndingSignals() {
  sigset_t set;
  sigfillset(&set);
  for (const int sig : kSparedSignals) sigdelset(&set, sig);
  return set;
}

extern "C" void RemoveNewFileAndDie(int sig) {
  if (g_new_exists) unlink(g_new_path);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered once the handler returns
}

struct sigaction g_saved[NSIG];

// Catches every ending signal but one the process ignores (a run under nohup
// stays immune to SIGHUP). Called with the signals held.
void CatchEndingSignals() {
  struct sigaction action = {};
  action.sa_handler = RemoveNewFileAndDie;
  action.sa_mask = EndingSignals();
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!sigismember(&action.sa_mask, sig) || sigaction(sig, &action, &g_saved[sig]) != 0) continue;
    if (!(g_saved[sig].sa_flags & SA_SIGINFO) && g_saved[sig].sa_handler == SIG_IGN)
      sigaction(sig, &g_saved[sig], nullptr);
  }
}

void RestoreSignals() {
  const sigset_t ending = EndingSignals();
  for (int sig = 1; sig < NSIG; ++sig)
    if (sigismember(&ending, sig)) sigaction(sig, &g_saved[sig], nullptr);
}

// Holds the ending signals back for its lifetime; one that arrives meanwhile
// is delivered at its end.
struct SignalsHeld {
  sigset_t saved;
  SignalsHeld() {
    const sigset_t set = EndingSignals();
    sigprocmask(SIG_BLOCK, &set, &saved);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &saved, nullptr); }
};

FileId IdOf(const struct stat& st) { return {true, st.st_dev, st.st_ino}; }

// Length of the folder part of `path`, separator included; 0 for a bare name.
std::size_t DirLength(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

// Follows `path` through symbolic links to the name they finally stand for,
// which need not exist. False when the chain is too long or cannot be read.
bool FollowLinks(const char* path, char (&out)[kPathMax]) {
  std::strcpy(out, path);
  for (int hops = 0; hops < 40; ++hops) {
    char link[kPathMax];
    const ssize_t n = readlink(out, link, sizeof link);
    if (n < 0) return errno == EINVAL || errno == ENOENT;         // not a link, or nothing there
    const std::size_t dir = link[0] == '/' ? 0 : DirLength(out);  // relative to the link's folder
    if (dir + static_cast<std::size_t>(n) >= kPathMax) return false;
    std::memcpy(out + dir, link, static_cast<std::size_t>(n));
    out[dir + static_cast<std::size_t>(n)] = '\0';
  }
  return false;
}

// Creates ".NAME.XXXXXX" exclusively beside `target`, NAME being the last
// part of `name`, and leaves its name in g_new_path. The descriptor, or -1.
int CreateBeside(const char* target, const char* name, mode_t mode) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr int kSuffix = 6;
  const int length =
      std::snprintf(g_new_path, kPathMax, "%.*s.%s.XXXXXX", static_cast<int>(DirLength(target)),
                    target, name + DirLength(name));
  if (length < 0 || length >= static_cast<int>(kPathMax)) return -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[kSuffix];
    if (getrandom(random, sizeof random, 0) != kSuffix) return -1;
    for (int i = 0; i < kSuffix; ++i)
      g_new_path[length - kSuffix + i] = kAlphabet[random[i] % (sizeof kAlphabet - 1)];
    const int fd = open(g_new_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int WriteAll(int fd, std::span<const uint8_t> bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) return errno;
    if (n == 0) return EIO;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Whether a file-size limit forbids a file of `size` bytes. Checked before
// the first byte is written, so that the limit never cuts a write short.
bool TooLarge(std::size_t size) {
  struct rlimit limit;
  return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
         limit.rlim_cur < size;
}

// Extended attributes as Linux keeps them: at most 64 KiB of names, and as
// much for a value.
constexpr std::size_t kAttributesMax = 65536;
char g_names[kAttributesMax], g_new_names[kAttributesMax];
char g_value[kAttributesMax], g_new_value[kAttributesMax];

bool Listed(const char* name, const char* names, ssize_t size) {
  for (const char* n = names; n < names + size; n += std::strlen(n) + 1)
    if (std::strcmp(n, name) == 0) return true;
  return false;
}

// Gives the new file `to` every extended attribute of `from` (its ACL among
// them) that it does not already hold with the same value, and takes away
// any that `from` lacks, such as an ACL inherited from the folder. False when
// one can be neither given nor taken away.
bool CopyAttributes(const char* from, int to) {
  ssize_t listed = listxattr(from, g_names, kAttributesMax);
  if (listed < 0 && errno == ENOTSUP) listed = 0;  // a file system without them
  ssize_t own = flistxattr(to, g_new_names, kAttributesMax);
  if (own < 0 && errno == ENOTSUP) own = 0;
  if (listed < 0 || own < 0) return false;
  for (const char* name = g_names; name < g_names + listed; name += std::strlen(name) + 1) {
    const ssize_t size = getxattr(from, name, g_value, kAttributesMax);
    if (size < 0) return false;
    const auto bytes = static_cast<std::size_t>(size);
    if (fgetxattr(to, name, g_new_value, kAttributesMax) == size &&
        std::memcmp(g_value, g_new_value, bytes) == 0)
      continue;
    if (fsetxattr(to, name, g_value, bytes, 0) != 0) return false;
  }
  for (const char* name = g_new_names; name < g_new_names + own; name += std::strlen(name) + 1)
    if (!Listed(name, g_names, listed) && fremovexattr(to, name) != 0) return false;
  return true;
}

// Gives the new file `fd` the owner, group, extended attributes and
// permission bits of `old`. False when any of them cannot be given.
bool GiveAttributes(int fd, const char* old, uid_t owner, gid_t group, mode_t mode) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  // One at a time: a user may give the group (one of theirs) but not the owner.
  if (st.st_uid != owner && fchown(fd, owner, static_cast<gid_t>(-1)) != 0) return false;
  if (st.st_gid != group && fchown(fd, static_cast<uid_t>(-1), group) != 0) return false;
  if (!CopyAttributes(old, fd)) return false;
  // The bits come last, since a change of owner clears the set-id bits, and
  // are checked, since the system drops set-group-id for a group the user is
  // not in rather than fail.
  return fchmod(fd, mode) == 0 && fstat(fd, &st) == 0 && (st.st_mode & 07777) == mode;
}

// Writes the image over what `path` names, without truncating it first. A
// regular file is written with the ending signals held, so that no signal
// leaves it half-written, and then cut to the image's length; a device or
// FIFO is written with them deliverable, since its reader may never come.
int WriteInPlace(const char* path, std::span<const uint8_t> image) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  struct stat st;
  int error = fstat(fd, &st) == 0 ? 0 : errno;
  if (error == 0 && !S_ISREG(st.st_mode)) {
    error = WriteAll(fd, image);
  } else if (error == 0 && TooLarge(image.size())) {
    error = EFBIG;
  } else if (error == 0) {
    const SignalsHeld held;
    error = WriteAll(fd, image);
    if (error == 0 && ftruncate(fd, static_cast<off_t>(image.size())) != 0) error = errno;
  }
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

FileId IdOfPath(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? IdOf(st) : FileId{};
}

int InputFile::Open(const char* name) {
  Close();
  fd_ = open(name, O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return errno;
  struct stat st;
  const int error = fstat(fd_, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (error != 0) Close();
  if (error == 0) id_ = IdOf(st);
  return error;
}

ReadResult InputFile::Read(std::span<uint8_t> out) {
  ReadResult result;
  while (result.bytes < out.size()) {
    const ssize_t n = read(fd_, out.data() + result.bytes, out.size() - result.bytes);
    if (n == 0) break;  // the end of the file
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.error = errno;
      break;
    }
    result.bytes += static_cast<std::size_t>(n);
  }
  return result;
}

void InputFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  id_ = {};
}

int ImageFile::Open(const char* path) {
  Discard();
  if (std::strlen(path) >= kPathMax) return ENAMETOOLONG;
  // A link's final name is trusted only when it is the file that `path`
  // opens, or when neither names anything: a link such as /proc/self/fd/1
  // reads as a name that is not that file.
  struct stat named, final;
  existed_ = stat(path, &named) == 0;
  const bool named_nothing = !existed_ && errno == ENOENT;
  bool trusted = FollowLinks(path, target_);
  if (trusted && lstat(target_, &final) == 0) {
    trusted = existed_ && SameFile(IdOf(named), IdOf(final));
  } else if (trusted) {
    trusted = errno == ENOENT && named_nothing;
  }
  if (!trusted) std::strcpy(target_, path);
  // Replaced: nothing there yet, or a regular file with one link that this
  // user may write (one that it may not is refused by the write in place).
  if (!trusted || (existed_ && (!S_ISREG(named.st_mode) || named.st_nlink != 1 ||
                                faccessat(AT_FDCWD, target_, W_OK, AT_EACCESS) != 0)))
    return 0;
  owner_ = named.st_uid;
  group_ = named.st_gid;
  mode_ = named.st_mode & 07777;
  const SignalsHeld held;
  CatchEndingSignals();
  fd_ = CreateBeside(target_, path, existed_ ? 0600 : 0666);
  g_new_exists = replacing_ = fd_ >= 0;
  if (!replacing_) RestoreSignals();  // no new file: written in place
  return 0;
}

int ImageFile::Put(std::span<const uint8_t> image) {
  if (replacing_) {
    int error = TooLarge(image.size()) ? EFBIG : WriteAll(fd_, image);
    if (error == 0 && (!existed_ || GiveAttributes(fd_, target_, owner_, group_, mode_))) {
      error = close(fd_) == 0 ? 0 : errno;
      fd_ = -1;
      const SignalsHeld held;
      if (error == 0 && rename(g_new_path, target_) == 0) {
        g_new_exists = 0;  // it has taken the image's place
        Discard();
        return 0;
      }
    }
    Discard();
    if (error != 0) return error;
    // The new file cannot carry what the old one had, or cannot take its place.
  }
  return WriteInPlace(target_, image);
}

void ImageFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!replacing_) return;
  {
    const SignalsHeld held;
    if (g_new_exists) unlink(g_new_path);
    g_new_exists = 0;
  }
  RestoreSignals();
  replacing_ = false;
}

}  // namespace io
