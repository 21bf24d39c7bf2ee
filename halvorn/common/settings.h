// Run settings: written only while the command line is read, only read afterwards.
#pragma once

#include <cstdint>
#include <cstdio>

namespace halvorn {

extern bool OptBinary;            // -b: write binary table files
extern bool OptSummary;           // -s: print summary lines only (wins over -b)
extern bool OptVerbose;           // -z: verbose lines on standard error
extern bool OptCustomizedTables;  // -c on|off: sysfs table files (on) or physical memory (off)
extern uint64_t OptRsdpAddress;   // -r: the RSDP's physical address; 0 means find it
extern bool OptUseRsdt;           // first -x: walk the RSDT instead of the XSDT
extern bool OptSkipXsdt;          // second -x: do not load the XSDT at all
extern bool OptDynamicTables;     // also read the dynamic table directory (always on)
extern FILE* OutputStream;        // where table dumps go: standard output or the -o file
extern const char* OutputPath;    // the -o path as given on the command line, or null

// Puts every setting back to its initial value (OutputStream to standard output).
void ResetSettings();

}  // namespace halvorn
