// Files on Linux: the image opened once, as the shell's `>` opens a file, and
// every later step taken from the kernel's answer to that open or to itself.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
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
// leave out the two it keeps for itself (32 and 33), which end the process
// all the same, so the mask is set with the kernel's own call.
using Signals = uint64_t;
static_assert(sizeof(long) == 8 || std::endian::native == std::endian::little);
constexpr Signals Bit(int sig) { return Signals{1} << (sig - 1); }
constexpr Signals kEnding =  // every signal whose default action ends the process
    ~(Bit(SIGKILL) | Bit(SIGSTOP) | Bit(SIGTSTP) | Bit(SIGTTIN) | Bit(SIGTTOU) | Bit(SIGCHLD) |
      Bit(SIGCONT) | Bit(SIGURG) | Bit(SIGWINCH));

// Holds the ending signals back, keeping the mask as it was in `before`.
int Hold(Signals& before) {
  before = kEnding;  // the kernel reads the set before it writes the old mask
  return syscall(SYS_rt_sigprocmask, SIG_BLOCK, &before, &before, sizeof before) == 0 ? 0 : errno;
}
// Puts the mask back: a signal that came meanwhile is delivered here.
int Release(Signals before) {
  return syscall(SYS_rt_sigprocmask, SIG_SETMASK, &before, nullptr, sizeof before) == 0 ? 0 : errno;
}
// EINTR when one came that ends the process once let through: not held by
// the caller, and at its default action (32 and 33 always are). Else 0.
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

bool TooLarge(std::size_t size) {  // for a regular file, under the soft file-size limit
  struct rlimit limit;
  return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur < size;
}

// Writes all of `bytes` at offset `at`, or where the file stands if `at` < 0.
int WriteAll(int fd, std::span<const uint8_t> bytes, off_t at) {
  while (!bytes.empty()) {
    const ssize_t n =
        at < 0 ? write(fd, bytes.data(), bytes.size()) : pwrite(fd, bytes.data(), bytes.size(), at);
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    at += at < 0 ? 0 : n;
  }
  return 0;
}

