// The INDI driver's parsing of its simulator setup (the TARNCAM_SIM text a
// user puts in the driver's environment) and its fitting of a client's
// subframe request, which arrives from any INDI client as two numbers.
//
// Input: the setup text, then after a NUL byte the requested width and
// height as two raw doubles (NaN and infinities included).

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "indi/driver_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const std::size_t textSize = nul != nullptr ? static_cast<std::size_t>(nul - data) : size;
  const std::string text(reinterpret_cast<const char*>(data), textSize);

  tarnindi::SimulatorSetup setup;
  std::string error;
  if (tarnindi::ParseSimulatorSetup(text, &setup, &error)) {
    FUZZ_CHECK(setup.cameras >= 1 && setup.cameras <= tarnindi::kMaxSimulatedCameras);
  } else {
    FUZZ_CHECK(!error.empty());
  }

  double side[2] = {0, 0};
  if (nul != nullptr) {
    const std::size_t rest = size - textSize - 1;
    std::memcpy(side, nul + 1, rest < sizeof side ? rest : sizeof side);
  }
  const tarnindi::FittedSize f = tarnindi::FitWindowSize(side[0], side[1]);
  if (!f.refused) {
    FUZZ_CHECK(f.width >= 1 && f.width <= tarnindi::kSensorWidth);
    FUZZ_CHECK(f.height >= 1 && f.height <= tarnindi::kSensorHeight);
    FUZZ_CHECK(f.height == tarnindi::kSensorHeight || f.width <= tarnindi::kWindowedRowWidth);
  }
  return 0;
}
