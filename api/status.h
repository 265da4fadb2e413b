#pragma once
// The camera API's statuses: from the core's outcomes, in words, and the
// detail of the last call on each thread.

#include <cstdint>

#include "platform/usb_transport.h"
#include "tarncam/tarncam_camera.h"

namespace tarncam::api {

// The status a USB outcome means to a client.
tarncam_status FromUsb(UsbStatus s);

// Records the outcome of the calling thread's current call for
// tarncam_last_error and returns `status`. `message` says what failed
// (printf format); the status text and the OS code are appended.
tarncam_status Report(tarncam_status status, int32_t osError, const char* message, ...)
    __attribute__((format(printf, 3, 4)));

// A call that succeeded.
tarncam_status Succeeded();

// A failure from a USB outcome: Report(FromUsb(r.status), r.osError, ...).
tarncam_status ReportUsb(const UsbResult& r, const char* what);

// Sets the firmware version of the current detail (a wrong-firmware open).
void NoteFirmwareVersion(uint32_t version);

// Copies `value` into a caller's versioned structure: the bytes its
// struct_size covers, keeping that struct_size. False (nothing written) when
// `out` is null or its struct_size is below this version's.
template <typename T>
bool FillVersioned(T* out, const T& value);

}  // namespace tarncam::api

#include <cstring>

namespace tarncam::api {

template <typename T>
bool FillVersioned(T* out, const T& value) {
  if (out == nullptr || out->struct_size < sizeof(T)) return false;
  const uint32_t size = out->struct_size;
  std::memcpy(out, &value, sizeof(T));
  out->struct_size = size;
  return true;
}

}  // namespace tarncam::api
