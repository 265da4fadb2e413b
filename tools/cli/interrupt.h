#pragma once
// Ctrl-C and SIGTERM only raise a flag; the tool's waiting loops look at it
// and wind the camera down themselves.

namespace tarncli {

// Call before anything starts a thread: the threads started later inherit
// the blocked signals, which one thread of this file takes.
void InstallInterruptHandler();
bool Interrupted();

// Sleeps up to `ms` milliseconds in short slices; false when interrupted.
bool SleepUnlessInterrupted(unsigned ms);

}  // namespace tarncli
