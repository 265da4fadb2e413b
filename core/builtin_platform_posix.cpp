// The native library's own platform: POSIX services, and libusb to reach a
// real camera. Which library routes its exports elsewhere (the simulator, a
// test fake) decides that through UsePlatform.

#include "core/builtin_platform.h"
#include "platform/posix/builtin_usb.h"
#include "platform/posix/posix_system.h"

namespace tarncam {
namespace {
constinit LibusbTransport gTransport;
constinit PosixSystem gSystem;
}  // namespace

// A camera that left the bus cannot answer the controller resets of a retry:
// natively the readout ends at once instead of spending five reads on it.
Platform BuiltinPlatform() { return {&gTransport, &gSystem, false}; }
constinit Platform gExportPlatform{&gTransport, &gSystem, false, 10000};

LibusbTransport& BuiltinUsb() { return gTransport; }

}  // namespace tarncam
