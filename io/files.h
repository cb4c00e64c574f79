// Files as the tool uses them: inputs read once from their first byte, and
// the image file written whole. Everything above this layer sees errno values
// and spans of bytes; the build compiles files_posix.cc or files_win32.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace io {

inline constexpr std::size_t kPathMax = 4096;  // a file name with its folders and NUL

// Which file a name or an open file is: device and inode on POSIX, volume
// serial and file index on Windows. Hard links and a symbolic link with its
// target are one file.
struct FileId {
  bool known = false;
  uint64_t volume = 0, file = 0;
};
inline bool SameFile(const FileId& a, const FileId& b) {
  return a.known && b.known && a.volume == b.volume && a.file == b.file;
}

// What `path` names, through symbolic links; not known when nothing is there.
FileId IdOfPath(const char* path);

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

  // 0, or errno. A directory is refused (EISDIR on POSIX; Windows opens none).
  int Open(const char* name);
  // Reads until `out` is full, the file ends or a read fails, never asking
  // for more than `out` holds, so a pipe is not waited on beyond it.
  ReadResult Read(std::span<uint8_t> out);
  const FileId& id() const { return id_; }
  void Close();

 private:
  int fd_ = -1;
  FileId id_;
};

// The image file, written whole once the image is complete in memory.
//
// A regular file with one link, or nothing, is replaced in one step by a new
// file ".NAME.XXXXXX" beside the file that the name finally stands for. It is
// its owner's alone until complete, then takes the old file's owner, group,
// extended attributes and permission bits, and is renamed over it. A failure
// or a signal removes it, and what stood there stays as it was.
//
// Anything else is written in place, not truncated first: a device, FIFO or
// socket; a file with other hard links (which see the new image); a file
// beside which no new file can be made, whose attributes cannot be given to
// one, or over which it cannot be renamed. A regular file is then written in
// one go with terminating signals held back, and cut to the image's length.
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() { Discard(); }

  // Decides how to write, and makes the new file when replacing. 0, or errno.
  int Open(const char* path);
  // Writes `image` and puts it in place. 0, or errno; what stood there is
  // then as it was, unless a write in place failed part-way.
  int Put(std::span<const uint8_t> image);

 private:
  void Discard();  // closes, and removes a new file not put in place

  int fd_ = -1;                 // the new file, while replacing
  int folder_ = -1;             // the folder of target_, in which every step acts (POSIX)
  bool replacing_ = false;      // a new file exists, to be renamed over target_
  FileId old_;                  // what stood under the name, if anything
  char target_[kPathMax] = {};  // the name written: a link's final name, or the name itself
};

}  // namespace io
