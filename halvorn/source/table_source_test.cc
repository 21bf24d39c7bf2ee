#include "halvorn/source/table_source.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "halvorn/app/dump.h"
#include "halvorn/common/console.h"
#include "halvorn/common/settings.h"
#include "halvorn/source/registry.h"
#include "halvorn/testing/capture.h"
#include "halvorn/testing/fake_memory.h"
#include "halvorn/testing/state.h"
#include "halvorn/testing/tables.h"

namespace halvorn {
namespace {

using testing::Bytes;
using testing::MakeFacs;
using testing::MakeFadt;
using testing::MakeRsdp;
using testing::MakeTable;
using testing::MakeXsdt;
using testing::OutputCapture;
using testing::RegistryContents;
using Registry = std::vector<std::string>;

constexpr uint64_t kBiosRsdp = 0xF0000;
constexpr char kMain[] = "tables";
constexpr char kDynamic[] = "tables/dynamic";

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
Bytes Copied(const TableBuffer& table) {
  return table ? Bytes(table.data.get(), table.data.get() + table.size) : Bytes();
}

struct Fetched {
  StatusCode status;
  std::string table;  // "SIGN instance", or empty
  uint64_t address;
};

class TableSourceTest : public ::testing::Test {
 protected:
  TableSourceTest()
      : tables_(dir_.Join(kMain)),
        dynamic_(dir_.Join(kDynamic)),
        platform_({&memory_, "/nonexistent/systab", tables_.c_str(), dynamic_.c_str()}) {
    mkdir(tables_.c_str(), 0755);
    mkdir(dynamic_.c_str(), 0755);
  }

  void SetUp() override { testing::ResetProcessState(); }
  void TearDown() override { testing::ResetProcessState(); }

  // A table file in "tables" or "tables/dynamic" whose payload byte tells the copies apart.
  void PutFile(const std::string& directory, const std::string& name, uint8_t mark) {
    Bytes table = MakeTable(name.substr(0, 4), 37, Bytes{mark});
    dir_.WriteFile(directory + "/" + name, Text(table));
  }

  // One FetchTableBySignature with what it printed; the payload byte of the table, or -1.
  struct Outcome {
    StatusCode status;
    int mark;
    uint64_t address;
    std::string err;
  };
  Outcome BySignature(const char* signature, uint32_t instance) {
    TableBuffer table;
    uint64_t address = 1;
    OutputCapture capture;
    StatusCode status = FetchTableBySignature(signature, instance, &table, &address);
    OutputCapture::Result output = capture.Finish();
    EXPECT_EQ(output.out, "");
    if (status != AE_OK) {
      EXPECT_FALSE(table) << "a table handed out with a failure";
    }
    int mark = table && table.size > 36 ? table.data[36] : -1;
    return {status, mark, address, output.err};
  }

  // Every index until the first failure: "SIGN instance mark" per table, and the status that
  // ended the run.
  std::pair<std::vector<std::string>, StatusCode> FetchAll() {
    std::vector<std::string> fetched;
    for (uint32_t index = 0;; ++index) {
      TableBuffer table;
      uint32_t instance = 99;
      uint64_t address = 1;
      StatusCode status = FetchTableByIndex(index, &table, &instance, &address);
      if (status != AE_OK) {
        if (table) fetched.push_back("a table handed out with a failure");
        return {fetched, status};
      }
      // Appended piece by piece: GCC 12 warns (-Wrestrict) falsely on chains of operator+.
      std::string entry(reinterpret_cast<const char*>(table.data.get()), 4);
      entry += " ";
      entry += std::to_string(instance);
      if (table.size > 36) entry.append(" ").append(std::to_string(table.data[36]));
      if (address != 0) entry.append(" @").append(std::to_string(address));
      fetched.push_back(entry);
    }
  }

