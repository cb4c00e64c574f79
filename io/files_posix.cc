// Files on POSIX systems, with Linux's calls for extended attributes, file
// flags, space reservation and the signal mask.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "io/files.h"

namespace io {
namespace {

// The new file while it exists: its folder and name, for the signal handler too.
int g_folder = -1;
char g_new_name[32];
volatile std::sig_atomic_t g_new_exists = 0;

// Signal sets as the kernel takes them. glibc's own calls leave out the two
// signals it keeps for itself (32 and 33), which another process may still
// send and which end the process by default; no handler can take them, so
// they are held back instead while the new file exists.
constexpr int kSignals = 64;
constexpr int kWordBits = 8 * sizeof(unsigned long);
struct Signals {
  unsigned long bits[kSignals / kWordBits] = {};
  constexpr void Add(int sig) { bits[(sig - 1) / kWordBits] |= Bit(sig); }
  constexpr void Remove(int sig) { bits[(sig - 1) / kWordBits] &= ~Bit(sig); }
  static constexpr unsigned long Bit(int sig) { return 1ul << ((sig - 1) % kWordBits); }
  constexpr bool Has(int sig) const { return (bits[(sig - 1) / kWordBits] & Bit(sig)) != 0; }
  Signals With(const Signals& more) const {
    Signals both = *this;
    for (std::size_t w = 0; w < std::size(bits); ++w) both.bits[w] |= more.bits[w];
    return both;
  }
};
void SetMask(int how, const Signals& set, Signals* old) {
  syscall(SYS_rt_sigprocmask, how, &set, old, sizeof set.bits);
}

// Every signal whose default action ends the process, but for those that
// cannot be caught and the faults, after which nothing more should run.
constexpr Signals EndingSignals() {
  constexpr int kSpared[] = {SIGCHLD,  SIGCONT, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG,
                             SIGWINCH, SIGKILL, SIGSTOP, SIGSEGV, SIGBUS,  SIGFPE,
                             SIGILL,   SIGTRAP, SIGABRT, SIGSYS};
  Signals set;
  for (int sig = 1; sig <= kSignals; ++sig) set.Add(sig);
  for (const int sig : kSpared) set.Remove(sig);
  return set;
}
constexpr Signals kEnding = EndingSignals();

extern "C" void RemoveNewFileAndDie(int sig) {
  if (g_new_exists) unlinkat(g_folder, g_new_name, 0);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered once the handler returns
}

struct sigaction g_saved[kSignals + 1];
Signals g_uncaught, g_mask_before;

// Catches every ending signal that is still at its default action, leaving
// one that the process ignores (a run under nohup stays immune to SIGHUP) or
// handles itself alone, and notes those that no handler can take.
void CatchEndingSignals() {
  struct sigaction action = {};
  action.sa_handler = RemoveNewFileAndDie;
  sigfillset(&action.sa_mask);
  g_uncaught = {};
  for (int sig = 1; sig <= kSignals; ++sig) {
    if (!kEnding.Has(sig)) continue;
    if (sigaction(sig, &action, &g_saved[sig]) != 0) {
      g_uncaught.Add(sig);
    } else if ((g_saved[sig].sa_flags & SA_SIGINFO) || g_saved[sig].sa_handler != SIG_DFL) {
      sigaction(sig, &g_saved[sig], nullptr);
    }
  }
}

void RestoreSignals() {
  for (int sig = 1; sig <= kSignals; ++sig)
    if (kEnding.Has(sig) && !g_uncaught.Has(sig)) sigaction(sig, &g_saved[sig], nullptr);
}

// Removes the new file unless it has taken the image's place, and puts the
// signals back as they were before it was made.
void EndNewFile() {
  SetMask(SIG_BLOCK, kEnding, nullptr);
  if (g_new_exists) unlinkat(g_folder, g_new_name, 0);
  g_new_exists = 0;
  RestoreSignals();
  SetMask(SIG_SETMASK, g_mask_before, nullptr);
}

// Holds the ending signals back for its lifetime; one that arrives meanwhile
// is delivered at its end.
struct SignalsHeld {
  Signals saved;
  SignalsHeld() { SetMask(SIG_BLOCK, kEnding, &saved); }
  ~SignalsHeld() { SetMask(SIG_SETMASK, saved, nullptr); }
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
  for (int links = 0; links <= 40; ++links) {  // as many as the system follows
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

// Opens the folder of `path`, in which every later step then acts.
int OpenFolder(const char* path) {
  char dir[kPathMax] = ".";
  if (const std::size_t n = DirLength(path); n > 0) {
    std::memcpy(dir, path, n);
    dir[n] = '\0';
  }
  return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Whether files may be added to the folder but not removed or renamed.
bool AppendOnly(int folder) {
  int flags = 0;
  return ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

// Creates ".NAME.XXXXXX" exclusively in g_folder, NAME being the last part
// of `name`, and leaves its name in g_new_name. The descriptor, or -1.
int CreateNewFile(const char* name, mode_t mode) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr int kSuffix = 6;
  const int length =
      std::snprintf(g_new_name, sizeof g_new_name, ".%s.XXXXXX", name + DirLength(name));
  if (length < 0 || length >= static_cast<int>(sizeof g_new_name)) return -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[kSuffix];
    if (getrandom(random, sizeof random, 0) != kSuffix) return -1;
    for (int i = 0; i < kSuffix; ++i)
      g_new_name[length - kSuffix + i] = kAlphabet[random[i] % (sizeof kAlphabet - 1)];
    const int fd = openat(g_folder, g_new_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
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

// Gives the new file `to` every extended attribute of `from` that this user
// can read (its ACL among them), unless it holds it with the same value
// already, and takes away any that `from` lacks, such as an ACL inherited
// from the folder. False when one can be neither given nor taken away.
bool CopyAttributes(int from, int to) {
  ssize_t listed = flistxattr(from, g_names, kAttributesMax);
  if (listed < 0 && errno == ENOTSUP) listed = 0;  // a file system without them
  ssize_t own = flistxattr(to, g_new_names, kAttributesMax);
  if (own < 0 && errno == ENOTSUP) own = 0;
  if (listed < 0 || own < 0) return false;
  for (const char* name = g_names; name < g_names + listed; name += std::strlen(name) + 1) {
    const ssize_t size = fgetxattr(from, name, g_value, kAttributesMax);
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
// permission bits of `old` as they are now (whatever stands under the name
// when the new file takes its place). False when any of them cannot be
// given, or when `old` is no longer a regular file with one link (or none:
// replaced meanwhile).
bool GiveAttributes(int fd, int old) {
  struct stat st, now;
  if (old < 0 || fstat(old, &now) != 0 || !S_ISREG(now.st_mode) || now.st_nlink > 1 ||
      fstat(fd, &st) != 0)
    return false;
  // One at a time: a user may give the group (one of theirs) but not the owner.
  if (st.st_uid != now.st_uid && fchown(fd, now.st_uid, static_cast<gid_t>(-1)) != 0) return false;
  if (st.st_gid != now.st_gid && fchown(fd, static_cast<uid_t>(-1), now.st_gid) != 0) return false;
  if (!CopyAttributes(old, fd)) return false;
  // The bits come last, since a change of owner clears the set-id bits, and
  // are checked, since the system drops set-group-id for a group the user is
  // not in rather than fail.
  const mode_t mode = now.st_mode & 07777;
  return fchmod(fd, mode) == 0 && fstat(fd, &st) == 0 && (st.st_mode & 07777) == mode;
}

// Writes the image over the file that stood there, opened through `open`,
// without truncating it first. A regular file has the space reserved first
// and is written with the ending signals held, so that neither a full disk
// nor a signal leaves it half-written, and is then cut to the image's
// length; a device or FIFO is written with them deliverable, since its
// reader may never come. A file that is not the one that stood there is
// refused.
int WriteInPlace(int fd, const FileId& was, std::span<const uint8_t> image) {
  if (fd < 0) return errno;
  struct stat st;
  const auto size = static_cast<off_t>(image.size());
  int error = fstat(fd, &st) != 0 ? errno : was.known && !SameFile(IdOf(st), was) ? EAGAIN : 0;
  if (error == 0 && !S_ISREG(st.st_mode)) {
    error = WriteAll(fd, image);
  } else if (error == 0 && TooLarge(image.size())) {
    error = EFBIG;
  } else if (error == 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
             errno != EOPNOTSUPP) {
    error = errno;
  } else if (error == 0) {
    const SignalsHeld held;
    error = WriteAll(fd, image);
    if (error == 0 && (ftruncate(fd, size) != 0 || fsync(fd) != 0)) error = errno;
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
  // reads as a name that is not that file. Without trust, the file that
  // `path` opens is written in place.
  struct stat named, final;
  bool existed = lstat(path, &named) == 0, trusted = true;
  if (!existed && errno != ENOENT) return errno;
  std::strcpy(target_, path);
  if (existed && S_ISLNK(named.st_mode)) {
    existed = stat(path, &named) == 0;
    if (!existed && errno != ENOENT) return errno;  // a loop, a folder that cannot be searched
    trusted = FollowLinks(path, target_);
    if (trusted && lstat(target_, &final) == 0) {
      trusted = existed && SameFile(IdOf(named), IdOf(final));
    } else if (trusted) {
      trusted = errno == ENOENT && !existed;
    }
    if (!trusted) std::strcpy(target_, path);
  }
  old_ = existed ? IdOf(named) : FileId{};
  folder_ = trusted ? OpenFolder(target_) : -1;
  if (trusted && folder_ < 0) return errno;
  // Replaced: nothing there yet, or a regular file with one link that this
  // user may write (one that it may not is refused by the write in place),
  // in a folder that lets the new file be renamed or removed again.
  if (!trusted || AppendOnly(folder_) ||
      (existed && (!S_ISREG(named.st_mode) || named.st_nlink != 1 ||
                   faccessat(folder_, target_ + DirLength(target_), W_OK, AT_EACCESS) != 0)))
    return 0;
  SetMask(SIG_BLOCK, kEnding, &g_mask_before);  // while the new file comes into being
  CatchEndingSignals();
  g_folder = folder_;
  fd_ = CreateNewFile(path, existed ? 0600 : 0666);
  const int error = fd_ < 0 ? errno : 0;
  g_new_exists = replacing_ = fd_ >= 0;
  if (!replacing_) RestoreSignals();
  SetMask(SIG_SETMASK, replacing_ ? g_mask_before.With(g_uncaught) : g_mask_before, nullptr);
  return existed ? 0 : error;  // with nothing there, there is nothing to write in place
}

int ImageFile::Put(std::span<const uint8_t> image) {
  const char* name = target_ + DirLength(target_);
  if (replacing_) {
    // Flushed before the rename, so that a crash cannot leave the name
    // standing for a file whose bytes never reached the disk.
    int error = TooLarge(image.size()) ? EFBIG : WriteAll(fd_, image);
    if (error == 0 && fsync(fd_) != 0) error = errno;
    bool given = error == 0 && !old_.known;
    if (error == 0 && old_.known) {
      const int old = openat(folder_, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      given = GiveAttributes(fd_, old);
      if (old >= 0) close(old);
    }
    if (close(fd_) != 0 && error == 0) error = errno;
    fd_ = -1;
    if (error == 0 && given) {
      const SignalsHeld held;
      if (renameat(folder_, g_new_name, folder_, name) == 0) g_new_exists = 0;
      if (g_new_exists && !old_.known) error = errno;
    }
    const bool put = g_new_exists == 0;  // it has taken the image's place
    EndNewFile();
    replacing_ = false;
    if (put || error != 0) return error;
    // The new file cannot carry what the old one had, or cannot take its place.
  }
  // Nothing stood there only when the folder is append-only: made here.
  const int flags = O_WRONLY | O_CLOEXEC | (old_.known ? 0 : O_CREAT | O_EXCL);
  return WriteInPlace(
      folder_ >= 0 ? openat(folder_, name, flags | O_NOFOLLOW, 0666) : open(target_, flags, 0666),
      old_, image);
}

void ImageFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (replacing_) EndNewFile();
  replacing_ = false;
  if (folder_ >= 0) close(folder_);
  folder_ = -1;
}

}  // namespace io
