#include "halvorn/app/table_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "halvorn/common/settings.h"
#include "halvorn/testing/capture.h"
#include "halvorn/testing/state.h"
#include "halvorn/testing/tables.h"

namespace halvorn {
namespace {

using testing::Bytes;
using testing::MakeTable;

// Runs each test inside a scratch directory, with the settings at their start values.
class TableFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetProcessState();
    ASSERT_TRUE(getcwd(cwd_, sizeof cwd_));
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(cwd_), 0);
    if (OutputStream != stdout) fclose(OutputStream);
    testing::ResetProcessState();
  }

  testing::ScratchDir dir_;
  char cwd_[4096];
};

// The answer text as a stream for the overwrite question.
FILE* Answers(const std::string& text) {
  if (text.empty()) return fopen("/dev/null", "r");
  return fmemopen(const_cast<char*>(text.data()), text.size(), "r");
}

TEST_F(TableFileTest, RedirectOutputAsksBeforeOverwriting) {
  struct Case {
    std::string answer;
    int result;
  } cases[] = {
      {"y\n", 0},  {"Y", 0},  {"\ny\n", 0},  {"yes\n", 0},
      {"n\n", -1}, {"x", -1}, {"\n\ny", -1}, {"", -1},
  };
  const std::string question = "Target path already exists, overwrite? [y|n] ";
  for (const Case& c : cases) {
    dir_.WriteFile("out.txt", "old");
    FILE* answers = Answers(c.answer);
    testing::OutputCapture capture;
    EXPECT_EQ(RedirectOutput("out.txt", answers), c.result) << c.answer;
    EXPECT_EQ(capture.Finish().err, question) << c.answer;
    fclose(answers);
    EXPECT_EQ(testing::ReadFileContent("out.txt"), c.result == 0 ? "" : "old") << c.answer;
    if (c.result == 0) {
      EXPECT_STREQ(OutputPath, "out.txt");
      fclose(OutputStream);
      ResetSettings();
    }
  }
}

TEST_F(TableFileTest, RedirectOutputToNewAndUnopenablePaths) {
  testing::OutputCapture capture;
  EXPECT_EQ(RedirectOutput("new.txt", nullptr), 0);  // no question, so no answer is read
  EXPECT_EQ(capture.Finish().err, "");
  struct stat status;
  EXPECT_EQ(stat("new.txt", &status), 0);
  fclose(OutputStream);
  ResetSettings();

  testing::OutputCapture capture2;
  EXPECT_EQ(RedirectOutput("missing/dir/out.txt", nullptr), -1);
  EXPECT_EQ(capture2.Finish().err, "Could not open output file: missing/dir/out.txt\n");
}

TEST_F(TableFileTest, BinaryFileNames) {
  const Bytes rsdp = testing::Prefix(testing::MakeRsdp(0, 0, 0), 20);
  struct Case {
    Bytes table;
    uint32_t instance;
    const char* name;
    size_t size;  // an implausible table gives an empty file
  } cases[] = {
      {MakeTable("SSDT", 40), 0, "ssdt.dat", 40},
      {MakeTable("SSDT", 40), 1, "ssdt1.dat", 40},
      {MakeTable("SSDT", 40), 4294967295u, "ssdt4294967295.dat", 40},
      {rsdp, 0, "rsdp.dat", 20},
      {MakeTable("OEM1", 40), 2, "oem12.dat", 40},
      {MakeTable(std::string("AB\0D", 4), 40), 0, "ab.dat", 0},
      {MakeTable("A_9Z", 40), 0, "a_9z.dat", 40},
      // A signature read from a file is never a path, nor a hidden or unprintable name: every
      // byte but a-z, 0-9 and '_' (after lower-casing) becomes '_'.
      {MakeTable("../X", 40), 0, "___x.dat", 0},
      {MakeTable(std::string("..\0\0", 4), 40), 3, "__3.dat", 0},
      {MakeTable("a\nb ", 40), 0, "a_b_.dat", 0},
      {MakeTable("\x80\xff\x7f\x01", 40), 0, "____.dat", 0},
      {MakeTable("KIT!", 40), 0, "kit_.dat", 40},
  };
  for (const Case& c : cases) {
    testing::OutputCapture capture;
    EXPECT_EQ(WriteTableFile({c.table.data(), c.table.size()}, c.instance), 0) << c.name;
    capture.Finish();
    const std::string written = testing::ReadFileContent(c.name);
    EXPECT_EQ(written, std::string(c.table.begin(), c.table.begin() + c.size)) << c.name;
  }
}

TEST_F(TableFileTest, VerboseWriteAndImplausibleTable) {
  OptVerbose = true;
  const Bytes rsdp = testing::Prefix(testing::MakeRsdp(0, 0, 0), 20);
  testing::OutputCapture capture;
  EXPECT_EQ(WriteTableFile({rsdp.data(), rsdp.size()}, 0), 0);
  EXPECT_EQ(capture.Finish().err, "Writing [RSD ] to binary file: rsdp.dat 0x14 (20) bytes\n");

  OptVerbose = false;
  Bytes bad = MakeTable({.signature = "DSDT", .length = 20, .size = 20});
  testing::OutputCapture capture2;
  EXPECT_EQ(WriteTableFile({bad.data(), bad.size()}, 0), 0);
  EXPECT_EQ(capture2.Finish().err, "Table length (0x00000014) is invalid\n");
  EXPECT_EQ(testing::ReadFileContent("dsdt.dat"), "");
}

