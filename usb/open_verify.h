#pragma once
// Opening a camera for use: open it (a blank controller gets its firmware
// first), then ask which firmware it runs. Every front end opens so and only
// says what the outcome means to its own callers.

#include <cstdint>

#include "usb/device.h"

namespace tarncam {

enum class VerifyStatus : uint8_t {
  kVerified,       // open, running the firmware this library drives
  kNotOpened,      // OpenCamera opened nothing: see `open`
  kQueryFailed,    // open, but the version query's transfer failed: see `query`
  kWrongFirmware,  // open, answering with another version
};

struct VerifiedOpen {
  VerifyStatus status = VerifyStatus::kNotOpened;
  OpenResult open;
  UsbResult query;       // the version query's transfer
  uint32_t version = 0;  // its reply as it stands: the query code when none came back
};

// Opens the camera at `path` (null: the first one found) with OpenCamera and
// asks its firmware version. Whatever the answer, a camera that opened stays
// open: the caller tells its own user first, then releases it (ReleaseCamera)
// unless the status is kVerified.
VerifiedOpen OpenAndVerify(Camera& cam, const char* path);

}  // namespace tarncam
