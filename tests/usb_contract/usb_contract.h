#pragma once
// The USB seam's contract (platform/usb_transport.h), written once against
// UsbTransport and run on every backend: the simulator in-process, libusb
// through the gadget in the USB VM, WinUSB's stand-ins under Wine where a
// case applies. A backend's rig opens the camera and makes the device side
// do what a case needs; each case then speaks only through the seam.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb_transport.h"
#include "usb/requests.h"

namespace usbcontract {

using tarncam::Handle;
using tarncam::UsbResult;
using tarncam::UsbStatus;

class Rig {
 public:
  virtual ~Rig() = default;
  virtual tarncam::UsbTransport& Usb() = 0;
  // Called once the camera is opened and claimed: settings the device needs
  // before its first read.
  virtual void Prepare(Handle /*usb*/) {}
  // The camera's path, present and programmed.
  virtual std::string Path() = 0;
  // Bytes of the frame a bulk read delivers now.
  virtual uint32_t FrameBytes() = 0;
  // Bulk reads on `usb` from now on stay pending until cancelled, aborted
  // or timed out (false: they end with their frame; a camera may need its
  // settings for that, sent on `usb`).
  virtual void HoldReads(Handle usb, bool hold) = 0;
  // Blocks until the read issued after HoldReads(true) is pending, as far
  // as the device side can tell.
  virtual void AwaitPendingRead() = 0;
  // Lets `ms` of the device's time pass (a virtual clock moves; a real one
  // is waited for).
  virtual void PassTime(uint32_t ms) = 0;
  enum class Shape { kStall, kShort, kZeroLength };
  // The next bulk read ends so; false where the device side cannot.
  virtual bool ShapeNextRead(Shape shape) = 0;
  virtual void Unplug() = 0;
  // Whether the camera's path names a plain file that outlives an unplug
  // (WinUSB's stand-in under Wine): opening it then works, and the claim
  // is where the camera's absence shows.
  virtual bool PathOutlivesUnplug() { return false; }
};

// The opened camera: device and interface handles, stall recovery on the IN
// pipe as the library sets it.
struct Opened {
  Rig& rig;
  Handle device = tarncam::kInvalidHandle;
  Handle usb = tarncam::kInvalidHandle;
  explicit Opened(Rig& r) : rig(r) {
    UsbResult why;
    device = rig.Usb().Open(rig.Path().c_str(), &why);
    EXPECT_TRUE(why.ok());
    EXPECT_TRUE(rig.Usb().ClaimInterface(device, &usb).ok());
    rig.Usb().EnableStallRecovery(usb, tarncam::kPipeIn);
    rig.Prepare(usb);
  }
  ~Opened() { rig.Usb().Close(device, usb); }

