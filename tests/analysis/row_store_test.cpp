#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <algorithm>
#include <map>
#include <random>

#include "analysis/capture_state.h"
#include "analysis/connection_tracker.h"
#include "analysis/decoder.h"
#include "analysis/frame_bytes.h"
#include "analysis/frame_source.h"
#include "analysis/mac_text.h"
#include "analysis/packet_filter_row.h"
#include "analysis/row_filter.h"
#include "analysis/row_store.h"
#include "analysis/row_text.h"
#include "tests/support/frames.h"

namespace {

std::vector<std::string> Row(const RowStore& s, std::int64_t row) {
  std::vector<std::string> cells;
  for (int c = 0; c < s.ColumnCount(); ++c) cells.emplace_back(s.Cell(row, c));
  return cells;
}

TEST(RowStore, CellsOfEveryLengthComeBackAsStored) {
  const std::vector<std::string> texts = {
      "", "in", "out", "TCP (Transmission Control Protocol)", "remote close()", "inn",
      std::string(127, 'a'), std::string(128, 'b'), std::string(1023, 'c'),
      std::string(16383, 'd'), std::string(16384, 'e'), std::string(70000, 'f'),
      std::string("nul\0inside", 10)};
  RowStore store(3);
  for (const std::string& t : texts) {
    const std::vector<std::string_view> cells = {t, "x", t};
    store.AppendRow(cells);
  }
  ASSERT_EQ(store.RowCount(), static_cast<std::int64_t>(texts.size()));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(Row(store, i), (std::vector<std::string>{texts[i], "x", texts[i]})) << i;
  }
  // Missing cells are empty, extra ones dropped, and outside reads give nothing.
  const std::vector<std::string_view> one = {"only"}, four = {"a", "b", "c", "d"};
  store.AppendRow(one);
  store.AppendRow(four);
  EXPECT_EQ(Row(store, store.RowCount() - 2), (std::vector<std::string>{"only", "", ""}));
  EXPECT_EQ(Row(store, store.RowCount() - 1), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(store.Cell(-1, 0), "");
  EXPECT_EQ(store.Cell(store.RowCount(), 0), "");
  EXPECT_EQ(store.Cell(0, 3), "");
}

TEST(RowStore, EveryTextOfTheDecoderAndTrackerTablesComesBackAsStored) {
  // These are the store's frequent texts, kept as one byte each.
  std::vector<std::string_view> texts = {DirectionText(Direction::Incoming), DirectionText(Direction::Outgoing)};
  for (const EtherTypeEntry& entry : EtherTypeNames) texts.push_back(entry.name);
  for (int i = 0; i < IpProtocolCount; ++i) texts.push_back(IpProtocolCellText[i]);
  texts.insert(texts.end(), socket_call::All.begin(), socket_call::All.end());
  RowStore store(static_cast<int>(texts.size()));
  store.AppendRow(texts);
  for (std::size_t c = 0; c < texts.size(); ++c) EXPECT_EQ(store.Cell(0, static_cast<int>(c)), texts[c]);
}

TEST(RowStore, RowCellsReadsTheSameCellsAsCellInOnePass) {
  // Every header form in one row, so a wrong step over any of them shifts the rest.
  const std::string medium(300, 'm'), big(20000, 'g');
  const std::vector<std::string_view> cells = {"in", "short", medium, "", big, "UDP (User Datagram Protocol)"};
  RowStore store(6);
  store.AppendRow(cells);
  store.AppendRow(std::vector<std::string_view>{"only"});
  std::string_view out[8];
  ASSERT_EQ(store.RowCells(0, out), 6u);
  for (int c = 0; c < 6; ++c) EXPECT_EQ(out[c], cells[c]) << c;
  ASSERT_EQ(store.RowCells(1, std::span(out, 2)), 2u);
  EXPECT_EQ(out[0], "only");
  EXPECT_EQ(out[1], "");
  EXPECT_EQ(store.RowCells(2, out), 0u);
  EXPECT_EQ(store.RowCells(-1, out), 0u);
}

TEST(RowStore, ManyRowsNeverMoveStoredTextAndAppendCopiesThem) {
  RowStore store(4);
  const std::vector<std::string_view> first = {"0", "60", "in", "first row"};
  store.AppendRow(first);
  const char* before = store.Cell(0, 3).data();
  std::string number;
  for (int i = 1; i < 300000; ++i) {
    number = std::to_string(i);
    const std::vector<std::string_view> cells = {number, "54", i % 2 ? "in" : "out",
                                                 i % 7 ? "" : "payload text of a row"};
    store.AppendRow(cells);
  }
  EXPECT_EQ(store.Cell(0, 3).data(), before);
  EXPECT_EQ(Row(store, 299998), (std::vector<std::string>{"299998", "54", "out", ""}));
  EXPECT_EQ(Row(store, 7 * 4000), (std::vector<std::string>{"28000", "54", "out", "payload text of a row"}));
  // Honest and compact: the allocation covers the encoded text and is not far above it.
  EXPECT_GT(store.MemoryBytes(), 300000u * 13);
  EXPECT_LT(store.MemoryBytes(), 300000u * 40);

  RowStore copy(4);
  copy.AppendRow(first);
  copy.Append(store);
  ASSERT_EQ(copy.RowCount(), 300001);
  for (std::int64_t r : {0, 1, 4095, 4096, 150000, 300000}) EXPECT_EQ(Row(copy, r), Row(store, r == 0 ? 0 : r - 1));
  copy.Append(copy);  // appending itself doubles it
  ASSERT_EQ(copy.RowCount(), 600002);
  EXPECT_EQ(Row(copy, 600001), Row(store, 299999));

  copy.Clear();
  EXPECT_EQ(copy.RowCount(), 0);
  EXPECT_EQ(copy.ColumnCount(), 4);
  EXPECT_LT(copy.MemoryBytes(), 1024u);
  RowStore narrow(2);
  narrow.Append(store);  // another layout: cells beyond its columns are dropped
  EXPECT_EQ(Row(narrow, 28000), (std::vector<std::string>{"28000", "54"}));
  store.Reset(6);
  EXPECT_EQ(store.RowCount(), 0);
  EXPECT_EQ(store.ColumnCount(), 6);
}

using namespace frames;

// The cell texts as the decoder wrote them before rows were kept in binary form, built
// here straight from the frame's bytes: the reference every stored row must match.
struct Reference {
  CaptureState tracker;  // the connection numbers, from a tracker of its own
  std::int64_t originNs = TimeNotKnown;

