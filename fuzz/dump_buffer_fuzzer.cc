// DumpBuffer with any count the input covers, any display unit and any base offset, compared
// with a row-by-row reading of the dump format wherever every unit lies whole in the buffer.
//
// Input: u32 count, u32 display unit, u32 base offset, data. The buffer is the data and the
// count is taken modulo its size + 1; but when bit 31 of the display unit is set (the unit is
// then its other bits), the buffer is the data repeated to count modulo 512 KiB + 1 bytes, so
// that a small input reaches the dumps that write in large blocks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/support.h"
#include "halvorn/app/hexdump.h"

namespace {

constexpr size_t kMaxTiled = 512 * 1024;

uint32_t LoadU32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

// The dump as the format describes it, for display units 1, 2, 4 and 8.
std::string ExpectedDump(const uint8_t* buffer, uint32_t count, uint32_t display, uint32_t base) {
  const uint32_t unit = count < 4 || count % 2 != 0 ? 1 : display;
  const int width = int(2 * unit + 1);
  std::string out;
  char piece[64];
  for (uint32_t row = 0; row < count; row += 16) {
    snprintf(piece, sizeof piece, "%8.4X: ", base + row);
    out += piece;
    for (uint32_t position = 0; position < 16; position += unit) {
      const uint8_t* at = buffer + row + position;
      if (row + position >= count) {
        snprintf(piece, sizeof piece, "%*s", width, " ");
      } else if (unit == 1) {
        snprintf(piece, sizeof piece, "%02X ", at[0]);
      } else if (unit == 2) {
        snprintf(piece, sizeof piece, "%04X ", at[0] | at[1] << 8);
      } else if (unit == 4) {
        snprintf(piece, sizeof piece, "%08X ", LoadU32(at));
      } else {
        snprintf(piece, sizeof piece, "%08X%08X ", LoadU32(at), LoadU32(at + 4));
      }
      out += piece;
    }
    out += ' ';
    for (uint32_t i = 0; i < 16; ++i) {
      if (row + i >= count) return out + "\n";
      const uint8_t c = buffer[row + i];
      out += c >= 0x20 && c <= 0x7E ? char(c) : '.';
    }
    out += '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceUtilityOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input{data, size};
  const uint32_t count_value = uint32_t(input.Take(4));
  uint32_t display = uint32_t(input.Take(4));
  const uint32_t base = uint32_t(input.Take(4));
  data = input.data;
  size = input.size;
  const bool tiled = display & 0x80000000;
  display &= 0x7FFFFFFF;
  const size_t buffer_size = tiled ? count_value % (kMaxTiled + 1) : size;
  // A buffer of exactly its size, so that a read past the count's end is caught.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[buffer_size]);
  for (size_t i = 0; i < buffer_size; ++i) buffer[i] = size ? data[i % size] : 0;
  const uint32_t count = uint32_t(count_value % (uint64_t{buffer_size} + 1));

  char* text = nullptr;
  size_t text_size = 0;
  FILE* stream = open_memstream(&text, &text_size);
  halvorn::DumpBuffer(stream, buffer.get(), count, display, base);
  fclose(stream);
  const std::string dump(text, text_size);
  free(text);

  const uint32_t unit = halvorn::DumpUnit(count, display);
  FUZZ_CHECK(unit == 1 || unit == 2 || unit == 4 || unit == 8);
  const bool listed = display == 1 || display == 2 || display == 4 || display == 8;
  if (listed && count % unit == 0) {
    FUZZ_CHECK(dump == ExpectedDump(buffer.get(), count, display, base));
  } else {
    FUZZ_CHECK(dump.size() <= (count + 15) / 16 * halvorn::kMaxDumpRowLength);
  }
  return 0;
}
