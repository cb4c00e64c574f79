// Files as the tool uses them: inputs read once from their first byte, and
// the image file written whole. Everything above this layer sees errno values
// and spans of bytes; the build compiles files_linux.cc or files_win32.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace io {

inline constexpr std::size_t kPathMax = 4096;  // a file name with its folders and NUL

// Which file an open file is: device and inode on Linux, volume serial and
// file index on Windows.
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
  // Reads until `out` is full, the file ends or a read fails, never asking
  // for more than `out` still lacks, so a pipe is not waited on beyond it.
  ReadResult Read(std::span<uint8_t> out);
  const FileId& id() const { return id_; }
  void Close();

 private:
  int fd_ = -1;
  FileId id_;
};

// The image file. Open looks once: it opens what the name stands for, through
// symbolic links, for writing (the system checks the permission there), and
// every decision and attribute is taken from that descriptor.
//
// Nothing there, or a regular file with one link whose last name is known, is
// replaced: a new file made beside that name is written, flushed, given the
// old file's owner, group, extended attributes and permission bits, and
// renamed over it if the name still stands for the file looked at. Signals
// that would end the process are held meanwhile; one that came removes the
// new file and then ends the run.
//
// Anything else is written in place through the descriptor, not truncated
// first: a device or FIFO, a file with other links, a file beside which no
// new file can be made, whose attributes a new one cannot take, or over which
// it cannot be renamed. A regular file is then checked for room, written with
// those signals held, cut, flushed, and given back its set-id bits.
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() { Close(); }

  // Opens what stands under `path` and decides how to write. 0, or errno.
  int Open(const char* path);
  // The file that stood under the name when it was opened; not known when
  // nothing did.
  const FileId& id() const { return id_; }
  // Writes `image` and puts it in place. 0, or errno; what stood there is
  // then as it was, unless a write in place failed part-way.
  int Put(std::span<const uint8_t> image);

 private:
  void Close();

  int file_ = -1;                 // what stood under the name, open for writing
  int folder_ = -1;               // the folder of name_, in which every step acts (Linux)
  bool replace_ = false;          // a new file is to be renamed over name_
  FileId id_;                     // of file_
  char name_[kPathMax] = {};      // the name written: on Linux its last part, in folder_
  char new_name_[kPathMax] = {};  // the new file's: ".NAME.XXXXXX", NAME the name as given
};

}  // namespace io