  static std::string Decimal(std::uint64_t v) { return std::to_string(v); }
  static std::string Ipv4(const FrameBytes& b, std::size_t at) {
    return Decimal(b.U8(at)) + "." + Decimal(b.U8(at + 1)) + "." + Decimal(b.U8(at + 2)) + "." + Decimal(b.U8(at + 3));
  }
  static std::string Mac(const FrameBytes& b, std::size_t at) {
    std::uint8_t mac[6];
    for (std::size_t i = 0; i < 6; ++i) mac[i] = b.U8(at + i);
    return MacText(mac);
  }
  static std::string Printable(const FrameBytes& b, std::size_t begin, std::size_t end) {
    std::string out;
    for (const std::uint8_t c : b.Range(begin, std::min(end, begin + 256))) out += c >= 0x20 && c <= 0x7E ? char(c) : '.';
    return out;
  }
  static std::string Arp(const FrameBytes& b) {
    const unsigned op = b.Be16(20);
    if (b.U8(18) == 6 && b.U8(19) == 4) {
      if (op == 1) return "who-has " + Ipv4(b, 38) + " tell " + Ipv4(b, 28);
      if (op == 2) return Ipv4(b, 28) + " is-at " + Mac(b, 22);
      if (op == 3) return "rarp who-is " + Mac(b, 32) + " tell " + Mac(b, 22);
      if (op == 4) return "rarp " + Mac(b, 32) + " is-at " + Ipv4(b, 38);
    }
    return "ARP operation " + Decimal(op);
  }

