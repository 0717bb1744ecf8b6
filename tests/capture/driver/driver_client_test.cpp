// The driver client's ten operations against the scripted device: request codes, buffers
// and byte counts as the device sees them, and every failure path.

#include <gtest/gtest.h>

#include <thread>

#include "capture/driver/driver_client.h"
#include "tests/support/fake_device.h"

namespace {

using Call = FakeDeviceScript::Call;
using Bytes = std::vector<std::uint8_t>;

class DriverClientTest : public ::testing::Test {
 protected:
  DriverClientTest() { RegisterFakeDevice(table, script); }

  AdapterPtr Open(const char* key = "0002") { return OpenAdapter(table, key, &why); }

  std::vector<Call> CallsWith(std::uint32_t code) {
    std::vector<Call> out;
    for (auto& c : script->Calls())
      if (c.code == code) out.push_back(c);
    return out;
  }

  std::shared_ptr<FakeDeviceScript> script = std::make_shared<FakeDeviceScript>();
  DeviceTable table;
  std::string why;
};

TEST_F(DriverClientTest, OpenBindsTheKeyNameWithTheDriverOpenArguments) {
  AdapterPtr adapter = Open("0002");
  ASSERT_TRUE(adapter);
  EXPECT_TRUE(why.empty());

  ASSERT_EQ(script->opens.size(), 1u);
  EXPECT_EQ(script->opens[0].access, 0xC0000000u);
  EXPECT_EQ(script->opens[0].shareMode, 0u);
  EXPECT_EQ(script->opens[0].creation, 3u);
  EXPECT_EQ(script->opens[0].flags, 0x44000080u);

  auto calls = script->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].code, 0x4000001Cu);
  EXPECT_EQ(calls[0].input, (Bytes{'0', '0', '0', '2'}));  // no terminating zero
  EXPECT_EQ(calls[0].outputSize, 0u);
  EXPECT_TRUE(calls[0].hadByteCount);

  EXPECT_STREQ(adapter->keyName, "0002");
  EXPECT_STREQ(adapter->devicePath, "\\\\.\\ZPACKET.VXD");
  EXPECT_EQ(script->openDevices, 1);
}

TEST_F(DriverClientTest, KeyNameCopyStopsAtFourCharactersButTheBindCarriesTheWholeName) {
  script->refusedKeys.insert("00021");
  AdapterPtr longName = Open("00021");
  EXPECT_FALSE(longName);  // not silently bound to adapter "0002"
  EXPECT_EQ(CallsWith(request_code::Bind).back().input, (Bytes{'0', '0', '0', '2', '1'}));

  AdapterPtr shortName = Open("7");
  ASSERT_TRUE(shortName);
  EXPECT_STREQ(shortName->keyName, "7");
  EXPECT_EQ(CallsWith(request_code::Bind).back().input, (Bytes{'7'}));
}

TEST_F(DriverClientTest, OpenFailsWithoutLeavingAnythingWhenTheDeviceIsMissing) {
  script->failOpen = true;
  EXPECT_FALSE(Open());
  EXPECT_EQ(script->openDevices, 0);
  EXPECT_TRUE(script->Calls().empty());

  DeviceTable empty;
  EXPECT_FALSE(OpenAdapter(empty, "0002"));
}

TEST_F(DriverClientTest, RefusedBindClosesTheDeviceAndPassesTheReasonOn) {
  script->refusedKeys.insert("0009");
  script->failureReason = "no such interface";
  why = "stale text";
  EXPECT_FALSE(Open("0009"));
  EXPECT_EQ(why, "no such interface");
  EXPECT_EQ(script->openDevices, 0);
  EXPECT_TRUE(CallsWith(request_code::Unbind).empty());  // nothing was bound
}

TEST_F(DriverClientTest, CloseUnbindsAndClosesEvenWhenTheUnbindFails) {
  AdapterPtr adapter = Open();
  ASSERT_TRUE(adapter);
  script->failingCodes.insert(request_code::Unbind);
  CloseAdapter(std::move(adapter));
  auto unbinds = CallsWith(request_code::Unbind);
  ASSERT_EQ(unbinds.size(), 1u);
  EXPECT_TRUE(unbinds[0].input.empty());
  EXPECT_EQ(unbinds[0].outputSize, 0u);
  EXPECT_EQ(script->openDevices, 0);
}

