// Test helpers for the table source: a simulated physical memory and a scoped swap of the
// platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "halvorn/source/physmem.h"
#include "halvorn/testing/tables.h"

namespace halvorn::testing {

// Physical memory laid out by the test. Unset bytes read as zero. Every mapping is its own
// heap block of exactly the length asked for, starting on a page boundary, so AddressSanitizer
// catches a read past a mapping. Misuse (unaligned offsets, unknown or mismatched unmaps,
// mappings or descriptors left open at destruction) fails the running test.
class FakeMemory : public PhysicalMemory {
 public:
  struct MapCall {
    uint64_t offset;
    size_t length;
  };

  explicit FakeMemory(uint64_t page_size = 4096) : page_size_(page_size) {}
  ~FakeMemory() override;
  FakeMemory(const FakeMemory&) = delete;
  FakeMemory& operator=(const FakeMemory&) = delete;

  // Lays `bytes` out at `address`; a later write wins where two overlap.
  void Put(uint64_t address, std::span<const uint8_t> bytes);
  // Makes opening the device fail with `error` (0 makes it work again).
  void FailOpen(int error) { open_error_ = error; }
  // Makes every mapping that touches [address, address + length) fail with `error`.
  void FailRange(uint64_t address, uint64_t length, int error);

  // Every Map call so far, in order (device offsets, page-aligned, and lengths).
  const std::vector<MapCall>& map_calls() const { return map_calls_; }
  size_t live_mappings() const { return live_.size(); }

  int Open() override;
  const uint8_t* Map(int descriptor, uint64_t offset, size_t length) override;
  void Unmap(const uint8_t* start, size_t length) override;
  void Close(int descriptor) override;
  uint64_t PageSize() override { return page_size_; }

 private:
  struct Region {
    uint64_t address;
    Bytes bytes;
  };
  struct Failure {
    uint64_t address;
    uint64_t length;
    int error;
  };

  uint64_t page_size_;
  int open_error_ = 0;
  int next_descriptor_ = 1000;
  std::vector<int> open_descriptors_;
  std::vector<Region> regions_;
  std::vector<Failure> failures_;
  std::vector<MapCall> map_calls_;
  std::map<const uint8_t*, size_t> live_;
};

// Puts Platform back as it was when the scope ends.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(const TablePlatform& replacement) : saved_(Platform) {
    Platform = replacement;
  }
  ~ScopedPlatform() { Platform = saved_; }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  TablePlatform saved_;
};

// The registry as "SIGN instance" texts in index order, e.g. {"DSDT 0", "SSDT 1"}.
std::vector<std::string> RegistryContents();

}  // namespace halvorn::testing
