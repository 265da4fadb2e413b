#pragma once
// The one camera behind the exported functions.

#include "core/camera.h"

namespace tarncam {

// The static state record bound to the build's platform.
Camera& DefaultCamera();

// The build's own platform (WinUSB in the DLL, libusb natively). Defined by
// the platform's builtin_platform.cpp, together with gExportPlatform, which
// starts out equal to it.
Platform BuiltinPlatform();
extern Platform gExportPlatform;

// Points the exported functions at another platform: the simulator, or a test
// fake. Not part of the Windows DLL's interface. Call it only while no
// exposure runs.
void UsePlatform(UsbTransport* usb, SystemServices* system);

}  // namespace tarncam
