#pragma once
// The native library's USB backend itself, for what goes beyond the seam:
// the runtime choice of identity and camera, and listing for people.

#include "platform/libusb/libusb_transport.h"

namespace tarncam {

LibusbTransport& BuiltinUsb();

}  // namespace tarncam