  UsbResult Query(uint32_t* version = nullptr) {
    uint8_t reply[4] = {};
    const tarncam::SetupPacket setup{tarncam::kVendorIn, tarncam::kReqQuery, 0,
                                     static_cast<uint16_t>(tarncam::kVersionQuery), 4};
    const UsbResult r = rig.Usb().ControlTransfer(usb, setup, reply, 4);
    if (version != nullptr)
      *version = reply[0] | reply[1] << 8 | reply[2] << 16 | uint32_t{reply[3]} << 24;
    return r;
  }
  struct Read {
    UsbResult result;
    uint32_t got = 0;
  };
  Read ReadFrame(uint32_t length) {
    std::vector<uint8_t> buffer(length == 0 ? 1 : length);
    Read r;
    r.result = rig.Usb().ReadPipe(usb, tarncam::kPipeIn, buffer.data(), length, &r.got);
    return r;
  }
  std::future<Read> ReadOnAnotherThread(uint32_t length) {
    return std::async(std::launch::async, [this, length] { return ReadFrame(length); });
  }
};

inline bool Returned(std::future<Opened::Read>& f, int seconds = 10) {
  return f.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}

// A cancel ends the transfer pending at that moment, which reports
// kCancelled, and nothing else: the next control transfer and bulk read
// work as if no cancel had been. (The device is not told: a camera that
// goes on sending for the cancelled read delivers that into the next one,
// which is why the library sends the abort byte first.)
inline void CancelEndsThePendingTransferOnly(Rig& rig) {
  Opened cam(rig);
  rig.HoldReads(cam.usb, true);
  auto read = cam.ReadOnAnotherThread(rig.FrameBytes());
  rig.AwaitPendingRead();
  // Repeated until the read has returned: a cancel that came before the
  // read was submitted cancels nothing, by this same contract.
  do rig.Usb().CancelTransfers(cam.usb);
  while (read.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready);
  EXPECT_EQ(read.get().result.status, UsbStatus::kCancelled);
  rig.HoldReads(cam.usb, false);
  uint32_t version = 0;
  EXPECT_TRUE(cam.Query(&version).ok());
  EXPECT_EQ(version, tarncam::kExpectedFirmware);
  const Opened::Read next = cam.ReadFrame(rig.FrameBytes());
  EXPECT_TRUE(next.result.ok()) << static_cast<int>(next.result.status);
  EXPECT_GT(next.got, 0u);
}

// A cancel with nothing pending changes nothing.
inline void CancelWithNothingPendingChangesNothing(Rig& rig) {
  Opened cam(rig);
  rig.Usb().CancelTransfers(cam.usb);
  rig.Usb().CancelTransfers(cam.usb);
  EXPECT_TRUE(cam.Query().ok());
  const Opened::Read r = cam.ReadFrame(rig.FrameBytes());
  EXPECT_TRUE(r.result.ok()) << static_cast<int>(r.result.status);
  EXPECT_EQ(r.got, rig.FrameBytes());
}

// A read pending on this thread is ended by a cancel from another, which
// keeps cancelling until it has; a control transfer meanwhile, on a third,
// is not what the cancel is for but may meet it: it either works or
// reports kCancelled, and the one after it works.
inline void CancelFromAnotherThreadEndsARead(Rig& rig) {
  Opened cam(rig);
  rig.HoldReads(cam.usb, true);
  std::atomic<bool> returned{false};
  std::thread canceller([&] {
    rig.AwaitPendingRead();
    while (!returned.load()) {
      rig.Usb().CancelTransfers(cam.usb);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const Opened::Read r = cam.ReadFrame(rig.FrameBytes());
  returned = true;
  canceller.join();
  EXPECT_EQ(r.result.status, UsbStatus::kCancelled);
  rig.HoldReads(cam.usb, false);
  EXPECT_TRUE(cam.Query().ok());
}

// A stalled read reports kStall; with stall recovery on, the pipe is
// cleared and the next read delivers.
inline void AStallIsReportedAndRecovered(Rig& rig) {
  Opened cam(rig);
  if (!rig.ShapeNextRead(Rig::Shape::kStall)) GTEST_SKIP() << "the device side cannot stall";
  EXPECT_EQ(cam.ReadFrame(rig.FrameBytes()).result.status, UsbStatus::kStall);
  const Opened::Read r = cam.ReadFrame(rig.FrameBytes());
  EXPECT_TRUE(r.result.ok()) << static_cast<int>(r.result.status);
  EXPECT_EQ(r.got, rig.FrameBytes());
}

// A read the device never answers ends with kTimeout once the pipe's
// timeout has passed, and the next read works.
inline void AnUnansweredReadTimesOut(Rig& rig) {
  Opened cam(rig);
  ASSERT_TRUE(rig.Usb().SetTransferTimeout(cam.usb, tarncam::kPipeIn, 300).ok());
  rig.HoldReads(cam.usb, true);
  auto read = cam.ReadOnAnotherThread(rig.FrameBytes());
  rig.AwaitPendingRead();
  rig.PassTime(300);
  ASSERT_TRUE(Returned(read));
  EXPECT_EQ(read.get().result.status, UsbStatus::kTimeout);
  rig.HoldReads(cam.usb, false);
  rig.Usb().SetTransferTimeout(cam.usb, tarncam::kPipeIn, 0);
  const Opened::Read next = cam.ReadFrame(rig.FrameBytes());
  EXPECT_TRUE(next.result.ok()) << static_cast<int>(next.result.status);
}

// A transfer the device ends early is a success with the bytes it sent,
// none at all for a zero-length packet; the next read is whole again.
inline void ShortReadsAndZeroLengthPacketsAreSuccesses(Rig& rig) {
  Opened cam(rig);
  if (rig.ShapeNextRead(Rig::Shape::kShort)) {
    const Opened::Read r = cam.ReadFrame(rig.FrameBytes());
    EXPECT_TRUE(r.result.ok());
    EXPECT_GT(r.got, 0u);
    EXPECT_LT(r.got, rig.FrameBytes());
  }
  if (rig.ShapeNextRead(Rig::Shape::kZeroLength)) {
    const Opened::Read r = cam.ReadFrame(rig.FrameBytes());
    EXPECT_TRUE(r.result.ok());
    EXPECT_EQ(r.got, 0u);
  }
  const Opened::Read r = cam.ReadFrame(rig.FrameBytes());
  EXPECT_TRUE(r.result.ok());
  EXPECT_EQ(r.got, rig.FrameBytes());
}

// Asking for less than the device sends, ending inside a packet: the
// packet does not fit and the read overflows.
inline void MoreDataThanAskedOverflows(Rig& rig) {
  Opened cam(rig);
  const Opened::Read r = cam.ReadFrame(1000);
  EXPECT_EQ(r.result.status, UsbStatus::kOverflow);
  EXPECT_LE(r.got, 1000u);
}

// Unplugged during a read: the read ends with kNoDevice at once, and every
// later call on the handles answers kNoDevice without waiting.
inline void AfterAnUnplugEveryCallSaysNoDevicePromptly(Rig& rig) {
  Opened cam(rig);
  rig.HoldReads(cam.usb, true);
  auto read = cam.ReadOnAnotherThread(rig.FrameBytes());
  rig.AwaitPendingRead();
  rig.Unplug();
  ASSERT_TRUE(Returned(read));
  EXPECT_EQ(read.get().result.status, UsbStatus::kNoDevice);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cam.Query().status, UsbStatus::kNoDevice);
  EXPECT_EQ(cam.ReadFrame(rig.FrameBytes()).result.status, UsbStatus::kNoDevice);
  const uint8_t abort = tarncam::kAbortByte;
  uint32_t written = 0;
  EXPECT_EQ(rig.Usb().WritePipe(cam.usb, tarncam::kPipeOut, &abort, 1, &written).status,
            UsbStatus::kNoDevice);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  UsbResult why;
  const Handle again = rig.Usb().Open(rig.Path().c_str(), &why);
  if (rig.PathOutlivesUnplug() && again != tarncam::kInvalidHandle) {
    Handle usb = tarncam::kInvalidHandle;
    why = rig.Usb().ClaimInterface(again, &usb);
    rig.Usb().Close(again, usb);
  } else {
    EXPECT_EQ(again, tarncam::kInvalidHandle);
  }
  EXPECT_EQ(why.status, UsbStatus::kNoDevice);
}

// A control transfer completes while a bulk read is pending, which goes on
// pending (and then ends with its frame).
inline void AControlTransferRunsDuringAPendingRead(Rig& rig) {
  Opened cam(rig);
  rig.HoldReads(cam.usb, true);
  auto read = cam.ReadOnAnotherThread(rig.FrameBytes());
  rig.AwaitPendingRead();
  uint32_t version = 0;
  EXPECT_TRUE(cam.Query(&version).ok());
  EXPECT_EQ(version, tarncam::kExpectedFirmware);
  EXPECT_FALSE(Returned(read, 0));
  // The abort byte ends it, short, as the camera answers it.
  const uint8_t abort = tarncam::kAbortByte;
  uint32_t written = 0;
  EXPECT_TRUE(rig.Usb().WritePipe(cam.usb, tarncam::kPipeOut, &abort, 1, &written).ok());
  ASSERT_TRUE(Returned(read));
  const Opened::Read r = read.get();
  EXPECT_TRUE(r.result.ok());
  EXPECT_LT(r.got, rig.FrameBytes());
  rig.HoldReads(cam.usb, false);
}

}  // namespace usbcontract
