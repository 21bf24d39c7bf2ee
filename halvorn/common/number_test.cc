#include "halvorn/common/number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "halvorn/common/console.h"
#include "halvorn/testing/capture.h"

namespace halvorn {
namespace {

constexpr uint64_t kMax = UINT64_MAX;

struct ParseCase {
  const char* text;
  uint64_t value;
  StatusCode status;
};

TEST(ParseUnsigned64, ConvertsPrefixesDigitsAndOverflows) {
  const ParseCase cases[] = {
      {"", 0, AE_OK},
      {" \t \t", 0, AE_OK},
      {" \n\v\f\r7", 7, AE_OK},
      {"0x", 0, AE_OK},
      {"0X", 0, AE_OK},
      {"0", 0, AE_OK},
      {"000", 0, AE_OK},
      {"08", 0, AE_OK},
      {"010", 8, AE_OK},
      {"0777", 511, AE_OK},
      {"123abc", 123, AE_OK},
      {"1e3", 1, AE_OK},
      {"-1", 0, AE_OK},
      {"+5", 0, AE_OK},
      {" 42 ", 42, AE_OK},
      {"\t0X00ff", 255, AE_OK},
      {"0xDeadBeef", 0xDEADBEEF, AE_OK},
      {"0xfg", 15, AE_OK},
      {"00x10", 0, AE_OK},
      {"0x 12", 0, AE_OK},
      {"0x0x5", 0, AE_OK},
      {"18446744073709551615", kMax, AE_OK},
      {"18446744073709551616", 1844674407370955161, AE_DECIMAL_OVERFLOW},
      {"99999999999999999999", 9999999999999999999u, AE_DECIMAL_OVERFLOW},
      {"0xFFFFFFFFFFFFFFFF", kMax, AE_OK},
      {"0x10000000000000000", uint64_t{1} << 60, AE_HEX_OVERFLOW},
      {"0x000000000000000000001", 1, AE_OK},
      {"01777777777777777777777", kMax, AE_OK},
      {"02000000000000000000000", uint64_t{1} << 61, AE_OCTAL_OVERFLOW},
  };
  for (const ParseCase& c : cases) {
    uint64_t value = 12345;
    EXPECT_EQ(ParseUnsigned64(c.text, &value), c.status) << '"' << c.text << '"';
    EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  }
}

TEST(ParseUnsigned64, RestoresIntegerWidth) {
  const uint8_t saved = IntegerWidth;
  for (uint8_t width : {0, 32, 64, 7}) {
    for (const char* text : {"0x1234", "18446744073709551616", "0x", ""}) {
      IntegerWidth = width;
      uint64_t value;
      ParseUnsigned64(text, &value);
      EXPECT_EQ(IntegerWidth, width) << text;
    }
  }
  IntegerWidth = saved;
}

// A width of 32 left behind by someone else does not limit the conversion.
TEST(ParseUnsigned64, ConvertsWithSixtyFourBitLimitsWhateverTheWidth) {
  const uint8_t saved = IntegerWidth;
  IntegerWidth = 32;
  uint64_t value;
  EXPECT_EQ(ParseUnsigned64("0x123456789", &value), AE_OK);
  EXPECT_EQ(value, 0x123456789u);
  IntegerWidth = saved;
}

struct AccumulateCase {
  uint8_t width;
  uint64_t before;
  uint32_t base;
  char digit;
  StatusCode status;
  uint64_t after;
};

TEST(AccumulateDigit, MultipliesAddsAndRefusesOverflow) {
  const AccumulateCase cases[] = {
      {64, 0, 10, '7', AE_OK, 7},
      {64, 0, 16, 'f', AE_OK, 15},
      {64, 12, 10, '3', AE_OK, 123},
      {64, 0xAB, 16, 'C', AE_OK, 0xABC},
      {64, 07, 8, '7', AE_OK, 077},
      {64, kMax / 10, 10, '5', AE_OK, kMax},                             // exactly 2^64 - 1
      {64, kMax / 10, 10, '6', AE_NUMERIC_OVERFLOW, kMax / 10},          // carries out
      {64, kMax / 10 + 1, 10, '0', AE_NUMERIC_OVERFLOW, kMax / 10 + 1},  // above the bound
      {64, kMax / 16, 16, 'F', AE_OK, kMax},
      {64, kMax / 16 + 1, 16, '0', AE_NUMERIC_OVERFLOW, kMax / 16 + 1},
      {0, kMax / 8, 8, '7', AE_OK, kMax},
      {32, 0xFFFFFFF, 16, 'F', AE_OK, 0xFFFFFFFF},
      {32, 0x10000000, 16, '0', AE_NUMERIC_OVERFLOW, 0x10000000},  // product too wide
      {32, 429496729, 10, '6', AE_NUMERIC_OVERFLOW, 429496729},    // sum too wide
      {32, 429496729, 10, '5', AE_OK, 4294967295},
  };
  const uint8_t saved = IntegerWidth;
  for (const AccumulateCase& c : cases) {
    IntegerWidth = c.width;
    uint64_t accumulator = c.before;
    EXPECT_EQ(AccumulateDigit(&accumulator, c.base, c.digit), c.status)
        << c.before << " base " << c.base << " digit " << c.digit << " width " << +c.width;
    EXPECT_EQ(accumulator, c.after) << c.before << " base " << c.base << " digit " << c.digit;
  }
  IntegerWidth = saved;
}

struct ConverterCase {
  StatusCode (*convert)(const char*, uint64_t*);
  const char* text;
  uint64_t value;
  StatusCode status;
};

TEST(DigitConverters, StopAtFirstForeignCharacterAndReportTheirOverflow) {
  const ConverterCase cases[] = {
      {ParseOctalDigits, "", 0, AE_OK},
      {ParseOctalDigits, "1778", 0177, AE_OK},
      {ParseOctalDigits, "2000000000000000000000", uint64_t{1} << 61, AE_OCTAL_OVERFLOW},
      {ParseDecimalDigits, "", 0, AE_OK},
      {ParseDecimalDigits, "0012", 12, AE_OK},
      {ParseDecimalDigits, "987a6", 987, AE_OK},
      {ParseDecimalDigits, "18446744073709551616", 1844674407370955161, AE_DECIMAL_OVERFLOW},
      {ParseHexDigits, "", 0, AE_OK},
      {ParseHexDigits, "aBcDeFg1", 0xABCDEF, AE_OK},
      {ParseHexDigits, "x1", 0, AE_OK},
      {ParseHexDigits, "10000000000000000", uint64_t{1} << 60, AE_HEX_OVERFLOW},
  };
  for (const ConverterCase& c : cases) {
    uint64_t value = 99;
    EXPECT_EQ(c.convert(c.text, &value), c.status) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(DigitValue, MapsBothCases) {
  const char digits[] = "0123456789ABCDEFabcdef";
  const uint32_t values[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                             11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
  for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
    EXPECT_EQ(DigitValue(digits[i]), values[i]) << digits[i];
  }
}

TEST(CursorSteps, SkipsMoveOverTheirClassAndReturnTheNextCharacter) {
  struct Case {
    char (*skip)(const char**);
    const char* text;
    size_t moved;
  };
  const Case cases[] = {
      {SkipSpaces, " \t\n\v\f\rx", 6}, {SkipSpaces, "x ", 0},      {SkipSpaces, "   ", 3},
      {SkipLeadingZeros, "0007", 3},   {SkipLeadingZeros, "7", 0}, {SkipLeadingZeros, "00", 2},
  };
  for (const Case& c : cases) {
    const char* cursor = c.text;
    EXPECT_EQ(c.skip(&cursor), c.text[c.moved]) << '"' << c.text << '"';
    EXPECT_EQ(cursor, c.text + c.moved) << '"' << c.text << '"';
  }
}

TEST(CursorSteps, PrefixesAreTakenOnlyWhenPresent) {
  struct Case {
    bool (*take)(const char**);
    const char* text;
    bool taken;
    size_t moved;
  };
  const Case cases[] = {
      {TakeHexPrefix, "0x1", true, 2},  {TakeHexPrefix, "0X", true, 2},
      {TakeHexPrefix, "0", false, 0},   {TakeHexPrefix, "x1", false, 0},
      {TakeHexPrefix, "00x", false, 0}, {TakeOctalPrefix, "01", true, 1},
      {TakeOctalPrefix, "0", true, 1},  {TakeOctalPrefix, "1", false, 0},
      {TakeOctalPrefix, "", false, 0},
  };
  for (const Case& c : cases) {
    const char* cursor = c.text;
    EXPECT_EQ(c.take(&cursor), c.taken) << '"' << c.text << '"';
    EXPECT_EQ(cursor, c.text + c.moved) << '"' << c.text << '"';
  }
}

TEST(Divide64By32, WritesOnlyTheOutputsGiven) {
  uint64_t quotient = 0;
  uint32_t remainder = 0;
  EXPECT_EQ(Divide64By32(kMax, 10, &quotient, &remainder), AE_OK);
  EXPECT_EQ(quotient, 1844674407370955161u);
  EXPECT_EQ(remainder, 5u);
  EXPECT_EQ(Divide64By32(0x100000007, 0x10, nullptr, &remainder), AE_OK);
  EXPECT_EQ(remainder, 7u);
  EXPECT_EQ(Divide64By32(100, 7, &quotient, nullptr), AE_OK);
  EXPECT_EQ(quotient, 14u);
}

TEST(Divide64By32, ZeroDivisorReportsAndLeavesOutputsAlone) {
  InitializeConsole();
  uint64_t quotient = 11;
  uint32_t remainder = 22;
  testing::OutputCapture capture;
  EXPECT_EQ(Divide64By32(1234, 0, &quotient, &remainder), AE_AML_DIVIDE_BY_ZERO);
  auto output = capture.Finish();
  EXPECT_EQ(output.out, "ACPI Error: Divide by zero (20211217/utmath-673)\n");
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(quotient, 11u);
  EXPECT_EQ(remainder, 22u);
}

}  // namespace
}  // namespace halvorn
