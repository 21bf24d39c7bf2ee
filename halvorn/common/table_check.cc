#include "halvorn/common/table_check.h"

#include <cstdio>
#include <cstring>

#include "halvorn/common/summary.h"
#include "halvorn/common/text.h"

namespace halvorn {

bool HasValidSignature(TableBytes table) {
  uint8_t segment[4] = {};
  for (size_t i = 0; i < 4; ++i) segment[i] = ReadU8(table, i);
  return IsValidNameSegment(segment);
}

bool IsValidTableHeader(TableBytes table) {
  if (IsRsdp(table)) return true;
  if (!HasValidSignature(table)) {
    fprintf(stderr, "Table signature (0x%8.8X) is invalid\n", ReadLe32(table, header::kSignature));
    return false;
  }
  const uint32_t length = ReadLe32(table, header::kLength);
  if (length < header::kSize) {
    fprintf(stderr, "Table length (0x%8.8X) is invalid\n", length);
    return false;
  }
  return true;
}

uint32_t TableLength(TableBytes table) {
  if (!IsValidTableHeader(table)) return 0;
  if (IsRsdp(table)) return RsdpLength(table);
  return ReadLe32(table, header::kLength);
}

StatusCode CheckTableChecksum(TableBytes table) {
  const StatusCode status = IsRsdp(table)
                                ? ValidateRsdp(table)
                                : VerifyTableChecksum(table, ReadLe32(table, header::kLength));
  if (status != AE_OK) {
    fprintf(stderr, "%4.4s: Warning: wrong checksum in table\n", SignatureText(table));
  }
  return AE_OK;
}

StatusCode CopyTable(TableBytes bytes, TableBuffer* table) {
  TableBuffer copy = TableBuffer::Allocate(static_cast<uint32_t>(bytes.size()));
  if (!copy) return AE_NO_MEMORY;
  std::memcpy(copy.data.get(), bytes.data(), bytes.size());
  *table = std::move(copy);
  return AE_OK;
}

}  // namespace halvorn
