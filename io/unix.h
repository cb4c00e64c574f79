// What files_unix.cc gives the two POSIX mechanisms, Linux's and the portable one, beyond the
// calls of io/platform.h.
#pragma once
#include "io/files.h"
#include "io/platform.h"

namespace io::platform {

// How a folder is opened to find, make and rename files in it: each mechanism's own.
extern const int kFolderFlags;

// Looks for the open file `id` under `path`, a name with or without folders: its folder is
// opened with kFolderFlags and the name in it looked at, not followed. Returns 0 with `where`
// kFound and `place` filled (its folder open); kNotThere when that name does not name the file
// (a link, or a file moved or deleted) or its folder is no more; kNoAccess when the user may
// not open the folder; or an error. `place` is empty unless found.
int FindUnder(const char* path, const FileId& id, Place& place, Where& where);

}  // namespace io::platform
