// The calls each platform gives the image file's policy (io/image_file.cc): each asks the system
// one thing or does one thing with it, and returns 0 or an error for ErrorText. None decides how
// the image is written, and none changes its plan after an error: the policy does both, once.
// Linux: files_unix.cc and files_linux.cc; other POSIX systems (or any, with the build's
// GEN_TARSILP6_POSIX_IO): files_unix.cc and files_posix.cc; Windows: files_win32.cc.
#pragma once
#include <cstdint>
#include <span>

#include "io/files.h"

namespace io::platform {

// Opening the image's name.

// Makes the file at `path`, opens it for writing and identifies it in `found`; EEXIST if any
// name, a link too, stands there. A file made but not identified is removed at once.
int OpenExclusive(const char* path, Handle& file, Found& found);

// Opens `path` for writing as the shell's `>` does, through links, making a file at the end of
// a link to nothing, without truncating it. A blocking FIFO waits for its reader.
int OpenAsShell(const char* path, Handle& file);

// The same, where the open is to make the file at the end of a link to nothing, with
// interruptions held: a FIFO put there meanwhile is not waited for (ENXIO without a reader).
// `file` is open after an error that came once the open was made.
int OpenToMake(const char* path, Handle& file);

// Whether `path` leads to a file, through links: false for a link to nothing. Returns 0 or an
// error (a loop of links, a guard refusing a link).
int LeadsToFile(const char* path, bool& leads);

// What the open `file` is.
int Identify(Handle file, Found& found);

// Where a file stands.

// The place of the name `path` itself, for a file the exclusive open made there.
int PlaceOfName(const char* path, Place& place);

// The answer to where the open file `id` (opened as `path`) stands.
enum class Where : uint8_t {
  kFound,       // in `place`, whose folder may take a new file and a rename
  kNotThere,    // under no name the system gives for it: deleted, or moved meanwhile
  kNoAccess,    // in a folder the user may not open (to list it, where a search needs that)
  kAppendOnly,  // in a folder that takes new files but neither renames nor removes them
  kMountedOn,   // mounted on its name, which no rename may replace
};
// Finds the folder of the open `file`: the name's own when the name is no link, else the one
// the system gives for the open file. Returns 0 with `where`, or an error (too few descriptors,
// no way to ask); `place` is to be let go with LetGoOf either way.
int FindFolder(Handle file, const char* path, const FileId& id, Place& place, Where& where);

// The place of the open file `id` that the name at `name` leads to, every link followed, found
// without /proc: for removing a file the run made at the end of a link, where FindFolder could
// not. Returns 0 with `where`, or an error.
int FindTarget(const Place& name, const FileId& id, Place& place, Where& where);

// The path of `place` as text, to name a file left behind.
void PathOf(const Place& place, char (&text)[kPathMax]);

// A new file beside another, and what it is given.

// Makes and opens a new file, readable by its owner only, under a name of its own beside
// `beside`: `made` holds its place and `id` its identity.
int MakeFileBeside(const Place& beside, Place& made, Handle& file, FileId& id);

// Gives `file` the owner and group in `old`, unless it has them (EPERM: the user may not).
int GiveOwner(Handle file, const Found& old);

// Gives `to` the extended attributes of `from` (its ACL too), and takes away those it has that
// `from` lacks (inherited from a default ACL). EPERM or EACCES: the user may not give one.
int GiveAttributes(Handle from, Handle to);

// Gives `file` the permission bits in `old`, unless it has them.
int GiveMode(Handle file, const Found& old);

// Renames the file at `from` over the one at `to`, in one step.
int RenameOver(const Place& from, const Place& to);

// Removes the file at `place` if that name still names `id`; 0 too if nothing is there.
int RemoveIfStill(const Place& place, const FileId& id);

// Writing.

// Waits until no other process writes `file` (a lock the run holds until it lets go of the file),
// where the file system keeps such locks.
int Lock(Handle file);

// Writes all of `bytes` at offset `at` of `file`.
int WriteAt(Handle file, std::span<const uint8_t> bytes, int64_t at);

// Writes all of `bytes` to a stream, where it stands.
int WriteOn(Handle file, std::span<const uint8_t> bytes);

// Sends what was written to `file` to its disk.
int Flush(Handle file);

// Makes `file` `length` bytes long.
int SetLength(Handle file, int64_t length);

// Reserves room for the first `length` bytes of `file` without changing its length or
// contents; `reserved` is false where the file system cannot (no error then).
int Reserve(Handle file, int64_t length, bool& reserved);

// The first hole of `file` at or after `from` and before `end`: its start in `hole` and its end
// in `data`, both `end` if there is none.
int NextHole(Handle file, int64_t from, int64_t end, int64_t& hole, int64_t& data);

// The largest file the run may write, in `limit`: the soft file-size limit, or INT64_MAX.
int FileSizeLimit(int64_t& limit);

// Interruptions: signals whose default action ends the process, or console events.

// Holds them; those held before stay held.
int Hold();

// Lets them through again: one that came meanwhile then ends the run, as it would have.
int Release();

// Whether one came since Hold that will end the run once let through.
int Came(bool& came);

// Letting go.

// Closes `file` (or a place's folder); returns the error the close reported.
int LetGo(Handle& file);
int LetGoOf(Place& place);

}  // namespace io::platform
