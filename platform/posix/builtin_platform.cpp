// The native library's own platform: POSIX services, and no USB backend yet,
// so no camera is found until another transport (the simulator) is chosen.

#include "interface/default_camera.h"
#include "platform/none/no_device_transport.h"
#include "platform/posix/posix_system.h"

namespace tarncam {
namespace {
constinit NoDeviceTransport gTransport;
constinit PosixSystem gSystem;
}  // namespace

Platform BuiltinPlatform() { return {&gTransport, &gSystem}; }
constinit Platform gExportPlatform{&gTransport, &gSystem};

}  // namespace tarncam
