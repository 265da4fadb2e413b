// The simulated camera's decoding of everything a host sends it: setup
// packets of any type, request, value, index and length with their data
// stages, register blocks with any field values, bulk reads of any length on
// any pipe, bulk writes, timeouts, cancels, closes and reopens, stale and made-up
// handles. The camera will face real USB hosts as a gadget, so no host traffic
// may crash it, read or write outside the buffers the host gave it, or hang.
//
// Input: two bytes of camera options, then operations of one selector byte
// and their parameters. Time is virtual: reads finish at once.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "sim/sim_camera.h"
#include "usb/requests.h"

namespace {

using tarncam::Handle;

// Longest bulk read issued: a full 10-bit frame and some.
constexpr uint32_t kMaxRead = 800 * 1024;
constexpr int kMaxOps = 64;

struct Host {
  sim::SimCamera& cam;
  Handle device = tarncam::kInvalidHandle;
  Handle usb = tarncam::kInvalidHandle;
  std::vector<Handle> closed;  // handles released, which a careless host may still use

  void Open(uint32_t capacity) {
    std::vector<char> path(capacity);
    if (!cam.FindFirstDevice(capacity != 0 ? path.data() : nullptr, capacity)) return;
    FUZZ_CHECK(std::memchr(path.data(), 0, capacity) != nullptr);
    device = cam.Open(path.data(), nullptr);
    Handle u = tarncam::kInvalidHandle;
    if (cam.ClaimInterface(device, &u).ok()) usb = u;
  }
  void Close() {
    cam.Close(device, usb);
    closed.push_back(device);
    closed.push_back(usb);
    device = usb = tarncam::kInvalidHandle;
  }
  // The interface handle, or now and then one that is stale or made up.
  Handle Pick(uint32_t b) {
    switch (b & 7) {
      case 0: return closed.empty() ? tarncam::kInvalidHandle : closed[b % closed.size()];
      case 1: return device;  // a device handle where an interface handle belongs
      case 2: return b * 0x9E3779B1u;
      default: return usb;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  sim::Options o = sim::DefaultOptions();
  const uint32_t flags = in.U8();
  o.scene = (flags & 1) != 0 ? TARNCAM_SIM_SCENE_STARS : TARNCAM_SIM_SCENE_TEST_PATTERN;
  o.colour = (flags >> 1) & 1;
  o.blank_controller = (flags >> 2) & 1;
  o.read_fail_probability = (flags & 8) != 0 ? 0.3 : 0;
  o.short_read_probability = (flags & 16) != 0 ? 0.3 : 0;
  o.control_fail_probability = (flags & 32) != 0 ? 0.1 : 0;
  o.star_count = in.U8();
  o.seed = flags;
  sim::VirtualClock clock;
  sim::SimCamera cam(o, clock);
  Host host{cam, tarncam::kInvalidHandle, tarncam::kInvalidHandle, {}};
  host.Open(64);

  for (int op = 0; op < kMaxOps && !in.Empty(); ++op) {
    const uint32_t sel = in.U8();
    switch (sel % 10) {
      case 0:
      case 1:
      case 2: {  // a control transfer, data stage exactly as long as the packet says
        tarncam::SetupPacket setup{};
        setup.requestType = static_cast<uint8_t>(in.U8());
        setup.request = static_cast<uint8_t>(in.U8());
        setup.value = static_cast<uint16_t>(in.U16());
        setup.index = static_cast<uint16_t>(in.U16());
        // Mostly short stages; now and then any 16-bit length.
        const uint32_t len = (sel & 0x80) != 0 ? in.U16() : in.U8() % 80;
        setup.length = static_cast<uint16_t>(len);
        auto stage = std::make_unique<uint8_t[]>(len);
        const std::size_t given = std::min<std::size_t>(len, in.RestSize());
        if (given != 0) std::memcpy(stage.get(), in.Rest(), given);
        in.Skip(given);
        cam.ControlTransfer(host.Pick(sel >> 4), setup, len != 0 ? stage.get() : nullptr, len);
        break;
      }
      case 3: {  // a bulk read of any length on any pipe
        const uint8_t pipe = (sel & 0x40) != 0 ? static_cast<uint8_t>(in.U8()) : tarncam::kPipeIn;
        // Mostly up to 64 KiB (rendering costs per byte); now and then a
        // whole frame or more.
        const uint32_t len = (sel & 0x80) != 0 ? in.U32() % (kMaxRead + 1) : in.U16();
        auto buf = std::make_unique<uint8_t[]>(len);
        uint32_t got = 0xFFFFFFFF;
        const tarncam::UsbResult r =
            cam.ReadPipe(host.Pick(sel >> 4), pipe, len != 0 ? buf.get() : nullptr, len, &got);
        FUZZ_CHECK(got <= len);
        if (r.status == tarncam::UsbStatus::kOverflow) {
          // As on the bus: the whole packets that fitted, nothing of the one
          // that did not.
          FUZZ_CHECK(got < len && got % 512 == 0);
        } else if (!r.ok()) {
          FUZZ_CHECK(got == 0);
        }
        break;
      }
      case 4: {  // a bulk write
        const uint8_t pipe = (sel & 0x40) != 0 ? static_cast<uint8_t>(in.U8()) : tarncam::kPipeOut;
        const uint32_t len = in.U8() % 32;
        std::vector<uint8_t> bytes(len);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(in.U8());
        uint32_t done = 0;
        cam.WritePipe(host.Pick(sel >> 4), pipe, len != 0 ? bytes.data() : nullptr, len, &done);
        FUZZ_CHECK(done <= len);
        break;
      }
      case 5:
        cam.SetTransferTimeout(host.Pick(sel >> 4), static_cast<uint8_t>(in.U8()), in.U32());
        break;
      case 6:
        cam.EnableStallRecovery(host.Pick(sel >> 4), static_cast<uint8_t>(in.U8()));
        break;
      case 7:
        host.Close();
        host.Open(in.U8() % 32);
        break;
      case 8: {
        const uint32_t n = in.U8() % 3;
        std::vector<tarncam::DeviceInfo> list(n);
        FUZZ_CHECK(cam.ListDevices(n != 0 ? list.data() : nullptr, n) <= 1);
        break;
      }
      default:
        if ((sel & 0x10) != 0) cam.CancelTransfers(host.Pick(sel >> 5));
        if ((sel & 0x20) != 0) cam.SetPresent((sel & 0x40) != 0);
        clock.Advance(uint64_t{in.U32()} * 1000);
        break;
    }
  }
  host.Close();
  return 0;
}
