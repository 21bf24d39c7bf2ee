#include "halvorn/app/hexdump.h"

#include <array>
#include <cstring>

namespace halvorn {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint32_t kRowBytes = 16;

// Per byte value: its two hex digits and a blank, ready to be copied as one 4-byte word.
constexpr std::array<std::array<char, 4>, 256> kHexAndBlank = [] {
  std::array<std::array<char, 4>, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = {kHexDigits[i >> 4], kHexDigits[i & 15], ' ', ' '};
  return table;
}();

// Per byte value: the character the text column shows.
constexpr std::array<char, 256> kTextChar = [] {
  std::array<char, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = (i >= 0x20 && i <= 0x7E) ? char(i) : '.';
  return table;
}();

// "%8.4X: ": at least four uppercase hex digits, right-aligned in eight columns.
char* PutOffset(char* out, uint32_t value) {
  int digits = 4;
  while (digits < 8 && (value >> (4 * digits)) != 0) ++digits;
  std::memset(out, ' ', 8 - digits);
  out += 8 - digits;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) *out++ = kHexDigits[(value >> shift) & 15];
  *out++ = ':';
  *out++ = ' ';
  return out;
}

// One unit of `unit` bytes, of which `available` (1 to unit) lie inside the buffer: the
// little-endian value of each 4-byte group (or of the whole unit when smaller), high digits
// first; digits of bytes that are not there are blanks. Then one blank.
char* PutUnit(char* out, const uint8_t* bytes, uint32_t unit, uint32_t available) {
  const uint32_t group = unit < 4 ? unit : 4;
  for (uint32_t start = 0; start < unit; start += group) {
    for (uint32_t k = group; k-- > 0;) {
      if (start + k < available) {
        out[0] = kHexDigits[bytes[start + k] >> 4];
        out[1] = kHexDigits[bytes[start + k] & 15];
      } else {
        out[0] = out[1] = ' ';
      }
      out += 2;
    }
  }
  *out++ = ' ';
  return out;
}

}  // namespace

uint32_t DumpUnit(uint32_t count, uint32_t display) {
  if (count < 4 || count % 2 != 0) return 1;
  return (display == 2 || display == 4 || display == 8) ? display : 1;
}

size_t FormatDumpRow(char* out, const uint8_t* buffer, uint32_t count, uint32_t row_offset,
                     uint32_t unit, uint32_t base_offset) {
  char* const start = out;
  const uint8_t* row = buffer + row_offset;
  const uint32_t left = count - row_offset;
  out = PutOffset(out, base_offset + row_offset);

  if (unit == 1 && left >= kRowBytes) {
    // The common case, a full row of single bytes: straight table copies.
    for (uint32_t i = 0; i < kRowBytes; ++i, out += 3) std::memcpy(out, kHexAndBlank[row[i]].data(), 4);
    *out++ = ' ';
    for (uint32_t i = 0; i < kRowBytes; ++i) *out++ = kTextChar[row[i]];
    *out++ = '\n';
    return out - start;
  }

  for (uint32_t position = 0; position < kRowBytes; position += unit) {
    if (position >= left) {
      std::memset(out, ' ', 2 * unit + 1);
      out += 2 * unit + 1;
      continue;
    }
    const uint32_t available = left - position < unit ? left - position : unit;
    out = PutUnit(out, row + position, unit, available);
  }
  *out++ = ' ';
  const uint32_t shown = left < kRowBytes ? left : kRowBytes;
  for (uint32_t i = 0; i < shown; ++i) *out++ = kTextChar[row[i]];
  *out++ = '\n';
  return out - start;
}

void DumpBuffer(FILE* stream, const uint8_t* buffer, uint32_t count, uint32_t display,
                uint32_t base_offset) {
  if (buffer == nullptr) {
    fputs("Null Buffer Pointer in DumpBuffer!\n", stream);
    return;
  }
  const uint32_t unit = DumpUnit(count, display);
  // Rows are gathered into a block and written in one call per block.
  char block[64 * 1024];
  size_t used = 0;
  for (uint64_t row = 0; row < count; row += kRowBytes) {
    if (sizeof block - used < kMaxDumpRowLength) {
      fwrite(block, 1, used, stream);
      used = 0;
    }
    used += FormatDumpRow(block + used, buffer, count, uint32_t(row), unit, base_offset);
  }
  fwrite(block, 1, used, stream);
}

}  // namespace halvorn
