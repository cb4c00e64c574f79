// Files on Linux: the image's by one descriptor and the *at calls in a folder
// held open, with extended attributes, reserved room and the kernel's mask.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "io/files.h"

namespace io {
namespace {

// A signal set as the kernel takes it, bit n - 1 for signal n. glibc's calls
// leave out the two it keeps (32 and 33), which another process may still
// send and which end the process, so the mask is set with the kernel's call.
using Signals = uint64_t;
static_assert(sizeof(long) == 8 || std::endian::native == std::endian::little);
constexpr Signals Bit(int sig) { return Signals{1} << (sig - 1); }
constexpr Signals kEnding =  // every signal whose default action ends the process
    ~(Bit(SIGKILL) | Bit(SIGSTOP) | Bit(SIGTSTP) | Bit(SIGTTIN) | Bit(SIGTTOU) | Bit(SIGCHLD) |
      Bit(SIGCONT) | Bit(SIGURG) | Bit(SIGWINCH));

Signals Mask(int how, Signals set) {  // the mask before; the kernel reads `set` first
  syscall(SYS_rt_sigprocmask, how, &set, &set, sizeof set);
  return set;
}

// Holds the ending signals back for its lifetime, then puts the caller's
// mask back, so that one that came meanwhile is delivered at its end.
struct SignalsHeld {
  const Signals before = Mask(SIG_BLOCK, kEnding);
  ~SignalsHeld() { Mask(SIG_SETMASK, before); }

