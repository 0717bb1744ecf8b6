#include "capture/devices/capture_filter.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cctype>

#include "capture/driver/device_base.h"
#include "capture/devices/pcap_device.h"

struct CaptureFilter::Program {
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() { pcap_freecode(&code); }
  bpf_program code{};
};

std::optional<CaptureFilter> CaptureFilter::Compile(const std::string& expression, std::string* error) {
  CaptureFilter filter;
  const bool blank = std::all_of(expression.begin(), expression.end(),
                                 [](unsigned char c) { return std::isspace(c) != 0; });
  if (blank) return filter;
  // A dead handle compiles for the link type and snap length of the live capture, without
  // opening anything.
  PcapHandle dead(pcap_open_dead(DLT_EN10MB, PcapSnapLength));
  if (!dead) {
    if (error) *error = "cannot compile the capture filter: out of memory";
    return std::nullopt;
  }
  auto program = std::make_shared<Program>();
  if (pcap_compile(dead.get(), &program->code, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    if (error) *error = pcap_geterr(dead.get());
    return std::nullopt;
  }
  filter.program_ = std::move(program);
  return filter;
}

bool CaptureFilter::Matches(const std::uint8_t* frame, std::uint32_t captured, std::uint32_t wireLength) const {
  if (!program_) return true;
  pcap_pkthdr header{};
  header.caplen = captured;
  header.len = std::max(wireLength, captured);
  return pcap_offline_filter(&program_->code, &header, frame) != 0;
}

std::optional<std::string> CaptureFilterError(const std::string& expression) {
  std::string error;
  if (CaptureFilter::Compile(expression, &error)) return std::nullopt;
  return error;
}
