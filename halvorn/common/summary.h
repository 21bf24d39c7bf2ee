// One-line table summaries, byte sums, checksum verification and root pointer checks.
#pragma once

#include <cstdint>

#include "halvorn/common/status.h"
#include "halvorn/common/table.h"

namespace halvorn {

// A summary line's text, NUL-terminated.
struct SummaryText {
  char text[128];
};

// The summary text of a table at `address` (0 for a table read from a file): the FACS form,
// the RSDP form or the full header form, with identifiers sanitised. No prefix, no newline.
SummaryText FormatTableSummary(uint64_t address, TableBytes table);

// Writes the summary as an information line ("ACPI: ...\n") on the diagnostic console.
void PrintTableSummary(uint64_t address, TableBytes table);

// Sums the first `length` bytes of the table (bytes beyond its extent count as zero) and
// reports a mismatch as a firmware warning (tbprint, 338). FACS and S3PT are never summed.
// Always returns AE_OK.
StatusCode VerifyTableChecksum(TableBytes table, uint32_t length);

// The 8-bit wrapping sum of the bytes; 0 for none.
uint8_t ComputeChecksum(std::span<const uint8_t> bytes);

// An RSDP's length: 20 for revisions 0 and 1, its Length field from revision 2 on (but never
// below the 36 bytes that revision's checks cover); 0 when the record is not an RSDP.
uint32_t RsdpLength(TableBytes table);

// AE_OK for an RSDP whose first 20 bytes (36 from revision 2 on) sum to 0; AE_BAD_SIGNATURE when
// it does not start "RSD PTR "; AE_BAD_CHECKSUM on a wrong sum or when the record is too short
// to hold the bytes the sum covers. Prints nothing.
StatusCode ValidateRsdp(TableBytes table);

}  // namespace halvorn
