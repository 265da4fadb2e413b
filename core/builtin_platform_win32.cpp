// The DLL talks to the camera through WinUSB and to Windows directly.

#include "core/builtin_platform.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_transport.h"

namespace tarncam {
namespace {
constinit Win32Transport gTransport;
constinit Win32System gSystem;
}  // namespace

Platform BuiltinPlatform() { return {&gTransport, &gSystem}; }
constinit Platform gExportPlatform{&gTransport, &gSystem};

}  // namespace tarncam
