// The incremental pcapng reader: whole streams in both byte orders fed in pieces of every
// size, and each kind of damage with its reason.

#include "capture/formats/pcapng_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/pcapng_builder.h"

namespace {

using pcapng_builder::Bytes;
using pcapng_builder::Option;
using pcapng_builder::Stream;
using pcapng_builder::PatternFrame;

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  char digits[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    text += digits;
  }
  return text;
}

// Everything the reader yields, one line per item; a failure ends the list with its reason.
struct Reading {
  PcapngStreamReader reader;
  std::vector<std::string> items;

  // Feeds the bytes and takes every item they complete.
  void Feed(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      bytes = bytes.subspan(reader.Feed(bytes));
      Drain();
    }
  }
  void Drain() {
    for (;;) {
      switch (reader.Next()) {
        case PcapngStreamReader::Item::NeedMore:
          return;
        case PcapngStreamReader::Item::Failed:
          items.push_back("failed: " + reader.Failure());
          return;
        case PcapngStreamReader::Item::Interface: {
          const PcapngInterface& i = reader.LastInterface();
          items.push_back("interface " + std::to_string(i.linkType) + " " + std::to_string(i.snapLength) + " [" +
                          i.name + "] [" + i.description + "] " + (i.macAddress ? Hex(*i.macAddress) : "-") + " " +
                          std::to_string(i.timestampResolution));
          break;
        }
        case PcapngStreamReader::Item::Packet: {
          const PcapngPacket& p = reader.Packet();
          items.push_back("packet " + std::to_string(p.interfaceId) + " " + std::to_string(p.timestampNanoseconds) +
                          " " + std::to_string(p.originalLength) + " " + Hex(p.data));
          break;
        }
        case PcapngStreamReader::Item::Statistics: {
          const PcapngStatistics& s = reader.Statistics();
          items.push_back("statistics " + std::to_string(s.interfaceId) + " " +
                          (s.received ? std::to_string(*s.received) : "-") + " " +
                          (s.dropped ? std::to_string(*s.dropped) : "-"));
          break;
        }
      }
      if (reader.Failed()) return;
    }
  }
  // The end of the source: true when the reader accepts it as the end of the stream.
  bool Finish() {
    const bool clean = reader.Finish();
    if (!clean && (items.empty() || items.back().rfind("failed: ", 0) != 0)) items.push_back("failed: " + reader.Failure());
    return clean;
  }
};

std::vector<std::string> ReadWhole(const Bytes& bytes, bool* clean = nullptr) {
  Reading reading;
  reading.Feed(bytes);
  const bool ok = reading.Finish();
  if (clean) *clean = ok;
  return reading.items;
}

constexpr std::array<std::uint8_t, 6> StationMac{0x02, 0xFC, 0x00, 0x00, 0x00, 0x01};

// A stream with every kind of block the reader knows, some it does not, and options of
// every kind it reads or passes over.
Stream CompleteStream(bool bigEndian) {
  Stream s(bigEndian);
  s.Section();
  s.Block(0x00000004, Bytes(8, 0x11));  // a name resolution block: passed over
  s.Interface(1, 1520,
              {pcapng_builder::TextOption(2, "eth0"), pcapng_builder::TextOption(3, std::string("eth0 (virtio_net)\0", 18)),
               Option{0x2BAD, Bytes{1, 2, 3}}, pcapng_builder::MacOption(StationMac),
               pcapng_builder::ResolutionOption(9)});
  s.Packet(0, 1'700'000'000'123'456'789ull, PatternFrame(60, 1));
  s.Packet(0, 1'700'000'000'200'000'000ull, PatternFrame(1, 2), 1);
  s.Packet(0, 1'700'000'000'300'000'000ull, PatternFrame(0, 0), 0);
  s.Packet(0, 5, PatternFrame(1519, 3), 9000, {Option{2, Bytes{0, 0, 0, 1}}});  // with epb_flags
  s.Statistics(0, 1234, 5);
  s.Interface(1, 0, {pcapng_builder::TextOption(2, "lo")});  // a second one, microseconds
  s.Packet(1, 1'000'001, PatternFrame(13, 4));
  s.Block(0x80000001, Bytes(4, 0xEE));  // a custom block
  s.SimplePacket(PatternFrame(14, 5), 14);
  s.Statistics(1, std::nullopt, 7);
  return s;
}

