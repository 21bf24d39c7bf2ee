// Heap blocks for table copies and file buffers.
#pragma once

#include <cstddef>

namespace halvorn {

// One zero-filled heap block of `size` bytes (a usable block also for size 0), or null when
// memory is exhausted. Give it back with ReleaseMemory.
void* AllocateCleared(size_t size);

// Gives back a block from AllocateCleared; null is ignored.
void ReleaseMemory(void* block);

}  // namespace halvorn
