#include "halvorn/testing/fake_memory.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "halvorn/source/firmware.h"
#include "halvorn/source/registry.h"
#include "halvorn/source/table_source.h"

namespace halvorn::testing {

FakeMemory::~FakeMemory() {
  EXPECT_EQ(live_.size(), 0u) << "mappings left unmapped";
  EXPECT_TRUE(open_descriptors_.empty()) << "memory device left open";
  for (auto& [start, length] : live_) free(const_cast<uint8_t*>(start));
}

void FakeMemory::Put(uint64_t address, std::span<const uint8_t> bytes) {
  regions_.push_back({address, Bytes(bytes.begin(), bytes.end())});
}

void FakeMemory::FailRange(uint64_t address, uint64_t length, int error) {
  failures_.push_back({address, length, error});
}

int FakeMemory::Open() {
  if (open_error_ != 0) {
    errno = open_error_;
    return -1;
  }
  open_descriptors_.push_back(next_descriptor_);
  return next_descriptor_++;
}

const uint8_t* FakeMemory::Map(int descriptor, uint64_t offset, size_t length) {
  map_calls_.push_back({offset, length});
  if (std::find(open_descriptors_.begin(), open_descriptors_.end(), descriptor) ==
      open_descriptors_.end()) {
    ADD_FAILURE() << "mapping through a descriptor that is not open: " << descriptor;
    errno = EBADF;
    return nullptr;
  }
  if (offset % page_size_ != 0 || length == 0) {
    ADD_FAILURE() << "mapping at offset " << offset << " length " << length;
    errno = EINVAL;
    return nullptr;
  }
  uint64_t end = offset + length;
  for (const Failure& failure : failures_) {
    if (offset < failure.address + failure.length && failure.address < end) {
      errno = failure.error;
      return nullptr;
    }
  }

  void* block = nullptr;
  if (posix_memalign(&block, page_size_, length) != 0) {
    errno = ENOMEM;
    return nullptr;
  }
  auto* start = static_cast<uint8_t*>(block);
  std::memset(start, 0, length);
  for (const Region& region : regions_) {
    uint64_t region_end = region.address + region.bytes.size();
    uint64_t from = std::max(offset, region.address);
    uint64_t to = std::min(end, region_end);
    if (from >= to) continue;
    std::memcpy(start + (from - offset), region.bytes.data() + (from - region.address), to - from);
  }
  live_[start] = length;
  return start;
}

void FakeMemory::Unmap(const uint8_t* start, size_t length) {
  auto mapping = live_.find(start);
  if (mapping == live_.end()) {
    ADD_FAILURE() << "unmapping what was never mapped";
    return;
  }
  EXPECT_EQ(mapping->second, length) << "unmapped with another length than mapped";
  free(const_cast<uint8_t*>(start));
  live_.erase(mapping);
}

void FakeMemory::Close(int descriptor) {
  auto open = std::find(open_descriptors_.begin(), open_descriptors_.end(), descriptor);
  if (open == open_descriptors_.end()) {
    ADD_FAILURE() << "closing a descriptor that is not open: " << descriptor;
    return;
  }
  open_descriptors_.erase(open);
  // A real close may change errno even when it succeeds; this one always does, so that a
  // caller that needs the error of an earlier call must have kept it.
  errno = EBADF;
}

void ResetTableSourceState() {
  TablesInitialized = false;
  ClearTableRegistry();
  ClearFirmwareTables();
}

std::vector<std::string> RegistryContents() {
  std::vector<std::string> contents;
  for (const RegistryEntry* entry = TableRegistry.first; entry; entry = entry->next) {
    contents.push_back(std::string(entry->signature, 4) + " " + std::to_string(entry->instance));
  }
  return contents;
}

void PutLe32(Bytes& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

void PutLe64(Bytes& bytes, size_t offset, uint64_t value) {
  PutLe32(bytes, offset, static_cast<uint32_t>(value));
  PutLe32(bytes, offset + 4, static_cast<uint32_t>(value >> 32));
}

namespace {

uint8_t Sum(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

}  // namespace

void FixChecksum(Bytes& table) {
  table.at(9) = 0;
  table[9] = static_cast<uint8_t>(-Sum(table.data(), table.size()));
}

Bytes MakeTable(std::string_view signature, uint32_t length, std::span<const uint8_t> payload) {
  Bytes table(std::max<size_t>(length, 36), 0);
  if (36 + payload.size() > table.size()) {
    ADD_FAILURE() << "payload of " << payload.size() << " bytes beyond a table of " << length;
    payload = payload.first(table.size() - 36);
  }
  std::memcpy(table.data(), signature.data(), std::min<size_t>(signature.size(), 4));
  PutLe32(table, 4, length);
  table[8] = 1;
  std::memcpy(table.data() + 10, "HALVRN", 6);
  std::memcpy(table.data() + 16, "TESTTBL ", 8);
  PutLe32(table, 24, 1);
  std::memcpy(table.data() + 28, "TEST", 4);
  PutLe32(table, 32, 0x20211217);
  std::copy(payload.begin(), payload.end(), table.begin() + 36);
  FixChecksum(table);
  return table;
}

Bytes MakeRsdp(uint8_t revision, uint32_t rsdt_address, uint64_t xsdt_address) {
  Bytes rsdp(36, 0);
  std::memcpy(rsdp.data(), "RSD PTR ", 8);
  std::memcpy(rsdp.data() + 9, "HALVRN", 6);
  rsdp[15] = revision;
  PutLe32(rsdp, 16, rsdt_address);
  PutLe32(rsdp, 20, 36);
  PutLe64(rsdp, 24, xsdt_address);
  rsdp[8] = static_cast<uint8_t>(-Sum(rsdp.data(), 20));
  rsdp[32] = static_cast<uint8_t>(-Sum(rsdp.data(), 36));
  return rsdp;
}

Bytes MakeRsdt(std::span<const uint32_t> entries) {
  Bytes table = MakeTable("RSDT", static_cast<uint32_t>(36 + 4 * entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) PutLe32(table, 36 + 4 * i, entries[i]);
  FixChecksum(table);
  return table;
}

Bytes MakeXsdt(std::span<const uint64_t> entries) {
  Bytes table = MakeTable("XSDT", static_cast<uint32_t>(36 + 8 * entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) PutLe64(table, 36 + 8 * i, entries[i]);
  FixChecksum(table);
  return table;
}

Bytes MakeFadt(uint32_t length, const FadtPointers& pointers) {
  Bytes table = MakeTable("FACP", length);
  if (length >= 40) PutLe32(table, 36, pointers.firmware_ctrl);
  if (length >= 44) PutLe32(table, 40, pointers.dsdt);
  if (length >= 140) PutLe64(table, 132, pointers.x_firmware_ctrl);
  if (length >= 148) PutLe64(table, 140, pointers.x_dsdt);
  FixChecksum(table);
  return table;
}

Bytes MakeFacs() {
  Bytes facs(64, 0);
  std::memcpy(facs.data(), "FACS", 4);
  PutLe32(facs, 4, 64);
  return facs;
}

}  // namespace halvorn::testing