  // Whether one came that will end the process once delivered: not held by
  // the caller itself, and at its default action (32 and 33 always are).
  bool Ending() const {
    Signals pending = 0;
    syscall(SYS_rt_sigpending, &pending, sizeof pending);
    pending &= kEnding & ~before;
    struct sigaction action;
    for (int sig = 1; sig <= 64; ++sig)
      if ((pending & Bit(sig)) &&
          (sigaction(sig, nullptr, &action) || action.sa_handler == SIG_DFL))
        return true;
    return false;
  }
};

FileId IdOf(const struct stat& st) { return {true, st.st_dev, st.st_ino}; }

// Whether `name` stands for the file `id` (or nothing, if unknown), or for one
// with a link and the owner, group, bits and size of `like`: another run's.
bool StandsFor(int folder, const char* name, const FileId& id, const struct stat* like = nullptr) {
  struct stat st;
  if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT && !id.known;
  return SameFile(IdOf(st), id) ||
         (like != nullptr && st.st_nlink == 1 && st.st_size == like->st_size &&
          st.st_uid == like->st_uid && st.st_gid == like->st_gid && st.st_mode == like->st_mode);
}

// Finds the folder (left open) and last name that `path` finally stands for,
// following links one at a time, each relative to its own folder.
int FinalName(const char* path, int& folder, char (&name)[kPathMax]) {
  std::strcpy(name, path);
  folder = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  for (int links = 0; folder >= 0; ++links) {
    if (char* slash = std::strrchr(name, '/'); slash != nullptr) {
      const char kept = slash[1];
      slash[1] = '\0';  // the folder part, "/" itself included
      const int inner = openat(folder, name, O_PATH | O_DIRECTORY | O_CLOEXEC), error = errno;
      slash[1] = kept;
      close(folder);
      if ((folder = inner) < 0) return error;
      std::memmove(name, slash + 1, std::strlen(slash + 1) + 1);
    }
    char link[kPathMax];
    const ssize_t n = readlinkat(folder, name, link, sizeof link);
    if (n < 0) return errno == EINVAL || errno == ENOENT ? 0 : errno;  // not a link, or nothing
    if (static_cast<std::size_t>(n) == sizeof link) return ENAMETOOLONG;
    if (links == 40) return ELOOP;  // as many as the system follows
    std::memcpy(name, link, static_cast<std::size_t>(n));
    name[n] = '\0';
  }
  return errno;
}

// Creates `name` in `folder` exclusively, its last six characters made random
// (a stray file's name is met once in 62 to the 6th). The descriptor, or -1.
int CreateNewFile(int folder, char* name, mode_t mode) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[6];
  if (getrandom(random, sizeof random, 0) != sizeof random) return -1;
  char* suffix = name + std::strlen(name) - sizeof random;
  for (const unsigned char r : random) *suffix++ = kAlphabet[r % (sizeof kAlphabet - 1)];
  return openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
}

// No signal handler is installed, so no call here is interrupted (EINTR).
int WriteAll(int fd, std::span<const uint8_t> bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Extended attributes: at most 64 KiB of names, and as much for a value.
constexpr std::size_t kAttributesMax = 65536;
char g_names[kAttributesMax], g_value[kAttributesMax], g_new_value[kAttributesMax];

// Gives `to` each extended attribute of `from` that the user can read (its ACL
// among them) and `to` lacks, then takes away any that `from` lacks.
bool CopyAttributes(int from, int to) {
  ssize_t size = flistxattr(from, g_names, kAttributesMax);
  if (size < 0) return errno == ENOTSUP;  // then the new file, beside it, has none either
  for (const char* name = g_names; name < g_names + size; name += std::strlen(name) + 1) {
    const ssize_t n = fgetxattr(from, name, g_value, kAttributesMax);
    if (n < 0) return false;
    const auto bytes = static_cast<std::size_t>(n);
    if ((fgetxattr(to, name, g_new_value, kAttributesMax) != n ||
         std::memcmp(g_value, g_new_value, bytes) != 0) &&
        fsetxattr(to, name, g_value, bytes, 0) != 0)
      return false;
  }
  if ((size = flistxattr(to, g_names, kAttributesMax)) < 0) return false;
  for (const char* name = g_names; name < g_names + size; name += std::strlen(name) + 1)
    if (fgetxattr(from, name, nullptr, 0) < 0 && errno == ENODATA && fremovexattr(to, name) != 0)
      return false;
  return true;
}

// Gives `fd` the owner, group, extended attributes and permission bits of
// `old` as they are now; false if one cannot be, or `old` gained a link.
bool GiveAttributes(int old, int fd) {
  struct stat st, now;
  if (fstat(old, &now) != 0 || now.st_nlink > 1 || fchown(fd, now.st_uid, now.st_gid) != 0 ||
      !CopyAttributes(old, fd))
    return false;
  // The bits last, as a change of owner clears set-id, and checked, as the
  // system drops set-group-id for a group the user is not in rather than fail.
  const mode_t mode = now.st_mode & 07777;
  return fchmod(fd, mode) == 0 && fstat(fd, &st) == 0 && (st.st_mode & 07777) == mode;
}

// Makes sure the image fits before its first byte: the room reserved, else
// counted with a margin for mapping blocks, unless there is no size (ramfs).
int Reserve(int fd, const struct stat& st, off_t size) {
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return 0;
  struct statvfs fs;
  if (errno != EOPNOTSUPP || fstatvfs(fd, &fs) != 0) return errno;
  const off_t more = size - st.st_blocks * 512, need = more > 0 ? more + more / 64 : 0;
  return fs.f_blocks == 0 || need <= static_cast<off_t>(fs.f_bavail * fs.f_frsize) ? 0 : ENOSPC;
}

// Writes over `fd`, not truncated first: a file with the signals held, cut,
// flushed, given back the set-id bits a write clears if the user owns it; a
// device or FIFO with them deliverable, as its reader may never come.
int WriteInPlace(int fd, std::span<const uint8_t> image) {
  struct stat st, now;
  const auto size = static_cast<off_t>(image.size());
  if (fstat(fd, &st) != 0) return errno;
  if (S_ISBLK(st.st_mode) && (lseek(fd, 0, SEEK_END) < size || lseek(fd, 0, SEEK_SET) != 0))
    return ENOSPC;
  if (!S_ISREG(st.st_mode)) return WriteAll(fd, image);
  if (const int error = Reserve(fd, st, size); error != 0) return error;
  const SignalsHeld held;
  int error = WriteAll(fd, image);
  if (error == 0 && (ftruncate(fd, size) != 0 || fsync(fd) != 0)) error = errno;
  const mode_t mode = st.st_mode & 07777;
  if ((mode & (S_ISUID | S_ISGID)) != 0 && st.st_uid == geteuid() && fstat(fd, &now) == 0 &&
      (now.st_mode & 01777) == (mode & 01777) && (now.st_mode & 07777) != mode &&
      fchmod(fd, mode) != 0 && error == 0)
    error = errno;
  return error;
}

}  // namespace

int InputFile::Open(const char* name) {
  Close();
  fd_ = open(name, O_RDONLY | O_CLOEXEC);
  struct stat st;
  const int error = fd_ < 0 || fstat(fd_, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (error != 0) Close();
  if (error == 0) id_ = IdOf(st);
  return error;
}

ReadResult InputFile::Read(std::span<uint8_t> out) {
  std::size_t got = 0;
  for (ssize_t n = 1; n > 0 && got < out.size(); got += static_cast<std::size_t>(n))  // 0: the end
    if ((n = read(fd_, out.data() + got, out.size() - got)) < 0) return {got, errno};
  return {got, 0};
}

void InputFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  id_ = {};
}

int ImageFile::Open(const char* path) {
  // The one look: what the name stands for, through any links, opened for
  // writing (not truncated), so that the system checks the permission. A name
  // that comes to stand for another file meanwhile is looked at afresh, as if
  // the run had begun later.
  for (int look = 0; look < 3; ++look) {
    Close();
    struct stat st, now;
    file_ = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (file_ < 0 ? errno != ENOENT : fstat(file_, &st) != 0) return errno;
    if (file_ >= 0) id_ = IdOf(st);
    if (const int error = FinalName(path, folder_, name_); error != 0) return error;
    // The final name is trusted only when it is the file opened, or when both
    // are nothing: a link such as /proc/self/fd/1 reads as a name that is not
    // the file it opens, which is written in place if the name still opens it.
    const bool trusted = StandsFor(folder_, name_, id_);
    if (!trusted && (file_ < 0 || stat(path, &now) != 0 || !SameFile(IdOf(now), id_))) continue;
    std::snprintf(new_name_, sizeof new_name_, ".%.*s.XXXXXX", NAME_MAX - 8, basename(path));
    // Not in a folder where files may be added but neither renamed nor removed.
    struct statx folder;
    const bool append_only = statx(folder_, "", AT_EMPTY_PATH, 0, &folder) == 0 &&
                             (folder.stx_attributes & STATX_ATTR_APPEND) != 0;
    replace_ = trusted && !append_only && (file_ < 0 || (S_ISREG(st.st_mode) && st.st_nlink == 1));
    return 0;
  }
  return EAGAIN;  // the name keeps changing
}

int ImageFile::Put(std::span<const uint8_t> image) {
  // A file-size limit, which bears on regular files only, refuses the run
  // before any byte (none is the largest number).
  struct rlimit limit;
  struct stat st;
  const bool regular = file_ < 0 || (fstat(file_, &st) == 0 && S_ISREG(st.st_mode));
  if (regular && getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur < image.size())
    return EFBIG;
  if (replace_) {
    // Signals are held from the new file's making to its rename or removal;
    // only its owner may read it while it stands in for an old one.
    const SignalsHeld held;
    const int fd = CreateNewFile(folder_, new_name_, file_ >= 0 ? 0600 : 0666);
    int error = fd < 0 ? errno : WriteAll(fd, image);
    // Flushed before the rename, lest a crash leave the name to unwritten bytes.
    if (fd >= 0 && error == 0 && fsync(fd) != 0) error = errno;
    const bool given = fd >= 0 && error == 0 && (file_ < 0 || GiveAttributes(file_, fd));
    struct stat made = {};
    if (fd >= 0 && fstat(fd, &made) != 0 && error == 0) error = errno;
    // No file system here fails a flush or a close that follows a good write.
    if (fd >= 0 && close(fd) != 0 && error == 0) error = errno;
    if (fd < 0 && file_ >= 0) error = 0;  // no room beside it: written in place
    const bool ours = fd >= 0 && StandsFor(folder_, new_name_, IdOf(made));
    const bool still = StandsFor(folder_, name_, id_, given ? &made : nullptr);
    if (error == 0 && (!still || (fd >= 0 && !ours))) error = EAGAIN;  // a name taken meanwhile
    if (error == 0 && held.Ending()) error = EINTR;  // removed, and the signal ends the run
    const bool placed = error == 0 && given && renameat(folder_, new_name_, folder_, name_) == 0;
    if (error == 0 && !placed && file_ < 0) error = errno;
    if (ours && !placed && unlinkat(folder_, new_name_, 0) != 0 && error == 0) error = errno;
    if (placed || error != 0) return error;
  }  // the new file cannot carry what the old one has, or take its place
  if (file_ < 0) file_ = openat(folder_, name_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (file_ < 0) return errno;
  int error = WriteInPlace(file_, image);
  if (close(file_) != 0 && error == 0) error = errno;
  file_ = -1;
  return error;
}

void ImageFile::Close() {
  for (const int fd : {file_, folder_})
    if (fd >= 0) close(fd);
  file_ = folder_ = -1;
  replace_ = false;
  id_ = {};
}

}  // namespace io