  testing::FakeMemory memory_;
  testing::ScratchDir dir_;
  std::string tables_;
  std::string dynamic_;
  testing::ScopedPlatform platform_;
};

TEST_F(TableSourceTest, SysfsIndexOrderThenDynamic) {
  PutFile(kMain, "FACP", 1);
  PutFile(kMain, "SSDT1", 2);
  PutFile(kMain, "SSDT2", 3);
  PutFile(kDynamic, "SSDT3", 4);
  PutFile(kDynamic, "OEMX", 5);

  OutputCapture capture;
  auto [fetched, end] = FetchAll();
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(end, AE_LIMIT);
  EXPECT_TRUE(TablesInitialized);
  // Within one directory the order is the directory's own; the main directory comes first.
  ASSERT_EQ(fetched.size(), 5u);
  Registry main_part(fetched.begin(), fetched.begin() + 3);
  Registry dynamic_part(fetched.begin() + 3, fetched.end());
  std::sort(main_part.begin(), main_part.end());
  std::sort(dynamic_part.begin(), dynamic_part.end());
  EXPECT_EQ(main_part, (Registry{"FACP 0 1", "SSDT 1 2", "SSDT 2 3"}));
  EXPECT_EQ(dynamic_part, (Registry{"OEMX 0 5", "SSDT 3 4"}));
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(output.out, "");
}

TEST_F(TableSourceTest, EmptySourcesEndAtIndexZero) {
  TableBuffer table;
  uint32_t instance;
  uint64_t address;
  EXPECT_EQ(FetchTableByIndex(0, &table, &instance, &address), AE_LIMIT);
  EXPECT_TRUE(TablesInitialized);
}

TEST_F(TableSourceTest, DynamicDirectoryIsAskedOnlyOnLimit) {
  PutFile(kMain, "SSDT", 1);
  PutFile(kMain, "FACP", 2);
  PutFile(kDynamic, "FACP", 3);            // registered as FACP 1: read from its own file
  PutFile(kDynamic, "SSDT2", 4);           // only in the dynamic directory
  dir_.WriteFile("tables/MCFG", "short");  // AE_BAD_HEADER in main
  PutFile(kDynamic, "MCFG", 6);

  struct Case {
    const char* signature;
    uint32_t instance;
    StatusCode status;
    int mark;
  };
  const Case cases[] = {
      {"SSDT", 0, AE_OK, 1},     // main directory
      {"SSDT", 2, AE_OK, 4},     // fallback
      {"SSDT", 1, AE_LIMIT, 0},  // neither holds it
      {"FACP", 0, AE_OK, 2},     // main directory
      {"FACP", 1, AE_OK, 3},     // renumbered: from the file it was listed from
      {"FACP", 2, AE_LIMIT, 0}, {"MCFG", 0, AE_BAD_HEADER, 0},  // no fallback for other failures
      {"MCFG", 1, AE_OK, 6},  // renumbered, so not asked through the main directory
      {"XXXX", 0, AE_LIMIT, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.signature) + " " + std::to_string(c.instance));
    Outcome outcome = BySignature(c.signature, c.instance);
    EXPECT_EQ(outcome.status, c.status);
    std::string err =
        c.status == AE_BAD_HEADER ? "Could not read table header: " + tables_ + "/MCFG\n" : "";
    EXPECT_EQ(outcome.err, err);
    if (c.status != AE_OK) continue;
    EXPECT_EQ(outcome.mark, c.mark);
    EXPECT_EQ(outcome.address, 0u);
  }

