#pragma once
// How an exposure's readout ended, judged once for every front end: the
// exports keep it for tarncam_last_frame, the camera API puts it in its
// frame record. Each maps it onto its own numbers and statuses.

#include <cstdint>

#include "capture/readout.h"

namespace tarncam {

struct FrameVerdict {
  // kFrameNone: no device was open and nothing was read.
  FrameOutcome kind = kFrameNone;
  // A device was open, but the camera had not confirmed the settings the
  // readout assumed (their last sending failed, or none since the open): a
  // frame it read is of the camera's settings, maybe not of this window.
  bool unconfirmed = false;
  // What went wrong when no frame of this exposure arrived: for a read on
  // unconfirmed settings the resend that failed, otherwise the last read.
  UsbResult cause;

  // A read delivered: the whole transfer or a short one.
  bool Read() const { return kind == kFrameComplete || kind == kFrameShort; }
  // A read delivered on settings the camera had confirmed: the frame is this
  // exposure's.
  bool Delivered() const { return Read() && !unconfirmed; }
  // The exports' number: the kind, with kFrameUnconfirmed added.
  uint32_t Code() const { return kind | (unconfirmed ? kFrameUnconfirmed : 0u); }
};

// Judges `report`, a readout of `s` that has just ended (before anything
// else is sent: a pending resend in `s` is what the readout left).
FrameVerdict JudgeFrame(const FrameReport& report, const CameraState& s);

}  // namespace tarncam
