// The libusb backend's runtime settings as users type them: USB IDs, the
// choice of camera, device locations and paths.

#include <gtest/gtest.h>

#include "platform/libusb/device_choice.h"
#include "tarncam_build_config.h"

namespace tarncam {
namespace {

TEST(UsbIds, ListsOfPairsParseAndAnythingElseChangesNothing) {
  std::vector<UsbId> ids = BuildUsbIds();
  EXPECT_EQ(ids, (std::vector<UsbId>{kBlankUsbId, kCameraUsbId}));

  ASSERT_TRUE(ParseUsbIds("04b4:8613,1D50:6099", &ids));
  EXPECT_EQ(ids, (std::vector<UsbId>{{0x04B4, 0x8613}, {0x1D50, 0x6099}}));
  for (const char* bad : {"", "04b4", "04b4:861", "04b4:86133", "04b4:8613,", "xyzw:0001",
                          "04b4-8613", "04b4:8613,1:2", "+4b4:8613", "1:1,1:1,1:1,1:1,1:1"}) {
    EXPECT_FALSE(ParseUsbIds(bad, &ids)) << bad;
  }
  EXPECT_FALSE(ParseUsbIds("0001:0001,0002:0002,0003:0003,0004:0004,0005:0005,0006:0006,"
                           "0007:0007,0008:0008,0009:0009",
                           &ids))
      << "more than eight";
  EXPECT_EQ(ids.size(), 2u);
}

TEST(DeviceChoice, LocationsSerialNumbersAndTheFirst) {
  DeviceChoice c;
  ASSERT_TRUE(ParseDeviceChoice("3-1.4.2", &c));
  EXPECT_EQ(c.by, DeviceChoice::By::kLocation);
  EXPECT_EQ(c.value, "3-1.4.2");
  ASSERT_TRUE(ParseDeviceChoice("serial:1-2", &c));  // a serial number may look like anything
  EXPECT_EQ(c.by, DeviceChoice::By::kSerial);
  EXPECT_EQ(c.value, "1-2");
  ASSERT_TRUE(ParseDeviceChoice("SIM00000001", &c));
  EXPECT_EQ(c.by, DeviceChoice::By::kSerial);
  ASSERT_TRUE(ParseDeviceChoice("", &c));
  EXPECT_EQ(c.by, DeviceChoice::By::kFirst);
  // Locations no device can be at are refused rather than taken as serials.
  for (const char* bad : {"serial:", "0-1", "1-0", "1-", "1-2..3", "256-1", "1-1.2.3.4.5.6.7.8"}) {
    EXPECT_FALSE(ParseDeviceChoice(bad, &c)) << bad;
  }
  EXPECT_EQ(c.by, DeviceChoice::By::kFirst);
}

TEST(DevicePath, LocationsAndPathsRoundTrip) {
  const uint8_t ports[] = {1, 4, 2};
  EXPECT_EQ(FormatLocation(3, ports, 3), "3-1.4.2");
  EXPECT_EQ(FormatLocation(1, ports, 0), "1");
  EXPECT_EQ(FormatDevicePath("3-1.4.2"), "usb:3-1.4.2");
  std::string location;
  ASSERT_TRUE(ParseDevicePath("usb:3-1.4.2", &location));
  EXPECT_EQ(location, "3-1.4.2");
  for (const char* bad : {"usb:", "usb:1-2x", "usb:serial:12", "sim:tarncam/0", "1-2", ""})
    EXPECT_FALSE(ParseDevicePath(bad, &location)) << bad;
}

}  // namespace
}  // namespace tarncam
