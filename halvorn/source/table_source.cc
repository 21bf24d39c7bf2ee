#include "halvorn/source/table_source.h"

#include "halvorn/common/settings.h"
#include "halvorn/common/table_check.h"
#include "halvorn/source/firmware.h"
#include "halvorn/source/physmem.h"
#include "halvorn/source/registry.h"
#include "halvorn/source/sysfs.h"

namespace halvorn {

bool TablesInitialized = false;

StatusCode InitTableSource() {
  StatusCode status =
      OptCustomizedTables ? ListTableDirectory(Platform.tables_path) : LoadFirmwareTables();
  // To the callers AE_LIMIT means "no table at that place": firmware that could not be loaded
  // (no XSDT or FADT, or an absent root table to walk) must not pass for an empty one.
  if (status == AE_LIMIT) return AE_NOT_FOUND;
  if (status != AE_OK) return status;
  if (OptDynamicTables) {
    status = ListTableDirectory(Platform.dynamic_tables_path);
    if (status != AE_OK) return status;
  }
  TablesInitialized = true;
  return AE_OK;
}

namespace {

StatusCode EnsureInitialized() { return TablesInitialized ? AE_OK : InitTableSource(); }

}  // namespace

StatusCode FetchTableByIndex(uint32_t index, TableBuffer* table, uint32_t* instance,
                             uint64_t* address) {
  *table = TableBuffer();
  StatusCode status = EnsureInitialized();
  if (status != AE_OK) return status;
  const RegistryEntry* entry = RegistryEntryAt(index);
  if (!entry) return AE_LIMIT;
  status = FetchTableBySignature(entry->signature, entry->instance, table, address);
  if (status == AE_OK) *instance = entry->instance;
  return status;
}

StatusCode FetchTableBySignature(const char* signature, uint32_t instance, TableBuffer* table,
                                 uint64_t* address) {
  *table = TableBuffer();
  StatusCode status = EnsureInitialized();
  if (status != AE_OK) return status;
  // A table file that registration renumbered (its signature and instance were taken already)
  // is held by no source under its new instance: it is read from the file it was listed from.
  const RegistryEntry* entry = FindRegistryEntry(signature, instance);
  if (entry && entry->directory && entry->file_instance != entry->instance) {
    return ReadTableFile(entry->directory, signature, entry->file_instance, table, address);
  }
  status = OptCustomizedTables
               ? ReadTableFile(Platform.tables_path, signature, instance, table, address)
               : FetchTableFromMemory(signature, instance, table, address);
  if (status != AE_LIMIT || !OptDynamicTables) return status;
  return ReadTableFile(Platform.dynamic_tables_path, signature, instance, table, address);
}

StatusCode FetchTableAtAddress(uint64_t address, TableBuffer* table) {
  *table = TableBuffer();
  StatusCode status = EnsureInitialized();
  if (status != AE_OK) return status;
  if (address == 0) return AE_BAD_ADDRESS;
  PhysicalMapping mapping;
  status = MapFirmwareTable(address, {}, &mapping);
  if (status != AE_OK) return status;
  return CopyTable(mapping.bytes(), table);
}

}  // namespace halvorn
