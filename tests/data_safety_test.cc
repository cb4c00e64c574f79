// No run may lose data or widen access: an existing image is replaced in one
// step when a new file can carry everything it had, written in place
// otherwise, and left whole by every failure and interruption; an input is
// never written over, and a failed read never puts an image in place. Each
// test checks the whole folder afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "io/files.h"
#include "tests/d88_reader.h"
#include "tests/test_files.h"

namespace testing_support {
namespace {

constexpr char kImage[] = "zemra8p6.d88";
const Bytes kOldImage(1000, 0x5A);
const bool kRoot = geteuid() == 0;
const bool kEmulated = std::strlen(GEN_TARSILP6_EMULATOR) > 0;

struct stat Stat(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

std::string Message(const std::string& name, int error) {
  return name + ": " + std::strerror(error) + "\n";
}

std::vector<std::string> Names(const ScratchDir& dir) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : Listing(dir.path())) names.push_back(name);
  return names;
}

// The folder a run happens in, and another that links may point into.
struct Folders {
  ScratchDir dir, elsewhere;
  std::string image() const { return dir / kImage; }
};

// What must stand under the name afterwards.
enum class Outcome {
  kNewFile,    // the new image, in a file that was not there before
  kSameFile,   // the new image, written into the file that stood there
  kUnchanged,  // what stood there, byte for byte and as the same file
};

struct Scenario {
  const char* what;
  // Puts what stands under the name; returns why the row cannot run here, or "".
  std::function<std::string(Folders&)> stand;
  RunOptions options;
  int error;  // errno that the run reports, 0 for a run that succeeds, -N for one signal N ends
  Outcome outcome;
  const char* elsewhere;                       // where the image lands in the other folder, or ""
  std::function<void(Folders&)> check = {};    // what else must hold afterwards, if the row ran
  std::function<void(Folders&)> cleanup = {};  // undoes what `stand` did beyond files; always
};

// What can stand under the name. Each puts it there and returns why the row
// cannot run here, or "".
using Stand = std::function<std::string(Folders&)>;

// An old image, `size` bytes with permission bits `mode`.
Stand Old(mode_t mode, long size = 1000) {
  return [=](Folders& f) {
    WriteFile(f.image(), Bytes(static_cast<size_t>(size), 0x5A));
    return chmod(f.image().c_str(), mode) == 0 ? "" : "chmod failed";
  };
}
std::string Nothing(Folders&) { return ""; }
std::string OldOfAnotherUser(Folders& f) {
  Old(0640)(f);
  if (!kRoot) return "needs root";
  return chown(f.image().c_str(), 4321, 4322) == 0 ? "" : "chown failed";
}
std::string OldWithAclAndAttribute(Folders& f) {
  Old(0640)(f);
  const std::string set = "setfacl -m u:4321:rw " + f.image() + " 2>/dev/null";
  if (setxattr(f.image().c_str(), "user.origin", "disk", 4, 0) != 0 || system(set.c_str()) != 0)
    return "no extended attributes or no setfacl here";
  return "";
}
// An old image without an ACL in a folder whose default ACL gives new files one.
std::string OldUnderDefaultAcl(Folders& f) {
  Old(0600)(f);
  const std::string set = "setfacl -d -m u:4321:rw " + f.dir.path() + " 2>/dev/null";
  return system(set.c_str()) == 0 ? "" : "no setfacl here";
}
// An old image, `size` bytes long, with a second hard link.
Stand Linked(long size = 1000) {
  return [=](Folders& f) {
    Old(0644, size)(f);
    return link(f.image().c_str(), (f.dir / "other.d88").c_str()) == 0 ? "" : "link failed";
  };
}
// A symbolic link to `name` in the other folder, an old image or nothing.
Stand LinkElsewhere(const std::string& name, bool exists) {
  return [=](Folders& f) {
    if (exists) WriteFile(f.elsewhere / name, kOldImage);
    return symlink((f.elsewhere / name).c_str(), f.image().c_str()) == 0 ? "" : "symlink failed";
  };
}
// A link to a chain of two links in the other folder, each relative to that
// folder and so long that their texts together pass 4 KiB, then an old image.
std::string LongRelativeChain(Folders& f) {
  std::string detour;
  while (detour.size() < 3000) detour += "x/../";
  WriteFile(f.elsewhere / "disk.d88", kOldImage);
  return mkdir((f.elsewhere / "x").c_str(), 0755) == 0 &&
                 symlink((detour + "disk.d88").c_str(), (f.elsewhere / "link2").c_str()) == 0 &&
                 symlink((detour + "link2").c_str(), (f.elsewhere / "link1").c_str()) == 0 &&
                 symlink((f.elsewhere / "link1").c_str(), f.image().c_str()) == 0
             ? ""
             : "cannot make the links";
}
// A link that reads as a name which is not the file it opens: /proc's link to
// a file whose name is gone (it keeps another), as /dev/stdout is when
// standard output was such a file.
int g_deleted_fd = -1;
std::string LinkToDeletedFile(Folders& f) {
  g_deleted_fd = open((f.elsewhere / "gone.d88").c_str(), O_RDWR | O_CREAT, 0644);
  link((f.elsewhere / "gone.d88").c_str(), (f.elsewhere / "kept.d88").c_str());
  unlink((f.elsewhere / "gone.d88").c_str());
  const std::string proc =
      "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(g_deleted_fd);
  return symlink(proc.c_str(), f.image().c_str()) == 0 ? "" : "symlink failed";
}
// A device that discards what is written: one of the test's own for root,
// so that a run that wrongly replaced it would not replace the system's.
std::string Device(Folders& f) {
  const std::string own = f.elsewhere / "null";
  const bool made = kRoot && mknod(own.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  return symlink(made ? own.c_str() : "/dev/null", f.image().c_str()) == 0 ? "" : "symlink failed";
}
// A loop block device of 100 KiB, too small for the image.
std::string g_loop;
std::string SmallBlockDevice(Folders& f) {
  if (!kRoot) return "needs root for a loop device";
  WriteFile(f.elsewhere / "device", Bytes(100 * 1024, 0x5A));
  FILE* p = popen(("losetup -f --show " + f.elsewhere / "device" + " 2>/dev/null").c_str(), "r");
  char name[64] = {};
  if (p == nullptr || std::fgets(name, sizeof name, p) == nullptr) name[0] = '\0';
  if (p != nullptr) pclose(p);
  g_loop.assign(name, std::strcspn(name, "\n"));
  return !g_loop.empty() && symlink(g_loop.c_str(), f.image().c_str()) == 0 ? "" : "no loop device";
}
void DetachLoop(Folders&) {
  if (!g_loop.empty()) system(("losetup -d " + g_loop).c_str());
  g_loop.clear();
}
// Sets or clears a flag of the folder (immutable, append-only), as root.
std::string FolderFlag(Folders& f, int flag, bool on) {
  const int fd = open(f.dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  int flags = 0;
  const bool ok =
      kRoot && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
      (flags = on ? flags | flag : flags & ~flag, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  close(fd);
  return ok ? "" : "needs root and a file system with folder flags";
}
// A folder that takes no new file: immutable for root, not writable for others.
std::string OldInUnwritableFolder(Folders& f) {
  Old(0644)(f);
  if (!kRoot) return chmod(f.dir.path().c_str(), 0555) == 0 ? "" : "chmod failed";
  return FolderFlag(f, FS_IMMUTABLE_FL, true);
}
void FolderWritableAgain(Folders& f) {
  if (kRoot) FolderFlag(f, FS_IMMUTABLE_FL, false);
  chmod(f.dir.path().c_str(), 0755);
}
// A folder that takes new files but lets none be renamed or removed.
std::string OldInAppendOnlyFolder(Folders& f) {
  Old(0644)(f);
  return FolderFlag(f, FS_APPEND_FL, true);
}
// An old image `disk.d88` of `size` bytes on a file system of `kind` mounted
// on the other folder (tmpfs of 300 KiB and ext2 of `blocks` KiB, with room
// for less than the image), with a second hard link when `linked`, and the
// image's name a link to it. ext2 reserves no room ahead; ramfs has no size.
Stand OnOwnDisk(const std::string& kind, bool linked, long size = 1000, int blocks = 300) {
  return [=](Folders& f) -> std::string {
    if (!kRoot) return "needs root to mount";
    const std::string at = f.elsewhere.path(), disk = f.elsewhere / "disk.ext2";
    const std::string ext2 = "mke2fs -q -F -t ext2 -b 1024 " + disk + " " + std::to_string(blocks) +
                             " >/dev/null 2>&1 && mount -o loop " + disk + " " + at +
                             " 2>/dev/null";
    if (kind == "ext2" ? std::system(ext2.c_str()) != 0
                       : mount(kind.c_str(), at.c_str(), kind.c_str(), 0, "size=300k") != 0)
      return "cannot mount " + kind + " here";
    WriteFile(f.elsewhere / "disk.d88", Bytes(static_cast<std::size_t>(size), 0x5A));
    if (linked) link((f.elsewhere / "disk.d88").c_str(), (f.elsewhere / "other.d88").c_str());
    return symlink((f.elsewhere / "disk.d88").c_str(), f.image().c_str()) == 0 ? "" : "symlink";
  };
}
void Unmount(Folders& f) { umount2(f.elsewhere.path().c_str(), MNT_DETACH); }
// A chain of as many symbolic links as the system follows.
std::string LongLinkChain(Folders& f) {
  WriteFile(f.elsewhere / "disk.d88", kOldImage);
  std::string next = f.elsewhere / "disk.d88";
  for (int i = 1; i < 40; ++i) {
    const std::string link = f.elsewhere / ("link" + std::to_string(i));
    if (symlink(next.c_str(), link.c_str()) != 0) return "symlink failed";
    next = link;
  }
  return symlink(next.c_str(), f.image().c_str()) == 0 ? "" : "symlink failed";
}
// An image of `uid`:`gid` with bits `mode` (none when `mode` is 0, another
// hard link when `linked`) in a folder of root:`gid` with bits `folder`, for
// a run as another user.
Stand Shared(uid_t uid, gid_t gid, mode_t mode, mode_t folder, bool linked = false) {
  return [=](Folders& f) {
    if (!kRoot) return "needs root to run the tool as another user";
    if (mode != 0) Old(0600)(f);
    if (linked) link(f.image().c_str(), (f.dir / "other.d88").c_str());
    // The owner first, since a change of owner clears the set-id bits.
    return (mode == 0 ||
            (chown(f.image().c_str(), uid, gid) == 0 && chmod(f.image().c_str(), mode) == 0)) &&
                   chown(f.dir.path().c_str(), 0, gid) == 0 &&
                   chmod(f.dir.path().c_str(), folder) == 0
               ? ""
               : "cannot share the folder";
  };
}
// A user's own file that it may write but not read, with a user attribute.
std::string WriteOnlyWithAttribute(Folders& f) {
  const std::string why = Shared(65534, 65534, 0200, 0777)(f);
  if (!why.empty()) return why;
  return setxattr(f.image().c_str(), "user.origin", "disk", 4, 0) == 0 ? "" : "no user attributes";
}
// A row that strace must drive.
Stand Traced(const Stand& stand) {
  return [=](Folders& f) { return NoStrace().empty() ? stand(f) : NoStrace(); };
}
std::string MountedOver(Folders& f) {
  Old(0644)(f);
  WriteFile(f.elsewhere / "disk.d88", kOldImage);
  return mount((f.elsewhere / "disk.d88").c_str(), f.image().c_str(), nullptr, MS_BIND, nullptr) ==
                 0
             ? ""
             : "cannot bind-mount here";
}
std::string NotEmulated(Folders&) { return kEmulated ? "the emulator needs a larger stack" : ""; }

void ModeIs(const std::string& path, mode_t mode) { EXPECT_EQ(Stat(path).st_mode & 07777, mode); }
void OwnerIs(const std::string& path, uid_t uid, gid_t gid) {
  EXPECT_EQ(Stat(path).st_uid, uid);
  EXPECT_EQ(Stat(path).st_gid, gid);
}
void AclAndAttributeKept(Folders& f) {
  char value[8] = {};
  EXPECT_EQ(getxattr(f.image().c_str(), "user.origin", value, sizeof value), 4);
  EXPECT_STREQ(value, "disk");
  const std::string acl = "getfacl -cp " + f.image() + " | grep -qx user:4321:rw-";
  EXPECT_EQ(system(acl.c_str()), 0);
  ModeIs(f.image(), 0660);  // the group bits show the ACL's mask
}

const std::string kLongName(250, 'd');  // ".NAME.XXXXXX" beside it would not fit in 255
const RunOptions kOtherUser = {.user = 65534};
constexpr auto kNew = Outcome::kNewFile, kSame = Outcome::kSameFile, kKept = Outcome::kUnchanged;

// clang-format off
const Scenario kScenarios[] = {
    {"nothing there: made with 0666 less the umask",
     Nothing, {.umask = 027}, 0, kNew, "", [](Folders& f) { ModeIs(f.image(), 0640); }},
    {"nothing there, under umask 000",
     Nothing, {.umask = 0}, 0, kNew, "", [](Folders& f) { ModeIs(f.image(), 0666); }},
    {"a regular file: replaced, its bits kept",
     Old(0604), {.umask = 022}, 0, kNew, "", [](Folders& f) { ModeIs(f.image(), 0604); }},
    {"a regular file that its group may write, with set-group-id, under umask 077",
     Old(02660), {.umask = 077}, 0, kNew, "", [](Folders& f) { ModeIs(f.image(), 02660); }},
    {"another user's file, replaced by root: its owner kept",
     OldOfAnotherUser, {}, 0, kNew, "", [](Folders& f) { OwnerIs(f.image(), 4321, 4322); }},
    {"a file with an ACL and a user attribute: both kept",
     OldWithAclAndAttribute, {}, 0, kNew, "", AclAndAttributeKept},
    {"a file without an ACL, in a folder with a default ACL: still without one",
     OldUnderDefaultAcl, {}, 0, kNew, "",
     [](Folders& f) {
       ModeIs(f.image(), 0600);
       EXPECT_NE(system(("getfacl -cp " + f.image() + " | grep -q 4321").c_str()), 0);
     }},
    {"a file with a second hard link: written in place, seen through both",
     Linked(), {}, 0, kSame, "",
     [](Folders& f) { EXPECT_EQ(ReadFile(f.dir / "other.d88"), ReadFile(f.image())); }},
    {"a longer file with a second hard link: cut to the image's length",
     Linked(400'000), {}, 0, kSame, ""},
    {"a link to a file elsewhere: that file replaced, the link kept",
     LinkElsewhere("disk.d88", true), {}, 0, kNew, "disk.d88"},
    {"a dangling link: its target made",
     LinkElsewhere("disk.d88", false), {}, 0, kNew, "disk.d88"},
    {"a link to a file whose name is 250 characters long",
     LinkElsewhere(kLongName, true), {}, 0, kNew, kLongName.c_str()},
    {"a chain of links relative to their folder, their texts together past 4 KiB: its end replaced",
     LongRelativeChain, {}, 0, kNew, "disk.d88"},
    {"a link into /proc to a deleted file: written through the link, nothing made",
     LinkToDeletedFile, {}, 0, kSame, "", {}, [](Folders&) { close(g_deleted_fd); }},
    {"a link to itself: refused with its reason",
     [](Folders& f) { return symlink(kImage, f.image().c_str()) == 0 ? "" : "symlink failed"; },
     {}, ELOOP, kKept, ""},
    {"a link into a folder that does not exist: refused with its reason",
     LinkElsewhere("missing/disk.d88", false), {}, ENOENT, kKept, ""},
    {"a device",
     Device, {}, 0, kKept, ""},
    {"a block device smaller than the image: refused before any byte",
     SmallBlockDevice, {}, ENOSPC, kKept, "", {}, DetachLoop},
    {"a folder that takes no new file: written in place",
     OldInUnwritableFolder, {}, 0, kSame, "", {}, FolderWritableAgain},
    {"a folder that is append-only: written in place, no new file left",
     OldInAppendOnlyFolder, {}, 0, kSame, "", {},
     [](Folders& f) { FolderFlag(f, FS_APPEND_FL, false); }},
    {"an append-only folder with nothing there: made in place, with 0666 less the umask",
     [](Folders& f) { return FolderFlag(f, FS_APPEND_FL, true); }, {.umask = 022}, 0, kNew, "",
     [](Folders& f) { ModeIs(f.image(), 0644); }, [](Folders& f) { FolderFlag(f, FS_APPEND_FL, false); }},
    {"a folder the user may write and search but not list: the image made there",
     Shared(65534, 0, 0, 0733), kOtherUser, 0, kNew, "",
     [](Folders& f) { OwnerIs(f.image(), 65534, 65534); }},
    {"a file with a second hard link on a disk without room for the image: refused before any byte",
     OnOwnDisk("tmpfs", true), {}, ENOSPC, kKept, "disk.d88", {}, Unmount},
    {"the same where the file system reserves no room ahead (ext2): refused before any byte",
     OnOwnDisk("ext2", true), {}, ENOSPC, kKept, "disk.d88", {}, Unmount},
    {"the same but a longer file, which has the room already (ext2): written in place",
     OnOwnDisk("ext2", true, 400'000, 600), {}, 0, kSame, "disk.d88", {}, Unmount},
    {"the same where the file system reports no size (ramfs): written in place",
     OnOwnDisk("ramfs", true), {}, 0, kSame, "disk.d88", {}, Unmount},
    {"a file on a disk without room for the new image: refused, the old one kept",
     OnOwnDisk("tmpfs", false), {}, ENOSPC, kKept, "disk.d88", {}, Unmount},
    {"a chain of 40 links: the file at its end replaced",
     LongLinkChain, {}, 0, kNew, "disk.d88"},
    {"another user's file in a sticky folder: written in place, its owner kept",
     Shared(0, 0, 0666, 01777), kOtherUser, 0, kSame, "",
     [](Folders& f) { OwnerIs(f.image(), 0, 0); }},
    {"a group's set-group-id file, by a member who may not give its owner: written in place",
     Shared(2001, 3000, 02775, 0775), {.user = 2002, .groups = {3000}},
     0, kSame, "", [](Folders& f) { OwnerIs(f.image(), 2001, 3000); }},
    {"a group's file, by its owner, who may give the group: replaced",
     Shared(2001, 3000, 0664, 0775), {.user = 2001, .groups = {3000}},
     0, kNew, "", [](Folders& f) { OwnerIs(f.image(), 2001, 3000); ModeIs(f.image(), 0664); }},
    {"a user's own set-user-id file with a second hard link: written in place, set-user-id given back",
     Shared(65534, 65534, 04755, 0777, true), kOtherUser, 0, kSame, "",
     [](Folders& f) { ModeIs(f.image(), 04755); }},
    // Written in place, since a new file cannot take the bit; the system
    // clears it in place too, since Linux 6.2.
    {"a set-group-id file of a group its owner is not in, in a set-group-id folder: in place",
     Shared(2001, 3001, 02664, 02777), {.user = 2001, .groups = {3000}}, 0, kSame, ""},
    {"a file mounted over the name: written in place",
     MountedOver, {}, 0, kSame, "",
     [](Folders& f) { umount2(f.image().c_str(), MNT_DETACH); EXPECT_EQ(ReadFile(f.image()), kOldImage); },
     [](Folders& f) { umount2(f.image().c_str(), MNT_DETACH); }},
    {"a user's own file that it may not write: refused",
     Shared(65534, 65534, 0444, 0777), kOtherUser, EACCES, kKept, ""},
    {"a user's own file that it may write but not read, with a user attribute: in place, kept",
     WriteOnlyWithAttribute, kOtherUser, 0, kSame, "",
     [](Folders& f) { EXPECT_EQ(getxattr(f.image().c_str(), "user.origin", nullptr, 0), 4); }},
    {"a file-size limit below the image: refused",
     Old(0644), {.file_size_limit = 100'000}, EFBIG, kKept, ""},
    {"a file-size limit, nothing there: refused",
     Nothing, {.file_size_limit = 100'000}, EFBIG, kKept, ""},
    {"a device under a file-size limit, which bears on files only: written",
     Device, {.file_size_limit = 100'000}, 0, kKept, ""},
    {"a file-size limit of the image's size exactly",
     Old(0644), {.file_size_limit = 348'848}, 0, kNew, ""},
    {"a file-size limit, a file to write in place: refused before any byte",
     Linked(), {.file_size_limit = 100'000}, EFBIG, kKept, ""},
    {"a stack of 96 KiB",
     NotEmulated, {.stack_limit = 96 * 1024}, 0, kNew, ""},
    // Signals that come while the new file exists remove it, and then end the run.
    {"SIGTERM while the new file is flushed",
     Traced(Old(0644)), {.inject = "fsync:signal=TERM"}, -SIGTERM, kKept, ""},
    {"SIGABRT from another process while the new file is flushed",
     Traced(Old(0644)), {.inject = "fsync:signal=ABRT"}, -SIGABRT, kKept, ""},
    {"signal 32, one of the two that glibc keeps for itself, while the new file is flushed",
     Traced(Old(0644)), {.inject = "fsync:signal=32"}, -32, kKept, ""},
    {"SIGHUP while the new file is flushed, under nohup: ignored, the image replaced",
     Traced(Old(0644)), {.ignored = SIGHUP, .inject = "fsync:signal=HUP"}, 0, kNew, ""},
    {"SIGTERM and SIGTSTP that the caller holds, pending from the start: left to it, replaced",
     Old(0644), {.pending = {SIGTERM, SIGTSTP}}, 0, kNew, ""},
    {"SIGTERM as a longer file with a second hard link is written: written whole, then the end",
     Traced(Linked(400'000)), {.inject = "write:signal=TERM"}, -SIGTERM, kSame, ""},
    // Calls that fail where no file system here makes them fail.
    {"a flush of the new file that fails: the old image kept",
     Traced(Old(0644)), {.inject = "fsync:error=EIO"}, EIO, kKept, ""},
    {"a flush of a file written in place that fails",
     Traced(Linked()), {.inject = "fsync:error=EIO"}, EIO, kSame, ""},
    {"room that cannot be reserved for a write in place: refused before any byte",
     Traced(Linked()), {.inject = "fallocate:error=EDQUOT"}, EDQUOT, kKept, ""},
    {"a write in place that fails at once: the file as it was",
     Traced(Linked()), {.inject = "write:error=EIO"}, EIO, kKept, ""},
    {"links that cannot be read: refused with the reason",
     Traced(Old(0644)), {.inject = "readlinkat:error=EIO"}, EIO, kKept, ""},
    {"a file system without extended attributes: replaced",
     Traced(Old(0644)), {.inject = "flistxattr:error=EOPNOTSUPP"}, 0, kNew, ""},
    {"the new file's attributes that cannot be listed: written in place",
     Traced(Old(0644)), {.inject = "flistxattr:when=2:error=EIO"}, 0, kSame, ""},
    {"an attribute that cannot be given to the new file: written in place, kept",
     Traced(OldWithAclAndAttribute), {.inject = "fsetxattr:error=EPERM"}, 0, kSame, "",
     AclAndAttributeKept},
    {"an inherited ACL that cannot be taken away: written in place",
     Traced(OldUnderDefaultAcl), {.inject = "fremovexattr:error=EPERM"}, 0, kSame, ""},
    {"set-user-id that cannot be given back after a write in place: reported",
     Traced(Shared(65534, 65534, 04755, 0777, true)), {.user = 65534, .inject = "fchmod:error=EPERM"},
     EPERM, kSame, ""},
    {"a rename that fails with nothing there: nothing made",
     Traced(Nothing), {.inject = "rename,renameat,renameat2:error=ENOSPC"}, ENOSPC, kKept, ""},
};
// clang-format on

TEST(DataSafety, WhatStandsUnderTheNameDecidesHowTheImageIsWritten) {
  Bytes fresh;  // the image that a run in a plain folder writes
  {
    ScratchDir plain;
    WritePatternInputs(plain, "v1", 30000);
    ASSERT_EQ(RunTool(plain, {"v1", "0"}).status, 0);
    fresh = ReadFile(plain / kImage);
  }
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.what);
    Folders f;
    WritePatternInputs(f.dir, "v1", 30000);
    if (const std::string skip = s.stand(f); !skip.empty()) {
      std::printf("not run here: %s: %s\n", s.what, skip.c_str());
      if (s.cleanup) s.cleanup(f);
      continue;
    }
    const std::string at = *s.elsewhere ? f.elsewhere / s.elsewhere : f.image();
    struct stat before = {}, after = {};
    const bool existed = stat(at.c_str(), &before) == 0;
    const Bytes old = ReadFile(at);
    auto names = Names(f.dir), names_elsewhere = Names(f.elsewhere);
    RunOptions options = s.options;
    if (options.user >= 0) options.binary = ToolForAnyUser();
    const RunResult r = RunTool(f.dir, {"v1", "0"}, options);
    const bool exists = stat(at.c_str(), &after) == 0;
    EXPECT_EQ(r.status, s.error < 0 ? -1 : s.error == 0 ? 0 : 1);
    EXPECT_EQ(r.signal, s.error < 0 ? -s.error : 0);
    EXPECT_EQ(r.err, s.error <= 0 ? "" : Message(kImage, s.error));
    EXPECT_EQ(ReadFile(at), s.outcome == Outcome::kUnchanged ? old : fresh);
    EXPECT_EQ(exists, existed || s.outcome != Outcome::kUnchanged);
    if (existed && exists) {
      EXPECT_EQ(before.st_ino == after.st_ino, s.outcome != Outcome::kNewFile);
    }
    // Nothing else is made, in either folder: no new file is left behind.
    if (!existed && exists)
      (*s.elsewhere ? names_elsewhere : names).push_back(at.substr(at.rfind('/') + 1));
    std::sort(names.begin(), names.end());
    std::sort(names_elsewhere.begin(), names_elsewhere.end());
    EXPECT_EQ(Names(f.dir), names);
    EXPECT_EQ(Names(f.elsewhere), names_elsewhere);
    if (s.check) s.check(f);
    if (s.cleanup) s.cleanup(f);
  }
}

TEST(DataSafety, ImageThatIsAnInputIsRefused) {
  struct Case {
    bool symbolic;
    std::string input;
  };
  for (const Case& c : {Case{true, "data1.bin"}, Case{false, "ipl2_v1.bin"},
                        Case{true, "./zemra80_org_v1.bin"}, Case{false, "data9.bin"}}) {
    ScratchDir dir;
    WritePatternInputs(dir, "v1", 30000);
    const std::string image = dir / kImage, input = c.input;
    ASSERT_EQ(c.symbolic ? symlink(input.c_str(), image.c_str())
                         : link((dir / input).c_str(), image.c_str()),
              0);
    const auto before = Listing(dir.path());
    const RunResult r = RunTool(dir, {"v1", "0"});
    EXPECT_EQ(r.status, 1);
    const std::string name = input.substr(input.rfind('/') + 1);
    EXPECT_EQ(r.err, std::string(kImage) + ": same file as input " + name + "\n");
    EXPECT_EQ(Listing(dir.path()), before) << input;
  }
}

// The run is held waiting on a FIFO input that has had too few bytes.
TEST(DataSafety, RunEndedBySignalWhileReadingLeavesEverythingAsItWas) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGKILL}) {
    ScratchDir dir;
    WritePatternInputs(dir, "v1", 30000);
    WriteFile(dir / kImage, kOldImage);
    unlink((dir / "data5.bin").c_str());
    ASSERT_EQ(mkfifo((dir / "data5.bin").c_str(), 0600), 0);
    const auto before = Listing(dir.path());
    ToolRun run(dir, {"v1", "0"});
    const int writer = open((dir / "data5.bin").c_str(), O_WRONLY);  // waits for the run
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "short", 5), 5);
    kill(run.pid(), sig);
    const RunResult r = run.Finish();
    close(writer);
    EXPECT_EQ(r.signal, sig);
    EXPECT_EQ(Listing(dir.path()), before) << strsignal(sig);
  }
}

// The name of the new file beside the image while it exists, or "".
std::string NewFileIn(const ScratchDir& dir) {
  for (const std::string& name : Names(dir))
    if (name.rfind(".zemra8p6.d88.", 0) == 0) return dir / name;
  return "";
}

// Whether strace has seen the tool stopped, waiting for it up to 30 s.
bool Stopped(const ToolRun& run) {
  for (int waited = 0; waited < 30'000; waited += 5, usleep(5000))
    if (run.Trace().find("--- stopped by SIGSTOP ---") != std::string::npos) return true;
  return false;
}

// strace stops the run as it leaves a call; the test looks or acts, and the
// run goes on.
TEST(DataSafety, WhatHappensWhileTheRunIsStopped) {
  if (const std::string why = NoStrace(); !why.empty()) GTEST_SKIP() << why;
  struct Case {
    const char* what;
    const char* at;  // the call
    void (*act)(const ScratchDir&, const std::string& new_file);
    int error;
    bool replaced;
  };
  // clang-format off
  const Case cases[] = {
      {"the new file's flush: only its owner may read the new file, though all may read the old",
       "fsync", [](const ScratchDir&, const std::string& new_file) { ModeIs(new_file, 0600); },
       0, true},
      {"the flush, another file put under the new file's name: refused, nothing put in place",
       "fsync", [](const ScratchDir& d, const std::string& new_file) {
         rename(new_file.c_str(), (d / "taken").c_str());
         WriteFile(new_file, kOldImage);
       }, EAGAIN, false},
      {"the first look at the name's links, another file renamed over the image: that file looked at afresh and replaced",
       "readlinkat", [](const ScratchDir& d, const std::string&) {
         WriteFile(d / "other", Bytes(10, 0x22));
         rename((d / "other").c_str(), (d / kImage).c_str());
       }, 0, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    ScratchDir dir;
    WritePatternInputs(dir, "v1", 30000);
    WriteFile(dir / kImage, kOldImage);
    ASSERT_EQ(chmod((dir / kImage).c_str(), 0644), 0);
    ToolRun run(dir, {"v1", "0"}, {.umask = 0, .inject = std::string(c.at) + ":signal=STOP"});
    ASSERT_TRUE(Stopped(run)) << c.what;
    const std::string new_file = NewFileIn(dir);
    c.act(dir, new_file);
    kill(-run.pid(), SIGCONT);  // strace and the tool
    const RunResult r = run.Finish();
    EXPECT_EQ(r.err, c.error != 0 ? Message(kImage, c.error) : "") << c.what;
    EXPECT_EQ(ReadFile(dir / kImage).size() == 348'848, c.replaced) << c.what;
    EXPECT_TRUE(new_file.empty() || Exists(new_file) != c.replaced) << c.what;  // another's kept
    ModeIs(dir / kImage, 0644);
  }
}

// What comes under the name between the look and the write, in the same
// process, is written over only when it is like the new image in owner,
// group, bits and size (another run's image); the file looked at stays where
// it went. Old and new images are 0644 here, new ones 2000 bytes.
TEST(DataSafety, WhatComesUnderTheNameAfterTheLookIsLeftAlone) {
  const Bytes kNewImage(2000, 0x11), kOther(10, 0x22), kOther2000(2000, 0x22);
  const std::string kLongBase(250, 'n');  // ".NAME.XXXXXX" is cut to fit beside it
  // Moves the image aside, if `aside`, and puts another file with `mode`,
  // `size` bytes and, given, owner `uid` and group `gid` under its name.
  const auto other = [&](bool aside, mode_t mode, std::size_t size = 10, int uid = -1,
                         int gid = -1) {
    return [=](const ScratchDir& d) {
      if (aside) rename((d / kImage).c_str(), (d / "aside").c_str());
      WriteFile(d / kImage, Bytes(size, 0x22));
      if (chown((d / kImage).c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0)
        ADD_FAILURE() << "chown";
      chmod((d / kImage).c_str(), mode);
    };
  };
  struct Case {
    const char* what;
    std::string name;
    bool old;  // an old image stands there at the look
    std::function<void(const ScratchDir&)> between;
    int error;
    std::map<std::string, Bytes> after;
    bool root = false;  // needs root to give a file away
  };
  // clang-format off
  const Case cases[] = {
      {"the image moved aside and a file with other bits put under its name", kImage, true,
       other(true, 0640), EAGAIN, {{kImage, kOther}, {"aside", kOldImage}}},
      {"the image moved aside, nothing put back", kImage, true,
       [](const ScratchDir& d) { rename((d / kImage).c_str(), (d / "aside").c_str()); },
       EAGAIN, {{"aside", kOldImage}}},
      {"the image moved aside and a link to it put under its name", kImage, true,
       [](const ScratchDir& d) { rename((d / kImage).c_str(), (d / "aside").c_str());
                                 symlink("aside", (d / kImage).c_str()); },
       EAGAIN, {{kImage, {'-', '>', ' ', 'a', 's', 'i', 'd', 'e'}}, {"aside", kOldImage}}},
      {"the same with another run's image, its bits alike: replaced", kImage, true,
       other(true, 0644, 2000), 0, {{kImage, kNewImage}, {"aside", kOldImage}}},
      {"the same with a file of another size", kImage, true,
       other(true, 0644), EAGAIN, {{kImage, kOther}, {"aside", kOldImage}}},
      {"the same with a file of other bits", kImage, true,
       other(true, 0640, 2000), EAGAIN, {{kImage, kOther2000}, {"aside", kOldImage}}},
      {"the same with a file of another owner", kImage, true,
       other(true, 0644, 2000, 4321), EAGAIN, {{kImage, kOther2000}, {"aside", kOldImage}}, true},
      {"the same with a file of another group", kImage, true,
       other(true, 0644, 2000, -1, 4322), EAGAIN, {{kImage, kOther2000}, {"aside", kOldImage}},
       true},
      {"the same with a file that has a second link", kImage, true,
       [&](const ScratchDir& d) {
         other(true, 0644, 2000)(d);
         link((d / kImage).c_str(), (d / "x").c_str());
       },
       EAGAIN, {{kImage, kOther2000}, {"x", kOther2000}, {"aside", kOldImage}}},
      {"nothing there at the look, a file with other bits made under the name since", kImage, false,
       other(false, 0600), EAGAIN, {{kImage, kOther}}},
      {"a second hard link made to the image: written in place, seen through both", kImage, true,
       [](const ScratchDir& d) { link((d / kImage).c_str(), (d / "other").c_str()); },
       0, {{kImage, kNewImage}, {"other", kNewImage}}},
      {"a name of 250 characters, nothing there", kLongBase, false,
       [](const ScratchDir&) {}, 0, {{kLongBase, kNewImage}}},
  };
  // clang-format on
  const mode_t mask = umask(022);
  for (const Case& c : cases) {
    if (c.root && !kRoot) continue;
    ScratchDir dir;
    if (c.old) WriteFile(dir / c.name, kOldImage);
    if (c.old) chmod((dir / c.name).c_str(), 0644);
    io::ImageFile image;
    ASSERT_EQ(image.Open((dir / c.name).c_str()), 0) << c.what;
    c.between(dir);
    EXPECT_EQ(image.Put(kNewImage), c.error) << c.what;
    EXPECT_EQ(Listing(dir.path()), c.after) << c.what;
  }
  umask(mask);
}

TEST(DataSafety, ConcurrentRunsEachLeaveAWholeImage) {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 30000);
  ASSERT_EQ(RunTool(dir, {"v1", "0"}).status, 0);
  const Bytes image0 = ReadFile(dir / kImage);
  ASSERT_EQ(RunTool(dir, {"v1", "5"}).status, 0);
  const Bytes image5 = ReadFile(dir / kImage);
  ASSERT_NE(image0, image5);
  for (int round = 0; round < 10; ++round) {
    ToolRun a(dir, {"v1", "0"}), b(dir, {"v1", "5"});
    EXPECT_EQ(a.Finish().status, 0);
    EXPECT_EQ(b.Finish().status, 0);
    const Bytes image = ReadFile(dir / kImage);
    EXPECT_TRUE(image == image0 || image == image5) << "round " << round;
    EXPECT_EQ(Listing(dir.path()).size(), 14u);
  }
}

TEST(DataSafety, EveryFailedReadIsReportedAndNoImageIsPutInPlace) {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 30000);
  WriteFile(dir / kImage, kOldImage);
  for (const char* name : {"data7.bin", "ipl2_v1.bin"}) {
    unlink((dir / name).c_str());
    ASSERT_EQ(symlink("/proc/self/mem", (dir / name).c_str()), 0);  // opens, then EIO
  }
  const auto before = Listing(dir.path());
  const RunResult r = RunTool(dir, {"v1", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, Message("ipl2_v1.bin", EIO) + Message("data7.bin", EIO));
  EXPECT_EQ(Listing(dir.path()), before);
}

// A read that returns some bytes and then fails is an error all the same.
// The input's descriptor, found through /proc, is made to read a socket.
TEST(DataSafety, ReadFailingPartWayIsAnError) {
  ScratchDir dir;
  WriteFile(dir / "input", Bytes(10, 1));
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_EQ(write(pair[1], Bytes(100, 7).data(), 100), 100);
  ASSERT_EQ(write(pair[0], "x", 1), 1);
  close(pair[1]);  // closed with a byte unread: the other end reads 100 bytes, then ECONNRESET
  io::InputFile input;
  ASSERT_EQ(input.Open((dir / "input").c_str()), 0);
  int input_fd = -1;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == dir / "input")
      input_fd = std::stoi(entry.path().filename());
  }
  ASSERT_GE(input_fd, 0);
  ASSERT_EQ(dup2(pair[0], input_fd), input_fd);
  close(pair[0]);
  uint8_t buffer[3584];
  int error = 0;
  EXPECT_EQ(input.Read(buffer, error), 100u);
  EXPECT_EQ(error, ECONNRESET);
}

// Fed in two pieces, the second with more than the run takes: the run asks
// only for what it still lacks.
TEST(DataSafety, FifoInputIsNotAskedForMoreThanTheRunTakes) {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 30000);
  unlink((dir / "data5.bin").c_str());
  ASSERT_EQ(mkfifo((dir / "data5.bin").c_str(), 0600), 0);
  ToolRun run(dir, {"v1", "0"});
  const int writer = open((dir / "data5.bin").c_str(), O_WRONLY);
  const Bytes data5 = PatternFile(8, 5000);
  ASSERT_EQ(write(writer, data5.data(), 1000), 1000);
  usleep(100'000);  // read by then, most likely; either way the image must be right
  ASSERT_EQ(write(writer, data5.data() + 1000, 4000), 4000);
  const RunResult r = run.Finish(10'000);  // the pipe stays open meanwhile
  close(writer);
  EXPECT_EQ(r.status, 0) << r.err << " signal " << r.signal;
  const Bytes image = ReadFile(dir / kImage);
  for (int s = 0; s < 14; ++s) {
    const auto sector = SectorData(image, 13, 3 + s);
    ASSERT_EQ(Bytes(sector.begin(), sector.end()),
              Bytes(data5.begin() + s * 256, data5.begin() + (s + 1) * 256));
  }
}

}  // namespace
}  // namespace testing_support
