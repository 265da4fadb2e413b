// The library needs nothing set up or torn down: its state is static and
// constant-initialised, and it owns no resources at unload.

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/) {
  return TRUE;
}
