#include "halvorn/common/summary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "halvorn/common/console.h"
#include "halvorn/testing/capture.h"
#include "halvorn/testing/tables.h"

namespace halvorn {
namespace {

using namespace std::string_literals;
using testing::Bytes;

using testing::FixChecksum;
using testing::MakeFacs;
using testing::MakeRsdp;
using testing::MakeTable;
using testing::Prefix;
using testing::PutText;

struct SummaryCase {
  const char* what;
  uint64_t address;
  Bytes record;
  std::string expected;
};

TEST(FormatTableSummary, FullHeaderForm) {
  const SummaryCase cases[] = {
      {"file table", 0, MakeTable({}),
       "APIC 0x0000000000000000 0000BC (v03 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
      {"upper address half", 0x100000000, MakeTable({}),
       "APIC 0x0000000100000000 0000BC (v03 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
      {"both halves", 0xFEDCBA9876543210, MakeTable({}),
       "APIC 0xFEDCBA9876543210 0000BC (v03 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
      {"small length", 0, MakeTable({.length = 0x24}),
       "APIC 0x0000000000000000 000024 (v03 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
      {"length of 16 MiB", 0, MakeTable({.length = 0x1000000}),
       "APIC 0x0000000000000000 1000000 (v03 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
      {"widest length", 0, MakeTable({.length = 0xFFFFFFFF}),
       "APIC 0x0000000000000000 FFFFFFFF (v03 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
      {"revision 0", 0, MakeTable({.revision = 0}),
       "APIC 0x0000000000000000 0000BC (v00 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
      {"revision 255", 0, MakeTable({.revision = 255}),
       "APIC 0x0000000000000000 0000BC (v255 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
      {"short identifiers are padded", 0,
       MakeTable({.oem_id = "AB", .oem_table_id = "T", .creator_id = ""}),
       "APIC 0x0000000000000000 0000BC (v03 AB     T        01072009      00010013)"},
      {"revisions print all eight digits", 0,
       MakeTable({.oem_revision = 0xFFFFFFFF, .creator_revision = 0}),
       "APIC 0x0000000000000000 0000BC (v03 OEMXYZ TABLE001 FFFFFFFF CRTR 00000000)"},
      {"non-printables become ?", 0,
       MakeTable({.signature = "S\x01T\xFF",
                  .oem_id = "A\tB\x80\x7F\x1F",
                  .oem_table_id = "\nTABLE\x1B ",
                  .creator_id = "~ \x20\x7F"}),
       "S?T? 0x0000000000000000 0000BC (v03 A?B??? ?TABLE?  01072009 ~  ? 00010013)"},
      {"a NUL ends the field", 0, MakeTable({.oem_id = "A\0\t\x80"s, .oem_table_id = "\0\x01"s}),
       "APIC 0x0000000000000000 0000BC (v03 A               01072009 CRTR 00010013)"},
  };
  for (const SummaryCase& c : cases) {
    EXPECT_EQ(std::string(FormatTableSummary(c.address, c.record).text), c.expected) << c.what;
  }
}

TEST(FormatTableSummary, FacsAndRsdpForms) {
  const SummaryCase cases[] = {
      {"FACS", 0x7FFE0000, MakeFacs(64), "FACS 0x000000007FFE0000 000040"},
      {"FACS record of eight bytes", 0, Prefix(MakeFacs(0x1000), 8),
       "FACS 0x0000000000000000 001000"},
      {"RSDP revision 0 ignores its Length field", 0xF0000,
       MakeRsdp({.revision = 0, .length = 0x24, .size = 36}),
       "RSDP 0x00000000000F0000 000014 (v00 OEMXYZ)"},
      {"RSDP revision 1 shows the 20 bytes copied", 0xF0000,
       MakeRsdp({.revision = 1, .length = 0x24, .size = 20}),
       "RSDP 0x00000000000F0000 000014 (v01 OEMXYZ)"},
      {"RSDP revision 2 shows its Length field", 0xF0000, MakeRsdp({.revision = 2, .length = 0x24}),
       "RSDP 0x00000000000F0000 000024 (v02 OEMXYZ)"},
      {"RSDP with a longer Length", 0x100000000, MakeRsdp({.revision = 4, .length = 0x1234}),
       "RSDP 0x0000000100000000 001234 (v04 OEMXYZ)"},
      {"RSDP OEM ID sanitised and padded", 0, MakeRsdp({.oem_id = "A\x01"}),
       "RSDP 0x0000000000000000 000024 (v02 A?    )"},
      {"a blank missing from the RSDP signature", 0,
       [] {
         Bytes record = MakeTable({.signature = "RSD "});
         PutText(record, 4, 4, "PTR!");
         return record;
       }(),
       "RSD  0x0000000000000000 21525450 (v03 OEMXYZ TABLE001 01072009 CRTR 00010013)"},
  };
  for (const SummaryCase& c : cases) {
    EXPECT_EQ(std::string(FormatTableSummary(c.address, c.record).text), c.expected) << c.what;
  }
}

TEST(FormatTableSummary, LeavesTheRecordAlone) {
  for (const Bytes& record : {MakeTable({.signature = "\x01\x02\x03\x04", .oem_id = "\t\t"}),
                              MakeRsdp({.oem_id = "\x7F\x80\x81"})}) {
    Bytes copy = record;
    FormatTableSummary(0, copy);
    EXPECT_EQ(copy, record);
  }
}

TEST(PrintTableSummary, WritesOneInformationLine) {
  InitializeConsole();
  testing::OutputCapture capture;
  PrintTableSummary(0x7FFE1000, MakeTable({.signature = "FACP", .length = 0x114, .revision = 6}));
  PrintTableSummary(0, MakeFacs(64));
  auto output = capture.Finish();
  EXPECT_EQ(output.out,
            "ACPI: FACP 0x000000007FFE1000 000114 (v06 OEMXYZ TABLE001 01072009 CRTR 00010013)\n"
            "ACPI: FACS 0x0000000000000000 000040\n");
  EXPECT_EQ(output.err, "");
}

TEST(VerifyTableChecksum, WarnsOnlyAboutAWrongSum) {
  // Stored checksum 0x10, balanced by a payload byte; the faulty variants sum to 0x05.
  Bytes sound = MakeTable({.length = 48, .size = 48});
  sound[9] = 0x10;
  FixChecksum(sound, 40, 48);
  Bytes wrong = sound;
  wrong[40] = static_cast<uint8_t>(wrong[40] + 5);
  Bytes trailing = sound;
  trailing.push_back(0x05);
  Bytes facs = MakeFacs(64);
  Bytes s3pt = MakeFacs(64);
  PutText(s3pt, 0, 4, "S3PT");
  const std::string warning =
      "Firmware Warning (ACPI): Incorrect checksum in table [APIC] - 0x10, should be 0x0B"
      " (20211217/tbprint-338)\n";

  struct Case {
    const char* what;
    Bytes record;
    uint32_t length;
    std::string expected;
  };
  const Case cases[] = {
      {"sound table", sound, 48, ""},
      {"wrong sum", wrong, 48, warning},
      {"only `length` bytes are summed", trailing, 48, ""},
      {"a byte within the length counts", trailing, 49, warning},
      {"length beyond the record", sound, 0x1000, ""},
      {"length 0", wrong, 0, ""},
      {"FACS is never summed", facs, 64, ""},
      {"S3PT is never summed", s3pt, 64, ""},
  };
  InitializeConsole();
  for (const Case& c : cases) {
    testing::OutputCapture capture;
    EXPECT_EQ(VerifyTableChecksum(c.record, c.length), AE_OK) << c.what;
    EXPECT_EQ(capture.Finish().out, c.expected) << c.what;
  }
}

TEST(ComputeChecksum, WrapsModulo256) {
  struct Case {
    Bytes bytes;
    uint8_t sum;
  };
  const Case cases[] = {
      {{}, 0}, {{1, 2, 3}, 6}, {{0xFF, 0x02}, 1}, {Bytes(256, 1), 0}, {Bytes(255, 1), 255},
  };
  for (const Case& c : cases) EXPECT_EQ(ComputeChecksum(c.bytes), c.sum) << c.bytes.size();
}

TEST(RsdpLength, FollowsTheRevision) {
  struct Case {
    const char* what;
    Bytes record;
    uint32_t length;
  };
  const Case cases[] = {
      {"revision 0", MakeRsdp({.revision = 0, .length = 0x40, .size = 20}), 20},
      {"revision 1", MakeRsdp({.revision = 1, .length = 0x40, .size = 36}), 20},
      {"revision 2", MakeRsdp({.revision = 2, .length = 0x24}), 0x24},
      {"revision 2, long", MakeRsdp({.revision = 2, .length = 0x1000}), 0x1000},
      // A copy of fewer bytes would not hold its own Length field (found by fuzzing).
      {"revision 2, Length below 36", MakeRsdp({.revision = 2, .length = 4}), 36},
      {"revision 2, Length 0", MakeRsdp({.revision = 2, .length = 0}), 36},
      {"not an RSDP", MakeTable({}), 0},
      {"wrong last signature byte",
       [] {
         Bytes record = MakeRsdp({});
         record[7] = '!';
         return record;
       }(),
       0},
      {"empty", {}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(RsdpLength(c.record), c.length) << c.what;
}

TEST(ValidateRsdp, ChecksSignatureAndTheSumsOfItsRevision) {
  auto with = [](Bytes record, size_t offset, uint8_t value) {
    record[offset] = value;
    return record;
  };
  Bytes v0 = MakeRsdp({.revision = 0, .size = 36});
  Bytes v2 = MakeRsdp({.revision = 2});
  // Revision 2 whose first 20 bytes sum to 0 but whose first 36 do not.
  Bytes bad_extended = with(v2, 28, static_cast<uint8_t>(v2[28] + 1));
  Bytes long_v2 = MakeRsdp({.revision = 2, .length = 64, .size = 64});
  for (size_t i = 36; i < 64; ++i) long_v2[i] = 0xA5;

  struct Case {
    const char* what;
    Bytes record;
    StatusCode status;
  };
  const Case cases[] = {
      {"revision 0", MakeRsdp({.revision = 0, .size = 20}), AE_OK},
      {"revision 0 with anything in bytes 20-35", with(v0, 30, 0x77), AE_OK},
      {"revision 1 with anything in bytes 20-35", with(MakeRsdp({.revision = 1}), 32, 0x99), AE_OK},
      {"revision 2", v2, AE_OK},
      {"revision 2, bytes beyond 36 take no part", long_v2, AE_OK},
      {"first 20 bytes wrong", with(v2, 8, static_cast<uint8_t>(v2[8] + 1)), AE_BAD_CHECKSUM},
      {"extended sum wrong", bad_extended, AE_BAD_CHECKSUM},
      {"RSD PTR followed by another byte", with(v2, 7, '!'), AE_BAD_SIGNATURE},
      {"RSD PTR followed by NUL", with(v2, 7, 0), AE_BAD_SIGNATURE},
      {"lower case", with(v2, 0, 'r'), AE_BAD_SIGNATURE},
      {"ordinary table", MakeTable({}), AE_BAD_SIGNATURE},
  };
  for (const Case& c : cases) EXPECT_EQ(ValidateRsdp(c.record), c.status) << c.what;
}

// Every prefix of a record is read as if the missing bytes were zero, and never beyond: each
// prefix sits in a heap block of exactly its size, so a read past it trips the address sanitizer.
TEST(TableReaders, EveryPrefixStaysInsideTheRecord) {
  struct Case {
    const char* what;
    Bytes record;
  };
  const Case cases[] = {
      {"table", MakeTable({.length = 40, .size = 40})},
      {"RSDP revision 0", MakeRsdp({.revision = 0, .size = 20})},
      {"RSDP revision 2", MakeRsdp({.revision = 2})},
      {"FACS", MakeFacs(64)},
  };
  InitializeConsole();
  for (const Case& c : cases) {
    for (size_t n = 0; n <= c.record.size(); ++n) {
      SCOPED_TRACE(std::string(c.what) + ", prefix of " + std::to_string(n));
      Bytes prefix = Prefix(c.record, n);
      Bytes padded = prefix;
      padded.resize(std::max<size_t>(c.record.size(), 36), 0);

      EXPECT_STREQ(FormatTableSummary(0x1000, prefix).text, FormatTableSummary(0x1000, padded).text);
      EXPECT_EQ(RsdpLength(prefix), RsdpLength(padded));
      StatusCode expected = n == c.record.size() ? ValidateRsdp(c.record)
                            : n < 8              ? AE_BAD_SIGNATURE
                            : IsRsdp(c.record)   ? AE_BAD_CHECKSUM
                                                 : AE_BAD_SIGNATURE;
      EXPECT_EQ(ValidateRsdp(prefix), expected);

      testing::OutputCapture capture;
      EXPECT_EQ(VerifyTableChecksum(prefix, ReadLe32(c.record, header::kLength)), AE_OK);
      capture.Finish();
    }
  }
}

}  // namespace
}  // namespace halvorn