// Opens the folder that `fd` lies in, and leaves its last name in `name`: the
// name's own folder when the name is no link, else the path the kernel gives
// the open file, each only once it names that very file. -1 where neither
// does (a deleted file), or for an append-only folder, where a new file could
// be made but neither renamed nor removed.
int FolderOf(int fd, const char* path, const FileId& id, char (&name)[kPathMax]) {
  char own[32];
  std::snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
  for (const char* given : {path, static_cast<const char*>(own)}) {
    const ssize_t n = given == path ? std::snprintf(name, kPathMax, "%s", path)
                                    : readlink(own, name, kPathMax - 1);
    if (n < 0 || static_cast<std::size_t>(n) >= kPathMax - 1) continue;
    name[n] = '\0';
    char* last = std::strrchr(name, '/');
    const char kept = last != nullptr ? last[1] : '\0';
    if (last != nullptr) last[1] = '\0';  // the folder part, "/" itself included
    const int folder = open(last != nullptr ? name : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (last != nullptr) last[1] = kept, std::memmove(name, last + 1, std::strlen(last + 1) + 1);
    struct stat st;
    struct statx dir;
    if (folder >= 0 && fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFile(IdOf(st), id) && statx(folder, "", AT_EMPTY_PATH, 0, &dir) == 0 &&
        (dir.stx_attributes & STATX_ATTR_APPEND) == 0)
      return folder;
    if (folder >= 0) close(folder);
  }
  return -1;
}

// Creates `name` in `folder` exclusively, its last six characters made random
// (a stray file's name is met once in 62 to the 6th). The descriptor, or -1.
int CreateNewFile(int folder, char* name) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[6];
  if (getrandom(random, sizeof random, 0) != sizeof random) return -1;
  char* suffix = name + std::strlen(name) - sizeof random;
  for (const unsigned char r : random) *suffix++ = kAlphabet[r % (sizeof kAlphabet - 1)];
  return openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

// What a giving step's refusal means: the new file cannot carry what the old
// one has, so the old one is written in place instead.
constexpr int kInPlace = -1;
int Given(bool done) { return done ? 0 : errno == EPERM || errno == EACCES ? kInPlace : errno; }

// Extended attributes: at most 64 KiB of names, and as much for a value.
constexpr std::size_t kAttributesMax = 65536;
char g_names[kAttributesMax], g_value[kAttributesMax], g_new_value[kAttributesMax];

// Gives `to` every extended attribute of `from` (its ACL among them) that it
// lacks, and takes away those `from` lacks, such as an ACL from the folder.
int CopyAttributes(int from, int to) {
  ssize_t size = flistxattr(from, g_names, kAttributesMax);
  if (size < 0) return errno == ENOTSUP ? 0 : errno;  // none, beside it either
  for (const char* name = g_names; name < g_names + size; name += std::strlen(name) + 1) {
    const ssize_t n = fgetxattr(from, name, g_value, kAttributesMax);
    if (n < 0) return Given(false);
    const auto bytes = static_cast<std::size_t>(n);
    if ((fgetxattr(to, name, g_new_value, kAttributesMax) != n ||
         std::memcmp(g_value, g_new_value, bytes) != 0) &&
        fsetxattr(to, name, g_value, bytes, 0) != 0)
      return Given(false);
  }
  if ((size = flistxattr(to, g_names, kAttributesMax)) < 0) return errno;
  for (const char* name = g_names; name < g_names + size; name += std::strlen(name) + 1)
    if (fgetxattr(from, name, nullptr, 0) < 0 && (errno != ENODATA || fremovexattr(to, name) != 0))
      return Given(false);
  return 0;
}

// Writes the run's own new file `fd` whole and flushes it.
int WriteNew(int fd, std::span<const uint8_t> image) {
  const int error = TooLarge(image.size()) ? EFBIG : WriteAll(fd, image, 0);
  return error != 0 ? error : fsync(fd) != 0 ? errno : 0;
}

// Replaces `old`, `name` in `folder`, by a new file beside it that takes its
// owner, group and extended attributes, is written, flushed, takes its bits
// (last, as a write clears set-id) and is renamed over it. A step that
// would change nothing is not taken. 0, errno or kInPlace, the new file gone.
int Replace(int old, int folder, const char* name, char* new_name, std::span<const uint8_t> image) {
  struct stat was, now;
  Signals before;
  if (fstat(old, &was) != 0 || Hold(before) != 0) return errno;
  const int fd = CreateNewFile(folder, new_name);
  int error = Given(fd >= 0 && fstat(fd, &now) == 0);
  if (error == 0 && (now.st_uid != was.st_uid || now.st_gid != was.st_gid))
    error = Given(fchown(fd, was.st_uid, was.st_gid) == 0);
  if (error == 0) error = CopyAttributes(old, fd);
  if (error == 0) error = WriteNew(fd, image);
  if (error == 0 && (fstat(fd, &now) != 0 || (((now.st_mode ^ was.st_mode) & 07777) != 0 &&
                                              fchmod(fd, was.st_mode & 07777) != 0)))
    error = errno;
  if (fd >= 0 && close(fd) != 0 && error == 0) error = errno;
  if (error == 0) error = Pending(before);  // EINTR: removed, and the signal ends the run
  if (error == 0 && renameat(folder, new_name, folder, name) != 0) error = errno;
  if (fd >= 0 && error != 0 && unlinkat(folder, new_name, 0) != 0 && error == kInPlace)
    error = errno;
  const int released = Release(before);
  return error != 0 ? error : released;
}

// Writes over `fd`, not truncated first. A regular file has its room reserved
// before the first byte: allocated, or where the file system cannot, by
// writing the part past its old end first and cutting it back if that fails.
// A FIFO or character device is written with the signals deliverable, as its
// reader may never come; anything else with them held, and flushed.
int WriteInPlace(int fd, std::span<const uint8_t> image) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return WriteAll(fd, image, -1);
  const auto size = static_cast<off_t>(image.size());
  const off_t old = S_ISREG(st.st_mode) ? std::min(st.st_size, size) : size;
  if (S_ISREG(st.st_mode) && TooLarge(image.size())) return EFBIG;
  if (S_ISREG(st.st_mode) && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
      errno != EOPNOTSUPP)
    return errno;
  Signals before;
  if (Hold(before) != 0) return errno;
  int error = WriteAll(fd, image.subspan(static_cast<std::size_t>(old)), old);
  if (error == 0) error = WriteAll(fd, image.first(static_cast<std::size_t>(old)), 0);
  // A write that failed at once leaves the file as it was, once cut back.
  [[maybe_unused]] const int cut = error != 0 ? ftruncate(fd, st.st_size) : 0;
  if (error == 0 && S_ISREG(st.st_mode) && st.st_size > size && ftruncate(fd, size) != 0)
    error = errno;
  if (error == 0 && fsync(fd) != 0) error = errno;
  const int released = Release(before);
  return error != 0 ? error : released;
}

}  // namespace

