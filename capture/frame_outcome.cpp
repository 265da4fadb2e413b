#include "capture/frame_outcome.h"

namespace tarncam {

FrameVerdict JudgeFrame(const FrameReport& report, const CameraState& s) {
  FrameVerdict v;
  v.cause = report.lastRead;
  if (!report.deviceOpen) return v;
  v.kind = !report.delivered                             ? kFrameFailed
           : report.bytesReceived < report.transferBytes ? kFrameShort
                                                         : kFrameComplete;
  // A pending resend means the camera never took the settings this frame
  // was read with.
  v.unconfirmed = s.forceResend != 0;
  if (v.Read() && v.unconfirmed) v.cause = report.lastResend;
  return v;
}

}  // namespace tarncam