std::vector<std::string> ExpectedItems() {
  return {
      "interface 1 1520 [eth0] [eth0 (virtio_net)] 02fc00000001 9",
      "packet 0 1700000000123456789 60 " + Hex(PatternFrame(60, 1)),
      "packet 0 1700000000200000000 1 " + Hex(PatternFrame(1, 2)),
      "packet 0 1700000000300000000 0 ",
      "packet 0 5 9000 " + Hex(PatternFrame(1519, 3)),
      "statistics 0 1234 5",
      "interface 1 0 [lo] [] - 6",
      "packet 1 1000001000 13 " + Hex(PatternFrame(13, 4)),
      "packet 0 0 14 " + Hex(PatternFrame(14, 5)),
      "statistics 1 - 7",
  };
}

TEST(PcapngStreamTest, ReadsEveryBlockInEitherByteOrderWhateverTheChunks) {
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
    const Bytes bytes = CompleteStream(bigEndian).bytes();
    bool clean = false;
    EXPECT_EQ(ReadWhole(bytes, &clean), ExpectedItems());
    EXPECT_TRUE(clean);

    // Split in two at every byte, and fed one byte at a time.
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      Reading reading;
      reading.Feed(std::span(bytes).first(cut));
      reading.Feed(std::span(bytes).subspan(cut));
      ASSERT_TRUE(reading.Finish()) << "cut at " << cut;
      ASSERT_EQ(reading.items, ExpectedItems()) << "cut at " << cut;
    }
    Reading single;
    for (std::uint8_t b : bytes) single.Feed(std::span(&b, 1));
    EXPECT_TRUE(single.Finish());
    EXPECT_EQ(single.items, ExpectedItems());
  }
}

TEST(PcapngStreamTest, AStreamLongerThanTheBufferPassesThroughIt) {
  // Large blocks and small ones, fed in chunks that do not line up with them: the buffer
  // fills, moves the part of a block it holds to its front and goes on.
  Stream s;
  s.Section().Interface();
  std::vector<std::string> expected = {"interface 1 1520 [] [] - 6"};
  for (int i = 0; i < 200; ++i) {
    const std::size_t length = i % 10 == 0 ? 200'000 + i : 1000 + i;
    const Bytes frame = PatternFrame(length, static_cast<std::uint8_t>(i));
    s.Packet(0, static_cast<std::uint64_t>(i), frame);
    expected.push_back("packet 0 " + std::to_string(i * 1000) + " " + std::to_string(length) + " " + Hex(frame));
  }
  const Bytes& bytes = s.bytes();
  ASSERT_GT(bytes.size(), 3 * PcapngStreamReader::DefaultBufferBytes);
  Reading reading;
  for (std::size_t at = 0; at < bytes.size(); at += 65537)
    reading.Feed(std::span(bytes).subspan(at, std::min<std::size_t>(65537, bytes.size() - at)));
  EXPECT_TRUE(reading.Finish());
  EXPECT_EQ(reading.items, expected);
}

TEST(PcapngStreamTest, ANewSectionBringsItsOwnByteOrderAndInterfaces) {
  Stream s(false);
  s.Section().Interface(1, 100).Packet(0, 1, PatternFrame(4, 1));
  s.Order(true).Section().Interface(1, 200).Packet(0, 2, PatternFrame(4, 2));
  EXPECT_EQ(ReadWhole(s.bytes()), (std::vector<std::string>{
                                      "interface 1 100 [] [] - 6", "packet 0 1000 4 01080f16",
                                      "interface 1 200 [] [] - 6", "packet 0 2000 4 02091017"}));
  s.Packet(1, 3, PatternFrame(4, 3));  // interface 1 was described in the first section only
  const auto items = ReadWhole(s.bytes());
  EXPECT_EQ(items.back(), "failed: the packet at byte 168 names interface 1, but 1 are described");
}

