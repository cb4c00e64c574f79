// What files_unix.cc gives the two POSIX mechanisms, Linux's and the portable one, beyond the
// calls of io/platform.h.
#pragma once
#include "io/files.h"
#include "io/platform.h"

namespace io::platform {

// Looks for the open file `id` under `path`, a name with or without folders: its folder is
// opened with `folder_flags` and the name in it looked at, not followed. Returns 0 with `where`
// kFound and `place` filled (its folder open), or kGone when that name does not name the file or
// its folder is no more; or an error, `place` then empty.
int FindUnder(const char* path, const FileId& id, int folder_flags, Place& place, Where& where);

}  // namespace io::platform
