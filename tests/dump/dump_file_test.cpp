// orrisvane-dump -r on capture files the tests write: exact rows, columns, limits and the
// ways a file can be wrong.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "capture/formats/frame_file.h"
#include "tests/support/dump_run.h"

namespace dump_test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string StartupHeader = Line({"Packet Number", "Time", "Bytes", "In/Out", "Protocol", "IP Source Address",
                                        "IP Destination Address", "Upper Layer Protocol", "TCP Connection Number",
                                        "TCP Source Port", "TCP Destination Port", "Winsock Function", "Data"});
const std::string Tcp_ = "TCP (Transmission Control Protocol)";
const std::string Ip_ = "IP (Internet Protocol)";

// One frame of each kind the decoder tells apart, in a connection's order. The local
// station's port is 40000, the remote one's 80.
std::vector<Bytes> SampleFrames() {
  const Link& link = DeviceLink;
  return {
      link.TcpFrame(true, {.sourcePort = 80, .destinationPort = 40000, .sequence = 1000, .acknowledgement = 0,
                           .flags = Syn, .window = 64240, .checksum = 4660}),
      link.TcpFrame(false, {.sourcePort = 80, .destinationPort = 40000, .sequence = 5000, .acknowledgement = 1001,
                            .flags = Syn | Ack, .window = 65160, .checksum = 48879}),
      // TAB, backslash, CR and LF in the payload: control bytes show as '.', the
      // backslash is escaped in the file.
      link.TcpFrame(true, {.sourcePort = 80, .destinationPort = 40000, .sequence = 1001, .acknowledgement = 5001,
                           .flags = Psh | Ack, .window = 65535, .checksum = 0},
                    "GET\t/a\\b\r\n"),
      Ethernet(LocalMac, RemoteMac, EtherTypeIpv4, Ipv4(17, RemoteIp, LocalIp, Udp(53, 5353, Text("dns\x01x")))),
      Pad(Ethernet(Broadcast, RemoteMac, EtherTypeArp, Arp(1, RemoteMac, RemoteIp, Mac{}, LocalIp)), 60),
      Ethernet(LocalMac, RemoteMac, 0x86DD, Bytes(40, 0)),
      Pad(Ethernet(LocalMac, RemoteMac, 46, Bytes(46, 0xAA)), 60),
      Ethernet(LocalMac, RemoteMac, EtherTypeIpv4, Ipv4(1, RemoteIp, LocalIp, Bytes(8, 0))),
  };
}

// The rows of SampleFrames with the start-up columns and --mac LocalMac, written a
// millisecond apart.
std::string SampleRowsLocal() {
  return Line({"0", "0.000000", "54", "out", Ip_, "10.0.0.2", "10.0.0.1", Tcp_, "1", "40000", "80", "connect()", ""}) +
         Line({"1", "0.001000", "54", "in", Ip_, "10.0.0.1", "10.0.0.2", Tcp_, "1", "80", "40000", "[acknowledge]", ""}) +
         Line({"2", "0.002000", "64", "out", Ip_, "10.0.0.2", "10.0.0.1", Tcp_, "1", "40000", "80", "send()", "GET./a\\\\b.."}) +
         Line({"3", "0.003000", "47", "in", Ip_, "10.0.0.1", "10.0.0.2", "UDP (User Datagram Protocol)", "", "", "", "", "dns.x"}) +
         Line({"4", "0.004000", "60", "in", "ARP (Address Resolution Protocol)", "", "", "", "", "", "", "",
               "who-has 10.0.0.2 tell 10.0.0.1"}) +
         Line({"5", "0.005000", "54", "in", "IPNG", "", "", "", "", "", "", "", ""}) +
         Line({"6", "0.006000", "60", "in", "", "", "", "", "", "", "", "", ""}) +
         Line({"7", "0.007000", "42", "in", Ip_, "10.0.0.1", "10.0.0.2", "ICMP (Internet Control Message Protocol)", "", "", "",
               "", ""});
}

