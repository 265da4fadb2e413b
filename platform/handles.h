#pragma once
// Platform handle values as the library stores them. On Win32 these are the
// HANDLE values themselves (32-bit in the DLL); other backends hand out their
// own tokens. All bits set means "none".

#include <cstdint>

namespace tarncam {

using Handle = std::uintptr_t;
inline constexpr Handle kInvalidHandle = ~Handle{0};

// A device interface class GUID, laid out as the Windows GUID structure.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];

  friend constexpr bool operator==(const Guid&, const Guid&) = default;
};

// A USB vendor and product ID pair, as a device descriptor carries it.
struct UsbId {
  uint16_t vendor;
  uint16_t product;

  friend constexpr bool operator==(const UsbId&, const UsbId&) = default;
};

}  // namespace tarncam
