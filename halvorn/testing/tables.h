// Test helpers: byte buffers and the firmware tables built in them, with correct checksums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvorn::testing {

using Bytes = std::vector<uint8_t>;

// Little-endian writes; the bytes must lie inside the buffer.
void PutLe32(Bytes& bytes, size_t offset, uint32_t value);
void PutLe64(Bytes& bytes, size_t offset, uint64_t value);

// Copies `text` into the `width` bytes at `offset`, cut to the width; the bytes beyond a shorter
// text are left as they are.
void PutText(Bytes& bytes, size_t offset, size_t width, std::string_view text);

// Sets the byte at `offset` so that the first `count` bytes (all of them, when the buffer ends
// first) sum to 0.
void FixChecksum(Bytes& bytes, size_t offset, size_t count);

// The same for a table's header checksum, over the Length bytes as far as the buffer reaches.
void FixChecksum(Bytes& table);

// An RSDP's checksum over its first 20 bytes and, when the record holds 36 bytes, its extended
// checksum over those.
void FixRsdpChecksums(Bytes& rsdp);

// The first `count` bytes of `bytes` (all of them when there are fewer).
Bytes Prefix(const Bytes& bytes, size_t count);

// A table header's fields; text fields are NUL-padded to their width.
struct TableHeader {
  std::string signature = "APIC";
  uint32_t length = 0xBC;
  uint8_t revision = 3;
  std::string oem_id = "OEMXYZ";
  std::string oem_table_id = "TABLE001";
  uint32_t oem_revision = 0x01072009;
  std::string creator_id = "CRTR";
  uint32_t creator_revision = 0x00010013;
  size_t size = 36;  // bytes in the record; a smaller one holds the start of the header
};

// A record of `header.size` bytes: the header, `payload` (which must fit) from byte 36, zeros
// after it, and a checksum correct over the Length bytes the record holds.
Bytes MakeTable(const TableHeader& header, std::span<const uint8_t> payload = {});

// A table with signature and Length as given and the other header fields at their defaults,
// `length` bytes long, or the 36 header bytes for a length below that.
Bytes MakeTable(std::string_view signature, uint32_t length, std::span<const uint8_t> payload = {});

// An RSDP's fields.
struct RsdpFields {
  uint8_t revision = 2;
  std::string oem_id = "OEMXYZ";
  uint32_t rsdt_address = 0x7FFE1000;
  uint32_t length = 36;
  uint64_t xsdt_address = 0x7FFE2000;
  size_t size = 36;  // bytes in the record
};

// An RSDP with both checksums correct, as far as the record reaches.
Bytes MakeRsdp(const RsdpFields& fields);
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

// A 64-byte FACS with Length `length`: signature and Length, then bytes 0x01, which no reader
// may take for identifiers (a FACS has no table header).
Bytes MakeFacs(uint32_t length = 64);

}  // namespace halvorn::testing
