// Files as the tool uses them: inputs read once from their first byte, and the
// image written whole, replacing what stood under its name in one step. This is
// the one place where POSIX and Windows differ; everything above it sees
// errno values and spans of bytes.
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
bool SameFile(const FileId& a, const FileId& b);

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
  // input and is refused (EISDIR on POSIX; Windows refuses to open one).
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

// The image file while it is being written. Bytes are appended in blocks;
// Commit() puts the whole file in place.
//
// What stands under the name decides how. A regular file, or nothing yet, is
// written as a new file beside it, named ".NAME.XXXXXX", which is renamed over
// NAME only once every byte is written and the file closed. If the run fails
// or ends without Commit(), or SIGINT, SIGTERM or SIGHUP arrives meanwhile,
// that file is removed and what stood under NAME stays as it was. A symbolic
// link is followed: the file it points to is replaced and the link stays. A
// replaced file keeps its permission bits, and its owner as far as this user
// may give it; a new one gets 0666 less the umask.
//
// Written in place (truncated, then written), as a plain open for writing
// would: anything that is not a regular file (a device, a FIFO), a file
// mounted over its name, another user's file in a sticky folder, a file this
// user may not write (so a write-protected image is refused as before), and a
// file beside which no new file can be made.
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ~ImageFile() { Discard(); }

  // 0, or errno when the file cannot be opened for writing.
  int Open(const char* path);

  // Appends `bytes`. The first failure is remembered; later writes do nothing.
  void Write(std::span<const uint8_t> bytes);

  // Closes the file and puts it in place. Returns 0, or errno of the first
  // failure of a write, the close or the rename.
  int Commit();

 private:
  void Discard();  // closes, and removes a new file that was not put in place

  int fd_ = -1;
  int error_ = 0;
  bool replacing_ = false;                 // written as a new file, renamed over the target
  bool file_size_signal_ignored_ = false;  // until the file is closed (POSIX)
  char target_[kPathMax];                  // the name the new file takes
};

}  // namespace io
