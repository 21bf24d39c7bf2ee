#include "halvorn/app/dump.h"

#include <cstring>

#include "halvorn/app/table_file.h"
#include "halvorn/common/number.h"
#include "halvorn/common/settings.h"
#include "halvorn/common/summary.h"
#include "halvorn/common/table_check.h"
#include "halvorn/common/text.h"
#include "halvorn/source/registry.h"
#include "halvorn/source/table_source.h"

namespace halvorn {
namespace {

// Signature aliases that -n accepts for the tables' real signatures.
struct SignatureAlias {
  const char* alias;
  const char* signature;
};
constexpr SignatureAlias kSignatureAliases[] = {
    {"FADT", "FACP"},
    {"MADT", "APIC"},
};

// A registered table that no source holds: a table file that vanished after it was listed, or
// one the firmware unloaded. It is reported and passed over; the tables after it still count.
void ReportMissingTable(const char* signature, uint32_t instance) {
  fprintf(stderr, "Could not find registered table [%4.4s] instance %u\n", signature, instance);
}

}  // namespace

int OutputTable(TableBytes table, uint32_t instance, uint64_t address) {
  uint32_t length = TableLength(table);
  if (length > table.size()) length = uint32_t(table.size());

  if (OptSummary) {
    PrintTableSummary(address, table);
    return 0;
  }
  if (OptBinary) return WriteTableFile(table, instance);

  fprintf(OutputStream, "%4.4s @ 0x%8.8X%8.8X\n", SignatureText(table), UpperHalf(address),
          LowerHalf(address));
  DumpBuffer(OutputStream, table.data(), length, 1, 0);
  fprintf(OutputStream, "\n");
  return 0;
}

int RunDumpAll() {
  // The registry bounds the loop: it is complete once the first fetch has initialised the table
  // source, and every index below its count is fetched, whatever an earlier one gave.
  for (uint32_t index = 0;; ++index) {
    TableBuffer table;
    uint32_t instance = 0;
    uint64_t address = 0;
    const StatusCode status = FetchTableByIndex(index, &table, &instance, &address);
    if (status == AE_LIMIT) {
      const RegistryEntry* entry = RegistryEntryAt(index);
      if (!entry) return 0;
      ReportMissingTable(entry->signature, entry->instance);
      continue;
    }
    if (status != AE_OK && index == 0) {
      fprintf(stderr, "Could not get ACPI tables, %s\n", StatusName(status));
      return -1;
    }
    if (status != AE_OK) {
      fprintf(stderr, "Could not get ACPI table at index %u, %s\n", index, StatusName(status));
      continue;
    }
    const int result = OutputTable(table.bytes(), instance, address);
    table = {};
    if (result != 0) return -1;
  }
}

int RunDumpByAddress(const char* address_text) {
  uint64_t address = 0;
  if (ParseUnsigned64(address_text, &address) != AE_OK) {
    fprintf(stderr, "%s: Could not convert to a physical address\n", address_text);
    return -1;
  }
  TableBuffer table;
  const StatusCode status = FetchTableAtAddress(address, &table);
  if (status != AE_OK) {
    fprintf(stderr, "Could not get table at 0x%8.8X%8.8X, %s\n", UpperHalf(address),
            LowerHalf(address), StatusName(status));
    return -1;
  }
  return OutputTable(table.bytes(), 0, address);
}

int RunDumpBySignature(const char* signature_text) {
  if (std::strlen(signature_text) != 4) {
    fprintf(stderr, "Invalid table signature [%s]: must be exactly 4 characters\n", signature_text);
    return -1;
  }
  char signature[5] = {};
  std::memcpy(signature, signature_text, 4);
  UppercaseString(signature);
  for (const SignatureAlias& alias : kSignatureAliases) {
    if (std::strcmp(signature, alias.alias) == 0) std::memcpy(signature, alias.signature, 4);
  }

  // Instances follow one another while the sources hold them; past a missing one the walk goes
  // on at the next registered instance, up to the highest. The kernel names the files of a
  // signature it has several of SSDT1, SSDT2, ... with none for instance 0, and numbers tables
  // loaded after boot on from there.
  uint32_t instance = 0;
  for (;;) {
    TableBuffer table;
    uint64_t address = 0;
    const StatusCode status = FetchTableBySignature(signature, instance, &table, &address);
    if (status == AE_LIMIT && FindRegistryEntry(signature, instance)) {
      ReportMissingTable(signature, instance);
    }
    if (status == AE_LIMIT) {
      if (!NextRegisteredInstance(signature, instance, &instance)) return 0;
      continue;
    }
    if (status != AE_OK) {
      fprintf(stderr, "Could not get ACPI table with signature [%s], %s\n", signature,
              StatusName(status));
      return -1;
    }
    const int result = OutputTable(table.bytes(), instance, address);
    table = {};
    if (result != 0) return -1;
    if (instance == UINT32_MAX) return 0;
    ++instance;
  }
}

int RunDumpFromFile(const char* path) {
  TableBuffer file = ReadWholeFile(path);
  if (!file) return -1;

  // An RSDP (such as the rsdp.dat that -b writes) is as long as its revision says; bytes 4 to 7
  // of "RSD PTR " are no Length.
  const bool rsdp = IsRsdp(file.bytes());
  // The Length field must be there to be checked, and a summary needs a whole header (an
  // RSDP's summary only the bytes of its own length, checked below).
  const uint32_t needed = OptSummary && !rsdp ? header::kSize : header::kLength + 4;
  if (file.size < needed) {
    fprintf(stderr, "Input file %s is too short for a table header (0x%X bytes)\n", path,
            file.size);
    return -1;
  }
  if (!rsdp && !HasValidSignature(file.bytes())) {
    fprintf(stderr, "No valid ACPI signature was found in input file %s\n", path);
  }
  const uint32_t length = rsdp ? RsdpLength(file.bytes()) : ReadLe32(file.bytes(), header::kLength);
  if (length > file.size) {
    fprintf(stderr, "Table length (0x%X) is too large for input file (0x%X) %s\n", length,
            file.size, path);
    return -1;
  }
  if (OptVerbose) {
    fprintf(stderr, "Input file:  %s contains table [%4.4s], 0x%X (%u) bytes\n", path,
            SignatureText(file.bytes()), file.size, file.size);
  }
  return OutputTable(file.bytes(), 0, 0);
}

}  // namespace halvorn
