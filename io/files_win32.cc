// Files on Windows: the image's name opened with CreateFileW, a replace through ReplaceFileW
// (which gives the new file the attributes and ACL of the file under the name), console events
// held as signals are elsewhere, and errors in the system's own words where the C library has no
// name for them. A link to nothing is refused by the open, which makes no file through a link.
#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "io/files.h"
#include "io/platform.h"

namespace io {
namespace {

// Windows errors that an errno value names too; any other is returned as its code negated,
// which no errno value (all positive) can be, and ErrorText gives the system's words for it.
constexpr DWORD kErrors[][2] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},   {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_ACCESS_DENIED, EACCES},    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC}, {ERROR_SHARING_VIOLATION, EBUSY},
};

// The error for the Windows error `code`; EIO for a call that failed and said nothing.
int Error(DWORD code) {
  for (const auto& [windows, error] : kErrors) {
    if (windows == code) return static_cast<int>(error);
  }
  if (code == 0) return EIO;
  return -static_cast<int>(code);
}

// The error for the calling thread's last Windows error.
int LastError() { return Error(GetLastError()); }

// Others may read, write, rename and delete the files the run holds open, as on POSIX systems.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr DWORD kNameTries = 100;  // names tried for a new file, each already taken

// The identity of a file, from what the system tells of it.
FileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  const uint64_t index = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return {true, info.dwVolumeSerialNumber, index};
}

// Makes `path`, in the ANSI code page as the C library's functions take it, wide in `wide`.
// Returns 0, or the error of a path that does not convert or fit.
int Widen(const char* path, wchar_t (&wide)[kPathMax]) {
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kPathMax) == 0) return LastError();
  return 0;
}

// Console events (Ctrl+C, Ctrl+Break, a console closed) are held while a file is unfinished:
// the handler, on a thread of its own, marks that one came and, while they are held, waits for
// good; Release then ends the run as the event would have.
enum Events : int { kLetThrough, kHeld, kCame };
std::atomic<int> g_events{kLetThrough};

// Marks that an event came; holds it, or lets the system's handler end the process.
BOOL WINAPI OnEvent(DWORD) {
  if (g_events.exchange(kCame) != kLetThrough) Sleep(INFINITE);
  return FALSE;  // on to the system's handler, which ends the process
}

// Adds the handler, once. Returns 0 or the error that kept it out.
int AddHandler() {
  if (SetConsoleCtrlHandler(OnEvent, TRUE)) return 0;
  return LastError();
}

}  // namespace

// A Windows error in the system's words, without line end or full stop, in the console's code
// page (the ANSI one without a console), as printed there.
const char* ErrorText(int error) {
  static char text[512];
  wchar_t wide[256];
  if (error >= 0) return std::strerror(error);
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(-error), 0, wide, 256, nullptr);
  while (n > 0 && std::wcschr(L" .\r\n", wide[n - 1]) != nullptr) --n;
  if (n == 0) n = static_cast<DWORD>(std::swprintf(wide, 256, L"Windows error %d", -error));
  const int bytes = WideCharToMultiByte(GetConsoleOutputCP(), 0, wide, static_cast<int>(n), text,
                                        sizeof text - 1, nullptr, nullptr);
  text[bytes] = '\0';
  return text;
}

InputFile::~InputFile() { platform::LetGo(file_); }

int InputFile::Open(const char* name) {
  // A folder opens too, to say that it is one.
  file_ = CreateFileA(name, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file_, &info)) return 0;  // a device: no identity
  id_ = IdOf(info);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
  return 0;
}

std::size_t InputFile::Read(std::span<uint8_t> out, int& error) {
  std::size_t got = 0;
  while (got < out.size()) {
    DWORD n = 0;
    if (!ReadFile(file_, &out[got], static_cast<DWORD>(out.size() - got), &n, nullptr)) {
      error = LastError();
      return got;
    }
    if (n == 0) return got;  // the end of the file
    got += n;
  }
  return got;
}

namespace platform {

int OpenExclusive(const char* path, Handle& file, Found& found) {
  wchar_t wide[kPathMax];
  if (const int error = Widen(path, wide); error != 0) return error;
  file = CreateFileW(wide, GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_EXISTS) return EEXIST;
    return LastError();
  }
  const int error = Identify(file, found);
  if (error == 0) return 0;
  LetGo(file);  // made a moment ago, with console events held
  DeleteFileW(wide);
  return error;
}

