// How the image is written: the one place that decides, from what the image's open found, which
// way it is written (made, replaced, in place or streamed), when interruptions are held and what
// a failure leaves. The system calls are each platform's, behind io/platform.h.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/files.h"
#include "io/platform.h"

namespace io {
namespace {

// The system refused to let the user make a file beside the old one, or give it what the old one
// has: the image is written in place instead.
bool Refused(int error) { return error == EPERM || error == EACCES; }

// Written into holes, which read as zeros: the room is taken and the contents stay.
constexpr std::size_t kZeroBytes = 65536;
const uint8_t kZeros[kZeroBytes] = {};

// Writes zeros into every hole of `file` before `end`. Returns 0 or an error; the contents read
// as they did either way.
int FillHoles(Handle file, int64_t end) {
  int64_t at = 0;
  while (at < end) {
    int64_t hole = end;
    int64_t data = end;
    if (const int error = platform::NextHole(file, at, end, hole, data); error != 0) return error;
    while (hole < data) {
      const auto n = static_cast<std::size_t>(std::min<int64_t>(data - hole, kZeroBytes));
      if (const int error = platform::WriteAt(file, {kZeros, n}, hole); error != 0) return error;
      hole += static_cast<int64_t>(n);
    }
    at = data;
  }
  return 0;
}

// Returns 0 if the run may write a file of `size` bytes; EFBIG if the file-size limit is lower,
// so that the run stops before it writes, not part-way; or the error that kept it from knowing.
int UnderSizeLimit(int64_t size) {
  int64_t limit = 0;
  if (const int error = platform::FileSizeLimit(limit); error != 0) return error;
  if (limit < size) return EFBIG;
  return 0;
}

// Makes sure that `size` bytes can be written over the file `file` (`found`) before the first
// byte goes over its contents: no file-size limit below them, and room for the part past the old
// end and for every hole. Returns 0, or an error with the contents as they were.
int MakeRoom(Handle file, const Found& found, int64_t size) {
  if (const int error = UnderSizeLimit(size); error != 0) return error;
  bool reserved = false;
  if (const int error = platform::Reserve(file, size, reserved); error != 0) return error;
  if (reserved) return 0;
  return FillHoles(file, std::min(found.size, size));
}

}  // namespace

// A file the run made is removed here only when Put never came (the driver refused the run);
// what cannot be removed then stays unreported, as nothing is left to report it.
ImageFile::~ImageFile() {
  if (own_) RemoveOwn(0);
  Release();
  platform::LetGo(file_);
  platform::LetGoOf(place_);
  platform::LetGoOf(name_);
}

// The image's name is opened once, as `>` opens it. Nothing there: the exclusive open makes the
// file, which is the run's own; interruptions are held from its making. Something there: it is
// opened through links as `>` opens it, and an empty file it makes at the end of a link to
// nothing is the run's own too. What was opened then decides the plan.
int ImageFile::Open(const char* path) {
  if (const int error = platform::PlaceOfName(path, name_); error != 0) return error;
  if (const int error = Hold(); error != 0) return error;
  int error = platform::OpenExclusive(path, file_, found_);
  if (error == 0) {
    own_ = true;
    plan_ = Plan::kMade;
    return 0;
  }
  if (error == EEXIST) error = OpenExisting(path);
  if (error == 0) error = platform::Identify(file_, found_);
  // Made by this open only if it is still as the open made it: another run may have made it and
  // written its image in the meantime.
  if (error == 0 && own_)
    own_ = found_.kind == Kind::kFile && found_.size == 0 && found_.links == 1;
  if (error == 0) error = Decide(path);
  if (error != 0 && own_) RemoveOwn(error);
  if (error != 0) {
    own_ = false;
    Release();
  }
  return error;
}

// Opens what stands under the name, as `>` opens it. Where the name leads to no file, the open is
// to make one at the end of the link: interruptions stay held, and the file is the run's own.
// Returns 0 or an error.
int ImageFile::OpenExisting(const char* path) {
  bool leads = true;
  if (const int error = platform::LeadsToFile(path, leads); error != 0) return error;
  if (!leads) {
    const int error = platform::OpenToMake(path, file_);
    own_ = file_ != Handle(-1);
    return error;
  }
  if (const int error = Release(); error != 0) return error;
  return platform::OpenAsShell(path, file_);
}

// Decides how an existing file is written, from what its open found: a stream as it comes; a
// device, a file with other links, and one that is not in a folder that takes a rename, in place;
// any other regular file replaced. Returns 0, or an error when its folder cannot be found.
int ImageFile::Decide(const char* path) {
  switch (found_.kind) {
    case Kind::kStream:
      plan_ = Plan::kStream;
      own_ = false;
      return 0;
    case Kind::kBlockDevice:
      plan_ = Plan::kInPlace;
      return 0;
    case Kind::kFile:
      break;
  }
  plan_ = Plan::kInPlace;
  if (found_.links != 1) return 0;
  platform::Where where = platform::Where::kNotThere;
  const int error = platform::FindFolder(file_, path, found_.id, place_, where);
  if (error == 0 && where == platform::Where::kFound) plan_ = Plan::kReplace;
  return error;
}

// Writes the image as Open decided. A stream is written as it comes, interruptions deliverable.
// Any other file is written with them held: replaced (in place if the system refuses to give the
// new file what the old one has), or in place. A failure removes what the run made.
int ImageFile::Put(std::span<const uint8_t> image) {
  if (plan_ == Plan::kStream) return Stream(image);
  int error = 0;
  if (plan_ == Plan::kReplace) {
    error = Hold();
    if (error == 0 && Replace(image, error) == Replaced::kRefused) {
      plan_ = Plan::kInPlace;
      error = Release();  // another run's write is waited for with interruptions deliverable
    }
  }
  if (error == 0 && plan_ != Plan::kReplace) error = WriteLocked(image);
  if (error != 0 && own_) RemoveOwn(error);
  own_ = false;
  const int released = Release();
  if (error != 0) return error;
  return released;
}

// Writes the image to a stream as it comes, interruptions deliverable. Returns 0 or an error.
int ImageFile::Stream(std::span<const uint8_t> image) {
  if (const int error = Release(); error != 0) return error;
  return platform::WriteOn(file_, image);
}

// Writes the image in place once no other run writes the file (of two, the last wins whole),
// taken as it is then: another run may have written it meanwhile, and then a file this run made
// is not its own any more. Interruptions are held for the write. Returns 0 or an error.
int ImageFile::WriteLocked(std::span<const uint8_t> image) {
  int error = platform::Lock(file_);
  if (error == 0) error = platform::Identify(file_, found_);
  if (error == 0 && own_ && found_.size != 0) own_ = false;
  if (error == 0) error = Hold();
  if (error == 0) error = WriteInPlace(image);
  return error;
}

// Replaces the old file by a new one beside it, given what the old one has and the image, flushed
// and renamed over it, unless an interruption came meanwhile. A failure or a refusal removes the
// new file. `error` is set when the replace failed, and only then.
ImageFile::Replaced ImageFile::Replace(std::span<const uint8_t> image, int& error) {
  error = UnderSizeLimit(static_cast<int64_t>(image.size()));
  if (error != 0) return Replaced::kFailed;
  Place made;
  Handle fresh = Handle(-1);
  FileId id;
  error = platform::MakeFileBeside(place_, made, fresh, id);
  if (Refused(error)) {
    error = 0;
    return Replaced::kRefused;
  }
  if (error != 0) return Replaced::kFailed;
  Replaced replaced = Fill(fresh, image, error);
  const int closed = platform::LetGo(fresh);
  if (replaced == Replaced::kPlaced && closed != 0) {
    replaced = Replaced::kFailed;
    error = closed;
  }
  bool came = false;
  if (replaced == Replaced::kPlaced) error = platform::Came(came);
  if (replaced == Replaced::kPlaced && error == 0 && came) error = EINTR;
  if (error != 0) replaced = Replaced::kFailed;
  if (replaced == Replaced::kPlaced) {
    platform::LetGo(file_);  // let go first, so that the rename frees the old file at once
    error = platform::RenameOver(made, place_);
    if (error == 0) return Replaced::kPlaced;
    replaced = Replaced::kFailed;
  }
  // A new file that cannot be removed stops the run: the image is not written in place beside it.
  const int removed = Remove(made, id);
  if (replaced == Replaced::kRefused && removed != 0) {
    error = removed;
    return Replaced::kFailed;
  }
  return replaced;
}

// Gives the new file `fresh` the old one's owner and group, the image, the old one's extended
// attributes (after the write, which would take away file capabilities), a flush, and the old
// one's permission bits (last, as a write clears set-id bits). kRefused when the user may not
// give the owner, the group or an attribute; kFailed with `error` on any other failure.
ImageFile::Replaced ImageFile::Fill(Handle fresh, std::span<const uint8_t> image, int& error) {
  error = platform::GiveOwner(fresh, found_);
  if (Refused(error)) {
    error = 0;
    return Replaced::kRefused;
  }
  if (error == 0) error = platform::WriteAt(fresh, image, 0);
  if (error != 0) return Replaced::kFailed;
  error = platform::GiveAttributes(file_, fresh);
  if (Refused(error)) {
    error = 0;
    return Replaced::kRefused;
  }
  if (error == 0) error = platform::Flush(fresh);
  if (error == 0) error = platform::GiveMode(fresh, found_);
  if (error != 0) return Replaced::kFailed;
  return Replaced::kPlaced;
}

// Writes the image over the file as it stands. A block device must hold it all. A file must have
// room for it all first; then the part past its old end is written (cut off again if that fails),
// then the rest, the file is cut to the image's length and flushed. Returns 0 or an error; one
// before the write over the old contents leaves them as they were.
int ImageFile::WriteInPlace(std::span<const uint8_t> image) {
  const auto size = static_cast<int64_t>(image.size());
  if (found_.kind == Kind::kBlockDevice) {
    if (found_.size < size) return ENOSPC;
    if (const int error = platform::WriteAt(file_, image, 0); error != 0) return error;
    return platform::Flush(file_);
  }
  if (const int error = MakeRoom(file_, found_, size); error != 0) return error;
  const int64_t over = std::min(found_.size, size);  // the bytes that go over old contents
  const auto tail = image.subspan(static_cast<std::size_t>(over));
  const auto head = image.first(static_cast<std::size_t>(over));
  int error = platform::WriteAt(file_, tail, over);
  if (error == 0) error = platform::WriteAt(file_, head, 0);
  if (error != 0) {
    // The part past the old end is cut off again; should that fail too, the old bytes still lead.
    if (!tail.empty()) platform::SetLength(file_, found_.size);
    return error;
  }
  if (found_.size > size) {
    error = platform::SetLength(file_, size);
    if (error != 0) return error;
  }
  return platform::Flush(file_);
}

// Removes the file at `place` that the run made, if that name still names it (`id`). Returns 0,
// or the error that kept it there, which LeftBehind then reports with its path.
int ImageFile::Remove(const Place& place, const FileId& id) {
  const int error = platform::RemoveIfStill(place, id);
  if (error != 0) LeaveBehind(place, error);
  return error;
}

// Removes the file the run's open made, after a failure for `cause`: the one made under the
// name, or the one at the end of a link, in the folder found for it (else looked for without
// /proc). Returns 0, or the error that kept it; one not identified, or not found, cannot be
// told from another and stays, named by the name that led to it, for `cause`.
int ImageFile::RemoveOwn(int cause) {
  if (plan_ == Plan::kMade) return Remove(name_, found_.id);
  platform::Where where = platform::Where::kFound;
  if (place_.path[0] == 0 && found_.id.known)
    platform::FindTarget(name_, found_.id, place_, where);  // a failure leaves it unfound
  if (place_.path[0] != 0 && found_.id.known) return Remove(place_, found_.id);
  LeaveBehind(name_, cause);
  return cause;
}

// Keeps a file left behind, with the error that kept it, for LeftBehind.
void ImageFile::LeaveBehind(const Place& place, int error) {
  if (left_ == kMostLeft) return;
  left_error_[left_] = error;
  platform::PathOf(place, left_behind_[left_]);
  ++left_;
}

const char* ImageFile::LeftBehind(int n, int& error) const {
  if (n < 0 || n >= left_) return nullptr;
  error = left_error_[n];
  return left_behind_[n];
}

// Holds interruptions, once. Returns 0 or an error, with nothing held.
int ImageFile::Hold() {
  if (held_) return 0;
  const int error = platform::Hold();
  held_ = error == 0;
  return error;
}

// Lets interruptions through if held: one that came meanwhile ends the run. Returns 0 or an error.
int ImageFile::Release() {
  if (!held_) return 0;
  held_ = false;
  return platform::Release();
}

}  // namespace io
