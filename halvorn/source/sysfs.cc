#include "halvorn/source/sysfs.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "halvorn/common/memory.h"
#include "halvorn/common/table_check.h"
#include "halvorn/source/registry.h"

namespace halvorn {
namespace {

// A directory or table file that cannot be opened; ENOENT and any error without a status of
// its own is AE_NOT_FOUND.
StatusCode StatusForOpenFailure(int error) { return StatusForErrno(error, AE_NOT_FOUND); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A FILE* closed on destruction.
struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using ScopedFile = std::unique_ptr<FILE, FileCloser>;

}  // namespace

DirectoryScan* OpenDirectoryScan(const char* path, const char* pattern, ScanKind kind) {
  auto* scan = static_cast<DirectoryScan*>(AllocateCleared(sizeof(DirectoryScan)));
  if (!scan) return nullptr;
  DIR* stream = opendir(path);
  if (!stream) {
    int error = errno;
    fprintf(stderr, "Cannot open directory - %s\n", path);
    ReleaseMemory(scan);
    errno = error;
    return nullptr;
  }
  scan->path = path;
  scan->stream = stream;
  scan->pattern = pattern;
  scan->kind = kind;
  return scan;
}

const char* NextDirectoryName(DirectoryScan* scan) {
  while (const dirent* entry = readdir(scan->stream)) {
    const char* name = entry->d_name;
    if (fnmatch(scan->pattern, name, 0) != 0) continue;
    if (name[0] == '.') continue;

    size_t size = strlen(name) + strlen(scan->path) + 2;
    auto* full_path = static_cast<char*>(AllocateCleared(size));
    if (!full_path) {
      fprintf(stderr, "Could not allocate buffer for temporary string\n");
      return nullptr;
    }
    snprintf(full_path, size, "%s/%s", scan->path, name);
    struct stat status;
    if (stat(full_path, &status) != 0) {
      fprintf(stderr, "Cannot stat file (should not happen) - %s\n", full_path);
      ReleaseMemory(full_path);
      return nullptr;
    }
    ReleaseMemory(full_path);

    bool is_directory = S_ISDIR(status.st_mode);
    if (is_directory != (scan->kind == ScanDirectories)) continue;
    snprintf(scan->name, sizeof scan->name, "%s", name);
    return scan->name;
  }
  return nullptr;
}

void CloseDirectoryScan(DirectoryScan* scan) {
  if (!scan) return;
  closedir(scan->stream);
  ReleaseMemory(scan);
}

StatusCode ParseTableFileName(const char* name, char signature[4], uint32_t* instance) {
  size_t length = strlen(name);
  if (length < 4) return AE_BAD_SIGNATURE;
  uint32_t number = 0;
  if (IsDigit(name[4])) {
    for (const char* digit = name + 4; IsDigit(*digit); ++digit) {
      uint32_t value = static_cast<uint32_t>(*digit - '0');
      // A number beyond 32 bits names no instance; wrapping it would name another file's.
      if (number > (UINT32_MAX - value) / 10) return AE_BAD_SIGNATURE;
      number = number * 10 + value;
    }
  } else if (length != 4) {
    return AE_BAD_SIGNATURE;
  }
  std::memcpy(signature, name, 4);
  *instance = number;
  return AE_OK;
}

StatusCode ListTableDirectory(const char* path) {
  ScopedDirectoryScan scan(OpenDirectoryScan(path, "*", ScanFiles));
  if (!scan) return StatusForOpenFailure(errno);
  while (const char* name = NextDirectoryName(scan.get())) {
    char signature[4];
    uint32_t instance;
    if (ParseTableFileName(name, signature, &instance) != AE_OK) continue;
    StatusCode status = RegisterTable(signature, instance, path);
    if (status != AE_OK) return status;
  }
  return AE_OK;
}

StatusCode ReadTableFile(const char* path, const char* signature, uint32_t instance,
                         TableBuffer* table, uint64_t* address) {
  ScopedDirectoryScan scan(OpenDirectoryScan(path, "*", ScanFiles));
  if (!scan) return StatusForOpenFailure(errno);

  char found_signature[4];
  uint32_t found_instance = 0;
  bool found = false;
  while (const char* name = NextDirectoryName(scan.get())) {
    if (strncmp(name, signature, 4) != 0) continue;
    if (ParseTableFileName(name, found_signature, &found_instance) != AE_OK) continue;
    if (found_instance != instance) continue;
    found = true;
    break;
  }
  scan.reset();
  if (!found) return AE_LIMIT;

  // The path comes from the parsed name, so "SSDT01" is looked for as "SSDT1".
  char file_path[256];
  if (found_instance == 0) {
    snprintf(file_path, sizeof file_path, "%s/%4.4s", path, found_signature);
  } else {
    snprintf(file_path, sizeof file_path, "%s/%4.4s%u", path, found_signature, found_instance);
  }
  *address = 0;

  ScopedFile file(fopen(file_path, "rb"));
  if (!file) {
    int error = errno;
    fprintf(stderr, "Could not open table file: %s\n", file_path);
    return StatusForOpenFailure(error);
  }

  uint8_t header[header::kSize];
  if (fread(header, 1, sizeof header, file.get()) != sizeof header) {
    fprintf(stderr, "Could not read table header: %s\n", file_path);
    return AE_BAD_HEADER;
  }
  uint32_t length = TableLength(TableBytes(header, sizeof header));
  if (length == 0) return AE_BAD_HEADER;

  TableBuffer copy = TableBuffer::Allocate(length);
  if (!copy) {
    fprintf(stderr, "%4.4s: Could not allocate buffer for table of length %X\n",
            reinterpret_cast<const char*>(header), length);
    return AE_NO_MEMORY;
  }
  rewind(file.get());
  if (fread(copy.data.get(), 1, length, file.get()) != length) {
    fprintf(stderr, "%4.4s: Could not read table content\n", reinterpret_cast<const char*>(header));
    return AE_INVALID_TABLE_LENGTH;
  }
  CheckTableChecksum(copy.bytes());
  *table = std::move(copy);
  return AE_OK;
}

}  // namespace halvorn
