#include "tests/what_stands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace testing_support {

const Bytes kOldImage(1000, 0x5A);
const bool kRoot = geteuid() == 0;

std::string Unless(bool done, const char* why) {
  if (done) return "";
  return why;
}

struct stat Stat(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

std::string Message(int error) { return std::string(kImage) + ": " + std::strerror(error) + "\n"; }

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : Listing(dir)) names.push_back(name);
  return names;
}

Bytes Content(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return Bytes{'|'};
  return ReadFile(path);
}

const Bytes& Fresh() {
  static const Bytes image = [] {
    ScratchDir plain;
    WritePatternInputs(plain, "v1", 30000);
    RunTool(plain, {"v1", "0"});
    return ReadFile(plain / kImage);
  }();
  return image;
}

Stand Old(mode_t mode, long size) {
  return [=](Folders& f) {
    WriteFile(f.image(), Bytes(static_cast<size_t>(size), 0x5A));
    return Unless(chmod(f.image().c_str(), mode) == 0, "chmod failed");
  };
}

std::string Nothing(Folders&) { return ""; }

Stand Root(const Stand& stand) {
  return [=](Folders& f) {
    if (!kRoot) return std::string("needs root");
    return stand(f);
  };
}

Stand Traced(const Stand& stand) {
  return [=](Folders& f) {
    if (!NoStrace().empty()) return NoStrace();
    return stand(f);
  };
}

Stand LinuxOwn(const char* why, const Stand& stand) {
  return [=](Folders& f) {
    if (kPortable) return std::string(why);
    return stand(f);
  };
}

std::string OldWithAclAndAttribute(Folders& f) {
  if (const std::string why = Old(0640)(f); !why.empty()) return why;
  const std::string set = "setfacl -m u:4321:rw " + f.image() + " && setfacl -d -m u:4322:r " +
                          f.dir.path() + " 2>/dev/null";
  const bool made = setxattr(f.image().c_str(), "user.origin", "disk", 4, 0) == 0;
  return Unless(made && system(set.c_str()) == 0, "no extended attributes or no setfacl here");
}

std::string OldUnderDefaultAcl(Folders& f) {
  if (const std::string why = Old(0600)(f); !why.empty()) return why;
  const std::string set = "setfacl -d -m u:4321:rw " + f.dir.path() + " 2>/dev/null";
  return Unless(system(set.c_str()) == 0, "no setfacl here");
}

Stand Linked(long size) {
  return [=](Folders& f) {
    if (const std::string why = Old(0644, size)(f); !why.empty()) return why;
    return Unless(link(f.image().c_str(), (f.dir / "other.d88").c_str()) == 0, "link failed");
  };
}

Stand LinkElsewhere(const std::string& name, bool exists) {
  return [=](Folders& f) {
    if (exists) WriteFile(f.elsewhere / name, kOldImage);
    return Unless(symlink((f.elsewhere / name).c_str(), f.image().c_str()) == 0, "symlink failed");
  };
}

bool MakeSparse(const std::string& path, long size) {
  const int fd = open(path.c_str(), O_WRONLY);
  const bool written = fd >= 0 && pwrite(fd, kOldImage.data(), 1000, size - 1000) == 1000;
  struct stat st;
  const bool holed = written && fstat(fd, &st) == 0 && st.st_blocks * 512 < size;
  close(fd);
  return holed;
}

}  // namespace testing_support
