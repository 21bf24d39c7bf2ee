#include "halvorn/common/table_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "halvorn/common/console.h"
#include "halvorn/testing/capture.h"
#include "halvorn/testing/tables.h"

namespace halvorn {
namespace {

using testing::Bytes;
using testing::MakeRsdp;
using testing::MakeTable;

TEST(TableCheck, HeaderPlausibility) {
  struct Case {
    const char* name;
    Bytes table;
    bool plausible;
    uint32_t length;
    std::string err;
  } cases[] = {
      {"table", MakeTable("DSDT", 40), true, 40, ""},
      {"name with !", MakeTable("AB_!", 36), true, 36, ""},
      {"rsdp rev 0", MakeRsdp(0, 0, 0), true, 20, ""},
      {"rsdp rev 2", MakeRsdp(2, 0, 0), true, 36, ""},
      {"lower case", MakeTable("facp", 36), false, 0, "Table signature (0x70636166) is invalid\n"},
      {"blank", MakeTable("SSD ", 36), false, 0, "Table signature (0x20445353) is invalid\n"},
      {"length 35", MakeTable("DSDT", 35), false, 0, "Table length (0x00000023) is invalid\n"},
  };
  InitializeConsole();
  for (const Case& c : cases) {
    testing::OutputCapture capture;
    EXPECT_EQ(IsValidTableHeader(c.table), c.plausible) << c.name;
    EXPECT_EQ(TableLength(c.table), c.length) << c.name;
    EXPECT_EQ(capture.Finish().err, c.err + c.err) << c.name;
  }
}

TEST(TableCheck, ChecksumWarnings) {
  Bytes bad_table = MakeTable("SSDT", 40);
  bad_table[9] ^= 1;
  Bytes bad_rsdp = MakeRsdp(0, 0, 0);
  bad_rsdp[8] += 1;
  // The firmware warning names the stored and the expected checksum.
  char warning[160];
  snprintf(warning, sizeof warning,
           "Firmware Warning (ACPI): Incorrect checksum in table [SSDT] - 0x%2.2X, should be "
           "0x%2.2X (20211217/tbprint-338)\n",
           bad_table[9], bad_table[9] ^ 1);
  struct Case {
    const char* name;
    Bytes table;
    std::string out, err;
  } cases[] = {
      {"good table", MakeTable("SSDT", 40), "", ""},
      {"good rsdp", MakeRsdp(2, 0, 0), "", ""},
      {"bad table", bad_table, warning, ""},
      {"bad rsdp", bad_rsdp, "", "RSD : Warning: wrong checksum in table\n"},
  };
  InitializeConsole();
  for (const Case& c : cases) {
    testing::OutputCapture capture;
    EXPECT_EQ(CheckTableChecksum(c.table), AE_OK) << c.name;
    auto result = capture.Finish();
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
  }
}

}  // namespace
}  // namespace halvorn