  // With the dynamic directory switched off there is no fallback.
  OptDynamicTables = false;
  TableBuffer table;
  uint64_t address;
  EXPECT_EQ(FetchTableBySignature("SSDT", 2, &table, &address), AE_LIMIT);
}

TEST_F(TableSourceTest, MissingDynamicDirectoryFailsEveryFetchUntilItAppears) {
  ASSERT_EQ(rmdir(dynamic_.c_str()), 0);
  PutFile(kMain, "SSDT1", 1);
  PutFile(kMain, "FACP", 2);
  TableBuffer table;
  uint32_t instance;
  uint64_t address;
  std::string cannot_open = "Cannot open directory - " + dynamic_ + "\n";

  OutputCapture first;
  StatusCode by_index = FetchTableByIndex(0, &table, &instance, &address);
  EXPECT_EQ(first.Finish().err, cannot_open);
  EXPECT_EQ(by_index, AE_NOT_FOUND);
  EXPECT_FALSE(TablesInitialized);
  EXPECT_EQ(TableRegistry.count, 2u);

  // Each fetch initialises again and registers the main directory once more.
  OutputCapture second;
  StatusCode by_signature = FetchTableBySignature("FACP", 0, &table, &address);
  StatusCode at_address = FetchTableAtAddress(0, &table);
  OutputCapture::Result output = second.Finish();
  EXPECT_EQ(by_signature, AE_NOT_FOUND);
  EXPECT_EQ(at_address, AE_NOT_FOUND);
  EXPECT_EQ(TableRegistry.count, 6u);
  EXPECT_EQ(output.err, "SSDT: Warning unmatched table instance 1, expected 2\n" + cannot_open +
                            "SSDT: Warning unmatched table instance 1, expected 3\n" + cannot_open);

  ASSERT_EQ(mkdir(dynamic_.c_str(), 0755), 0);
  OutputCapture third;
  auto [fetched, end] = FetchAll();
  third.Finish();
  EXPECT_TRUE(TablesInitialized);
  EXPECT_EQ(end, AE_LIMIT);
  // Each registration of a file, renumbered or not, is read from that file (in the
  // directory's own order, so compared sorted).
  Registry registry = RegistryContents();
  std::sort(registry.begin(), registry.end());
  EXPECT_EQ(registry, (Registry{"FACP 0", "FACP 1", "FACP 2", "FACP 3", "SSDT 1", "SSDT 2",
                                "SSDT 3", "SSDT 4"}));
  std::sort(fetched.begin(), fetched.end());
  EXPECT_EQ(fetched, (Registry{"FACP 0 2", "FACP 1 2", "FACP 2 2", "FACP 3 2", "SSDT 1 1",
                               "SSDT 2 1", "SSDT 3 1", "SSDT 4 1"}));
}

TEST_F(TableSourceTest, FetchAtAddressReadsMemoryInEitherMode) {
  uint64_t apic = 0x7F000FF0;
  Bytes apic_bytes = MakeTable("APIC", 44, Bytes{9});
  memory_.Put(apic, apic_bytes);
  memory_.Put(kBiosRsdp, MakeRsdp(0, 0x1000, 0));

  for (bool customized : {true, false}) {
    SCOPED_TRACE(customized ? "sysfs mode" : "memory mode");
    if (!customized) {
      // Memory mode needs firmware to initialise: an RSDP whose RSDT lists a FADT.
      memory_.Put(0x1000, testing::MakeRsdt(std::vector<uint32_t>{0x2000}));
      memory_.Put(0x2000, MakeFadt(116, {}));
    }
    testing::ResetTableSourceState();
    OptCustomizedTables = customized;
    TableBuffer table;
    EXPECT_EQ(FetchTableAtAddress(0, &table), AE_BAD_ADDRESS);
    EXPECT_TRUE(TablesInitialized);
    ASSERT_EQ(FetchTableAtAddress(apic, &table), AE_OK);
    EXPECT_EQ(Copied(table), apic_bytes);
    ASSERT_EQ(FetchTableAtAddress(kBiosRsdp, &table), AE_OK);
    EXPECT_EQ(table.size, 20u) << "an RSDP is copied with its own length";
  }
}

TEST_F(TableSourceTest, UnreadableMemoryOnlyFailsFetchAtAddress) {
  PutFile(kMain, "FACP", 1);
  memory_.FailOpen(EACCES);
  TableBuffer table;
  uint32_t instance;
  uint64_t address;
  OutputCapture capture;
  StatusCode by_index = FetchTableByIndex(0, &table, &instance, &address);
  StatusCode at_address = FetchTableAtAddress(0x7F000000, &table);
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(by_index, AE_OK);
  EXPECT_EQ(at_address, AE_ACCESS);
  EXPECT_FALSE(table);
  EXPECT_EQ(output.err, "Cannot open /dev/mem\nCould not map table header at 0x000000007F000000\n");
}

TEST_F(TableSourceTest, MemoryModeDeliversEveryRegisteredTable) {
  // Revision 2 without an RSDT and a FADT without a FACS: each registered table can be fetched,
  // so a dump of all tables reaches the end.
  OptCustomizedTables = false;
  uint64_t dsdt = 0x7F000010, fadt = 0x7F000200, ssdt = 0x7F000400, xsdt = 0x7F000600;
  memory_.Put(dsdt, MakeTable("DSDT", 37, Bytes{7}));
  memory_.Put(fadt, MakeFadt(276, {0, 0, 0, dsdt}));
  memory_.Put(ssdt, MakeTable("SSDT", 37, Bytes{8}));
  memory_.Put(xsdt, MakeXsdt(std::vector<uint64_t>{fadt, ssdt}));
  memory_.Put(kBiosRsdp, MakeRsdp(2, 0, xsdt));
  PutFile(kDynamic, "SSDT5", 9);  // not in memory: found through the fallback

  OutputCapture capture;
  auto [fetched, end] = FetchAll();
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(end, AE_LIMIT);
  auto at = [](uint64_t address) { return " @" + std::to_string(address); };
  EXPECT_EQ(fetched, (std::vector<std::string>{
                         "RSD  0" + at(kBiosRsdp),
                         "XSDT 0 0" + at(xsdt),
                         "DSDT 0 7" + at(dsdt),
                         "FACP 0 0" + at(fadt),
                         "SSDT 0 8" + at(ssdt),
                         "SSDT 5 9",
                     }));
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(output.out, "");
}

TEST_F(TableSourceTest, FailedMemoryInitialisationRunsAgain) {
  OptCustomizedTables = false;
  uint64_t fadt = 0x7F000200, apic = 0x7F001400, xsdt = 0x7F000600;
  memory_.Put(fadt, MakeFadt(116, {}));
  memory_.Put(apic, MakeTable("APIC", 36));
  memory_.Put(xsdt, MakeXsdt(std::vector<uint64_t>{fadt, apic}));
  memory_.Put(kBiosRsdp, MakeRsdp(2, 0, xsdt));
  ASSERT_EQ(rmdir(dynamic_.c_str()), 0);

  TableBuffer table;
  uint64_t address;
  OutputCapture capture;
  StatusCode first = FetchTableBySignature("FACP", 0, &table, &address);
  OutputCapture::Result output = capture.Finish();
  EXPECT_EQ(first, AE_NOT_FOUND);
  EXPECT_EQ(output.err, "Cannot open directory - " + dynamic_ + "\n");
  EXPECT_FALSE(TablesInitialized);
  EXPECT_EQ(RegistryContents(), (Registry{"RSDP 0", "XSDT 0", "FACP 0", "APIC 0"}));

  // The second run loads again and registers everything once more. The renumbered entries name
  // instances that memory does not hold: a dump of all tables reports each of them and still
  // reaches the end of the registry.
  ASSERT_EQ(mkdir(dynamic_.c_str(), 0755), 0);
  OptSummary = true;
  OutputCapture second;
  EXPECT_EQ(RunDumpAll(), 0);
  output = second.Finish();
  EXPECT_TRUE(TablesInitialized);
  EXPECT_EQ(RegistryContents(), (Registry{"RSDP 0", "XSDT 0", "FACP 0", "APIC 0", "RSDP 1",
                                          "XSDT 1", "FACP 1", "APIC 1"}));
  EXPECT_EQ(output.err,
            "Could not find registered table [RSDP] instance 1\n"
            "Could not find registered table [XSDT] instance 1\n"
            "Could not find registered table [FACP] instance 1\n"
            "Could not find registered table [APIC] instance 1\n");
  EXPECT_EQ(std::count(output.out.begin(), output.out.end(), '\n'), 4) << output.out;
}

// Registered tables that no source holds under their instance: a table file registration
// renumbered, and a file that vanished after it was listed (as a table the firmware unloads
// does). The first are read from the files they were listed from; the second are reported, and
// both a dump of all tables and -n go on to the end of the registry.
TEST_F(TableSourceTest, RegisteredTablesNoSourceHoldsAreNotLost) {
  struct Case {
    const char* name;
    bool memory;                     // memory mode, with FACP and an SSDT of Length 40 in memory
    std::vector<std::string> files;  // "directory/NAME:Length" below the scratch directory
    const char* vanished;            // removed after the listing, or null
    Registry all;                    // "SIGN Length" of the dump of all tables, sorted
    Registry ssdt;                   // the same of -n ssdt, in order
    std::string err;                 // of each of the two
  };
  const Case cases[] = {
      {"memory mode and a table the firmware loaded at run time",
       true,
       {"tables/dynamic/SSDT:41", "tables/dynamic/OEMX:43"},
       nullptr,
       {"FACP 000074", "OEMX 00002B", "RSDP 000024", "SSDT 000028", "SSDT 000029", "XSDT 000034"},
       {"SSDT 000028", "SSDT 000029"},
       ""},
      {"a renumbered file whose name has another instance",
       false,
       {"tables/SSDT1:37", "tables/dynamic/SSDT1:38", "tables/APIC:39"},
       nullptr,
       {"APIC 000027", "SSDT 000025", "SSDT 000026"},
       {"SSDT 000025", "SSDT 000026"},
       "SSDT: Warning unmatched table instance 1, expected 2\n"},
      {"a file that vanished after the listing",
       false,
       {"tables/SSDT1:37", "tables/SSDT2:38", "tables/SSDT3:39", "tables/APIC:40"},
       "tables/SSDT2",
       {"APIC 000028", "SSDT 000025", "SSDT 000027"},
       {"SSDT 000025", "SSDT 000027"},
       "Could not find registered table [SSDT] instance 2\n"},
  };
  const uint64_t fadt = 0x7F000200, ssdt = 0x7F000400, xsdt = 0x7F000600;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool by_signature : {false, true}) {
      SCOPED_TRACE(by_signature ? "-n ssdt" : "all tables");
      testing::ResetTableSourceState();
      ResetSettings();
      OptSummary = true;
      OptCustomizedTables = !c.memory;
      testing::ScratchDir dir;
      const std::string tables = dir.Join(kMain), dynamic = dir.Join(kDynamic);
      ASSERT_EQ(mkdir(tables.c_str(), 0755), 0);
      ASSERT_EQ(mkdir(dynamic.c_str(), 0755), 0);
      for (const std::string& file : c.files) {
        const size_t colon = file.find(':');
        const std::string path = file.substr(0, colon);
        const std::string name = path.substr(path.rfind('/') + 1);
        dir.WriteFile(path, Text(MakeTable(name.substr(0, 4), std::stoul(file.substr(colon + 1)))));
      }
      testing::FakeMemory memory;
      memory.Put(fadt, MakeFadt(116, {}));
      memory.Put(ssdt, MakeTable("SSDT", 40));
      memory.Put(xsdt, MakeXsdt(std::vector<uint64_t>{fadt, ssdt}));
      memory.Put(kBiosRsdp, MakeRsdp(2, 0, xsdt));
      testing::ScopedPlatform platform(
          {&memory, "/nonexistent/systab", tables.c_str(), dynamic.c_str()});

      OutputCapture capture;
      ASSERT_EQ(InitTableSource(), AE_OK);
      if (c.vanished) {
        ASSERT_EQ(unlink(dir.Join(c.vanished).c_str()), 0);
      }
      OutputCapture::Result listing = capture.Finish();
      OutputCapture run;
      EXPECT_EQ(by_signature ? RunDumpBySignature("ssdt") : RunDumpAll(), 0);
      OutputCapture::Result output = run.Finish();
      EXPECT_EQ(listing.err + output.err, c.err);
      Registry dumped;
      for (size_t line = 0; line < output.out.size(); line = output.out.find('\n', line) + 1) {
        dumped.push_back(output.out.substr(line + 6, 4) + " " + output.out.substr(line + 30, 6));
      }
      if (!by_signature) std::sort(dumped.begin(), dumped.end());
      EXPECT_EQ(dumped, by_signature ? c.ssdt : c.all) << output.out;
    }
  }
}

