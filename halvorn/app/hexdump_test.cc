#include "halvorn/app/hexdump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace halvorn {
namespace {

// Runs DumpBuffer into a string.
std::string Dump(const uint8_t* buffer, uint32_t count, uint32_t display, uint32_t base) {
  char* text = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  DumpBuffer(stream, buffer, count, display, base);
  fclose(stream);
  std::string result(text, size);
  free(text);
  return result;
}

uint32_t Le(const uint8_t* bytes, uint32_t n) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < n; ++i) value |= uint32_t{bytes[i]} << (8 * i);
  return value;
}

// The dump written the plain way, one printf per piece, as the format is defined. A unit that
// reaches beyond the count shows its available bytes, right-aligned in each 4-byte group.
std::string ReferenceDump(const uint8_t* buffer, uint32_t count, uint32_t display, uint32_t base) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  const uint32_t unit = (count < 4 || count % 2) ? 1 : display;
  const int width = (unit == 1) ? 3 : int(2 * unit + 1);
  bool ended = false;
  for (uint32_t i = 0; i < count && !ended; i += 16) {
    fprintf(out, "%8.4X: ", base + i);
    for (uint32_t j = 0; j < 16; j += unit) {
      if (i + j >= count) {
        fprintf(out, "%*s", width, " ");
        continue;
      }
      const uint8_t* at = buffer + i + j;
      const uint32_t available = std::min(unit, count - i - j);
      if (available == unit) {
        switch (unit) {
          case 1:
            fprintf(out, "%02X ", at[0]);
            break;
          case 2:
            fprintf(out, "%04X ", Le(at, 2));
            break;
          case 4:
            fprintf(out, "%08X ", Le(at, 4));
            break;
          case 8:
            fprintf(out, "%08X", Le(at, 4));
            fprintf(out, "%08X ", Le(at + 4, 4));
            break;
        }
        continue;
      }
      const uint32_t group = std::min(unit, 4u);
      for (uint32_t start = 0; start < unit; start += group) {
        const uint32_t n = available > start ? std::min(group, available - start) : 0;
        fprintf(out, "%*s", int(2 * (group - n)), "");
        if (n > 0) fprintf(out, "%0*X", int(2 * n), Le(at + start, n));
      }
      fprintf(out, " ");
    }
    fprintf(out, " ");
    for (uint32_t k = 0; k < 16; ++k) {
      if (i + k >= count) {
        fprintf(out, "\n");
        ended = true;
        break;
      }
      const uint8_t c = buffer[i + k];
      fprintf(out, "%c", (c >= 0x20 && c <= 0x7E) ? c : '.');
    }
    if (!ended) fprintf(out, "\n");
  }
  fclose(out);
  std::string result(text, size);
  free(text);
  return result;
}

TEST(DumpBuffer, MatchesThePlainFormatter) {
  std::mt19937 random(20211217);
  // Every byte value in shuffled full rows, so that both columns meet each one, then random ones.
  std::vector<uint8_t> bytes(400);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i < 256 ? i : random());
  std::shuffle(bytes.begin(), bytes.begin() + 256, random);
  const uint32_t bases[] = {0, 0x10, 0xFFF0, 0x0FFFFFF0, 0xFFFFFFF0, 0xFFFFFF00};
  for (uint32_t display : {1u, 2u, 4u, 8u}) {
    for (uint32_t base : bases) {
      for (uint32_t count = 0; count <= bytes.size(); ++count) {
        // Each count gets its own heap copy so that a read past the count is caught.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[count]);
        std::copy(bytes.begin(), bytes.begin() + count, exact.get());
        ASSERT_EQ(Dump(exact.get(), count, display, base),
                  ReferenceDump(exact.get(), count, display, base))
            << "count " << count << " display " << display << " base " << base;
      }
    }
  }
}

TEST(DumpBuffer, RowsOfTheUtilitysOwnCalls) {
  const uint8_t table[17] = {'D',  'S',  'D',  'T',  0x11, 0,    0,   0,  0x20,
                             0x7E, 0x7F, 0x80, 0xFF, 0,    '\t', 'a', 'Z'};
  EXPECT_EQ(Dump(table, 17, 1, 0),
            "    0000: 44 53 44 54 11 00 00 00 20 7E 7F 80 FF 00 09 61  DSDT.... ~.....a\n"
            "    0010: 5A " +
                std::string(45, ' ') + " Z\n");
}

TEST(DumpBuffer, WiderUnits) {
  const uint8_t bytes[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                             0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
  struct Case {
    uint32_t count, display;
    std::string row;
  } cases[] = {
      {16, 2, "    0000: 0201 0403 0605 0807 0A09 0C0B 0E0D 100F  ................\n"},
      {16, 4, "    0000: 04030201 08070605 0C0B0A09 100F0E0D  ................\n"},
      {16, 8, "    0000: 0403020108070605 0C0B0A09100F0E0D  ................\n"},
      // Odd counts and counts below 4 show single bytes whatever the unit.
      {3, 8, "    0000: 01 02 03" + std::string(39, ' ') + "  ...\n"},
      {7, 4, "    0000: 01 02 03 04 05 06 07" + std::string(27, ' ') + "  .......\n"},
      // A last unit that reaches beyond the count shows only the bytes that are there.
      {6, 4, "    0000: 04030201     0605" + std::string(20, ' ') + "......\n"},
      {10, 8, "    0000: 0403020108070605     0A09" + std::string(10, ' ') + "..........\n"},
      // Any display other than 2, 4 or 8 is taken as single bytes.
      {4, 3, "    0000: 01 02 03 04" + std::string(36, ' ') + "  ....\n"},
      {4, 0, "    0000: 01 02 03 04" + std::string(36, ' ') + "  ....\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Dump(bytes, c.count, c.display, 0), c.row) << c.count << "/" << c.display;
  }
}

TEST(DumpBuffer, OffsetsWidenBeyondFourDigitsAndWrap) {
  const uint8_t byte = 0x41;
  EXPECT_EQ(Dump(&byte, 1, 1, 0x12345), "   12345: 41" + std::string(47, ' ') + "A\n");
  EXPECT_EQ(Dump(&byte, 1, 1, 0xFFFFFFFF), "FFFFFFFF: 41" + std::string(47, ' ') + "A\n");
}

TEST(DumpBuffer, NullBufferAndEmptyCount) {
  const uint8_t byte = 0;
  EXPECT_EQ(Dump(nullptr, 10, 1, 0), "Null Buffer Pointer in DumpBuffer!\n");
  EXPECT_EQ(Dump(&byte, 0, 1, 0), "");
}

TEST(DumpBuffer, LargeBuffersSpanManyWriteBlocks) {
  std::vector<uint8_t> bytes(1 << 20);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + (i >> 9));
  // 30000 bytes fill the block on the stack a few times; 1 MiB goes through the heap block.
  for (uint32_t count : {30000u - 5, uint32_t(bytes.size()) - 5}) {
    EXPECT_EQ(Dump(bytes.data(), count, 1, 0), ReferenceDump(bytes.data(), count, 1, 0)) << count;
  }
}

}  // namespace
}  // namespace halvorn
