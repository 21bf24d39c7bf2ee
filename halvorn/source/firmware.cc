#include "halvorn/source/firmware.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "halvorn/common/number.h"
#include "halvorn/common/settings.h"
#include "halvorn/common/summary.h"
#include "halvorn/common/table_check.h"
#include "halvorn/source/registry.h"

namespace halvorn {

uint8_t RsdpCopy[rsdp::kSize];
uint64_t RsdpAddress = 0;
bool XsdtInUse = false;
TableBuffer XsdtCopy;
TableBuffer RsdtCopy;
TableBuffer FadtCopy;

namespace {

// Where the root pointer is searched when neither -r nor the systab file gives its address.
constexpr uint64_t kBiosAreaAddress = 0xE0000;
constexpr uint64_t kBiosAreaLength = 0x20000;
constexpr uint32_t kRsdpAlignment = 16;

TableBytes RsdpBytes() { return {RsdpCopy, sizeof RsdpCopy}; }

// FADT fields; each exists only when the FADT reaches the field's end.
struct FadtField {
  size_t offset;
  size_t width;
};
constexpr FadtField kFirmwareCtrl = {36, 4};
constexpr FadtField kDsdt = {40, 4};
constexpr FadtField kXFirmwareCtrl = {132, 8};
constexpr FadtField kXDsdt = {140, 8};

std::optional<uint64_t> ReadFadtField(FadtField field) {
  TableBytes fadt = FadtCopy.bytes();
  // The Length field and the copy agree for a copy taken by MapFirmwareTable; both bound it.
  size_t length = std::min<size_t>(ReadLe32(fadt, header::kLength), fadt.size());
  if (length < field.offset + field.width) return std::nullopt;
  if (field.width == 8) return ReadLe64(fadt, field.offset);
  return ReadLe32(fadt, field.offset);
}

// The tables found through the FADT: the 64-bit pointer first, the 32-bit one second.
struct FadtPointers {
  const char* signature;
  FadtField wide;
  FadtField narrow;
};
constexpr FadtPointers kFadtPointers[] = {
    {"DSDT", kXDsdt, kDsdt},
    {"FACS", kXFirmwareCtrl, kFirmwareCtrl},
};

// Up to two physical addresses that may hold a table, with the signature they must carry.
// A zero address is no candidate.
struct Candidates {
  uint64_t address[2] = {0, 0};
  std::string_view expected;
};

Candidates FadtCandidates(const FadtPointers& pointers) {
  Candidates candidates;
  candidates.expected = std::string_view(pointers.signature, 4);
  std::optional<uint64_t> wide = ReadFadtField(pointers.wide);
  std::optional<uint64_t> narrow = ReadFadtField(pointers.narrow);
  candidates.address[0] = wide && *wide ? *wide : narrow.value_or(0);
  if (narrow && *narrow != 0 && *narrow != candidates.address[0]) {
    candidates.address[1] = *narrow;
  }
  return candidates;
}

// Candidates of the five tables found through the RSDP and the FADT; nullopt for any other
// signature. Sets *refused for XSDT while the XSDT is not in use.
std::optional<Candidates> SpecialCandidates(const char* signature, bool* refused) {
  *refused = false;
  if (std::memcmp(signature, "RSDP", 4) == 0) {
    return Candidates{{RsdpAddress, 0}, std::string_view(rsdp::kSignature, 8)};
  }
  if (std::memcmp(signature, "RSDT", 4) == 0) {
    return Candidates{{ReadLe32(RsdpBytes(), rsdp::kRsdtAddress), 0}, "RSDT"};
  }
  if (std::memcmp(signature, "XSDT", 4) == 0) {
    *refused = !XsdtInUse;
    return Candidates{{ReadLe64(RsdpBytes(), rsdp::kXsdtAddress), 0}, "XSDT"};
  }
  for (const FadtPointers& pointers : kFadtPointers) {
    if (std::memcmp(signature, pointers.signature, 4) == 0) return FadtCandidates(pointers);
  }
  return std::nullopt;
}

// Candidate k in order, each mapped and verified on the way to the one asked for.
StatusCode FetchCandidate(const Candidates& candidates, uint32_t instance, TableBuffer* table,
                          uint64_t* address) {
  for (uint32_t k = 0; k < 2; ++k) {
    uint64_t candidate = candidates.address[k];
    if (candidate == 0) return AE_LIMIT;
    PhysicalMapping mapping;
    StatusCode status = MapFirmwareTable(candidate, candidates.expected, &mapping);
    if (status != AE_OK) return status;
    if (k != instance) continue;
    status = CopyTable(mapping.bytes(), table);
    if (status != AE_OK) return status;
    *address = candidate;
    return AE_OK;
  }
  return AE_LIMIT;
}

// The root table walks use: the XSDT unless it is not in use or -x asks for the RSDT. A root
// table that was never loaded is empty and has no entries.
struct RootTable {
  TableBytes bytes;
  size_t entry_size;

