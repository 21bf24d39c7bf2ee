// Test helpers for the table source: a simulated physical memory, a scoped swap of the
// platform, and builders of firmware tables with correct checksums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "halvorn/source/physmem.h"

namespace halvorn::testing {

using Bytes = std::vector<uint8_t>;

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

// Back to program start for the table source: empty registry, no firmware copies, not
// initialised.
void ResetTableSourceState();

// The registry as "SIGN instance" texts in index order, e.g. {"DSDT 0", "SSDT 1"}.
std::vector<std::string> RegistryContents();

void PutLe32(Bytes& bytes, size_t offset, uint32_t value);
void PutLe64(Bytes& bytes, size_t offset, uint64_t value);

// Sets the checksum byte (offset 9) so that all bytes of the table sum to 0.
void FixChecksum(Bytes& table);

// A table with Length `length`: the header with `signature`, revision 1, OEM ID "HALVRN", OEM
// table ID "TESTTBL ", creator "TEST"; `payload` (which must fit) from byte 36; the rest zero; a
// correct checksum. A length below 36 still gives the 36 header bytes.
Bytes MakeTable(std::string_view signature, uint32_t length, std::span<const uint8_t> payload = {});

// A 36-byte RSDP with OEM ID "HALVRN", Length 36 and both checksums correct.
Bytes MakeRsdp(uint8_t revision, uint32_t rsdt_address, uint64_t xsdt_address);

// An RSDT (4-byte entries) or XSDT (8-byte entries) holding `entries`, checksum correct.
Bytes MakeRsdt(std::span<const uint32_t> entries);
Bytes MakeXsdt(std::span<const uint64_t> entries);

// The FADT's pointers; a field beyond `length` is left out.
struct FadtPointers {
  uint32_t firmware_ctrl = 0;    // 32-bit FACS, bytes 36-39
  uint32_t dsdt = 0;             // 32-bit DSDT, bytes 40-43
  uint64_t x_firmware_ctrl = 0;  // 64-bit FACS, bytes 132-139
  uint64_t x_dsdt = 0;           // 64-bit DSDT, bytes 140-147
};
Bytes MakeFadt(uint32_t length, const FadtPointers& pointers);

// A 64-byte FACS (no table header: signature and Length only).
Bytes MakeFacs();

}  // namespace halvorn::testing
