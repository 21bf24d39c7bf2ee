#include "halvorn/app/dump.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "halvorn/common/console.h"
#include "halvorn/common/settings.h"
#include "halvorn/testing/capture.h"
#include "halvorn/testing/fake_memory.h"
#include "halvorn/testing/state.h"
#include "halvorn/testing/tables.h"

namespace halvorn {
namespace {

using testing::Bytes;

TableBytes View(const Bytes& bytes) { return {bytes.data(), bytes.size()}; }

// A table whose header holds only the signature, Length, revision 2 and OEM ID "OEMID ", with
// payload bytes that count up from 36; `size` bytes long (Length bytes when 0).
Bytes MakeTable(const char* signature, uint32_t length, size_t size = 0) {
  if (size == 0) size = length;
  Bytes payload;
  for (size_t i = 36; i < size; ++i) payload.push_back(uint8_t(i));
  return testing::MakeTable({.signature = signature,
                             .length = length,
                             .revision = 2,
                             .oem_id = "OEMID ",
                             .oem_table_id = "",
                             .oem_revision = 0,
                             .creator_id = "",
                             .creator_revision = 0,
                             .size = size},
                            payload);
}

// An RSDP with OEM ID "OEMID " and no root table addresses.
Bytes MakeRsdp(uint8_t revision) {
  return testing::MakeRsdp(
      {.revision = revision, .oem_id = "OEMID ", .rsdt_address = 0, .xsdt_address = 0});
}

// Captures OutputStream in memory, and standard output and error, for one operation.
class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetProcessState();
    stream_ = open_memstream(&text_, &size_);
    OutputStream = stream_;
  }
  void TearDown() override {
    fclose(stream_);
    free(text_);
    testing::ResetProcessState();
  }
  std::string Output() {
    fflush(stream_);
    return std::string(text_, size_);
  }

  char* text_ = nullptr;
  size_t size_ = 0;
  FILE* stream_ = nullptr;
};

TEST_F(DumpTest, OutputTableAsHexDump) {
  const Bytes table = MakeTable("FACP", 40, 48);
  EXPECT_EQ(OutputTable(View(table), 0, 0x1'0000'0000 + 0xBFF7E000), 0);
  std::string expected = "FACP @ 0x00000001BFF7E000\n";
  char row[100];
  snprintf(row, sizeof row,
           "    0000: 46 41 43 50 28 00 00 00 02 %02X 4F 45 4D 49 44 20  FACP(.....OEMID \n",
           table[9]);
  expected += row;
  expected += "    0010: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  ................\n";
  expected += "    0020: 00 00 00 00 24 25 26 27" + std::string(26, ' ') + "....$%&'\n\n";
  // Only the table's Length bytes are dumped, not what lies behind them.
  EXPECT_EQ(Output(), expected);
}

TEST_F(DumpTest, ImplausibleTableGetsHeadingAndEmptyDump) {
  const Bytes table = MakeTable("DSDT", 35, 36);
  testing::OutputCapture capture;
  EXPECT_EQ(OutputTable(View(table), 0, 0), 0);
  EXPECT_EQ(capture.Finish().err, "Table length (0x00000023) is invalid\n");
  EXPECT_EQ(Output(), "DSDT @ 0x0000000000000000\n\n");
}

TEST_F(DumpTest, RsdpDumpsItsOwnLength) {
  Bytes rsdp = MakeRsdp(0);
  EXPECT_EQ(OutputTable(View(rsdp), 0, 0xF0000), 0);
  EXPECT_EQ(Output().substr(0, 26), "RSD  @ 0x00000000000F0000\n");
  EXPECT_NE(Output().find("    0010: "), std::string::npos);
  EXPECT_EQ(Output().find("    0020: "), std::string::npos);
}

TEST_F(DumpTest, SummaryGoesToStandardOutputOnly) {
  const Bytes table = MakeTable("APIC", 40);
  OptSummary = true;
  OptBinary = true;  // the summary wins: no file is written
  testing::ScratchDir dir;
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  testing::OutputCapture capture;
  EXPECT_EQ(OutputTable(View(table), 0, 0), 0);
  auto result = capture.Finish();
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(result.out.substr(0, 34), "ACPI: APIC 0x0000000000000000 0000");
  EXPECT_EQ(Output(), "");
  EXPECT_EQ(testing::ReadFileContent(dir.Join("apic.dat")), "");
}

// Runs RunDumpFromFile on a file with `content`; returns the result and fills out/err.
int DumpFile(const Bytes& content, testing::OutputCapture::Result* streams,
             std::string* path = nullptr) {
  static testing::ScratchDir dir;
  const std::string file = dir.WriteFile("table.bin", std::string(content.begin(), content.end()));
  if (path) *path = file;
  testing::OutputCapture capture;
  const int result = RunDumpFromFile(file.c_str());
  *streams = capture.Finish();
  return result;
}

