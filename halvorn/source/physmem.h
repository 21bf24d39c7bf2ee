// Physical memory behind a narrow seam, and the fixed platform places the table source reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "halvorn/common/table.h"

namespace halvorn {

// The memory device and the page size of the machine. Every call reports failure the system
// way: -1 or null with errno set.
class PhysicalMemory {
 public:
  virtual ~PhysicalMemory() = default;

  // Opens the memory device read-only; a descriptor, or -1.
  virtual int Open() = 0;
  // Maps `length` bytes of the device from the page-aligned `offset`, read-only and private;
  // the page-aligned start of the mapping, or null.
  virtual const uint8_t* Map(int descriptor, uint64_t offset, size_t length) = 0;
  // Releases a mapping made by Map with the same start and length.
  virtual void Unmap(const uint8_t* start, size_t length) = 0;
  virtual void Close(int descriptor) = 0;
  virtual uint64_t PageSize() = 0;
};

// The production memory device: "/dev/mem" through open, mmap, munmap and sysconf.
PhysicalMemory& DevMem();

// Where the table source finds the platform. Platform holds the production values from start
// to exit; only tests replace it (and put it back).
struct TablePlatform {
  PhysicalMemory* memory;           // the memory device "/dev/mem"
  const char* systab_path;          // "/sys/firmware/efi/systab"
  const char* tables_path;          // "/sys/firmware/acpi/tables"
  const char* dynamic_tables_path;  // "/sys/firmware/acpi/tables/dynamic"
};
TablePlatform ProductionPlatform();
extern TablePlatform Platform;

// The memory device's name in messages.
inline constexpr char kMemoryDevice[] = "/dev/mem";

// Maps `length` bytes at a physical address and returns a pointer to the address itself (the
// mapping starts at the page boundary at or below it). Null after printing "Cannot open" or
// "Cannot map" on stderr; errno is then that of the failed call.
const uint8_t* MapPhysicalMemory(uint64_t address, uint64_t length);

// Releases what MapPhysicalMemory returned, given the same length.
void UnmapPhysicalMemory(const uint8_t* pointer, uint64_t length);

// An owned mapping of physical memory, released on destruction.
class PhysicalMapping {
 public:
  PhysicalMapping() = default;
  ~PhysicalMapping() { Reset(); }
  PhysicalMapping(PhysicalMapping&& other) noexcept { *this = std::move(other); }
  PhysicalMapping& operator=(PhysicalMapping&& other) noexcept;
  PhysicalMapping(const PhysicalMapping&) = delete;
  PhysicalMapping& operator=(const PhysicalMapping&) = delete;

  // MapPhysicalMemory as an owned mapping; empty on failure, with its messages and errno.
  static PhysicalMapping Map(uint64_t address, uint64_t length);

  TableBytes bytes() const { return {pointer_, static_cast<size_t>(length_)}; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // Unmaps now; the mapping is empty afterwards.
  void Reset();

 private:
  const uint8_t* pointer_ = nullptr;
  uint64_t length_ = 0;
};

}  // namespace halvorn
