// A stand-in for orrisvane-capture in the agent device's tests. Its own options come
// first (a test puts them in a wrapper script); the rest are the device's arguments,
// which it writes to --record. It then does what its options say:
//
//   --pid FILE          append its process id to FILE
//   --record FILE       append its arguments (the device's) to FILE, one run a line
//   --stream FILE       write FILE to standard output, then wait for a signal
//   --pieces N          write the stream N bytes at a time, with --gap ms between
//   --gap MS
//   --then-die          after the stream, end by SIGKILL instead of waiting
//   --ignore-term       ignore SIGTERM
//   --fail LINE         capturing, write LINE to standard error and exit with --status
//                       (default 1)
//   --fail-probe LINE   the same for --probe
//   --status N
//   --mac TEXT          the answer to --probe (default 02:FC:00:00:00:01)
//
// Without --stream it writes nothing and waits.

#include <signal.h>
#include <unistd.h>

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

[[noreturn]] void WaitForSignal() {
  for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  std::string pidFile, recordFile, streamFile, failLine, failProbeLine, mac = "02:FC:00:00:00:01";
  std::size_t pieces = 0;
  int gapMs = 0, status = 1;
  bool thenDie = false, ignoreTerm = false, probe = false;
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
    else if (arg == "--fail-probe" && hasValue) failProbeLine = argv[++i];
    else if (arg == "--status" && hasValue) status = std::atoi(argv[++i]);
    else if (arg == "--mac" && hasValue) mac = argv[++i];
    else {
      if (arg == "--probe") probe = true;
      deviceArguments.push_back(arg);
    }
  }
  if (ignoreTerm) ::signal(SIGTERM, SIG_IGN);
  if (!pidFile.empty()) Append(pidFile, std::to_string(::getpid()));
  if (!recordFile.empty()) {
    std::string line;
    for (const std::string& arg : deviceArguments) line += (line.empty() ? "" : " ") + arg;
    Append(recordFile, line);
  }
  if (const std::string& line = probe ? failProbeLine : failLine; !line.empty()) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return status;
  }
  if (probe) {
    std::printf("%s\n", mac.c_str());
    return 0;
  }
  if (!streamFile.empty()) {
    std::ifstream in(streamFile, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t step = pieces ? pieces : bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += step) {
      if (!WriteAll(bytes.data() + at, std::min(step, bytes.size() - at))) return 1;
      if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    }
  }
  if (thenDie) ::raise(SIGKILL);
  WaitForSignal();
}
