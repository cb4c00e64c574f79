// Files on every POSIX system, Linux among them: the calls that are the same everywhere. Those
// that differ (finding a file's folder, extended attributes, reserving room, holding signals)
// are in files_linux.cc and files_posix.cc.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "io/files.h"
#include "io/platform.h"
#include "io/unix.h"

namespace io {
namespace {

// The image is opened for writing only, never as the run's terminal, and not passed to another
// program; a file it makes gets 0666 less the umask, as `>` gives.
constexpr int kWriteFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
constexpr mode_t kMadeMode = 0666;
constexpr mode_t kNewFileMode = 0600;  // a new file beside the old one, until it takes its bits
constexpr mode_t kModeBits = 07777;
constexpr int kNameTries = 100;  // names tried for a new file, each already taken

// The identity of the file whose status is `st`.
FileId IdOf(const struct stat& st) {
  return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// A number for a new file's name, different from one call to the next and from one run to
// another's: the clock in nanoseconds and the process.
uint32_t Stamp() {
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  const auto ticks =
      static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
  return static_cast<uint32_t>(ticks ^ (ticks >> 32)) ^
         (static_cast<uint32_t>(getpid()) * 2654435761u);
}

}  // namespace

const char* ErrorText(int error) { return std::strerror(error); }

InputFile::~InputFile() { platform::LetGo(file_); }

int InputFile::Open(const char* name) {
  file_ = open(name, O_RDONLY | O_CLOEXEC);
  if (file_ < 0) return errno;
  struct stat st;
  if (fstat(file_, &st) != 0) return errno;
  id_ = IdOf(st);
  if (S_ISDIR(st.st_mode)) return EISDIR;
  return 0;
}

std::size_t InputFile::Read(std::span<uint8_t> out, int& error) {
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = read(file_, out.data() + got, out.size() - got);
    if (n < 0) {
      error = errno;
      return got;
    }
    if (n == 0) return got;  // the end of the file
    got += static_cast<std::size_t>(n);
  }
  return got;
}

namespace platform {

int OpenExclusive(const char* path, Handle& file, Found& found) {
  file = open(path, kWriteFlags | O_CREAT | O_EXCL, kMadeMode);
  if (file < 0) return errno;
  const int error = Identify(file, found);
  if (error == 0) return 0;
  unlink(path);  // made a moment ago, with interruptions held
  LetGo(file);
  return error;
}

int OpenAsShell(const char* path, Handle& file) {
  file = open(path, kWriteFlags | O_CREAT, kMadeMode);
  if (file < 0) return errno;
  return 0;
}

int OpenToMake(const char* path, Handle& file) {
  file = open(path, kWriteFlags | O_CREAT | O_NONBLOCK, kMadeMode);
  if (file < 0) return errno;
  const int flags = fcntl(file, F_GETFL);  // then writes that wait, as any other's
  if (flags < 0 || fcntl(file, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
  return 0;
}

int LeadsToFile(const char* path, bool& leads) {
  struct stat st;
  leads = stat(path, &st) == 0;
  if (leads || errno == ENOENT) return 0;
  return errno;
}

int Identify(Handle file, Found& found) {
  struct stat st;
  if (fstat(file, &st) != 0) return errno;
  found.id = IdOf(st);
  found.links = static_cast<uint64_t>(st.st_nlink);
  found.owner = static_cast<uint32_t>(st.st_uid);
  found.group = static_cast<uint32_t>(st.st_gid);
  found.mode = static_cast<uint32_t>(st.st_mode & kModeBits);
  found.size = 0;
  found.kind = Kind::kStream;
  if (S_ISREG(st.st_mode)) {
    found.kind = Kind::kFile;
    found.size = static_cast<int64_t>(st.st_size);
  }
  if (!S_ISBLK(st.st_mode)) return 0;
  found.kind = Kind::kBlockDevice;
  const off_t end = lseek(file, 0, SEEK_END);  // a disk's capacity, which its status lacks
  if (end < 0) return errno;
  found.size = static_cast<int64_t>(end);
  return 0;
}

int PlaceOfName(const char* path, Place& place) {
  const int n = std::snprintf(place.path, kPathMax, "%s", path);
  if (n < 0 || static_cast<std::size_t>(n) >= kPathMax) return ENAMETOOLONG;
  place.folder = AT_FDCWD;
  place.name_at = 0;
  return 0;
}

void PathOf(const Place& place, char (&text)[kPathMax]) {
  std::snprintf(text, kPathMax, "%s", place.path);
}

int FindUnder(const char* path, const FileId& id, Place& place, Where& where) {
  const int n = std::snprintf(place.path, kPathMax, "%s", path);
  if (n < 0 || static_cast<std::size_t>(n) >= kPathMax) return ENAMETOOLONG;
  const char* slash = std::strrchr(place.path, '/');
  place.name_at = 0;
  if (slash != nullptr) place.name_at = static_cast<std::size_t>(slash - place.path) + 1;
  char folder[kPathMax] = ".";
  if (place.name_at > 0) {
    const std::size_t kept = std::max<std::size_t>(place.name_at - 1, 1);  // "/" for the root
    std::snprintf(folder, kPathMax, "%.*s", static_cast<int>(kept), place.path);
  }
  where = Where::kNotThere;
  const int fd = open(folder, kFolderFlags);
  const bool opened = fd >= 0;
  if (!opened && errno == EACCES) where = Where::kNoAccess;
  struct stat st;
  const bool looked =
      opened && fstatat(fd, place.path + place.name_at, &st, AT_SYMLINK_NOFOLLOW) == 0;
  const int error = errno;
  if (looked && SameFile(IdOf(st), id)) {
    place.folder = fd;
    where = Where::kFound;
    return 0;
  }
  if (opened) close(fd);
  place.path[0] = '\0';  // not there: no place
  if (looked || error == ENOENT || error == ENOTDIR || error == EACCES) return 0;
  return error;
}

int FindTarget(const Place& name, const FileId& id, Place& place, Where& where) {
  char real[PATH_MAX];
  if (realpath(name.path, real) == nullptr) return errno;
  return FindUnder(real, id, place, where);
}

int MakeFileBeside(const Place& beside, Place& made, Handle& file, FileId& id) {
  const char* name = beside.path + beside.name_at;
  made.folder = beside.folder;  // not its own: `beside` holds it open
  made.name_at = beside.name_at;
  for (int tries = 1;; ++tries) {
    // ".NAME.XXXXXXXX" in the same folder, within NAME_MAX: a long name is cut short.
    const int n =
        std::snprintf(made.path, kPathMax, "%.*s.%.*s.%08X", static_cast<int>(beside.name_at),
                      beside.path, NAME_MAX - 10, name, Stamp());
    if (n < 0 || static_cast<std::size_t>(n) >= kPathMax) return ENAMETOOLONG;
    file =
        openat(made.folder, made.path + made.name_at, kWriteFlags | O_CREAT | O_EXCL, kNewFileMode);
    if (file >= 0) break;
    if (errno != EEXIST || tries == kNameTries) return errno;
  }
  struct stat st;
  if (fstat(file, &st) == 0) {
    id = IdOf(st);
    return 0;
  }
  const int error = errno;  // made, but not known: removed at once, while the name is fresh
  unlinkat(made.folder, made.path + made.name_at, 0);
  LetGo(file);
  return error;
}

int GiveOwner(Handle file, const Found& old) {
  struct stat st;
  if (fstat(file, &st) != 0) return errno;
  if (st.st_uid == old.owner && st.st_gid == old.group) return 0;
  if (fchown(file, old.owner, old.group) != 0) return errno;
  return 0;
}

int GiveMode(Handle file, const Found& old) {
  struct stat st;
  if (fstat(file, &st) != 0) return errno;
  if ((st.st_mode & kModeBits) == old.mode) return 0;
  if (fchmod(file, static_cast<mode_t>(old.mode)) != 0) return errno;
  return 0;
}

int RenameOver(const Place& from, const Place& to) {
  if (renameat(from.folder, from.path + from.name_at, to.folder, to.path + to.name_at) != 0)
    return errno;
  return 0;
}

int RemoveIfStill(const Place& place, const FileId& id) {
  const char* name = place.path + place.name_at;
  if (*name == '\0') return 0;  // no place known
  struct stat st;
  if (fstatat(place.folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return 0;
    return errno;
  }
  if (!SameFile(IdOf(st), id)) return 0;  // another file stands there now, not the run's
  if (unlinkat(place.folder, name, 0) != 0) return errno;
  return 0;
}

int Lock(Handle file) {
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;  // from the start, to the end however long
  if (fcntl(file, F_SETLKW, &whole) == 0) return 0;
  if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) return 0;  // no locks kept there
  return errno;
}

int WriteAt(Handle file, std::span<const uint8_t> bytes, int64_t at) {
  while (!bytes.empty()) {
    const ssize_t n = pwrite(file, bytes.data(), bytes.size(), static_cast<off_t>(at));
    if (n < 0) return errno;
    if (n == 0) return EIO;  // nothing written, and no reason given
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    at += n;
  }
  return 0;
}

int WriteOn(Handle file, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(file, bytes.data(), bytes.size());
    if (n < 0) return errno;
    if (n == 0) return EIO;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

int Flush(Handle file) {
  if (fsync(file) != 0) return errno;
  return 0;
}

int SetLength(Handle file, int64_t length) {
  if (ftruncate(file, static_cast<off_t>(length)) != 0) return errno;
  return 0;
}

int NextHole(Handle file, int64_t from, int64_t end, int64_t& hole, int64_t& data) {
  hole = end;
  data = end;
#ifndef SEEK_HOLE
  // A system that cannot say where holes are: a file with all its blocks has none; any other
  // cannot be written in place without knowing.
  struct stat st;
  if (fstat(file, &st) != 0) return errno;
  if (static_cast<int64_t>(st.st_blocks) * 512 >= static_cast<int64_t>(st.st_size)) return 0;
  return ENOTSUP;
#else
  const off_t found = lseek(file, static_cast<off_t>(from), SEEK_HOLE);
  if (found < 0) return errno;
  if (found >= end) return 0;
  hole = static_cast<int64_t>(found);
  const off_t next = lseek(file, found, SEEK_DATA);
  if (next < 0 && errno != ENXIO) return errno;  // ENXIO: the hole runs to the end
  if (next >= 0) data = std::min(static_cast<int64_t>(next), end);
  return 0;
#endif
}

int FileSizeLimit(int64_t& limit) {
  struct rlimit now;
  limit = INT64_MAX;
  if (getrlimit(RLIMIT_FSIZE, &now) != 0) return errno;
  if (now.rlim_cur != RLIM_INFINITY)
    limit = static_cast<int64_t>(std::min<rlim_t>(now.rlim_cur, INT64_MAX));
  return 0;
}

int LetGo(Handle& file) {
  if (file < 0) return 0;
  const int closed = close(file);
  file = -1;
  if (closed != 0) return errno;
  return 0;
}

int LetGoOf(Place& place) {
  const int error = LetGo(place.folder);
  place.folder = -1;
  place.path[0] = '\0';
  place.name_at = 0;
  return error;
}

}  // namespace platform
}  // namespace io
