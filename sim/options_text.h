#pragma once
// The simulator's options from a line of text ("key=value,..."), as the
// TARNCAM_SIM variable of the Windows stand-ins, tarncam-gadget's --options
// and the INDI driver take them: a camera configured without sharing the
// options struct's layout across compilers or processes.

#include <string>

#include "sim/sim_camera.h"

namespace sim {

// Parses "key=value,key=value" over the simulator's defaults. Returns false
// and says why in *error for an unknown key, a malformed value or options the
// simulator refuses.
bool ParseOptions(const std::string& text, Options* options, std::string* error);

// Removes every item for `key` from the list in *text (options that belong
// to the stand-ins rather than the simulator). Returns whether there was
// one; *value receives the last one's value ("1" for a bare key).
bool TakeOption(std::string* text, const std::string& key, std::string* value);

}  // namespace sim
