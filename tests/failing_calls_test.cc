// Every system call that the image's path makes, failed in turn with each error it can give
// (strace fails it at its N-th entry): the run keeps every promise. It reports the error and
// leaves the old image as it was; or, where the failure harms nothing, writes the image all the
// same; and it never leaves a file behind nor removes one it did not make.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_files.h"
#include "tests/what_stands.h"

namespace testing_support {
namespace {

// The errors each call of the image's path can give; 0 for a write that writes nothing.
// clang-format off
const std::map<std::string, std::vector<int>> kErrors = {
    {"openat",         {EACCES, EPERM, ENOSPC, EIO, EMFILE}},
    {"newfstatat",     {EIO, EOVERFLOW}},
    {"statx",          {EIO}},
    {"readlink",       {EACCES, EIO}},
    {"prlimit64",      {EFAULT}},
    {"rt_sigprocmask", {EINVAL}},
    {"rt_sigpending",  {EFAULT}},
    {"fchown",         {EPERM, EIO}},
    {"flistxattr",     {EIO, EOPNOTSUPP}},
    {"fgetxattr",      {EIO, EACCES}},
    {"fsetxattr",      {EIO, EPERM, ENOSPC}},
    {"fremovexattr",   {EIO, EPERM}},
    {"fallocate",      {ENOSPC, EDQUOT, EOPNOTSUPP}},
    {"lseek",          {EIO, EINVAL}},
    {"pwrite64",       {EIO, ENOSPC, EDQUOT, 0}},
    {"write",          {EIO, ENOSPC, 0}},
    {"fsync",          {EIO, ENOSPC}},
    {"fchmod",         {EPERM, EIO}},
    {"ftruncate",      {EIO, EPERM}},
    {"close",          {EIO}},
    {"renameat",       {ENOSPC, EDQUOT, EIO, EPERM, EXDEV}},
    {"renameat2",      {ENOSPC, EIO}},
    {"rename",         {ENOSPC, EIO}},
    {"unlinkat",       {EIO, EPERM}},
    {"unlink",         {EIO, EPERM}},
};
// clang-format on

// One call of a traced run.
struct Call {
  std::string name;    // as strace names it
  std::string line;    // as strace wrote it, each descriptor with its path
  int nth = 0;         // among the calls of its name in the run, from 1
  bool last = false;   // the last flush or rename: the image whole and in place once it is done
  bool after = false;  // the image was whole and in place before it
};

// The calls a run makes from the image's first open on (the hold of signals just before it
// among them), as strace wrote them with `inject` in force; none if `stand` cannot be put here.
std::vector<Call> TracedCalls(const Stand& stand, const std::string& inject) {
  Folders f;
  WritePatternInputs(f.dir, "v1", 30000);
  if (!stand(f).empty()) return {};
  ToolRun run(f.dir, {"v1", "0"}, {.inject = inject, .trace_all = true});
  run.Finish();
  std::vector<Call> calls;
  std::map<std::string, int> seen;
  std::istringstream trace(run.Trace());
  for (std::string line; std::getline(trace, line);) {
    const std::string name = line.substr(0, line.find('('));
    ++seen[name];
    calls.push_back({name, line, seen[name]});
  }
  const auto first = std::find_if(calls.begin(), calls.end(), [](const Call& c) {
    return c.line.find(kImage) != std::string::npos;
  });
  if (first != calls.begin() && first != calls.end()) calls.erase(calls.begin(), first - 1);
  // The image is whole and in place after the last flush or rename.
  std::size_t done = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].name == "fsync" || calls[i].name.rfind("rename", 0) == 0) done = i;
  }
  if (!calls.empty()) calls[done].last = true;
  for (std::size_t i = done + 1; i < calls.size(); ++i) calls[i].after = true;
  return calls;
}

// Whether a call acts on the new file made beside the old one, ".NAME.XXXXXXXX".
bool OnNewFile(const Call& call) { return call.line.find(".d88.") != std::string::npos; }

// What came of a run with one call failed.
struct Outcome {
  int status = 0;
  std::string err;
  bool existed = false;  // an image stood under the name before
  bool kept = false;     // what stood there stands there, as it was, or nothing as before
  bool whole = false;    // the new image stands there
  bool same = false;     // in the file that stood there
  bool cut = false;      // the new image, then what stood past its end: a longer file not cut
  bool left = false;     // a file left in either folder that was not there before, or one gone
};

// Whether `err` is the message for `error`, then, when a file was left, one more line that
// names it.
bool Reports(const std::string& err, int error, bool left) {
  const std::string message = Message(error != 0 ? error : EIO);
  if (!left) return err == message;
  const std::string more = err.substr(std::min(message.size(), err.size()));
  return err.rfind(message, 0) == 0 && more.find(": ") != std::string::npos &&
         more.find('\n') == more.size() - 1;
}