const char* ErrorText(int error) { return std::strerror(error); }

InputFile::~InputFile() {
  if (file_ >= 0) close(file_);
}

int InputFile::Open(const char* name) {
  struct stat st;
  file_ = open(name, O_RDONLY | O_CLOEXEC);
  if (file_ < 0 || fstat(file_, &st) != 0) return errno;
  id_ = IdOf(st);
  return S_ISDIR(st.st_mode) ? EISDIR : 0;
}

std::size_t InputFile::Read(std::span<uint8_t> out, int& error) {
  std::size_t got = 0;
  for (ssize_t n = 1; n > 0 && got < out.size(); got += static_cast<std::size_t>(n))  // 0: the end
    if ((n = read(file_, out.data() + got, out.size() - got)) < 0) return error = errno, got;
  return got;
}

int ImageFile::Open(const char* path) {
  Close();
  if (std::snprintf(name_, sizeof name_, "%s", path) >= static_cast<int>(sizeof name_))
    return ENAMETOOLONG;
  // A file this run creates is its own from the first byte: the signals are
  // held from its making until it is whole or removed.
  if (Hold(held_) != 0) return errno;
  file_ = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
  if (file_ >= 0) {
    plan_ = Plan::kCreated;
  } else {
    const int error = errno, released = Release(held_);
    if (error != EEXIST || released != 0) return error != EEXIST ? error : released;
    // What stands there, through links, as `>` opens it: the kernel checks
    // the permission and applies its guards for sticky folders.
    file_ = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (file_ < 0) return errno;
  }
  struct stat st;
  struct statx mount;
  if (fstat(file_, &st) != 0 || statx(file_, "", AT_EMPTY_PATH, 0, &mount) != 0) return errno;
  id_ = IdOf(st);
  // A regular file with one link, not mounted over its name, is replaced in
  // the folder it lies in, when that can be found; anything else written in place.
  if (plan_ != Plan::kCreated && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
      (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0 &&
      (folder_ = FolderOf(file_, path, id_, name_)) >= 0)
    plan_ = Plan::kReplace;
  const char* base = std::strrchr(path, '/');
  std::snprintf(new_name_, sizeof new_name_, ".%.*s.XXXXXX", NAME_MAX - 8, base ? base + 1 : path);
  return 0;
}

int ImageFile::Put(std::span<const uint8_t> image) {
  int error = kInPlace;
  if (plan_ == Plan::kReplace) error = Replace(file_, folder_, name_, new_name_, image);
  if (plan_ == Plan::kCreated) {
    error = WriteNew(file_, image);
    if (error == 0) error = Pending(held_);
    if (error == 0) plan_ = Plan::kInPlace, error = Release(held_);  // whole: kept
  }
  if (error == kInPlace) error = WriteInPlace(file_, image);
  Close();
  return error;
}

void ImageFile::Close() {
  // A file this run created and did not finish is removed, then the signals
  // held since are let through.
  if (plan_ == Plan::kCreated) unlink(name_), Release(held_);
  for (const int fd : {file_, folder_})
    if (fd >= 0) close(fd);
  file_ = folder_ = -1;
  plan_ = Plan::kInPlace;
  id_ = {};
}

}  // namespace io
