// Files on Linux, what its own calls do better than POSIX's: the folder of an open file from
// /proc and statx, extended attributes (ACLs among them), room reserved by fallocate, and every
// signal held, the two the C library keeps for itself among them.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "io/files.h"
#include "io/platform.h"
#include "io/unix.h"

namespace io::platform {

// A folder is opened only to find, make and rename files in it: no permission to read it needed.
const int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

namespace {

// The kernel's signal set, bit n - 1 for signal n. The C library's sigprocmask() leaves out
// signals 32 and 33, which it keeps for its threads; the system call holds them too.
using Signals = uint64_t;
static_assert(sizeof(long) == 8 || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "a 64-bit set must be the kernel's two 32-bit words in order");
constexpr int kSignalsMax = 64;
// The set of signal `sig` alone.
constexpr Signals Bit(int sig) { return Signals{1} << (sig - 1); }
// Those whose default action ends the process: all but these, which stop, continue or are
// ignored, and SIGKILL and SIGSTOP, which cannot be held.
constexpr Signals kEnding =
    ~(Bit(SIGKILL) | Bit(SIGSTOP) | Bit(SIGTSTP) | Bit(SIGTTIN) | Bit(SIGTTOU) | Bit(SIGCHLD) |
      Bit(SIGCONT) | Bit(SIGURG) | Bit(SIGWINCH));
Signals g_before = 0;  // the mask before Hold

// Extended attributes are copied through these: each list of names, and each value, fits.
constexpr std::size_t kAttributesMax = 65536;
char g_names[kAttributesMax];
char g_value[kAttributesMax];

// Gives `to` every extended attribute of `from`. Returns 0 or an error.
int CopyEach(int from, int to, ssize_t listed) {
  for (const char* name = g_names; name < g_names + listed; name += std::strlen(name) + 1) {
    const ssize_t n = fgetxattr(from, name, g_value, kAttributesMax);
    if (n < 0) return errno;
    if (fsetxattr(to, name, g_value, static_cast<std::size_t>(n), 0) != 0) return errno;
  }
  return 0;
}

// Takes away from `to` each extended attribute that `from` lacks. Returns 0 or an error.
int RemoveOthers(int from, int to) {
  const ssize_t listed = flistxattr(to, g_names, kAttributesMax);
  if (listed < 0) return errno;
  for (const char* name = g_names; name < g_names + listed; name += std::strlen(name) + 1) {
    if (fgetxattr(from, name, nullptr, 0) >= 0) continue;
    if (errno != ENODATA) return errno;
    if (fremovexattr(to, name) != 0) return errno;
  }
  return 0;
}

}  // namespace

int FindFolder(Handle file, const char* path, const FileId& id, Place& place, Where& where) {
  int error = FindUnder(path, id, place, where);
  if (error == 0 && where == Where::kNotThere) {
    // The name is a link, or no longer the file: the kernel's own path for the open file.
    char own[32];
    char text[kPathMax];
    std::snprintf(own, sizeof own, "/proc/self/fd/%d", file);
    const ssize_t n = readlink(own, text, kPathMax);
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) >= kPathMax) return ENAMETOOLONG;
    text[n] = '\0';
    error = FindUnder(text, id, place, where);
  }
  if (error != 0 || where != Where::kFound) return error;
  struct statx about;
  if (statx(file, "", AT_EMPTY_PATH, 0, &about) != 0) return errno;
  if ((about.stx_attributes_mask & about.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0)
    where = Where::kMountedOn;
  if (statx(place.folder, "", AT_EMPTY_PATH, 0, &about) != 0) return errno;
  if ((about.stx_attributes & STATX_ATTR_APPEND) != 0) where = Where::kAppendOnly;
  return 0;
}

int GiveAttributes(Handle from, Handle to) {
  const ssize_t listed = flistxattr(from, g_names, kAttributesMax);
  if (listed < 0 && errno == ENOTSUP) return 0;  // none here: the new file beside it has none
  if (listed < 0) return errno;
  if (const int error = CopyEach(from, to, listed); error != 0) return error;
  return RemoveOthers(from, to);
}

int Reserve(Handle file, int64_t length, bool& reserved) {
  reserved = fallocate(file, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) == 0;
  if (reserved || errno == EOPNOTSUPP || errno == ENOSYS) return 0;
  return errno;
}

int Hold() {
  Signals held = kEnding;
  if (syscall(SYS_rt_sigprocmask, SIG_BLOCK, &held, &g_before, sizeof held) != 0) return errno;
  return 0;
}

int Release() {
  if (syscall(SYS_rt_sigprocmask, SIG_SETMASK, &g_before, nullptr, sizeof g_before) != 0)
    return errno;
  return 0;
}

int Came(bool& came) {
  Signals pending = 0;
  came = false;
  if (syscall(SYS_rt_sigpending, &pending, sizeof pending) != 0) return errno;
  struct sigaction action;
  for (int sig = 1; sig <= kSignalsMax; ++sig) {
    if ((pending & kEnding & ~g_before & Bit(sig)) == 0) continue;
    if (sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_DFL) came = true;
  }
  return 0;
}

}  // namespace io::platform
