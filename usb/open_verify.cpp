#include "usb/open_verify.h"

#include "usb/control.h"
#include "usb/requests.h"

namespace tarncam {

VerifiedOpen OpenAndVerify(Camera& cam, const char* path) {
  VerifiedOpen v;
  v.open = OpenCamera(cam, path);
  if (v.open.status != OpenStatus::kOpened) return v;
  v.query = QueryCamera(cam, kVersionQuery, &v.version);
  v.status = !v.query.ok()                    ? VerifyStatus::kQueryFailed
             : v.version != kExpectedFirmware ? VerifyStatus::kWrongFirmware
                                              : VerifyStatus::kVerified;
  return v;
}

}  // namespace tarncam
