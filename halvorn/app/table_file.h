// Files of the table output: the -o redirection, binary table files and whole-file reads.
#pragma once

#include <cstdint>
#include <cstdio>

#include "halvorn/common/table.h"

namespace halvorn {

// Sends the table output to `path` (a new file readable by its owner only), asking on standard
// error (answer read from `answers`) before an existing path is overwritten. Returns 0, or -1 after
// its message.
int RedirectOutput(const char* path, FILE* answers = stdin);

// Writes the table to "<signature><instance>.dat" in the current directory (a new file readable
// by its owner only; bytes other than a-z, 0-9 and '_' in the name become '_'). Returns 0, or -1
// after its message.
int WriteTableFile(TableBytes table, uint32_t instance);

// Reads the whole regular file at `path` into a new buffer whose size is the file's; an empty
// buffer after its message on failure, also at once for a directory, any other file that is not
// a regular one (a FIFO without a writer included) and a file of 4 GiB or more.
TableBuffer ReadWholeFile(const char* path);

// The size of the stream's file with its position kept, or 0xFFFFFFFF after a message.
uint32_t StreamSize(FILE* stream);

}  // namespace halvorn
