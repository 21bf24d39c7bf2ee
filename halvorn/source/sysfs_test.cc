#include "halvorn/source/sysfs.h"

#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "halvorn/common/console.h"
#include "halvorn/source/registry.h"
#include "halvorn/testing/capture.h"
#include "halvorn/testing/fake_memory.h"
#include "halvorn/testing/state.h"
#include "halvorn/testing/tables.h"

namespace halvorn {
namespace {

using testing::Bytes;
using testing::OutputCapture;
using testing::RegistryContents;
using testing::ScratchDir;

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The names of a directory as readdir yields them, hidden ones left out: the registry must
// follow the directory's own order, whatever it is.
std::vector<std::string> ReaddirOrder(const std::string& path) {
  std::vector<std::string> names;
  DIR* directory = opendir(path.c_str());
  if (!directory) return names;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(directory);
  return names;
}

std::vector<std::string> ScanAll(const std::string& path, const char* pattern, ScanKind kind) {
  std::vector<std::string> names;
  ScopedDirectoryScan scan(OpenDirectoryScan(path.c_str(), pattern, kind));
  if (!scan) return names;
  while (const char* name = NextDirectoryName(scan.get())) names.push_back(name);
  return names;
}

// Runs `check` with the rights of an ordinary user, so that permission bits refuse access even
// when the tests run as root: in a child process that drops to uid and gid 65534. The result
// is the child's exit status (a StatusCode fits).
int RunUnprivileged(const std::function<int()>& check) {
  if (geteuid() != 0) return check();
  fflush(stdout);
  fflush(stderr);
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(250);
    int result = check();
    fflush(stdout);
    fflush(stderr);
    _exit(result);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SysfsTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetProcessState(); }
  void TearDown() override { testing::ResetProcessState(); }

  std::string Put(const std::string& name, const Bytes& bytes) {
    return dir_.WriteFile(name, Text(bytes));
  }

