#pragma once
// The one camera behind the exported functions.

#include "core/builtin_platform.h"
#include "core/camera_state.h"

namespace tarncam {

// The static state record bound to gExportPlatform.
Camera& DefaultCamera();

// Points the exported functions at another platform: the simulator, or a test
// fake. Not part of the Windows DLL's interface. Call it only while no
// exposure runs.
void UsePlatform(UsbTransport* usb, SystemServices* system);

}  // namespace tarncam
