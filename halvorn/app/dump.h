// The dump operations, the per-table output they share, the hex dump, and the two table checks
// that every table read from the platform passes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "halvorn/app/hexdump.h"
#include "halvorn/common/status.h"
#include "halvorn/common/table.h"

namespace halvorn {

// True when the table is an RSDP or has a valid signature and a Length of at least 36; otherwise
// prints why on standard error and returns false. Reads at most the first 8 bytes.
bool IsValidTableHeader(TableBytes table);

// The table's length: its RSDP length or its Length field; 0 (after IsValidTableHeader's
// message) when the table is not plausible.
uint32_t TableLength(TableBytes table);

// Verifies the table's checksum (the RSDP's own checks for an RSDP) and warns about a wrong
// one; always returns AE_OK.
StatusCode CheckTableChecksum(TableBytes table);

// Writes one table as the settings ask: a summary line, a binary file, or a heading with a hex
// dump on OutputStream. Never reads beyond the table's extent. Returns 0, or -1 when the binary
// file could not be written.
int OutputTable(TableBytes table, uint32_t instance, uint64_t address);

// The four actions. Each returns 0, or -1 after printing its message on standard error.
int RunDumpAll();
int RunDumpByAddress(const char* address_text);
int RunDumpBySignature(const char* signature_text);
int RunDumpFromFile(const char* path);

}  // namespace halvorn
