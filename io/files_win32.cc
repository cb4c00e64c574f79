// Files on Windows: the C runtime's descriptors for reading and writing, the
// Windows API for what a file is and for putting a new one in place.
#define _CRT_RAND_S  // declares rand_s, the system's random numbers
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "io/files.h"

namespace io {
namespace {

// The new file's name while it exists. A run ended part-way (Ctrl+C, a
// console closed) leaves it behind.
char g_new_path[kPathMax];
bool g_new_exists = false;

// What `path` names, looked at without opening it for reading or writing.
bool Describe(const char* path, BY_HANDLE_FILE_INFORMATION& info, DWORD& type) {
  const HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(h, &info) != 0;
  type = GetFileType(h);
  CloseHandle(h);
  return known;
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {true, info.dwVolumeSerialNumber,
          uint64_t{info.nFileIndexHigh} << 32 | uint64_t{info.nFileIndexLow}};
}

// Creates ".NAME.XXXXXX" exclusively beside `path`, shared with no other
// process while open, and leaves its name in g_new_path. The descriptor, or -1.
int CreateBeside(const char* path) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr int kSuffix = 6;
  int dir = 0;  // the folder part, separator included
  for (int i = 0; path[i] != '\0'; ++i)
    if (path[i] == '/' || path[i] == '\\' || path[i] == ':') dir = i + 1;
  const int length = std::snprintf(g_new_path, kPathMax, "%.*s.%s.XXXXXX", dir, path, path + dir);
  if (length < 0 || length >= static_cast<int>(kPathMax)) return -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (int i = 0; i < kSuffix; ++i) {
      unsigned int random = 0;
      if (rand_s(&random) != 0) return -1;
      g_new_path[length - kSuffix + i] = kAlphabet[random % (sizeof kAlphabet - 1)];
    }
    int fd = -1;
    const errno_t error = _sopen_s(&fd, g_new_path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                                   _SH_DENYRW, _S_IREAD | _S_IWRITE);
    if (error != EEXIST) return error == 0 ? fd : -1;
  }
  return -1;
}

unsigned Chunk(std::size_t n) { return static_cast<unsigned>(std::min<std::size_t>(n, INT_MAX)); }

int WriteAll(int fd, std::span<const uint8_t> bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const int n = _write(fd, bytes.data() + done, Chunk(bytes.size() - done));
    if (n <= 0) return n == 0 ? EIO : errno;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// Writes the image over what `path` names, not truncated first, and cuts a
// file on disk to the image's length.
int WriteInPlace(const char* path, std::span<const uint8_t> image) {
  int fd = -1;
  if (const errno_t error =
          _sopen_s(&fd, path, _O_WRONLY | _O_CREAT | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE))
    return error;
  int error = WriteAll(fd, image);
  if (error == 0 && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) == FILE_TYPE_DISK)
    error = _chsize_s(fd, static_cast<__int64>(image.size()));
  if (_close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

FileId IdOfPath(const char* path) {
  BY_HANDLE_FILE_INFORMATION info;
  DWORD type;
  return Describe(path, info, type) ? IdOf(info) : FileId{};
}

int InputFile::Open(const char* name) {
  Close();
  fd_ = _open(name, _O_RDONLY | _O_BINARY);
  if (fd_ < 0) return errno;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), &info))
    id_ = IdOf(info);
  return 0;
}

ReadResult InputFile::Read(std::span<uint8_t> out) {
  ReadResult result;
  while (result.bytes < out.size()) {
    const int n = _read(fd_, out.data() + result.bytes, Chunk(out.size() - result.bytes));
    if (n < 0) result.error = errno;
    if (n <= 0) break;  // 0: the end of the file
    result.bytes += static_cast<std::size_t>(n);
  }
  return result;
}

void InputFile::Close() {
  if (fd_ >= 0) _close(fd_);
  fd_ = -1;
  id_ = {};
}

// Symbolic links are left to the system: the name itself is replaced.
int ImageFile::Open(const char* path) {
  Discard();
  if (std::strlen(path) >= kPathMax) return ENAMETOOLONG;
  std::strcpy(target_, path);
  BY_HANDLE_FILE_INFORMATION info;
  DWORD type = FILE_TYPE_UNKNOWN;
  old_ = Describe(path, info, type) ? IdOf(info) : FileId{};
  // Replaced: nothing there yet, or a writable file on disk with one name.
  const DWORD kept_out = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY;
  if (old_.known && (type != FILE_TYPE_DISK || (info.dwFileAttributes & kept_out) != 0 ||
                     info.nNumberOfLinks != 1))
    return 0;
  fd_ = CreateBeside(path);
  g_new_exists = replacing_ = fd_ >= 0;
  return 0;
}

// ReplaceFile gives the new file the replaced one's attributes and ACL.
int ImageFile::Put(std::span<const uint8_t> image) {
  if (replacing_) {
    int error = WriteAll(fd_, image);
    if (error == 0 && _commit(fd_) != 0) error = errno;  // flushed to the disk first
    if (_close(fd_) != 0 && error == 0) error = errno;
    fd_ = -1;
    bool placed =
        error == 0 && (old_.known ? ReplaceFileA(target_, g_new_path, nullptr,
                                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                                  : MoveFileExA(g_new_path, target_, 0));
    // ReplaceFile may fail having moved the old file away but not the new one
    // in: then the new file, whole, takes the free name.
    if (!placed && error == 0 && GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
      placed = MoveFileExA(g_new_path, target_, MOVEFILE_REPLACE_EXISTING);
    if (placed) g_new_exists = false;  // it has taken the image's place
    const bool replaced = !g_new_exists;
    Discard();
    if (error != 0 || replaced) return error;
    // It cannot take the old file's place.
  }
  return WriteInPlace(target_, image);
}

void ImageFile::Discard() {
  if (fd_ >= 0) _close(fd_);
  fd_ = -1;
  if (g_new_exists) _unlink(g_new_path);
  g_new_exists = replacing_ = false;
}

}  // namespace io
