// Files on Linux: the image opened once, as `>` opens a file; each step then as the kernel answers.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "io/files.h"

namespace io {
namespace {
// The kernel's signal set, bit n - 1 for signal n; glibc's leaves out 32 and 33.
using Signals = uint64_t;
static_assert(sizeof(long) == 8 || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
constexpr Signals Bit(int sig) { return Signals{1} << (sig - 1); }
constexpr Signals kEnding =  // those whose default action ends the process
    ~(Bit(SIGKILL) | Bit(SIGSTOP) | Bit(SIGTSTP) | Bit(SIGTTIN) | Bit(SIGTTOU) | Bit(SIGCHLD) |
      Bit(SIGCONT) | Bit(SIGURG) | Bit(SIGWINCH));
// SIG_BLOCK holds the ending signals, keeping the mask before in `set`; SIG_SETMASK puts it back.
int Mask(int how, Signals& set) {
  Signals* before = how == SIG_BLOCK ? &(set = kEnding) : nullptr;  // read before it is written
  return syscall(SYS_rt_sigprocmask, how, &set, before, sizeof set) == 0 ? 0 : errno;
}
// EINTR if one came that ends the run once let through: not held before, at its default action.
int Pending(Signals before) {
  Signals pending = 0;
  if (syscall(SYS_rt_sigpending, &pending, sizeof pending) != 0) return errno;
  struct sigaction action;
  for (int sig = 1; sig <= 64; ++sig)
    if ((pending & kEnding & ~before & Bit(sig)) &&
        (sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_DFL))
      return EINTR;
  return 0;
}
FileId IdOf(const struct stat& st) { return {true, st.st_dev, st.st_ino}; }

// Writes all of `bytes` at offset `at`, or where the file stands if `at` < 0.
int WriteAll(int fd, std::span<const uint8_t> bytes, off_t at) {
  for (ssize_t n = 0; !bytes.empty(); bytes = bytes.subspan(static_cast<std::size_t>(n))) {
    n = at < 0 ? write(fd, bytes.data(), bytes.size()) : pwrite(fd, bytes.data(), bytes.size(), at);
    if (n <= 0) return n < 0 ? errno : EIO;
    at += at < 0 ? 0 : n;
  }
  return 0;
}
// Writes over a file or block device, not truncated first, and flushes it; a file has its room
// reserved first (allocated, or else its part past the old end written first, cut back on failure).
int WriteInPlace(int fd, std::span<const uint8_t> image) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  const bool file = S_ISREG(st.st_mode);
  const auto size = static_cast<off_t>(image.size()), old = !file ? 0 : std::min(st.st_size, size);
  if (file && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP) return errno;
  int error = WriteAll(fd, image.subspan(static_cast<std::size_t>(old)), old);
  if (error == 0) error = WriteAll(fd, image.first(static_cast<std::size_t>(old)), 0);
  [[maybe_unused]] const int cut = error != 0 ? ftruncate(fd, st.st_size) : 0;
  if (error == 0 && file && st.st_size > size && ftruncate(fd, size) != 0) error = errno;
  return error != 0 ? error : fsync(fd) != 0 ? errno : 0;
}
// Opens the folder of `fd`, its last name left in `name`: the name's own when it is no link, else
// the kernel's path of the open file, once either names that file in a folder that is not
// append-only (where a new file could be made, but neither renamed nor removed). Else -1.
int FolderOf(int fd, const char* path, const FileId& id, char (&name)[kPathMax]) {
  char own[32], where[kPathMax];
  std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
  for (const bool given : {true, false}) {
    const ssize_t n =
        given ? std::snprintf(where, kPathMax, "%s", path) : readlink(own, where, kPathMax - 1);
    if (n < 0 || n >= static_cast<ssize_t>(kPathMax - 1)) continue;
    where[n] = '\0';
    char* last = std::strrchr(where, '/') ? std::strrchr(where, '/') + 1 : where;
    std::snprintf(name, kPathMax, "%s", last);
    std::strcpy(last, ".");  // the folder itself
    const int folder = open(where, O_PATH | O_DIRECTORY);
    struct stat st;
    struct statx dir;
    if (folder >= 0 && fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(IdOf(st), id) && statx(folder, "", AT_EMPTY_PATH, 0, &dir) == 0 &&
        (dir.stx_attributes & STATX_ATTR_APPEND) == 0)
      return folder;
    close(folder);
  }
  return -1;
}
// A step that gives the new file what the old one has, failed: refused means in place.
constexpr int kInPlace = -1;
int Failed() { return errno == EPERM || errno == EACCES ? kInPlace : errno; }
// Gives `to` the extended attributes of `from` (its ACL too); takes away those inherited.
constexpr std::size_t kAttributesMax = 65536;  // of names, and of one value
char g_names[kAttributesMax], g_value[kAttributesMax];
int CopyAttributes(int from, int to) {
  ssize_t size = flistxattr(from, g_names, kAttributesMax);
  if (size < 0) return errno == ENOTSUP ? 0 : errno;  // none, beside it either
  for (const char* name = g_names; name < g_names + size; name += std::strlen(name) + 1) {
    const ssize_t n = fgetxattr(from, name, g_value, kAttributesMax);
    if (n < 0 || fsetxattr(to, name, g_value, static_cast<std::size_t>(n), 0) != 0) return Failed();
  }
  if ((size = flistxattr(to, g_names, kAttributesMax)) < 0) return errno;
  for (const char* name = g_names; name < g_names + size; name += std::strlen(name) + 1)
    if (fgetxattr(from, name, nullptr, 0) < 0 && (errno != ENODATA || fremovexattr(to, name) != 0))
      return Failed();
  return 0;
}
// Gives the new file `fd` what `old` had (`was`): owner, group, extended attributes, the image, a
// flush, then the bits (a write clears set-id); none that it has already. 0, errno or kInPlace.
int Fill(int fd, int old, const struct stat& was, std::span<const uint8_t> image) {
  struct stat now;
  if (fstat(fd, &now) != 0) return errno;
  if ((now.st_uid != was.st_uid || now.st_gid != was.st_gid) &&
      fchown(fd, was.st_uid, was.st_gid) != 0)
    return Failed();
  if (const int error = CopyAttributes(old, fd); error != 0) return error;
  if (const int error = WriteAll(fd, image, 0); error != 0) return error;
  if (fsync(fd) != 0 || fstat(fd, &now) != 0) return errno;
  const mode_t bits = was.st_mode & 07777;
  return (now.st_mode & 07777) == bits || fchmod(fd, bits) == 0 ? 0 : errno;
}
// Replaces `old` by a new file beside it, unless a signal came since `before`.
int Replace(int& old, int folder, const char* name, char* new_name, std::span<const uint8_t> image,
            Signals before) {
  uint32_t random;  // a stray file's name is met once in 2 to the 32nd
  struct stat was;
  if (fstat(old, &was) != 0 || getrandom(&random, sizeof random, 0) < 0) return errno;
  std::snprintf(new_name, kPathMax, ".%.*s.%08X", NAME_MAX - 10, name, random);
  const int fd = openat(folder, new_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  int error = fd < 0 ? Failed() : Fill(fd, old, was, image);
  if (fd >= 0 && close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && (error = Pending(before)) == 0)  // let go first: the rename frees it at once
    close(old), old = -1, error = renameat(folder, new_name, folder, name) != 0 ? errno : 0;
  if (fd >= 0 && error != 0 && unlinkat(folder, new_name, 0) != 0 && error == kInPlace)
    error = errno;
  return error;
}

}  // namespace
const char* ErrorText(int error) { return std::strerror(error); }
InputFile::~InputFile() { close(file_); }
int InputFile::Open(const char* name) {
  struct stat st;
  if ((file_ = open(name, O_RDONLY | O_CLOEXEC)) < 0 || fstat(file_, &st) != 0) return errno;
  id_ = IdOf(st);
  return S_ISDIR(st.st_mode) ? EISDIR : 0;
}
std::size_t InputFile::Read(std::span<uint8_t> out, int& error) {
  std::size_t got = 0;
  for (ssize_t n = 1; n > 0 && got < out.size(); got += static_cast<std::size_t>(n))  // 0: the end
    if ((n = read(file_, out.data() + got, out.size() - got)) < 0) return error = errno, got;
  return got;
}
// A file this run makes is its own, signals held from its making until Put ends. What stands there
// is opened through links as `>` opens it, the kernel checking the permission and applying its
// guards for sticky folders; a regular file with one link is replaced where its folder is found.
int ImageFile::Open(const char* path) {
  std::snprintf(name_, kPathMax, "%s", path);
  if (Mask(SIG_BLOCK, held_) != 0) return errno;
  if ((file_ = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666)) >= 0)
    plan_ = Plan::kCreated;
  else if (const int error = errno; Mask(SIG_SETMASK, held_) != 0 || error != EEXIST)
    return error != EEXIST ? error : errno;
  else if ((file_ = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666)) < 0)
    return errno;
  struct stat st;
  if (fstat(file_, &st) != 0) return errno;
  id_ = IdOf(st);
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) plan_ = Plan::kStream;
  if (plan_ == Plan::kInPlace && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
      (folder_ = FolderOf(file_, path, id_, name_)) >= 0)
    plan_ = Plan::kReplace;
  return 0;
}
// Signals are held while a file is written, not a device or FIFO (its reader may never come); one
// that came is let through after the rename, or once the new file is removed.
int ImageFile::Put(std::span<const uint8_t> image) {
  if (plan_ == Plan::kStream) return WriteAll(file_, image, -1);
  if (plan_ != Plan::kCreated && Mask(SIG_BLOCK, held_) != 0) return errno;
  int error =
      plan_ == Plan::kReplace ? Replace(file_, folder_, name_, new_name_, image, held_) : kInPlace;
  if (error == kInPlace) error = WriteInPlace(file_, image);
  if (error != 0 && plan_ == Plan::kCreated) unlink(name_);
  plan_ = Plan::kInPlace;
  const int released = Mask(SIG_SETMASK, held_);
  return error != 0 ? error : released;
}
void ImageFile::Close() {  // a file this run made and did not put is removed
  if (plan_ == Plan::kCreated) unlink(name_), Mask(SIG_SETMASK, held_);
  close(file_), close(folder_);
}

}  // namespace io
