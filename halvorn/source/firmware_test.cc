#include "halvorn/source/firmware.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "halvorn/common/console.h"
#include "halvorn/common/number.h"
#include "halvorn/common/settings.h"
#include "halvorn/source/registry.h"
#include "halvorn/testing/capture.h"
#include "halvorn/testing/fake_memory.h"
#include "halvorn/testing/state.h"
#include "halvorn/testing/tables.h"

namespace halvorn {
namespace {

using testing::Bytes;
using testing::FakeMemory;
using testing::MakeFacs;
using testing::MakeFadt;
using testing::MakeRsdp;
using testing::MakeRsdt;
using testing::MakeTable;
using testing::MakeXsdt;
using testing::OutputCapture;
using testing::RegistryContents;
using testing::ScratchDir;
using Registry = std::vector<std::string>;

constexpr uint64_t kBiosRsdp = 0xF0120;  // inside the legacy BIOS area, on a 16-byte boundary

std::string Hex(uint64_t address) {
  char text[32];
  snprintf(text, sizeof text, "0x%8.8X%8.8X", UpperHalf(address), LowerHalf(address));
  return text;
}

Bytes Copied(const TableBuffer& table) {
  return table ? Bytes(table.data.get(), table.data.get() + table.size) : Bytes();
}

// The tables of a typical machine, with the addresses they were laid out at.
struct Machine {
  uint64_t dsdt, facs, fadt, ssdt, apic, boot, xsdt, rsdt;
  Bytes dsdt_bytes, ssdt_bytes;
};

class FirmwareTest : public ::testing::Test {
 protected:
  FirmwareTest()
      : systab_(dir_.Join("systab")),
        platform_({&memory_, systab_.c_str(), "/nonexistent/tables", "/nonexistent/dynamic"}) {}

  void SetUp() override {
    testing::ResetProcessState();
    OptCustomizedTables = false;
  }
  void TearDown() override { testing::ResetProcessState(); }

  // Lays a table out at the next free address. Addresses are deliberately not page-aligned and
  // some tables straddle a page boundary.
  uint64_t Place(const Bytes& bytes) {
    uint64_t address = next_address_;
    memory_.Put(address, bytes);
    next_address_ += 0x230;
    return address;
  }

  // RSDP in the BIOS area; XSDT: FACP, SSDT, APIC; RSDT: FACP, SSDT, BOOT (so a walk shows
  // which root table it used); FADT pointing at the DSDT and FACS through both fields.
  Machine PutMachine(uint8_t revision, bool with_rsdt = true) {
    Machine m;
    m.dsdt_bytes = MakeTable("DSDT", 64, Bytes{0xD5});
    m.ssdt_bytes = MakeTable("SSDT", 40, Bytes{0x55});
    m.dsdt = Place(m.dsdt_bytes);
    m.facs = Place(MakeFacs());
    m.fadt = Place(MakeFadt(
        276, {static_cast<uint32_t>(m.facs), static_cast<uint32_t>(m.dsdt), m.facs, m.dsdt}));
    m.ssdt = Place(m.ssdt_bytes);
    m.apic = Place(MakeTable("APIC", 44));
    m.boot = Place(MakeTable("BOOT", 40));
    m.xsdt = Place(MakeXsdt(std::vector<uint64_t>{m.fadt, m.ssdt, m.apic}));
    m.rsdt = with_rsdt ? Place(MakeRsdt(std::vector<uint32_t>{static_cast<uint32_t>(m.fadt),
                                                              static_cast<uint32_t>(m.ssdt),
                                                              static_cast<uint32_t>(m.boot)}))
                       : 0;
    memory_.Put(kBiosRsdp, MakeRsdp(revision, static_cast<uint32_t>(m.rsdt), m.xsdt));
    return m;
  }

  // Loads with stdout and stderr captured; both must stay empty unless the test says otherwise.
  StatusCode Load(std::string* err = nullptr, std::string* out = nullptr) {
    OutputCapture capture;
    StatusCode status = LoadFirmwareTables();
    OutputCapture::Result output = capture.Finish();
    if (err)
      *err = output.err;
    else
      EXPECT_EQ(output.err, "");
    if (out)
      *out = output.out;
    else
      EXPECT_EQ(output.out, "");
    return status;
  }

