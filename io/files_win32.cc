// Files on Windows: the image opened once, as `>` opens it, and written as
// that open's handle decides; console events held while a file is unfinished.
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>

#include "io/files.h"

namespace io {
namespace {
// Windows errors that an errno value names too; any other is returned as its
// code negated, which no errno value (all positive) can be.
constexpr DWORD kErrors[][2] = {{ERROR_FILE_NOT_FOUND, ENOENT},   {ERROR_PATH_NOT_FOUND, ENOENT},
                                {ERROR_ACCESS_DENIED, EACCES},    {ERROR_DISK_FULL, ENOSPC},
                                {ERROR_HANDLE_DISK_FULL, ENOSPC}, {ERROR_SHARING_VIOLATION, EBUSY}};
int Error(DWORD code = GetLastError()) {
  for (const auto& [windows, error] : kErrors)
    if (windows == code) return static_cast<int>(error);
  return code != 0 ? -static_cast<int>(code) : EIO;  // 0: a call failed and said nothing
}
constexpr int kInPlace = INT32_MIN;  // no error: the file is to be written in place
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Console events (Ctrl+C, Ctrl+Break, a console closed) are held while a file is unfinished:
// the handler, on a thread of its own, marks that one came and, if held, waits for good;
// Hold(false) then ends the run as the event would have.
std::atomic<int> g_events{0};  // 0: nothing held, 1: held, 2: one came
BOOL WINAPI OnEvent(DWORD) {
  if (g_events.exchange(2) != 0) Sleep(INFINITE);
  return FALSE;  // on to the system's handler, which ends the process
}
void Hold(bool hold) {
  [[maybe_unused]] static const BOOL added = SetConsoleCtrlHandler(OnEvent, TRUE);
  if (int was = hold ? 0 : 1; !g_events.compare_exchange_strong(was, hold ? 1 : 0))
    ExitProcess(STATUS_CONTROL_C_EXIT);
}
int WriteAll(HANDLE h, std::span<const uint8_t> bytes, int64_t at) {  // a device ignores `at`
  for (DWORD n = 0; !bytes.empty(); bytes = bytes.subspan(n), at += n) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at), where.OffsetHigh = static_cast<DWORD>(at >> 32);
    if (!WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &where) || n == 0)
      return Error();
  }
  return 0;
}
bool SetLength(HANDLE h, int64_t length) {
  FILE_END_OF_FILE_INFO end = {{.QuadPart = length}};
  return SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end);
}
// Writes over a file, not truncated first: the part past its old end first (cut off again if
// that fails, so that a full disk leaves an old image whole), the rest, the length cut, a flush.
int WriteOver(HANDLE h, std::span<const uint8_t> image) {
  const auto size = static_cast<int64_t>(image.size());
  LARGE_INTEGER was;
  if (!GetFileSizeEx(h, &was)) return Error();
  const auto kept = static_cast<std::size_t>(was.QuadPart < size ? was.QuadPart : size);
  int error = WriteAll(h, image.subspan(kept), static_cast<int64_t>(kept));
  if (error != 0) SetLength(h, was.QuadPart);
  if (error == 0) error = WriteAll(h, image.first(kept), 0);
  if (error == 0 && was.QuadPart > size && !SetLength(h, size)) error = Error();
  return error != 0 ? error : !FlushFileBuffers(h) ? Error() : g_events == 2 ? EINTR : 0;
}
// Replaces `name` by the file `fresh`, made beside it, with ReplaceFileW, which gives it the old
// one's attributes and ACL (kInPlace if the folder takes no new file). A failure keeps the old
// file, unless ReplaceFileW moved it away or found it gone: the new one then takes its place.
int Replace(HANDLE& old, const wchar_t* name, const wchar_t* fresh, std::span<const uint8_t> data) {
  Hold(true);
  const HANDLE h = CreateFileW(fresh, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (const DWORD code = GetLastError(); h == INVALID_HANDLE_VALUE)
    return Hold(false), code == ERROR_ACCESS_DENIED ? kInPlace : Error(code);
  int error = WriteOver(h, data);
  if (!CloseHandle(h) && error == 0) error = Error();
  CloseHandle(old), old = INVALID_HANDLE_VALUE;
  bool placed = error == 0 && ReplaceFileW(name, fresh, nullptr, 0, nullptr, nullptr);
  const DWORD code = placed || error != 0 ? 0 : GetLastError();
  const bool gone = code == ERROR_UNABLE_TO_MOVE_REPLACEMENT || code == ERROR_FILE_NOT_FOUND;
  if (gone) placed = MoveFileExW(fresh, name, MOVEFILE_REPLACE_EXISTING);
  if (!placed && error == 0) error = Error();
  if (!placed && !gone) DeleteFileW(fresh);
  Hold(false);
  return error;
}

FileId IdOf(const BY_HANDLE_FILE_INFORMATION& i) {
  return {true, i.dwVolumeSerialNumber, uint64_t{i.nFileIndexHigh} << 32 | i.nFileIndexLow};
}
}  // namespace
// A Windows error in the system's words, without line end or full stop, in the console's code
// page (the ANSI one without a console), as printed there.
const char* ErrorText(int error) {
  static char text[512];
  wchar_t wide[256];
  if (error >= 0) return std::strerror(error);
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           -error, 0, wide, 256, nullptr);
  while (n > 0 && std::wcschr(L" .\r\n", wide[n - 1]) != nullptr) --n;
  if (n == 0) n = static_cast<DWORD>(std::swprintf(wide, 256, L"Windows error %d", -error));
  text[WideCharToMultiByte(GetConsoleOutputCP(), 0, wide, static_cast<int>(n), text,
                           sizeof text - 1, nullptr, nullptr)] = '\0';
  return text;
}
InputFile::~InputFile() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}
int InputFile::Open(const char* name) {
  BY_HANDLE_FILE_INFORMATION info;
  file_ = CreateFileA(name, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);  // a folder too, to say so
  if (file_ == INVALID_HANDLE_VALUE) return Error();
  if (GetFileInformationByHandle(file_, &info)) id_ = IdOf(info);  // a device has none
  return id_.known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : 0;
}
std::size_t InputFile::Read(std::span<uint8_t> out, int& error) {
  std::size_t got = 0;
  for (DWORD n = 1; n != 0 && got < out.size(); got += n)  // 0: the end
    if (!ReadFile(file_, &out[got], static_cast<DWORD>(out.size() - got), &n, nullptr))
      return error = Error(), got;
  return got;
}
int ImageFile::Open(const char* path) {
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, name_, kPathMax) == 0) return Error();
  Hold(true);  // a file this run creates is its own: held until it is whole or removed
  file_ = CreateFileW(name_, GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW, 0, nullptr);
  if (file_ != INVALID_HANDLE_VALUE) plan_ = Plan::kCreated;
  if (const DWORD code = GetLastError(); file_ == INVALID_HANDLE_VALUE) {  // nothing made
    Hold(false);  // then what stands there, through links: the system checks the permission
    if (code != ERROR_FILE_EXISTS) return Error(code);
    file_ = CreateFileW(name_, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) return Error();
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileType(file_) == FILE_TYPE_DISK && GetFileInformationByHandle(file_, &info))
    id_ = IdOf(info);  // a file on a disk, not a device, pipe or console
  // Windows lets no one write a read-only file; Wine run by root would.
  if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return EACCES;
  if (plan_ == Plan::kCreated || !id_.known || info.nNumberOfLinks != 1) return 0;
  // One link: replaced by NAME.PPPPPPPPTTTTTTTT (process id, clock) beside the handle's name.
  const DWORD n = GetFinalPathNameByHandleW(file_, name_, kPathMax, 0);
  if (n == 0 || n >= kPathMax) return n == 0 ? Error() : ENAMETOOLONG;
  plan_ = Plan::kReplace;
  const DWORD id = GetCurrentProcessId(), t = GetTickCount();
  return std::swprintf(new_name_, kPathMax, L"%ls.%08lX%08lX", name_, id, t) < 0 ? ENAMETOOLONG : 0;
}
int ImageFile::Put(std::span<const uint8_t> image) {
  int error = plan_ == Plan::kReplace ? Replace(file_, name_, new_name_, image) : kInPlace;
  if (plan_ == Plan::kCreated && (error = WriteOver(file_, image)) == 0)
    plan_ = Plan::kInPlace, Hold(false);  // whole: kept
  if (error == kInPlace && id_.known) Hold(true), error = WriteOver(file_, image), Hold(false);
  if (error == kInPlace) error = WriteAll(file_, image, 0);  // unheld: a reader may never come
  Close();
  return error;
}
void ImageFile::Close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  if (plan_ == Plan::kCreated) DeleteFileW(name_), Hold(false);  // unfinished: removed
  file_ = INVALID_HANDLE_VALUE;
  plan_ = Plan::kInPlace;
}
}  // namespace io