TEST_F(TableFileTest, BinaryFileThatCannotBeWritten) {
  Bytes table = MakeTable("SSDT", 40);
  ASSERT_EQ(mkdir("ssdt.dat", 0755), 0);  // a directory stands where the file would go
  testing::OutputCapture capture;
  EXPECT_EQ(WriteTableFile({table.data(), table.size()}, 0), -1);
  EXPECT_EQ(capture.Finish().err, "Could not open output file: ssdt.dat\n");
}

TEST_F(TableFileTest, BinaryFileOnAFullDevice) {
  Bytes table = MakeTable("SSDT", 40);
  ASSERT_EQ(symlink("/dev/full", "ssdt.dat"), 0);
  testing::OutputCapture capture;
  EXPECT_EQ(WriteTableFile({table.data(), table.size()}, 0), -1);
  EXPECT_EQ(capture.Finish().err, "Error writing binary output file: ssdt.dat\n");
}

TEST_F(TableFileTest, ReadWholeFile) {
  dir_.WriteFile("empty", "");
  dir_.WriteFile("data", "0123456789");
  testing::OutputCapture capture;
  TableBuffer empty = ReadWholeFile("empty");
  TableBuffer data = ReadWholeFile("data");
  TableBuffer missing = ReadWholeFile("missing");
  EXPECT_EQ(capture.Finish().err, "Could not open input file: missing\n");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.size, 0u);
  ASSERT_TRUE(data);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data.get()), data.size), "0123456789");
  EXPECT_FALSE(missing);
}

// What cannot be a table file is refused at once, with what is wrong: a FIFO without a writer
// must not hold the open.
TEST_F(TableFileTest, ReadWholeFileRefusesWhatIsNoTableFile) {
  ASSERT_EQ(mkdir("directory", 0755), 0);
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  FILE* file = fopen("huge", "w");
  ASSERT_EQ(ftruncate(fileno(file), 0x100000000LL), 0);  // sparse
  fclose(file);
  struct Case {
    const char* path;
    const char* err;
  };
  const Case cases[] = {
      {"directory", "Input file directory is a directory\n"},
      {"fifo", "Input file fifo is not a regular file\n"},
      {"/dev/null", "Input file /dev/null is not a regular file\n"},
      {"huge", "Input file huge is too large for a table file (4 GiB or more)\n"},
  };
  for (const Case& c : cases) {
    testing::OutputCapture capture;
    EXPECT_FALSE(ReadWholeFile(c.path)) << c.path;
    EXPECT_EQ(capture.Finish().err, c.err);
  }
}

// Files halvorn creates are its owner's alone (the umask may narrow that); a file that is
// overwritten keeps its mode.
TEST_F(TableFileTest, CreatedFilesAreReadableByTheirOwnerOnly) {
  const Bytes table = MakeTable("SSDT", 40);
  struct Case {
    mode_t umask;
    mode_t existing;  // 0: the file is new
    mode_t mode;
  };
  const Case cases[] = {
      {022, 0, 0600}, {0, 0, 0600}, {0277, 0, 0400}, {022, 0644, 0644}, {077, 0604, 0604},
  };
  for (const bool binary : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(binary ? "-b" : "-o") + " umask " + std::to_string(c.umask) +
                   " existing " + std::to_string(c.existing));
      const char* name = binary ? "ssdt.dat" : "out.txt";
      unlink(name);
      if (c.existing) {
        dir_.WriteFile(name, "old");
        ASSERT_EQ(chmod(name, c.existing), 0);
      }
      const mode_t saved = umask(c.umask);
      FILE* answers = Answers("y");
      testing::OutputCapture capture;
      const int result =
          binary ? WriteTableFile({table.data(), table.size()}, 0) : RedirectOutput(name, answers);
      capture.Finish();
      fclose(answers);
      umask(saved);
      ASSERT_EQ(result, 0);
      if (!binary) {
        fclose(OutputStream);
        ResetSettings();
      }
      struct stat status;
      ASSERT_EQ(stat(name, &status), 0);
      EXPECT_EQ(status.st_mode & 07777, c.mode);
      EXPECT_EQ(testing::ReadFileContent(name).size(), binary ? 40u : 0u);
    }
  }
}

TEST_F(TableFileTest, StreamSizeKeepsThePosition) {
  FILE* file = fopen("sized", "w+");
  fputs("0123456789", file);
  fseek(file, 3, SEEK_SET);
  EXPECT_EQ(StreamSize(file), 10u);
  EXPECT_EQ(ftell(file), 3);
  fclose(file);

  // A pipe has no position to take.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* pipe_stream = fdopen(fds[0], "r");
  testing::OutputCapture capture;
  EXPECT_EQ(StreamSize(pipe_stream), 0xFFFFFFFFu);
  EXPECT_EQ(capture.Finish().err, "Could not get file offset\n");
  fclose(pipe_stream);
  close(fds[1]);
}

}  // namespace
}  // namespace halvorn
