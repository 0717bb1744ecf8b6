#pragma once
// A capture filter: a BPF expression in libpcap's language, compiled for Ethernet frames
// of the snap length. Live adapters run it in the kernel (the capture agent sets it);
// capture files run it here over each record.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class CaptureFilter {
 public:
  // Takes every frame.
  CaptureFilter() = default;
  // The compiled expression, or nothing with *error set to libpcap's message when it does
  // not compile. An empty (or blank) expression compiles to a filter that takes every frame.
  static std::optional<CaptureFilter> Compile(const std::string& expression, std::string* error);

  // Whether the filter takes a frame of which captured bytes are at hand out of wireLength.
  bool Matches(const std::uint8_t* frame, std::uint32_t captured, std::uint32_t wireLength) const;

 private:
  struct Program;
  std::shared_ptr<const Program> program_;  // null: every frame
};

// libpcap's message when expression does not compile, or nothing when it does.
std::optional<std::string> CaptureFilterError(const std::string& expression);