TEST_F(DriverClientTest, FilterGoesAsFourLittleEndianBytes) {
  AdapterPtr adapter = Open();
  EXPECT_TRUE(SetPacketFilter(adapter.get(), PromiscuousFilter));
  EXPECT_TRUE(SetPacketFilter(adapter.get(), 0x12345678));
  auto filters = CallsWith(0x40000024);
  ASSERT_EQ(filters.size(), 2u);
  EXPECT_EQ(filters[0].input, (Bytes{0x20, 0, 0, 0}));
  EXPECT_EQ(filters[1].input, (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(filters[0].outputSize, 0u);

  script->failingCodes.insert(request_code::SetFilter);
  script->failureReason = "promiscuous mode not supported";
  EXPECT_FALSE(SetPacketFilter(adapter.get(), PromiscuousFilter));
  EXPECT_EQ(adapter->lastError, "promiscuous mode not supported");
  EXPECT_FALSE(SetPacketFilter(nullptr, PromiscuousFilter));
}

TEST_F(DriverClientTest, GetAddressRefusesSmallOrMissingBuffersWithoutAsking) {
  AdapterPtr adapter = Open();
  std::uint8_t buffer[8];
  std::uint32_t count = 0;
  EXPECT_FALSE(GetAddress(adapter.get(), buffer, 5, &count));
  EXPECT_FALSE(GetAddress(adapter.get(), nullptr, 6, &count));
  EXPECT_FALSE(GetAddress(adapter.get(), buffer, 6, nullptr));
  EXPECT_TRUE(CallsWith(request_code::StationAddress).empty());

  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  ASSERT_TRUE(GetAddress(adapter.get(), buffer, 6, &count));
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(Bytes(buffer, buffer + 8), (Bytes{0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56, 0xEE, 0xEE}));
  auto asked = CallsWith(0x40000014);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(asked[0].input.empty());
  EXPECT_EQ(asked[0].outputSize, 6u);

  script->failingCodes.insert(request_code::StationAddress);
  EXPECT_FALSE(GetAddress(adapter.get(), buffer, 6, &count));
}

TEST_F(DriverClientTest, QueryDescriptionZeroesTheCountFirst) {
  AdapterPtr adapter = Open();
  char text[1520];
  std::uint32_t count = 77;
  ASSERT_TRUE(QueryDescription(adapter.get(), text, sizeof text, &count));
  EXPECT_STREQ(text, "fake0 (scripted)");
  EXPECT_EQ(CallsWith(0x40000004).back().outputSize, 1520u);

  script->failingCodes.insert(request_code::QueryDescription);
  count = 77;
  EXPECT_FALSE(QueryDescription(adapter.get(), text, sizeof text, &count));
  EXPECT_EQ(count, 0u);
  count = 77;
  EXPECT_FALSE(QueryDescription(nullptr, text, sizeof text, &count));
  EXPECT_EQ(count, 0u);
}

TEST_F(DriverClientTest, RequestsAreNotTiedToAnAdapterAndInitWithoutOneDoesNothing) {
  RequestPtr request = AllocatePacket(nullptr);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->buffer, nullptr);
  EXPECT_EQ(request->length, 0u);
  InitPacket(nullptr, nullptr, 1520);  // must not crash
  std::uint8_t buffer[64];
  InitPacket(request.get(), buffer, sizeof buffer);
  EXPECT_EQ(request->buffer, buffer);
  EXPECT_EQ(request->length, 64u);
  FreePacket(std::move(request));
}

TEST_F(DriverClientTest, ReadFillsTheRequestBufferCutToItsLength) {
  AdapterPtr adapter = Open();
  RequestPtr request = AllocatePacket(adapter.get());
  std::uint8_t buffer[16] = {};
  InitPacket(request.get(), buffer, 10);
  script->PushFrame(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  std::uint32_t count = 0;
  ASSERT_TRUE(ReadPacket(adapter.get(), request.get(), &count));
  EXPECT_EQ(count, 10u);
  EXPECT_EQ(buffer[9], 10);
  EXPECT_EQ(buffer[10], 0);  // nothing past the request's length
  auto reads = CallsWith(0x40000008);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_TRUE(reads[0].input.empty());
  EXPECT_EQ(reads[0].outputSize, 10u);
  EXPECT_TRUE(reads[0].hadByteCount);

  script->failReads = true;
  count = 0;
  EXPECT_FALSE(ReadPacket(adapter.get(), request.get(), &count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(ReadPacket(adapter.get(), nullptr, &count));
}

TEST_F(DriverClientTest, AbortSendsBothRequestsBareAndAlwaysSucceeds) {
  AdapterPtr adapter = Open();
  script->failingCodes = {request_code::AbortFirst, request_code::AbortSecond};
  EXPECT_TRUE(AbortRead(adapter.get()));  // no read pending
  auto calls = script->Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].code, 0x40000010u);
  EXPECT_EQ(calls[2].code, 0x40000018u);
  for (int i = 1; i <= 2; ++i) {
    EXPECT_TRUE(calls[i].input.empty());
    EXPECT_EQ(calls[i].outputSize, 0u);
    EXPECT_FALSE(calls[i].hadByteCount);
  }
  EXPECT_TRUE(AbortRead(nullptr));
}

TEST_F(DriverClientTest, AbortEndsAReadBlockedOnAnotherThread) {
  script->readTimeout = std::chrono::hours(1);
  AdapterPtr adapter = Open();
  RequestPtr request = AllocatePacket(adapter.get());
  std::uint8_t buffer[64];
  InitPacket(request.get(), buffer, sizeof buffer);
  bool result = true;
  std::uint32_t count = 99;
  std::thread reader([&] {
    count = 0;
    result = ReadPacket(adapter.get(), request.get(), &count);
  });
  ASSERT_TRUE(script->WaitForPendingRead());
  EXPECT_TRUE(AbortRead(adapter.get()));
  reader.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(script->ReadEnds(), std::vector{FakeDeviceScript::ReadEnd::Aborted});
}

}  // namespace