int OpenAsShell(const char* path, Handle& file) {
  wchar_t wide[kPathMax];
  if (const int error = Widen(path, wide); error != 0) return error;
  file = CreateFileW(wide, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  // Windows lets no one write a read-only file; Wine, run by root, would.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
    return EACCES;
  return 0;
}

int OpenToMake(const char* path, Handle& file) { return OpenAsShell(path, file); }

int LeadsToFile(const char*, bool& leads) {
  leads = true;  // the open makes nothing through a link: it refuses a link to nothing
  return 0;
}

int Identify(Handle file, Found& found) {
  found = Found{};
  BY_HANDLE_FILE_INFORMATION info;
  // A file on a disk; anything else (a pipe, the console, a device) is a stream.
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return 0;
  found.kind = Kind::kFile;
  found.id = IdOf(info);
  found.links = info.nNumberOfLinks;
  found.size = static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
  return 0;
}

int PlaceOfName(const char* path, Place& place) {
  place.name_at = 0;
  return Widen(path, place.path);
}

int FindTarget(const Place&, const FileId&, Place&, Where& where) {
  where = Where::kNotThere;  // never asked: the open makes no file through a link
  return 0;
}

int FindFolder(Handle file, const char*, const FileId&, Place& place, Where& where) {
  const DWORD n = GetFinalPathNameByHandleW(file, place.path, kPathMax, 0);
  if (n == 0) return LastError();
  if (n >= kPathMax) return ENAMETOOLONG;
  place.name_at = 0;
  where = Where::kFound;
  return 0;
}

void PathOf(const Place& place, char (&text)[kPathMax]) {
  const int bytes = WideCharToMultiByte(GetConsoleOutputCP(), 0, place.path, -1, text, kPathMax,
                                        nullptr, nullptr);
  if (bytes == 0) text[0] = '\0';
}

int MakeFileBeside(const Place& beside, Place& made, Handle& file, FileId& id) {
  // NAME.PPPPPPPPTTTTTTTT: the process and the clock, the clock moved on while a name is taken.
  const DWORD process = GetCurrentProcessId();
  const DWORD first = GetTickCount();
  for (DWORD tick = first;; ++tick) {
    if (std::swprintf(made.path, kPathMax, L"%ls.%08lX%08lX", beside.path, process, tick) < 0)
      return ENAMETOOLONG;
    file = CreateFileW(made.path, GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) break;
    if (GetLastError() != ERROR_FILE_EXISTS || tick - first == kNameTries) return LastError();
  }
  made.name_at = 0;
  Found found;
  const int error = Identify(file, found);
  id = found.id;
  return error;
}

int GiveOwner(Handle, const Found&) { return 0; }  // ReplaceFileW gives it

int GiveAttributes(Handle, Handle) { return 0; }  // ReplaceFileW gives them, the ACL among them

int GiveMode(Handle, const Found&) { return 0; }  // ReplaceFileW gives the attributes

int RenameOver(const Place& from, const Place& to) {
  if (ReplaceFileW(to.path, from.path, nullptr, 0, nullptr, nullptr)) return 0;
  const DWORD code = GetLastError();
  // The file under the name is gone, or was moved away and not back: the new one takes the name.
  if (code != ERROR_UNABLE_TO_MOVE_REPLACEMENT && code != ERROR_FILE_NOT_FOUND) return Error(code);
  if (MoveFileExW(from.path, to.path, MOVEFILE_REPLACE_EXISTING)) return 0;
  return LastError();
}

int RemoveIfStill(const Place& place, const FileId& id) {
  if (place.path[0] == L'\0') return 0;  // no place known
  // The name's own file, not one a link there leads to, opened to be deleted through that
  // handle: the one looked at is the one removed.
  const HANDLE file = CreateFileW(place.path, DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return 0;  // nothing there
    return Error(code);
  }
  BY_HANDLE_FILE_INFORMATION info;
  int error = 0;
  if (!GetFileInformationByHandle(file, &info)) error = LastError();
  FILE_DISPOSITION_INFO gone = {TRUE};
  if (error == 0 && SameFile(IdOf(info), id) &&
      !SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone))
    error = LastError();
  CloseHandle(file);
  return error;
}

int Lock(Handle file) {
  OVERLAPPED from = {};  // the whole file, from its start
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &from)) return LastError();
  return 0;
}

int WriteAt(Handle file, std::span<const uint8_t> bytes, int64_t at) {
  while (!bytes.empty()) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &where))
      return LastError();
    if (n == 0) return EIO;
    bytes = bytes.subspan(n);
    at += n;
  }
  return 0;
}

int WriteOn(Handle file, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    DWORD n = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr))
      return LastError();
    if (n == 0) return EIO;
    bytes = bytes.subspan(n);
  }
  return 0;
}

int Flush(Handle file) {
  if (!FlushFileBuffers(file)) return LastError();
  return 0;
}

int SetLength(Handle file, int64_t length) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = length;
  if (!SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end)) return LastError();
  return 0;
}

int Reserve(Handle, int64_t, bool& reserved) {
  reserved = false;  // the part past the old end is written first instead
  return 0;
}

int NextHole(Handle file, int64_t from, int64_t end, int64_t& hole, int64_t& data) {
  hole = end;
  data = end;
  // Only a file marked sparse has holes; the system lists what it has allocated of it.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return LastError();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) == 0) return 0;
  while (from < end) {
    FILE_ALLOCATED_RANGE_BUFFER query = {};
    FILE_ALLOCATED_RANGE_BUFFER range = {};
    query.FileOffset.QuadPart = from;
    query.Length.QuadPart = end - from;
    DWORD got = 0;
    if (!DeviceIoControl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &range,
                         sizeof range, &got, nullptr) &&
        GetLastError() != ERROR_MORE_DATA)
      return LastError();
    if (got == 0 || range.FileOffset.QuadPart > from) {
      hole = from;
      if (got != 0) data = range.FileOffset.QuadPart;
      return 0;
    }
    from = range.FileOffset.QuadPart + range.Length.QuadPart;  // allocated up to there
  }
  return 0;
}

int FileSizeLimit(int64_t& limit) {
  limit = INT64_MAX;  // Windows sets none
  return 0;
}

int Hold() {
  static const int unheard = AddHandler();
  if (unheard != 0) return unheard;
  int was = kLetThrough;
  g_events.compare_exchange_strong(was, kHeld);
  return 0;
}

int Release() {
  int was = kHeld;
  if (!g_events.compare_exchange_strong(was, kLetThrough)) ExitProcess(STATUS_CONTROL_C_EXIT);
  return 0;
}

int Came(bool& came) {
  came = g_events == kCame;
  return 0;
}

int LetGo(Handle& file) {
  if (file == INVALID_HANDLE_VALUE) return 0;
  const BOOL closed = CloseHandle(file);
  file = INVALID_HANDLE_VALUE;
  if (!closed) return LastError();
  return 0;
}

int LetGoOf(Place& place) {
  place.path[0] = L'\0';
  place.name_at = 0;
  return 0;
}

}  // namespace platform
}  // namespace io
