// Files as the tool uses them: inputs read once from their first byte, and the
// image written whole; errno values and spans of bytes above this layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace io {

inline constexpr std::size_t kPathMax = 4096;  // a file name with its folders and NUL

// Which file an open file is: device and inode, or volume and file index.
struct FileId {
  bool known = false;
  uint64_t volume = 0, file = 0;
};
inline bool SameFile(const FileId& a, const FileId& b) {
  return a.known && b.known && a.volume == b.volume && a.file == b.file;
}

struct ReadResult {
  std::size_t bytes = 0;  // read into the front of the buffer
  int error = 0;          // errno of a failed read; 0 when the file ended or the buffer filled
};

class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { Close(); }

  // 0, or errno. A directory is refused with EISDIR.
  int Open(const char* name);
  // Reads until `out` is full or the file ends, asking only for what it lacks.
  ReadResult Read(std::span<uint8_t> out);
  const FileId& id() const { return id_; }
  void Close();

 private:
  int fd_ = -1;
  FileId id_;
};

// The image file, looked at once: what the name stands for is opened for
// writing and every decision and attribute comes from that open file. Nothing
// there, or a file with one link, is replaced by a new file, flushed, given
// the old one's attributes and renamed over it if the name still stands for
// it; anything else is written in place once the room is known. Signals (or
// console events) that would end the run are held meanwhile.
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() { Close(); }

  // Opens what stands under `path` and decides how to write. 0, or errno.
  int Open(const char* path);
  const FileId& id() const { return id_; }  // of what stood there; not known for nothing
  // Writes `image` and puts it in place. 0, or errno (nothing changed then,
  // unless a write in place failed part-way).
  int Put(std::span<const uint8_t> image);

 private:
  void Close();

  int file_ = -1;                 // what stood under the name, open for writing
  int folder_ = -1;               // the folder of name_, in which every step acts (Linux)
  bool replace_ = false;          // a new file is to be renamed over name_
  FileId id_;                     // of file_
  char name_[kPathMax] = {};      // the name written, its last part in folder_ (Linux)
  char new_name_[kPathMax] = {};  // the new file's: ".NAME." and a random suffix (Linux)
};

}  // namespace io
