// Locating, loading and fetching firmware tables over a simulated physical memory laid out by
// the input: pointers and lengths anywhere, loops, zero entries, root tables of 255 entries and
// more.
//
// Input (little-endian):
//   u8   settings: bit 0 OptUseRsdt, bit 1 OptSkipXsdt, bits 2-3 where the RSDP is looked for
//        (0 OptRsdpAddress, 1 the systab file, 2 and 3 the BIOS area without a systab file),
//        bit 4 checksums fixed up, bit 5 a 16-byte page instead of 4096 bytes, bit 6 the memory
//        device cannot be opened
//   u64  OptRsdpAddress
//   u8   n, then n bytes: the systab file's text
//   then regions up to the end: u64 address, u16 length, then either that many bytes (fewer at
//        the end), or, when bit 15 of the length is set, one byte choosing the error with which
//        every mapping that touches the (length & 0x7FFF) bytes at the address fails
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/support.h"
#include "halvorn/common/console.h"
#include "halvorn/common/settings.h"
#include "halvorn/common/table_check.h"
#include "halvorn/source/firmware.h"
#include "halvorn/source/registry.h"
#include "halvorn/testing/fake_memory.h"
#include "halvorn/testing/state.h"
#include "halvorn/testing/tables.h"

namespace {

using halvorn::StatusCode;
using halvorn::TableBuffer;
using halvorn::testing::Bytes;

// Larger mappings are refused as the device may refuse them; simulating one would take its
// whole length in memory.
constexpr size_t kMaxMapping = 1 << 20;
// Each fetch walks the root table up to its entry, so only the first few registered tables and
// the last one are fetched: a root table of hundreds of entries stays fast.
constexpr uint32_t kFirstFetches = 12;

// What a refused mapping may report; each maps to its own status.
constexpr int kMapErrors[] = {ENOMEM, EACCES, EPERM, ENOENT, EINVAL};

class BoundedMemory : public halvorn::testing::FakeMemory {
 public:
  using FakeMemory::FakeMemory;
  const uint8_t* Map(int descriptor, uint64_t offset, size_t length) override {
    if (length > kMaxMapping) {
      errno = ENOMEM;
      return nullptr;
    }
    // No device maps a range past the end of the address space; the fake would show its
    // wrapped part as zeros, so that a header would read differently in a longer mapping.
    if (offset + length < offset) {
      errno = EINVAL;
      return nullptr;
    }
    return FakeMemory::Map(descriptor, offset, length);
  }
};

// The fake memory reports misuse (a mapping left behind, an unmap of the wrong length) as a
// test failure; here that is a finding.
class FailureIsFatal : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (result.failed()) fuzz::Fail(result.message());
  }
};

// Makes the checksums of a region right: an RSDP's two, or a table's over its Length.
void FixChecksums(Bytes& region) {
  if (region.size() >= 20 && memcmp(region.data(), "RSD PTR ", 8) == 0) {
    halvorn::testing::FixRsdpChecksums(region);
    return;
  }
  if (region.size() >= 10) halvorn::testing::FixChecksum(region);
}

std::string scratch;

void CheckFetched(StatusCode status, const TableBuffer& table, const BoundedMemory& memory) {
  FUZZ_CHECK(memory.live_mappings() == 0);
  if (status != halvorn::AE_OK) return;
  FUZZ_CHECK(table && table.size == halvorn::TableLength(table.bytes()));
}

}  // namespace

// Every simulated mapping is a fresh page-aligned block; with ASan's default quarantine of
// 256 MiB each one lands on untouched pages, and page faults take most of the time. A smaller
// quarantine still holds a run's worth of released mappings.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceUtilityOutput();
  halvorn::InitializeConsole();
  testing::UnitTest::GetInstance()->listeners().Append(new FailureIsFatal);
  scratch = fuzz::ScratchDirectory("halvorn-fuzz-");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input{data, size};
  const uint8_t settings = uint8_t(input.Take(1));
  const uint64_t rsdp_address = input.Take(8);
  const Bytes systab = input.TakeBytes(input.Take(1));

  BoundedMemory memory(settings & 0x20 ? 16 : 4096);
  if (settings & 0x40) memory.FailOpen(EACCES);
  std::vector<uint64_t> addresses;
  while (input.size > 0) {
    const uint64_t address = input.Take(8);
    const uint64_t length = input.Take(2);
    if (length & 0x8000) {
      memory.FailRange(address, length & 0x7FFF, kMapErrors[input.Take(1) % std::size(kMapErrors)]);
      continue;
    }
    Bytes region = input.TakeBytes(length);
    if (settings & 0x10) FixChecksums(region);
    memory.Put(address, region);
    addresses.push_back(address);
  }

  const int where = (settings >> 2) & 3;
  const std::string systab_path = scratch + (where == 1 ? "/systab" : "/absent");
  if (where == 1) fuzz::WriteWholeFile(systab_path, systab.data(), systab.size());
  halvorn::testing::ScopedPlatform platform(
      {&memory, systab_path.c_str(), scratch.c_str(), scratch.c_str()});
  halvorn::testing::ResetProcessState();
  halvorn::OptCustomizedTables = false;
  halvorn::OptUseRsdt = settings & 0x01;
  halvorn::OptSkipXsdt = settings & 0x02;
  halvorn::OptRsdpAddress = where == 0 ? rsdp_address : 0;

  // What a failed load leaves behind is fetched from as well.
  halvorn::LoadFirmwareTables();
  FUZZ_CHECK(memory.live_mappings() == 0);

  const uint32_t registered = halvorn::TableRegistry.count;
  for (uint32_t index = 0; index < registered; ++index) {
    if (index == kFirstFetches) index = registered - 1;
    const halvorn::RegistryEntry* entry = halvorn::RegistryEntryAt(index);
    FUZZ_CHECK(entry != nullptr);
    char signature[5] = {};
    memcpy(signature, entry->signature, 4);
    TableBuffer table;
    uint64_t address = 0;
    StatusCode status =
        halvorn::FetchTableFromMemory(signature, entry->instance, &table, &address);
    CheckFetched(status, table, memory);
  }
  for (const char* signature : {"RSDP", "RSDT", "XSDT", "FACP", "DSDT", "FACS"}) {
    for (uint32_t instance = 0; instance < 3; ++instance) {
      TableBuffer table;
      uint64_t address = 0;
      StatusCode status = halvorn::FetchTableFromMemory(signature, instance, &table, &address);
      CheckFetched(status, table, memory);
    }
  }
  for (uint64_t address : addresses) {
    halvorn::PhysicalMapping mapping;
    StatusCode status = halvorn::MapFirmwareTable(address, {}, &mapping);
    FUZZ_CHECK(status != halvorn::AE_OK || mapping.bytes().size() ==
                                               halvorn::TableLength(mapping.bytes()));
  }
  FUZZ_CHECK(memory.live_mappings() == 0);

  halvorn::testing::ResetProcessState();
  return 0;
}
