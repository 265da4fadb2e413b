#pragma once
// The build's own platform: WinUSB and Windows in the DLL, libusb and POSIX
// natively. Defined beside the backend objects it points to
// (builtin_platform_win32.cpp, builtin_platform_posix.cpp), so that the
// exports' platform below is constant-initialised with their addresses.

#include "core/camera_state.h"

namespace tarncam {

Platform BuiltinPlatform();

// The platform the 36 exports reach their camera through; it starts out as
// BuiltinPlatform() and is pointed elsewhere by UsePlatform.
extern Platform gExportPlatform;

}  // namespace tarncam
