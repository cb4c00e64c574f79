// Files as the tool uses them: inputs read once from their first byte, and
// the image file written whole. Everything above this layer sees errno values
// and spans of bytes; how POSIX and Windows do it lies in files_posix.cc and
// files_win32.cc, one of which the build compiles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace io {

// Room for a file name with its folders, terminating NUL included.
inline constexpr std::size_t kPathMax = 4096;

// Which file a name or an open file is: device and inode on POSIX, volume
// serial and file index on Windows. Two hard links, or a symbolic link and
// its target, have the same identity.
struct FileId {
  bool known = false;
  uint64_t volume = 0;
  uint64_t file = 0;
};
inline bool SameFile(const FileId& a, const FileId& b) {
  return a.known && b.known && a.volume == b.volume && a.file == b.file;
}

// The identity of what `path` names, followed through symbolic links; not
// known when nothing exists there.
FileId IdOfPath(const char* path);

struct ReadResult {
  std::size_t bytes = 0;  // bytes read into the front of the buffer
  int error = 0;          // errno of a failed read, or 0 when the file ended or the buffer filled
};

// One input file, open for binary reading from its first byte.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { Close(); }

  // Opens `name`; 0, or errno when it cannot be opened. A directory is no
  // input and is refused with EISDIR.
  int Open(const char* name);

  // Reads until `out` is full, the file ends or a read fails. Never asks the
  // file for more than `out` holds, so a pipe is not waited on for bytes
  // beyond them.
  ReadResult Read(std::span<uint8_t> out);

  const FileId& id() const { return id_; }
  void Close();

 private:
  int fd_ = -1;
  FileId id_;
};

// The image file, written whole once the image is complete in memory.
//
// An existing regular file with a single link, or no file at all, is
// replaced in one step: a new file ".NAME.XXXXXX" is made beside the file
// that the name finally stands for, readable and writable by its owner alone
// until it is complete; it then takes the old file's owner, group, extended
// attributes (its ACL among them) and permission bits, and is renamed over
// it. A run that fails or is ended by a signal removes that file, and what
// stood under the name stays as it was.
//
// Anything else is written in place, without truncating it first: a device,
// FIFO or socket; a file with other hard links (which see the new image); a
// file beside which no new file can be made, whose attributes cannot be
// given to one, or over which it cannot be renamed. A regular file is then
// written with one write, with terminating signals held back, and cut to the
// image's length.
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() { Discard(); }

  // Decides how the image is written, and makes the new file when it is to
  // be replaced. 0, or errno.
  int Open(const char* path);

  // Writes `image` and puts it in place. 0, or errno of the failure; the
  // image that stood there before is then whole as it was, except after a
  // write in place that failed part-way.
  int Put(std::span<const uint8_t> image);

 private:
  void Discard();  // closes, and removes a new file that was not put in place

  int fd_ = -1;             // the new file's, while replacing
  bool replacing_ = false;  // a new file exists and is to be renamed over target_
  bool existed_ = false;    // something stood under the name
  unsigned owner_ = 0, group_ = 0, mode_ = 0;  // what stood there, to give the new file (POSIX)
  char target_[kPathMax] = {};  // the name written: a link's final target, or the name itself
};

}  // namespace io
