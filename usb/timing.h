#pragma once
// The protocol's fixed waits and the margins the library adds to them, side
// by side: the open, the programming, the readout and the close each use
// some, and the longest a readout can outlive its session is built from
// them (AbandonedReadoutWaitMs).

#include <cstdint>

namespace tarncam {

// After a register block, the sensor takes this long to apply it.
inline constexpr uint32_t kProgramSettleMs = 500;
// A frame read's timeout: the exposure the camera times itself, plus this.
inline constexpr uint32_t kReadTimeoutMarginMs = 1000;
// A retry's controller restart: the CPU is held in reset this long, then its
// program is given this long to start again.
inline constexpr uint32_t kResetHoldMs = 50;
inline constexpr uint32_t kRestartWaitMs = 3000;
// A close with an exposure running gives the readout this long to wind down
// after the abort.
inline constexpr uint32_t kAbortSettleMs = 500;
// A controller that has just taken its firmware restarts and reappears on
// the bus within this.
inline constexpr uint32_t kRenumerationWaitMs = 5000;

}  // namespace tarncam
