// A stand-in for orrisvane-capture in the agent device's tests. Its own options come
// first (a test puts them in a wrapper script); the rest are the device's arguments.
// It does what its options say:
//
//   --pid FILE          append its process id to FILE
//   --record FILE       append its arguments (the device's), then the settings it read
//                       from standard input, to FILE: one run a line, once it has them
//   --stream FILE       write FILE to standard output, then wait for a signal; with
//                       --settings-on-input, its first two blocks (the header) before
//                       the settings are read and the rest after
//   --pieces N          write the stream N bytes at a time, with --gap ms between
//   --gap MS
//   --then-die          after the stream, end by SIGKILL instead of waiting
//   --ignore-term       ignore SIGTERM
//   --fail-open LINE    before anything, write LINE to standard error and exit with
//                       --status (default 1)
//   --fail LINE         the same once it has its settings
//   --status N
//
// Without --stream it writes nothing and waits.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

void Append(const std::string& path, const std::string& line) {
  std::ofstream out(path, std::ios::app);
  out << line << '\n';
}

bool WriteAll(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(1, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WritePieces(const std::string& bytes, std::size_t pieces, int gapMs) {
  const std::size_t step = pieces ? pieces : bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    if (!WriteAll(bytes.data() + at, std::min(step, bytes.size() - at))) return false;
    if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
  }
  return true;
}

// The end of the stream's first two blocks (section header, interface description):
// block lengths are little-endian 32-bit words at the fourth byte of each block.
std::size_t HeaderEnd(const std::string& bytes) {
  std::size_t at = 0;
  for (int block = 0; block < 2 && at + 8 <= bytes.size(); ++block) {
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(bytes[at + 4 + i]);
    at = std::min(bytes.size(), at + length);
  }
  return at;
}

// NUL-ended words up to an empty one, joined by spaces; what came before the input ended.
std::string ReadSettings() {
  std::string words, word;
  char c;
  while (::read(0, &c, 1) == 1) {
    if (c != '\0') {
      word += c;
      continue;
    }
    if (word.empty()) break;
    words += " " + word;
    word.clear();
  }
  return words;
}

[[noreturn]] void WaitForSignal() {
  for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  std::string pidFile, recordFile, streamFile, failLine, failOpenLine;
  std::size_t pieces = 0;
  int gapMs = 0, status = 1;
  bool thenDie = false, ignoreTerm = false, held = false;
  std::vector<std::string> deviceArguments;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--pid" && hasValue) pidFile = argv[++i];
    else if (arg == "--record" && hasValue) recordFile = argv[++i];
    else if (arg == "--stream" && hasValue) streamFile = argv[++i];
    else if (arg == "--pieces" && hasValue) pieces = std::strtoul(argv[++i], nullptr, 10);
    else if (arg == "--gap" && hasValue) gapMs = std::atoi(argv[++i]);
    else if (arg == "--then-die") thenDie = true;
    else if (arg == "--ignore-term") ignoreTerm = true;
    else if (arg == "--fail" && hasValue) failLine = argv[++i];
    else if (arg == "--fail-open" && hasValue) failOpenLine = argv[++i];
    else if (arg == "--status" && hasValue) status = std::atoi(argv[++i]);
    else {
      if (arg == "--settings-on-input") held = true;
      deviceArguments.push_back(arg);
    }
  }
  if (ignoreTerm) ::signal(SIGTERM, SIG_IGN);
  if (!pidFile.empty()) Append(pidFile, std::to_string(::getpid()));
  if (!failOpenLine.empty()) {
    std::fprintf(stderr, "%s\n", failOpenLine.c_str());
    return status;
  }
  std::string bytes;
  if (!streamFile.empty()) {
    std::ifstream in(streamFile, std::ios::binary);
    bytes.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string line;
  for (const std::string& arg : deviceArguments) line += (line.empty() ? "" : " ") + arg;
  if (held) {
    const std::size_t header = HeaderEnd(bytes);
    if (!WriteAll(bytes.data(), header)) return 1;
    bytes.erase(0, header);
    line += ReadSettings();
  }
  if (!recordFile.empty()) Append(recordFile, line);
  if (!failLine.empty()) {
    std::fprintf(stderr, "%s\n", failLine.c_str());
    return status;
  }
  if (!WritePieces(bytes, pieces, gapMs)) return 1;
  if (thenDie) ::raise(SIGKILL);
  WaitForSignal();
}