TEST(PcapngStreamTest, TimestampsFollowTheInterfaceResolution) {
  struct Case {
    std::uint8_t resolution;
    std::uint64_t units;
    std::uint64_t nanoseconds;
  };
  const Case cases[] = {
      {6, 1'700'000'000'000'001ull, 1'700'000'000'000'001'000ull},  // microseconds
      {9, 1'700'000'000'000'000'007ull, 1'700'000'000'000'000'007ull},
      {3, 1'700'000'000'123ull, 1'700'000'000'123'000'000ull},
      {0, 17, 17'000'000'000ull},
      {12, 1'700'000'000'000'999ull, 1'700'000'000'000ull},  // picoseconds
      {0x80 | 10, 1024 * 3 + 512, 3'500'000'000ull},                // 2^-10 s
      {0x80 | 0, 2, 2'000'000'000ull},
      {6, ~std::uint64_t{0}, ~std::uint64_t{0}},  // past what 64 bits of nanoseconds hold
      {60, 123, 0},
      {0x80 | 100, 123, 0},
  };
  for (const Case& c : cases) {
    Stream s;
    s.Section().Interface(1, 1520, {pcapng_builder::ResolutionOption(c.resolution)}).Packet(0, c.units, {});
    Reading reading;
    reading.Feed(s.bytes());
    ASSERT_EQ(reading.items.size(), 2u) << int{c.resolution};
    EXPECT_EQ(reading.reader.Packet().timestampNanoseconds, c.nanoseconds) << "resolution " << int{c.resolution};
  }
}

// Damage, and what the reader says about it. Each stream starts well and breaks.
struct Damage {
  const char* what;
  Bytes bytes;
  std::string reason;
};

std::vector<Damage> DamagedStreams() {
  std::vector<Damage> cases;
  const Bytes good = Stream().Section().Interface().bytes();  // 28 + 20 bytes

  cases.push_back({"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, "the stream does not start with a pcapng section header"});
  cases.push_back({"classic pcap", Bytes{0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0},
                   "the stream is a classic pcap capture, not pcapng"});
  cases.push_back({"an interface first", Stream().Interface().bytes(),
                   "the stream does not start with a pcapng section header"});
  {
    Bytes b = good;
    b[8] = 0x4E;  // the byte-order mark
    cases.push_back({"byte-order mark", b, "the section header at byte 0 has no valid byte-order mark"});
  }
  cases.push_back({"version", Stream().Section(2, 0).bytes(), "the section at byte 0 is pcapng version 2.0, which cannot be read"});
  cases.push_back({"short section header", Stream().Block(0x0A0D0D0A, Bytes{0x4D, 0x3C, 0x2B, 0x1A}).bytes(),
                   "the section header at byte 0 is too short (16 bytes)"});
  cases.push_back({"length under 12", Stream().Section().Block(7, {}, 8).bytes(),
                   "the block at byte 28 has an invalid length of 8 bytes"});
  cases.push_back({"length not a multiple of 4", Stream().Section().Block(7, Bytes(6, 0), 18).bytes(),
                   "the block at byte 28 has an invalid length of 18 bytes"});
  cases.push_back({"huge length", Stream().Section().Block(7, {}, 0x7FFFFFF0u).bytes(),
                   "the block at byte 28 claims 2147483632 bytes, more than the largest accepted (263168)"});
  cases.push_back({"trailing length", Stream().Section().Block(7, Bytes(8, 0), std::nullopt, 24).bytes(),
                   "the block at byte 28 is 20 bytes long but ends with the length 24"});
  cases.push_back({"another link type", Stream().Section().Interface(113, 1520, {pcapng_builder::TextOption(2, "any")}).bytes(),
                   "interface 0 (any) carries link type 113, not Ethernet"});
  cases.push_back({"short interface", Stream().Section().Block(1, Bytes(4, 0)).bytes(),
                   "the interface description at byte 28 is too short (16 bytes)"});
  {
    Stream s;
    s.Section();
    Bytes body;
    s.Put16(body, 1);
    s.Put16(body, 0);
    s.Put32(body, 1520);
    s.Put16(body, 2);  // if_name of 9 bytes where 4 are left
    s.Put16(body, 9);
    s.Put32(body, 0);
    cases.push_back({"option overrun", s.Block(1, body).bytes(),
                     "an option of the interface description at byte 28 runs past the end of its block"});
  }
  cases.push_back({"packet before interface", Stream().Section().Packet(0, 0, PatternFrame(4, 0)).bytes(),
                   "the packet at byte 28 names interface 0, but 0 are described"});
  cases.push_back({"undescribed interface", Stream(true).Section().Interface().Packet(1, 0, PatternFrame(4, 0)).bytes(),
                   "the packet at byte 48 names interface 1, but 1 are described"});
  {
    Stream s;
    s.Section().Interface();
    Bytes body;
    for (std::uint32_t v : {0u, 0u, 0u, 200u, 200u}) s.Put32(body, v);  // 200 bytes claimed, 8 there
    body.resize(body.size() + 8);
    cases.push_back({"captured length", s.Block(6, body).bytes(),
                     "the packet at byte 48 claims 200 captured bytes, more than its block holds"});
  }
  cases.push_back({"short packet", Stream().Section().Interface().Block(6, Bytes(16, 0)).bytes(),
                   "the packet at byte 48 is too short (28 bytes)"});
  cases.push_back({"simple packet first", Stream().Section().SimplePacket(PatternFrame(4, 0), 4).bytes(),
                   "the packet at byte 28 comes before any interface is described"});
  cases.push_back({"statistics of nothing", Stream().Section().Interface().Statistics(3, 1, 1).bytes(),
                   "the interface statistics at byte 48 name interface 3, but 1 are described"});
  {
    Stream s;
    s.Section();
    for (int i = 0; i <= 256; ++i) s.Interface();
    cases.push_back({"interfaces without end", s.bytes(), "the stream describes more than 256 interfaces"});
  }
  cases.push_back({"empty", Bytes{}, "the stream ended before a pcapng section header"});
  {
    Bytes cut = good;
    cut.resize(good.size() + 5);
    cases.push_back({"cut in a header", cut, "the stream ended inside the header of the block at byte 48"});
  }
  {
    Bytes cut = Stream().Section().Interface().Packet(0, 0, PatternFrame(60, 0)).bytes();
    cut.resize(cut.size() - 1);
    cases.push_back({"cut in a block", cut, "the stream ended inside the block at byte 48 (91 of its 92 bytes came)"});
  }
  return cases;
}

TEST(PcapngStreamTest, DamageEndsTheStreamWithItsReason) {
  for (const Damage& damage : DamagedStreams()) {
    SCOPED_TRACE(damage.what);
    // Whole, and one byte at a time: the reason is the same however the bytes came.
    const auto whole = ReadWhole(damage.bytes);
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(whole.back(), "failed: " + damage.reason);
    Reading single;
    for (std::uint8_t b : damage.bytes) single.Feed(std::span(&b, 1));
    EXPECT_FALSE(single.Finish());
    EXPECT_EQ(single.items.back(), "failed: " + damage.reason);
    // It stays failed, and takes whatever else comes without looking at it.
    const Bytes more = Stream().Section().Interface().bytes();
    EXPECT_EQ(single.reader.Feed(more), more.size());
    EXPECT_EQ(single.reader.Next(), PcapngStreamReader::Item::Failed);
  }
}

TEST(PcapngStreamTest, DamageIsToldAsSoonAsItShows) {
  // Bytes that are not pcapng after the first byte, a huge length after its 8-byte
  // header: a reader of a pipe does not wait for more before it says so.
  Reading text;
  text.Feed(Bytes{'G'});
  EXPECT_TRUE(text.reader.Failed());
  Reading huge;
  Bytes bytes = Stream().Section().bytes();
  Stream order;
  order.Put32(bytes, 6);
  order.Put32(bytes, 0xFFFFFFF0u);
  huge.Feed(bytes);
  EXPECT_TRUE(huge.reader.Failed()) << "reader still waiting with " << huge.reader.Pending() << " bytes";
}

TEST(PcapngStreamTest, AStreamEndsCleanlyOnlyAtABlockBoundaryAfterItsSectionHeader) {
  const Stream s = CompleteStream(false);
  const Bytes& bytes = s.bytes();
  // The block boundaries, found by walking the lengths.
  std::vector<std::size_t> boundaries;
  for (std::size_t at = 0; at < bytes.size();) {
    at += bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 | bytes[at + 7] << 24;
    boundaries.push_back(at);
  }
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    bool clean = false;
    ReadWhole(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)), &clean);
    EXPECT_EQ(clean, std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end()) << "cut at " << cut;
  }
}

}  // namespace