  // Every column's text for a frame, by column id; columns a frame has no cell in are absent.
  std::map<ColumnId, std::string> Cells(std::int64_t number, const Bytes& frame, std::int64_t stampNs,
                                        const std::array<std::uint8_t, 6>& station) {
    using C = ColumnId;
    const auto length = static_cast<std::uint32_t>(std::min(frame.size(), FrameBufferSize));
    const FrameBytes b(std::span<const std::uint8_t>(frame.data(), length));
    std::map<C, std::string> cells;
    bool out = true;
    for (std::size_t i = 0; i < 6; ++i) out = out && b.U8(6 + i) == station[i];
    if (number == 0) originNs = TimeNotKnown;
    if (stampNs != TimeNotKnown) {
      if (originNs == TimeNotKnown) originNs = stampNs;
      const std::int64_t d = stampNs - originNs;
      const std::uint64_t us = (d < 0 ? std::uint64_t(-d) : std::uint64_t(d)) / 1000;
      char text[64];
      std::snprintf(text, sizeof text, "%s%llu.%06llu", d < 0 && us != 0 ? "-" : "", (unsigned long long)(us / 1000000),
                    (unsigned long long)(us % 1000000));
      cells[C::Time] = text;
    }
    cells[C::PacketNumber] = std::to_string(number);
    cells[C::Bytes] = Decimal(length);
    cells[C::InOut] = out ? "out" : "in";
    cells[C::MacSource] = Mac(b, 6);
    cells[C::MacDestination] = Mac(b, 0);
    const unsigned type = b.Be16(12);
    if (type <= 1500) {
      cells[C::Ieee8023Length] = Decimal(type);
    } else {
      char name[8];
      cells[C::Protocol] = std::string(EtherTypeName(static_cast<std::uint16_t>(type), name));
    }
    if (type == 0x0806) cells[C::Data] = Arp(b);
    if (type != 0x0800) return cells;
    cells[C::IpSource] = Ipv4(b, 26);
    cells[C::IpDestination] = Ipv4(b, 30);
    const unsigned protocol = b.U8(23);
    const auto record = std::find_if(std::begin(IpProtocolTable), std::end(IpProtocolTable),
                                     [&](const IpProtocolEntry& e) { return e.number == protocol; });
    if (record == std::end(IpProtocolTable)) {
      cells[C::UpperLayerProtocol] = Decimal(protocol);
      return cells;
    }
    cells[C::UpperLayerProtocol] = std::string(record->name) + " (" + record->description + ")";
    const std::size_t total = b.Be16(16);
    const std::size_t end = total == 0 ? length : std::min<std::size_t>(length, 14 + total);
    if (protocol == 17) cells[C::Data] = Printable(b, 42, end);
    if (protocol != 6) return cells;
    const auto direction = out ? Direction::Outgoing : Direction::Incoming;
    cells[C::TcpConnectionNumber] =
        std::to_string(TrackTcpSegment(std::span<const std::uint8_t>(frame.data(), length), direction, tracker));
    cells[C::TcpSourcePort] = Decimal(b.Be16(34));
    cells[C::TcpDestinationPort] = Decimal(b.Be16(36));
    cells[C::TcpSequenceNumber] = Decimal(b.Be32(38));
    cells[C::TcpAcknowledgementNumber] = Decimal(b.Be32(42));
    char flags[8];
    std::snprintf(flags, sizeof flags, "0x%x", b.U8(47) & 0x3Fu);
    cells[C::TcpFlags] = flags;
    cells[C::TcpWindow] = Decimal(b.Be16(48));
    cells[C::TcpChecksum] = Decimal(b.Be16(50));
    cells[C::WinsockFunction] = std::string(InferSocketCall(b.U8(47), direction, length));
    cells[C::Data] = Printable(b, 34 + std::max<std::size_t>(20, (b.U8(46) >> 4) * 4u), end);
    return cells;
  }
};

constexpr Mac kStation = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr Mac kPeer = {0x0A, 0xBB, 0xCC, 0xDD, 0xEE, 0xF1};

// A test capture: every kind of frame the decoder tells apart, whole and cut short, both
// directions, connections opened and closed, and random bytes behind each EtherType.
std::vector<Bytes> TestCapture() {
  std::vector<Bytes> out;
  const auto tcp = [](bool fromStation, TcpFields f, std::string_view payload = {}) {
    const Bytes segment = Tcp(f, Text(payload));
    return fromStation ? Ethernet(kPeer, kStation, EtherTypeIpv4, Ipv4(6, Ip(10, 0, 0, 2), Ip(10, 0, 0, 1), segment))
                       : Ethernet(kStation, kPeer, EtherTypeIpv4, Ipv4(6, Ip(10, 0, 0, 1), Ip(10, 0, 0, 2), segment));
  };
  out.push_back(tcp(true, {.sourcePort = 40000, .destinationPort = 80, .sequence = 4000000000u, .flags = Syn}));
  out.push_back(tcp(false, {.sourcePort = 80, .destinationPort = 40000, .acknowledgement = 4000000001u,
                            .flags = Syn | Ack, .window = 65535, .checksum = 0xBEEF}));
  out.push_back(tcp(true, {.sourcePort = 40000, .destinationPort = 80, .flags = Psh | Ack},
                    "GET /\t\\a\r\n" + std::string(400, 'x')));
  out.push_back(Pad(tcp(false, {.sourcePort = 80, .destinationPort = 40000, .flags = Ack}), 60));
  out.push_back(tcp(false, {.sourcePort = 80, .destinationPort = 40000, .flags = Fin | Ack}));
  out.push_back(tcp(true, {.sourcePort = 40000, .destinationPort = 80, .flags = Rst}));
  out.push_back(Ethernet(kStation, kPeer, EtherTypeIpv4, Ipv4(17, Ip(192, 168, 1, 1), Ip(10, 0, 0, 1),
                                                             Udp(53, 5353, Text("dns\x01\xFF")))));
  for (std::uint16_t op : {1, 2, 3, 4, 9}) {
    out.push_back(Pad(Ethernet(Broadcast, kPeer, EtherTypeArp, Arp(op, kPeer, Ip(10, 0, 0, 2), Mac{}, Ip(10, 0, 0, 1))), 60));
  }
  for (std::uint8_t protocol : {1, 2, 47, 98, 255}) {
    out.push_back(Ethernet(kStation, kPeer, EtherTypeIpv4, Ipv4(protocol, Ip(1, 2, 3, 4), Ip(5, 6, 7, 8), Bytes(20, 0x41))));
  }
  for (std::uint16_t type : {0, 46, 1500, 1501, 0x0600, 0x8137, 0x86DD, 0xFFFF}) {
    out.push_back(Pad(Ethernet(kStation, kPeer, type, Bytes(10, 0xAA)), 60));
  }
  std::mt19937 random(12);
  const std::uint16_t types[] = {0x0800, 0x0806, 0x0800, 0x86DD, 300};
  for (int i = 0; i < 400; ++i) {
    Bytes frame(1 + random() % 1600);
    for (auto& b : frame) b = static_cast<std::uint8_t>(random());
    if (frame.size() >= 24) {
      frame[12] = static_cast<std::uint8_t>(types[i % 5] >> 8);
      frame[13] = static_cast<std::uint8_t>(types[i % 5]);
      if (i % 3 == 0) frame[23] = 6;
      if (i % 3 == 1) frame[23] = 17;
    }
    if (i % 4 == 0 && frame.size() >= 12) std::copy(kStation.begin(), kStation.end(), frame.begin() + 6);
    out.push_back(frame);
  }
  // The same frames cut short at every place that matters.
  for (std::size_t cut : {1, 5, 13, 20, 28, 35, 41, 47, 53}) out.push_back(Bytes(out[2].begin(), out[2].begin() + cut));
  return out;
}

// Frame times: a start, steps of odd sizes, an unknown time and one before the first.
std::int64_t StampOf(std::size_t i) {
  if (i == 3) return TimeNotKnown;
  if (i == 5) return 1'700'000'000'000'000'000 - 2'500'000;
  return 1'700'000'000'000'000'000 + static_cast<std::int64_t>(i) * 1'234'567'891;
}

// Holds the frames of a capture by packet number, as the spool or an opened file would.
class MemorySource : public FrameSource {
 public:
  bool ReadFrame(std::int64_t packetNumber, StoredFrame& out) const override {
    ++reads;
    const auto it = frames.find(packetNumber);
    if (it == frames.end()) return false;
    out.bytes = it->second;
    out.originalLength = static_cast<std::uint32_t>(it->second.size());
    return true;
  }
  std::map<std::int64_t, Bytes> frames;
  mutable int reads = 0;
};

class FrameRows : public ::testing::Test {
 protected:
  // Decodes the capture into a store with these columns; the reference texts alongside.
  RowStore Decode(const ColumnSet& columns, const FrameSource* source = nullptr) {
    CaptureState state;
    state.adapterMac = kStation;
    state.columns = columns;
    RowStore store(columns);
    store.SetFrameSource(source);
    RowBuilder builder(store);
    Reference reference;
    expected.clear();
    const std::vector<Bytes> capture = TestCapture();
    for (std::size_t i = 0; i < capture.size(); ++i) {
      Bytes buffer = capture[i];
      state.frameTimestampNs = StampOf(i);
      DecodeFrame(static_cast<std::int64_t>(i), buffer.data(), static_cast<std::uint32_t>(buffer.size()), builder, state);
      std::fill(buffer.begin(), buffer.end(), 0xEE);  // the store keeps nothing of the buffer
      expected.push_back(reference.Cells(static_cast<std::int64_t>(i), capture[i], StampOf(i), kStation));
    }
    EXPECT_EQ(builder.RowsBuilt(), static_cast<std::int64_t>(capture.size()));
    return store;
  }
  // Every cell of every row, read one by one and in one pass, against the reference.
  void ExpectReferenceTexts(const RowStore& store, const ColumnSet& columns, std::int64_t firstNumber = 0) {
    std::vector<ColumnId> ids;
    for (const ColumnId id : ColumnListOrder) if (columns.IsShown(id)) ids.push_back(id);
    ASSERT_EQ(store.ColumnCount(), static_cast<int>(ids.size()));
    std::string_view cells[ColumnCount];
    for (std::int64_t r = 0; r < store.RowCount(); ++r) {
      const auto& want = expected[static_cast<std::size_t>(firstNumber + r)];
      EXPECT_EQ(store.PacketNumber(r), firstNumber + r);
      for (std::size_t c = 0; c < ids.size(); ++c) {
        const auto it = want.find(ids[c]);
        const std::string text = it == want.end() ? "" : it->second;
        ASSERT_EQ(store.Cell(r, static_cast<int>(c)), text) << "row " << r << ", " << ColumnHeader(ids[c]);
      }
      ASSERT_EQ(store.RowCells(r, cells), ids.size());
      for (std::size_t c = 0; c < ids.size(); ++c) {
        const auto it = want.find(ids[c]);
        ASSERT_EQ(cells[c], it == want.end() ? "" : it->second) << "row " << r << ", " << ColumnHeader(ids[c]);
      }
    }
  }

