#include "sim/win32/device_file.h"

#include <winternl.h>

#include <cstdio>
#include <cstring>

namespace winsim {
namespace {

// The file's content: a truncating or creating open would lose it.
constexpr char kMarker[] = "tarncam simulated camera: device file for Wine tests\n";
constexpr DWORD kMarkerSize = sizeof kMarker - 1;

// FileModeInformation's flags for synchronous handles (no overlapped I/O).
constexpr ULONG kSynchronousIo = 0x10 | 0x20;  // FILE_SYNCHRONOUS_IO_ALERT | _NONALERT

}  // namespace

const std::string& DeviceFile::Path() {
  if (!path.empty()) return path;
  char dir[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n >= sizeof dir) return path;
  const std::string p =
      std::string(dir) + "tarncam-sim-" + std::to_string(GetCurrentProcessId()) + ".dev";
  HANDLE h =
      CreateFileA(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  DWORD written = 0;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = WriteFile(h, kMarker, kMarkerSize, &written, nullptr) && written == kMarkerSize &&
                  GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return path;
  volume = info.dwVolumeSerialNumber;
  indexHigh = info.nFileIndexHigh;
  indexLow = info.nFileIndexLow;
  path = p;
  return path;
}

void DeviceFile::Remove() {
  if (!path.empty()) DeleteFileA(path.c_str());
}

bool DeviceFile::Check(HANDLE h, std::string* problem) {
  problem->clear();
  BY_HANDLE_FILE_INFORMATION info{};
  if (path.empty() || GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      info.dwVolumeSerialNumber != volume || info.nFileIndexHigh != indexHigh ||
      info.nFileIndexLow != indexLow)
    return false;

  // Access: GENERIC_READ | GENERIC_WRITE maps to exactly the generic file
  // rights; anything more (DELETE, GENERIC_ALL) or less shows here.
  PUBLIC_OBJECT_BASIC_INFORMATION basic{};
  ULONG got = 0;
  if (NtQueryObject(h, ObjectBasicInformation, &basic, sizeof basic, &got) == 0) {
    const ACCESS_MASK want = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    if (basic.GrantedAccess != want) {
      char text[96];
      std::snprintf(text, sizeof text, "device opened with access 0x%lx, not read and write 0x%lx",
                    static_cast<unsigned long>(basic.GrantedAccess),
                    static_cast<unsigned long>(want));
      *problem = text;
      return true;
    }
  }

  // Overlapped: without FILE_FLAG_OVERLAPPED the handle is synchronous.
  IO_STATUS_BLOCK io{};
  ULONG mode = 0;
  if (NtQueryInformationFile(h, &io, &mode, sizeof mode, FileModeInformation) == 0 &&
      (mode & kSynchronousIo) != 0) {
    *problem = "device opened without FILE_FLAG_OVERLAPPED";
    return true;
  }

  // Share mode: a second read/write open sharing read and write succeeds
  // only when the DLL shares both; an open asking for delete access fails
  // unless the DLL shares delete too.
  HANDLE rw = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (rw == INVALID_HANDLE_VALUE) {
    *problem = "device opened without sharing read and write";
    return true;
  }
  CloseHandle(rw);
  HANDLE del =
      CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (del != INVALID_HANDLE_VALUE) {
    CloseHandle(del);
    *problem = "device opened sharing delete access";
    return true;
  }

  // Disposition: OPEN_EXISTING leaves the content; CREATE_ALWAYS and
  // TRUNCATE_EXISTING would have emptied the file.
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size) || size.QuadPart != kMarkerSize) {
    *problem = "device file truncated by the open";
    return true;
  }
  return true;
}

}  // namespace winsim