  ScratchDir dir_;
};

TEST_F(SysfsTest, ParsesTableFileNames) {
  struct Case {
    const char* name;
    StatusCode status;
    const char* signature;
    uint32_t instance;
  };
  const Case cases[] = {
      {"DSDT", AE_OK, "DSDT", 0},
      {"SSDT1", AE_OK, "SSDT", 1},
      {"SSDT12", AE_OK, "SSDT", 12},
      {"SSDT01", AE_OK, "SSDT", 1},
      {"SSDT1A", AE_OK, "SSDT", 1},
      {"SSDT0", AE_OK, "SSDT", 0},
      {"ssdt", AE_OK, "ssdt", 0},  // taken as it is, not verified
      {"SSDT4294967295", AE_OK, "SSDT", 4294967295u},
      {"SSDT4294967296", AE_BAD_SIGNATURE, "", 0},  // beyond 32 bits: no instance
      {"", AE_BAD_SIGNATURE, "", 0},
      {"ABC", AE_BAD_SIGNATURE, "", 0},
      {"SSDTX", AE_BAD_SIGNATURE, "", 0},
      {"SSDT_1", AE_BAD_SIGNATURE, "", 0},
      {"FACP ", AE_BAD_SIGNATURE, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char signature[4] = {'-', '-', '-', '-'};
    uint32_t instance = 99;
    ASSERT_EQ(ParseTableFileName(c.name, signature, &instance), c.status);
    if (c.status != AE_OK) continue;
    EXPECT_EQ(std::string(signature, 4), c.signature);
    EXPECT_EQ(instance, c.instance);
  }
}

TEST_F(SysfsTest, ScanYieldsMatchingNamesOfOneKind) {
  Bytes table = testing::MakeTable("SSDT", 36);
  Put("SSDT1", table);
  Put("SSDT2", table);
  Put("APIC", table);
  Put(".SSDT3", table);
  Put(".hidden", table);
  ASSERT_EQ(mkdir(dir_.Join("dynamic").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir_.Join(".secret").c_str(), 0755), 0);
  ASSERT_EQ(symlink("APIC", dir_.Join("FACP").c_str()), 0);     // a link to a file is a file
  ASSERT_EQ(symlink("dynamic", dir_.Join("data").c_str()), 0);  // a link to a directory is one

  auto in_readdir_order = [&](std::vector<std::string> wanted) {
    std::vector<std::string> ordered;
    for (const std::string& name : ReaddirOrder(dir_.path())) {
      if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) ordered.push_back(name);
    }
    return ordered;
  };
  OutputCapture capture;
  std::vector<std::string> files = ScanAll(dir_.path(), "*", ScanFiles);
  std::vector<std::string> directories = ScanAll(dir_.path(), "*", ScanDirectories);
  std::vector<std::string> ssdts = ScanAll(dir_.path(), "SSDT*", ScanFiles);
  std::vector<std::string> hidden = ScanAll(dir_.path(), ".*", ScanFiles);
  std::vector<std::string> not_s = ScanAll(dir_.path(), "[!S]*", ScanFiles);
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(files, in_readdir_order({"SSDT1", "SSDT2", "APIC", "FACP"}));
  EXPECT_EQ(directories, in_readdir_order({"dynamic", "data"}));
  EXPECT_EQ(ssdts, in_readdir_order({"SSDT1", "SSDT2"}));
  EXPECT_EQ(hidden, std::vector<std::string>{});
  EXPECT_EQ(not_s, in_readdir_order({"APIC", "FACP"}));
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(output.out, "");
}

TEST_F(SysfsTest, ListsTableFilesInDirectoryOrder) {
  Bytes table = testing::MakeTable("SSDT", 36);
  for (const char* name : {"DSDT", "FACP", "SSDT1", "SSDT2", "ABC", "SSDTX", "HPET1A", ".FACS"}) {
    Put(name, table);
  }
  mkdir(dir_.Join("data").c_str(), 0755);
  mkdir(dir_.Join("DSDT7").c_str(), 0755);  // a directory is never a table, whatever its name

  const std::pair<const char*, const char*> accepted[] = {
      {"DSDT", "DSDT 0"},  {"FACP", "FACP 0"},   {"SSDT1", "SSDT 1"},
      {"SSDT2", "SSDT 2"}, {"HPET1A", "HPET 1"},
  };
  std::vector<std::string> expected;
  for (const std::string& name : ReaddirOrder(dir_.path())) {
    for (const auto& [file, entry] : accepted) {
      if (name == file) expected.push_back(entry);
    }
  }

  OutputCapture capture;
  StatusCode status = ListTableDirectory(dir_.path().c_str());
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(status, AE_OK);
  EXPECT_EQ(RegistryContents(), expected);
  EXPECT_EQ(TableRegistry.count, 5u);
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(output.out, "");
}

TEST_F(SysfsTest, EmptyDirectoryRegistersNothing) {
  OutputCapture capture;
  StatusCode status = ListTableDirectory(dir_.path().c_str());
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(status, AE_OK);
  EXPECT_EQ(TableRegistry.count, 0u);
  EXPECT_EQ(output.err, "");
}

TEST_F(SysfsTest, RejectedLastNameStillListsOk) {
  // Only rejected names: whichever comes last, the listing succeeds with nothing registered.
  Put("ABC", testing::MakeTable("ABCD", 36));
  Put("SSDTX", testing::MakeTable("SSDT", 36));
  EXPECT_EQ(ListTableDirectory(dir_.path().c_str()), AE_OK);
  EXPECT_EQ(TableRegistry.count, 0u);
}

TEST_F(SysfsTest, UnopenableDirectories) {
  std::string missing = dir_.Join("missing");
  std::string file = Put("plain", testing::MakeTable("SSDT", 36));
  struct Case {
    std::string path;
    StatusCode status;
  };
  const Case cases[] = {
      {missing, AE_NOT_FOUND},  // ENOENT
      {file, AE_NOT_FOUND},     // ENOTDIR: any other error
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TableBuffer table;
    uint64_t address = 77;
    OutputCapture capture;
    StatusCode listed = ListTableDirectory(c.path.c_str());
    StatusCode read = ReadTableFile(c.path.c_str(), "SSDT", 0, &table, &address);
    OutputCapture::Result output = capture.Finish();
    EXPECT_EQ(listed, c.status);
    EXPECT_EQ(read, c.status);
    std::string line = "Cannot open directory - " + c.path + "\n";
    EXPECT_EQ(output.err, line + line);
    EXPECT_FALSE(table);
    EXPECT_EQ(address, 77u);
  }
  EXPECT_EQ(TableRegistry.count, 0u);
}

TEST_F(SysfsTest, UnreadableDirectoryAndFileGiveAccess) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  std::string locked = dir_.Join("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  std::string table_path = Put("SSDT", testing::MakeTable("SSDT", 36));
  ASSERT_EQ(chmod(table_path.c_str(), 0), 0);

  OutputCapture capture;
  int listed =
      RunUnprivileged([&] { return static_cast<int>(ListTableDirectory(locked.c_str())); });
  int read = RunUnprivileged([&] {
    TableBuffer table;
    uint64_t address;
    StatusCode status = ReadTableFile(dir_.path().c_str(), "SSDT", 0, &table, &address);
    return static_cast<int>(table ? 255 : status);
  });
  OutputCapture::Result output = capture.Finish();
  chmod(locked.c_str(), 0755);
  EXPECT_EQ(listed, static_cast<int>(AE_ACCESS));
  EXPECT_EQ(read, static_cast<int>(AE_ACCESS));
  EXPECT_EQ(output.err, "Cannot open directory - " + locked +
                            "\nCould not open table file: " + table_path + "\n");
}

TEST_F(SysfsTest, ReadsTableFiles) {
  Bytes ssdt = testing::MakeTable("SSDT", 40, Bytes{1, 2, 3, 4});
  Bytes longer_file = ssdt;
  longer_file.insert(longer_file.end(), {0xEE, 0xEE});  // bytes after Length are not read
  Put("SSDT", testing::MakeTable("SSDT", 36));
  Put("SSDT2", longer_file);
  Put("DSDT", testing::MakeTable("DSDT", 64));

  TableBuffer table;
  uint64_t address = 77;
  OutputCapture capture;
  StatusCode status = ReadTableFile(dir_.path().c_str(), "SSDT", 2, &table, &address);
  OutputCapture::Result output = capture.Finish();
  ASSERT_EQ(status, AE_OK);
  EXPECT_EQ(address, 0u);
  ASSERT_TRUE(table);
  EXPECT_EQ(Bytes(table.data.get(), table.data.get() + table.size), ssdt);
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(output.out, "");
}

TEST_F(SysfsTest, ReadFailures) {
  Bytes ssdt = testing::MakeTable("SSDT", 48);
  Bytes bad_length = testing::MakeTable("APIC", 36);
  testing::PutLe32(bad_length, 4, 35);
  Bytes bad_signature = testing::MakeTable("ap-c", 36);
  Bytes wrong_sum = testing::MakeTable("HPET", 40);
  wrong_sum[9] ^= 0x10;
  Put("SSDT01", ssdt);
  Put("FACP0", ssdt);
  Put("MCFG", Bytes(ssdt.begin(), ssdt.begin() + 35));
  Put("BGRT", Bytes(ssdt.begin(), ssdt.begin() + 47));
  Put("APIC", bad_length);
  Put("ap-c", bad_signature);
  Put("HPET", wrong_sum);
  std::string dir = dir_.path();

  struct Case {
    const char* signature;
    uint32_t instance;
    StatusCode status;
    std::string err;
    std::string out;
  };
  const Case cases[] = {
      {"SSDT", 1, AE_NOT_FOUND, "Could not open table file: " + dir + "/SSDT1\n", ""},
      {"FACP", 0, AE_NOT_FOUND, "Could not open table file: " + dir + "/FACP\n", ""},
      {"SSDT", 2, AE_LIMIT, "", ""},
      {"XXXX", 0, AE_LIMIT, "", ""},
      {"MCFG", 0, AE_BAD_HEADER, "Could not read table header: " + dir + "/MCFG\n", ""},
      {"BGRT", 0, AE_INVALID_TABLE_LENGTH, "SSDT: Could not read table content\n", ""},
      {"APIC", 0, AE_BAD_HEADER, "Table length (0x00000023) is invalid\n", ""},
      {"ap-c", 0, AE_BAD_HEADER, "Table signature (0x632D7061) is invalid\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signature);
    TableBuffer table;
    uint64_t address = 0;
    OutputCapture capture;
    StatusCode status = ReadTableFile(dir.c_str(), c.signature, c.instance, &table, &address);
    OutputCapture::Result output = capture.Finish();
    EXPECT_EQ(status, c.status);
    EXPECT_FALSE(table);
    EXPECT_EQ(output.err, c.err);
    EXPECT_EQ(output.out, c.out);
  }

  // A wrong checksum warns and still hands the table back.
  TableBuffer table;
  uint64_t address = 0;
  OutputCapture capture;
  StatusCode status = ReadTableFile(dir.c_str(), "HPET", 0, &table, &address);
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(status, AE_OK);
  ASSERT_TRUE(table);
  EXPECT_EQ(table.size, 40u);
  EXPECT_EQ(output.err, "");
  char expected[160];
  snprintf(expected, sizeof expected,
           "Firmware Warning (ACPI): Incorrect checksum in table [HPET] - 0x%2.2X, should be "
           "0x%2.2X (20211217/tbprint-338)\n",
           wrong_sum[9], static_cast<uint8_t>(wrong_sum[9] ^ 0x10));
  EXPECT_EQ(output.out, expected);
}

TEST_F(SysfsTest, UnstattableEntryEndsTheScan) {
  Bytes table = testing::MakeTable("SSDT", 36);
  for (const char* name : {"APIC", "DSDT", "FACP", "HPET"}) Put(name, table);
  ASSERT_EQ(symlink("nowhere", dir_.Join("SSDT").c_str()), 0);

  std::vector<std::string> before;
  for (const std::string& name : ReaddirOrder(dir_.path())) {
    if (name == "SSDT") break;
    before.push_back(name + " 0");
  }
  TableBuffer copy;
  uint64_t address;
  OutputCapture capture;
  StatusCode listed = ListTableDirectory(dir_.path().c_str());
  StatusCode read = ReadTableFile(dir_.path().c_str(), "XXXX", 0, &copy, &address);
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(listed, AE_OK);
  EXPECT_EQ(read, AE_LIMIT);
  EXPECT_EQ(RegistryContents(), before);
  std::string line = "Cannot stat file (should not happen) - " + dir_.Join("SSDT") + "\n";
  EXPECT_EQ(output.err, line + line);
}

}  // namespace
}  // namespace halvorn
