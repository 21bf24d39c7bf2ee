// Start-up helpers and the input reader shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Sends the utilities' output to /dev/null so that fuzzing is not slowed by it: descriptor 1
// itself, and the stdio stream `stderr` (not descriptor 2, where libFuzzer's statistics and the
// sanitizers' reports still go).
void SilenceUtilityOutput();

// A fresh directory under $TMPDIR (or /dev/shm, or /tmp), removed with everything in it when
// the process exits normally.
std::string ScratchDirectory(const char* prefix);

// Removes every entry of a directory that holds plain files only.
void EmptyDirectory(const std::string& path);

// Writes `size` bytes to `path`, creating or truncating it; aborts when that fails.
void WriteWholeFile(const std::string& path, const uint8_t* data, size_t size);

// Takes a fuzz input apart from the front: little-endian numbers and runs of bytes. Past the
// end, numbers read as zero (or hold only the bytes that were left) and runs are cut short.
struct Input {
  const uint8_t* data;
  size_t size;

  // A number of `bytes` bytes (at most 8).
  uint64_t Take(size_t bytes);
  std::vector<uint8_t> TakeBytes(size_t count);
};

// Reports a broken invariant on descriptor 2 and aborts, so libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what);

}  // namespace fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::fuzz::Fail(__FILE__ ": check failed: " #condition))
