// The USB contract on the simulator, in-process, on a virtual clock: held
// reads stay pending until the case ends them.

#include <memory>

#include "sim/sim_camera.h"
#include "usb_contract.h"

namespace usbcontract {
namespace {

class SimRig final : public Rig {
 public:
  SimRig() {
    sim::Options o = sim::DefaultOptions();
    o.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
    cam = std::make_unique<sim::SimCamera>(o, clock);
  }
  tarncam::UsbTransport& Usb() override { return *cam; }
  std::string Path() override { return sim::SimCamera::kPath; }
  uint32_t FrameBytes() override { return static_cast<uint32_t>(cam->Sensor().FrameBytes()); }
  void HoldReads(Handle, bool hold) override { cam->HoldReads(hold); }
  void AwaitPendingRead() override { ASSERT_TRUE(cam->WaitForPendingRead()); }
  void PassTime(uint32_t ms) override { clock.Advance(uint64_t{ms} * 1000); }
  bool ShapeNextRead(Shape shape) override {
    cam->ShapeNextRead(shape == Shape::kStall   ? sim::SimCamera::NextRead::kStall
                       : shape == Shape::kShort ? sim::SimCamera::NextRead::kShort
                                                : sim::SimCamera::NextRead::kZeroLength);
    return true;
  }
  void Unplug() override { cam->SetPresent(false); }

 private:
  sim::VirtualClock clock;
  std::unique_ptr<sim::SimCamera> cam;
};

#define CONTRACT_CASE(name) \
  TEST(UsbContractSim, name) {  \
    SimRig rig;                 \
    name(rig);                  \
  }
CONTRACT_CASE(CancelEndsThePendingTransferOnly)
CONTRACT_CASE(CancelWithNothingPendingChangesNothing)
CONTRACT_CASE(CancelFromAnotherThreadEndsARead)
CONTRACT_CASE(AStallIsReportedAndRecovered)
CONTRACT_CASE(AnUnansweredReadTimesOut)
CONTRACT_CASE(ShortReadsAndZeroLengthPacketsAreSuccesses)
CONTRACT_CASE(MoreDataThanAskedOverflows)
CONTRACT_CASE(AfterAnUnplugEveryCallSaysNoDevicePromptly)
CONTRACT_CASE(AControlTransferRunsDuringAPendingRead)

}  // namespace
}  // namespace usbcontract
