// What may stand under the image's name before a run, made in a scratch folder for the rows of
// the data-safety tests, and what they look at afterwards.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/test_files.h"

namespace testing_support {

inline constexpr char kImage[] = "zemra8p6.d88";
extern const Bytes kOldImage;  // 1000 bytes of 0x5A
extern const bool kRoot;
// The build writes files with POSIX calls only, as on macOS and the BSDs.
inline constexpr bool kPortable = GEN_TARSILP6_POSIX_IO;

// "" when `done`, else `why`: what a stand returns after its last step.
std::string Unless(bool done, const char* why);

struct stat Stat(const std::string& path);  // a failure is a test failure
std::string Message(int error);             // "zemra8p6.d88: " and the error's text, a line
std::vector<std::string> Names(const std::string& dir);
Bytes Content(const std::string& path);  // a FIFO or device as "|", as a reader would wait
const Bytes& Fresh();                    // the image of the pattern inputs of 30000 bytes, v1 0

// The folder a run happens in, and another that links may point into.
struct Folders {
  ScratchDir dir;
  ScratchDir elsewhere;
  std::string image() const { return dir / kImage; }
};

// Puts what stands under the name; returns why the row cannot run here, or "".
using Stand = std::function<std::string(Folders&)>;

Stand Old(mode_t mode, long size = 1000);  // an old image, `size` bytes with bits `mode`
std::string Nothing(Folders&);
Stand Root(const Stand& stand);                       // as root only
Stand Traced(const Stand& stand);                     // where strace can drive the run
Stand LinuxOwn(const char* why, const Stand& stand);  // not with the portable file layer, for `why`
std::string OldWithAclAndAttribute(Folders& f);       // and a default ACL on its folder
std::string OldUnderDefaultAcl(Folders& f);           // without an ACL itself
Stand Linked(long size = 1000);                       // an old image with a second hard link
Stand LinkElsewhere(const std::string& name, bool exists);  // to an old image, or nothing

// Makes the file at `path` `size` bytes long: a hole past its old end, but for 1000 bytes at its
// end. False if that fails, or the file system filled the hole.
bool MakeSparse(const std::string& path, long size);

}  // namespace testing_support
