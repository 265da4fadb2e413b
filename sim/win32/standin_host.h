#pragma once
// What the setupapi.dll stand-in asks of the winusb.dll stand-in, which holds
// the one simulated camera and the shared counters: the two DLLs are separate
// modules with separate runtimes, so everything they share crosses this
// narrow, plain-C boundary (exported by winusb.dll, imported by setupapi.dll).

#include <cstdint>

namespace winsim {

// Counters the device-setup stand-in bumps; the values index
// TarncamSimHostNote's `counter`.
enum class SetupCounter : uint32_t {
  kClassDevs,
  kEnumInterfaces,
  kDetailQueries,
  kDetailFetches,
  kDestroys,
  kSetsAlive,
};

}  // namespace winsim

extern "C" {
// Looks for the camera's interface of class `guid` (16 bytes, Windows GUID
// layout). When the camera is present, stores the path of its device file
// (NUL-terminated, cut to capacity - 1) and returns 1; otherwise returns 0.
int __stdcall TarncamSimHostFindInterface(const void* guid, char* path, uint32_t capacity);

// Adds `delta` to a counter, appends `logEntry` (without its ';') to the call
// log when it is not null, and records `violation` when it is not null.
void __stdcall TarncamSimHostNote(uint32_t counter, int32_t delta, const char* logEntry,
                                  const char* violation);
}
