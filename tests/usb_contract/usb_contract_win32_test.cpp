// The USB contract on the Win32 backend under Wine: the library's WinUSB
// transport, as the DLL builds it, against the stand-in winusb.dll and
// setupapi.dll, whose simulated camera runs on the real clock.
//
// Not applicable here: the two cases where a cancel ends a pending read.
// The backend never cancels (WinUSB reads end by the camera's answer, the
// abort byte or the pipe timeout; the DLL imports no abort call), and the
// overflow case: WinUSB keeps bytes beyond the request for the next read
// (ALLOW_PARTIAL_READS, on by default), which the stand-in does not model.

#include <windows.h>

#include "platform/win32/win32_transport.h"
#include "sim/win32/winsim.h"
#include "usb_contract.h"

namespace usbcontract {
namespace {

// The stand-in's test exports, found as a client of the DLL finds them.
template <typename Fn>
Fn StandIn(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("winusb.dll"), name)));
}
int TarncamSimDevice(const char* command) {
  static const TarncamSimDeviceFn fn = StandIn<TarncamSimDeviceFn>("TarncamSimDevice");
  return fn(command);
}
int TarncamSimConfigure(const char* options) {
  static const TarncamSimConfigureFn fn = StandIn<TarncamSimConfigureFn>("TarncamSimConfigure");
  return fn(options);
}

class Win32Rig final : public Rig {
 public:
  Win32Rig() {
    EXPECT_EQ(TarncamSimConfigure("scene=test-pattern"), 0);
    char found[tarncam::kDevicePathCapacity] = {};
    EXPECT_TRUE(usb.FindFirstDevice(found, sizeof found));
    path = found;
  }
  tarncam::UsbTransport& Usb() override { return usb; }
  std::string Path() override { return path; }
  uint32_t FrameBytes() override { return static_cast<uint32_t>(TarncamSimDevice("frame-bytes")); }
  void HoldReads(Handle, bool hold) override { TarncamSimDevice(hold ? "hold" : "release"); }
  void AwaitPendingRead() override { ASSERT_EQ(TarncamSimDevice("pending"), 1); }
  // The camera's clock is the real one, as the DLL's waits are under Wine;
  // a little more than asked, so that a timeout due now has passed.
  void PassTime(uint32_t ms) override { Sleep(ms + 50); }
  bool ShapeNextRead(Shape shape) override {
    return TarncamSimDevice(shape == Shape::kStall   ? "stall"
                            : shape == Shape::kShort ? "short"
                                                     : "zero-length") == 0;
  }
  void Unplug() override { TarncamSimDevice("unplug"); }
  bool PathOutlivesUnplug() override { return true; }

 private:
  tarncam::Win32Transport usb;
  std::string path;
};

#define CONTRACT_CASE(name) \
  TEST(UsbContractWin32, name) { \
    Win32Rig rig;                \
    name(rig);                   \
  }
CONTRACT_CASE(CancelWithNothingPendingChangesNothing)
CONTRACT_CASE(AStallIsReportedAndRecovered)
CONTRACT_CASE(AnUnansweredReadTimesOut)
CONTRACT_CASE(ShortReadsAndZeroLengthPacketsAreSuccesses)
CONTRACT_CASE(AfterAnUnplugEveryCallSaysNoDevicePromptly)
CONTRACT_CASE(AControlTransferRunsDuringAPendingRead)

}  // namespace
}  // namespace usbcontract
