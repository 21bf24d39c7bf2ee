// The hex-and-text dump: rows of 16 bytes with their offset, a hex column and a text column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace halvorn {

// The longest row FormatDumpRow writes: offset (10), hex column (at most 48), blank, text (16),
// newline.
inline constexpr size_t kMaxDumpRowLength = 76;

// The display unit a dump of `count` bytes uses: one byte when the count is below 4 or odd,
// else `display` (one byte for any display other than 2, 4 or 8).
uint32_t DumpUnit(uint32_t count, uint32_t display);

// Formats the row that starts at `row_offset` (below `count`) into `out`, which must hold
// kMaxDumpRowLength characters, and returns how many it wrote. The last row ends at its newline
// right after the last byte's character. Reads only bytes below `count`; a unit that reaches
// beyond the count shows its available bytes, right-aligned in the unit's column.
size_t FormatDumpRow(char* out, const uint8_t* buffer, uint32_t count, uint32_t row_offset,
                     uint32_t unit, uint32_t base_offset);

// Writes `count` bytes of `buffer` as dump rows, the first with offset `base_offset`, in units of
// `display` bytes. A null buffer writes "Null Buffer Pointer in DumpBuffer!\n"; a count of 0
// writes nothing.
void DumpBuffer(FILE* stream, const uint8_t* buffer, uint32_t count, uint32_t display,
                uint32_t base_offset);

}  // namespace halvorn
