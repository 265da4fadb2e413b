#include "api/status.h"

#include "tarncam_build_config.h"

#include <cstdarg>
#include <cstdio>

namespace tarncam::api {
namespace {

struct Detail {
  tarncam_status status = TARNCAM_OK;
  int32_t osError = 0;
  uint32_t firmwareVersion = 0;
  char message[160] = "";
};

// errno-like: each thread sees the outcome of its own last call.
thread_local Detail tLast;

}  // namespace

tarncam_status FromUsb(UsbStatus s) {
  switch (s) {
    case UsbStatus::kOk:
      return TARNCAM_OK;
    case UsbStatus::kNoDevice:
      return TARNCAM_ERR_NO_DEVICE;
    case UsbStatus::kAccess:
      return TARNCAM_ERR_ACCESS;
    case UsbStatus::kBusy:
      return TARNCAM_ERR_BUSY;
    case UsbStatus::kTimeout:
      return TARNCAM_ERR_TIMEOUT;
    case UsbStatus::kStall:
      return TARNCAM_ERR_PROTOCOL;
    case UsbStatus::kCancelled:
      return TARNCAM_ERR_CANCELLED;
    case UsbStatus::kOverflow:
      return TARNCAM_ERR_OVERFLOW;
    case UsbStatus::kNoMemory:
      return TARNCAM_ERR_NO_MEMORY;
    case UsbStatus::kIo:
      return TARNCAM_ERR_IO;
  }
  return TARNCAM_ERR_IO;
}

tarncam_status Report(tarncam_status status, int32_t osError, const char* message, ...) {
  Detail d;
  d.status = status;
  d.osError = osError;
  if (status != TARNCAM_OK) {
    char what[96];
    va_list args;
    va_start(args, message);
    std::vsnprintf(what, sizeof what, message, args);
    va_end(args);
    if (osError != 0) {
      std::snprintf(d.message, sizeof d.message, "%s: %s (os error %d)", what,
                    tarncam_status_text(status), osError);
    } else {
      std::snprintf(d.message, sizeof d.message, "%s: %s", what, tarncam_status_text(status));
    }
  }
  tLast = d;
  return status;
}

tarncam_status Succeeded() {
  tLast = Detail{};
  return TARNCAM_OK;
}

tarncam_status ReportUsb(const UsbResult& r, const char* what) {
  return Report(FromUsb(r.status), r.osError, "%s", what);
}

void NoteFirmwareVersion(uint32_t version) { tLast.firmwareVersion = version; }

}  // namespace tarncam::api

using namespace tarncam::api;

extern "C" {

const char* tarncam_status_text(tarncam_status status) {
  switch (status) {
    case TARNCAM_OK:
      return "ok";
    case TARNCAM_ERR_INVALID_ARGUMENT:
      return "invalid argument";
    case TARNCAM_ERR_OUT_OF_RANGE:
      return "value out of range";
    case TARNCAM_ERR_NO_DEVICE:
      return "no such camera, or it has gone away";
    case TARNCAM_ERR_ACCESS:
      return "access to the device refused";
    case TARNCAM_ERR_BUSY:
      return "camera in use";
    case TARNCAM_ERR_EXPOSING:
      return "an exposure is running";
    case TARNCAM_ERR_NO_EXPOSURE:
      return "no exposure started";
    case TARNCAM_ERR_WAIT_TIMEOUT:
      return "the exposure has not ended yet";
    case TARNCAM_ERR_TIMEOUT:
      return "the camera did not answer in time";
    case TARNCAM_ERR_CANCELLED:
      return "cancelled";
    case TARNCAM_ERR_SHORT_FRAME:
      return "the camera ended the frame early";
    case TARNCAM_ERR_PROTOCOL:
      return "the camera refused the request";
    case TARNCAM_ERR_OVERFLOW:
      return "the camera sent more than asked for";
    case TARNCAM_ERR_IO:
      return "input/output error";
    case TARNCAM_ERR_NO_MEMORY:
      return "out of memory";
    case TARNCAM_ERR_WRONG_FIRMWARE:
      return "the camera runs firmware this library does not drive";
    case TARNCAM_ERR_FIRMWARE_LOAD:
      return "the camera did not take its firmware";
    case TARNCAM_ERR_CLOSED:
      return "the camera is being closed";
  }
  return "unknown status";
}

tarncam_status tarncam_last_error(tarncam_error_detail* detail) {
  // Reports without recording: asking must not change the answer.
  const Detail& last = tarncam::api::tLast;
  tarncam_error_detail d{};
  d.struct_size = sizeof d;
  d.status = last.status;
  d.os_error = last.osError;
  d.firmware_version = last.firmwareVersion;
  std::snprintf(d.message, sizeof d.message, "%s", last.message);
  return FillVersioned(detail, d) ? TARNCAM_OK : TARNCAM_ERR_INVALID_ARGUMENT;
}

uint32_t tarncam_library_version(void) { return tarncam::kLibraryVersion; }

}  // extern "C"
