#include "halvorn/common/memory.h"

#include <cstdlib>

namespace halvorn {

void* AllocateCleared(size_t size) {
  // calloc may answer a request for 0 bytes with null, which would read as exhaustion.
  return calloc(size != 0 ? size : 1, 1);
}

void ReleaseMemory(void* block) { free(block); }

}  // namespace halvorn
