#include "halvorn/app/hexdump.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace halvorn {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr uint32_t kRowBytes = 16;
// The write block of large dumps; see DumpBuffer.
constexpr size_t kLargeBlockSize = size_t{1} << 20;

// Gives a block from malloc back.
struct FreeDeleter {
  void operator()(char* block) const { free(block); }
};

// Per byte value: its two hex digits, a blank and a spare blank, so that an entry is one 4-byte
// word. A row's hex column is 16 such words copied 3 bytes apart, each copy overwriting the spare
// byte of the one before; word copies are what makes the column cheap.
constexpr std::array<std::array<char, 4>, 256> kHexAndBlank = [] {
  std::array<std::array<char, 4>, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = {kHexDigits[i >> 4], kHexDigits[i & 15], ' ', ' '};
  return table;
}();

// Whether the text column shows a byte as itself (else as '.'): for one byte a bool, for
// Bytes16 below a mask per byte.
template <typename Bytes>
constexpr auto IsShown(Bytes bytes) {
  return bytes >= 0x20 && bytes <= 0x7E;
}

// Per byte value: the character the text column shows.
constexpr std::array<char, 256> kTextChar = [] {
  std::array<char, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = IsShown(uint8_t(i)) ? char(i) : '.';
  return table;
}();

// Sixteen bytes as one value (a GCC vector type): comparisons and selections on it compile to a
// few SSE2 instructions on x86-64, and to the vector unit of other targets.
using Bytes16 = uint8_t __attribute__((vector_size(16)));

// "%8.4X: ": at least four uppercase hex digits, right-aligned in eight columns.
char* PutOffset(char* out, uint32_t value) {
  // All eight digits, two per byte from the table, then the leading zeros beyond the last four
  // become blanks.
  for (int i = 0; i < 4; ++i) {
    std::memcpy(out + 2 * i, kHexAndBlank[uint8_t(value >> (24 - 8 * i))].data(), 2);
  }
  for (int i = 0; i < 4 && out[i] == '0'; ++i) out[i] = ' ';
  out[8] = ':';
  out[9] = ' ';
  return out + 10;
}

// The hex column of a full row of single bytes, each "%02X ".
char* PutHexBytes(char* out, const uint8_t* row) {
  for (uint32_t i = 0; i < kRowBytes; ++i) std::memcpy(out + 3 * i, kHexAndBlank[row[i]].data(), 4);
  return out + 3 * kRowBytes;
}

// The text column of a full row, all 16 bytes decided at once.
char* PutText(char* out, const uint8_t* row) {
  Bytes16 bytes;
  std::memcpy(&bytes, row, sizeof bytes);
  const Bytes16 text = IsShown(bytes) ? bytes : '.';
  std::memcpy(out, &text, sizeof text);
  return out + sizeof text;
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

// A row of 16 single bytes: every row but the last of the utility's own dumps, so the one that
// counts for speed.
size_t FormatByteRow(char* out, const uint8_t* row, uint32_t offset) {
  char* const start = out;
  out = PutOffset(out, offset);
  out = PutHexBytes(out, row);
  *out++ = ' ';
  out = PutText(out, row);
  *out++ = '\n';
  return out - start;
}

// Any other row: wider units, or fewer than 16 bytes left (`left`, at least 1). Kept out of line,
// so that FormatDumpRow's path for full rows does not save the registers its loops need.
[[gnu::noinline]] size_t FormatOtherRow(char* out, const uint8_t* row, uint32_t left, uint32_t unit,
                                        uint32_t offset) {
  char* const start = out;
  out = PutOffset(out, offset);
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

}  // namespace

uint32_t DumpUnit(uint32_t count, uint32_t display) {
  if (count < 4 || count % 2 != 0) return 1;
  return (display == 2 || display == 4 || display == 8) ? display : 1;
}

size_t FormatDumpRow(char* out, const uint8_t* buffer, uint32_t count, uint32_t row_offset,
                     uint32_t unit, uint32_t base_offset) {
  const uint32_t left = count - row_offset;
  const uint32_t offset = base_offset + row_offset;
  if (unit == 1 && left >= kRowBytes) return FormatByteRow(out, buffer + row_offset, offset);
  return FormatOtherRow(out, buffer + row_offset, left, unit, offset);
}

void DumpBuffer(FILE* stream, const uint8_t* buffer, uint32_t count, uint32_t display,
                uint32_t base_offset) {
  if (buffer == nullptr) {
    fputs("Null Buffer Pointer in DumpBuffer!\n", stream);
    return;
  }
  if (count == 0) return;
  const uint32_t unit = DumpUnit(count, display);
  // Rows are gathered into a block and written with one call per block. A dump that would fill
  // the block on the stack many times gets a large one from the heap for the time of the call
  // (never a static one, which small dumps would pay for at every start); without memory for
  // it the small block still works. bench/README.md has the figures behind both sizes.
  char small_block[64 * 1024];
  std::unique_ptr<char, FreeDeleter> large_block;
  if (uint64_t{count} / kRowBytes * kMaxDumpRowLength > 4 * sizeof small_block) {
    large_block.reset(static_cast<char*>(malloc(kLargeBlockSize)));
  }
  char* const block = large_block ? large_block.get() : small_block;
  const size_t block_size = large_block ? kLargeBlockSize : sizeof small_block;

  size_t used = 0;
  for (uint64_t row = 0; row < count; row += kRowBytes) {
    if (block_size - used < kMaxDumpRowLength) {
      fwrite(block, 1, used, stream);
      used = 0;
    }
    used += FormatDumpRow(block + used, buffer, count, uint32_t(row), unit, base_offset);
  }
  fwrite(block, 1, used, stream);
}

}  // namespace halvorn