// Firmware that legitimately lacks RSDT, DSDT or FACS: a dump of all tables in memory mode shows
// every table it does have, and one that cannot be loaded fails loudly instead of printing
// nothing.
TEST_F(TableSourceTest, DumpAllInMemoryModeShowsEveryTableOrFails) {
  struct Case {
    const char* name;
    bool with_rsdt;
    uint32_t fadt_length;
    testing::FadtPointers pointers;
    bool use_rsdt;
    std::vector<std::string> dumped;  // signatures in order
    std::string err;
  };
  const uint64_t dsdt = 0x7F000010, facs = 0x7F000100, fadt = 0x7F000200, ssdt = 0x7F000400,
                 xsdt = 0x7F000600, rsdt = 0x7F000800;
  const testing::FadtPointers both = {uint32_t(facs), uint32_t(dsdt), facs, dsdt};
  const Case cases[] = {
      {"no RSDT", false, 276, both, false, {"RSDP", "XSDT", "DSDT", "FACS", "FACP", "SSDT"}, ""},
      {"no FACS",
       true,
       276,
       {0, uint32_t(dsdt), 0, dsdt},
       false,
       {"RSDP", "RSDT", "XSDT", "DSDT", "FACP", "SSDT"},
       ""},
      {"FADT too short for a DSDT",
       true,
       40,
       {uint32_t(facs), 0, 0, 0},
       false,
       {"RSDP", "RSDT", "XSDT", "FACS", "FACP", "SSDT"},
       ""},
      {"-x without an RSDT",
       false,
       276,
       both,
       true,
       {},
       "Could not get ACPI tables, AE_NOT_FOUND\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetTableSourceState();
    ResetSettings();
    OptCustomizedTables = false;
    OptSummary = true;
    OptUseRsdt = c.use_rsdt;
    testing::FakeMemory memory;
    testing::ScopedPlatform platform(
        {&memory, "/nonexistent/systab", tables_.c_str(), dynamic_.c_str()});
    memory.Put(dsdt, MakeTable("DSDT", 36));
    memory.Put(facs, MakeFacs());
    memory.Put(fadt, MakeFadt(c.fadt_length, c.pointers));
    memory.Put(ssdt, MakeTable("SSDT", 36));
    memory.Put(xsdt, MakeXsdt(std::vector<uint64_t>{fadt, ssdt}));
    memory.Put(rsdt, testing::MakeRsdt(std::vector<uint32_t>{uint32_t(fadt), uint32_t(ssdt)}));
    memory.Put(kBiosRsdp, MakeRsdp(2, c.with_rsdt ? uint32_t(rsdt) : 0, xsdt));

    OutputCapture capture;
    int result = RunDumpAll();
    OutputCapture::Result output = capture.Finish();
    EXPECT_EQ(result, c.err.empty() ? 0 : -1);
    EXPECT_EQ(output.err, c.err);
    std::vector<std::string> dumped;
    for (size_t line = 0; line < output.out.size(); line = output.out.find('\n', line) + 1) {
      dumped.push_back(output.out.substr(line + 6, 4));  // "ACPI: SIGN 0x..."
    }
    EXPECT_EQ(dumped, c.dumped) << output.out;
  }
}

TEST_F(TableSourceTest, FirmwareThatCannotLoadIsNotAnEmptySource) {
  // Revision 2 without either root table's address: loading stops at AE_LIMIT, which the
  // fetches must not hand on as "no table here".
  OptCustomizedTables = false;
  memory_.Put(kBiosRsdp, MakeRsdp(2, 0, 0));
  TableBuffer table;
  uint32_t instance;
  uint64_t address;
  EXPECT_EQ(FetchTableByIndex(0, &table, &instance, &address), AE_NOT_FOUND);
  EXPECT_EQ(FetchTableBySignature("SSDT", 0, &table, &address), AE_NOT_FOUND);
  EXPECT_EQ(FetchTableAtAddress(0, &table), AE_NOT_FOUND);
  EXPECT_FALSE(TablesInitialized);
}

}  // namespace
}  // namespace halvorn
