#include "halvorn/source/registry.h"

#include <cstdio>
#include <cstring>

#include "halvorn/common/memory.h"

namespace halvorn {

TableRegistryList TableRegistry = {nullptr, 0};

StatusCode RegisterTable(const char* signature, uint32_t instance, const char* directory) {
  auto* entry = static_cast<RegistryEntry*>(AllocateCleared(sizeof(RegistryEntry)));
  if (!entry) return AE_NO_MEMORY;
  std::memcpy(entry->signature, signature, 4);
  entry->instance = instance;
  entry->directory = directory;
  entry->file_instance = directory ? instance : 0;
  TableRegistry.count++;
  if (!TableRegistry.first) {
    TableRegistry.first = entry;
    return AE_OK;
  }

  bool clash = false;
  uint32_t highest = 0;
  RegistryEntry* last = TableRegistry.first;
  for (RegistryEntry* other = TableRegistry.first; other; other = other->next) {
    last = other;
    if (std::memcmp(other->signature, signature, 4) != 0) continue;
    if (other->instance == instance) clash = true;
    if (other->instance > highest) highest = other->instance;
  }
  last->next = entry;
  if (!clash) return AE_OK;

  uint32_t next_free = highest + 1;
  entry->instance = next_free;
  if (instance != 0) {
    fprintf(stderr, "%4.4s: Warning unmatched table instance %d, expected %d\n", signature,
            static_cast<int>(instance), static_cast<int>(next_free));
  }
  return AE_OK;
}

const RegistryEntry* RegistryEntryAt(uint32_t index) {
  if (index >= TableRegistry.count) return nullptr;
  const RegistryEntry* entry = TableRegistry.first;
  for (uint32_t i = 0; i < index && entry; ++i) entry = entry->next;
  return entry;
}

const RegistryEntry* FindRegistryEntry(const char* signature, uint32_t instance) {
  for (const RegistryEntry* entry = TableRegistry.first; entry; entry = entry->next) {
    if (entry->instance == instance && std::memcmp(entry->signature, signature, 4) == 0) {
      return entry;
    }
  }
  return nullptr;
}

bool NextRegisteredInstance(const char* signature, uint32_t after, uint32_t* next) {
  bool found = false;
  for (const RegistryEntry* entry = TableRegistry.first; entry; entry = entry->next) {
    if (std::memcmp(entry->signature, signature, 4) != 0 || entry->instance <= after) continue;
    if (!found || entry->instance < *next) *next = entry->instance;
    found = true;
  }
  return found;
}

void ClearTableRegistry() {
  for (RegistryEntry* entry = TableRegistry.first; entry;) {
    RegistryEntry* next = entry->next;
    ReleaseMemory(entry);
    entry = next;
  }
  TableRegistry = {nullptr, 0};
}

}  // namespace halvorn
