// Files as the tool uses them: the inputs, each read once from its first byte, and the image,
// written so that an old image is never left half-written and nothing the run did not make is
// removed. Errors are numbers for ErrorText: errno values, or on Windows the system's own codes.
//
// THE IMAGE
// ImageFile opens the image's name once, as the shell's `>` opens a file but without truncating
// it: the system decides what may be opened, followed and created, and applies its guards for
// sticky folders. What that open finds decides, before anything is written, how the image is
// written. There are four ways:
//
//   made      Nothing stood under the name, so the open made the file: it is the run's own. The
//             image is written into it directly. A failure removes it. Costs nothing beyond the
//             write and the flush.
//   replaced  A regular file with one link, or the file the open made at the end of a dangling
//             link: a new file is made beside it and given the old one's owner and group, the
//             image, the old one's extended attributes (its ACL; file capabilities, which a write
//             takes away, are given after it), a flush and the old one's permission bits, then
//             renamed over it. A failure removes the new file, and the file made at the end of a
//             link, and leaves an old one as it was. Costs a second file in that folder while
//             the run lasts, and a folder that takes a new file.
//   in place  What must keep its identity: a file with other hard links, a block device, a
//             file mounted on its name, a file whose folder takes no new file, is append-only
//             or does not hold it any more (a deleted file), and a file whose owner, group or
//             attributes the user may not give. Before the first byte over the old contents the
//             run makes sure it can write them all: the file-size limit, a device's size, room
//             for the part past the old end and for every hole (reserved, or else written first:
//             the holes with zeros, which they read as). Failing that, it stops and the old
//             contents are as they were, byte for byte. Then the image is written, the file cut
//             to its length and flushed. An I/O error part-way, a copy-on-write disk filling up,
//             SIGKILL or a crash can still harm it; a write clears set-id bits and capabilities.
//   streamed  A FIFO, terminal or character device: written from where it stands, as it
//             comes, with interruptions deliverable (a reader may never come).
//
// Interruptions (signals whose default action ends the process; on Windows, console events)
// are held from the making of a file until it is whole and in place or removed, and while a
// file is written in place. One that came before a rename removes the new file, and the run's
// own, then ends the run; one that came later ends it once the image is whole and in place.
// Signals that were held or ignored when the run began stay so.
//
// A file the run made is removed only while its name still names it, so that a file another
// run or user has put under that name meanwhile stays. Where the system offers no removal by
// descriptor (Linux, POSIX), the name is looked at and then removed: a file put there in the
// microseconds between the two would be removed in its stead.
//
// Use:
//   io::ImageFile image;
//   if (int error = image.Open(name); error != 0) ... report; nothing was made or changed
//   if (int error = image.Put(bytes); error != 0) ... report; the old image is as it was
//   for (int n = 0; const char* left = image.LeftBehind(n, error); ++n) ... report each
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

// Which file an open file is: device and inode, or volume and index. Both parts count: two
// files on two file systems may have the same inode number.
struct FileId {
  bool known = false;
  uint64_t volume = 0;
  uint64_t file = 0;
};

// True when both are known and name the same file.
inline bool SameFile(const FileId& a, const FileId& b) {
  return a.known && b.known && a.volume == b.volume && a.file == b.file;
}

// The system's words for an error that this layer gave, without a line end; never null.
const char* ErrorText(int error);

// An input, opened once and read once from its first byte; it is never written, moved or copied.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // Opens `name` for reading. Returns 0, or an error: a folder gives EISDIR.
  int Open(const char* name);

  // Reads until `out` is full or the file ends. Returns the bytes read; `error` is set if a read
  // failed, and what came before it is kept.
  std::size_t Read(std::span<uint8_t> out, int& error);

  const FileId& id() const { return id_; }

 private:
  Handle file_ = Handle(-1);
  FileId id_;
};

// Where a file stands: its folder, held open where the system can (else the current folder, or
// none on Windows), and its path as the system gave it, whose last part from `name_at` on is its
// name in that folder. A new Place has an empty path: no place known yet. Only that first
// character is set, as the rest is written before it is read, and a run holds several Places.
struct Place {
  Place() { path[0] = 0; }

  Handle folder = Handle(-1);
  PathChar path[kPathMax];
  std::size_t name_at = 0;
};

// What an open handle stands for, as the platform tells it.
enum class Kind : uint8_t {
  kFile,         // a regular file
  kBlockDevice,  // a disk, read and written at offsets
  kStream,       // a FIFO, terminal, socket or character device
};
struct Found {
  Kind kind = Kind::kStream;
  FileId id;
  uint64_t links = 1;
  int64_t size = 0;  // a file's length, a block device's capacity
  // The owner, group and permission bits, to give a new file (POSIX; 0 on Windows).
  uint32_t owner = 0;
  uint32_t group = 0;
  uint32_t mode = 0;
};

// The image file, written as its open decided (see above).
class ImageFile {
 public:
  ImageFile() = default;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  // A file the run made and did not Put is removed; interruptions held are let through.
  ~ImageFile();

  // Opens `path` and decides how the image will be written. Returns 0, or an error; on an error
  // nothing was made and nothing under the name was changed.
  int Open(const char* path);

  // The file opened, for comparing with the inputs.
  const FileId& id() const { return found_.id; }

  // Writes `image` as Open decided, once. Returns 0 once the image is whole, flushed and in
  // place; or an error, the old image then as it was (unless a write in place failed part-way)
  // and every file the run made removed, as far as the system allowed.
  int Put(std::span<const uint8_t> image);

  // The `n`-th file (from 0) that the run made and a failure could not remove, as a path to
  // report with `error`; or nullptr past the last. There are at most two: a new file beside the
  // old one, and the file the open made.
  const char* LeftBehind(int n, int& error) const;

 private:
  enum class Plan : uint8_t { kMade, kReplace, kInPlace, kStream };
  // How a replace ended: the image put in place; refused by the system (the new file removed,
  // the image to be written in place); or failed, with an error.
  enum class Replaced : uint8_t { kPlaced, kRefused, kFailed };
  int OpenExisting(const char* path);
  int Decide(const char* path);
  Replaced Replace(std::span<const uint8_t> image, int& error);
  Replaced Fill(Handle fresh, std::span<const uint8_t> image, int& error);
  int Stream(std::span<const uint8_t> image);
  int WriteLocked(std::span<const uint8_t> image);
  int WriteInPlace(std::span<const uint8_t> image);
  int Remove(const Place& place, const FileId& id);
  int RemoveOwn(int cause);
  void LeaveBehind(const Place& place, int error);
  int Hold();
  int Release();

  Handle file_ = Handle(-1);
  Plan plan_ = Plan::kInPlace;
  Found found_;
  Place name_;         // the name opened, which a file made there stands under
  Place place_;        // where the file stands, found for a replace
  bool own_ = false;   // the run's open made the file: a failure removes it
  bool held_ = false;  // interruptions are held
  static constexpr int kMostLeft = 2;
  int left_ = 0;  // how many files are left behind
  int left_error_[kMostLeft] = {};
  char left_behind_[kMostLeft][kPathMax];  // the first `left_` written, the rest never read
};

}  // namespace io
