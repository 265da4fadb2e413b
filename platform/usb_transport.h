#pragma once
// The USB half of the platform seam: every operation the library makes on the
// USB stack goes through this interface. One implementation is linked per
// product build (WinUSB in the Windows DLL); tests and the simulator provide
// others. Nothing here is called per pixel: at most one call per frame read,
// so the virtual dispatch costs nothing measurable.

#include <cstdint>

#include "platform/handles.h"

namespace tarncam {

// The standard 8-byte USB setup packet, fields in host order. Backends put it
// on the wire little-endian.
struct SetupPacket {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
};

// Pipe policies the library sets (WinUSB numbering).
enum class PipePolicy : uint32_t {
  kAutoClearStall = 2,       // one byte: nonzero clears a stall automatically
  kPipeTransferTimeout = 3,  // four bytes: milliseconds, 0 = wait forever
};

class UsbTransport {
 public:
  virtual ~UsbTransport() = default;

  // Looks for present devices exposing the device interface class `guid` and
  // takes interface member 0 only. On success stores its path in `path`, cut
  // to at most capacity - 1 characters and NUL-terminated, and returns true.
  // Returns false when no interface is present or its details cannot be read;
  // `path` may then hold anything.
  virtual bool FindInterfacePath(const Guid& guid, char* path, uint32_t capacity) = 0;

  // Opens the device at `path` for shared read/write, overlapped I/O. Returns
  // the handle as the platform gives it: kInvalidHandle when the open failed
  // (the caller stores it untested).
  virtual Handle OpenPath(const char* path) = 0;

  // Binds the USB interface to an opened device. On success stores the
  // interface handle in *usb and returns true. Must fail (false) for
  // kInvalidHandle.
  virtual bool Initialize(Handle device, Handle* usb) = 0;

  // Releases an interface handle obtained from Initialize.
  virtual void Free(Handle usb) = 0;

  // Closes a device handle obtained from OpenPath.
  virtual void CloseDevice(Handle device) = 0;

  // Sets a pipe policy: `length` bytes at `value`. Callers ignore the result.
  virtual bool SetPipePolicy(Handle usb, uint8_t pipe, PipePolicy policy, uint32_t length,
                             const void* value) = 0;

  // One synchronous control transfer on the default pipe. The data stage moves
  // exactly `length` bytes from or into `data` (none when length is 0); the
  // direction is bit 7 of setup.requestType. Returns true when the transfer
  // completed; the byte count is not reported because no caller uses it.
  virtual bool ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                               uint32_t length) = 0;

  // One synchronous bulk IN read of up to `length` bytes into `buffer`.
  // Returns true when the read completed within the pipe's transfer timeout; a
  // short transfer (the device ended it early) still counts as completed.
  // *transferred receives the byte count.
  virtual bool ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                        uint32_t* transferred) = 0;

  // One synchronous bulk OUT write. Returns true when written.
  virtual bool WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                         uint32_t* transferred) = 0;
};

}  // namespace tarncam