  // One FetchTableFromMemory, with what it printed.
  struct Fetched {
    StatusCode status;
    Bytes bytes;
    uint64_t address;
    std::string out;
    std::string err;
  };
  Fetched Fetch(const char* signature, uint32_t instance) {
    TableBuffer table;
    uint64_t address = 0;
    OutputCapture capture;
    StatusCode status = FetchTableFromMemory(signature, instance, &table, &address);
    OutputCapture::Result output = capture.Finish();
    if (status != AE_OK) {
      EXPECT_FALSE(table) << "a table handed out with a failure";
      address = 0;
    }
    return {status, Copied(table), address, output.out, output.err};
  }

  FakeMemory memory_;
  ScratchDir dir_;
  std::string systab_;
  testing::ScopedPlatform platform_;
  uint64_t next_address_ = 0x7F000010;
};

TEST_F(FirmwareTest, ReadsSystabValues) {
  struct Case {
    const char* name;
    std::string content;
    const char* key;
    uint64_t value;
  };
  const std::string long_prefix(79, 'X');
  const Case cases[] = {
      {"hex with 0x", "SMBIOS=0x7f000\nACPI20=0x7e123000\n", "ACPI20", 0x7e123000},
      {"hex without 0x", "ACPI20=7E123000\n", "ACPI20", 0x7E123000},
      {"64-bit value", "ACPI20=0x1234567890\n", "ACPI20", 0x1234567890},
      {"ACPI does not match ACPI20", "ACPI20=0x10\nACPI=0x20\n", "ACPI", 0x20},
      {"first qualifying line wins", "ACPI=0x30\nACPI=0x40\n", "ACPI", 0x30},
      {"no number after the key", "ACPI=none\nACPI=0x50\n", "ACPI", 0x50},
      {"key must start the line", " ACPI=0x60\n", "ACPI", 0},
      {"missing key", "SMBIOS=0x70\n", "ACPI", 0},
      {"empty file", "", "ACPI20", 0},
      {"a long line is tried in pieces", long_prefix + "ACPI=0x80\n", "ACPI", 0x80},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FILE* file = fopen(dir_.WriteFile("systab-case", c.content).c_str(), "r");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadSystabAddress(file, c.key), c.value);
    EXPECT_EQ(ReadSystabAddress(file, c.key), c.value) << "the file is rewound";
    fclose(file);
  }
}

TEST_F(FirmwareTest, ScanFindsFirstValidRsdpOnSixteenByteBoundaries) {
  Bytes good = MakeRsdp(2, 0x1000, 0x2000);
  Bytes bad_sum = good;
  bad_sum[8] ^= 1;
  struct Case {
    const char* name;
    size_t window;
    std::vector<std::pair<size_t, Bytes>> placed;
    long found;  // position, or -1 for none
  };
  const Case cases[] = {
      {"bad checksum passed over", 256, {{0, bad_sum}, {64, good}}, 64},
      {"off the 16-byte grid", 256, {{8, good}, {96, good}}, 96},
      {"last position that fits", 0x20000, {{0x1FFD0, good}}, 0x1FFD0},
      {"36 bytes do not fit", 0x20000, {{0x1FFE0, Bytes(good.begin(), good.begin() + 32)}}, -1},
      {"window of exactly 36 bytes", 36, {{0, good}}, 0},
      {"window shorter than an RSDP", 35, {}, -1},
      {"nothing there", 4096, {}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Exactly the window's size on the heap, so AddressSanitizer sees any read past it.
    std::vector<uint8_t> window(c.window);
    for (const auto& [position, bytes] : c.placed) {
      std::copy(bytes.begin(), bytes.end(), window.begin() + position);
    }
    const uint8_t* found = ScanForRsdp(TableBytes(window.data(), window.size()));
    if (c.found < 0) {
      EXPECT_EQ(found, nullptr);
      continue;
    }
    EXPECT_EQ(found, window.data() + c.found);
  }
}

TEST_F(FirmwareTest, LocatesRsdpBySetOrder) {
  // One RSDP in each place; which one is taken shows where the search went.
  const uint64_t at_option = 0x7E000010, at_acpi20 = 0x7E000050, at_acpi = 0x7E000090;
  struct Case {
    const char* name;
    uint64_t option;
    const char* systab;  // null: no systab file
    uint64_t expected;
  };
  const Case cases[] = {
      {"-r wins", at_option, "ACPI20=0x7E000050\n", at_option},
      {"ACPI20 before ACPI", 0, "ACPI=0x7E000090\nACPI20=0x7E000050\n", at_acpi20},
      {"ACPI20 of 0 falls back to ACPI", 0, "ACPI20=0\nACPI=0x7E000090\n", at_acpi},
      {"ACPI alone", 0, "SMBIOS=0x1\nACPI=0x7E000090\n", at_acpi},
      {"neither key: BIOS area", 0, "SMBIOS=0x1\n", kBiosRsdp},
      {"no systab: BIOS area", 0, nullptr, kBiosRsdp},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetTableSourceState();
    FakeMemory memory;
    testing::ScopedPlatform platform({&memory, systab_.c_str(), "", ""});
    uint64_t fadt = 0x7F100000;
    memory.Put(fadt, MakeFadt(116, {}));
    uint64_t rsdt = 0x7F200000;
    memory.Put(rsdt, MakeRsdt(std::vector<uint32_t>{static_cast<uint32_t>(fadt)}));
    for (uint64_t address : {at_option, at_acpi20, at_acpi, kBiosRsdp}) {
      memory.Put(address, MakeRsdp(0, static_cast<uint32_t>(rsdt), 0));
    }
    Bytes bad_sum = MakeRsdp(0, static_cast<uint32_t>(rsdt), 0);
    bad_sum[8] ^= 0x40;
    memory.Put(0xE0000, bad_sum);  // passed over by the BIOS area scan
    std::remove(systab_.c_str());
    if (c.systab) dir_.WriteFile("systab", c.systab);
    OptRsdpAddress = c.option;

    ASSERT_EQ(Load(), AE_OK);
    EXPECT_EQ(RsdpAddress, c.expected);
    ASSERT_FALSE(memory.map_calls().empty());
    bool bios = c.expected == kBiosRsdp;
    uint64_t window = bios ? 0xE0000 : c.expected;
    uint64_t length = bios ? 0x20000 : 36;
    EXPECT_EQ(memory.map_calls()[0].offset, window & ~uint64_t{0xFFF});
    EXPECT_EQ(memory.map_calls()[0].length, (window & 0xFFF) + length);
  }
}

TEST_F(FirmwareTest, OptionAddressExaminesOnly36Bytes) {
  PutMachine(2);
  // A valid RSDP 16 bytes further on is outside the window.
  OptRsdpAddress = kBiosRsdp - 16;
  EXPECT_EQ(Load(), AE_NOT_FOUND);
  EXPECT_EQ(RsdpAddress, 0u);
  EXPECT_EQ(TableRegistry.count, 0u);
}

TEST_F(FirmwareTest, BiosAreaWithoutRsdpIsNotFound) {
  Bytes bad = MakeRsdp(2, 0x1000, 0x2000);
  bad[32] ^= 1;  // extended checksum wrong
  memory_.Put(0xE0000, bad);
  EXPECT_EQ(Load(), AE_NOT_FOUND);
  EXPECT_EQ(TableRegistry.count, 0u);
}

TEST_F(FirmwareTest, RootTableChoiceFollowsRevisionAndOptions) {
  struct Case {
    const char* name;
    uint8_t revision;
    bool xsdt_address;  // the RSDP gives the XSDT's address
    bool use_rsdt;
    bool skip_xsdt;
    Registry registry;
    StatusCode xsdt_fetch;
  };
  const Registry with_xsdt = {"RSDP 0", "RSDT 0", "XSDT 0", "DSDT 0",
                              "FACS 0", "FACP 0", "SSDT 0", "APIC 0"};
  const Registry rsdt_walk = {"RSDP 0", "RSDT 0", "DSDT 0", "FACS 0", "FACP 0", "SSDT 0", "BOOT 0"};
  Registry rsdt_walk_with_xsdt = rsdt_walk;
  rsdt_walk_with_xsdt.insert(rsdt_walk_with_xsdt.begin() + 2, "XSDT 0");
  const Case cases[] = {
      {"revision 2 walks the XSDT", 2, true, false, false, with_xsdt, AE_OK},
      {"revision 0 walks the RSDT", 0, true, false, false, rsdt_walk, AE_BAD_SIGNATURE},
      {"-x keeps the XSDT but walks the RSDT", 2, true, true, false, rsdt_walk_with_xsdt, AE_OK},
      {"-x -x drops the XSDT", 2, true, true, true, rsdt_walk, AE_BAD_SIGNATURE},
      // As the kernel does: an XSDT address of 0 is no XSDT.
      {"revision 2 without an XSDT address walks the RSDT", 2, false, false, false, rsdt_walk,
       AE_BAD_SIGNATURE},
      {"revision 1 without an XSDT address walks the RSDT", 1, false, false, false, rsdt_walk,
       AE_BAD_SIGNATURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetTableSourceState();
    Machine m = PutMachine(c.revision);
    if (!c.xsdt_address) memory_.Put(kBiosRsdp, MakeRsdp(c.revision, uint32_t(m.rsdt), 0));
    OptUseRsdt = c.use_rsdt;
    OptSkipXsdt = c.skip_xsdt;
    ASSERT_EQ(Load(), AE_OK);
    EXPECT_EQ(RegistryContents(), c.registry);
    EXPECT_EQ(RsdpAddress, kBiosRsdp);
    const bool xsdt_walk = c.xsdt_fetch == AE_OK && !c.use_rsdt;

    Fetched xsdt = Fetch("XSDT", 0);
    EXPECT_EQ(xsdt.status, c.xsdt_fetch);
    if (c.xsdt_fetch == AE_OK) {
      EXPECT_EQ(xsdt.address, m.xsdt);
    }
    // FACP comes from whichever root table is walked; both list it.
    EXPECT_EQ(Fetch("FACP", 0).address, m.fadt);
    EXPECT_EQ(Fetch("BOOT", 0).status, xsdt_walk ? AE_LIMIT : AE_OK);
    EXPECT_EQ(Fetch("APIC", 0).status, xsdt_walk ? AE_OK : AE_LIMIT);
    EXPECT_EQ(Fetch("RSDT", 0).address, m.rsdt);
    EXPECT_EQ(Fetch("RSDT", 1).status, AE_LIMIT);
  }
}

TEST_F(FirmwareTest, RsdpFetchHandsOutItsOwnLength) {
  struct Case {
    uint8_t revision;
    uint32_t length;
  };
  for (const Case& c : {Case{0, 20}, Case{1, 20}, Case{2, 36}}) {
    SCOPED_TRACE(c.revision);
    testing::ResetTableSourceState();
    Machine m = PutMachine(c.revision);
    ASSERT_EQ(Load(), AE_OK);
    Fetched rsdp = Fetch("RSDP", 0);
    ASSERT_EQ(rsdp.status, AE_OK);
    EXPECT_EQ(rsdp.address, kBiosRsdp);
    Bytes expected = MakeRsdp(c.revision, static_cast<uint32_t>(m.rsdt), m.xsdt);
    expected.resize(c.length);
    EXPECT_EQ(rsdp.bytes, expected);
    EXPECT_EQ(Fetch("RSDP", 1).status, AE_LIMIT);
  }
}

// A revision 2 RSDP whose Length field says 4 is still copied as its 36 bytes, so that the copy
// reads as the root pointer it was taken from (found by fuzzing).
TEST_F(FirmwareTest, RsdpWithShortLengthIsCopiedWhole) {
  Machine m = PutMachine(2);
  Bytes rsdp = MakeRsdp(2, static_cast<uint32_t>(m.rsdt), m.xsdt);
  rsdp[20] = 4;                                     // Length 36 becomes 4 ...
  rsdp[32] = static_cast<uint8_t>(rsdp[32] + 32);  // ... and the extended checksum follows
  memory_.Put(kBiosRsdp, rsdp);
  ASSERT_EQ(Load(), AE_OK);
  Fetched fetched = Fetch("RSDP", 0);
  ASSERT_EQ(fetched.status, AE_OK);
  EXPECT_EQ(fetched.bytes, rsdp);
  EXPECT_EQ(fetched.out + fetched.err, "");
}

TEST_F(FirmwareTest, FadtPointersGiveDsdtAndFacsCandidates) {
  const uint64_t a = 0x7E100000, b = 0x7E200000, f1 = 0x7E300000, f2 = 0x7E400000;
  struct Case {
    const char* name;
    uint32_t fadt_length;
    testing::FadtPointers pointers;
    std::vector<uint64_t> dsdt;  // addresses of instances 0, 1, ...; then AE_LIMIT
    std::vector<uint64_t> facs;
  };
  const Case cases[] = {
      {"X_DSDT differs from DSDT", 276, {uint32_t(f2), uint32_t(b), f1, a}, {a, b}, {f1, f2}},
      {"X_DSDT equals DSDT", 276, {uint32_t(f1), uint32_t(a), f1, a}, {a}, {f1}},
      {"64-bit fields 0", 276, {uint32_t(f1), uint32_t(b), 0, 0}, {b}, {f1}},
      {"32-bit fields 0", 276, {0, 0, f1, a}, {a}, {f1}},
      {"Length 144: no X_DSDT", 144, {uint32_t(f2), uint32_t(b), f1, a}, {b}, {f1, f2}},
      {"Length 116: 32-bit only", 116, {uint32_t(f1), uint32_t(b), f2, a}, {b}, {f1}},
      {"Length 43: no DSDT", 43, {uint32_t(f1), uint32_t(b), 0, 0}, {}, {f1}},
      {"Length 36: neither", 36, {}, {}, {}},
      {"FACS fields 0", 276, {0, uint32_t(b), 0, a}, {a, b}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetTableSourceState();
    FakeMemory memory;
    testing::ScopedPlatform platform({&memory, "", "", ""});
    memory.Put(a, MakeTable("DSDT", 36));
    memory.Put(b, MakeTable("DSDT", 40));
    memory.Put(f1, MakeFacs());
    memory.Put(f2, MakeFacs());
    uint64_t fadt = 0x7F000010;
    memory.Put(fadt, MakeFadt(c.fadt_length, c.pointers));
    // Bytes right after a short FADT must not be taken for its missing fields.
    memory.Put(fadt + c.fadt_length, Bytes(160, 0x11));
    uint64_t xsdt = 0x7F010010;
    memory.Put(xsdt, MakeXsdt(std::vector<uint64_t>{fadt}));
    memory.Put(kBiosRsdp, MakeRsdp(2, 0, xsdt));

    ASSERT_EQ(Load(), AE_OK);
    Registry expected = {"RSDP 0", "XSDT 0"};
    if (!c.dsdt.empty()) expected.push_back("DSDT 0");
    if (!c.facs.empty()) expected.push_back("FACS 0");
    expected.push_back("FACP 0");
    EXPECT_EQ(RegistryContents(), expected);

    for (const auto& [signature, addresses] :
         {std::pair{"DSDT", c.dsdt}, std::pair{"FACS", c.facs}}) {
      for (uint32_t instance = 0; instance <= addresses.size(); ++instance) {
        SCOPED_TRACE(std::string(signature) + " " + std::to_string(instance));
        Fetched fetched = Fetch(signature, instance);
        if (instance == addresses.size()) {
          EXPECT_EQ(fetched.status, AE_LIMIT);
          continue;
        }
        ASSERT_EQ(fetched.status, AE_OK);
        EXPECT_EQ(fetched.address, addresses[instance]);
        EXPECT_EQ(fetched.bytes[0], signature[0]);
      }
    }
  }
}

TEST_F(FirmwareTest, FirmwareWithoutRsdtRegistersWhatItHas) {
  Machine m = PutMachine(2, /*with_rsdt=*/false);
  ASSERT_EQ(Load(), AE_OK);
  EXPECT_EQ(RegistryContents(),
            (Registry{"RSDP 0", "XSDT 0", "DSDT 0", "FACS 0", "FACP 0", "SSDT 0", "APIC 0"}));
  EXPECT_EQ(Fetch("RSDT", 0).status, AE_LIMIT);
  EXPECT_EQ(Fetch("SSDT", 0).address, m.ssdt);
}

TEST_F(FirmwareTest, WalkOverAnAbsentRootTableIsLimit) {
  struct Case {
    const char* name;
    uint8_t revision;
    bool use_rsdt;
    bool skip_xsdt;
    Registry registry;  // what the failed load left behind
  };
  const Case cases[] = {
      {"-x without an RSDT", 2, true, false, {}},
      {"-x -x without an RSDT", 2, true, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetTableSourceState();
    PutMachine(c.revision, /*with_rsdt=*/false);
    OptUseRsdt = c.use_rsdt;
    OptSkipXsdt = c.skip_xsdt;
    EXPECT_EQ(Load(), AE_LIMIT);
    EXPECT_EQ(RegistryContents(), c.registry);
    EXPECT_EQ(Fetch("SSDT", 0).status, AE_LIMIT);
  }

  // Revision 0 and no RSDT address: nothing to walk either.
  testing::ResetTableSourceState();
  OptUseRsdt = OptSkipXsdt = false;
  memory_.Put(kBiosRsdp, MakeRsdp(0, 0, 0));
  EXPECT_EQ(Load(), AE_LIMIT);
  EXPECT_EQ(Fetch("FACP", 0).status, AE_LIMIT);
}

TEST_F(FirmwareTest, NothingLoadedAnswersLimit) {
  for (const char* signature : {"RSDP", "RSDT", "DSDT", "FACS", "FACP", "SSDT"}) {
    SCOPED_TRACE(signature);
    EXPECT_EQ(Fetch(signature, 0).status, AE_LIMIT);
  }
  EXPECT_EQ(Fetch("XSDT", 0).status, AE_BAD_SIGNATURE);
  EXPECT_TRUE(memory_.map_calls().empty());
}

TEST_F(FirmwareTest, LoadFailsWithoutFadt) {
  uint64_t ssdt = Place(MakeTable("SSDT", 36));
  uint64_t no_fadt = Place(MakeRsdt(std::vector<uint32_t>{static_cast<uint32_t>(ssdt)}));
  memory_.Put(kBiosRsdp, MakeRsdp(0, static_cast<uint32_t>(no_fadt), 0));
  EXPECT_EQ(Load(), AE_LIMIT);
  EXPECT_EQ(TableRegistry.count, 0u);
}

TEST_F(FirmwareTest, RepeatedSignaturesAndZeroEntries) {
  Bytes ssdts[3] = {MakeTable("SSDT", 40, Bytes{1}), MakeTable("SSDT", 44, Bytes{2}),
                    MakeTable("SSDT", 48, Bytes{3})};
  uint64_t fadt = Place(MakeFadt(116, {}));
  uint64_t at[3];
  for (int i = 0; i < 3; ++i) at[i] = Place(ssdts[i]);
  uint64_t apic = Place(MakeTable("APIC", 36));
  uint64_t xsdt = Place(MakeXsdt(std::vector<uint64_t>{0, at[0], fadt, 0, at[1], apic, at[2], 0}));
  memory_.Put(kBiosRsdp, MakeRsdp(2, 0, xsdt));

  ASSERT_EQ(Load(), AE_OK);
  EXPECT_EQ(RegistryContents(),
            (Registry{"RSDP 0", "XSDT 0", "SSDT 0", "FACP 0", "SSDT 1", "APIC 0", "SSDT 2"}));
  for (uint32_t i = 0; i < 3; ++i) {
    Fetched fetched = Fetch("SSDT", i);
    ASSERT_EQ(fetched.status, AE_OK);
    EXPECT_EQ(fetched.address, at[i]);
    EXPECT_EQ(fetched.bytes, ssdts[i]);
  }
  EXPECT_EQ(Fetch("SSDT", 3).status, AE_LIMIT);
  for (const FakeMemory::MapCall& call : memory_.map_calls()) {
    EXPECT_NE(call.offset, 0u) << "a zero entry was mapped";
  }
}

TEST_F(FirmwareTest, WalksRootTablesOfAnyLength) {
  for (uint32_t count : {255u, 256u, 257u, 300u}) {
    SCOPED_TRACE(count);
    testing::ResetTableSourceState();
    FakeMemory memory;
    testing::ScopedPlatform platform({&memory, "", "", ""});
    uint64_t fadt = 0x7F000010, ssdt = 0x7F000400;
    memory.Put(fadt, MakeFadt(116, {}));
    memory.Put(ssdt, MakeTable("SSDT", 36));
    std::vector<uint64_t> entries(count, ssdt);
    entries[0] = fadt;
    // A partial entry at the end is no entry.
    Bytes xsdt = MakeXsdt(entries);
    xsdt.insert(xsdt.end(), {0x10, 0, 0, 0});
    testing::PutLe32(xsdt, 4, static_cast<uint32_t>(xsdt.size()));
    testing::FixChecksum(xsdt);
    memory.Put(0x7F100000, xsdt);
    memory.Put(kBiosRsdp, MakeRsdp(2, 0, 0x7F100000));

    ASSERT_EQ(Load(), AE_OK);
    EXPECT_EQ(TableRegistry.count, 2 + count);
    Fetched last = Fetch("SSDT", count - 2);
    EXPECT_EQ(last.status, AE_OK);
    EXPECT_EQ(last.address, ssdt);
    EXPECT_EQ(Fetch("SSDT", count - 1).status, AE_LIMIT);
  }
}

// Firmware with a stale or garbage root-table entry: the entry is reported once per run and
// passed over, by the registration and by every later walk, and the tables after it stay.
TEST_F(FirmwareTest, RootTableEntriesThatLeadToNoTableAreSkipped) {
  Bytes short_length = MakeTable("SSDT", 36);
  testing::PutLe32(short_length, 4, 16);
  // The bad entry's table has a page of its own, so that only its mappings fail.
  const uint64_t fadt = 0x7F000010, apic = 0x7F000200, bad = 0x7F003400, ssdt = 0x7F000600;
  struct Case {
    const char* name;
    Bytes entry;       // what lies at the bad entry's address
    int map_error;     // or every mapping of it fails with this error
    uint8_t revision;  // 0: the RSDT is walked
    std::string err;   // of the load
  };
  const Case cases[] = {
      {"Length below 36", short_length, 0, 2,
       "Table length (0x00000010) is invalid\n"
       "Skipping XSDT entry 2 at 0x000000007F003400, AE_BAD_HEADER\n"},
      {"invalid signature", MakeTable("ss#t", 36), 0, 2,
       "Table signature (0x74237373) is invalid\n"
       "Skipping XSDT entry 2 at 0x000000007F003400, AE_BAD_HEADER\n"},
      {"nothing there", Bytes(64, 0), 0, 0,
       "Table signature (0x00000000) is invalid\n"
       "Skipping RSDT entry 2 at 0x000000007F003400, AE_BAD_HEADER\n"},
      {"memory that cannot be mapped",
       {},
       EACCES,
       0,
       "Cannot map /dev/mem\nCould not map table header at 0x000000007F003400\n"
       "Skipping RSDT entry 2 at 0x000000007F003400, AE_ACCESS\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ResetTableSourceState();
    FakeMemory memory;
    testing::ScopedPlatform platform({&memory, "", "", ""});
    memory.Put(fadt, MakeFadt(116, {}));
    memory.Put(apic, MakeTable("APIC", 36));
    memory.Put(bad, c.entry);
    if (c.map_error) memory.FailRange(bad, 1, c.map_error);
    memory.Put(ssdt, MakeTable("SSDT", 36));
    memory.Put(0x7F100000, MakeXsdt(std::vector<uint64_t>{fadt, apic, bad, ssdt, bad}));
    memory.Put(0x7F200000, MakeRsdt(std::vector<uint32_t>{uint32_t(fadt), uint32_t(apic),
                                                          uint32_t(bad), uint32_t(ssdt)}));
    memory.Put(kBiosRsdp, MakeRsdp(c.revision, 0x7F200000, 0x7F100000));

    std::string err;
    EXPECT_EQ(Load(&err), AE_OK);
    // The XSDT lists the bad entry twice: each entry is reported on its own.
    std::string expected = c.err;
    if (c.revision != 0) {
      expected += c.err.substr(0, c.err.find("Skipping")) +
                  "Skipping XSDT entry 4 at 0x000000007F003400, AE_BAD_HEADER\n";
    }
    EXPECT_EQ(err, expected);
    Registry registry = {"RSDP 0", "RSDT 0", "FACP 0", "APIC 0", "SSDT 0"};
    if (c.revision != 0) registry.insert(registry.begin() + 2, "XSDT 0");
    EXPECT_EQ(RegistryContents(), registry);
    // Later walks pass over it without a word, before and beyond it.
    for (const char* signature : {"SSDT", "APIC", "FACP"}) {
      Fetched fetched = Fetch(signature, 0);
      EXPECT_EQ(fetched.status, AE_OK) << signature;
      EXPECT_EQ(fetched.err, "") << signature;
    }
    EXPECT_EQ(Fetch("SSDT", 0).address, ssdt);
    EXPECT_EQ(Fetch("SSDT", 1).status, AE_LIMIT);
    EXPECT_EQ(Fetch("OEMX", 0).err, "");
  }
}

TEST_F(FirmwareTest, WrongChecksumsWarnOnEveryPass) {
  Bytes apic = MakeTable("APIC", 40);
  apic[9] = static_cast<uint8_t>(apic[9] + 3);
  uint64_t fadt = Place(MakeFadt(116, {}));
  uint64_t apic_at = Place(apic);
  uint64_t ssdt = Place(MakeTable("SSDT", 36));
  uint64_t xsdt = Place(MakeXsdt(std::vector<uint64_t>{fadt, apic_at, ssdt}));
  memory_.Put(kBiosRsdp, MakeRsdp(2, 0, xsdt));

  char line[160];
  snprintf(line, sizeof line,
           "Firmware Warning (ACPI): Incorrect checksum in table [APIC] - 0x%2.2X, should be "
           "0x%2.2X (20211217/tbprint-338)\n",
           apic[9], static_cast<uint8_t>(apic[9] - 3));
  std::string out;
  ASSERT_EQ(Load(nullptr, &out), AE_OK);
  EXPECT_EQ(out, line);
  Fetched past = Fetch("SSDT", 0);
  EXPECT_EQ(past.status, AE_OK);
  EXPECT_EQ(past.out, line);
  EXPECT_EQ(past.err, "");
  Fetched before = Fetch("FACP", 0);
  EXPECT_EQ(before.status, AE_OK);
  EXPECT_EQ(before.out, "");
}

TEST_F(FirmwareTest, ExpectedSignatureMismatchIsBadSignature) {
  Machine m = PutMachine(2);
  // The FADT's DSDT pointers lead to the SSDT.
  memory_.Put(m.fadt, MakeFadt(276, {0, static_cast<uint32_t>(m.ssdt), 0, m.ssdt}));
  ASSERT_EQ(Load(), AE_OK);
  Fetched dsdt = Fetch("DSDT", 0);
  EXPECT_EQ(dsdt.status, AE_BAD_SIGNATURE);
  EXPECT_EQ(dsdt.err, "");
  EXPECT_EQ(dsdt.out, "");
}

// Every place that maps memory, with every class of system error.
TEST_F(FirmwareTest, MappingFailuresByPlace) {
  struct Error {
    int number;
    StatusCode window;
    StatusCode header;
    StatusCode table;
  };
  const Error errors[] = {
      {ENOMEM, AE_NO_MEMORY, AE_NO_MEMORY, AE_NO_MEMORY},
      {EACCES, AE_ACCESS, AE_ACCESS, AE_ACCESS},
      {EPERM, AE_ACCESS, AE_ACCESS, AE_ACCESS},
      {ENOENT, AE_NOT_FOUND, AE_NOT_FOUND, AE_NOT_FOUND},
      {EIO, AE_BAD_ADDRESS, AE_BAD_ADDRESS, AE_INVALID_TABLE_LENGTH},
      {EINVAL, AE_BAD_ADDRESS, AE_BAD_ADDRESS, AE_INVALID_TABLE_LENGTH},
  };
  enum Place { kOpen, kWindow, kHeader, kTable };
  for (const Error& error : errors) {
    for (Place place : {kOpen, kWindow, kHeader, kTable}) {
      SCOPED_TRACE(std::to_string(error.number) + " at place " + std::to_string(place));
      testing::ResetTableSourceState();
      FakeMemory memory;
      testing::ScopedPlatform platform({&memory, "", "", ""});
      uint64_t fadt = 0x7F000010, apic = 0x7F000FF0;  // the APIC straddles a page boundary
      memory.Put(fadt, MakeFadt(116, {}));
      memory.Put(apic, MakeTable("APIC", 64));
      memory.Put(0x7F100000, MakeXsdt(std::vector<uint64_t>{fadt, apic}));
      memory.Put(kBiosRsdp, MakeRsdp(2, 0, 0x7F100000));

      StatusCode expected = error.window;
      std::string err;
      switch (place) {
        case kOpen:
          memory.FailOpen(error.number);
          err = "Cannot open /dev/mem\n";
          break;
        case kWindow:
          memory.FailRange(0xE0000, 1, error.number);
          err = "Cannot map /dev/mem\n";
          break;
        // A root-table entry that cannot be mapped is passed over; its status is reported.
        case kHeader:
          memory.FailRange(apic, 1, error.number);
          err = "Cannot map /dev/mem\nCould not map table header at " + Hex(apic) + "\n" +
                "Skipping XSDT entry 1 at " + Hex(apic) + ", " + StatusName(error.header) + "\n";
          expected = AE_OK;
          break;
        case kTable:
          memory.FailRange(apic + 36, 1, error.number);
          err = "Cannot map /dev/mem\nCould not map table at " + Hex(apic) + " length 00000040\n" +
                "Skipping XSDT entry 1 at " + Hex(apic) + ", " + StatusName(error.table) + "\n";
          expected = AE_OK;
          break;
      }
      std::string output;
      EXPECT_EQ(Load(&output), expected);
      EXPECT_EQ(output, err);
    }
  }
}

}  // namespace
}  // namespace halvorn
