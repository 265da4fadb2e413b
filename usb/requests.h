#pragma once
// The camera's wire protocol in one place: every vendor request the library
// issues, with the fixed parts of its setup packet. The simulator decodes with
// the same names, so the two sides cannot drift apart.

#include <cstdint>

namespace tarncam {

// bmRequestType values.
inline constexpr uint8_t kVendorOut = 0x40;    // vendor, host to device, device recipient
inline constexpr uint8_t kVendorIn = 0xC0;     // vendor, device to host
inline constexpr uint8_t kStandardIn = 0x80;   // standard, device to host

// Requests.
inline constexpr uint8_t kReqGetDescriptor = 0x06;  // standard; value 0x0100, 18 bytes in
inline constexpr uint8_t kReqGuide = 0x10;          // out; index = direction, 8 bytes
inline constexpr uint8_t kReqProgram = 0x13;        // out; value/index = exposure, 64-byte block
inline constexpr uint8_t kReqGuideStopBoth = 0x18;  // in; 2 bytes discarded
inline constexpr uint8_t kReqReset = 0x20;          // out; one byte 0x20
inline constexpr uint8_t kReqGuideStopFirst = 0x21;   // in; 2 bytes discarded
inline constexpr uint8_t kReqGuideStopSecond = 0x22;  // in; 2 bytes discarded
inline constexpr uint8_t kReqIdentify = 0x26;       // in; index 1..4, one byte each
inline constexpr uint8_t kReqSetRegister = 0x30;    // out; index = register, value = setting
inline constexpr uint8_t kReqQuery = 0x55;          // in; index = query code, 4 bytes
inline constexpr uint8_t kReqFirmwareLoad = 0xA0;   // out; value = controller address, 1..16 bytes

// Descriptor read at open.
inline constexpr uint16_t kDeviceDescriptorValue = 0x0100;
inline constexpr uint32_t kDeviceDescriptorLength = 18;
inline constexpr int kSerialNumberIndexOffset = 16;  // 0 here marks a blank controller

// Controller memory: the CPU control register; bit 0 holds the CPU in reset.
inline constexpr uint16_t kCpuControlRegister = 0xE600;

// Bulk pipes and the abort byte.
inline constexpr uint8_t kPipeIn = 0x82;
inline constexpr uint8_t kPipeOut = 0x01;
inline constexpr uint8_t kAbortByte = 0x30;

// Firmware version query.
inline constexpr uint32_t kVersionQuery = 99;
inline constexpr uint32_t kExpectedFirmware = 0x0132901D;  // 20090909
inline constexpr uint32_t kUnknownCameraReply = 0xDEAD;

}  // namespace tarncam