  uint32_t EntryCount() const {
    if (bytes.size() < header::kSize) return 0;
    return static_cast<uint32_t>((bytes.size() - header::kSize) / entry_size);
  }
  uint64_t Entry(uint32_t index) const {
    size_t offset = header::kSize + size_t{index} * entry_size;
    return entry_size == 8 ? ReadLe64(bytes, offset) : ReadLe32(bytes, offset);
  }
};

RootTable ChosenRootTable() {
  if (XsdtInUse && !OptUseRsdt) return {XsdtCopy.bytes(), 8};
  return {RsdtCopy.bytes(), 4};
}

// Entries of the root table in use that lead to no table (firmware with a stale or garbage
// pointer), one bit per index: each is reported once and passed over by every later walk.
TableBuffer SkippedEntries;

bool IsSkipped(uint32_t index) {
  return index / 8 < SkippedEntries.size && (SkippedEntries.data[index / 8] >> (index % 8) & 1);
}

// Without memory for the bits an entry is merely reported again on a later walk.
void MarkSkipped(const RootTable& root, uint32_t index) {
  if (!SkippedEntries) SkippedEntries = TableBuffer::Allocate(root.EntryCount() / 8 + 1);
  if (index / 8 < SkippedEntries.size) {
    SkippedEntries.data[index / 8] = uint8_t(SkippedEntries.data[index / 8] | 1 << (index % 8));
  }
}

// Maps the table of root-table entry `index`, which is not 0. An entry whose table cannot be
// mapped or has no plausible header is reported with its index, address and status and then
// passed over, so that the tables after it stay reachable: false then, and on every later walk.
bool MapRootTableEntry(const RootTable& root, uint32_t index, PhysicalMapping* mapping) {
  if (IsSkipped(index)) return false;
  uint64_t entry = root.Entry(index);
  StatusCode status = MapFirmwareTable(entry, {}, mapping);
  if (status == AE_OK) return true;
  fprintf(stderr, "Skipping %4.4s entry %u at 0x%8.8X%8.8X, %s\n", SignatureText(root.bytes), index,
          UpperHalf(entry), LowerHalf(entry), StatusName(status));
  MarkSkipped(root, index);
  return false;
}

StatusCode FetchFromRootTable(const char* signature, uint32_t instance, TableBuffer* table,
                              uint64_t* address) {
  RootTable root = ChosenRootTable();
  uint32_t count = root.EntryCount();
  uint32_t matches = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t entry = root.Entry(i);
    if (entry == 0) continue;
    PhysicalMapping mapping;
    if (!MapRootTableEntry(root, i, &mapping)) continue;
    if (!HasSignature(mapping.bytes(), signature)) continue;
    if (matches != instance) {
      ++matches;
      continue;
    }
    StatusCode status = CopyTable(mapping.bytes(), table);
    if (status != AE_OK) return status;
    *address = entry;
    return AE_OK;
  }
  return AE_LIMIT;
}

uint64_t RsdpAddressFromSystab() {
  FILE* systab = fopen(Platform.systab_path, "r");
  if (!systab) return 0;
  uint64_t address = ReadSystabAddress(systab, "ACPI20");
  if (address == 0) address = ReadSystabAddress(systab, "ACPI");
  fclose(systab);
  return address;
}

struct Window {
  uint64_t address;
  uint64_t length;
};

Window ChooseRsdpWindow() {
  if (OptRsdpAddress != 0) return {OptRsdpAddress, rsdp::kSize};
  uint64_t address = RsdpAddressFromSystab();
  if (address != 0) return {address, rsdp::kSize};
  return {kBiosAreaAddress, kBiosAreaLength};
}

StatusCode LocateRsdp() {
  Window window = ChooseRsdpWindow();
  PhysicalMapping mapping = PhysicalMapping::Map(window.address, window.length);
  if (!mapping) return StatusForErrno(errno, AE_BAD_ADDRESS);
  const uint8_t* found = ScanForRsdp(mapping.bytes());
  if (!found) return AE_NOT_FOUND;
  RsdpAddress = window.address + static_cast<uint64_t>(found - mapping.bytes().data());
  std::memcpy(RsdpCopy, found, sizeof RsdpCopy);
  return AE_OK;
}

// Replaces *copy with instance 0 of the signature.
StatusCode LoadCopy(const char* signature, TableBuffer* copy) {
  *copy = TableBuffer();
  uint64_t address;
  return FetchTableFromMemory(signature, 0, copy, &address);
}

bool FadtHasCandidate(const char* signature) {
  bool refused;
  std::optional<Candidates> candidates = SpecialCandidates(signature, &refused);
  return candidates && candidates->address[0] != 0;
}

StatusCode RegisterFirmwareTables() {
  struct Registration {
    const char* signature;
    bool wanted;
  };
  // Only what the firmware has: a registered table the source cannot deliver would end a dump
  // of all tables early.
  const Registration registrations[] = {
      {"RSDP", true},
      {"RSDT", ReadLe32(RsdpBytes(), rsdp::kRsdtAddress) != 0},
      {"XSDT", XsdtInUse},
      {"DSDT", FadtHasCandidate("DSDT")},
      {"FACS", FadtHasCandidate("FACS")},
  };
  for (const Registration& registration : registrations) {
    if (!registration.wanted) continue;
    StatusCode status = RegisterTable(registration.signature, 0);
    if (status != AE_OK) return status;
  }

  RootTable root = ChosenRootTable();
  uint32_t count = root.EntryCount();
  for (uint32_t i = 0; i < count; ++i) {
    if (root.Entry(i) == 0) continue;
    PhysicalMapping mapping;
    if (!MapRootTableEntry(root, i, &mapping)) continue;
    StatusCode status = RegisterTable(SignatureText(mapping.bytes()), 0);
    if (status != AE_OK) return status;
  }
  return AE_OK;
}

}  // namespace

