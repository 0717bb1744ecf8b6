// The spool's chunk buffer: bytes written stay put when it grows past its room or moves, and a
// resident one is in memory from the start.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include <vector>

#include "capture/spool/mapped_buffer.h"

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

// Pages in memory, counted with mincore.
std::size_t ResidentPages(const MappedBuffer& buffer) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> pages((buffer.capacity() + page - 1) / page);
  if (::mincore(const_cast<std::uint8_t*>(buffer.data()), buffer.capacity(), pages.data()) != 0) return 0;
  std::size_t count = 0;
  for (unsigned char p : pages) count += p & 1;
  return count;
}

TEST(MappedBufferTest, AResidentBufferHasItsPagesBeforeItIsTouched) {
  constexpr std::size_t Bytes = 64 << 10;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  EXPECT_EQ(ResidentPages(MappedBuffer::Resident(Bytes)), Bytes / page);
  EXPECT_EQ(ResidentPages(MappedBuffer(Bytes)), 0u);
}
