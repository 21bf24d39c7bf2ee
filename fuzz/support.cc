#include "fuzz/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {
namespace {

std::vector<std::string>& Directories() {
  static std::vector<std::string> directories;
  return directories;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RemoveDirectories() {
  for (const std::string& path : Directories()) {
    nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
}

}  // namespace

void SilenceUtilityOutput() {
  int null = open("/dev/null", O_WRONLY);
  if (null < 0) Fail("cannot open /dev/null");
  fflush(stdout);
  dup2(null, STDOUT_FILENO);
  close(null);
  // Only the stream: glibc lets it be replaced, and the descriptor stays libFuzzer's.
  FILE* sink = fopen("/dev/null", "w");
  if (!sink) Fail("cannot open /dev/null");
  stderr = sink;
}

std::string ScratchDirectory(const char* prefix) {
  // Every run writes files; on a disk file system that costs ten times what it does in memory.
  const char* base = getenv("TMPDIR");
  if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/" + prefix + "XXXXXX";
  if (!mkdtemp(pattern.data())) Fail("cannot make a scratch directory");
  if (Directories().empty()) atexit(RemoveDirectories);
  Directories().push_back(pattern);
  return pattern;
}

void EmptyDirectory(const std::string& path) {
  DIR* directory = opendir(path.c_str());
  if (!directory) Fail("cannot open a scratch directory");
  while (const dirent* entry = readdir(directory)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    unlinkat(dirfd(directory), entry->d_name, 0);
  }
  closedir(directory);
}

void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) Fail("cannot create an input file");
  bool written = fwrite(data, 1, size, file) == size;
  if (fclose(file) != 0 || !written) Fail("cannot write an input file");
}

uint64_t Input::Take(size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes && size > 0; ++i, ++data, --size) {
    value |= uint64_t{*data} << (8 * i);
  }
  return value;
}

std::vector<uint8_t> Input::TakeBytes(size_t count) {
  if (count > size) count = size;
  std::vector<uint8_t> bytes(data, data + count);
  data += count;
  size -= count;
  return bytes;
}

void Fail(const char* what) {
  dprintf(STDERR_FILENO, "%s\n", what);
  abort();
}

}  // namespace fuzz
