#include "halvorn/app/table_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "halvorn/common/settings.h"
#include "halvorn/common/table_check.h"

namespace halvorn {
namespace {

constexpr uint32_t kNoSize = 0xFFFFFFFF;

// The size of the stream's file with its position kept, or -1 after a message.
int64_t StreamSize64(FILE* stream) {
  const off_t position = ftello(stream);
  if (position < 0) {
    fputs("Could not get file offset\n", stderr);
    return -1;
  }
  if (fseeko(stream, 0, SEEK_END) != 0) {
    fputs("Could not set file offset\n", stderr);
    return -1;
  }
  const off_t size = ftello(stream);
  if (size < 0) {
    fputs("Could not get file offset\n", stderr);
    return -1;
  }
  if (fseeko(stream, position, SEEK_SET) != 0) {
    fputs("Could not set file offset\n", stderr);
    return -1;
  }
  return size;
}

// Asks the kernel to back the whole huge pages inside a fresh block with huge pages. The first
// touch of each 4 KiB page of fresh memory costs a page fault, and on virtual machines that fault
// is dear: reading a 64 MiB file spent half of a -f dump's time in them. The advice changes
// nothing but the number of faults (the block stays zero-filled), and a kernel without
// transparent huge pages ignores it.
void AdviseHugePages(void* block, size_t size) {
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHugePage - 1);
  if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Opens `path` for writing as fopen's "w" does, except that a file it creates is readable and
// writable by its owner alone (the umask may narrow that further): some tables carry secrets,
// and the kernel shows its table files to root alone. An existing file keeps its mode.
FILE* CreateOwnFile(const char* path) {
  const int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (descriptor < 0) return nullptr;
  FILE* file = fdopen(descriptor, "w");
  if (file == nullptr) close(descriptor);
  return file;
}

bool IsPlainNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// "<signature><instance>.dat": the signature lower-cased and cut at a zero byte, "RSDP" for a
// root pointer, the instance only when it is not 0. A signature read from a file may hold any
// byte: every one that is not a lower-case letter, digit or '_' after the lower-casing ('/',
// '.', blanks, control and non-ASCII bytes) is written as '_', so that the name stays a plain,
// visible one in the current directory. Real tables' names are unchanged.
void BuildTableFileName(TableBytes table, uint32_t instance, char (&name)[20]) {
  const char* signature = IsRsdp(table) ? "RSDP" : SignatureText(table);
  size_t used = 0;
  for (; used < 4 && signature[used] != '\0'; ++used) {
    char c = signature[used];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    name[used] = IsPlainNameCharacter(c) ? c : '_';
  }
  if (instance != 0) {
    snprintf(name + used, sizeof name - used, "%u.dat", instance);
  } else {
    snprintf(name + used, sizeof name - used, ".dat");
  }
}

}  // namespace

int RedirectOutput(const char* path, FILE* answers) {
  struct stat status;
  if (lstat(path, &status) == 0) {
    fputs("Target path already exists, overwrite? [y|n] ", stderr);
    int answer = getc(answers);
    if (answer == '\n') answer = getc(answers);
    if (answer != 'y' && answer != 'Y') return -1;
  }
  FILE* file = CreateOwnFile(path);
  if (file == nullptr) {
    fprintf(stderr, "Could not open output file: %s\n", path);
    return -1;
  }
  OutputStream = file;
  OutputPath = path;
  return 0;
}

int WriteTableFile(TableBytes table, uint32_t instance) {
  uint32_t length = TableLength(table);
  if (length > table.size()) length = uint32_t(table.size());
  char name[20] = {};
  BuildTableFileName(table, instance, name);

  if (OptVerbose) {
    fprintf(stderr, "Writing [%4.4s] to binary file: %s 0x%X (%u) bytes\n", SignatureText(table),
            name, length, length);
  }
  FILE* file = CreateOwnFile(name);
  if (file == nullptr) {
    fprintf(stderr, "Could not open output file: %s\n", name);
    return -1;
  }
  const size_t written = fwrite(table.data(), 1, length, file);
  // A failing close loses buffered bytes just as a short write does.
  const bool closed = fclose(file) == 0;
  if (written != length || !closed) {
    fprintf(stderr, "Error writing binary output file: %s\n", name);
    return -1;
  }
  return 0;
}

TableBuffer ReadWholeFile(const char* path) {
  // Without O_NONBLOCK a FIFO that no one writes would hold the open forever; the check below
  // refuses it (and every other file that is not a regular one) at once.
  const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (descriptor < 0) {
    fprintf(stderr, "Could not open input file: %s\n", path);
    return {};
  }
  struct stat status;
  if (fstat(descriptor, &status) != 0) {
    fprintf(stderr, "Could not get input file size: %s\n", path);
    close(descriptor);
    return {};
  }
  const char* refusal = nullptr;
  if (S_ISDIR(status.st_mode)) {
    refusal = "is a directory";
  } else if (!S_ISREG(status.st_mode)) {
    refusal = "is not a regular file";
  } else if (uint64_t(status.st_size) > UINT32_MAX) {
    // Table Lengths and file sizes are 32-bit.
    refusal = "is too large for a table file (4 GiB or more)";
  }
  if (refusal) {
    fprintf(stderr, "Input file %s %s\n", path, refusal);
    close(descriptor);
    return {};
  }
  FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) {
    fprintf(stderr, "Could not open input file: %s\n", path);
    close(descriptor);
    return {};
  }
  // Sizes travel as u32 values; a file that grew past them since the check is refused too.
  const int64_t size = StreamSize64(file);
  if (size < 0 || size > int64_t{UINT32_MAX}) {
    fprintf(stderr, "Could not get input file size: %s\n", path);
    fclose(file);
    return {};
  }
  TableBuffer buffer = TableBuffer::Allocate(uint32_t(size));
  if (!buffer) {
    fprintf(stderr, "Could not allocate file buffer of size: %u\n", uint32_t(size));
    fclose(file);
    return {};
  }
  AdviseHugePages(buffer.data.get(), buffer.size);
  if (fread(buffer.data.get(), 1, buffer.size, file) != buffer.size) {
    fprintf(stderr, "Could not read input file: %s\n", path);
    fclose(file);
    return {};
  }
  fclose(file);
  return buffer;
}

uint32_t StreamSize(FILE* stream) {
  const int64_t size = StreamSize64(stream);
  return size < 0 ? kNoSize : uint32_t(size);
}

}  // namespace halvorn
