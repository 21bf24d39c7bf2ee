#include "halvorn/testing/tables.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "halvorn/common/table.h"

namespace halvorn::testing {

void PutLe32(Bytes& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

void PutLe64(Bytes& bytes, size_t offset, uint64_t value) {
  PutLe32(bytes, offset, static_cast<uint32_t>(value));
  PutLe32(bytes, offset + 4, static_cast<uint32_t>(value >> 32));
}

void PutText(Bytes& bytes, size_t offset, size_t width, std::string_view text) {
  for (size_t i = 0; i < width && i < text.size(); ++i) bytes.at(offset + i) = text[i];
}

void FixChecksum(Bytes& bytes, size_t offset, size_t count) {
  bytes.at(offset) = 0;
  uint8_t sum = 0;
  for (size_t i = 0; i < count && i < bytes.size(); ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  bytes[offset] = static_cast<uint8_t>(-sum);
}

void FixChecksum(Bytes& table) {
  FixChecksum(table, header::kChecksum, ReadLe32(table, header::kLength));
}

void FixRsdpChecksums(Bytes& rsdp) {
  FixChecksum(rsdp, rsdp::kChecksum, rsdp::kV1Size);
  if (rsdp.size() >= rsdp::kSize) FixChecksum(rsdp, rsdp::kExtendedChecksum, rsdp::kSize);
}

Bytes Prefix(const Bytes& bytes, size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + std::min(count, bytes.size()));
}

Bytes MakeTable(const TableHeader& fields, std::span<const uint8_t> payload) {
  Bytes table(std::max<size_t>(fields.size, header::kSize), 0);
  if (header::kSize + payload.size() > table.size()) {
    ADD_FAILURE() << "payload of " << payload.size() << " bytes beyond a record of " << fields.size;
    payload = payload.first(table.size() - header::kSize);
  }
  PutText(table, header::kSignature, 4, fields.signature);
  PutLe32(table, header::kLength, fields.length);
  table[header::kRevision] = fields.revision;
  PutText(table, header::kOemId, 6, fields.oem_id);
  PutText(table, header::kOemTableId, 8, fields.oem_table_id);
  PutLe32(table, header::kOemRevision, fields.oem_revision);
  PutText(table, header::kCreatorId, 4, fields.creator_id);
  PutLe32(table, header::kCreatorRevision, fields.creator_revision);
  std::copy(payload.begin(), payload.end(), table.begin() + header::kSize);
  table.resize(fields.size);
  if (table.size() > header::kChecksum) FixChecksum(table);
  return table;
}

Bytes MakeTable(std::string_view signature, uint32_t length, std::span<const uint8_t> payload) {
  return MakeTable({.signature = std::string(signature),
                    .length = length,
                    .size = std::max(length, header::kSize)},
                   payload);
}

Bytes MakeRsdp(const RsdpFields& fields) {
  Bytes rsdp(std::max<size_t>(fields.size, rsdp::kSize), 0);
  PutText(rsdp, 0, 8, rsdp::kSignature);
  PutText(rsdp, rsdp::kOemId, 6, fields.oem_id);
  rsdp[rsdp::kRevision] = fields.revision;
  PutLe32(rsdp, rsdp::kRsdtAddress, fields.rsdt_address);
  PutLe32(rsdp, rsdp::kLength, fields.length);
  PutLe64(rsdp, rsdp::kXsdtAddress, fields.xsdt_address);
  FixRsdpChecksums(rsdp);
  rsdp.resize(fields.size);
  return rsdp;
}

Bytes MakeRsdp(uint8_t revision, uint32_t rsdt_address, uint64_t xsdt_address) {
  return MakeRsdp(
      {.revision = revision, .rsdt_address = rsdt_address, .xsdt_address = xsdt_address});
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

Bytes MakeFacs(uint32_t length) {
  Bytes facs(64, 0x01);
  PutText(facs, 0, 4, "FACS");
  PutLe32(facs, 4, length);
  return facs;
}

}  // namespace halvorn::testing
