#include "halvorn/source/physmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace halvorn {
namespace {

class DevMemDevice : public PhysicalMemory {
 public:
  int Open() override { return open(kMemoryDevice, O_RDONLY); }
  const uint8_t* Map(int descriptor, uint64_t offset, size_t length) override {
    void* start =
        mmap(nullptr, length, PROT_READ, MAP_PRIVATE, descriptor, static_cast<off_t>(offset));
    return start == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(start);
  }
  void Unmap(const uint8_t* start, size_t length) override {
    munmap(const_cast<uint8_t*>(start), length);
  }
  void Close(int descriptor) override { close(descriptor); }
  uint64_t PageSize() override { return static_cast<uint64_t>(sysconf(_SC_PAGESIZE)); }
};

}  // namespace

PhysicalMemory& DevMem() {
  static DevMemDevice device;
  return device;
}

TablePlatform ProductionPlatform() {
  return {&DevMem(), "/sys/firmware/efi/systab", "/sys/firmware/acpi/tables",
          "/sys/firmware/acpi/tables/dynamic"};
}

TablePlatform Platform = ProductionPlatform();

const uint8_t* MapPhysicalMemory(uint64_t address, uint64_t length) {
  PhysicalMemory& memory = *Platform.memory;
  int descriptor = memory.Open();
  if (descriptor < 0) {
    int error = errno;
    fprintf(stderr, "Cannot open %s\n", kMemoryDevice);
    errno = error;
    return nullptr;
  }
  uint64_t offset = address % memory.PageSize();
  const uint8_t* start = memory.Map(descriptor, address - offset, length + offset);
  if (!start) {
    int error = errno;
    fprintf(stderr, "Cannot map %s\n", kMemoryDevice);
    memory.Close(descriptor);
    errno = error;
    return nullptr;
  }
  memory.Close(descriptor);
  return start + offset;
}

void UnmapPhysicalMemory(const uint8_t* pointer, uint64_t length) {
  PhysicalMemory& memory = *Platform.memory;
  uint64_t offset = reinterpret_cast<uintptr_t>(pointer) % memory.PageSize();
  memory.Unmap(pointer - offset, length + offset);
}

PhysicalMapping& PhysicalMapping::operator=(PhysicalMapping&& other) noexcept {
  if (this == &other) return *this;
  Reset();
  pointer_ = std::exchange(other.pointer_, nullptr);
  length_ = std::exchange(other.length_, 0);
  return *this;
}

PhysicalMapping PhysicalMapping::Map(uint64_t address, uint64_t length) {
  PhysicalMapping mapping;
  mapping.pointer_ = MapPhysicalMemory(address, length);
  if (mapping.pointer_) mapping.length_ = length;
  return mapping;
}

void PhysicalMapping::Reset() {
  if (!pointer_) return;
  UnmapPhysicalMemory(pointer_, length_);
  pointer_ = nullptr;
  length_ = 0;
}

}  // namespace halvorn
