// The one reader of capture files that the file device and the file loader share: every
// byte order and time unit of a classic file, records past the snapshot length (where
// libpcap takes over), and the offset of each record, by which a frame is read again.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/formats/capture_file_reader.h"

namespace fs = std::filesystem;

namespace {

struct Frame {
  std::uint32_t seconds, fraction, length, originalLength;
};

// A classic file written byte by byte in the given order; offsets receives where each
// record starts.
std::vector<std::uint8_t> ClassicFile(bool bigEndian, bool nanoseconds, std::uint32_t snapLength,
                                      const std::vector<Frame>& frames, std::vector<std::uint64_t>& offsets) {
  std::vector<std::uint8_t> out;
  auto put = [&](std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> 8 * (bigEndian ? width - 1 - i : i)));
  };
  put(nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4, 4);
  put(2, 2);
  put(4, 2);
  put(0, 4);
  put(0, 4);
  put(snapLength, 4);
  put(1, 4);
  for (const Frame& frame : frames) {
    offsets.push_back(out.size());
    put(frame.seconds, 4);
    put(frame.fraction, 4);
    put(frame.length, 4);
    put(frame.originalLength, 4);
    for (std::uint32_t i = 0; i < frame.length; ++i) out.push_back(static_cast<std::uint8_t>(offsets.size() + i));
  }
  return out;
}

// The bytes as the test's own file; false when it cannot be written.
bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

std::string TemporaryPath() {
  return (fs::temp_directory_path() / ("orrisvane-reader-" + std::to_string(::getpid()))).string();
}

TEST(CaptureFileReader, ReadsEveryLayoutWithTheOffsetOfEachRecord) {
  struct Case {
    const char* name;
    bool bigEndian, nanoseconds;
    std::uint32_t snapLength;
    std::size_t cutLast;        // bytes taken off the end of the file
    std::size_t wholeRecords;   // records read before the end
    std::int64_t secondFrameNs;
  };
  // The second frame is 3 s and a fraction of 250,000 units after the epoch.
  const std::vector<Case> cases = {
      {"little-endian, microseconds", false, false, 65535, 0, 4, 3'250'000'000},
      {"big-endian, microseconds", true, false, 65535, 0, 4, 3'250'000'000},
      {"little-endian, nanoseconds", false, true, 65535, 0, 4, 3'000'250'000},
      {"big-endian, nanoseconds", true, true, 65535, 0, 4, 3'000'250'000},
      {"a record past the snapshot length, then libpcap", true, false, 100, 0, 4, 3'250'000'000},
      {"cut inside the last record", false, true, 65535, 10, 3, 3'000'250'000},
  };
  const std::vector<Frame> frames = {{1, 0, 60, 60}, {3, 250'000, 90, 1514}, {4, 1, 300, 300}, {5, 2, 64, 64}};
  const std::string path = TemporaryPath();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint8_t> bytes = ClassicFile(c.bigEndian, c.nanoseconds, c.snapLength, frames, offsets);
    bytes.resize(bytes.size() - c.cutLast);
    ASSERT_TRUE(WriteFile(path, bytes));
    std::string why;
    std::unique_ptr<CaptureFileReader> reader = CaptureFileReader::Open(path, &why);
    ASSERT_TRUE(reader) << why;
    std::vector<CaptureFileReader::Record> records;
    CaptureFileReader::Record record;
    while (reader->Next(record, &why)) {
      records.push_back(record);
      // The bytes are the record's own, cut to the snapshot length.
      const std::size_t i = records.size() - 1;
      ASSERT_LT(i, frames.size());
      EXPECT_EQ(record.length, std::min(frames[i].length, c.snapLength));
      EXPECT_EQ(record.originalLength, frames[i].originalLength);
      EXPECT_EQ(record.offset, offsets[i]);
      EXPECT_EQ(std::vector<std::uint8_t>(record.data, record.data + record.length),
                std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(offsets[i] + 16),
                                          bytes.begin() + static_cast<long>(offsets[i] + 16 + record.length)));
    }
    ASSERT_EQ(records.size(), c.wholeRecords);
    EXPECT_EQ(records[1].timestampNs, c.secondFrameNs);
    EXPECT_EQ(why.empty(), c.cutLast == 0) << why;
    if (c.cutLast == 0) {
      EXPECT_EQ(reader->Position(), bytes.size());
    }
  }
  fs::remove(path);
}

}  // namespace
