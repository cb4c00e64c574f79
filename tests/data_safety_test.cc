// No run may lose data or widen access: the image's name is opened as `>` opens it, under the
// kernel's guards; a regular file with one link is replaced in one step, anything else written in
// place once there is room for it all; a failure or an interruption leaves the old image whole
// and nothing behind, nor removes what the run did not make; an input is never written over, and
// a failed read puts no image in place. Each row checks whole folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "io/files.h"
#include "tests/d88_reader.h"
#include "tests/test_files.h"
#include "tests/what_stands.h"

namespace testing_support {
namespace {

// Checks the permission bits of the file at `path`.
void ModeIs(const std::string& path, mode_t mode) { EXPECT_EQ(Stat(path).st_mode & 07777, mode); }

// Checks the owner and group of the file at `path`.
void OwnerIs(const std::string& path, uid_t uid, gid_t gid) {
  EXPECT_EQ(Stat(path).st_uid, uid);
  EXPECT_EQ(Stat(path).st_gid, gid);
}

// What must stand under the name afterwards: the new image in a file that was not there before,
// the new image in the file that stood there, or what stood there, byte for byte, as that file.
enum class Outcome { kNew, kSame, kKept };
constexpr auto kNew = Outcome::kNew;
constexpr auto kSame = Outcome::kSame;
constexpr auto kKept = Outcome::kKept;

struct Scenario {
  const char* name;  // the row's name, as the test reports it
  const char* what;
  Stand stand;
  RunOptions options;
  int error;  // errno that the run reports, 0 for a run that succeeds, -N for one signal N ends
  Outcome outcome;
  const char* elsewhere = "";                  // where the image lands in the other folder, or ""
  std::function<void(Folders&)> check = {};    // what else must hold afterwards
  std::function<void(Folders&)> cleanup = {};  // undoes what `stand` did beyond files; always
};

// Each stand below puts what its comment says and returns why it cannot here, or "".

// An old image of another user (4321:4322).
std::string OldOfAnotherUser(Folders& f) {
  if (const std::string why = Old(0640)(f); !why.empty()) return why;
  return Unless(chown(f.image().c_str(), 4321, 4322) == 0, "chown failed");
}

// A chain of as many links as the system follows, to an old image.
std::string LongLinkChain(Folders& f) {
  WriteFile(f.elsewhere / "disk.d88", kOldImage);
  std::string next = f.elsewhere / "disk.d88";
  for (int i = 1; i < 40; ++i) {
    const std::string link = f.elsewhere / ("link" + std::to_string(i));
    if (symlink(next.c_str(), link.c_str()) != 0) return "symlink failed";
    next = link;
  }
  return Unless(symlink(next.c_str(), f.image().c_str()) == 0, "symlink failed");
}

// A link to /proc's link to a file whose name is gone (it keeps another): it reads as a name
// that is not the file it opens, as /dev/stdout can. The file stays open in g_deleted_fd.
int g_deleted_fd = -1;
std::string LinkToDeletedFile(Folders& f) {
  g_deleted_fd = open((f.elsewhere / "gone.d88").c_str(), O_RDWR | O_CREAT, 0644);
  const bool kept =
      link((f.elsewhere / "gone.d88").c_str(), (f.elsewhere / "kept.d88").c_str()) == 0;
  const bool gone = unlink((f.elsewhere / "gone.d88").c_str()) == 0;
  const std::string ours =
      "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(g_deleted_fd);
  const bool linked = symlink(ours.c_str(), f.image().c_str()) == 0;
  return Unless(g_deleted_fd >= 0 && kept && gone && linked, "cannot make a deleted file");
}

// A link to a device that discards what is written: the test's own for root, so that a run
// that wrongly replaced it would not replace the system's.
std::string Device(Folders& f) {
  const std::string own = f.elsewhere / "null";
  const bool made = kRoot && mknod(own.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const std::string device = made ? own : "/dev/null";
  return Unless(symlink(device.c_str(), f.image().c_str()) == 0, "symlink failed");
}

// Sets or clears a flag of the folder (immutable, append-only), as root.
std::string FolderFlag(Folders& f, int flag, bool on) {
  const int fd = open(f.dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  int flags = 0;
  bool set = kRoot && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (on) flags |= flag;
  if (!on) flags &= ~flag;
  set = set && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  close(fd);
  return Unless(set, "needs root and a file system with folder flags");
}

// An old image in a folder that takes no new file: immutable for root, not writable for others.
std::string OldInUnwritableFolder(Folders& f) {
  if (const std::string why = Old(0644)(f); !why.empty()) return why;
  if (!kRoot) return Unless(chmod(f.dir.path().c_str(), 0555) == 0, "chmod failed");
  return FolderFlag(f, FS_IMMUTABLE_FL, true);
}

// Undoes OldInUnwritableFolder.
void FolderWritableAgain(Folders& f) {
  if (kRoot) FolderFlag(f, FS_IMMUTABLE_FL, false);
  chmod(f.dir.path().c_str(), 0755);
}

// Undoes an append-only folder.
void NotAppendOnly(Folders& f) { FolderFlag(f, FS_APPEND_FL, false); }

// An old image `disk.d88` of `size` bytes on a file system of `kind` mounted on the other
// folder (tmpfs of 300 KiB, ext2 of `blocks` KiB, which cannot reserve room ahead, FAT through
// FUSE), with a second hard link when `linked`, and the image's name a link to it. A `sparse`
// one holds its 1000 bytes at its start and end, and a hole between.
Stand OnOwnDisk(const std::string& kind, bool linked, long size = 1000, int blocks = 300,
                bool sparse = false) {
  return [=](Folders& f) -> std::string {
    if (!kRoot) return "needs root to mount";
    const std::string at = f.elsewhere.path();
    const std::string disk = f.dir / "disk.img";
    std::string made = "truncate -s 2M " + disk + " && mkfs.vfat " + disk + " && fusefat -o rw+ " +
                       disk + " " + at;
    if (kind == "ext2")
      made = "mke2fs -q -F -t ext2 -b 1024 " + disk + " " + std::to_string(blocks) +
             " && mount -o loop " + disk + " " + at;
    bool mounted = false;
    if (kind == "tmpfs" || kind == "ramfs")
      mounted = mount(kind.c_str(), at.c_str(), kind.c_str(), 0, "size=300k") == 0;
    else
      mounted = std::system(("(" + made + ") >/dev/null 2>&1").c_str()) == 0;
    if (!mounted) return "cannot mount " + kind + " here";
    unlink(disk.c_str());  // the mount keeps it
    const std::string old = f.elsewhere / "disk.d88";
    const long written = sparse ? 1000 : size;
    WriteFile(old, Bytes(static_cast<std::size_t>(written), 0x5A));
    if (sparse && !MakeSparse(old, size)) return "cannot make a sparse file";
    if (linked && link(old.c_str(), (f.elsewhere / "other.d88").c_str()) != 0) return "link failed";
    return Unless(symlink(old.c_str(), f.image().c_str()) == 0, "symlink failed");
  };
}

// Undoes OnOwnDisk.
void Unmount(Folders& f) { umount2(f.elsewhere.path().c_str(), MNT_DETACH); }

// An image of `uid`:`gid` with bits `mode` (none when `mode` is 0, another hard link when
// `linked`) in a folder of root:`gid` with bits `folder`, for a run as another user.
Stand Shared(uid_t uid, gid_t gid, mode_t mode, mode_t folder, bool linked = false) {
  return Root([=](Folders& f) {
    bool shared = true;
    if (mode != 0) shared = Old(0600)(f).empty();
    if (linked) shared = shared && link(f.image().c_str(), (f.dir / "other.d88").c_str()) == 0;
    if (mode != 0) {
      shared = shared && chown(f.image().c_str(), uid, gid) == 0;
      shared = shared && chmod(f.image().c_str(), mode) == 0;
    }
    shared = shared && chown(f.dir.path().c_str(), 0, gid) == 0;
    shared = shared && chmod(f.dir.path().c_str(), folder) == 0;
    return Unless(shared, "cannot share the folder");
  });
}

// A user's own file that it may not read, with a user attribute.
std::string WriteOnlyWithAttribute(Folders& f) {
  if (const std::string why = Shared(65534, 65534, 0200, 0777)(f); !why.empty()) return why;
  return Unless(setxattr(f.image().c_str(), "user.origin", "disk", 4, 0) == 0,
                "no user attributes");
}

// A file of the other folder bound onto the image's name, as a container's volume is.
std::string MountedOver(Folders& f) {
  if (const std::string why = Old(0644)(f); !why.empty()) return why;
  const std::string disk = f.elsewhere / "disk.d88";
  WriteFile(disk, Bytes(2000, 0x33));
  return Unless(mount(disk.c_str(), f.image().c_str(), nullptr, MS_BIND, nullptr) == 0, "no bind");
}

// The same with a file of another disk (a tmpfs on the other folder).
std::string MountedOverFromOtherDisk(Folders& f) {
  if (mount("tmpfs", f.elsewhere.path().c_str(), "tmpfs", 0, "size=1m") != 0) return "no tmpfs";
  return MountedOver(f);
}

// Undoes MountedOver.
void Unbind(Folders& f) { umount2(f.image().c_str(), MNT_DETACH); }

// A file with a second hard link that ends in a hole, far shorter than the image.
std::string LinkedEndingInAHole(Folders& f) {
  if (const std::string why = Linked()(f); !why.empty()) return why;
  return Unless(truncate(f.image().c_str(), 200'000) == 0, "truncate failed");
}

// What `stand` puts, for a run where /proc is not mounted: as root, and not under the
// sanitizers, which need it.
Stand WithoutProc(const Stand& stand) {
  return LinuxOwn("the portable file layer needs no /proc", Root([=](Folders& f) {
                    if (std::strlen(GEN_TARSILP6_SANITIZERS))
                      return std::string("the sanitizers need /proc");
                    return stand(f);
                  }));
}

// A file capability, as setcap gives one: CAP_NET_BIND_SERVICE (10) permitted and effective.
constexpr char kCapability[] = "security.capability";
const Bytes kNetBindService = {0x01, 0, 0, 0x02, 0x00, 0x04, 0, 0, 0, 0,
                               0,    0, 0, 0,    0,    0,    0, 0, 0, 0};

// An old image with that capability.
std::string OldWithCapability(Folders& f) {
  if (const std::string why = Old(0644)(f); !why.empty()) return why;
  const int set =
      setxattr(f.image().c_str(), kCapability, kNetBindService.data(), kNetBindService.size(), 0);
  return Unless(set == 0, "cannot give a file capability here");
}

// A kernel guard for sticky folders on (1) for the row, as root, and what another user (4321)
// planted in the world-writable sticky folder: `planted` makes it under the image's name.
std::string g_guard;
std::string g_guard_was;
Stand Planted(const std::string& guard, const std::function<int(const std::string&)>& planted) {
  return Root([=](Folders& f) -> std::string {
    g_guard = "/proc/sys/fs/" + guard;
    std::ifstream(g_guard) >> g_guard_was;
    if (!(std::ofstream(g_guard) << "1")) return "cannot set " + g_guard;
    const bool planted_there = planted(f.image()) == 0;
    return Unless(planted_there && lchown(f.image().c_str(), 4321, 4321) == 0 &&
                      chmod(f.dir.path().c_str(), 01777) == 0,
                  "cannot plant");
  });
}

// Undoes Planted's guard.
void GuardAsItWas(Folders&) { std::ofstream(g_guard) << g_guard_was; }

const std::string kLongName(250, 'd');  // ".NAME.XXXXXXXX" beside it would not fit in 255
const RunOptions kOtherUser = {.user = 65534};

// clang-format off
const Scenario kScenarios[] = {
    {"Nothing", "nothing there: made with 0666 less the umask",
     Nothing, {.umask = 0}, 0, kNew, "", [](Folders& f) { ModeIs(f.image(), 0666); }},
    {"Regular", "a regular file: replaced, its bits kept",
     Old(0604), {.umask = 022}, 0, kNew, "", [](Folders& f) { ModeIs(f.image(), 0604); }},
    {"SetGroupId", "a group-writable set-group-id file, under umask 077: its bits kept",
     Old(02660), {.umask = 077}, 0, kNew, "", [](Folders& f) { ModeIs(f.image(), 02660); }},
    {"OtherOwner", "another user's file, replaced by root: its owner kept",
     Root(OldOfAnotherUser), {}, 0, kNew, "", [](Folders& f) { OwnerIs(f.image(), 4321, 4322); }},
    {"Acl", "a file with an ACL and a user attribute: both kept",
     LinuxOwn("the portable file layer keeps no ACL", OldWithAclAndAttribute), {}, 0, kNew, "",
     [](Folders& f) {
       char value[8] = {};
       EXPECT_EQ(getxattr(f.image().c_str(), "user.origin", value, sizeof value), 4);
       EXPECT_EQ(system(("getfacl -cp " + f.image() + " | grep -qx user:4321:rw-").c_str()), 0);
       ModeIs(f.image(), 0660);  // the group bits show the ACL's mask
     }},
    {"DefaultAcl", "a file without an ACL, in a folder with a default ACL: still without one",
     LinuxOwn("the portable file layer keeps no ACL", OldUnderDefaultAcl), {}, 0, kNew, "",
     [](Folders& f) {
       ModeIs(f.image(), 0600);
       EXPECT_NE(system(("getfacl -cp " + f.image() + " | grep -q 4321").c_str()), 0);
     }},
    {"Linked", "a file with a second hard link: written in place, seen through both",
     Linked(), {}, 0, kSame, "",
     [](Folders& f) { EXPECT_EQ(ReadFile(f.dir / "other.d88"), ReadFile(f.image())); }},
    {"LinkedLonger", "a longer file with a second hard link: cut to the image's length",
     Linked(400'000), {}, 0, kSame},
    {"LinkedNoLocks", "a file with a second hard link on a disk that keeps no locks: written",
     Traced(Linked()), {.inject = "fcntl:error=ENOLCK"}, 0, kSame},
    {"LinkedLocksUnsupported", "likewise where the disk does not support them: written",
     Traced(Linked()), {.inject = "fcntl:error=EOPNOTSUPP"}, 0, kSame},
    {"Link", "a link to a file elsewhere: that file replaced, the link kept",
     LinkElsewhere("disk.d88", true), {}, 0, kNew, "disk.d88"},
    {"DanglingLink", "a dangling link: its target made",
     LinkElsewhere("disk.d88", false), {}, 0, kNew, "disk.d88"},
    {"DanglingLinkTooLarge", "a dangling link under a file-size limit: the target made, then removed",
     LinkElsewhere("disk.d88", false), {.file_size_limit = 100'000}, EFBIG, kKept, "disk.d88"},
    {"DanglingLinkTerm", "SIGTERM as the target of a dangling link is flushed: it is removed",
     Traced(LinkElsewhere("disk.d88", false)), {.inject = "fsync:signal=TERM"}, -SIGTERM, kKept,
     "disk.d88"},
    {"LinkToLongName", "a link to a file whose name is 250 characters long",
     LinkElsewhere(kLongName, true), {}, 0, kNew, kLongName.c_str()},
    {"FortyLinks", "a chain of 40 links: the file at its end replaced",
     LongLinkChain, {}, 0, kNew, "disk.d88"},
    {"LinkToDeletedFile", "a link into /proc to a deleted file: written in place, nothing made",
     LinkToDeletedFile, {}, 0, kSame, "", {}, [](Folders&) { close(g_deleted_fd); }},
    {"LinkLoop", "a link to itself: refused with its reason",
     [](Folders& f) { return Unless(symlink(kImage, f.image().c_str()) == 0, "symlink failed"); },
     {}, ELOOP, kKept},
    {"LinkIntoNowhere", "a link into a folder that does not exist: refused with its reason",
     LinkElsewhere("missing/disk.d88", false), {}, ENOENT, kKept},
    {"Device", "a device: written as it is", Device, {}, 0, kKept},
    {"NoNewFile", "a folder that takes no new file: written in place",
     OldInUnwritableFolder, {}, 0, kSame, "", {}, FolderWritableAgain},
    {"AppendOnly", "an append-only folder: written in place, no new file left",
     LinuxOwn("the portable file layer cannot tell an append-only folder",
              [](Folders& f) { Old(0644)(f); return FolderFlag(f, FS_APPEND_FL, true); }),
     {}, 0, kSame, "", {}, NotAppendOnly},
    {"AppendOnlyNothing", "an append-only folder with nothing there: made, 0666 less the umask",
     [](Folders& f) { return FolderFlag(f, FS_APPEND_FL, true); }, {.umask = 022}, 0, kNew, "",
     [](Folders& f) { ModeIs(f.image(), 0644); }, NotAppendOnly},
    {"UnlistableFolder", "a folder the user may write and search but not list: made there",
     Shared(65534, 0, 0, 0733), kOtherUser, 0, kNew, "",
     [](Folders& f) { OwnerIs(f.image(), 65534, 65534); }},
    {"UnlistableFolderOld", "the same with an old image: replaced (in place where POSIX must list)",
     Shared(65534, 65534, 0644, 0733), kOtherUser, 0, kPortable ? kSame : kNew},
    {"FullTmpfsLinked", "a linked file on a disk without room for the image: refused, whole",
     OnOwnDisk("tmpfs", true), {}, ENOSPC, kKept, "disk.d88", {}, Unmount},
    {"FullExt2Linked", "the same where room cannot be allocated ahead (ext2): refused, whole",
     OnOwnDisk("ext2", true), {}, ENOSPC, kKept, "disk.d88", {}, Unmount},
    {"FullExt2SparseLinked", "the same with a sparse old image as long as the new: its holes whole",
     OnOwnDisk("ext2", true, 348'848, 300, true), {}, ENOSPC, kKept, "disk.d88", {}, Unmount},
    {"Ext2LinkedLonger", "the same but a longer file, which has the room already: in place",
     OnOwnDisk("ext2", true, 400'000, 600), {}, 0, kSame, "disk.d88", {}, Unmount},
    {"LinkedEndingInAHole", "a linked file ending in a hole, where room cannot be reserved ahead",
     Traced(LinkedEndingInAHole), {.inject = "fallocate:error=EOPNOTSUPP:when=1+"}, 0, kSame},
    {"RamfsLinked", "the same where the file system has no size (ramfs): in place",
     OnOwnDisk("ramfs", true), {}, 0, kSame, "disk.d88", {}, Unmount},
    {"FullTmpfs", "a file on a disk without room for the new image: refused, the old one kept",
     OnOwnDisk("tmpfs", false), {}, ENOSPC, kKept, "disk.d88", {}, Unmount},
    {"FatThroughFuse", "a file on a FAT disk through FUSE: replaced, no call made that FAT refuses",
     OnOwnDisk("fat", false), {}, 0, kNew, "disk.d88", {}, Unmount},
    {"StickyOtherOwner", "another user's file in a sticky folder: written in place, its owner kept",
     Shared(0, 0, 0666, 01777), kOtherUser, 0, kSame, "",
     [](Folders& f) { OwnerIs(f.image(), 0, 0); }},
    {"GroupMember", "a group's file, by a member who may not give its owner: written in place",
     Shared(2001, 3000, 02775, 0775), {.user = 2002, .groups = {3000}},
     0, kSame, "", [](Folders& f) { OwnerIs(f.image(), 2001, 3000); }},
    {"GroupOwner", "a group's file, by its owner, who may give the group: replaced",
     Shared(2001, 3000, 0664, 0775), {.user = 2001, .groups = {3000}},
     0, kNew, "", [](Folders& f) { OwnerIs(f.image(), 2001, 3000); ModeIs(f.image(), 0664); }},
    {"MountedOverFromOtherDisk", "a file of another disk bound onto the name: in place, through it",
     Root(MountedOverFromOtherDisk), {}, 0, kSame, "disk.d88",
     [](Folders& f) {
       Unbind(f);
       EXPECT_EQ(ReadFile(f.image()), Bytes(1000, 0x5A));
     },
     [](Folders& f) {
       Unbind(f);
       Unmount(f);
     }},
    {"MountedOver", "a file bound onto the name, as in a container: written in place, through it "
     "(refused where a mount is told only from another file system)",
     Root(MountedOver), {}, kPortable ? EBUSY : 0, kPortable ? kKept : kSame, "disk.d88",
     [](Folders& f) {
       Unbind(f);
       EXPECT_EQ(ReadFile(f.image()), Bytes(1000, 0x5A));  // the file under it untouched
     }, Unbind},
    {"Capability", "a file with a file capability, replaced by root: the capability kept",
     LinuxOwn("the portable file layer keeps no extended attributes", Root(OldWithCapability)),
     {}, 0, kNew, "", [](Folders& f) {
       Bytes kept(64);
       const ssize_t n = getxattr(f.image().c_str(), kCapability, kept.data(), kept.size());
       kept.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
       EXPECT_EQ(kept, kNetBindService);
     }},
    {"FewDescriptors", "too few descriptors to open the folder: refused with the reason, whole",
     [](Folders& f) {
       if (std::strlen(GEN_TARSILP6_EMULATOR)) return std::string("the emulator opens files too");
       return Old(0644)(f);
     },
     {.open_files = 3 + 13 + 1}, EMFILE, kKept},
    {"NoProc", "a link to a file elsewhere, without /proc: refused with the reason, whole",
     WithoutProc(LinkElsewhere("disk.d88", true)), {.no_proc = true}, ENOENT, kKept, "disk.d88"},
    {"NoProcDanglingLink", "a link to nothing, without /proc: refused, the file made removed",
     WithoutProc(LinkElsewhere("disk.d88", false)), {.no_proc = true}, ENOENT, kKept, "disk.d88"},
    {"ReadOnly", "a user's own file that it may not write: refused",
     Shared(65534, 65534, 0444, 0777), kOtherUser, EACCES, kKept},
    {"WriteOnly", "a user's own file that it may not read, with a user attribute: in place, kept",
     LinuxOwn("the portable file layer keeps no extended attributes", WriteOnlyWithAttribute),
     kOtherUser, 0, kSame, "",
     [](Folders& f) { EXPECT_EQ(getxattr(f.image().c_str(), "user.origin", nullptr, 0), 4); }},
    {"PlantedLink", "a link another user planted in a sticky folder: refused, its target not made",
     Planted("protected_symlinks", [](const std::string& at) {
       return symlink((at + ".target").c_str(), at.c_str()); }),
     {}, EACCES, kKept, "", {}, GuardAsItWas},
    {"PlantedFile", "a file another user planted in a sticky folder: refused, left as it was",
     Planted("protected_regular", [](const std::string& at) {
       WriteFile(at, kOldImage); return chmod(at.c_str(), 0666); }),
     {}, EACCES, kKept, "", {}, GuardAsItWas},
    {"PlantedFifo", "a FIFO another user planted in a sticky folder: refused, nothing streamed",
     Planted("protected_fifos", [](const std::string& at) { return mkfifo(at.c_str(), 0666); }),
     {}, EACCES, kKept, "", {}, GuardAsItWas},
    {"SizeLimit", "a file-size limit below the image: refused before writing, the old image kept",
     Old(0644), {.file_size_limit = 100'000}, EFBIG, kKept},
    {"SizeLimitNothing", "the same with nothing there: nothing left",
     Nothing, {.file_size_limit = 100'000}, EFBIG, kKept},
    {"SizeLimitLinked", "the same with a file as long as the image, to write in place: untouched",
     Linked(348'848), {.file_size_limit = 200 * 1024}, EFBIG, kKept},
    {"SizeLimitDevice", "a device under a file-size limit, which bears on files only: written",
     Device, {.file_size_limit = 100'000}, 0, kKept},
    {"SizeLimitExact", "a file-size limit of the image's size exactly",
     Old(0644), {.file_size_limit = 348'848}, 0, kNew},
    {"SmallStack", "a stack of 96 KiB",
     [](Folders&) -> std::string { return std::strlen(GEN_TARSILP6_EMULATOR) ? "emulated" : ""; },
     {.stack_limit = 96 * 1024}, 0, kNew},
    // Signals held while a file is written end the run once it is done:
    // before the rename, the new file removed; after, the new image in place.
    {"TermAtFlush", "SIGTERM while the new file is flushed: removed, then the end",
     Traced(Old(0644)), {.inject = "fsync:signal=TERM"}, -SIGTERM, kKept},
    {"AbrtAtFlush", "SIGABRT from another process while the new file is flushed",
     Traced(Old(0644)), {.inject = "fsync:signal=ABRT"}, -SIGABRT, kKept},
    {"Signal32AtFlush", "signal 32, which glibc keeps for itself, while the new file is flushed",
     LinuxOwn("the C library holds no signal 32", Traced(Old(0644))),
     {.inject = "fsync:signal=32"}, -32, kKept},
    {"Signal64AtFlush", "signal 64 while the new file is flushed",
     Traced(Old(0644)), {.inject = "fsync:signal=64"}, -64, kKept},
    {"HupAtFlush", "SIGHUP while the new file is flushed: removed, then the end",
     Traced(Old(0644)), {.inject = "fsync:signal=HUP"}, -SIGHUP, kKept},
    {"WinchAtFlush", "SIGWINCH, which ends no process, while the new file is flushed: replaced",
     Traced(Old(0644)), {.inject = "fsync:signal=WINCH"}, 0, kNew},
    {"ChldAtFlush", "SIGCHLD, which ends no process either, while the new file is flushed",
     Traced(Old(0644)), {.inject = "fsync:signal=CHLD"}, 0, kNew},
    {"DanglingLinkTermAtOpen", "SIGTERM as the file at the end of a link to nothing is made: "
     "held, then the file removed and the end", Traced(LinkElsewhere("disk.d88", false)),
     {.inject = "openat:signal=TERM:when=2", .traced_path = kImage}, -SIGTERM, kKept, "disk.d88"},
    {"HupUnderNohup", "SIGHUP while the new file is flushed, under nohup: ignored, replaced",
     Traced(Old(0644)), {.ignored = SIGHUP, .inject = "fsync:signal=HUP"}, 0, kNew},
    {"CallersPending", "SIGTERM and SIGTSTP the caller holds, pending from the start: replaced",
     Old(0644), {.pending = {SIGTERM, SIGTSTP}}, 0, kNew},
    {"TermAtRename", "SIGTERM during the rename: the new image in place, then the end",
     Traced(Old(0644)), {.inject = "rename,renameat,renameat2:signal=TERM"}, -SIGTERM, kNew},
    {"TermInPlace", "SIGTERM as a file with a second hard link is written: written whole, then the end",
     Traced(Linked(400'000)), {.inject = "pwrite64:signal=TERM"}, -SIGTERM, kSame},
    {"KillInPlace", "SIGKILL as a file with a second hard link is about to be written: as it was",
     Traced(Linked()), {.inject = "pwrite64:signal=KILL"}, -SIGKILL, kKept},
    {"TermWhileMade", "SIGTERM as an image is made where nothing was: made whole, then the end",
     Traced(Nothing), {.inject = "pwrite64:signal=TERM"}, -SIGTERM, kNew},
    // No call is made that would change nothing; one would fail here.
    {"NoFchown", "a replace that keeps owner and group: no fchown, which would fail",
     Traced(Old(0644)), {.inject = "fchown:error=ENOSYS"}, 0, kNew},
    {"NoFchmod", "a replace that keeps the bits, an ACL's too: no fchmod, which would fail",
     LinuxOwn("the portable file layer keeps no ACL", Traced(OldWithAclAndAttribute)),
     {.inject = "fchmod:error=EPERM"}, 0, kNew},
    {"NoFtruncate", "a file of the image's length written in place: no ftruncate, which would fail",
     Traced(Linked(348'848)), {.inject = "ftruncate:error=EPERM"}, 0, kSame},
};
// clang-format on

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.what; }
class WhatStands : public ::testing::TestWithParam<Scenario> {};

TEST_P(WhatStands, UnderTheNameDecidesHowTheImageIsWritten) {
  const Scenario& s = GetParam();
  SCOPED_TRACE(s.what);
  Folders f;
  WritePatternInputs(f.dir, "v1", 30000);
  const std::string skip = s.stand(f);
  if (!skip.empty()) {
    if (s.cleanup) s.cleanup(f);
    GTEST_SKIP() << skip;
  }
  const std::string at = *s.elsewhere ? f.elsewhere / s.elsewhere : f.image();
  struct stat before = {}, after = {};
  const bool existed = stat(at.c_str(), &before) == 0;
  const Bytes old = Content(at);
  auto names = Names(f.dir.path()), names_elsewhere = Names(f.elsewhere.path());
  RunOptions options = s.options;
  if (options.user >= 0) options.binary = ToolForAnyUser();
  const RunResult r = RunTool(f.dir, {"v1", "0"}, options);
  const bool exists = stat(at.c_str(), &after) == 0;
  EXPECT_EQ(r.status, s.error < 0 ? -1 : s.error == 0 ? 0 : 1);
  EXPECT_EQ(r.signal, s.error < 0 ? -s.error : 0);
  EXPECT_EQ(r.err, s.error <= 0 ? "" : Message(s.error));
  EXPECT_EQ(Content(at), s.outcome == kKept ? old : Fresh());
  EXPECT_EQ(exists, existed || s.outcome != kKept);
  EXPECT_TRUE(!existed || !exists || (before.st_ino == after.st_ino) == (s.outcome != kNew));
  // Nothing else is made, in either folder: no new file is left behind.
  if (!existed && exists)
    (*s.elsewhere ? names_elsewhere : names).push_back(at.substr(at.rfind('/') + 1));
  std::sort(names.begin(), names.end());
  std::sort(names_elsewhere.begin(), names_elsewhere.end());
  EXPECT_EQ(Names(f.dir.path()), names);
  EXPECT_EQ(Names(f.elsewhere.path()), names_elsewhere);
  if (s.check) s.check(f);
  if (s.cleanup) s.cleanup(f);
}

INSTANTIATE_TEST_SUITE_P(DataSafety, WhatStands, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// A block device is written from its start, as it is, and flushed like a file; one smaller than
// the image is refused before a byte is written.
TEST(DataSafety, BlockDeviceIsWrittenAndFlushed) {
  if (!kRoot) GTEST_SKIP() << "needs root for a loop device";
  if (!NoStrace().empty()) GTEST_SKIP() << NoStrace();
  struct Case {
    long kib;            // the device's size
    const char* inject;  // what strace makes fail, or ""
    int error;
  };
  for (const Case& c :
       {Case{400, "", 0}, Case{400, "fsync:error=EIO", EIO}, Case{300, "", ENOSPC}}) {
    ScratchDir dir;
    WritePatternInputs(dir, "v1", 30000);
    const Bytes old(static_cast<std::size_t>(c.kib * 1024), 0x5A);
    WriteFile(dir / "device", old);
    FILE* p = popen(("losetup -f --show " + dir / "device" + " 2>/dev/null").c_str(), "r");
    char name[64] = {};
    if (p == nullptr || std::fgets(name, sizeof name, p) == nullptr) name[0] = '\0';
    if (p != nullptr) pclose(p);
    const std::string loop(name, std::strcspn(name, "\n"));
    if (loop.empty()) GTEST_SKIP() << "no loop device";
    ASSERT_EQ(symlink(loop.c_str(), (dir / kImage).c_str()), 0);
    ToolRun run(dir, {"v1", "0"}, {.inject = c.inject, .trace_all = true});
    const RunResult r = run.Finish();
    const Bytes device = ReadFile(loop);
    system(("losetup -d " + loop).c_str());
    EXPECT_EQ(r.err, c.error != 0 ? Message(c.error) : "") << c.kib;
    if (c.error == ENOSPC) {
      EXPECT_EQ(device, old);
      continue;
    }
    EXPECT_NE(run.Trace().find("fsync("), std::string::npos);
    EXPECT_EQ(Bytes(device.begin(), device.begin() + 348'848), Fresh());
  }
}

// Two fresh tmpfs number their files alike: an input and the image, each the first file made on
// its own disk, have the same inode number on two devices, and are not the same file.
TEST(DataSafety, AnInputWithTheImagesInodeNumberOnAnotherDiskIsNotTheImage) {
  if (!kRoot) GTEST_SKIP() << "needs root to mount";
  ScratchDir inputs, other;
  if (mount("tmpfs", inputs.path().c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "no tmpfs";
  if (mount("tmpfs", other.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
    umount2(inputs.path().c_str(), MNT_DETACH);
    GTEST_SKIP() << "no tmpfs";
  }
  WritePatternInputs(inputs, "v1", 30000);
  WriteFile(other / "disk.d88", kOldImage);
  const bool linked = symlink((other / "disk.d88").c_str(), (inputs / kImage).c_str()) == 0;
  const bool alike = Stat(inputs / "ipl1.bin").st_ino == Stat(other / "disk.d88").st_ino;
  const RunResult r = RunTool(inputs, {"v1", "0"});
  const Bytes image = ReadFile(other / "disk.d88");
  umount2(inputs.path().c_str(), MNT_DETACH);
  umount2(other.path().c_str(), MNT_DETACH);
  ASSERT_TRUE(linked);
  if (!alike) GTEST_SKIP() << "this kernel numbers the files of two tmpfs apart";
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(image, Fresh());
}

// A run that fails and cannot remove a file it made names each such file after the reason,
// in the order they were left: the new file beside an old image, the image it made where there
// was none, or both (at the end of a link to nothing). One whose replace was refused stops
// there, rather than write the old image in place beside a file it could not remove.
TEST(DataSafety, AFileTheRunCannotRemoveIsNamed) {
  if (const std::string why = NoStrace(); !why.empty()) GTEST_SKIP() << why;
  constexpr char kFails[] = "fsync:error=ENOSPC;unlinkat:error=EIO:when=1+";
  struct Case {
    const char* what;
    Stand stand;
    const char* inject;
    int error;       // the run's own
    const char* at;  // the folder where files are left: "dir" or "elsewhere"
    int left;        // how many
  };
  const Case cases[] = {
      {"an old image", Old(0644), kFails, ENOSPC, "dir", 1},
      {"nothing", Nothing, kFails, ENOSPC, "dir", 1},
      {"a link to nothing", LinkElsewhere("disk.d88", false), kFails, ENOSPC, "elsewhere", 2},
      {"an attribute refused", LinuxOwn("no attributes here", OldWithAclAndAttribute),
       "fsetxattr:error=EPERM;unlinkat:error=EIO", EIO, "dir", 1},
  };
  for (const Case& c : cases) {
    Folders f;
    WritePatternInputs(f.dir, "v1", 30000);
    if (const std::string why = c.stand(f); !why.empty()) {
      std::printf("not run here: %s: %s\n", c.what, why.c_str());
      continue;
    }
    const Bytes old = ReadFile(f.image());
    const auto before = Names(f.dir.path());
    const RunResult r = RunTool(f.dir, {"v1", "0"}, {.inject = c.inject});
    const std::string folder = std::string(c.at) == "dir" ? f.dir.path() : f.elsewhere.path();
    std::string lines;  // the file left beside, then the image made
    std::string made;
    for (const std::string& name : Names(folder)) {
      const bool beside = name.rfind(".", 0) == 0;
      const std::string path = c.left == 2 ? folder + "/" + name : name;
      if (beside) lines = path + ": " + std::strerror(EIO) + "\n" + lines;
      if (!beside && c.left == 2) made = path + ": " + std::strerror(EIO) + "\n";
    }
    if (c.left == 1 && lines.empty())
      lines = std::string(kImage) + ": " + std::strerror(EIO) + "\n";
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.err, Message(c.error) + lines + made) << c.what;
    EXPECT_TRUE(old.empty() || ReadFile(f.image()) == old) << c.what;  // an old image kept
  }
}

// A link to a file in the root folder: that file is replaced in "/", as any other in its folder.
TEST(DataSafety, ALinkToAFileInTheRootFolderReplacesIt) {
  if (!kRoot || access("/", W_OK) != 0) GTEST_SKIP() << "needs root and a root folder to write";
  if (std::strlen(GEN_TARSILP6_EMULATOR)) GTEST_SKIP() << "the emulator maps / to its sysroot";
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 30000);
  const std::string name = "gen_tarsilp6-test-" + std::to_string(getpid()) + ".d88";
  WriteFile("/" + name, kOldImage);
  const ino_t was = Stat("/" + name).st_ino;
  const bool linked = symlink(("/" + name).c_str(), (dir / kImage).c_str()) == 0;
  const RunResult r = RunTool(dir, {"v1", "0"});
  const Bytes image = ReadFile("/" + name);
  const ino_t now = Stat("/" + name).st_ino;
  unlink(("/" + name).c_str());
  bool left = false;  // a new file beside it
  for (const std::string& entry : Names("/")) left = left || entry.rfind("." + name, 0) == 0;
  ASSERT_TRUE(linked);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(image, Fresh());
  EXPECT_NE(now, was);
  EXPECT_FALSE(left);
}

TEST(DataSafety, ImageThatIsAnInputIsRefused) {
  using Case = std::pair<bool, std::string>;  // a symbolic link or a hard link, to that input
  for (const auto& [symbolic, input] :
       {Case{false, "ipl1.bin"}, Case{true, "data1.bin"}, Case{false, "ipl2_v1.bin"},
        Case{true, "./zemra80_org_v1.bin"}, Case{false, "data9.bin"}}) {
    ScratchDir dir;
    WritePatternInputs(dir, "v1", 30000);
    const std::string image = dir / kImage;
    int linked = -1;
    if (symbolic) linked = symlink(input.c_str(), image.c_str());
    if (!symbolic) linked = link((dir / input).c_str(), image.c_str());
    ASSERT_EQ(linked, 0);
    const auto before = Listing(dir.path());
    const RunResult r = RunTool(dir, {"v1", "0"});
    EXPECT_EQ(r.status, 1);
    const std::string name = input.substr(input.rfind('/') + 1);
    EXPECT_EQ(r.err, std::string(kImage) + ": same file as input " + name + "\n");
    EXPECT_EQ(Listing(dir.path()), before) << input;
  }
}

// What a run can wait on, where a signal must still end it: a FIFO input that has had too few
// bytes; a FIFO under the image's name whose reader reads nothing, so that the run waits in its
// write; the lock of an image to be written in place, which another program holds, where the
// image has a second link or is in a folder that refuses the new file of a replace.
enum class Waits { kOnInput, kOnReader, kOnLock, kOnLockAfterRefusal };
struct Waiting {
  Waits waits;
  const char* what;
};
const Waiting kWaitings[] = {
    {Waits::kOnInput, "a FIFO input"},
    {Waits::kOnReader, "a FIFO image's reader"},
    {Waits::kOnLock, "another's lock"},
    {Waits::kOnLockAfterRefusal, "another's lock, the replace refused"},
};

// Readies `f` for a run that will wait as `waits` says. Returns why it cannot, or "".
std::string ReadyToWait(Waits waits, Folders& f) {
  if (waits == Waits::kOnReader) return Unless(mkfifo(f.image().c_str(), 0600) == 0, "mkfifo");
  if (waits == Waits::kOnLockAfterRefusal) return OldInUnwritableFolder(f);
  WriteFile(f.image(), kOldImage);
  if (waits == Waits::kOnInput) {
    unlink((f.dir / "data5.bin").c_str());
    return Unless(mkfifo((f.dir / "data5.bin").c_str(), 0600) == 0, "mkfifo");
  }
  return Unless(link(f.image().c_str(), (f.dir / "second").c_str()) == 0, "link");
}

// Locks the whole of the file at `path` for this process. Returns the descriptor that holds the
// lock: closing any descriptor of that file in this process ends it.
int LockWhole(const std::string& path) {
  const int locked = open(path.c_str(), O_RDWR);
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  EXPECT_EQ(fcntl(locked, F_SETLK, &whole), 0);
  return locked;
}

// Returns once the run `pid` waits as `waits` says, holding open in `held` what it waits on.
void WaitUntilItWaits(Waits waits, const Folders& f, pid_t pid, int& held) {
  if (waits == Waits::kOnInput) {
    held = open((f.dir / "data5.bin").c_str(), O_WRONLY);  // waits for the run
    EXPECT_EQ(write(held, "short", 5), 5);
  }
  if (waits == Waits::kOnReader) held = open(f.image().c_str(), O_RDONLY);  // likewise
  if (waits == Waits::kOnInput || waits == Waits::kOnReader) return;
  const std::string blocked = "-> POSIX  ADVISORY  WRITE " + std::to_string(pid) + " ";
  for (int waited = 0; waited < 10'000; waited += 5) {
    std::ifstream locks("/proc/locks");
    const std::string all{std::istreambuf_iterator<char>(locks), {}};
    if (all.find(blocked) != std::string::npos) return;
    usleep(5000);
  }
  ADD_FAILURE() << "the run never waited for the lock";
}

TEST(DataSafety, RunEndedBySignalWhileWaitingLeavesEverythingAsItWas) {
  std::string skipped;
  for (const auto& [waits, what] : kWaitings) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGKILL}) {
      const std::string row = what + std::string(", ") + strsignal(sig);
      Folders f;
      WritePatternInputs(f.dir, "v1", 30000);
      if (const std::string why = ReadyToWait(waits, f); !why.empty()) {
        FolderWritableAgain(f);
        skipped = row + ": " + why;
        continue;
      }
      const auto before = Listing(f.dir.path());
      int locked = -1;  // taken after the listing, which opens and closes the image
      if (waits == Waits::kOnLock || waits == Waits::kOnLockAfterRefusal) {
        locked = LockWhole(f.image());
      }
      ToolRun run(f.dir, {"v1", "0"});
      int held = -1;
      WaitUntilItWaits(waits, f, run.pid(), held);
      kill(run.pid(), sig);
      const RunResult r = run.Finish(5'000);
      close(held);
      close(locked);
      EXPECT_EQ(r.signal, sig) << row;
      EXPECT_EQ(Listing(f.dir.path()), before) << row;
      FolderWritableAgain(f);
    }
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// What stands under the name before the run: nothing, an old image of 0644, or a link to t.d88.
enum class Before { kNothing, kOld, kDanglingLink };

// strace stops the run as it flushes its file, or as it looks where the name leads.
const RunOptions kAtFlush = {.umask = 0, .inject = "fsync:signal=STOP"};
const RunOptions kAtLook = {.inject = "newfstatat:signal=STOP", .traced_path = kImage};

// What must stand under the name afterwards: the image for window offset 0 or 5, a FIFO, or
// nothing.
enum class After { kImage0, kImage5, kFifo, kNothing };

// A run that strace stops, and what the test does meanwhile.
struct Stop {
  const char* what;
  Before before;
  RunOptions options;  // how strace stops the run, and what else holds for it
  void (*act)(const ScratchDir&, const std::string& new_file);
  int error;  // that the run reports, or 0
  After after;
};
// clang-format off
const Stop kStops[] = {
    {"only its owner may read the new file, though all may read the old", Before::kOld, kAtFlush,
     [](const ScratchDir&, const std::string& new_file) { ModeIs(new_file, 0600); }, 0,
     After::kImage0},
    {"the old image's bits changed meanwhile: the image takes those it had", Before::kOld,
     kAtFlush, [](const ScratchDir& d, const std::string&) { chmod((d / kImage).c_str(), 0600); },
     0, After::kImage0},
    {"the image moved aside and another file put under its name: that one replaced",
     Before::kOld, kAtFlush, [](const ScratchDir& d, const std::string&) {
       rename((d / kImage).c_str(), (d / "aside").c_str());
       WriteFile(d / kImage, Bytes(10, 0x22));
       chmod((d / kImage).c_str(), 0600);
     }, 0, After::kImage0},
    {"SIGTSTP, which stops the run but does not end it: continued, replaced", Before::kOld,
     {.umask = 0, .inject = "fsync:signal=TSTP"}, [](const ScratchDir&, const std::string&) {},
     0, After::kImage0},
    {"nothing there; another run puts its image there, then this one's flush fails: it stays",
     Before::kNothing, {.umask = 0, .inject = "fsync:error=ENOSPC:signal=STOP"},
     [](const ScratchDir& d, const std::string&) { EXPECT_EQ(RunTool(d, {"v1", "5"}).status, 0); },
     ENOSPC, After::kImage5},
    {"nothing there; the image removed meanwhile, then the flush fails: nothing more to remove",
     Before::kNothing, {.umask = 0, .inject = "fsync:error=ENOSPC:signal=STOP"},
     [](const ScratchDir& d, const std::string&) { unlink((d / kImage).c_str()); }, ENOSPC,
     After::kNothing},
    {"a link to nothing; another run makes the image at its end, then this one fails: it stays",
     Before::kDanglingLink, {.file_size_limit = 100'000, .inject = "newfstatat:signal=STOP",
                             .traced_path = kImage},
     [](const ScratchDir& d, const std::string&) { EXPECT_EQ(RunTool(d, {"v1", "5"}).status, 0); },
     EFBIG, After::kImage5},
    {"nothing there; another run writes the made file in place first, then this one fails: "
     "it stays", Before::kNothing,
     {.file_size_limit = 100'000, .inject = "openat:signal=STOP", .traced_path = kImage},
     [](const ScratchDir& d, const std::string&) {
       EXPECT_EQ(link((d / kImage).c_str(), (d / "second").c_str()), 0);
       EXPECT_EQ(RunTool(d, {"v1", "5"}).status, 0);
     }, EFBIG, After::kImage5},
    {"a link to nothing, and a FIFO put at its end meanwhile: refused, not waited for",
     Before::kDanglingLink, kAtLook,
     [](const ScratchDir& d, const std::string&) { mkfifo((d / "t.d88").c_str(), 0600); },
     ENXIO, After::kFifo},
};
// clang-format on

// strace stops the run; the test looks or acts, and the run goes on. The run gives its image what
// the old one had when the run began, the last rename wins, a run that fails removes only what it
// made, and a file it is to make at the end of a link is made anew or refused, never waited for.
TEST(DataSafety, WhatHappensWhileTheRunIsStopped) {
  if (const std::string why = NoStrace(); !why.empty()) GTEST_SKIP() << why;
  for (const Stop& c : kStops) {
    ScratchDir dir;
    WritePatternInputs(dir, "v1", 30000);
    RunTool(dir, {"v1", c.after == After::kImage5 ? "5" : "0"});
    Bytes want = ReadFile(dir / kImage);
    if (c.after == After::kFifo) want = {'|'};  // what Content gives for one
    if (c.after == After::kNothing) want = {};
    unlink((dir / kImage).c_str());
    if (c.before == Before::kOld) {
      WriteFile(dir / kImage, kOldImage);
      ASSERT_EQ(chmod((dir / kImage).c_str(), 0644), 0);
    }
    if (c.before == Before::kDanglingLink) {
      ASSERT_EQ(symlink("t.d88", (dir / kImage).c_str()), 0);
    }
    ToolRun run(dir, {"v1", "0"}, c.options);
    bool stopped = false;
    for (int waited = 0; !stopped && waited < 30'000; waited += 5) {
      stopped = run.Trace().find("--- stopped by ") != std::string::npos;
      usleep(5000);
    }
    ASSERT_TRUE(stopped) << c.what;
    std::string new_file;
    for (const std::string& name : Names(dir.path()))
      if (name.rfind(".zemra8p6.d88.", 0) == 0) new_file = dir / name;
    ASSERT_EQ(new_file.empty(), c.before != Before::kOld) << c.what;
    c.act(dir, new_file);
    kill(-run.pid(), SIGCONT);  // strace and the tool
    const RunResult r = run.Finish();
    EXPECT_EQ(r.err, c.error == 0 ? "" : Message(c.error)) << c.what;
    EXPECT_EQ(Content(dir / kImage), want) << c.what;
    if (c.before == Before::kOld) ModeIs(dir / kImage, 0644);
    EXPECT_TRUE(new_file.empty() || !Exists(new_file)) << c.what;
    EXPECT_TRUE(!Exists(dir / "aside") || ReadFile(dir / "aside") == kOldImage) << c.what;
  }
}

// Two runs at once both succeed, each image whole, and the last one wins. Written in place (a
// file with a second link; one in a folder that takes no new file, where the replace is refused),
// the second waits for the first, which strace holds a while between its two writes, the part
// past the old end and the rest: a mixed image would show.
TEST(DataSafety, ConcurrentRunsEachLeaveAWholeImage) {
  Folders f;
  WritePatternInputs(f.dir, "v1", 30000);
  ASSERT_EQ(RunTool(f.dir, {"v1", "5"}).status, 0);
  const Bytes image5 = ReadFile(f.image());
  ASSERT_NE(Fresh(), image5);
  for (int round = 0; round < 10; ++round) {
    ToolRun a(f.dir, {"v1", "0"});
    ToolRun b(f.dir, {"v1", "5"});
    EXPECT_EQ(a.Finish().status, 0);
    EXPECT_EQ(b.Finish().status, 0);
    const Bytes image = ReadFile(f.image());
    EXPECT_TRUE(image == Fresh() || image == image5) << "round " << round;
    EXPECT_EQ(Listing(f.dir.path()).size(), 14u);
  }
  if (const std::string why = NoStrace(); !why.empty()) GTEST_SKIP() << "in place: " << why;
  for (const bool linked : {true, false}) {
    const std::string why = linked ? Linked()(f) : OldInUnwritableFolder(f);
    if (!why.empty()) {
      FolderWritableAgain(f);
      GTEST_SKIP() << why;
    }
    WriteFile(f.image(), Bytes(20'000, 0x5A));  // the images differ before and past its end
    ToolRun a(f.dir, {"v1", "0"}, {.inject = "pwrite64:delay_enter=300000:when=2"});
    usleep(100'000);
    EXPECT_EQ(RunTool(f.dir, {"v1", "5"}).status, 0);
    EXPECT_EQ(a.Finish().status, 0);
    const Bytes image = ReadFile(f.image());
    EXPECT_TRUE(image == Fresh() || image == image5) << "in place, linked " << linked;
    FolderWritableAgain(f);
    unlink((f.dir / "other.d88").c_str());
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
  EXPECT_EQ(r.err, "ipl2_v1.bin: " + std::string(std::strerror(EIO)) +
                       "\ndata7.bin: " + std::strerror(EIO) + "\n");
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

// Fed in two pieces, more than the run takes: it asks only for what it still lacks.
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
  const RunResult r = run.Finish(10'000);  // the pipe stays open meanwhile, with what is not taken
  const int rest = open((dir / "data5.bin").c_str(), O_RDONLY | O_NONBLOCK);
  char left[5000];
  EXPECT_EQ(read(rest, left, sizeof left), 5000 - 14 * 256);  // its 14 sectors taken, no more
  close(rest);
  close(writer);
  EXPECT_EQ(r.status, 0) << r.err << " signal " << r.signal;
  const Bytes image = ReadFile(dir / kImage);
  for (int s = 0; s < 14; ++s)
    EXPECT_TRUE(
        std::ranges::equal(SectorData(image, 13, 3 + s), std::span(data5).subspan(s * 256, 256)));
}

}  // namespace
}  // namespace testing_support
