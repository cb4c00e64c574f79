// Runs of the real binary in a scratch directory: messages, exit statuses and
// the files left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "builder/run.h"
#include "tests/d88_reader.h"
#include "tests/test_files.h"

namespace testing_support {
namespace {

constexpr char kUsage[] = "Usage: gen_tarsilp6 v1|v2 offset\n";
const Bytes kOldImage = {'o', 'l', 'd'};

// Command lines that write no image, with all inputs present: the status,
// the one stream written to and its first line. A usage error writes that
// line alone, and so does --version; --help goes on.
TEST(Cli, CommandLinesThatWriteNoImage) {
  enum Stream { kOut, kErr };
  struct Row {
    std::vector<std::string> args;
    int status;
    Stream stream;
    std::string first_line;
  };
  const std::string usage(kUsage, std::strlen(kUsage) - 1);  // without its newline
  const Row rows[] = {
      {{}, 1, kErr, usage},
      {{"v1"}, 1, kErr, usage},
      {{"v1", "0", "extra"}, 1, kErr, usage},
      {{"--help"}, 0, kOut, usage},
      {{"--version"}, 0, kOut, std::string("gen_tarsilp6 ") + builder::kVersion},
  };
  for (const Row& row : rows) {
    std::string command = "gen_tarsilp6";
    for (const std::string& arg : row.args) command += " " + arg;
    SCOPED_TRACE(command);
    ScratchDir dir;
    WritePatternInputs(dir, "v1", 30000);
    const RunResult r = RunTool(dir, row.args);
    EXPECT_EQ(r.status, row.status);
    const std::string& text = row.stream == kOut ? r.out : r.err;
    EXPECT_EQ(row.stream == kOut ? r.err : r.out, "");
    EXPECT_EQ(text.substr(0, text.find('\n')), row.first_line);
    if (row.args != std::vector<std::string>{"--help"}) {
      EXPECT_EQ(text, row.first_line + "\n");
    }
    EXPECT_FALSE(Exists(dir / "zemra8p6.d88"));
  }
}

// --help and --version into a full standard output: the flush that fails is
// reported with its reason, and the status is 1.
TEST(Cli, HelpAndVersionIntoAFullOutputFail) {
  for (const char* option : {"--help", "--version"}) {
    std::FILE *full = std::fopen("/dev/full", "w"), *err = std::tmpfile();
    ASSERT_TRUE(full != nullptr && err != nullptr);
    const char* argv[] = {"gen_tarsilp6", option, nullptr};
    EXPECT_EQ(builder::Run(2, argv, full, err), 1) << option;
    char text[200];
    std::rewind(err);
    EXPECT_EQ(std::string(text, std::fread(text, 1, sizeof text, err)),
              std::string("standard output: ") + std::strerror(ENOSPC) + "\n");
    std::fclose(full);
    std::fclose(err);
  }
}

TEST(Cli, TagTooLongForAFileNameGivesUsageBeforeOpeningAnything) {
  ScratchDir dir;
  // "zemra80_prog_p6_" + tag + ".bin" would be 256 characters.
  const std::string tag(256 - 16 - 4, 'v');
  const RunResult r = RunTool(dir, {tag, "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kUsage);
  EXPECT_FALSE(Exists(dir / "zemra8p6.d88"));
}

TEST(Cli, SuccessfulRunIsSilentAndWritesAWellFormedImage) {
  for (const std::string tag : {"v1", "v2", "any-tag"}) {
    ScratchDir dir;
    WritePatternInputs(dir, tag, 30000);
    const RunResult r = RunTool(dir, {tag, "0"});
    EXPECT_EQ(r.status, 0) << tag << ": " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(CheckContainer(ReadFile(dir / "zemra8p6.d88")), "") << tag;
  }
}

TEST(Cli, ExistingImageIsReplaced) {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 0);
  WriteFile(dir / "zemra8p6.d88", Bytes(400'000, 0x55));
  ASSERT_EQ(RunTool(dir, {"v1", "0"}).status, 0);
  EXPECT_EQ(CheckContainer(ReadFile(dir / "zemra8p6.d88")), "");
}

// Each input in turn missing, all others present: its name as composed with
// the platform's text, status 1, and an old image left as it was.
TEST(Cli, MissingInputIsNamedAndOldImageSurvives) {
  const auto names = InputNames("v2");
  for (const std::string& missing : names) {
    ScratchDir dir;
    WritePatternInputs(dir, "v2", 100);
    ASSERT_EQ(unlink((dir / missing).c_str()), 0);
    WriteFile(dir / "zemra8p6.d88", kOldImage);
    const RunResult r = RunTool(dir, {"v2", "0"});
    EXPECT_EQ(r.status, 1) << missing;
    EXPECT_EQ(r.err, missing + ": No such file or directory\n");
    EXPECT_EQ(ReadFile(dir / "zemra8p6.d88"), kOldImage) << missing;
  }
}

// The first input in opening order that cannot be opened is named, with the
// system's reason for it, whatever fails after it; an old image survives.
TEST(Cli, FirstInputThatCannotBeOpenedIsNamedWithItsReason) {
  enum Fault { kMissing, kDirectory, kLinkLoop };
  struct Case {
    std::vector<std::pair<std::string, Fault>> faults;
    std::string reported;
    int error;
  };
  const Case cases[] = {
      {{{"data9.bin", kMissing}, {"data5.bin", kMissing}, {"ipl2_v1.bin", kMissing}},
       "ipl2_v1.bin",
       ENOENT},
      {{{"data5.bin", kDirectory}, {"data9.bin", kMissing}}, "data5.bin", EISDIR},
      {{{"data3.bin", kLinkLoop}, {"data4.bin", kDirectory}}, "data3.bin", ELOOP},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    WritePatternInputs(dir, "v1", 100);
    WriteFile(dir / "zemra8p6.d88", kOldImage);
    for (const auto& [name, fault] : c.faults) {
      ASSERT_EQ(unlink((dir / name).c_str()), 0);
      ASSERT_EQ(fault == kDirectory  ? mkdir((dir / name).c_str(), 0700)
                : fault == kLinkLoop ? symlink(name.c_str(), (dir / name).c_str())
                                     : 0,
                0);
    }
    const RunResult r = RunTool(dir, {"v1", "0"});
    EXPECT_EQ(r.status, 1) << c.reported;
    EXPECT_EQ(r.err, c.reported + ": " + std::strerror(c.error) + "\n");
    EXPECT_EQ(ReadFile(dir / "zemra8p6.d88"), kOldImage) << c.reported;
  }
}

TEST(Cli, ReadErrorOnAnInputFailsTheRun) {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 100);
  unlink((dir / "data3.bin").c_str());
  // Opens, then fails its first read with EIO.
  ASSERT_EQ(symlink("/proc/self/mem", (dir / "data3.bin").c_str()), 0);
  const RunResult r = RunTool(dir, {"v1", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string("data3.bin: ") + std::strerror(EIO) + "\n");
}

TEST(Cli, FailedWriteOfTheImageFailsTheRun) {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 100);
  ASSERT_EQ(symlink("/dev/full", (dir / "zemra8p6.d88").c_str()), 0);
  const RunResult r = RunTool(dir, {"v1", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string("zemra8p6.d88: ") + std::strerror(ENOSPC) + "\n");
}

TEST(Cli, OutputThatCannotBeOpenedIsNamed) {
  ScratchDir dir;
  WritePatternInputs(dir, "v1", 100);
  ASSERT_EQ(mkdir((dir / "zemra8p6.d88").c_str(), 0700), 0);
  const RunResult r = RunTool(dir, {"v1", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string("zemra8p6.d88: ") + std::strerror(EISDIR) + "\n");
}

}  // namespace
}  // namespace testing_support
