#pragma once
// The USB half of the platform seam: every operation the library makes on the
// USB stack goes through this interface. One implementation is linked per
// product build (WinUSB in the Windows DLL, libusb natively); tests and the
// simulator provide others. Nothing here is called per pixel: at most a few
// calls per frame read, so the virtual dispatch costs nothing measurable.
//
// The operations are the camera's needs, not any one stack's: find a camera
// of the build's identity, open it and claim its interface, move control and
// bulk transfers, bound a bulk read by a timeout, end pending transfers, and
// release it all again. Each backend decides how its stack does that (device
// interface classes or vendor and product IDs, file handles or library
// contexts) and in which order it releases what it acquired.
//
// Threads: ControlTransfer, ReadPipe, WritePipe and CancelTransfers may run
// at the same time on one claimed interface (a guide pulse or the abort byte
// while the frame read is pending). Close runs only once no transfer is in
// flight on the handles it releases; the library guarantees that.

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

// What became of an operation, in the library's terms. Backends translate
// their stack's codes here, once, at the edge.
enum class UsbStatus : uint8_t {
  kOk = 0,
  kNoDevice,     // nothing to open, or the device left the bus
  kAccess,       // the system refused access (permissions)
  kBusy,         // another program holds the device or its interface
  kTimeout,      // a transfer did not complete within its timeout
  kStall,        // the device refused the request
  kCancelled,    // ended by CancelTransfers or CancelForClose
  kOverflow,     // the device sent more than the buffer holds
  kNoMemory,
  kIo,           // any other failure of the stack or the link
};

// A status and the operating system's own code behind it (errno, a Win32
// error, a libusb error; 0 when there is none).
struct UsbResult {
  UsbStatus status = UsbStatus::kOk;
  int32_t osError = 0;

  constexpr bool ok() const { return status == UsbStatus::kOk; }
  static constexpr UsbResult Ok() { return {}; }
  static constexpr UsbResult Fail(UsbStatus s, int32_t os = 0) { return {s, os}; }
};

// Room for a device path, the terminating NUL included.
inline constexpr uint32_t kDevicePathCapacity = 1024;

// What enumeration tells of one device of the build's identity, without
// claiming it.
struct DeviceInfo {
  char path[kDevicePathCapacity];  // what Open takes
  char location[64];               // where it is, for people ("3-1.4": bus 3, port 1.4); may be ""
  char serial[64];                 // serial-number string; "" when none or unreadable
  uint16_t vendorId;               // 0 when unknown
  uint16_t productId;              // 0 when unknown
  int8_t blank;                    // 1 controller without firmware, 0 programmed, -1 unknown
};

class UsbTransport {
 public:
  virtual ~UsbTransport() = default;

  // Finds the camera to use when the caller names none: the first device of
  // the build's identity (or the one a user selected through the backend's
  // own runtime setting). Stores its path in `path`, cut to at most
  // capacity - 1 characters and NUL-terminated, and returns true. Returns
  // false when none is present; `path` may then hold anything.
  virtual bool FindFirstDevice(char* path, uint32_t capacity) = 0;

  // Lists the present devices of the build's identity in a stable order,
  // the one FindFirstDevice takes first. Writes at most `capacity` entries
  // and returns how many are present (which may be more).
  virtual uint32_t ListDevices(DeviceInfo* out, uint32_t capacity) = 0;

  // Opens the device at `path` for transfers. Returns its handle, or
  // kInvalidHandle when the open failed, with the reason in *why (may be
  // null). Callers store the result untested: ClaimInterface on
  // kInvalidHandle fails.
  virtual Handle Open(const char* path, UsbResult* why) = 0;

  // Claims the camera's interface on an opened device and stores the
  // interface handle in *usb. Fails for kInvalidHandle.
  virtual UsbResult ClaimInterface(Handle device, Handle* usb) = 0;

  // Releases what Open and ClaimInterface acquired, in the order the stack
  // needs. Either handle may be kInvalidHandle (not acquired, or released
  // already).
  virtual void Close(Handle device, Handle usb) = 0;

  // Makes a bulk pipe recover from a stall by itself: a halted pipe is
  // cleared now, and later stalls do not leave it halted. Callers ignore the
  // result.
  virtual UsbResult EnableStallRecovery(Handle usb, uint8_t pipe) = 0;

  // Bounds every later read on `pipe` to `ms` milliseconds (0: no bound).
  // Callers ignore the result.
  virtual UsbResult SetTransferTimeout(Handle usb, uint8_t pipe, uint32_t ms) = 0;

  // One control transfer on the default pipe. The data stage moves exactly
  // `length` bytes from or into `data` (none when length is 0); the
  // direction is bit 7 of setup.requestType.
  virtual UsbResult ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                                    uint32_t length) = 0;

  // One bulk IN read of up to `length` bytes into `buffer`, as one transfer,
  // bounded by the pipe's timeout. A short transfer (the device ended it
  // early) is a success; *transferred receives the byte count either way.
  virtual UsbResult ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                             uint32_t* transferred) = 0;

  // One bulk OUT write.
  virtual UsbResult WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                              uint32_t* transferred) = 0;

  // Ends the bulk transfers pending on `usb` at this moment, from any
  // thread: each reports kCancelled. Control transfers are left to complete
  // (they are short, and a guide command racing a stop must have a known
  // outcome). That is all it does: a cancel with nothing
  // pending changes nothing, and every transfer started afterwards runs as
  // it would have without the cancel (the camera API stops an exposure so,
  // and goes on using the device). A transfer that completes while the
  // cancel arrives may report its own result instead. A backend whose reads
  // end only by the device's answer or their timeout (WinUSB as the DLL
  // drives it) does nothing: the library bounds every read, so nothing
  // waits forever.
  virtual void CancelTransfers(Handle usb) = 0;

  // The device is being closed while transfers still hold `usb` (a close
  // during a frame read; Close follows once the last of them has ended).
  // Ends the pending transfers as CancelTransfers does, and may refuse with
  // kCancelled every bulk transfer started on `usb` afterwards, so that a
  // read issued just after the close cannot run on to its timeout. Control
  // transfers still go through: a controller restart once begun is
  // finished, or the camera's program would stay held.
  virtual void CancelForClose(Handle usb) { CancelTransfers(usb); }
};

}  // namespace tarncam
