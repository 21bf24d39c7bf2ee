// Layouts of the firmware's table records, bounds-aware readers over them, and the owned copy
// in which tables travel between the parts of the utility.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "halvorn/common/memory.h"

namespace halvorn {

// A table's bytes as held in memory: where they start and how many may be read.
using TableBytes = std::span<const uint8_t>;

// Every ordinary table begins with this 36-byte header (little-endian).
namespace header {
inline constexpr size_t kSignature = 0;  // 4 characters
inline constexpr size_t kLength = 4;     // u32, the whole table
inline constexpr size_t kRevision = 8;
inline constexpr size_t kChecksum = 9;
inline constexpr size_t kOemId = 10;        // 6 characters
inline constexpr size_t kOemTableId = 16;   // 8 characters
inline constexpr size_t kOemRevision = 24;  // u32
inline constexpr size_t kCreatorId = 28;    // 4 characters
inline constexpr size_t kCreatorRevision = 32;  // u32
inline constexpr uint32_t kSize = 36;
}  // namespace header

// The root system description pointer (little-endian).
namespace rsdp {
inline constexpr char kSignature[] = "RSD PTR ";  // 8 characters, the last a blank
inline constexpr size_t kChecksum = 8;            // over the first 20 bytes
inline constexpr size_t kOemId = 9;               // 6 characters
inline constexpr size_t kRevision = 15;
inline constexpr size_t kRsdtAddress = 16;  // u32
inline constexpr size_t kLength = 20;       // u32
inline constexpr size_t kXsdtAddress = 24;  // u64
inline constexpr size_t kExtendedChecksum = 32;  // over the first 36 bytes
inline constexpr uint32_t kV1Size = 20;
inline constexpr uint32_t kSize = 36;
}  // namespace rsdp

// Little-endian reads; bytes beyond the table's extent read as zero.
inline uint8_t ReadU8(TableBytes table, size_t offset) {
  return offset < table.size() ? table[offset] : 0;
}
inline uint32_t ReadLe32(TableBytes table, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= uint32_t{ReadU8(table, offset + i)} << (8 * i);
  return value;
}
inline uint64_t ReadLe64(TableBytes table, size_t offset) {
  return ReadLe32(table, offset) | uint64_t{ReadLe32(table, offset + 4)} << 32;
}

// True when the table's first four bytes are `signature` (four characters, not terminated).
inline bool HasSignature(TableBytes table, const char* signature) {
  return table.size() >= 4 && std::memcmp(table.data(), signature, 4) == 0;
}

// True when the table's first eight bytes are "RSD PTR ".
inline bool IsRsdp(TableBytes table) {
  return table.size() >= 8 && std::memcmp(table.data(), rsdp::kSignature, 8) == 0;
}

// The first four bytes of a table for "%4.4s", or blanks for a table shorter than that.
inline const char* SignatureText(TableBytes table) {
  return table.size() >= 4 ? reinterpret_cast<const char*>(table.data()) : "    ";
}

struct ReleaseMemoryDeleter {
  void operator()(uint8_t* block) const { ReleaseMemory(block); }
};

// An owned heap copy of a table (or of a whole file): `size` bytes from AllocateCleared,
// released when the owner lets go of it.
struct TableBuffer {
  std::unique_ptr<uint8_t[], ReleaseMemoryDeleter> data;
  uint32_t size = 0;

  // A zero-filled buffer of `size` bytes; empty (data null) when memory is exhausted.
  static TableBuffer Allocate(uint32_t size) {
    TableBuffer buffer;
    buffer.data.reset(static_cast<uint8_t*>(AllocateCleared(size)));
    if (buffer.data) buffer.size = size;
    return buffer;
  }
  TableBytes bytes() const { return {data.get(), size}; }
  explicit operator bool() const { return data != nullptr; }
};

}  // namespace halvorn
