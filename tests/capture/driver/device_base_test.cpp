// The one dispatch of the driver's request codes: each code reaches its typed request with
// the input read as the driver writes it, and the answer lands in the caller's buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/driver/device_base.h"

namespace {

// Notes each typed request it is given as a line of text, and answers with fixed values.
class NotingDevice : public DeviceBase {
 public:
  std::vector<std::string> calls;

 private:
  void Abort() override { calls.push_back("abort"); }
  bool Bind(const std::string& keyName) override {
    calls.push_back("bind " + keyName);
    return keyName != "refused" || Fail("refused key");
  }
  void Unbind() override { calls.push_back("unbind"); }
  bool SetPacketFilter(std::uint32_t filter) override {
    calls.push_back("filter " + std::to_string(filter));
    return true;
  }
  bool Read(void* output, std::uint32_t size, std::uint32_t* bytesReturned) override {
    calls.push_back("read");
    static constexpr std::uint8_t frame[] = {1, 2, 3, 4, 5};
    return DeliverFrame(frame, sizeof frame, FrameInfo{7, 60}, output, size, bytesReturned);
  }
  bool StationAddress(std::array<std::uint8_t, 6>& address) override {
    calls.push_back("address");
    address = {0x02, 0xFC, 0, 0, 0, 0x01};
    return true;
  }
  bool Description(std::string& text) override {
    calls.push_back("description");
    text = "eth0";
    return true;
  }
};

TEST(DeviceBaseDispatch, EachRequestCodeReachesItsTypedRequest) {
  struct Case {
    const char* name;
    std::uint32_t code;
    std::vector<std::uint8_t> input;
    std::uint32_t outputSize;
    bool ok;
    std::vector<std::string> calls;   // the typed requests made
    std::vector<std::uint8_t> output;  // the bytes answered (bytesReturned of them)
    std::string error;
  };
  const std::vector<Case> cases = {
      {"first abort", request_code::AbortFirst, {}, 0, true, {"abort"}, {}, ""},
      {"second abort", request_code::AbortSecond, {}, 0, true, {"abort"}, {}, ""},
      {"bind with a key", request_code::Bind, {'0', '0', '0', '2'}, 0, true, {"bind 0002"}, {}, ""},
      {"bind without a key", request_code::Bind, {}, 0, true, {"bind "}, {}, ""},
      {"refused bind", request_code::Bind, {'r', 'e', 'f', 'u', 's', 'e', 'd'}, 0, false, {"bind refused"}, {}, "refused key"},
      {"unbind", request_code::Unbind, {}, 0, true, {"unbind"}, {}, ""},
      {"filter word, little-endian", request_code::SetFilter, {0x20, 0x01, 0, 0}, 0, true, {"filter 288"}, {}, ""},
      {"filter request without its word", request_code::SetFilter, {0x20}, 0, false, {}, {}, "the packet filter request carries no filter"},
      {"read", request_code::Read, {}, 16, true, {"read"}, {1, 2, 3, 4, 5}, ""},
      {"read into a short buffer", request_code::Read, {}, 2, true, {"read"}, {1, 2}, ""},
      {"station address", request_code::StationAddress, {}, 8, true, {"address"}, {0x02, 0xFC, 0, 0, 0, 0x01}, ""},
      {"station address without room", request_code::StationAddress, {}, 5, false, {"address"}, {}, "the station address needs 6 bytes"},
      {"description", request_code::QueryDescription, {}, 32, true, {"description"}, {'e', 't', 'h', '0', 0}, ""},
      {"description cut to the buffer", request_code::QueryDescription, {}, 3, true, {"description"}, {'e', 't', 0}, ""},
      {"unknown code", 0x40000030, {}, 8, false, {}, {}, "unknown request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NotingDevice device;
    std::vector<std::uint8_t> output(c.outputSize, 0xEE);
    std::uint32_t returned = 0;
    const bool ok = device.Control(c.code, c.input.empty() ? nullptr : c.input.data(),
                                   static_cast<std::uint32_t>(c.input.size()), output.data(), c.outputSize, &returned);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(device.calls, c.calls);
    EXPECT_EQ(device.LastError(), c.error);
    if (c.ok) {
      EXPECT_EQ(std::vector<std::uint8_t>(output.begin(), output.begin() + returned), c.output);
    }
  }
}

}  // namespace
