// Firmware tables straight from physical memory: locating the root pointer, keeping copies of
// the root pointer, the root tables and the FADT, registering what they lead to, and copying
// tables out by signature and instance.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "halvorn/common/status.h"
#include "halvorn/common/table.h"
#include "halvorn/source/physmem.h"

namespace halvorn {

// The 36 bytes found at the located RSDP (also for a revision 0 RSDP, whose own length is 20).
extern uint8_t RsdpCopy[rsdp::kSize];
// The RSDP's physical address; 0 until one is located.
extern uint64_t RsdpAddress;
// Set when the XSDT is used (an RSDP of revision 1 or more with an XSDT address, without
// OptSkipXsdt); never cleared.
extern bool XsdtInUse;
// Copies of the root tables and the FADT; empty until loaded.
extern TableBuffer XsdtCopy;
extern TableBuffer RsdtCopy;
extern TableBuffer FadtCopy;

// The value of the first line of the open systab file that reads "<key>=<hex number>" (a "0x"
// prefix is accepted); 0 when no line does. Rewinds the file first.
uint64_t ReadSystabAddress(FILE* systab, const char* key);

// The first position 0, 16, 32, ... of the window where a valid RSDP begins with all its 36
// bytes inside the window; null when there is none.
const uint8_t* ScanForRsdp(TableBytes window);

// Maps the whole table at `address` after checking its header: `expected` is empty (any table),
// a 4-character signature, or "RSD PTR ". The checksum is verified and a wrong one only warns.
// On AE_OK the mapping is exactly TableLength bytes long. Failures: the mapping statuses (with
// a message on stderr), AE_BAD_SIGNATURE (silently), AE_BAD_HEADER.
StatusCode MapFirmwareTable(uint64_t address, std::string_view expected, PhysicalMapping* mapping);

// Instance `instance` of the table with this 4-character signature, copied out of memory with
// its physical address. RSDP, RSDT, XSDT, DSDT and FACS are found through the RSDP and the FADT;
// every other signature by walking the root table in use, which passes over an entry that leads
// to no table (reported on stderr once per run). AE_LIMIT when there is no such table;
// AE_BAD_SIGNATURE for XSDT while the XSDT is not in use.
StatusCode FetchTableFromMemory(const char* signature, uint32_t instance, TableBuffer* table,
                                uint64_t* address);

// Locates the RSDP, loads the root tables and the FADT, and registers RSDP, RSDT (when the RSDP
// has its address), XSDT (when in use), DSDT and FACS (when the FADT points at them), then every
// table of the root table in entry order. An entry that leads to no table is reported on stderr
// (its index, address and status) and passed over. Stops at the first other failure with its
// status; what was loaded and registered so far stays.
StatusCode LoadFirmwareTables();

// For tests only: forgets the RSDP, the copies and XsdtInUse.
void ClearFirmwareTables();

}  // namespace halvorn
