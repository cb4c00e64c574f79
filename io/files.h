// Files as the tool uses them: errors (errno values, or the system's) and spans of bytes above.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace io {
#ifdef _WIN32
using Handle = void*;  // a HANDLE; INVALID_HANDLE_VALUE when closed
using PathChar = wchar_t;
#else
using Handle = int;  // a file descriptor; -1 when closed
using PathChar = char;
#endif
inline constexpr std::size_t kPathMax = 4096;  // a file name with its folders and NUL
struct FileId {  // which file an open file is: device and inode, or volume and index
  bool known = false;
  uint64_t volume = 0, file = 0;
};
inline bool SameFile(const FileId& a, const FileId& b) {
  return a.known && b.known && a.volume == b.volume && a.file == b.file;
}
const char* ErrorText(int error);  // the system's words for an error that this layer gave
class InputFile {  // an input, read once from its first byte; no file is copied or moved
 public:
  InputFile() = default;
  InputFile(InputFile&&) = delete;
  ~InputFile();
  int Open(const char* name);  // 0, or an error for ErrorText; a directory gives EISDIR
  // Reads until `out` is full or the file ends; `error` is set if a read failed.
  std::size_t Read(std::span<uint8_t> out, int& error);
  const FileId& id() const { return id_; }

 private:
  Handle file_ = Handle(-1);
  FileId id_;
};

// The image, opened once as `>` opens it (not truncated) and written as that open decides: a
// file it made, directly; a regular file with one link, by a new file renamed over it; else in
// place. Open, Put: 0 or an error for ErrorText; a failed replace keeps the old image as it was.
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(ImageFile&&) = delete;
  ~ImageFile() { Close(); }
  int Open(const char* path);
  const FileId& id() const { return id_; }
  int Put(std::span<const uint8_t> image);

 private:
  enum class Plan : uint8_t { kCreated, kReplace, kInPlace, kStream };
  void Close();
  Handle file_ = Handle(-1), folder_ = Handle(-1);  // the image; its folder (Linux)
  Plan plan_ = Plan::kInPlace;
  uint64_t held_ = 0;  // the signal mask before signals were held (Linux)
  FileId id_;
  PathChar name_[kPathMax] = {}, new_name_[kPathMax] = {};  // in folder_, or in full (Windows)
};
}  // namespace io
