// The spool's chunk buffer: bytes written stay put when it grows past its room or moves.

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "capture/mapped_buffer.h"

TEST(MappedBufferTest, GrowingPastTheRoomAndMovingKeepTheBytes) {
  MappedBuffer buffer(4096);
  std::memset(buffer.Grow(4000), 0xAB, 4000);
  std::uint8_t* more = buffer.Grow(10000);  // past the room: mapped anew
  std::memset(more, 0xCD, 10000);
  ASSERT_EQ(buffer.size(), 14000u);
  EXPECT_GE(buffer.capacity(), 14000u);
  EXPECT_EQ(buffer.data()[0], 0xAB);
  EXPECT_EQ(buffer.data()[3999], 0xAB);
  EXPECT_EQ(buffer.data()[4000], 0xCD);
  EXPECT_EQ(buffer.data()[13999], 0xCD);

  MappedBuffer moved = std::move(buffer);
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.data(), nullptr);
  ASSERT_EQ(moved.size(), 14000u);
  EXPECT_EQ(moved.data()[13999], 0xCD);
  moved.clear();
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(moved.Grow(1), moved.data());

  MappedBuffer none;
  *none.Grow(3) = 7;  // a buffer made without room maps some
  EXPECT_EQ(none.data()[0], 7);
}
