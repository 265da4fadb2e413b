#include "platform/libusb/device_choice.h"

#include <cstring>

#include <charconv>
#include <cstdio>

#include "tarncam_build_config.h"

namespace tarncam {
namespace {

bool ParseHex16(const std::string& text, uint16_t* value) {
  if (text.size() != 4) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, 16);
  return ec == std::errc() && end == text.data() + text.size();
}

// A decimal number 1..255 that fills the whole of `text`.
bool ParsePortNumber(const std::string& text, uint8_t* value) {
  unsigned n = 0;
  if (text.empty() || text.size() > 3) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n == 0 || n > 255) return false;
  *value = static_cast<uint8_t>(n);
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (;;) {
    const size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end - at));
    if (end == std::string::npos) return parts;
    at = end + 1;
  }
}

// "BUS-PORT[.PORT...]" with every number in range; hubs nest at most 7 deep.
bool IsLocation(const std::string& text) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  uint8_t n = 0;
  if (!ParsePortNumber(text.substr(0, dash), &n)) return false;
  const std::vector<std::string> ports = Split(text.substr(dash + 1), '.');
  if (ports.size() > 7) return false;
  for (const std::string& p : ports)
    if (!ParsePortNumber(p, &n)) return false;
  return true;
}

}  // namespace

std::vector<UsbId> BuildUsbIds() {
  std::vector<UsbId> ids{kBlankUsbId};
  if (!(kCameraUsbId == kBlankUsbId)) ids.push_back(kCameraUsbId);
  return ids;
}

bool ParseUsbIds(const std::string& text, std::vector<UsbId>* ids) {
  std::vector<UsbId> out;
  for (const std::string& pair : Split(text, ',')) {
    const size_t colon = pair.find(':');
    UsbId id{};
    if (colon == std::string::npos || !ParseHex16(pair.substr(0, colon), &id.vendor) ||
        !ParseHex16(pair.substr(colon + 1), &id.product) || out.size() == kMaxUsbIds)
      return false;
    out.push_back(id);
  }
  *ids = std::move(out);
  return true;
}

bool ParseDeviceChoice(const std::string& text, DeviceChoice* choice) {
  DeviceChoice c;
  constexpr std::string_view kSerialPrefix = "serial:";
  if (text.empty()) {
    c.by = DeviceChoice::By::kFirst;
  } else if (text.starts_with(kSerialPrefix)) {
    c.by = DeviceChoice::By::kSerial;
    c.value = text.substr(kSerialPrefix.size());
    if (c.value.empty()) return false;
  } else if (IsLocation(text)) {
    c.by = DeviceChoice::By::kLocation;
    c.value = text;
  } else if (text.find_first_of("-.") != std::string::npos &&
             text.find_first_not_of("0123456789-.") == std::string::npos) {
    // Looks like a location but names no port a device can be on.
    return false;
  } else {
    c.by = DeviceChoice::By::kSerial;
    c.value = text;
  }
  *choice = std::move(c);
  return true;
}

std::string FormatLocation(uint8_t bus, const uint8_t* ports, int count) {
  std::string text = std::to_string(bus);
  for (int i = 0; i < count; ++i) {
    text += i == 0 ? '-' : '.';
    text += std::to_string(ports[i]);
  }
  return text;
}

std::string FormatDevicePath(const std::string& location) { return "usb:" + location; }

bool ParseDevicePath(const char* path, std::string* location) {
  constexpr char kPrefix[] = "usb:";
  if (path == nullptr || std::strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return false;
  DeviceChoice choice;
  if (!ParseDeviceChoice(path + sizeof kPrefix - 1, &choice) ||
      choice.by != DeviceChoice::By::kLocation)
    return false;
  *location = choice.value;
  return true;
}

}  // namespace tarncam
