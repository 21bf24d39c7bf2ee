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
  // For a table file listed from a table directory: that directory (the lister's text, which
  // must outlive the registry) and the instance its file name gives, which differs from
  // `instance` when registration renumbered it. Null and 0 for a table found in memory.
  const char* directory;
  uint32_t file_instance;
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
// stderr unless the requested instance was 0. `directory` names the table directory a listed
// file came from (null for a table in memory); the entry refers to it. AE_NO_MEMORY (registry
// unchanged) when the entry cannot be allocated; AE_OK otherwise.
StatusCode RegisterTable(const char* signature, uint32_t instance, const char* directory = nullptr);

// The entry at `index` in registration order, or null past the end.
const RegistryEntry* RegistryEntryAt(uint32_t index);

// The entry registered as (signature, instance), or null. Instances of a signature are unique.
const RegistryEntry* FindRegistryEntry(const char* signature, uint32_t instance);

// The lowest instance of the signature registered above `after`, or false when there is none.
bool NextRegisteredInstance(const char* signature, uint32_t after, uint32_t* next);

// For tests only: releases every entry and empties the registry.
void ClearTableRegistry();

}  // namespace halvorn
