#include "sim/gadget/descriptors.h"

#include "tarncam_build_config.h"

namespace gadget {
namespace {

// Descriptor types and fields (USB 2.0, chapter 9).
constexpr uint8_t kDeviceType = 1;
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kStringType = 3;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;
constexpr uint8_t kVendorClass = 0xFF;
constexpr uint8_t kBulk = 0x02;
constexpr uint8_t kBusPowered = 0x80;
constexpr uint8_t kMaxPower500mA = 250;  // in 2 mA units
constexpr uint16_t kEnglishUs = 0x0409;

// String indices of the programmed camera; the blank controller has none.
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, static_cast<uint16_t>(x));
  Put16(v, static_cast<uint16_t>(x >> 16));
}

void PutEndpoint(std::vector<uint8_t>& v, uint8_t address, uint16_t packet) {
  v.insert(v.end(), {7, kEndpointType, address, kBulk});
  Put16(v, packet);
  v.push_back(0);  // bInterval: unused for bulk
}

std::vector<uint8_t> Configuration(bool programmed, uint16_t packet) {
  const uint8_t endpoints = programmed ? 2 : 0;
  std::vector<uint8_t> v{9, kConfigurationType};
  Put16(v, static_cast<uint16_t>(9 + 9 + 7 * endpoints));
  v.insert(v.end(), {1, 1, 0, kBusPowered, kMaxPower500mA});
  v.insert(v.end(), {9, kInterfaceType, 0, 0, endpoints, kVendorClass, kVendorClass, kVendorClass,
                     0});
  if (programmed) {
    PutEndpoint(v, kPipeIn, packet);
    PutEndpoint(v, kPipeOut, packet);
  }
  return v;
}

}  // namespace

std::vector<uint8_t> Ep0Setup(bool programmed) {
  std::vector<uint8_t> v;
  Put32(v, 0);
  const std::vector<uint8_t> fs = Configuration(programmed, kFullSpeedPacket);
  const std::vector<uint8_t> hs = Configuration(programmed, kHighSpeedPacket);
  v.insert(v.end(), fs.begin(), fs.end());
  v.insert(v.end(), hs.begin(), hs.end());
  const tarncam::UsbId id = programmed ? tarncam::kCameraUsbId : tarncam::kBlankUsbId;
  // gadgetfs fills in bcdUSB (2.00) and bMaxPacketSize0 itself.
  v.insert(v.end(), {18, kDeviceType, 0x00, 0x02, kVendorClass, kVendorClass, kVendorClass, 64});
  Put16(v, id.vendor);
  Put16(v, id.product);
  Put16(v, 0x0100);  // bcdDevice
  if (programmed) {
    v.insert(v.end(), {kManufacturerString, kProductString, kSerialString});
  } else {
    v.insert(v.end(), {0, 0, 0});
  }
  v.push_back(1);  // bNumConfigurations: gadgetfs takes exactly one
  return v;
}

std::vector<uint8_t> EndpointSetup(uint8_t address) {
  std::vector<uint8_t> v;
  Put32(v, 1);
  PutEndpoint(v, address, kFullSpeedPacket);
  PutEndpoint(v, address, kHighSpeedPacket);
  return v;
}

std::vector<uint8_t> StringDescriptor(uint8_t index, const std::string& serial) {
  std::string text;
  switch (index) {
    case 0: {
      std::vector<uint8_t> v{4, kStringType};
      Put16(v, kEnglishUs);
      return v;
    }
    case kManufacturerString: text = "tarncam"; break;
    case kProductString: text = "tarncam simulated camera"; break;
    case kSerialString: text = serial; break;
    default: return {};
  }
  // UTF-16LE; the texts here are ASCII. At most 126 characters fit.
  if (text.size() > 126) text.resize(126);
  std::vector<uint8_t> v{static_cast<uint8_t>(2 + 2 * text.size()), kStringType};
  for (char c : text) Put16(v, static_cast<uint8_t>(c));
  return v;
}

}  // namespace gadget
