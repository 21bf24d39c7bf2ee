#include "halvorn/common/number.h"

#include <cstdint>

#include "halvorn/common/console.h"

namespace halvorn {

uint8_t IntegerWidth = 0;

namespace {

// Character classes of the POSIX locale, by plain byte comparison.
bool IsOctalDigit(char c) { return c >= '0' && c <= '7'; }
bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) {
  return IsDecimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct Radix {
  uint32_t base;
  bool (*is_digit)(char c);
  StatusCode overflow;
};

constexpr Radix kOctal = {8, IsOctalDigit, AE_OCTAL_OVERFLOW};
constexpr Radix kDecimal = {10, IsDecimalDigit, AE_DECIMAL_OVERFLOW};
constexpr Radix kHex = {16, IsHexDigit, AE_HEX_OVERFLOW};

// Accumulates the leading digits of the radix; on overflow *value keeps the digits before the
// one that overflowed.
StatusCode ParseDigits(const Radix& radix, const char* text, uint64_t* value) {
  uint64_t accumulator = 0;
  for (const char* cursor = text; radix.is_digit(*cursor); ++cursor) {
    if (AccumulateDigit(&accumulator, radix.base, *cursor) == AE_OK) continue;
    *value = accumulator;
    return radix.overflow;
  }
  *value = accumulator;
  return AE_OK;
}

}  // namespace

StatusCode ParseUnsigned64(const char* text, uint64_t* value) {
  *value = 0;
  if (text == nullptr || *text == '\0') return AE_OK;

  const char* cursor = text;
  if (SkipSpaces(&cursor) == '\0') return AE_OK;

  StatusCode (*convert)(const char*, uint64_t*) = ParseDecimalDigits;
  if (TakeHexPrefix(&cursor)) {
    convert = ParseHexDigits;
  } else if (TakeOctalPrefix(&cursor)) {
    convert = ParseOctalDigits;
  }
  if (SkipLeadingZeros(&cursor) == '\0') return AE_OK;

  uint8_t saved_width = IntegerWidth;
  IntegerWidth = 64;
  StatusCode status = convert(cursor, value);
  IntegerWidth = saved_width;
  return status;
}

StatusCode AccumulateDigit(uint64_t* accumulator, uint32_t base, char digit) {
  if (*accumulator == 0) {
    *accumulator = DigitValue(digit);
    return AE_OK;
  }

  uint64_t bound = 0;
  Divide64By32(UINT64_MAX, base, &bound, nullptr);
  if (*accumulator > bound) return AE_NUMERIC_OVERFLOW;

  uint64_t product = *accumulator * base;
  if (IntegerWidth == 32 && product > UINT32_MAX) return AE_NUMERIC_OVERFLOW;

  uint64_t sum = product + DigitValue(digit);
  if (sum < product) return AE_NUMERIC_OVERFLOW;
  if (IntegerWidth == 32 && sum > UINT32_MAX) return AE_NUMERIC_OVERFLOW;

  *accumulator = sum;
  return AE_OK;
}

StatusCode ParseOctalDigits(const char* text, uint64_t* value) {
  return ParseDigits(kOctal, text, value);
}

StatusCode ParseDecimalDigits(const char* text, uint64_t* value) {
  return ParseDigits(kDecimal, text, value);
}

StatusCode ParseHexDigits(const char* text, uint64_t* value) {
  return ParseDigits(kHex, text, value);
}

char SkipSpaces(const char** cursor) {
  while (IsWhiteSpace(**cursor)) ++*cursor;
  return **cursor;
}

char SkipLeadingZeros(const char** cursor) {
  while (**cursor == '0') ++*cursor;
  return **cursor;
}

bool TakeHexPrefix(const char** cursor) {
  const char* text = *cursor;
  if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  *cursor += 2;
  return true;
}

bool TakeOctalPrefix(const char** cursor) {
  if (**cursor != '0') return false;
  ++*cursor;
  return true;
}

uint32_t DigitValue(char digit) {
  uint8_t c = static_cast<uint8_t>(digit);
  if (c <= '9') return c - 0x30;
  if (c <= 'F') return c - 0x37;
  return c - 0x57;
}

StatusCode Divide64By32(uint64_t dividend, uint32_t divisor, uint64_t* quotient,
                        uint32_t* remainder) {
  if (divisor == 0) {
    ReportError("utmath", 673, "Divide by zero");
    return AE_AML_DIVIDE_BY_ZERO;
  }
  if (quotient != nullptr) *quotient = dividend / divisor;
  if (remainder != nullptr) *remainder = static_cast<uint32_t>(dividend % divisor);
  return AE_OK;
}

}  // namespace halvorn
