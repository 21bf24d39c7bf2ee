#include "halvorn/common/memory.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "halvorn/common/table.h"

namespace halvorn {
namespace {

TEST(AllocateCleared, GivesZeroFilledBlocksAlsoForZeroBytes) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{36}, size_t{1} << 20}) {
    auto* block = static_cast<uint8_t*>(AllocateCleared(size));
    ASSERT_NE(block, nullptr) << size;
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(block[i], 0) << size << " at " << i;
    ReleaseMemory(block);
  }
  ReleaseMemory(nullptr);
}

// An empty table is still a table, not an exhausted heap.
TEST(TableBuffer, EmptyAllocationIsUsable) {
  TableBuffer buffer = TableBuffer::Allocate(0);
  EXPECT_TRUE(buffer);
  EXPECT_EQ(buffer.size, 0u);
  EXPECT_TRUE(buffer.bytes().empty());
}

}  // namespace
}  // namespace halvorn