TEST_F(DumpTest, FileTables) {
  std::string path;
  testing::OutputCapture::Result streams;

  // Trailing bytes beyond the table's Length are not dumped.
  Bytes table = MakeTable("SSDT", 36, 40);
  EXPECT_EQ(DumpFile(table, &streams, &path), 0);
  EXPECT_EQ(streams.err, "");
  EXPECT_EQ(Output().substr(0, 26), "SSDT @ 0x0000000000000000\n");
  EXPECT_NE(Output().find("    0020: 00 00 00 00" + std::string(38, ' ') + "....\n\n"),
            std::string::npos);

  // A table longer than its file is refused.
  EXPECT_EQ(DumpFile(MakeTable("SSDT", 64, 40), &streams, &path), -1);
  EXPECT_EQ(streams.err, "Table length (0x40) is too large for input file (0x28) " + path + "\n");

  // A bad signature alone is only a warning.
  Output();
  const size_t before = size_;
  EXPECT_EQ(DumpFile(MakeTable("ssdt", 36), &streams, &path), 0);
  EXPECT_EQ(streams.err, "No valid ACPI signature was found in input file " + path +
                             "\nTable signature (0x74647373) is invalid\n");
  EXPECT_EQ(Output().substr(before), "ssdt @ 0x0000000000000000\n\n");
}

TEST_F(DumpTest, FilesTooShortForTheirHeaderAreRefused) {
  std::string path;
  testing::OutputCapture::Result streams;
  for (size_t size = 0; size < 8; ++size) {
    EXPECT_EQ(DumpFile(testing::Prefix(MakeTable("SSDT", 36, 36), size), &streams, &path), -1);
    char expected[256];
    snprintf(expected, sizeof expected,
             "Input file %s is too short for a table header (0x%zX bytes)\n", path.c_str(), size);
    EXPECT_EQ(streams.err, expected);
  }
  // A summary needs the whole 36-byte header.
  OptSummary = true;
  EXPECT_EQ(DumpFile(MakeTable("FACS", 20, 20), &streams, &path), -1);
  EXPECT_EQ(streams.err, "Input file " + path + " is too short for a table header (0x14 bytes)\n");
  EXPECT_EQ(DumpFile(MakeTable("FACS", 36, 36), &streams, &path), 0);
  EXPECT_EQ(streams.out, "ACPI: FACS 0x0000000000000000 000024\n");
}

// An RSDP file, such as the rsdp.dat that -b writes, is as long as its revision says.
TEST_F(DumpTest, RsdpFilesReadBack) {
  Bytes v0 = testing::Prefix(MakeRsdp(0), 20);
  Bytes v2 = MakeRsdp(2);
  Bytes v2_long = MakeRsdp(2);
  testing::PutLe32(v2_long, 20, 40);  // Length 40 in a file of 36 bytes
  std::string path;
  testing::OutputCapture::Result streams;
  struct Case {
    const char* name;
    Bytes file;
    size_t dumped;  // bytes in the dump, or 0 when the file is refused
    std::string refusal;
  };
  const Case cases[] = {
      {"revision 0", v0, 20, ""},
      {"revision 0 with trailing bytes", MakeRsdp(0), 20, ""},
      {"revision 2", v2, 36, ""},
      {"revision 2 longer than its file", v2_long, 0,
       "Table length (0x28) is too large for input file (0x24) "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Output();
    const size_t before = size_;
    EXPECT_EQ(DumpFile(c.file, &streams, &path), c.dumped ? 0 : -1);
    EXPECT_EQ(streams.err, c.dumped ? "" : c.refusal + path + "\n");
    if (!c.dumped) continue;
    const std::string dump = Output().substr(before);
    EXPECT_EQ(dump.substr(0, 26), "RSD  @ 0x0000000000000000\n");
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), c.dumped == 20 ? 4 : 5) << dump;
  }

  // Every shorter prefix is refused by the length its revision byte gives (0 when cut off).
  for (size_t size = 8; size < 36; ++size) {
    SCOPED_TRACE(size);
    const Bytes& whole = size < 20 ? v0 : v2;
    EXPECT_EQ(DumpFile(testing::Prefix(whole, size), &streams, &path), -1);
    char expected[256];
    snprintf(expected, sizeof expected,
             "Table length (0x%X) is too large for input file (0x%zX) %s\n", size < 20 ? 20 : 36,
             size, path.c_str());
    EXPECT_EQ(streams.err, expected);
  }

  // A summary needs no 36-byte header of an RSDP.
  OptSummary = true;
  EXPECT_EQ(DumpFile(v0, &streams, &path), 0);
  EXPECT_EQ(streams.out, "ACPI: RSDP 0x0000000000000000 000014 (v00 OEMID )\n");
  EXPECT_EQ(streams.err, "");
}

