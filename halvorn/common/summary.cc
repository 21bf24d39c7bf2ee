#include "halvorn/common/summary.h"

#include <algorithm>
#include <cstdio>

#include "halvorn/common/console.h"
#include "halvorn/common/number.h"

namespace halvorn {
namespace {

// Copies `width` bytes at `offset` out of the table (bytes beyond it read as NUL) and
// replaces each byte before the first NUL that is not printable ASCII with '?'. `field` has
// room for width + 1 bytes, so the copy is always terminated.
void CopySanitized(TableBytes table, size_t offset, size_t width, char* field) {
  bool ended = false;
  for (size_t i = 0; i < width; ++i) {
    uint8_t c = ReadU8(table, offset + i);
    ended = ended || c == '\0';
    field[i] = static_cast<char>(!ended && (c < 0x20 || c > 0x7E) ? '?' : c);
  }
  field[width] = '\0';
}

}  // namespace

SummaryText FormatTableSummary(uint64_t address, TableBytes table) {
  const uint32_t high = UpperHalf(address);
  const uint32_t low = LowerHalf(address);
  SummaryText line;

  // The FACS has no common header: only its signature and length are shown, unexamined.
  if (HasSignature(table, "FACS")) {
    snprintf(line.text, sizeof line.text, "%-4.4s 0x%8.8X%8.8X %06X", SignatureText(table), high, low,
             ReadLe32(table, header::kLength));
    return line;
  }

  if (IsRsdp(table)) {
    char oem_id[7];
    CopySanitized(table, rsdp::kOemId, 6, oem_id);
    // Revisions 0 and 1 arrive as the 20 bytes copied, without a Length field to show.
    snprintf(line.text, sizeof line.text, "RSDP 0x%8.8X%8.8X %06X (v%.2d %-6.6s)", high, low,
             RsdpLength(table), ReadU8(table, rsdp::kRevision), oem_id);
    return line;
  }

  char signature[5];
  char oem_id[7];
  char oem_table_id[9];
  char creator_id[5];
  CopySanitized(table, header::kSignature, 4, signature);
  CopySanitized(table, header::kOemId, 6, oem_id);
  CopySanitized(table, header::kOemTableId, 8, oem_table_id);
  CopySanitized(table, header::kCreatorId, 4, creator_id);
  snprintf(line.text, sizeof line.text, "%-4.4s 0x%8.8X%8.8X %06X (v%.2d %-6.6s %-8.8s %08X %-4.4s %08X)",
           signature, high, low, ReadLe32(table, header::kLength), ReadU8(table, header::kRevision),
           oem_id, oem_table_id, ReadLe32(table, header::kOemRevision), creator_id,
           ReadLe32(table, header::kCreatorRevision));
  return line;
}

void PrintTableSummary(uint64_t address, TableBytes table) {
  ReportInfo("%s", FormatTableSummary(address, table).text);
}

StatusCode VerifyTableChecksum(TableBytes table, uint32_t length) {
  if (HasSignature(table, "FACS") || HasSignature(table, "S3PT")) return AE_OK;

  uint8_t sum = ComputeChecksum(table.first(std::min<size_t>(length, table.size())));
  if (sum == 0) return AE_OK;

  uint8_t stored = ReadU8(table, header::kChecksum);
  ReportFirmwareWarning(
      "tbprint", 338, "Incorrect checksum in table [%4.4s] - 0x%2.2X, should be 0x%2.2X",
      SignatureText(table), unsigned{stored}, unsigned{static_cast<uint8_t>(stored - sum)});
  return AE_OK;
}

uint8_t ComputeChecksum(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum = static_cast<uint8_t>(sum + byte);
  return sum;
}

uint32_t RsdpLength(TableBytes table) {
  if (!IsRsdp(table)) return 0;
  if (ReadU8(table, rsdp::kRevision) < 2) return rsdp::kV1Size;
  // From revision 2 on the record holds at least the 36 bytes its extended checksum covers. A
  // smaller Length field would cut a copy short of that Length field itself, so that the copy
  // no longer read as the root pointer it was taken from.
  return std::max(ReadLe32(table, rsdp::kLength), rsdp::kSize);
}

StatusCode ValidateRsdp(TableBytes table) {
  if (!IsRsdp(table)) return AE_BAD_SIGNATURE;
  if (table.size() < rsdp::kV1Size) return AE_BAD_CHECKSUM;
  if (ComputeChecksum(table.first(rsdp::kV1Size)) != 0) return AE_BAD_CHECKSUM;
  if (ReadU8(table, rsdp::kRevision) < 2) return AE_OK;
  if (table.size() < rsdp::kSize) return AE_BAD_CHECKSUM;
  if (ComputeChecksum(table.first(rsdp::kSize)) != 0) return AE_BAD_CHECKSUM;
  return AE_OK;
}

}  // namespace halvorn
