// Files on Windows: handles in an int (only their low 32 bits count), the
// image's looked at once, ReplaceFile, and console events held off.
#define _CRT_RAND_S  // declares rand_s, the system's random numbers
#include <stdlib.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/files.h"

namespace io {
namespace {

int Errno() {  // for the last failed call
  const DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND      ? ENOENT
         : e == ERROR_ACCESS_DENIED                                  ? EACCES
         : e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL       ? ENOSPC
         : e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION ? EBUSY   // open elsewhere
         : e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS       ? EAGAIN  // came meanwhile
                                                                     : EIO;
}

// A file on a disk has links; a device, pipe or console has no information.
FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.nNumberOfLinks != 0, info.dwVolumeSerialNumber,
          uint64_t{info.nFileIndexHigh} << 32 | uint64_t{info.nFileIndexLow}};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens what `name` stands for, shared, and reads what it is; -1 and errno.
int OpenShared(const char* name, DWORD access, DWORD flags, BY_HANDLE_FILE_INFORMATION& info) {
  info = {};
  const HANDLE h = CreateFileA(name, access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) errno = Errno();
  return HandleToLong(h);
}

// The image's full name and the new file's, in UTF-16 so that any name works.
wchar_t g_name[kPathMax], g_new_name[kPathMax];

// Whether `name` itself (not followed) stands for the file `id`, or nothing.
bool StandsFor(const wchar_t* name, const FileId& id) {
  BY_HANDLE_FILE_INFORMATION info = {};
  const HANDLE h = CreateFileW(name, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Errno() == ENOENT && !id.known;
  const bool same = GetFileInformationByHandle(h, &info) && SameFile(IdOf(info), id);
  CloseHandle(h);
  return same;
}

// The length of the folder part of a full name, its last separator included.
int FolderLength(const wchar_t* name) {
  return static_cast<int>(std::wcsrchr(name, L'\\') - name + 1);
}

// Writes all of `bytes`: a disk that fills up takes a part, then fails.
int WriteAll(HANDLE h, std::span<const uint8_t> bytes) {
  for (DWORD n = 0; !bytes.empty(); bytes = bytes.subspan(n)) {
    if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr)) return Errno();
    if (n == 0) return EIO;
  }
  return 0;
}

// Console events are held off while the new file exists or a file is written
// in place: the handler, on a thread of its own, marks that one came and takes
// the lock for good; the held stretch, done, ends the run as the event would.
SRWLOCK g_held = SRWLOCK_INIT;
std::atomic<bool> g_event_came{false};

BOOL WINAPI OnConsoleEvent(DWORD) {
  g_event_came = true;
  AcquireSRWLockExclusive(&g_held);
  return FALSE;  // on to the system's handler, which ends the process
}

struct EventsHeld {
  EventsHeld() {
    [[maybe_unused]] static const BOOL added = SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    AcquireSRWLockExclusive(&g_held);
  }
  ~EventsHeld() {
    if (g_event_came) ExitProcess(STATUS_CONTROL_C_EXIT);
    ReleaseSRWLockExclusive(&g_held);
  }
};

}  // namespace

int InputFile::Open(const char* name) {
  Close();
  BY_HANDLE_FILE_INFORMATION info;
  fd_ = OpenShared(name, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS, info);  // a folder too
  if (fd_ < 0) return errno;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Close(), EISDIR;
  id_ = IdOf(info);
  return 0;
}

ReadResult InputFile::Read(std::span<uint8_t> out) {
  std::size_t got = 0;
  for (DWORD n = 1; n != 0 && got < out.size(); got += n)  // 0: the end
    if (!ReadFile(LongToHandle(fd_), &out[got], static_cast<DWORD>(out.size() - got), &n, nullptr))
      return {got, Errno()};
  return {got, 0};
}

void InputFile::Close() {
  if (fd_ >= 0) CloseHandle(LongToHandle(fd_));
  fd_ = -1;
  id_ = {};
}