// Whether a run in which `call` failed with `error` kept the promises. Reported: status 1 with
// the error's text (and a line naming the file the run made, if it could not remove it), the
// old image kept (or the new one whole, when the call was the last flush
// or rename, or came after it; or not cut, when the cut failed). Not reported: the image whole,
// where the failure harms nothing: once the image is in place, a descriptor let go, no extended
// attributes or reservation on that disk, or a refusal to give the new file what the old one has,
// or to make it, which writes the image in place.
bool KeepsPromises(const Call& call, int error, const Outcome& o) {
  if (o.status == 1 && Reports(o.err, error, o.left))
    return o.kept || ((call.last || call.after) && o.whole) || o.cut || o.left;
  if (o.status != 0 || !o.whole || o.left) return false;
  if (call.after) return true;
  if (call.name == "close" && !OnNewFile(call)) return true;
  if (error == EOPNOTSUPP && (call.name == "flistxattr" || call.name == "fallocate")) return true;
  const bool giving = call.name == "fchown" || call.name.find("xattr") != std::string::npos ||
                      (call.name == "openat" && OnNewFile(call));
  return giving && (error == EPERM || error == EACCES) && (o.same || !o.existed);
}

// Whether the names in `now` are those `before`, but for `made`, the image's own, if not "".
bool OnlyAdded(std::vector<std::string> before, std::vector<std::string> now,
               const std::string& made) {
  std::erase(before, made);
  std::erase(now, made);
  return before == now;
}

// Runs the tool with `call` failing with `error` (and `inject` in force) on what `stand` puts
// under the name, and says what came of it. The image is looked at through the name: where a
// link leads, it is the file at its end, named "disk.d88".
Outcome RunFailing(const Stand& stand, const std::string& inject, const Call& call, int error) {
  Folders f;
  WritePatternInputs(f.dir, "v1", 30000);
  stand(f);
  struct stat before = {};
  const bool existed = stat(f.image().c_str(), &before) == 0;
  const Bytes old = ReadFile(f.image());
  const std::vector<std::string> names = Names(f.dir.path());
  const std::vector<std::string> there = Names(f.elsewhere.path());
  std::string failing = call.name + ":retval=0";
  if (error != 0) failing = call.name + ":error=" + strerrorname_np(error);
  failing += ":when=" + std::to_string(call.nth);
  if (!inject.empty()) failing = inject + ";" + failing;
  const RunResult r = RunTool(f.dir, {"v1", "0"}, {.inject = failing});
  struct stat after = {};
  const bool exists = stat(f.image().c_str(), &after) == 0;
  const Bytes now = ReadFile(f.image());
  const Bytes& fresh = Fresh();
  Outcome o;
  o.status = r.status;
  o.err = r.err;
  o.existed = existed;
  o.same = existed && exists && after.st_ino == before.st_ino;
  o.kept = !exists;
  if (existed) o.kept = o.same && now == old;
  o.whole = now == fresh;
  o.cut = call.name == "ftruncate" && o.same && now.size() > fresh.size() &&
          std::equal(fresh.begin(), fresh.end(), now.begin());
  const std::string made = exists ? kImage : "";
  const std::string made_there = exists ? "disk.d88" : "";
  o.left = !OnlyAdded(names, Names(f.dir.path()), made) ||
           !OnlyAdded(there, Names(f.elsewhere.path()), made_there) ||
           (!existed && exists && !o.whole);
  return o;
}

// A file with a second hard link as long as the image, a hole but at its start and end.
std::string SparseLinked(Folders& f) {
  if (const std::string why = Linked()(f); !why.empty()) return why;
  return Unless(MakeSparse(f.image(), 348'848), "cannot make a sparse file");
}

TEST(DataSafety, EveryFailingCallOfTheImagePathKeepsThePromises) {
  if (const std::string why = NoStrace(); !why.empty()) GTEST_SKIP() << why;
  struct Case {
    const char* what;
    Stand stand;
    const char* inject;  // in force in every run of the case
  };
  // clang-format off
  const Case cases[] = {
      {"nothing", Nothing, ""},
      {"a file", Old(0644), ""},
      {"a link", LinkElsewhere("disk.d88", true), ""},
      {"a dangling link", LinkElsewhere("disk.d88", false), ""},
      {"a file with a second hard link", Linked(), ""},
      {"a longer one", Linked(400'000), ""},
      {"a sparse one, on a disk that reserves no room", SparseLinked,
       "fallocate:error=EOPNOTSUPP:when=1+"},
      {"a file with an ACL and a user attribute", OldWithAclAndAttribute, ""},
      {"a file without an ACL under a default ACL", OldUnderDefaultAcl, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::vector<Call> calls = TracedCalls(c.stand, c.inject);
    if (calls.empty()) std::printf("not swept here: %s\n", c.what);
    for (const Call& call : calls) {
      // The new file is made anew, never opened where one was planted.
      if (call.name == "openat" && OnNewFile(call)) {
        EXPECT_NE(call.line.find("O_EXCL"), std::string::npos) << call.line;
      }
      if (!kErrors.contains(call.name)) continue;
      if (std::string(c.inject).rfind(call.name + ":", 0) == 0) continue;
      for (const int error : kErrors.at(call.name)) {
        const Outcome o = RunFailing(c.stand, c.inject, call, error);
        if (KeepsPromises(call, error, o)) continue;
        ADD_FAILURE() << c.what << ", " << call.name << " #" << call.nth << " failing with "
                      << (error != 0 ? strerrorname_np(error) : "nothing written") << ": "
                      << call.line << "\n  status " << o.status << ", message " << o.err
                      << "  image "
                      << (o.whole  ? "new"
                          : o.kept ? "old"
                                   : "damaged or gone")
                      << (o.same ? ", same file" : "") << (o.left ? ", files left or gone" : "");
      }
    }
  }
}

}  // namespace
}  // namespace testing_support
