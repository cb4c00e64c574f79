// Files on any other POSIX system (macOS, the BSDs), with POSIX calls only: the folder of a file
// reached through a link from realpath(), signals held with sigprocmask(). It keeps no extended
// attributes or ACLs, reserves no room ahead (the holes and the part past the old end are written
// first instead), and cannot tell a file mounted on its name from the same file system.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "io/files.h"
#include "io/platform.h"
#include "io/unix.h"

namespace io::platform {

// A folder is opened to find, make and rename files in it: POSIX opens none without reading it,
// so a folder the user may search but not list keeps its file written in place.
const int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

namespace {

// Signal numbers are below this on every system this builds on.
constexpr int kSignalsMax = 128;

// Signals whose default action does not end the process: they stop, continue or are ignored.
// SIGKILL and SIGSTOP cannot be held.
constexpr int kNotEnding[] = {SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU,
                              SIGCHLD, SIGCONT, SIGURG,  SIGWINCH};

sigset_t g_ending;  // those held
sigset_t g_before;  // the mask before Hold

}  // namespace

int FindFolder(Handle, const char* path, const FileId& id, Place& place, Where& where) {
  int error = FindUnder(path, id, place, where);
  if (error == 0 && where == Where::kNotThere) {
    // The name is a link: the file's own path, with every link followed.
    Place name;
    error = PlaceOfName(path, name);
    if (error == 0) error = FindTarget(name, id, place, where);
    if (error == ENOENT || error == ENOTDIR) error = 0;  // no name leads to it any more
  }
  if (error != 0 || where != Where::kFound) return error;
  // A file on another device than its folder is mounted on its name.
  struct stat folder;
  if (fstat(place.folder, &folder) != 0) return errno;
  if (static_cast<uint64_t>(folder.st_dev) != id.volume) where = Where::kMountedOn;
  return 0;
}

int GiveAttributes(Handle, Handle) { return 0; }

int Reserve(Handle, int64_t, bool& reserved) {
  reserved = false;
  return 0;
}

int Hold() {
  sigfillset(&g_ending);
  for (const int sig : kNotEnding) sigdelset(&g_ending, sig);
  if (sigprocmask(SIG_BLOCK, &g_ending, &g_before) != 0) return errno;
  return 0;
}

int Release() {
  if (sigprocmask(SIG_SETMASK, &g_before, nullptr) != 0) return errno;
  return 0;
}

int Came(bool& came) {
  sigset_t pending;
  came = false;
  if (sigpending(&pending) != 0) return errno;
  struct sigaction action;
  for (int sig = 1; sig < kSignalsMax; ++sig) {
    if (sigismember(&pending, sig) != 1 || sigismember(&g_ending, sig) != 1) continue;
    if (sigismember(&g_before, sig) == 1) continue;
    if (sigaction(sig, nullptr, &action) != 0 || action.sa_handler == SIG_DFL) came = true;
  }
  return 0;
}

}  // namespace io::platform
