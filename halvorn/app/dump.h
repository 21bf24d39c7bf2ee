// The four dump actions (-a, -n, -f and dumping everything) and OutputTable, the output of one
// table that they share: a summary line, a binary file, or a heading and a hex dump.
#pragma once

#include <cstdint>
#include <cstdio>

#include "halvorn/app/hexdump.h"
#include "halvorn/common/status.h"
#include "halvorn/common/table.h"

namespace halvorn {

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
