#include "platform/win32/win32_transport.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
// clang-format on

#include <cstdlib>
#include <cstring>

#include "platform/path_copy.h"

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

}  // namespace

bool Win32Transport::FindInterfacePath(const Guid& guid, char* path, uint32_t capacity) {
  GUID cls = ToWin32(guid);
  HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, kClassDevsFlags);
  if (set == INVALID_HANDLE_VALUE) return false;

  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof(iface);
  // Only the first camera found is ever used: member 0.
  SetupDiEnumDeviceInterfaces(set, nullptr, &cls, 0, &iface);

  // With no interface present the size query yields no size.
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &required, nullptr);
  bool found = false;
  if (required != 0) {
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(required));
    if (detail != nullptr) {
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, nullptr, nullptr)) {
        CopyPathBounded(detail->DevicePath, path, capacity);
        found = true;
      }
      std::free(detail);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return found;
}

Handle Win32Transport::OpenPath(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                         nullptr);
  return reinterpret_cast<Handle>(h);
}

bool Win32Transport::Initialize(Handle device, Handle* usb) {
  WINUSB_INTERFACE_HANDLE out = nullptr;
  if (!WinUsb_Initialize(H(device), &out)) return false;
  *usb = reinterpret_cast<Handle>(out);
  return true;
}

void Win32Transport::Free(Handle usb) { WinUsb_Free(U(usb)); }

void Win32Transport::CloseDevice(Handle device) { CloseHandle(H(device)); }

bool Win32Transport::SetPipePolicy(Handle usb, uint8_t pipe, PipePolicy policy, uint32_t length,
                                   const void* value) {
  return WinUsb_SetPipePolicy(U(usb), pipe, static_cast<ULONG>(policy), length,
                              const_cast<void*>(value)) != FALSE;
}

bool Win32Transport::ControlTransfer(Handle usb, const SetupPacket& setup, uint8_t* data,
                                     uint32_t length) {
  WINUSB_SETUP_PACKET packet;
  packet.RequestType = setup.requestType;
  packet.Request = setup.request;
  packet.Value = setup.value;
  packet.Index = setup.index;
  packet.Length = setup.length;
  ULONG count = 0;
  return WinUsb_ControlTransfer(U(usb), packet, data, length, &count, nullptr) != FALSE;
}

bool Win32Transport::ReadPipe(Handle usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                              uint32_t* transferred) {
  ULONG count = 0;
  const BOOL ok = WinUsb_ReadPipe(U(usb), pipe, buffer, length, &count, nullptr);
  if (transferred != nullptr) *transferred = count;
  return ok != FALSE;
}

bool Win32Transport::WritePipe(Handle usb, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                               uint32_t* transferred) {
  ULONG count = 0;
  const BOOL ok =
      WinUsb_WritePipe(U(usb), pipe, const_cast<PUCHAR>(buffer), length, &count, nullptr);
  if (transferred != nullptr) *transferred = count;
  return ok != FALSE;
}

}  // namespace tarncam
