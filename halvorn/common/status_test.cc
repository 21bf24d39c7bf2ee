#include "halvorn/common/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "halvorn/common/console.h"
#include "halvorn/testing/capture.h"

namespace halvorn {
namespace {

struct Named {
  StatusCode code;
  const char* name;
};

// Each group's first and last named slot, and every code the header gives a constant for.
TEST(StatusName, NamesDefinedCodesSilently) {
  const Named cases[] = {
      {AE_OK, "AE_OK"},
      {AE_ERROR, "AE_ERROR"},
      {AE_NO_MEMORY, "AE_NO_MEMORY"},
      {AE_NOT_FOUND, "AE_NOT_FOUND"},
      {AE_LIMIT, "AE_LIMIT"},
      {AE_ACCESS, "AE_ACCESS"},
      {AE_NUMERIC_OVERFLOW, "AE_NUMERIC_OVERFLOW"},
      {AE_HEX_OVERFLOW, "AE_HEX_OVERFLOW"},
      {AE_DECIMAL_OVERFLOW, "AE_DECIMAL_OVERFLOW"},
      {AE_OCTAL_OVERFLOW, "AE_OCTAL_OVERFLOW"},
      {AE_END_OF_TABLE, "AE_END_OF_TABLE"},
      {AE_BAD_PARAMETER, "AE_BAD_PARAMETER"},
      {AE_BAD_ADDRESS, "AE_BAD_ADDRESS"},
      {AE_BAD_SIGNATURE, "AE_BAD_SIGNATURE"},
      {AE_BAD_HEADER, "AE_BAD_HEADER"},
      {AE_BAD_CHECKSUM, "AE_BAD_CHECKSUM"},
      {AE_BAD_VALUE, "AE_BAD_VALUE"},
      {AE_INVALID_TABLE_LENGTH, "AE_INVALID_TABLE_LENGTH"},
      {0x3001, "AE_AML_BAD_OPCODE"},
      {AE_AML_DIVIDE_BY_ZERO, "AE_AML_DIVIDE_BY_ZERO"},
      {0x3025, "AE_AML_BUFFER_LENGTH"},
      {0x4001, "AE_CTRL_RETURN_VALUE"},
      {0x400C, "AE_CTRL_PARSE_PENDING"},
  };
  InitializeConsole();
  for (const Named& c : cases) {
    testing::OutputCapture capture;
    EXPECT_STREQ(StatusName(c.code), c.name) << std::hex << c.code;
    auto output = capture.Finish();
    EXPECT_EQ(output.out, "") << std::hex << c.code;
    EXPECT_EQ(output.err, "") << std::hex << c.code;
  }
}

// Past a group's end, its empty index-0 slot, an undefined group, and codes whose low 16 bits
// would name a code but whose upper bits are set.
TEST(StatusName, CodeWithoutNameReportsAndYieldsUnknown) {
  const StatusCode cases[] = {0x0024, 0x0FFF, 0x1000, 0x100A, 0x2000,  0x2006,  0x3000,    0x3026,
                              0x4000, 0x400D, 0x5000, 0xF001, 0x10000, 0x12001, 0xFFFFFFFF};
  InitializeConsole();
  for (StatusCode code : cases) {
    testing::OutputCapture capture;
    EXPECT_STREQ(StatusName(code), "UNKNOWN_STATUS_CODE") << std::hex << code;
    auto output = capture.Finish();
    char expected[128];
    snprintf(expected, sizeof expected,
             "ACPI Error: Unknown exception code: 0x%8.8X (20211217/utexcep-192)\n", code);
    EXPECT_EQ(output.out, expected);
    EXPECT_EQ(output.err, "");
  }
}

TEST(StatusName, UnknownLineIsByteExact) {
  InitializeConsole();
  testing::OutputCapture capture;
  StatusName(0x1000);
  EXPECT_EQ(capture.Finish().out,
            "ACPI Error: Unknown exception code: 0x00001000 (20211217/utexcep-192)\n");
}

TEST(StatusForErrno, MapsTheErrorsWithAStatusOfTheirOwn) {
  struct Case {
    int error;
    StatusCode status;
  } cases[] = {
      {ENOMEM, AE_NO_MEMORY}, {EACCES, AE_ACCESS},      {EPERM, AE_ACCESS},
      {ENOENT, AE_NOT_FOUND}, {EINVAL, AE_BAD_ADDRESS}, {0, AE_BAD_ADDRESS},
  };
  for (const Case& c : cases)
    EXPECT_EQ(StatusForErrno(c.error, AE_BAD_ADDRESS), c.status) << c.error;
}

}  // namespace
}  // namespace halvorn
