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
    {"fcntl",          {EDEADLK, ENOLCK, EOPNOTSUPP}},
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
// among them), as strace wrote them with `inject` in force; none, and why, if `stand` cannot be
// put here.
std::vector<Call> TracedCalls(const Stand& stand, const std::string& inject, std::string& why) {
  Folders f;
  WritePatternInputs(f.dir, "v1", 30000);
  why = stand(f);
  if (!why.empty()) return {};
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

// Whether a call opens a folder: its first path names none of the image's files.
bool OpensFolder(const Call& call) {
  const std::size_t from = call.line.find('"');
  const std::string path = call.line.substr(from + 1, call.line.find('"', from + 1) - from - 1);
  return call.name == "openat" && path.find(".d88") == std::string::npos;
}

// What came of a run with one call failed.
struct Outcome {
  int status = 0;
  std::string err;
  bool existed = false;  // an image stood under the name before
  bool kept = false;     // what stood there stands there, as it was, or nothing as before
  bool whole = false;    // the new image stands there
  bool same = false;     // in the file that stood there
  bool cut = false;      // the new image, then what stood past its end: a longer file not cut
  bool left = false;     // a file in either folder that was not there, or an image not whole
  bool named = false;    // the message's second line names a file that stands there
  bool gone = false;     // a file that stood in either folder, but for the image, is gone
};

// Whether a run in which `call` failed with `error` kept the promises. A disk that keeps no
// extended attributes or reservations is no failure: the image is written whole, as on any
// other. Otherwise reported: status 1 with the error's text, and the old image kept (or the
// new one whole, when the call was the last flush or rename, or came after it; or not cut, when
// the cut failed), or else a file the run made and could not remove named on a line of its own.
// Or not reported: the image whole, where the failure harms nothing: once the image is in place,
// a descriptor let go, no locks on that disk, or a refusal to give the new file what the old one
// has, to make it or to open the folder, which writes the image in place. Never a file gone.
bool KeepsPromises(const Call& call, int error, const Outcome& o) {
  if (o.gone) return false;
  const bool unsupported = (error == EOPNOTSUPP && call.name == "flistxattr" && !OnNewFile(call)) ||
                           (error == EOPNOTSUPP && call.name == "fallocate");
  if (unsupported) return o.status == 0 && o.whole && !o.left;
  const std::string message = Message(error != 0 ? error : EIO);
  if (o.status == 1 && !o.left && o.err == message)
    return o.kept || ((call.last || call.after) && o.whole) || o.cut;
  if (o.status == 1 && o.left && o.named && o.err.rfind(message, 0) == 0)
    return o.kept || !o.existed;
  if (o.status != 0 || !o.whole || o.left) return false;
  if (call.after) return true;
  if (call.name == "close" && !OnNewFile(call)) return true;
  if (call.name == "fcntl" && (error == ENOLCK || error == EOPNOTSUPP)) return true;  // no locks
  const bool giving = call.name == "fchown" || call.name.find("xattr") != std::string::npos ||
                      (call.name == "openat" && OnNewFile(call)) || OpensFolder(call);
  return giving && (error == EPERM || error == EACCES) && (o.same || !o.existed);
}

// Whether the names in `now` are those `before`, but for `made`, the image's own, if not "".
// `added` is set when a name came, `removed` when one went.
void Compare(std::vector<std::string> before, std::vector<std::string> now, const std::string& made,
             bool& added, bool& removed) {
  std::erase(before, made);
  std::erase(now, made);
  added = added || std::ranges::any_of(now, [&](const std::string& n) {
            return std::ranges::find(before, n) == before.end();
          });
  removed = removed || std::ranges::any_of(before, [&](const std::string& n) {
              return std::ranges::find(now, n) == now.end();
            });
}

// Whether the second line of `err` names a file that stands there, its path taken from `dir`.
bool NamesAFile(const std::string& err, const std::string& dir) {
  const std::size_t line = err.find('\n') + 1;
  const std::size_t colon = err.find(": ", line);
  if (line == 0 || colon == std::string::npos) return false;
  std::string name = err.substr(line, colon - line);
  if (name.front() != '/') name = dir + "/" + name;
  return Exists(name);
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
  Compare(names, Names(f.dir.path()), kImage, o.left, o.gone);
  Compare(there, Names(f.elsewhere.path()), "disk.d88", o.left, o.gone);
  o.left = o.left || (!existed && exists && !o.whole);
  o.named = NamesAFile(r.err, f.dir.path());
  return o;
}

// A file with a second hard link as long as the image, a hole but at its start and end.
std::string SparseLinked(Folders& f) {
  if (const std::string why = Linked()(f); !why.empty()) return why;
  return Unless(MakeSparse(f.image(), 348'848), "cannot make a sparse file");
}

// What stands under the name for one sweep, and an inject option in force in each of its runs.
struct Sweep {
  const char* name;  // the test's, as it reports it
  Stand stand;
  const char* inject;
};

class EveryFailingCall : public ::testing::TestWithParam<Sweep> {};

TEST_P(EveryFailingCall, OfTheImagePathKeepsThePromises) {
  if (const std::string why = NoStrace(); !why.empty()) GTEST_SKIP() << why;
  const Sweep& sweep = GetParam();
  std::string why;
  const std::vector<Call> calls = TracedCalls(sweep.stand, sweep.inject, why);
  if (!why.empty()) GTEST_SKIP() << why;
  for (const Call& call : calls) {
    // The new file is made anew, never opened where one was planted; no file the run writes
    // becomes its controlling terminal.
    if (call.name == "openat" && OnNewFile(call)) {
      EXPECT_NE(call.line.find("O_EXCL"), std::string::npos) << call.line;
    }
    if (call.name == "openat" && !OpensFolder(call)) {
      EXPECT_NE(call.line.find("O_NOCTTY"), std::string::npos) << call.line;
    }
    if (!kErrors.contains(call.name)) continue;
    if (std::string(sweep.inject).rfind(call.name + ":", 0) == 0) continue;
    for (const int error : kErrors.at(call.name)) {
      const Outcome o = RunFailing(sweep.stand, sweep.inject, call, error);
      if (KeepsPromises(call, error, o)) continue;
      const char* image = "damaged or gone";
      if (o.kept) image = "old";
      if (o.whole) image = "new";
      ADD_FAILURE() << call.name << " #" << call.nth << " failing with "
                    << (error != 0 ? strerrorname_np(error) : "nothing written") << ": "
                    << call.line << "\n  status " << o.status << ", message " << o.err << "  image "
                    << image << (o.same ? ", same file" : "") << (o.left ? ", a file left" : "")
                    << (o.gone ? ", a file gone" : "");
    }
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(DataSafety, EveryFailingCall, ::testing::Values(
    Sweep{"Nothing", Nothing, ""},
    Sweep{"File", Old(0644), ""},
    Sweep{"Link", LinkElsewhere("disk.d88", true), ""},
    Sweep{"DanglingLink", LinkElsewhere("disk.d88", false), ""},
    Sweep{"Linked", Linked(), ""},
    Sweep{"LinkedLonger", Linked(400'000), ""},
    Sweep{"SparseLinkedNoRoomAhead", SparseLinked, "fallocate:error=EOPNOTSUPP:when=1+"},
    Sweep{"AclAndAttribute", OldWithAclAndAttribute, ""},
    Sweep{"UnderDefaultAcl", OldUnderDefaultAcl, ""}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace testing_support