// The one look: what the name stands for, through symbolic links, opened for
// writing; a file on a disk is then known by the full name its handle has.
int ImageFile::Open(const char* path) {
  Close();
  BY_HANDLE_FILE_INFORMATION info;
  file_ = OpenShared(path, GENERIC_WRITE, 0, info);
  if (file_ < 0 && errno != ENOENT) return errno;
  if (file_ < 0 && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return ENOENT;  // a link
  id_ = IdOf(info);
  // Windows lets no one write a read-only file; Wine run by root would.
  if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return EACCES;
  wchar_t given[kPathMax];
  DWORD n = MultiByteToWideChar(CP_ACP, 0, path, -1, given, kPathMax);
  n = n == 0      ? 0
      : id_.known ? GetFinalPathNameByHandleW(LongToHandle(file_), g_name, kPathMax, 0)
                  : GetFullPathNameW(given, kPathMax, g_name, nullptr);
  if (n == 0 || n >= kPathMax) return n == 0 ? Errno() : ENAMETOOLONG;
  replace_ = file_ < 0 || info.nNumberOfLinks == 1;
  unsigned int random = 0;
  rand_s(&random);  // a stray file's name is met once in 2 to the 32nd
  const int folder = FolderLength(g_name);
  std::swprintf(g_new_name, kPathMax, L"%.*ls.%ls.%08X", folder, g_name, g_name + folder, random);
  return 0;
}

int ImageFile::Put(std::span<const uint8_t> image) {
  const HANDLE old = LongToHandle(file_);
  // A device or pipe is written with events deliverable: its reader may never come.
  if (!replace_ && !id_.known) return WriteAll(old, image);
  const EventsHeld held;
  const HANDLE fresh =
      replace_ ? CreateFileW(g_new_name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)
               : INVALID_HANDLE_VALUE;
  if (fresh == INVALID_HANDLE_VALUE && file_ < 0) return Errno();
  if (fresh != INVALID_HANDLE_VALUE) {
    // Flushed before it takes the name, lest a crash leave the name to unwritten
    // bytes; the old file let go first.
    int error = WriteAll(fresh, image);
    if (error == 0 && !FlushFileBuffers(fresh)) error = Errno();
    CloseHandle(fresh);
    if (file_ >= 0) CloseHandle(old);
    file_ = -1;
    if (error == 0 && !StandsFor(g_name, id_)) error = EAGAIN;
    if (error == 0 && g_event_came) error = EINTR;  // removed, and the event ends the run
    // ReplaceFile gives the new file the old one's attributes and ACL, or fails,
    // maybe having moved the old file away: then the new one takes the name, or
    // is kept as the only image left.
    bool placed = error == 0 && (id_.known ? ReplaceFileW(g_name, g_new_name, nullptr, 0, 0, 0)
                                           : MoveFileExW(g_new_name, g_name, 0));
    const bool gone = !placed && error == 0 && GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
    if (gone) placed = MoveFileExW(g_new_name, g_name, 0);
    if (!placed && error == 0) error = Errno();
    if (!placed && !gone) DeleteFileW(g_new_name);
    return error;
  }
  // In place, not truncated first, once the room is known; then cut, flushed.
  LARGE_INTEGER have;
  ULARGE_INTEGER free;
  g_new_name[FolderLength(g_name)] = L'\0';  // the folder, where the free space is asked
  if (!GetFileSizeEx(old, &have) || !GetDiskFreeSpaceExW(g_new_name, &free, nullptr, nullptr))
    return Errno();
  if (have.QuadPart + free.QuadPart < image.size()) return ENOSPC;
  const int error = WriteAll(old, image);
  return error != 0 ? error : !SetEndOfFile(old) || !FlushFileBuffers(old) ? Errno() : 0;
}

void ImageFile::Close() {
  if (file_ >= 0) CloseHandle(LongToHandle(file_));
  file_ = -1;
  replace_ = false;
  id_ = {};
}

}  // namespace io
