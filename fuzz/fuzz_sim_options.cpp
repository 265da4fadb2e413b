// The simulator's option text (the TARNCAM_SIM variable of the Windows
// stand-ins: "key=value,..."), and whatever it accepts run for a moment: an
// accepted text must give a camera that renders frames and moves its stars
// without undefined arithmetic (no NaN or infinite levels getting through).
//
// Input: the option text, then after a NUL byte a guide pulse and how far to
// move the clock.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "sim/sim_camera.h"
#include "sim/options_text.h"
#include "usb/requests.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const std::size_t textSize = nul != nullptr ? static_cast<std::size_t>(nul - data) : size;
  std::string text(reinterpret_cast<const char*>(data), textSize);
  fuzz::Input in(data + textSize, size - textSize);
  in.U8();  // the NUL

  std::string taken;
  sim::TakeOption(&text, "path", &taken);
  sim::Options o;
  std::string error;
  if (!sim::ParseOptions(text, &o, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(sim::ValidOptions(o));
  if (o.star_count > 200) o.star_count = 200;  // keeps one run short; counts are checked above

  sim::VirtualClock clock;
  sim::SimCamera cam(o, clock);
  char path[64];
  if (!cam.FindFirstDevice(path, sizeof path)) return 0;
  const tarncam::Handle device = cam.Open(path, nullptr);
  tarncam::Handle usb = tarncam::kInvalidHandle;
  if (!cam.ClaimInterface(device, &usb).ok()) return 0;
  uint8_t pulse[8];
  for (uint8_t& b : pulse) b = static_cast<uint8_t>(in.U8());
  cam.ControlTransfer(usb, {tarncam::kVendorOut, tarncam::kReqGuide, 0, static_cast<uint16_t>(in.U8()), 8},
                      pulse, 8);
  clock.Advance(uint64_t{in.U32()} * 1000);
  std::vector<uint8_t> frame(4096);
  uint32_t got = 0;
  cam.ReadPipe(usb, tarncam::kPipeIn, frame.data(), static_cast<uint32_t>(frame.size()), &got);
  FUZZ_CHECK(got <= frame.size());
  cam.Close(device, usb);
  return 0;
}
