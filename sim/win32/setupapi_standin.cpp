// Stand-in setupapi.dll for Wine tests of the unmodified TARNCAM32.dll: the
// four device-setup functions the DLL imports. It finds the simulated camera
// through the winusb.dll stand-in, which holds it, and reports what it sees
// there too, so that one set of counters and one call log cover both DLLs.
//
// Each call checks its arguments against what the DLL's contract fixes: the
// build's interface class GUID, flags DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
// no enumerator and no window, interface member 0 with a 28-byte record, and
// the detail fetched in two steps (a size query without a buffer, then a
// buffer of exactly that size whose size field says 5). The information set
// is a snapshot taken at SetupDiGetClassDevsA, as on Windows.

#define _SETUPAPI_  // we define these functions rather than import them
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "sim/win32/standin_host.h"
#include "tarncam_build_config.h"

namespace {

using winsim::SetupCounter;

constexpr DWORD kFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
constexpr DWORD kInterfaceDataSize = 28;  // SP_DEVICE_INTERFACE_DATA of a 32-bit process
constexpr DWORD kDetailSizeField = 5;     // SP_DEVICE_INTERFACE_DETAIL_DATA_A of a 32-bit process
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kInterfaceDataSize);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);

// The host's exports, found at first use: winusb.dll is loaded by then (the
// DLL under test imports it), and looking it up by name keeps this stand-in
// from pulling in Wine's own winusb.dll should the override be missing.
using FindFn = int(__stdcall*)(const void*, char*, uint32_t);
using NoteFn = void(__stdcall*)(uint32_t, int32_t, const char*, const char*);

struct HostCalls {
  FindFn find = nullptr;
  NoteFn note = nullptr;
};

const HostCalls& Host() {
  static const HostCalls calls = [] {
    HostCalls c;
    HMODULE m = LoadLibraryA("winusb.dll");
    if (m != nullptr) {
      c.find = reinterpret_cast<FindFn>(
          reinterpret_cast<void*>(GetProcAddress(m, "TarncamSimHostFindInterface")));
      c.note = reinterpret_cast<NoteFn>(
          reinterpret_cast<void*>(GetProcAddress(m, "TarncamSimHostNote")));
    }
    return c;
  }();
  return calls;
}

void Note(SetupCounter counter, int32_t delta, const char* entry, const char* violation) {
  if (Host().note != nullptr) Host().note(static_cast<uint32_t>(counter), delta, entry, violation);
}

void Violation(const char* text) { Note(SetupCounter::kClassDevs, 0, nullptr, text); }

// One information set: whether the camera was there when it was taken.
struct DeviceSet {
  bool present = false;
  std::string path;
};

std::mutex gMu;
std::set<DeviceSet*>* gSets = new std::set<DeviceSet*>;  // never destroyed: see winusb stand-in

bool Live(HDEVINFO set) {
  std::lock_guard<std::mutex> g(gMu);
  return gSets->count(static_cast<DeviceSet*>(set)) != 0;
}

bool IsCameraClass(const GUID* guid) {
  return guid != nullptr && std::memcmp(guid, &tarncam::kInterfaceGuid, sizeof(GUID)) == 0;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags) {
  Note(SetupCounter::kClassDevs, 1, "classdevs", nullptr);
  if (!IsCameraClass(classGuid)) Violation("SetupDiGetClassDevsA for another interface class");
  if (enumerator != nullptr || parent != nullptr)
    Violation("SetupDiGetClassDevsA with an enumerator or a window");
  if (flags != kFlags) {
    char text[64];
    std::snprintf(text, sizeof text, "SetupDiGetClassDevsA with flags 0x%lx",
                  static_cast<unsigned long>(flags));
    Violation(text);
  }
  auto* set = new DeviceSet;
  char path[MAX_PATH];
  if (classGuid != nullptr && Host().find != nullptr && Host().find(classGuid, path, sizeof path)) {
    set->present = true;
    set->path = path;
  }
  {
    std::lock_guard<std::mutex> g(gMu);
    gSets->insert(set);
  }
  Note(SetupCounter::kSetsAlive, 1, nullptr, nullptr);
  return static_cast<HDEVINFO>(set);
}

WINBOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                           const GUID* classGuid, DWORD member,
                                           PSP_DEVICE_INTERFACE_DATA data) {
  char entry[32];
  std::snprintf(entry, sizeof entry, "enum %lu", static_cast<unsigned long>(member));
  Note(SetupCounter::kEnumInterfaces, 1, entry, nullptr);
  if (!Live(set)) {
    Violation("SetupDiEnumDeviceInterfaces on an unknown information set");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (deviceInfo != nullptr) Violation("SetupDiEnumDeviceInterfaces with a device element");
  if (!IsCameraClass(classGuid)) Violation("SetupDiEnumDeviceInterfaces for another class");
  if (member != 0) Violation("SetupDiEnumDeviceInterfaces for a member other than 0");
  if (data == nullptr || data->cbSize != kInterfaceDataSize) {
    Violation("SetupDiEnumDeviceInterfaces with an interface record not of size 28");
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const auto* s = static_cast<DeviceSet*>(set);
  if (!s->present || member != 0) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = *classGuid;
  data->Flags = SPINT_ACTIVE;
  // Ties the record to its set, as the real services do.
  data->Reserved = reinterpret_cast<ULONG_PTR>(set);
  return TRUE;
}

WINBOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                DWORD size, PDWORD required,
                                                PSP_DEVINFO_DATA deviceInfo) {
  const bool query = detail == nullptr;
  char entry[32];
  if (query)
    std::snprintf(entry, sizeof entry, "detail-size");
  else
    std::snprintf(entry, sizeof entry, "detail %lu", static_cast<unsigned long>(detail->cbSize));
  Note(query ? SetupCounter::kDetailQueries : SetupCounter::kDetailFetches, 1, entry, nullptr);
  if (!Live(set)) {
    Violation("SetupDiGetDeviceInterfaceDetailA on an unknown information set");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (deviceInfo != nullptr) Violation("SetupDiGetDeviceInterfaceDetailA with a device element");
  if (data == nullptr || data->cbSize != kInterfaceDataSize) {
    Violation("SetupDiGetDeviceInterfaceDetailA with an interface record not of size 28");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* s = static_cast<DeviceSet*>(set);
  // A record the enumeration did not fill (no interface found) names nothing.
  if (data->Reserved != reinterpret_cast<ULONG_PTR>(set) || !s->present) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                        s->path.size() + 1);
  if (query) {
    if (size != 0) Violation("interface detail size query with a nonzero size");
    if (required == nullptr)
      Violation("interface detail size query without a size to fill");
    else
      *required = need;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != kDetailSizeField) {
    Violation("interface detail record whose size field is not 5");
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size != need) {
    char text[80];
    std::snprintf(text, sizeof text, "interface detail buffer of %lu bytes, %lu required",
                  static_cast<unsigned long>(size), static_cast<unsigned long>(need));
    Violation(text);
  }
  if (size < need) {
    if (required != nullptr) *required = need;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, s->path.c_str(), s->path.size() + 1);
  if (required != nullptr) *required = need;
  return TRUE;
}

WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  Note(SetupCounter::kDestroys, 1, "destroy", nullptr);
  {
    std::lock_guard<std::mutex> g(gMu);
    if (gSets->erase(static_cast<DeviceSet*>(set)) == 0) {
      Violation("SetupDiDestroyDeviceInfoList of an unknown information set");
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  delete static_cast<DeviceSet*>(set);
  Note(SetupCounter::kSetsAlive, -1, nullptr, nullptr);
  return TRUE;
}

}  // extern "C"
