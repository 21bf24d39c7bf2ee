// The kernel's table directories: filtered directory scans, table file names, and reading one
// table file into an owned copy. Directories are passed in, so any directory can serve.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <memory>

#include "halvorn/common/status.h"
#include "halvorn/common/table.h"

namespace halvorn {

// Which entries a scan yields.
enum ScanKind : uint8_t {
  ScanFiles = 0,        // every entry that is not a directory
  ScanDirectories = 1,  // directories only
};

// One open iteration over a directory.
struct DirectoryScan {
  const char* path;  // the caller's text; must outlive the scan
  DIR* stream;
  char name[256];       // the name last returned
  const char* pattern;  // shell wildcard pattern; the caller's text
  ScanKind kind;
};

// Starts a scan of `path` for names matching `pattern` of the given kind. Null when the record
// cannot be allocated (silently) or the directory cannot be opened ("Cannot open directory"
// on stderr); errno is then that of the failed call.
DirectoryScan* OpenDirectoryScan(const char* path, const char* pattern, ScanKind kind);

// The next qualifying name (never one starting with "."), valid until the next call or the
// close; null at the end of the directory, and also after the two failures it reports on
// stderr (no memory for an entry's path, an entry whose status cannot be read).
const char* NextDirectoryName(DirectoryScan* scan);

// Closes the directory stream and releases the scan; null is ignored.
void CloseDirectoryScan(DirectoryScan* scan);

struct DirectoryScanCloser {
  void operator()(DirectoryScan* scan) const { CloseDirectoryScan(scan); }
};
using ScopedDirectoryScan = std::unique_ptr<DirectoryScan, DirectoryScanCloser>;

// Splits a table file name into its 4-character signature (written to `signature`, not
// terminated) and instance: "SSDT" is instance 0, "SSDT3" (and "SSDT03", "SSDT3A") instance 3.
// AE_BAD_SIGNATURE for a shorter name, a 4-character name followed by a non-digit, or an
// instance that does not fit 32 bits.
StatusCode ParseTableFileName(const char* name, char signature[4], uint32_t* instance);

// Registers every table file of the directory in scan order, each entry referring to `path` as
// the directory it came from (so `path` must outlive the registry); subdirectories and names
// that do not parse are passed over. A directory that cannot be opened gives AE_NOT_FOUND,
// AE_ACCESS or AE_NO_MEMORY; a registry failure is returned as is.
StatusCode ListTableDirectory(const char* path);

// Reads instance `instance` of `signature` (4 characters) from the directory into a new copy of
// exactly the table's length, with its checksum verified (a wrong one only warns); the address
// is set to 0. AE_LIMIT when no such file is listed; otherwise every failure prints its line on
// stderr and hands back nothing.
StatusCode ReadTableFile(const char* path, const char* signature, uint32_t instance,
                         TableBuffer* table, uint64_t* address);

}  // namespace halvorn
