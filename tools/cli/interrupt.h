#pragma once
// Ctrl-C and SIGTERM: the handler only raises a flag (the one thing a signal
// handler may safely do); the tool's waiting loops look at it and wind the
// camera down themselves.

namespace tarncli {

void InstallInterruptHandler();
bool Interrupted();

// Sleeps up to `ms` milliseconds in short slices; false when interrupted.
bool SleepUnlessInterrupted(unsigned ms);

}  // namespace tarncli