uint64_t ReadSystabAddress(FILE* systab, const char* key) {
  char pattern[32];
  snprintf(pattern, sizeof pattern, "%s=%s", key, "%llx");
  rewind(systab);
  char line[80];
  while (fgets(line, sizeof line, systab)) {
    unsigned long long value;
    if (sscanf(line, pattern, &value) == 1) return value;
  }
  return 0;
}

const uint8_t* ScanForRsdp(TableBytes window) {
  for (size_t position = 0; position + rsdp::kSize <= window.size(); position += kRsdpAlignment) {
    if (ValidateRsdp(window.subspan(position, rsdp::kSize)) == AE_OK) {
      return window.data() + position;
    }
  }
  return nullptr;
}

StatusCode MapFirmwareTable(uint64_t address, std::string_view expected, PhysicalMapping* mapping) {
  PhysicalMapping header = PhysicalMapping::Map(address, header::kSize);
  if (!header) {
    int error = errno;
    fprintf(stderr, "Could not map table header at 0x%8.8X%8.8X\n", UpperHalf(address),
            LowerHalf(address));
    return StatusForErrno(error, AE_BAD_ADDRESS);
  }
  if (!expected.empty() &&
      std::memcmp(header.bytes().data(), expected.data(), expected.size()) != 0) {
    return AE_BAD_SIGNATURE;
  }
  uint32_t length = TableLength(header.bytes());
  header.Reset();
  if (length == 0) return AE_BAD_HEADER;

  PhysicalMapping table = PhysicalMapping::Map(address, length);
  if (!table) {
    int error = errno;
    fprintf(stderr, "Could not map table at 0x%8.8X%8.8X length %8.8X\n", UpperHalf(address),
            LowerHalf(address), length);
    return StatusForErrno(error, AE_INVALID_TABLE_LENGTH);
  }
  CheckTableChecksum(table.bytes());
  *mapping = std::move(table);
  return AE_OK;
}

StatusCode FetchTableFromMemory(const char* signature, uint32_t instance, TableBuffer* table,
                                uint64_t* address) {
  bool refused;
  std::optional<Candidates> candidates = SpecialCandidates(signature, &refused);
  if (refused) return AE_BAD_SIGNATURE;
  if (candidates) return FetchCandidate(*candidates, instance, table, address);
  return FetchFromRootTable(signature, instance, table, address);
}

StatusCode LoadFirmwareTables() {
  SkippedEntries = TableBuffer();
  StatusCode status = LocateRsdp();
  if (status != AE_OK) return status;

  // An XSDT address of 0 means there is no XSDT, whatever the revision: the RSDT is walked then.
  if (ReadU8(RsdpBytes(), rsdp::kRevision) != 0 && !OptSkipXsdt &&
      ReadLe64(RsdpBytes(), rsdp::kXsdtAddress) != 0) {
    XsdtInUse = true;
    status = LoadCopy("XSDT", &XsdtCopy);
    if (status != AE_OK) return status;
  }
  if (ReadLe32(RsdpBytes(), rsdp::kRsdtAddress) != 0) {
    status = LoadCopy("RSDT", &RsdtCopy);
    if (status != AE_OK) return status;
  }
  status = LoadCopy("FACP", &FadtCopy);
  if (status != AE_OK) return status;
  return RegisterFirmwareTables();
}

void ClearFirmwareTables() {
  std::memset(RsdpCopy, 0, sizeof RsdpCopy);
  RsdpAddress = 0;
  XsdtInUse = false;
  XsdtCopy = TableBuffer();
  RsdtCopy = TableBuffer();
  FadtCopy = TableBuffer();
  SkippedEntries = TableBuffer();
}

}  // namespace halvorn
