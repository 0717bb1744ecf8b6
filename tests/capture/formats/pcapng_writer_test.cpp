// The stream's blocks byte by byte: lengths, padding to 32 bits, options, byte order.

#include "capture/formats/pcapng_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Contents(const pcapng::Writer& writer) { return Bytes(writer.Data(), writer.Data() + writer.Size()); }

TEST(PcapngWriterTest, SectionHeaderWithAndWithoutTheApplication) {
  pcapng::Writer writer;
  writer.SectionHeader("abcde");
  EXPECT_EQ(Contents(writer), (Bytes{
                                  0x0A, 0x0D, 0x0D, 0x0A, 44, 0, 0, 0,              // type, length
                                  0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0,               // byte order, 1.0
                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,   // length unknown
                                  4, 0, 5, 0, 'a', 'b', 'c', 'd', 'e', 0, 0, 0,     // shb_userappl
                                  0, 0, 0, 0,                                       // end of options
                                  44, 0, 0, 0}));
  writer.Clear();
  writer.SectionHeader("");
  Bytes bare = Contents(writer);
  ASSERT_EQ(bare.size(), 28u);
  EXPECT_EQ(Bytes(bare.begin() + 4, bare.begin() + 8), (Bytes{28, 0, 0, 0}));
  EXPECT_EQ(Bytes(bare.end() - 4, bare.end()), (Bytes{28, 0, 0, 0}));
}

TEST(PcapngWriterTest, InterfaceDescriptionCarriesNameDescriptionAndMac) {
  pcapng::Writer writer;
  writer.InterfaceDescription({"lo", "lo (x)", {0x02, 0xFC, 0, 0, 0, 0x01}, 1520});
  EXPECT_EQ(Contents(writer), (Bytes{
                                  1, 0, 0, 0, 56, 0, 0, 0,                        // type, length
                                  1, 0, 0, 0, 0xF0, 0x05, 0, 0,                   // Ethernet, snap length
                                  2, 0, 2, 0, 'l', 'o', 0, 0,                     // if_name
                                  3, 0, 6, 0, 'l', 'o', ' ', '(', 'x', ')', 0, 0, // if_description
                                  6, 0, 6, 0, 0x02, 0xFC, 0, 0, 0, 0x01, 0, 0,    // if_MACaddr
                                  0, 0, 0, 0,                                     // end of options
                                  56, 0, 0, 0}));
}

TEST(PcapngWriterTest, PacketsArePaddedAndCarryTheirTimestampAndLengths) {
  pcapng::Writer writer;
  const std::uint8_t data[] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  writer.Packet(0x0000000100000002ull, 5, 60, data);
  EXPECT_EQ(Contents(writer), (Bytes{
                                  6, 0, 0, 0, 40, 0, 0, 0,    // type, length
                                  0, 0, 0, 0,                 // interface 0
                                  1, 0, 0, 0, 2, 0, 0, 0,     // timestamp high, low
                                  5, 0, 0, 0, 60, 0, 0, 0,    // captured, original length
                                  0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0, 0, 0,
                                  40, 0, 0, 0}));
  // Lengths that are already a multiple of four get no padding; none at all, none.
  for (std::uint32_t length : {0u, 4u}) {
    writer.Clear();
    writer.Packet(0, length, length, data);
    EXPECT_EQ(writer.Size(), 32u + length) << length;
    EXPECT_EQ(writer.Data()[4], 32u + length);
  }
}

TEST(PcapngWriterTest, StatisticsCarryReceivedAndDropped) {
  pcapng::Writer writer;
  writer.Statistics(0x0000000300000004ull, 0x0102030405060708ull, 9);
  EXPECT_EQ(Contents(writer), (Bytes{
                                  5, 0, 0, 0, 52, 0, 0, 0,    // type, length
                                  0, 0, 0, 0,                 // interface 0
                                  3, 0, 0, 0, 4, 0, 0, 0,     // timestamp high, low
                                  4, 0, 8, 0, 8, 7, 6, 5, 4, 3, 2, 1,  // isb_ifrecv
                                  5, 0, 8, 0, 9, 0, 0, 0, 0, 0, 0, 0,  // isb_ifdrop
                                  0, 0, 0, 0,
                                  52, 0, 0, 0}));
}

// Blocks laid end to end past the first allocation keep every earlier byte, and an
// over-long text is cut so that the option's 16-bit length still holds it.
TEST(PcapngWriterTest, GrowingAndOverlongOptionsKeepTheBlocksWhole) {
  pcapng::Writer writer;
  std::vector<std::uint8_t> frame(1500);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
  for (int i = 0; i < 100; ++i) writer.Packet(static_cast<std::uint64_t>(i), 1500, 1500, frame.data());
  ASSERT_EQ(writer.Size(), 100u * 1532u);
  for (int i = 0; i < 100; ++i) {
    const std::uint8_t* block = writer.Data() + i * 1532;
    EXPECT_EQ(block[16], i);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), block + 28)) << i;
  }

  writer.Clear();
  const std::string longText(70000, 'x');
  writer.InterfaceDescription({"eth0", longText, {}, 1520});
  const std::uint8_t* block = writer.Data();
  // if_name (4 + 4), then if_description cut to 0xFFFC bytes.
  EXPECT_EQ(block[24 + 2] | block[24 + 3] << 8, 0xFFFC);
  const std::size_t length = writer.Size();
  EXPECT_EQ(length % 4, 0u);
  EXPECT_EQ(length, 16u + 8u + 4u + 0xFFFCu + 12u + 4u + 4u);
  EXPECT_EQ(block[length - 4] | block[length - 3] << 8 | block[length - 2] << 16, static_cast<int>(length));
}

}  // namespace