  std::vector<std::map<ColumnId, std::string>> expected;
};

TEST_F(FrameRows, EveryColumnsTextEqualsTheTextBuiltFromTheFrame) {
  for (const std::string_view pattern : {std::string_view("111111111111111111111"), StartupColumnPattern,
                                         std::string_view("1"), std::string_view("10101010101010101010101")}) {
    SCOPED_TRACE(std::string(pattern));
    const ColumnSet columns = ColumnSet::FromText(pattern);
    const RowStore store = Decode(columns);
    ExpectReferenceTexts(store, columns);
    // Copied byte for byte into a store of the same columns, the rows read the same.
    RowStore copy(columns);
    copy.Append(store);
    ExpectReferenceTexts(copy, columns);
    copy.Append(copy, 3);  // from itself: its own first rows
    ASSERT_EQ(copy.RowCount(), store.RowCount() + 3);
    EXPECT_EQ(copy.PacketNumber(store.RowCount() + 2), 2);
    // The same rows written as lines: the writer sees the same cells.
    std::string line, again;
    AppendRowLine(line, store, 2, RowFormat::Tsv);
    AppendRowLine(again, copy, 2, RowFormat::Tsv);
    EXPECT_EQ(line, again);
  }
}

TEST_F(FrameRows, FieldsReadBackTypedAndOtherColumnsTakeTheirShare) {
  const ColumnSet all = ColumnSet::FromText("111111111111111111111");
  const RowStore store = Decode(all);
  PacketRow row;
  ASSERT_TRUE(store.Packet(1, row));
  EXPECT_EQ(row.packetNumber, 1);
  EXPECT_EQ(row.kind, RowKind::Tcp);
  EXPECT_FALSE(row.outgoing);
  EXPECT_EQ(row.acknowledgement, 4000000001u);
  EXPECT_EQ(row.checksum, 0xBEEF);
  EXPECT_EQ(row.ipSource, (std::array<std::uint8_t, 4>{10, 0, 0, 1}));
  EXPECT_EQ(row.timeNs, 1'234'567'891);
  ASSERT_TRUE(store.Packet(3, row));
  EXPECT_FALSE(row.timeKnown);
  EXPECT_FALSE(store.Packet(store.RowCount(), row));

  // A store of fewer columns takes the rows as fields and keeps only what it shows.
  const ColumnSet startup = ColumnSet::Startup();
  RowStore narrow(startup);
  narrow.Append(store);
  ExpectReferenceTexts(narrow, startup);
  RowStore text(2);  // text rows stay text rows
  text.AppendRow(std::vector<std::string_view>{"a", "b"});
  EXPECT_FALSE(text.Packet(0, row));
  EXPECT_EQ(text.PacketNumber(0), -1);
}

TEST_F(FrameRows, DataComesFromTheSourceWhileItHoldsTheFrameAndIsKeptBeforeItLeaves) {
  const ColumnSet columns = ColumnSet::FromText("111111111111111111111");
  MemorySource source;
  const std::vector<Bytes> capture = TestCapture();
  for (std::size_t i = 0; i < capture.size(); ++i) source.frames[static_cast<std::int64_t>(i)] = capture[i];
  const RowStore kept = Decode(columns);
  RowStore store = Decode(columns, &source);
  EXPECT_LT(store.MemoryBytes(), kept.MemoryBytes());  // no Data text of its own
  ExpectReferenceTexts(store, columns);
  EXPECT_GT(source.reads, 0);
  // A cell other than Data reads no frame.
  source.reads = 0;
  for (int c = 0; c < store.ColumnCount(); ++c)
    if (c != columns.Position(ColumnId::Data)) store.Cell(1, c);
  EXPECT_EQ(source.reads, 0);

  // Frames below 200 are about to leave: their rows read them now and keep the text.
  store.KeepDataBelow(200);
  for (std::int64_t n = 0; n < 200; ++n) source.frames.erase(n);
  source.reads = 0;
  for (std::int64_t r = 0; r < 200; ++r) store.Cell(r, 20);
  EXPECT_EQ(source.reads, 0);
  ExpectReferenceTexts(store, columns);

  // Without a source from now on, the rows that still read theirs keep them first.
  store.SetFrameSource(nullptr);
  source.frames.clear();
  ExpectReferenceTexts(store, columns);
  // Its records no longer follow each other in row order, yet copy whole.
  RowStore copy(columns);
  copy.Append(store);
  ExpectReferenceTexts(copy, columns);
}

TEST_F(FrameRows, RowsOfLeavingFramesThatArriveLaterKeepTheirData) {
  // The source asks before its frames below 200 leave, while rows of them are still on
  // their way to the list (a batch not yet appended).
  const ColumnSet columns = ColumnSet::FromText(std::string(ColumnCount, '1'));
  MemorySource source;
  const std::vector<Bytes> capture = TestCapture();
  for (std::size_t i = 0; i < capture.size(); ++i) source.frames[static_cast<std::int64_t>(i)] = capture[i];
  const RowStore batch = Decode(columns);
  RowStore list(columns);
  list.SetFrameSource(&source);
  list.KeepDataBelow(200);
  list.Append(batch);
  for (std::int64_t n = 0; n < 200; ++n) source.frames.erase(n);
  ExpectReferenceTexts(list, columns);
  // Rows of frames that stay read them from the source.
  source.reads = 0;
  for (std::int64_t r = 200; r < list.RowCount(); ++r) list.Cell(r, columns.Position(ColumnId::Data));
  EXPECT_GT(source.reads, 0);

  // A new source has asked nothing yet: rows it holds frames of keep no Data.
  MemorySource other;
  other.frames = source.frames;
  RowStore fresh(columns);
  fresh.SetFrameSource(&source);
  fresh.KeepDataBelow(200);
  fresh.SetFrameSource(&other);
  fresh.Append(batch);
  for (std::int64_t r = 0; r < 200; ++r) fresh.Cell(r, columns.Position(ColumnId::Data));
  EXPECT_GT(other.reads, 0);
}

TEST_F(FrameRows, RemovingTheFirstRowsKeepsTheRestAndGivesMemoryBack) {
  const ColumnSet columns = ColumnSet::FromText(std::string(ColumnCount, '1'));
  RowStore store(columns);
  const RowStore capture = Decode(columns);
  const std::int64_t n = capture.RowCount();
  // Rows of many copies, so that whole chunks and reference blocks fill and empty.
  for (int i = 0; i < 300; ++i) store.Append(capture);
  const std::size_t full = store.MemoryBytes();
  store.RemoveFirst(270 * n + 5);
  EXPECT_EQ(store.RowCount(), 30 * n - 5);
  EXPECT_LT(store.MemoryBytes(), full / 4);
  std::string_view cells[ColumnCount];
  for (std::int64_t r = 0; r < store.RowCount(); r += 97) {
    ASSERT_EQ(store.RowCells(r, cells), static_cast<std::size_t>(store.ColumnCount()));
    const auto& want = expected[static_cast<std::size_t>((r + 5) % n)];
    EXPECT_EQ(cells[0], want.at(ColumnId::PacketNumber)) << r;
    EXPECT_EQ(cells[columns.Position(ColumnId::Data)], want.count(ColumnId::Data) ? want.at(ColumnId::Data) : "") << r;
  }
  store.Append(capture);
  EXPECT_EQ(store.Cell(store.RowCount() - 1, 0), std::to_string(n - 1));
  store.RemoveFirst(store.RowCount() + 10);
  EXPECT_EQ(store.RowCount(), 0);
  store.Append(capture, 1);
  EXPECT_EQ(store.Cell(0, 0), "0");
}

}  // namespace

namespace {

// A row looked at cell by cell, every column of it.
class EveryCell : public FilterRow {
 public:
  explicit EveryCell(const FilterRow& row) : row_(row) {}
  std::string_view Cell(ColumnId id) const override { return row_.Cell(id); }
  std::string_view SearchText(ColumnId id) const override { return row_.SearchText(id); }

