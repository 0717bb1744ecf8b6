#pragma once
// Running RunDump inside a test: its output and errors captured as strings, capture files
// in a folder of the test's own.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "capture/files/capture_file_device.h"
#include "capture/trace/capture_thread.h"
#include "dump/dump.h"
#include "tests/support/capture_files.h"
#include "tests/support/frames.h"

namespace dump_test {

using namespace frames;

struct DumpResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Reads what a stream holds after rewinding it.
inline std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

inline DumpResult RunWith(const std::vector<std::string>& args, const DumpEnvironment& env) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  DumpResult result;
  result.status = RunDump(args, out, err, env);
  result.out = Contents(out);
  result.err = Contents(err);
  std::fclose(out);
  std::fclose(err);
  return result;
}

inline DumpEnvironment FileEnvironment() {
  DumpEnvironment env;
  env.registerCaptureFile = [](DeviceTable& table, std::string path) {
    RegisterCaptureFileDevice(table, std::move(path));
  };
  return env;
}

// One line of tab-separated cells, as the dump writes it.
inline std::string Line(std::initializer_list<std::string> cells) {
  std::string line;
  bool first = true;
  for (const std::string& cell : cells) {
    if (!first) line += '\t';
    first = false;
    line += cell;
  }
  return line + '\n';
}

inline int CountLines(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

// A folder of the test's own, removed afterwards.
class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::path(::testing::TempDir()) / "dump-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  DumpResult Run(std::vector<std::string> args) { return RunWith(args, FileEnvironment()); }

  std::filesystem::path dir_;
};

// Stations of the sample traffic.
inline constexpr const Mac& LocalMac = DeviceLink.localMac;
inline constexpr const Mac& RemoteMac = DeviceLink.remoteMac;
inline constexpr std::uint32_t LocalIp = DeviceLink.localIp;
inline constexpr std::uint32_t RemoteIp = DeviceLink.remoteIp;

}  // namespace dump_test
