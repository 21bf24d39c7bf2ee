// Conversion of address arguments into 64-bit values.
#pragma once

#include <cstdint>

#include "halvorn/common/status.h"

namespace halvorn {

// Width in bits that digit accumulation honours: 32 imposes 32-bit limits, anything else
// 64-bit limits. 0 at start; ParseUnsigned64 sets 64 for each conversion and restores it.
extern uint8_t IntegerWidth;

// Converts text (leading white space, then "0x"/"0X" hex, "0" octal, or decimal; no sign) into
// *value, which is always written (0 first). Stops silently at the first non-digit. Returns
// AE_OK, or AE_HEX_OVERFLOW / AE_DECIMAL_OVERFLOW / AE_OCTAL_OVERFLOW with *value holding the
// digits accumulated before the overflowing one.
StatusCode ParseUnsigned64(const char* text, uint64_t* value);

// *accumulator = *accumulator * base + digit; AE_NUMERIC_OVERFLOW leaves it unchanged.
StatusCode AccumulateDigit(uint64_t* accumulator, uint32_t base, char digit);

// Digit converters: accumulate the leading digits of their base into *value (always written).
StatusCode ParseOctalDigits(const char* text, uint64_t* value);
StatusCode ParseDecimalDigits(const char* text, uint64_t* value);
StatusCode ParseHexDigits(const char* text, uint64_t* value);

// Cursor steps: move *cursor forward in place and return the character it rests on.
char SkipSpaces(const char** cursor);
char SkipLeadingZeros(const char** cursor);

// Step over "0x"/"0X" (resp. "0") when the cursor is on one; return whether it did.
bool TakeHexPrefix(const char** cursor);
bool TakeOctalPrefix(const char** cursor);

// Value 0-15 of a hex digit character.
uint32_t DigitValue(char digit);

// The upper and lower 32 bits of a 64-bit address, the two halves that "0x%8.8X%8.8X" prints.
inline uint32_t UpperHalf(uint64_t value) { return static_cast<uint32_t>(value >> 32); }
inline uint32_t LowerHalf(uint64_t value) { return static_cast<uint32_t>(value); }

// Writes dividend / divisor and dividend % divisor to the outputs that are given. A zero
// divisor reports "Divide by zero" (utmath, 673), leaves the outputs alone and returns
// AE_AML_DIVIDE_BY_ZERO.
StatusCode Divide64By32(uint64_t dividend, uint32_t divisor, uint64_t* quotient,
                        uint32_t* remainder);

}  // namespace halvorn
