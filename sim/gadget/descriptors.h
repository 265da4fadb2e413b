#pragma once
// The USB descriptors the simulated camera presents, in the forms gadgetfs
// takes them. Two identities, as the real controller has: blank (the build's
// blank USB ID, no strings, so its serial-number index, byte 16 of the device
// descriptor, is 0: the library's blank test; one interface without
// endpoints) and programmed (the camera's USB ID, strings, and the bulk
// pipes 0x82 in and 0x01 out on interface 0).

#include <cstdint>
#include <string>
#include <vector>

namespace gadget {

inline constexpr uint8_t kPipeIn = 0x82;
inline constexpr uint8_t kPipeOut = 0x01;
inline constexpr uint16_t kHighSpeedPacket = 512;
inline constexpr uint16_t kFullSpeedPacket = 64;

// What ep0 is written to bind the gadget: the tag 0, the full-speed and the
// high-speed configuration, then the device descriptor.
std::vector<uint8_t> Ep0Setup(bool programmed);

// What an endpoint file is written to enable it: the tag 1, then its
// full-speed and high-speed descriptors (7 bytes each).
std::vector<uint8_t> EndpointSetup(uint8_t address);

// String descriptor `index` of the programmed camera (0: the language list),
// or nothing when there is no such string.
std::vector<uint8_t> StringDescriptor(uint8_t index, const std::string& serial);

}  // namespace gadget
