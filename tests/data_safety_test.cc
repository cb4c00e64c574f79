// No run may lose data: an existing image survives every failure and every
// interruption whole and as the same file, an input is never written over,
// and a failed read never puts an image in place. Each test checks the whole
// directory afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "io/files.h"
#include "tests/d88_reader.h"
#include "tests/test_files.h"

namespace testing_support {
namespace {

constexpr char kImage[] = "zemra8p6.d88";
const Bytes kOldImage(1000, 0x5A);

struct stat Stat(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

std::string Message(const std::string& name, int error) {
  return name + ": " + std::strerror(error) + "\n";
}

// Inputs longer than the run takes, and an old image.
void Prepare(const ScratchDir& dir) {
  WritePatternInputs(dir, "v1", 30000);
  WriteFile(dir / kImage, kOldImage);
}

TEST(DataSafety, WriteFailingPartWayLeavesWhatStoodThere) {
  for (const bool old_image : {true, false}) {
    ScratchDir dir;
    Prepare(dir);
    if (!old_image) unlink((dir / kImage).c_str());
    const auto before = Listing(dir.path());
    const ino_t inode = old_image ? Stat(dir / kImage).st_ino : 0;
    // The first block of tracks goes out whole, the second only in part.
    const RunResult r = RunTool(dir, {"v1", "0"}, {.file_size_limit = 100'000});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, Message(kImage, EFBIG));
    EXPECT_EQ(Listing(dir.path()), before) << "old image: " << old_image;
    if (old_image) {
      EXPECT_EQ(Stat(dir / kImage).st_ino, inode);
    }
  }
}

TEST(DataSafety, ImageThatIsAnInputIsRefused) {
  struct Case {
    bool symbolic;
    std::string input;
  };
  for (const Case& c :
       {Case{true, "data1.bin"}, Case{false, "ipl2_v1.bin"}, Case{true, "./zemra80_org_v1.bin"}}) {
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

TEST(DataSafety, LinkedImageIsReplacedBehindItsLink) {
  ScratchDir dir, elsewhere;
  WritePatternInputs(dir, "v1", 30000);
  const std::string target = elsewhere / "disk.d88";
  ASSERT_EQ(symlink(target.c_str(), (dir / kImage).c_str()), 0);
  // A dangling link creates its target; an existing target is replaced.
  for (const bool target_exists : {false, true}) {
    if (target_exists) WriteFile(target, kOldImage);
    const auto inputs_and_link = Listing(dir.path());
    ASSERT_EQ(RunTool(dir, {"v1", "0"}).status, 0);
    EXPECT_EQ(Listing(dir.path()), inputs_and_link);
    const auto there = Listing(elsewhere.path());
    ASSERT_EQ(there.size(), 1u);
    EXPECT_EQ(CheckContainer(there.at("disk.d88")), "");
  }
}

TEST(DataSafety, ReplacedImageKeepsItsModeAndANewOneFollowsTheUmask) {
  struct Case {
    mode_t old_mode;  // 0: no old image
    int umask;
    mode_t expected;
  };
  for (const Case& c :
       {Case{0604, 022, 0604}, Case{0660, 077, 0660}, Case{0, 027, 0640}, Case{0, 0, 0666}}) {
    ScratchDir dir;
    Prepare(dir);
    if (c.old_mode != 0) {
      ASSERT_EQ(chmod((dir / kImage).c_str(), c.old_mode), 0);
    } else {
      unlink((dir / kImage).c_str());
    }
    // Root gives the new file the old one's owner too.
    const bool foreign = c.old_mode != 0 && geteuid() == 0;
    if (foreign) {
      ASSERT_EQ(chown((dir / kImage).c_str(), 4321, 4322), 0);
    }
    ASSERT_EQ(RunTool(dir, {"v1", "0"}, {.umask = c.umask}).status, 0);
    const struct stat st = Stat(dir / kImage);
    EXPECT_EQ(st.st_mode & 07777, c.expected) << std::oct << c.old_mode;
    if (foreign) {
      EXPECT_EQ(st.st_uid, 4321u);
      EXPECT_EQ(st.st_gid, 4322u);
    }
  }
}

// A file mounted over the image's name (as a container is handed one file)
// cannot be renamed over; it is written through.
TEST(DataSafety, ImageMountedOverItsNameIsWrittenInPlace) {
  ScratchDir dir, elsewhere;
  WritePatternInputs(dir, "v1", 30000);
  WriteFile(dir / kImage, kOldImage);
  const std::string outside = elsewhere / "disk.d88";
  WriteFile(outside, kOldImage);
  if (mount(outside.c_str(), (dir / kImage).c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
  const ino_t inode = Stat(outside).st_ino;
  const RunResult r = RunTool(dir, {"v1", "0"});
  umount2((dir / kImage).c_str(), MNT_DETACH);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Stat(outside).st_ino, inode);
  EXPECT_EQ(CheckContainer(ReadFile(outside)), "");
  EXPECT_EQ(Listing(dir.path()).at(kImage), kOldImage);
  EXPECT_EQ(Listing(dir.path()).size(), 14u);
}

TEST(DataSafety, ImageInAFolderThatTakesNoNewFileIsWrittenInPlace) {
  ScratchDir dir;
  Prepare(dir);
  const ino_t inode = Stat(dir / kImage).st_ino;
  // Root may create files anywhere, but not in an immutable folder.
  const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  int flags = 0;
  const bool immutable = geteuid() == 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  }
  const RunResult r = RunTool(dir, {"v1", "0"});
  if (immutable) {
    flags &= ~FS_IMMUTABLE_FL;
    ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  close(fd);
  chmod(dir.path().c_str(), 0755);
  if (geteuid() == 0 && !immutable) GTEST_SKIP() << "this file system has no immutable folders";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Stat(dir / kImage).st_ino, inode);
  EXPECT_EQ(CheckContainer(ReadFile(dir / kImage)), "");
  EXPECT_EQ(Listing(dir.path()).size(), 14u);
}

// In a sticky folder (such as /tmp) a user who may write the image but owns
// neither it nor the folder may not rename over it: it is written in place.
TEST(DataSafety, ImageOfAnotherUserInAStickyFolderIsWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  ScratchDir dir, bin;
  Prepare(dir);
  // A copy of the tool that the other user can reach wherever the build is.
  const std::string tool = bin / "gen_tarsilp6";
  WriteFile(tool, ReadFile(GEN_TARSILP6_BINARY));
  ASSERT_EQ(chmod(tool.c_str(), 0755) | chmod(bin.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 01777) | chmod((dir / kImage).c_str(), 0666), 0);
  const ino_t inode = Stat(dir / kImage).st_ino;
  const RunResult r = RunTool(dir, {"v1", "0"}, {.user = 65534, .binary = tool});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Stat(dir / kImage).st_ino, inode);
  EXPECT_EQ(CheckContainer(ReadFile(dir / kImage)), "");
  EXPECT_EQ(Listing(dir.path()).size(), 14u);
}

// The run is held waiting on a FIFO input that has had too few bytes.
TEST(DataSafety, RunKilledWhileReadingLeavesEverythingAsItWas) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    ScratchDir dir;
    Prepare(dir);
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

// The new file exists only while the image is written; a signal then
// removes it, and the process still dies by that signal.
TEST(DataSafety, SignalWhileWritingRemovesTheNewFile) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ScratchDir dir;
    WriteFile(dir / kImage, kOldImage);
    const pid_t pid = fork();
    if (pid == 0) {
      io::ImageFile image;
      if (chdir(dir.path().c_str()) != 0 || image.Open(kImage) != 0) _exit(2);
      image.Write(Bytes(1000, 0x11));
      raise(sig);
      _exit(3);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == sig) << wstatus;
    EXPECT_EQ(Listing(dir.path()), (std::map<std::string, Bytes>{{kImage, kOldImage}}));
  }
}

TEST(DataSafety, IgnoredSignalStaysIgnoredWhileWriting) {
  ScratchDir dir;
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGHUP, SIG_IGN);  // as under nohup
    io::ImageFile image;
    if (chdir(dir.path().c_str()) != 0 || image.Open(kImage) != 0) _exit(2);
    image.Write(Bytes(1000, 0x11));
    raise(SIGHUP);
    if (image.Commit() != 0) _exit(3);
    struct sigaction now;
    sigaction(SIGHUP, nullptr, &now);
    _exit(now.sa_handler == SIG_IGN ? 0 : 4);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
  EXPECT_EQ(Listing(dir.path()), (std::map<std::string, Bytes>{{kImage, Bytes(1000, 0x11)}}));
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
  Prepare(dir);
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
TEST(DataSafety, ReadFailingPartWayIsAnError) {
  ScratchDir dir;
  WriteFile(dir / "input", Bytes(10, 1));
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_EQ(write(pair[1], Bytes(100, 7).data(), 100), 100);
  ASSERT_EQ(write(pair[0], "x", 1), 1);
  close(pair[1]);  // closed with a byte unread: the other end reads 100 bytes, then ECONNRESET
  const int next_fd = dup(0);
  close(next_fd);
  io::InputFile input;
  ASSERT_EQ(input.Open((dir / "input").c_str()), 0);
  ASSERT_EQ(dup2(pair[0], next_fd), next_fd);  // the input now reads from the socket
  close(pair[0]);
  uint8_t buffer[3584];
  const io::ReadResult got = input.Read(buffer);
  EXPECT_EQ(got.bytes, 100u);
  EXPECT_EQ(got.error, ECONNRESET);
}

TEST(DataSafety, FifoInputIsNotAskedForMoreThanTheRunTakes) {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 30000);
  unlink((dir / "data5.bin").c_str());
  ASSERT_EQ(mkfifo((dir / "data5.bin").c_str(), 0600), 0);
  ToolRun run(dir, {"v1", "0"});
  const int writer = open((dir / "data5.bin").c_str(), O_WRONLY);
  const Bytes data5 = PatternFile(8, 3584);
  ASSERT_EQ(write(writer, data5.data(), data5.size()), 3584);
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
