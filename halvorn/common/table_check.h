// The checks every table read from the platform passes, and the owned copy the table sources
// hand a table out in.
#pragma once

#include <cstdint>

#include "halvorn/common/status.h"
#include "halvorn/common/table.h"

namespace halvorn {

// The first four bytes as a name segment, with bytes beyond the table read as zero.
bool HasValidSignature(TableBytes table);

// True when the table is an RSDP or has a valid signature and a Length of at least 36; otherwise
// prints why on standard error and returns false. Reads at most the first 8 bytes.
bool IsValidTableHeader(TableBytes table);

// The table's length: its RSDP length or its Length field; 0 (after IsValidTableHeader's
// message) when the table is not plausible.
uint32_t TableLength(TableBytes table);

// Verifies the table's checksum (the RSDP's own checks for an RSDP) and warns about a wrong
// one; always returns AE_OK.
StatusCode CheckTableChecksum(TableBytes table);

// A new owned copy of the mapped table's bytes; AE_NO_MEMORY when it cannot be allocated.
StatusCode CopyTable(TableBytes bytes, TableBuffer* table);

}  // namespace halvorn
