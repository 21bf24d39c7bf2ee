// The table registry: every table the table source can deliver, as (signature, instance), in
// the order initialisation found them. That order is the index order of FetchTableByIndex.
#pragma once

#include <cstdint>

#include "halvorn/common/status.h"

namespace halvorn {

// One registered table.
struct RegistryEntry {
  RegistryEntry* next;  // the following entry; null for the last
  uint32_t instance;
  char signature[4];  // not terminated
};

// The first entry (null while empty) and the number of entries. Process-global; entries are
// only ever appended, and the registry owns them until the program exits.
struct TableRegistryList {
  RegistryEntry* first;
  uint32_t count;
};
extern TableRegistryList TableRegistry;

// Appends (signature, instance). When the signature already carries that instance, the new
// entry takes one above the highest instance of the signature instead, with a warning on
// stderr unless the requested instance was 0. AE_NO_MEMORY (registry unchanged) when the entry
// cannot be allocated; AE_OK otherwise.
StatusCode RegisterTable(const char* signature, uint32_t instance);

// The entry at `index` in registration order, or null past the end.
const RegistryEntry* RegistryEntryAt(uint32_t index);

// For tests only: releases every entry and empties the registry.
void ClearTableRegistry();

}  // namespace halvorn
