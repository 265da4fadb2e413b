// The vendor requests on the wire: setup packets, data stages and results.

#include <gtest/gtest.h>

#include "fakes/test_helpers.h"
#include "usb/control.h"
#include "usb/requests.h"

namespace tarncam::testing {
namespace {

TEST(ControlTransfer, MapsArgumentsOntoTheSetupPacketInItsOrder) {
  FakeCamera f;
  OpenFresh(f);
  uint8_t data[3] = {1, 2, 3};
  EXPECT_TRUE(ControlTransfer(f.cam, 0x41, 0x77, /*value*/ 0xABCD, /*index*/ 0x1234, data, 3).ok());
  const auto c = f.fake.Controls();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].setup.requestType, 0x41);
  EXPECT_EQ(c[0].setup.request, 0x77);
  EXPECT_EQ(c[0].setup.value, 0xABCD);
  EXPECT_EQ(c[0].setup.index, 0x1234);
  EXPECT_EQ(c[0].setup.length, 3);
  EXPECT_EQ(c[0].data, Bytes({1, 2, 3}));
  EXPECT_EQ(c[0].handle, f.state->usbHandle);
}

TEST(ControlTransfer, ReportsFailuresAndSendsNothingWithoutADevice) {
  FakeCamera f;
  EXPECT_EQ(ControlOut(f.cam, kReqReset, 0, 0, nullptr, 0).status, UsbStatus::kNoDevice);
  EXPECT_EQ(ToTransferResult(ControlIn(f.cam, kReqQuery, 0, 0, nullptr, 0)), kTransferFailed);
  EXPECT_TRUE(f.fake.Log().empty());

  OpenFresh(f);
  f.fake.controlFails = true;
  EXPECT_EQ(ControlOut(f.cam, kReqReset, 0, 0, nullptr, 0).status, UsbStatus::kStall);
  f.fake.controlFails = false;
  EXPECT_EQ(ToTransferResult(ControlOut(f.cam, kReqReset, 0, 0, nullptr, 0)), kTransferOk);
  const auto c = f.fake.Controls();
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(c[0].setup.requestType, kVendorOut);
  EXPECT_EQ(c[1].setup.requestType, kVendorOut);
}

TEST(RequestWrappers, SendRegisterSendsLow16BitsWithoutDataStage) {
  FakeCamera f;
  EXPECT_EQ(exports::SendRegister(f.cam, 5, 6), 1u);  // no device
  EXPECT_TRUE(f.fake.Log().empty());
  OpenFresh(f);
  EXPECT_EQ(exports::SendRegister(f.cam, 0x10005, 0xFFFF0006), 0u);
  const auto c = f.fake.Controls();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].setup.requestType, kVendorOut);
  EXPECT_EQ(c[0].setup.request, 0x30);
  EXPECT_EQ(c[0].setup.index, 5);
  EXPECT_EQ(c[0].setup.value, 6);
  EXPECT_EQ(c[0].setup.length, 0);
  EXPECT_TRUE(c[0].data.empty());
  f.fake.controlFails = true;
  EXPECT_EQ(exports::SendRegister(f.cam, 1, 1), 1u);
}

TEST(RequestWrappers, CameraResetSendsExactlyTheByte0x20) {
  FakeCamera f;
  EXPECT_EQ(exports::CameraReset(f.cam), 1u);
  OpenFresh(f);
  EXPECT_EQ(exports::CameraReset(f.cam), 0u);
  const auto c = f.fake.Controls();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].setup.requestType, 0x40);
  EXPECT_EQ(c[0].setup.request, 0x20);
  EXPECT_EQ(c[0].setup.value, 0);
  EXPECT_EQ(c[0].setup.index, 0);
  EXPECT_EQ(c[0].data, Bytes({0x20}));
}

TEST(RequestWrappers, GetVidPidPacksFourIdentificationBytesLowFirst) {
  FakeCamera f;
  EXPECT_EQ(exports::GetVIDPID(f.cam), 0u);
  EXPECT_TRUE(f.fake.Log().empty());
  OpenFresh(f);
  EXPECT_EQ(exports::GetVIDPID(f.cam), 0x44332211u);
  const auto c = f.fake.Controls();
  ASSERT_EQ(c.size(), 4u);
  for (int n = 0; n < 4; ++n) {
    EXPECT_EQ(c[n].setup.requestType, 0xC0);
    EXPECT_EQ(c[n].setup.request, 0x26);
    EXPECT_EQ(c[n].setup.index, n + 1);
    EXPECT_EQ(c[n].setup.value, 0);
    EXPECT_EQ(c[n].setup.length, 1);
  }
  // A failed byte stays 0; the others still arrive.
  f.fake.onControl = [](const SetupPacket& s, uint8_t*, uint32_t) -> std::optional<bool> {
    if (s.request == 0x26 && s.index == 3) return false;
    return std::nullopt;
  };
  EXPECT_EQ(exports::GetVIDPID(f.cam), 0x44002211u);
}

TEST(RequestWrappers, DebugQueriesLow16BitsAndKeepsUnansweredBytes) {
  FakeCamera f;
  EXPECT_EQ(exports::DEBUG(f.cam, 99), 0xFFFFFFFFu);
  EXPECT_TRUE(f.fake.Log().empty());
  OpenFresh(f);
  EXPECT_EQ(exports::DEBUG(f.cam, 99), 0x0132901Du);
  auto c = f.fake.Controls();
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].setup.requestType, 0xC0);
  EXPECT_EQ(c[0].setup.request, 0x55);
  EXPECT_EQ(c[0].setup.index, 99);
  EXPECT_EQ(c[0].setup.value, 0);
  EXPECT_EQ(c[0].setup.length, 4);

  // No answer: the code comes back as passed, all 32 bits of it.
  f.fake.controlFails = true;
  EXPECT_EQ(exports::DEBUG(f.cam, 0x12340063), 0x12340063u);
  EXPECT_EQ(f.fake.Controls().back().setup.index, 0x0063);

  // A short reply leaves the bytes it did not write.
  f.fake.controlFails = false;
  f.fake.onControl = [](const SetupPacket&, uint8_t* data, uint32_t) -> std::optional<bool> {
    data[0] = 0xAA;
    return true;
  };
  EXPECT_EQ(exports::DEBUG(f.cam, 0x11223344), 0x112233AAu);
}

}  // namespace
}  // namespace tarncam::testing
