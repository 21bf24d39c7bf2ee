// The table source: every table the dump operations see comes through these three fetches.
#pragma once

#include <cstdint>

#include "halvorn/common/status.h"
#include "halvorn/common/table.h"

namespace halvorn {

// Set once InitTableSource has succeeded; never cleared.
extern bool TablesInitialized;

// Fills the table registry from sysfs (OptCustomizedTables on) or from physical memory, then
// from the dynamic table directory. Run by the fetches while TablesInitialized is clear.
StatusCode InitTableSource();

// The table registered at `index`: a fresh copy exactly TableLength bytes long, its instance and
// its physical address (0 for a sysfs file). AE_LIMIT when there is no table at that index.
StatusCode FetchTableByIndex(uint32_t index, TableBuffer* table, uint32_t* instance,
                             uint64_t* address);

// Instance `instance` of the table with this 4-character signature (not terminated), and its
// address. A table file that registration renumbered is read from the file it was listed from;
// any other from the main source, then the dynamic directory. AE_LIMIT when there is no such
// instance.
StatusCode FetchTableBySignature(const char* signature, uint32_t instance, TableBuffer* table,
                                 uint64_t* address);

// The table at a physical address, read through the memory device in either mode.
StatusCode FetchTableAtAddress(uint64_t address, TableBuffer* table);

}  // namespace halvorn
