#include "halvorn/testing/fake_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "halvorn/source/registry.h"

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

std::vector<std::string> RegistryContents() {
  std::vector<std::string> contents;
  for (const RegistryEntry* entry = TableRegistry.first; entry; entry = entry->next) {
    contents.push_back(std::string(entry->signature, 4) + " " + std::to_string(entry->instance));
  }
  return contents;
}

}  // namespace halvorn::testing