TEST_F(DumpTest, VerboseFileLine) {
  OptVerbose = true;
  std::string path;
  testing::OutputCapture::Result streams;
  EXPECT_EQ(DumpFile(MakeTable("DSDT", 40, 40), &streams, &path), 0);
  EXPECT_EQ(streams.err, "Input file:  " + path + " contains table [DSDT], 0x28 (40) bytes\n");
}

TEST_F(DumpTest, SignatureMustHaveFourCharacters) {
  for (const char* text : {"FACPX", "DSD", ""}) {
    testing::OutputCapture capture;
    EXPECT_EQ(RunDumpBySignature(text), -1);
    EXPECT_EQ(capture.Finish().err, std::string("Invalid table signature [") + text +
                                        "]: must be exactly 4 characters\n");
  }
}

// The kernel names the files of a signature SSDT1, SSDT2, ... once it has several, with none for
// instance 0, and numbers tables loaded later on from there. -n dumps every instance the two
// directories hold, in instance order, and stops where no later one is registered.
TEST_F(DumpTest, SignatureDumpsEveryInstanceOfTheTableDirectories) {
  struct Case {
    const char* name;
    std::vector<std::string> files;  // below the table directory; Lengths 37, 38, ... in turn
    std::string lengths;             // the Length column of each summary line, in order
  };
  const Case cases[] = {
      {"several, named from 1", {"FACP", "SSDT3", "SSDT1", "SSDT2"}, "000027 000028 000026 "},
      {"one, then one loaded later", {"SSDT", "dynamic/SSDT2"}, "000025 000026 "},
      {"a gap before a later one", {"SSDT1", "SSDT2", "dynamic/SSDT4"}, "000025 000026 000027 "},
      {"none", {"FACP", "SSDTX"}, ""},
      {"far apart", {"SSDT1", "SSDT300", "dynamic/SSDT4294967295"}, "000025 000026 000027 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetTableSourceState();
    testing::ScratchDir dir;
    const std::string tables = dir.Join("tables"), dynamic = dir.Join("tables/dynamic");
    ASSERT_EQ(mkdir(tables.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dynamic.c_str(), 0755), 0);
    uint32_t length = 37;
    for (const std::string& name : c.files) {
      const std::string base = name.substr(name.rfind('/') + 1);
      const Bytes table = MakeTable(base.substr(0, 4).c_str(), length++);
      dir.WriteFile("tables/" + name, std::string(table.begin(), table.end()));
    }
    testing::FakeMemory memory;
    testing::ScopedPlatform platform({&memory, "/nonexistent", tables.c_str(), dynamic.c_str()});
    OptSummary = true;

    testing::OutputCapture capture;
    EXPECT_EQ(RunDumpBySignature("ssdt"), 0);
    const testing::OutputCapture::Result output = capture.Finish();
    EXPECT_EQ(output.err, "");
    std::string lengths;
    for (size_t line = 0; line < output.out.size(); line = output.out.find('\n', line) + 1) {
      lengths += output.out.substr(line + 30, 7);  // "ACPI: SSDT 0x%016X " then the Length
    }
    EXPECT_EQ(lengths, c.lengths) << output.out;
  }
  testing::ResetTableSourceState();
}

// The registry bounds both loops, not a round count: a machine may have more than 256 tables,
// and more than 256 of one signature.
TEST_F(DumpTest, LoopsGoPast256Tables) {
  testing::ResetTableSourceState();
  testing::ScratchDir dir;
  const std::string tables = dir.Join("tables"), dynamic = dir.Join("tables/dynamic");
  ASSERT_EQ(mkdir(tables.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dynamic.c_str(), 0755), 0);
  constexpr int kTables = 260;
  const Bytes table = MakeTable("SSDT", 36);
  for (int instance = 1; instance <= kTables; ++instance) {
    dir.WriteFile("tables/SSDT" + std::to_string(instance),
                  std::string(table.begin(), table.end()));
  }
  testing::FakeMemory memory;
  testing::ScopedPlatform platform({&memory, "/nonexistent", tables.c_str(), dynamic.c_str()});
  OptSummary = true;
  for (bool by_signature : {false, true}) {
    SCOPED_TRACE(by_signature ? "-n" : "all");
    testing::OutputCapture capture;
    EXPECT_EQ(by_signature ? RunDumpBySignature("SSDT") : RunDumpAll(), 0);
    const testing::OutputCapture::Result output = capture.Finish();
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(std::count(output.out.begin(), output.out.end(), '\n'), kTables);
  }
  testing::ResetTableSourceState();
}

TEST_F(DumpTest, UnconvertibleAddressIsRefused) {
  testing::OutputCapture capture;
  EXPECT_EQ(RunDumpByAddress("0x10000000000000000"), -1);
  EXPECT_EQ(capture.Finish().err, "0x10000000000000000: Could not convert to a physical address\n");
}

}  // namespace
}  // namespace halvorn
