#pragma once
// The controller firmware table and its download into a blank controller.

#include <cstdint>
#include <span>

#include "core/camera_state.h"

namespace tarncam {

// One record of the image as stored: 22 bytes.
struct FirmwareRecord {
  uint8_t length;  // data bytes used: 1..16 in a data record, 0 in the end record
  uint8_t pad0;
  uint8_t address[2];  // little-endian controller address
  uint8_t type;        // 0 data, 1 end (Intel HEX record types)
  uint8_t data[16];    // bytes beyond length are 0
  uint8_t pad1;
};
static_assert(sizeof(FirmwareRecord) == 22);

inline constexpr std::size_t kFirmwareRecords = 380;  // 379 data records and the end record
extern const FirmwareRecord FirmwareImage[kFirmwareRecords];

// Holds the controller's CPU in reset, writes every data record of `image` in
// table order up to the first record that is not a data record, and releases
// the CPU. No transfer result is examined.
void LoadFirmware(Camera& cam, std::span<const FirmwareRecord> image = FirmwareImage);

}  // namespace tarncam