 private:
  const FilterRow& row_;
};

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) out += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
  return out + "\"";
}

}  // namespace

// Whatever the frame, every piece of a cell's text is one its column may contain, so a
// search that skips the other columns answers as one that looks in every cell: also with
// the Data texts rebuilt from the frames, non-printable bytes shown as '.', and for texts
// that run across two cells.
TEST_F(FrameRows, ASearchSkipsOnlyCellsThatCannotHoldItsText) {
  const ColumnSet columns = ColumnSet::FromText("111111111111111111111");
  MemorySource source;
  const std::vector<Bytes> capture = TestCapture();
  for (std::size_t i = 0; i < capture.size(); ++i) source.frames[static_cast<std::int64_t>(i)] = capture[i];
  const RowStore store = Decode(columns, &source);
  std::vector<std::string> needles = {"GET /", "get /", ".", "..", "\"", "\\", "AA", "aa", "\x01", "\t", "0x", " ("};
  PacketFilterRow row(columns);
  for (std::int64_t r = 0; r < store.RowCount(); ++r) {
    ASSERT_TRUE(row.Read(store, r));
    std::string before;
    for (const ColumnId id : ColumnListOrder) {
      const std::string text(row.Cell(id));
      for (std::size_t at = 0; at < text.size(); ++at) {
        for (std::size_t n = 1; n <= 4 && at + n <= text.size(); ++n) {
          ASSERT_TRUE(CellTextMayContain(id, text.substr(at, n))) << ColumnHeader(id) << " '" << text << "' at " << at;
        }
      }
      if (r % 40 == 0 && !text.empty()) {
        needles.push_back(text.substr(0, 6));
        if (!before.empty()) needles.push_back(before.substr(before.size() - 1) + text.substr(0, 1));
        before = text;
      }
    }
  }
  for (const std::string& needle : needles) {
    for (const std::string& expression : {Quoted(needle), "data contains " + Quoted(needle)}) {
      FilterError error;
      const std::optional<RowFilter> filter = RowFilter::Compile(expression, &error);
      ASSERT_TRUE(filter) << expression;
      for (std::int64_t r = 0; r < store.RowCount(); ++r) {
        ASSERT_TRUE(row.Read(store, r));
        const bool plain = filter->Matches(EveryCell(row));
        ASSERT_EQ(filter->Matches(row), plain) << expression << " row " << r;
      }
    }
  }

  // Rows read side by side (as a sort compares two) each keep their own Data text.
  std::vector<std::int64_t> withData;
  for (std::int64_t r = 0; withData.size() < 2; ++r) {
    const std::string& data = expected[r][ColumnId::Data];
    if (!data.empty() && (withData.empty() || data != expected[withData[0]][ColumnId::Data])) withData.push_back(r);
  }
  PacketFilterRow other(columns);
  ASSERT_TRUE(row.Read(store, withData[0]) && other.Read(store, withData[1]));
  const std::string_view first = row.Cell(ColumnId::Data);
  EXPECT_EQ(other.Cell(ColumnId::Data), expected[withData[1]][ColumnId::Data]);
  EXPECT_EQ(first, expected[withData[0]][ColumnId::Data]);
}