class DumpFileTest : public DumpTest {
 protected:
  std::string WriteSample() {
    std::string path = PathOf("sample.pcap");
    PcapWriter writer(path);
  std::uint64_t t = 1'700'000'000'000'000;
  for (const Bytes& frame : SampleFrames()) writer.Frame(frame, t += 1000);
    writer.Close();
    return path;
  }
  // count UDP frames whose payloads carry their own number.
  std::string WriteNumbered(const std::string& name, int count) {
    std::string path = PathOf(name);
    PcapWriter writer(path);
    for (int i = 0; i < count; ++i) {
      writer.Frame(Ethernet(LocalMac, RemoteMac, EtherTypeIpv4,
                            Ipv4(17, RemoteIp, LocalIp, Udp(1000, 2000, Text(std::string("n").append(std::to_string(i)))))));
    }
    writer.Close();
    return path;
  }
};

TEST_F(DumpFileTest, StartupColumnsGiveExactRowsAndCount) {
  DumpResult r = Run({"-r", WriteSample(), "--mac", "00:a0:c9:12:34:56"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartupHeader + SampleRowsLocal());
  EXPECT_EQ(r.err, "orrisvane-dump: 8 frames decoded\n");
}

TEST_F(DumpFileTest, PcapngGivesTheSameRows) {
  std::string path = PathOf("sample.pcapng");
  PcapngWriter writer(path);
  std::uint64_t t = 1'700'000'000'000'000;
  for (const Bytes& frame : SampleFrames()) writer.Frame(frame, t += 1000);
  writer.Close();
  DumpResult r = Run({"-r", path, "--mac=00:A0:C9:12:34:56"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, StartupHeader + SampleRowsLocal());
}

// A file of several interfaces: each frame's Interface cell, and direction by its address.
TEST_F(DumpFileTest, APcapngOfSeveralInterfacesHasInterfaceCellsAndDirectionPerInterface) {
  const frame_file::FileInterface interfaces[] = {{"eth0", "", LocalMac}, {"web1: eth0", "", RemoteMac}};
  std::vector<std::uint8_t> bytes;
  frame_file::AppendPcapngHeader(bytes, interfaces);
  for (const auto& [id, fromLocal] : {std::pair(0u, true), std::pair(1u, true), std::pair(1u, false)})
    frame_file::AppendPcapngPacket(bytes, 1'000, 0, DeviceLink.UdpFrame(fromLocal, 1, 2, "x"), id);
  std::ofstream(PathOf("two"), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const auto row = [](const char* number, const char* inOut, const char* from, const char* to, const char* interface) {
    return Line({number, "0.000000", "43", inOut, Ip_, from, to, "UDP (User Datagram Protocol)", "", "", "", "", interface, "x"});
  };
  DumpResult r = Run({"-r", PathOf("two")});
  EXPECT_EQ(r.out, StartupHeader.substr(0, StartupHeader.rfind('\t')) + "\tInterface\tData\n" +
                       row("0", "out", "10.0.0.2", "10.0.0.1", "eth0") + row("1", "in", "10.0.0.2", "10.0.0.1", "web1: eth0") +
                       row("2", "out", "10.0.0.1", "10.0.0.2", "web1: eth0"));
}

TEST_F(DumpFileTest, CaptureFilterPassesOverRecordsInBothFileFormats) {
  std::string pcapng = PathOf("sample-filter.pcapng");
  PcapngWriter writer(pcapng);
  std::uint64_t t = 1'700'000'000'000'000;
  for (const Bytes& frame : SampleFrames()) writer.Frame(frame, t += 1000);
  writer.Close();
  // Packet numbers count the frames taken, as a live adapter's kernel filter would have
  // it, and the time counts from the first of them.
  const std::string expected =
      Line({"0", "0.000000", "47", "in", Ip_, "10.0.0.1", "10.0.0.2", "UDP (User Datagram Protocol)", "", "", "", "", "dns.x"}) +
      Line({"1", "0.001000", "60", "in", "ARP (Address Resolution Protocol)", "", "", "", "", "", "", "",
            "who-has 10.0.0.2 tell 10.0.0.1"});
  for (const std::string& path : {WriteSample(), pcapng}) {
    DumpResult r = Run({"-r", path, "--mac", "00:a0:c9:12:34:56", "--no-header", "-f", "udp or arp"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected) << path;
    EXPECT_EQ(r.err, "orrisvane-dump: 2 frames decoded\n");
  }
  // Length tests see the frame's length ("greater" means at least).
  DumpResult big = Run({"-r", WriteSample(), "--no-header", "-f", "greater 61"});
  EXPECT_EQ(big.err, "orrisvane-dump: 1 frame decoded\n") << big.out;
}

TEST_F(DumpFileTest, WithoutMacEveryFrameIsIncomingAndEachSideIsItsOwnConnection) {
  DumpResult r = Run({"-r", WriteSample(), "--no-header", "-c", "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            Line({"0", "0.000000", "54", "in", Ip_, "10.0.0.2", "10.0.0.1", Tcp_, "1", "40000", "80", "accept()", ""}) +
                Line({"1", "0.001000", "54", "in", Ip_, "10.0.0.1", "10.0.0.2", Tcp_, "2", "80", "40000", "[acknowledge]", ""}) +
                Line({"2", "0.002000", "64", "in", Ip_, "10.0.0.2", "10.0.0.1", Tcp_, "1", "40000", "80", "recv()",
                      "GET./a\\\\b.."}));
  EXPECT_EQ(r.err, "orrisvane-dump: 3 frames decoded\n");
}

TEST_F(DumpFileTest, AllTwentyColumns) {
  DumpResult r = Run({"-r", WriteSample(), "--mac", "00:A0:C9:12:34:56", "--columns", "11111111111111111111"});
  ASSERT_EQ(r.status, 0);
  std::vector<std::string> lines;
  for (std::size_t begin = 0, end; (end = r.out.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(r.out.substr(begin, end - begin + 1));
  }
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0],
            Line({"Packet Number", "Bytes", "In/Out", "MAC Source Address", "MAC Destination Address",
                  "IEEE802.3 Length", "Protocol", "IP Source Address", "IP Destination Address",
                  "Upper Layer Protocol", "TCP Connection Number", "TCP Source Port", "TCP Destination Port",
                  "TCP Sequence Number", "TCP Acknowledgement Number", "TCP Flags", "TCP Window", "TCP Checksum",
                  "Winsock Function", "Data"}));
  EXPECT_EQ(lines[1], Line({"0", "54", "out", "00:A0:C9:12:34:56", "00:11:22:33:44:55", "", Ip_, "10.0.0.2",
                            "10.0.0.1", Tcp_, "1", "40000", "80", "1000", "0", "0x2", "64240", "4660", "connect()",
                            ""}));
  EXPECT_EQ(lines[2], Line({"1", "54", "in", "00:11:22:33:44:55", "00:A0:C9:12:34:56", "", Ip_, "10.0.0.1",
                            "10.0.0.2", Tcp_, "1", "80", "40000", "5000", "1001", "0x12", "65160", "48879",
                            "[acknowledge]", ""}));
  // IEEE 802.3: the length and nothing of a protocol.
  EXPECT_EQ(lines[7], Line({"6", "60", "in", "00:11:22:33:44:55", "00:A0:C9:12:34:56", "46", "", "", "", "", "", "",
                            "", "", "", "", "", "", "", ""}));
}

TEST_F(DumpFileTest, ColumnChoiceKeepsListOrderAndPacketNumber) {
  // Packet number switched off is switched on again; the rest in ascending column order.
  DumpResult r = Run({"-r", WriteSample(), "--columns", "01000000000000000001", "-c", "5"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Line({"Packet Number", "Bytes", "Data"}) + Line({"0", "54", ""}) + Line({"1", "54", ""}) +
                       Line({"2", "64", "GET./a\\\\b.."}) + Line({"3", "47", "dns.x"}) +
                       Line({"4", "60", "who-has 10.0.0.2 tell 10.0.0.1"}));
  // Characters after the last column do not count (the stored start-up pattern has 24).
  DumpResult startup = Run({"-r", WriteSample(), "--columns", std::string(StartupColumnPattern), "--mac",
                            "00:A0:C9:12:34:56"});
  EXPECT_EQ(startup.out, StartupHeader + SampleRowsLocal());
}

TEST_F(DumpFileTest, LimitWritesExactlyThatManyRowsAcrossBatches) {
  // More frames than one batch holds, so the limit falls inside a later batch.
  const std::string path = WriteNumbered("many.pcap", 3 * static_cast<int>(BatchMaxRows));
  DumpResult r = Run({"-r", path, "--no-header", "--columns", "10000000000000000001", "-c", "5000"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(CountLines(r.out), 5000);
  EXPECT_THAT(r.out, StartsWith(Line({"0", "n0"})));
  EXPECT_THAT(r.out, testing::EndsWith(Line({"4999", "n4999"})));
  EXPECT_EQ(r.err, "orrisvane-dump: 5000 frames decoded\n");

  DumpResult more = Run({"-r", WriteSample(), "-c", "100"});
  EXPECT_EQ(CountLines(more.out), 9);
}

TEST_F(DumpFileTest, EveryFrameOfAFileIsWrittenInOrder) {
  // The end of the file is noticed while the capture thread runs; the last frames must
  // not be lost to the stop. Several runs, as the timing differs each time.
  const int frames = 2 * static_cast<int>(BatchMaxRows) + 7;
  const std::string path = WriteNumbered("all.pcap", frames);
  std::string expected;
  for (int i = 0; i < frames; ++i) expected += Line({std::to_string(i), std::string("n").append(std::to_string(i))});
  for (int run = 0; run < 5; ++run) {
    DumpResult r = Run({"-r", path, "--no-header", "--columns", "10000000000000000001"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out, expected) << "run " << run;
    ASSERT_EQ(r.err, "orrisvane-dump: " + std::to_string(frames) + " frames decoded\n");
  }
}

TEST_F(DumpFileTest, EmptyCaptureGivesTheHeaderOnly) {
  // A capture that holds no frame is a capture of nothing, not an error: the header says
  // what the columns would have been.
  const std::string path = PathOf("empty.pcap");
  PcapWriter(path).Close();
  DumpResult r = Run({"-r", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, StartupHeader);
  EXPECT_EQ(r.err, "orrisvane-dump: 0 frames decoded\n");
}

TEST_F(DumpFileTest, TruncatedFileWritesTheRowsBeforeTheDamage) {
  const std::string path = WriteNumbered("cut.pcap", 5);
  const auto recordSize = 16 + 14 + 20 + 8 + 2;  // header and a frame with a 2-byte payload
  // Cut inside the fourth frame's bytes, then inside the fourth record's header.
  for (std::uintmax_t size : {std::uintmax_t{24 + 3 * recordSize + 20}, std::uintmax_t{24 + 3 * recordSize + 9}}) {
    std::filesystem::resize_file(path, size);
    DumpResult r = Run({"-r", path, "--columns", "10000000000000000001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, Line({"Packet Number", "Data"}) + Line({"0", "n0"}) + Line({"1", "n1"}) + Line({"2", "n2"}));
    EXPECT_EQ(CountLines(r.err), 1) << r.err;
    EXPECT_THAT(r.err, StartsWith("orrisvane-dump: 3 frames decoded; capture file " + path + " is damaged: "));
  }
}

TEST_F(DumpFileTest, UnreadableFilesAreOneLineErrorsWithNothingWritten) {
  const std::string raw = PathOf("raw.pcap");
  {
    PcapWriter writer(raw, LinkTypeRaw);
    writer.Frame(Ipv4(17, RemoteIp, LocalIp, Udp(1, 2, Text("x"))));
  }
  const std::string zeroBytes = PathOf("zero.pcap");
  std::FILE* f = std::fopen(zeroBytes.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  const std::string garbage = PathOf("garbage.pcap");
  f = std::fopen(garbage.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("this is not a capture file at all, just text\n", f);
  std::fclose(f);

  for (const std::string& path : {PathOf("missing.pcap"), raw, zeroBytes, garbage, dir_.string()}) {
    DumpResult r = Run({"-r", path});
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(r.out, "") << path;
    EXPECT_EQ(CountLines(r.err), 1) << r.err;
    EXPECT_THAT(r.err, StartsWith("orrisvane-dump: ")) << r.err;
    EXPECT_THAT(r.err, HasSubstr(path)) << r.err;
  }
}

TEST_F(DumpFileTest, Ipv6AddressesPortsAndSequenceNumbersAgreeWithTshark) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  const Link6& v6 = DecoderLink6;
  const std::string path = PathOf("mixed.pcap");
  PcapWriter writer(path);
  for (const Bytes& frame :
       {DeviceLink.TcpFrame(true, {.sequence = 7}), v6.TcpFrame(false, {.sourcePort = 443, .sequence = 9}, "abc"),
        v6.TcpFrame(true, {.acknowledgement = 12}, "", {{0, {}}, {60, Bytes(6, 0)}}), v6.UdpFrame(false, 5353, 53, "q"),
        DeviceLink.UdpFrame(false, 1, 2, "v4")}) {
    writer.Frame(frame);
  }
  writer.Close();
  // Packet number, IP source and destination, TCP ports, sequence and acknowledgement.
  const DumpResult ours = Run({"-r", path, "--ipv6", "--no-header", "--columns", "100000011001111000000"});
  ASSERT_EQ(ours.status, 0) << ours.err;
  // tshark's fields, the address of either family joined, as the dump's line of the frame.
  const std::string command = "tshark -n -r '" + path +
                              "' -T fields -E occurrence=f -e frame.number -e ip.src -e ipv6.src -e ip.dst -e ipv6.dst "
                              "-e tcp.srcport -e tcp.dstport -e tcp.seq_raw -e tcp.ack_raw 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string theirs;
  for (char line[512]; std::fgets(line, sizeof line, pipe);) {
    std::vector<std::string> f(1);
    for (const char* c = line; *c != '\0' && *c != '\n'; ++c) {
      if (*c == '\t') f.emplace_back(); else f.back().push_back(*c);
    }
    f.resize(9);
    theirs += Line({std::to_string(std::stoi(f[0]) - 1), f[1] + f[2], f[3] + f[4], f[5], f[6], f[7], f[8]});
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(ours.out, theirs);
}

// Frames and bytes each way per TCP connection, as tshark's conversation table counts them,
// with a frame the capture cut short counting its length on the wire.
TEST_F(DumpFileTest, ConversationsAgreeWithTsharkPerConnection) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  const std::string path = PathOf("conv.pcap");
  PcapWriter writer(path);
  std::uint64_t t = 1'700'000'000'000'000;
  const auto tcp = [&](bool out, std::uint16_t local, std::uint8_t flags, std::string_view payload = {},
                       std::uint32_t originalLength = 0) {
    writer.Frame(DeviceLink.TcpFrame(out, {.sourcePort = 80, .destinationPort = local, .flags = flags}, payload), t += 1000,
                 originalLength);
  };
  tcp(true, 40000, Syn);
  tcp(false, 40000, Syn | Ack);
  tcp(false, 40001, Ack, "late");
  tcp(true, 40000, Psh | Ack, "GET /");
  writer.Frame(DeviceLink.UdpFrame(false, 53, 5353, "dns"), t += 1000);
  tcp(false, 40000, Psh | Ack, "cut", 400);
  tcp(true, 40000, Fin | Ack);
  tcp(false, 40000, Fin | Ack);
  tcp(true, 40001, Ack);
  writer.Close();
  const std::string stats = PathOf("conv.tsv");
  const DumpResult r = Run({"-r", path, "--conversations", "--stats-out", stats});
  ASSERT_EQ(r.status, 0) << r.err;
  // "address:port>address:port" -> frames and bytes that way.
  std::map<std::string, std::pair<long, long>> ours, theirs;
  std::ifstream file(stats);
  file.ignore(std::numeric_limits<std::streamsize>::max(), '\n');  // the header
  for (std::string line; std::getline(file, line);) {
    std::vector<std::string> f(1);
    for (char c : line) {
      if (c == '\t') f.emplace_back(); else f.back().push_back(c);
    }
    if (f[1] != "TCP") continue;
    const std::string a = f[2] + ":" + f[3], b = f[4] + ":" + f[5];
    // Where one address pair holds several connections (a pair used again, or both ends
    // taken as remote without --mac), tshark has their sum.
    for (auto [key, frames, bytes] : {std::tuple{a + ">" + b, f[6], f[7]}, std::tuple{b + ">" + a, f[8], f[9]}}) {
      ours[key].first += std::stol(frames);
      ours[key].second += std::stol(bytes);
    }
  }
  std::FILE* pipe = popen(("tshark -n -q -r '" + path + "' -z conv,tcp 2>/dev/null").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  for (char text[512]; std::fgets(text, sizeof text, pipe);) {
    // A <-> B, then frames and bytes B to A, A to B, each count followed by "bytes".
    std::istringstream in(text);
    std::string a, arrow, b, unit;
    long framesBA = 0, bytesBA = 0, framesAB = 0, bytesAB = 0;
    if (!(in >> a >> arrow >> b >> framesBA >> bytesBA >> unit >> framesAB >> bytesAB) || arrow != "<->") continue;
    theirs[a + ">" + b] = {framesAB, bytesAB};
    theirs[b + ">" + a] = {framesBA, bytesBA};
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(ours, theirs);
}

TEST_F(DumpFileTest, IntervalsAgreeWithTshark) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  const std::string path = PathOf("io.pcap");
  PcapWriter writer(path);
  const std::uint64_t start = 1'700'000'000'000'000;
  // Microseconds after the first frame: both sides of a bin edge, an idle gap, a cut frame.
  for (const std::uint64_t at : {0, 300'000, 999'999, 1'000'000, 1'000'001, 4'500'000}) {
    writer.Frame(DeviceLink.UdpFrame(at % 2 == 0, 53, 5353, "dns"), start + at);
  }
  writer.Frame(DeviceLink.TcpFrame(true, {.sourcePort = 80, .destinationPort = 4000, .flags = Ack}, "cut"),
               start + 4'600'000, 1400);
  writer.Close();
  const std::string stats = PathOf("io.tsv");
  const DumpResult r = Run({"-r", path, "--io", "1", "--stats-out", stats});
  ASSERT_EQ(r.status, 0) << r.err;
  // Whole seconds from the first frame -> frames and bytes, both ways together, of the
  // intervals that hold frames.
  std::map<long, std::pair<long, long>> ours, theirs;
  std::ifstream file(stats);
  file.ignore(std::numeric_limits<std::streamsize>::max(), '\n');  // the header
  for (std::string line; std::getline(file, line);) {
    std::istringstream in(line);
    double from = 0, to = 0;
    long framesIn = 0, bytesIn = 0, framesOut = 0, bytesOut = 0;
    ASSERT_TRUE(in >> from >> to >> framesIn >> bytesIn >> framesOut >> bytesOut) << line;
    if (framesIn + framesOut > 0) ours[std::lround(from)] = {framesIn + framesOut, bytesIn + bytesOut};
  }
  std::FILE* pipe = popen(("tshark -n -q -r '" + path + "' -z io,stat,1 2>/dev/null").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  for (char text[512]; std::fgets(text, sizeof text, pipe);) {
    // "| 1 <> 2 | frames | bytes |"
    std::string line(text);
    std::replace(line.begin(), line.end(), '|', ' ');
    std::istringstream in(line);
    double from = 0;
    std::string arrow, to;
    long frames = 0, bytes = 0;
    if (!(in >> from >> arrow >> to >> frames >> bytes) || arrow != "<>") continue;
    if (frames > 0) theirs[std::lround(from)] = {frames, bytes};
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_FALSE(theirs.empty());
  EXPECT_EQ(ours, theirs);
}

TEST_F(DumpFileTest, FullOutputIsAnErrorNotASuccess) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (!full) GTEST_SKIP() << "no /dev/full here";
  std::FILE* err = std::tmpfile();
  const std::vector<std::string> args = {"-r", WriteSample()};
  int status = RunDump(args, full, err, FileEnvironment());
  std::fclose(full);
  std::string errors = Contents(err);
  std::fclose(err);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(errors, "orrisvane-dump: cannot write the rows: No space left on device\n");
}

}  // namespace
}  // namespace dump_test
