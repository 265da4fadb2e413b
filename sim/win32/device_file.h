#pragma once
// The camera's device path under Wine: a real file in %TEMP%, so that the
// DLL's own CreateFileA (real kernel32) opens it. Everything the DLL passed
// to CreateFileA that leaves a trace on the handle is read back from the
// handle when it reaches WinUsb_Initialize.

#include <windows.h>

#include <string>

namespace winsim {

class DeviceFile {
 public:
  // Creates the file on first use; its path stays the same for the process.
  // Empty when it cannot be created.
  const std::string& Path();

  // Removes the file (at process end).
  void Remove();

  // Whether `h` is a handle of this file. When it is, *problem says what
  // about the way it was opened breaks the DLL's contract ("" when nothing):
  // access other than read and write, a share mode other than read and
  // write, no overlapped I/O, or the file truncated or created anew.
  bool Check(HANDLE h, std::string* problem);

 private:
  std::string path;
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
};

}  // namespace winsim
