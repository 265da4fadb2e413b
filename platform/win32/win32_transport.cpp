#include "platform/win32/win32_transport.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
// clang-format on

#include <cstdlib>
#include <cstring>

#include "platform/path_copy.h"
#include "tarncam_build_config.h"

namespace tarncam {
namespace {

// The record sizes the device-setup services check, as a 32-bit process
// passes them. A 64-bit build would pass 32 and 8 and must not pretend.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit SetupAPI layout expected");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "32-bit SetupAPI layout expected");
static_assert(sizeof(Handle) == sizeof(HANDLE));

constexpr DWORD kClassDevsFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
static_assert(kClassDevsFlags == 0x12);

GUID ToWin32(const Guid& g) {
  GUID out;
  static_assert(sizeof(out) == sizeof(g));
  std::memcpy(&out, &g, sizeof(out));
  return out;
}

HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(h); }
WINUSB_INTERFACE_HANDLE U(Handle h) { return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(h); }

// WinUSB pipe policies the library sets.
constexpr ULONG kAutoClearStall = 2;       // one byte: nonzero clears a stall automatically
constexpr ULONG kPipeTransferTimeout = 3;  // four bytes: milliseconds, 0 = wait forever

// The system's last error, in the library's terms.
UsbResult LastError() {
  const DWORD e = GetLastError();
  UsbStatus s = UsbStatus::kIo;
  switch (e) {
    case ERROR_SEM_TIMEOUT: s = UsbStatus::kTimeout; break;
    case ERROR_OPERATION_ABORTED: s = UsbStatus::kCancelled; break;
    case ERROR_ACCESS_DENIED: s = UsbStatus::kAccess; break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: s = UsbStatus::kBusy; break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NO_SUCH_DEVINST: s = UsbStatus::kNoDevice; break;
    case ERROR_GEN_FAILURE: s = UsbStatus::kStall; break;  // WinUSB's word for a refused request
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: s = UsbStatus::kNoMemory; break;
    default: break;
  }
  return UsbResult::Fail(s, static_cast<int32_t>(e));
}

UsbResult Result(BOOL ok) { return ok != FALSE ? UsbResult::Ok() : LastError(); }

// Interface `member` of the build's device interface class: its path into
// `path`. False when there is no such member or its details cannot be read.
bool InterfacePath(HDEVINFO set, GUID& cls, DWORD member, char* path, uint32_t capacity) {
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof(iface);
  SetupDiEnumDeviceInterfaces(set, nullptr, &cls, member, &iface);

  // With no interface present the size query yields no size.
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &required, nullptr);
  if (required == 0) return false;
  bool found = false;
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(required));
  if (detail != nullptr) {
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, nullptr, nullptr)) {
      CopyPathBounded(detail->DevicePath, path, capacity);
      found = true;
    }
    std::free(detail);
  }
  return found;
}

// Four hex digits after `key` in a device path ("vid_1234"), or 0.
uint16_t HexAfter(const char* path, const char* key) {
  const char* p = path;
  const std::size_t n = std::strlen(key);
  for (; *p != '\0'; ++p) {
    std::size_t i = 0;
    while (i < n && p[i] != '\0' && (p[i] | 0x20) == key[i]) ++i;
    if (i < n) continue;
    uint16_t v = 0;
    for (int d = 0; d < 4; ++d) {
      const char c = static_cast<char>(p[n + d] | 0x20);
      if (c >= '0' && c <= '9') {
        v = static_cast<uint16_t>(v * 16 + (c - '0'));
      } else if (c >= 'a' && c <= 'f') {
        v = static_cast<uint16_t>(v * 16 + (c - 'a' + 10));
      } else {
        return 0;
      }
    }
    return v;
  }
  return 0;
}

}  // namespace

bool Win32Transport::FindFirstDevice(char* path, uint32_t capacity) {
  GUID cls = ToWin32(kInterfaceGuid);
  HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, kClassDevsFlags);
  if (set == INVALID_HANDLE_VALUE) return false;
  // Only the first camera found is used: member 0.
  const bool found = InterfacePath(set, cls, 0, path, capacity);
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

uint32_t Win32Transport::ListDevices(DeviceInfo* out, uint32_t capacity) {
  GUID cls = ToWin32(kInterfaceGuid);
  HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, kClassDevsFlags);
  if (set == INVALID_HANDLE_VALUE) return 0;
  uint32_t count = 0;
  char path[kDevicePathCapacity];
  // The class holds few devices; the bound only guards a broken enumerator.
  for (DWORD member = 0; member < 128 && InterfacePath(set, cls, member, path, sizeof path);
       ++member, ++count) {
    if (count >= capacity) continue;
    DeviceInfo& d = out[count];
    d = DeviceInfo{};
    CopyPathBounded(path, d.path, sizeof d.path);
    d.vendorId = HexAfter(path, "vid_");
    d.productId = HexAfter(path, "pid_");
    d.blank = -1;  // told only by the device descriptor, once opened
  }
  SetupDiDestroyDeviceInfoList(set);
  return count;
}

Handle Win32Transport::Open(const char* path, UsbResult* why) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                         nullptr);
  if (why != nullptr) *why = h == INVALID_HANDLE_VALUE ? LastError() : UsbResult::Ok();
  return reinterpret_cast<Handle>(h);
}

UsbResult Win32Transport::ClaimInterface(Handle device, Handle* usb) {
  WINUSB_INTERFACE_HANDLE out = nullptr;
  // Also asked for an invalid file handle, which it refuses: the open's
  // result is stored untested.
  if (!WinUsb_Initialize(H(device), &out)) return LastError();
  *usb = reinterpret_cast<Handle>(out);
  return UsbResult::Ok();
}

void Win32Transport::Close(Handle device, Handle usb) {
  // The device file first, then the interface bound to it.
  if (device != kInvalidHandle) CloseHandle(H(device));
  if (usb != kInvalidHandle) WinUsb_Free(U(usb));
}

UsbResult Win32Transport::EnableStallRecovery(Handle usb, uint8_t pipe) {
  UCHAR on = 1;
  return Result(WinUsb_SetPipePolicy(U(usb), pipe, kAutoClearStall, sizeof on, &on));
}

UsbResult Win32Transport::SetTransferTimeout(Handle usb, uint8_t pipe, uint32_t ms) {
  ULONG value = ms;
  return Result(WinUsb_SetPipePolicy(U(usb), pipe, kPipeTransferTimeout, sizeof value, &value));
}

UsbResult Win32Transport::ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                                          uint32_t length) {
  WINUSB_SETUP_PACKET packet;
  packet.RequestType = setup.requestType;
  packet.Request = setup.request;
  packet.Value = setup.value;
  packet.Index = setup.index;
  packet.Length = setup.length;
  ULONG count = 0;
  return Result(WinUsb_ControlTransfer(U(usb), packet, data, length, &count, nullptr));
}

UsbResult Win32Transport::ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                   uint32_t* transferred) {
  ULONG count = 0;
  const BOOL ok = WinUsb_ReadPipe(U(usb), pipe, buffer, length, &count, nullptr);
  const UsbResult r = Result(ok);
  if (transferred != nullptr) *transferred = count;
  return r;
}

UsbResult Win32Transport::WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer,
                                    uint32_t length, uint32_t* transferred) {
  ULONG count = 0;
  const BOOL ok =
      WinUsb_WritePipe(U(usb), pipe, const_cast<PUCHAR>(buffer), length, &count, nullptr);
  const UsbResult r = Result(ok);
  if (transferred != nullptr) *transferred = count;
  return r;
}

}  // namespace tarncam
