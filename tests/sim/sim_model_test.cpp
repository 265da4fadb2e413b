// The simulated camera on its own, driven through the USB seam on a virtual
// clock: the controller's firmware RAM, the register block, the wire layout
// of frames, abort, timeouts, the guide port and seeded faults.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "sim/sensor_model.h"
#include "sim/star_field.h"
#include "sim_test_support.h"

namespace {

using simtest::BlockFields;
using simtest::Link;
using namespace tarncam;

// A small image of our own: three data records (16, 1 and 5 bytes), out of
// address order, then the end record and a record after it that must not
// count.
FirmwareRecord Rec(uint8_t len, uint16_t addr, std::initializer_list<uint8_t> bytes,
                   uint8_t type = 0) {
  FirmwareRecord r{};
  r.length = len;
  r.address[0] = static_cast<uint8_t>(addr);
  r.address[1] = static_cast<uint8_t>(addr >> 8);
  r.type = type;
  int i = 0;
  for (uint8_t b : bytes) r.data[i++] = b;
  return r;
}

const FirmwareRecord kImage[] = {
    Rec(16, 0x0100, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}),
    Rec(1, 0x0000, {0x02}),
    Rec(5, 0x0200, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE}),
    Rec(0, 0, {}, 1),
    Rec(2, 0x0300, {0x55, 0x66}),
};

struct Download {
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> writes;
};

// The writes of a download: hold, records in table order, release.
Download Good() {
  Download d;
  d.writes.push_back({kCpuControlRegister, {0x01}});
  for (const FirmwareRecord& r : kImage) {
    if (r.type != 0) break;
    d.writes.push_back({static_cast<uint16_t>(r.address[0] | r.address[1] << 8),
                        std::vector<uint8_t>(r.data, r.data + r.length)});
  }
  d.writes.push_back({kCpuControlRegister, {0x00}});
  return d;
}

class SimModel : public ::testing::Test {
 protected:
  sim::Options opts = sim::DefaultOptions();
  sim::VirtualClock clock;
  std::unique_ptr<sim::SimCamera> cam;

  Link Make() {
    cam = std::make_unique<sim::SimCamera>(opts, clock, kImage);
    Link l{*cam};
    EXPECT_TRUE(l.Open());
    return l;
  }
  void Send(Link& l, const Download& d) {
    for (const auto& [addr, bytes] : d.writes)
      l.Out(kReqFirmwareLoad, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, addr);
  }
};

// ---------------------------------------------------------------------------
// Firmware RAM

TEST_F(SimModel, GoodDownloadRenumeratesProgrammedAfterItsAbsence) {
  opts.blank_controller = 1;
  opts.renumerate_ms = 1500;
  Link l = Make();
  EXPECT_EQ(l.SerialIndex(), 0);
  uint8_t reply[4];
  EXPECT_FALSE(l.In(kReqQuery, reply, 4, 99)) << "a blank controller runs no firmware";

  Send(l, Good());
  EXPECT_EQ(cam->ControllerByte(0x0100 + 15), 16u);
  // Gone: the old handles are dead and nothing enumerates.
  EXPECT_EQ(l.SerialIndex(), 0) << "transfer on a dead handle must fail";
  char path[64];
  EXPECT_FALSE(cam->FindFirstDevice(path, sizeof path));
  clock.Advance(1'499'000);
  EXPECT_FALSE(cam->FindFirstDevice(path, sizeof path));
  clock.Advance(1'000);

  Link again{*cam};
  ASSERT_TRUE(again.Open());
  EXPECT_NE(again.SerialIndex(), 0);
  ASSERT_TRUE(again.In(kReqQuery, reply, 4, 99));
  EXPECT_EQ(reply[0] | reply[1] << 8 | reply[2] << 16 | reply[3] << 24, 0x0132901D);
  EXPECT_EQ(cam->Stats().firmware_downloads, 1u);
}

TEST_F(SimModel, AnyDifferenceFromTheImageLeavesTheControllerBlank) {
  // A corrupted byte, a missing record, and a stray byte outside the image.
  std::vector<Download> bad(3, Good());
  bad[0].writes[3].second[4] ^= 0x01;
  bad[1].writes.erase(bad[1].writes.begin() + 2);
  bad[2].writes.insert(bad[2].writes.end() - 1, {0x0400, {0x00}});
  for (const Download& d : bad) {
    opts.blank_controller = 1;
    Link l = Make();
    Send(l, d);
    clock.Advance(2'000'000);
    Link again{*cam};
    ASSERT_TRUE(again.Open()) << "it comes back, only still blank";
    EXPECT_EQ(again.SerialIndex(), 0);
    EXPECT_EQ(cam->Stats().programmed, 0);
  }
}

TEST_F(SimModel, StaysBlankFaultRefusesEvenTheGoodImage) {
  opts.blank_controller = 1;
  opts.stays_blank = 1;
  Link l = Make();
  Send(l, Good());
  clock.Advance(2'000'000);
  Link again{*cam};
  ASSERT_TRUE(again.Open());
  EXPECT_EQ(again.SerialIndex(), 0);
}

TEST_F(SimModel, ResetOfARunningProgramRestartsInPlaceAndDropsTheSensorSettings) {
  Link l = Make();
  BlockFields f;
  f.height = 240;
  f.rowWidth = 616;
  ASSERT_TRUE(l.Program(f));
  EXPECT_EQ(cam->Sensor().windowHeight, 240);
  const uint8_t hold = 0x31, run = 0x30;
  ASSERT_TRUE(l.Out(kReqFirmwareLoad, &hold, 1, 0, kCpuControlRegister));
  uint8_t reply[4];
  EXPECT_FALSE(l.In(kReqQuery, reply, 4, 99)) << "held in reset";
  ASSERT_TRUE(l.Out(kReqFirmwareLoad, &run, 1, 0, kCpuControlRegister));
  // Same handle still works: no renumeration.
  EXPECT_TRUE(l.In(kReqQuery, reply, 4, 99));
  EXPECT_EQ(cam->Sensor().windowHeight, 480);
  EXPECT_EQ(cam->Stats().firmware_downloads, 0u);
}

// ---------------------------------------------------------------------------
// Requests

TEST_F(SimModel, RequestsAnswerAsConfiguredAndWrongShapesStall) {
  opts.colour = 1;
  opts.firmware_version = 0xDEAD;
  Link l = Make();
  uint8_t b[4] = {};
  ASSERT_TRUE(l.In(kReqQuery, b, 4, 99));
  EXPECT_EQ(b[0] | b[1] << 8, 0xDEAD);
  uint32_t id = 0;
  for (uint16_t i = 1; i <= 4; ++i) {
    uint8_t one = 0;
    ASSERT_TRUE(l.In(kReqIdentify, &one, 1, i));
    id |= uint32_t{one} << (8 * (i - 1));
  }
  EXPECT_EQ(id, sim::IdWord(opts));
  EXPECT_NE(id & TARNCAM_SIM_ID_COLOUR_BIT, 0u);

  const uint8_t reset = kReqReset, notReset = 0x21;
  EXPECT_TRUE(l.Out(kReqReset, &reset, 1));
  EXPECT_FALSE(l.Out(kReqReset, &notReset, 1));
  EXPECT_TRUE(l.Out(kReqSetRegister, nullptr, 0, 0x0D, 0x0300));
  EXPECT_EQ(cam->Registers().back(), (std::pair<uint16_t, uint16_t>{0x0D, 0x0300}));
  uint8_t two[2];
  EXPECT_TRUE(l.In(kReqGuideStopBoth, two, 2));
  EXPECT_FALSE(l.Out(kReqGuideStopBoth, two, 2)) << "the stops are IN requests";
  EXPECT_FALSE(l.In(kReqIdentify, two, 1, 5));

  // Regression (fuzzing): a descriptor request with no data stage.
  EXPECT_TRUE(
      cam->ControlTransfer(l.usb, {kStandardIn, kReqGetDescriptor, 0x0100, 0, 0}, nullptr, 0).ok());

  opts.version_no_answer = 1;
  Link quiet = Make();
  EXPECT_FALSE(quiet.In(kReqQuery, b, 4, 99));
}

TEST(SimSensor, DecodesTheBlockFromItsBytes) {
  // The block the library sends for its settings at load, exposure 50.
  const uint8_t block[64] = {0x00, 0x02, 0x00, 0x2E, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00,
                             0x00, 0x38, 0x03, 0x20, 0x08, 0x40, 0xF4, 0x00, 0x01, 0x00,
                             0x04, 0x01, 0xE0, 0x02, 0xF0, 0x00, 0x2C, 0x00, 0x2C, 0x03,
                             0x88, 0x00, 0x00, 0x00, 0x01, 0x41, 0x1F, 0x00, 0x80, 0xD4,
                             0x05, 0x93, 0x69, 0x00, 0xAC, 0x4A, 0x06, 0x08};
  const sim::SensorSettings s = sim::DecodeBlock(block, 34, 0);
  EXPECT_EQ(s.gainCode, 46);
  EXPECT_EQ(s.regime, sim::kLongRegime);
  EXPECT_EQ(s.firstRow, 4);
  EXPECT_EQ(s.Rows(), 480u);
  EXPECT_EQ(s.RowPitch(), 796u);
  EXPECT_EQ(s.vBlank, 44);
  EXPECT_EQ(s.shutterRows, 1);
  EXPECT_EQ(s.leadTime, 8001u);
  EXPECT_EQ(s.readLength, 382080u);
  EXPECT_EQ(s.tailTime, 27027u);
  EXPECT_EQ(s.frameEndMark, 412332u);
  EXPECT_FALSE(s.TenBit());
  EXPECT_FALSE(s.VerticalFlip());
  EXPECT_FALSE(s.HorizontalFlip());
  // 34 ms timed by the camera plus one window of 796-clock rows at 23.88 MHz,
  // then the 417,108-clock frame.
  EXPECT_NEAR(s.ExposureUs(), 34000 + 480 * 796 / 23.88, 2);
  EXPECT_NEAR(s.TransferUs(), 417108 / 23.88, 2);

  const sim::SensorSettings high = sim::DecodeBlock(block, 0x8690, 1);
  EXPECT_EQ(high.deviceExposureMs, 99984u);
  uint8_t flipped[64];
  std::copy(block, block + 64, flipped);
  flipped[13] = 0x10;  // vertical on, horizontal bit cleared: both flips
  flipped[47] = 9;
  const sim::SensorSettings f = sim::DecodeBlock(flipped, 1, 0);
  EXPECT_TRUE(f.VerticalFlip());
  EXPECT_TRUE(f.HorizontalFlip());
  EXPECT_TRUE(f.TenBit());
}

// ---------------------------------------------------------------------------
// Frames

TEST_F(SimModel, FramesFollowTheWireLayoutAtBothDepths) {
  opts.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
  Link l = Make();
  for (uint8_t depth : {8, 9}) {
    BlockFields f;
    f.height = 240;
    f.rowWidth = 616;
    f.depth = depth;
    ASSERT_TRUE(l.Program(f));
    const bool ten = depth == 9;
    const uint32_t pitch = 660, rows = 240, bps = ten ? 2 : 1;
    std::vector<uint8_t> buf(784000, 0xEE);
    uint32_t got = 0;
    ASSERT_TRUE(l.Read(buf, &got));
    ASSERT_EQ(got, rows * pitch * bps);
    uint32_t garbageSeen = 0;
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < pitch; ++c) {
        const uint8_t* p = &buf[(r * pitch + c) * bps];
        const uint32_t want = sim::TestPatternSample(r, c, ten);
        const uint32_t v = ten ? (uint32_t{p[0]} << 2 | (p[1] & 3)) : p[0];
        ASSERT_EQ(v, want) << "row " << r << " col " << c;
        if (ten) {
          garbageSeen |= p[1] & 0xFC;
          ASSERT_NE(p[1] & 0xFC, 0) << "upper six bits carry garbage";
        }
      }
    EXPECT_EQ(buf[got], 0xEE) << "nothing past the frame";
    if (ten) {
      EXPECT_EQ(garbageSeen, 0xFCu);
    }
  }
}

TEST_F(SimModel, ReadTakesExposurePlusTransferOnTheClock) {
  Link l = Make();
  BlockFields f;
  f.regime = sim::kLongRegime;
  f.shutterRows = 1;
  ASSERT_TRUE(l.Program(f, 200));
  ASSERT_TRUE(l.SetTimeout(1200));
  std::vector<uint8_t> buf(784000);
  uint32_t got = 0;
  const uint64_t t0 = clock.NowUs();
  ASSERT_TRUE(l.Read(buf, &got));
  const sim::SensorSettings s = cam->Sensor();
  EXPECT_EQ(clock.NowUs() - t0, s.ExposureUs() + s.TransferUs());
  EXPECT_GT(s.ExposureUs(), 200000u);
  EXPECT_EQ(cam->Stats().frames, 1u);
}

TEST_F(SimModel, ReadLongerThanThePipeTimeoutFailsAtTheTimeout) {
  Link l = Make();
  BlockFields f;
  f.regime = sim::kLongRegime;
  ASSERT_TRUE(l.Program(f, 5000));
  ASSERT_TRUE(l.SetTimeout(1500));
  std::vector<uint8_t> buf(784000);
  uint32_t got = 7;
  const uint64_t t0 = clock.NowUs();
  EXPECT_FALSE(l.Read(buf, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(clock.NowUs() - t0, 1'500'000u);
}

TEST_F(SimModel, AbortEndsAPendingReadShortAndIsIgnoredWithoutOne) {
  Link l = Make();
  EXPECT_TRUE(l.Abort()) << "no read pending: accepted and ignored";
  cam->HoldReads(true);
  ASSERT_TRUE(l.SetTimeout(0));
  std::vector<uint8_t> buf(784000);
  uint32_t got = 99;
  bool ok = false;
  std::thread reader([&] { ok = l.Read(buf, &got); });
  ASSERT_TRUE(cam->WaitForPendingRead());
  ASSERT_TRUE(l.Abort());
  reader.join();
  EXPECT_TRUE(ok) << "an aborted read completes as a short transfer";
  EXPECT_LT(got, 796u * 480u);
  EXPECT_EQ(cam->Stats().aborts, 1u);

  // A held read is released with its frame; a later one ends at its timeout
  // once the clock passes it.
  std::thread released([&] { ok = l.Read(buf, &got); });
  ASSERT_TRUE(cam->WaitForPendingRead(2));
  cam->ReleaseRead();
  released.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(got, 796u * 480u);

  ASSERT_TRUE(l.SetTimeout(300));
  std::thread timed([&] { ok = l.Read(buf, &got); });
  ASSERT_TRUE(cam->WaitForPendingRead(3));
  clock.Advance(300'000);
  timed.join();
  EXPECT_FALSE(ok);
}

TEST_F(SimModel, CancellingOrClosingEndsAPendingReadAsCancelled) {
  Link l = Make();
  cam->HoldReads(true);
  std::vector<uint8_t> buf(784000);
  uint32_t got = 0;
  for (bool close : {false, true}) {
    tarncam::UsbResult r;
    std::thread reader(
        [&] { r = cam->ReadPipe(l.usb, tarncam::kPipeIn, buf.data(), 784000, &got); });
    ASSERT_TRUE(cam->WaitForPendingRead());
    if (close) {
      cam->Close(l.device, l.usb);
    } else {
      cam->CancelTransfers(l.usb);
    }
    reader.join();
    EXPECT_EQ(r.status, tarncam::UsbStatus::kCancelled) << (close ? "close" : "cancel");
    EXPECT_EQ(got, 0u);
  }
}

// ---------------------------------------------------------------------------
// Guide port

TEST_F(SimModel, GuidePulsesMoveTheStarsByRateTimesDuration) {
  opts.guide_rate = 5.0;
  opts.read_noise = 1;
  Link l = Make();
  BlockFields f;
  f.depth = 9;
  f.regime = sim::kLongRegime;
  ASSERT_TRUE(l.Program(f, 150));  // long enough for a well-measured star
  ASSERT_TRUE(l.SetTimeout(2000));
  const sim::Star& star = cam->Stars()->Stars()[0];

  auto centroid = [&] {
    std::vector<uint8_t> buf(784000);
    uint32_t got = 0;
    EXPECT_TRUE(l.Read(buf, &got));
    auto at = [&](int c, int r) {
      const uint8_t* p = &buf[(r * 796 + c) * 2];
      return double(uint32_t{p[0]} << 2 | (p[1] & 3));
    };
    const auto s = cam->Stats();
    return simtest::Centroid(at, 752, 480, star.x + s.guide_offset_x, star.y + s.guide_offset_y);
  };
  const auto [x0, y0] = centroid();
  EXPECT_NEAR(x0, star.x, 0.15);
  EXPECT_NEAR(y0, star.y, 0.15);

  // +X for 1 s and -Y for 0.4 s, in 0.1 ms units.
  uint8_t data[8];
  const int32_t dx = 10000, dy = 4000;
  std::memcpy(data, &dx, 4);
  std::memcpy(data + 4, &dy, 4);
  ASSERT_TRUE(l.Out(kReqGuide, data, 8, TARNCAM_SIM_GUIDE_PLUS_X | TARNCAM_SIM_GUIDE_MINUS_Y));
  clock.Advance(2'000'000);
  const auto [x1, y1] = centroid();
  EXPECT_NEAR(x1 - x0, 5.0, 0.15);
  EXPECT_NEAR(y1 - y0, -2.0, 0.15);

  // Until cancelled: -X runs until 0x21 stops it; Y is not touched by it.
  const int32_t forever[2] = {-1, -1};
  ASSERT_TRUE(l.Out(kReqGuide, forever, 8, TARNCAM_SIM_GUIDE_MINUS_X | TARNCAM_SIM_GUIDE_PLUS_Y));
  clock.Advance(600'000);
  uint8_t two[2];
  ASSERT_TRUE(l.In(kReqGuideStopFirst, two, 2));
  clock.Advance(1'000'000);
  const auto s = cam->Stats();
  EXPECT_NEAR(s.guide_offset_x, 5.0 - 3.0, 1e-9);
  EXPECT_NEAR(s.guide_offset_y, -2.0 + 8.0, 1e-9);
  ASSERT_TRUE(l.In(kReqGuideStopBoth, two, 2));
  clock.Advance(1'000'000);
  EXPECT_NEAR(cam->Stats().guide_offset_y, 6.0, 1e-9);
}

TEST(SimStarField, ColourMosaicPutsRedOnEvenSitesAndBlueOnOddOnes) {
  sim::StarFieldConfig c;
  c.colour = true;
  c.starCount = 0;
  c.hotPixels = 0;
  sim::StarField field(c);
  field.Configure({});
  // The sky answers 0.8 on red, 1.0 on green and 0.7 on blue sites.
  EXPECT_FLOAT_EQ(field.RateAt(10, 20), 160.0f);
  EXPECT_FLOAT_EQ(field.RateAt(11, 20), 200.0f);
  EXPECT_FLOAT_EQ(field.RateAt(10, 21), 200.0f);
  EXPECT_FLOAT_EQ(field.RateAt(11, 21), 140.0f);
}

// ---------------------------------------------------------------------------
// Faults

TEST_F(SimModel, SeededFaultsRepeatForTheSameSeedOnly) {
  auto pattern = [&](uint64_t seed) {
    opts = sim::DefaultOptions();
    opts.seed = seed;
    opts.scene = TARNCAM_SIM_SCENE_TEST_PATTERN;
    opts.read_fail_probability = 0.3;
    opts.short_read_probability = 0.2;
    Link l = Make();
    l.SetTimeout(2000);
    std::string s;
    std::vector<uint8_t> buf(784000);
    for (int i = 0; i < 40; ++i) {
      uint32_t got = 0;
      const bool ok = l.Read(buf, &got);
      s += !ok ? 'F' : got < 796u * 480u ? 'S' : '.';
    }
    return s;
  };
  const std::string a = pattern(7);
  EXPECT_EQ(a, pattern(7));
  EXPECT_NE(a, pattern(8));
  EXPECT_NE(a.find('F'), std::string::npos);
  EXPECT_NE(a.find('S'), std::string::npos);
  EXPECT_NE(a.find('.'), std::string::npos);
}

TEST_F(SimModel, NumberedFaultsHitExactlyTheirReadsAndTransfers) {
  opts.fail_read_number = 2;
  opts.fail_read_count = 2;
  opts.timeout_read_number = 5;
  opts.short_read_number = 6;
  opts.fail_control_number = 3;
  Link l = Make();
  l.SetTimeout(1000);  // control transfer 1 is the descriptor-free policy: not counted
  std::vector<uint8_t> buf(784000);
  std::string s;
  for (int i = 0; i < 7; ++i) {
    uint32_t got = 0;
    const uint64_t t0 = clock.NowUs();
    const bool ok = l.Read(buf, &got);
    s += !ok ? (clock.NowUs() - t0 == 1'000'000 ? 'T' : 'F') : got < 796u * 480u ? 'S' : '.';
  }
  EXPECT_EQ(s, ".FF.TS.");
  uint8_t b[4];
  EXPECT_TRUE(l.In(kReqQuery, b, 4, 99));
  EXPECT_TRUE(l.In(kReqQuery, b, 4, 99));
  EXPECT_FALSE(l.In(kReqQuery, b, 4, 99));
  EXPECT_TRUE(l.In(kReqQuery, b, 4, 99));
}

TEST_F(SimModel, DisconnectDuringAnExposureKillsTheReadAndTheHandles) {
  opts.disconnect_read_number = 1;
  opts.replug_ms = 800;
  Link l = Make();
  std::vector<uint8_t> buf(784000);
  uint32_t got = 0;
  EXPECT_FALSE(l.Read(buf, &got));
  uint8_t b[4];
  EXPECT_FALSE(l.In(kReqQuery, b, 4, 99));
  char path[64];
  EXPECT_FALSE(cam->FindFirstDevice(path, sizeof path));
  clock.Advance(800'000);
  Link again{*cam};
  ASSERT_TRUE(again.Open());
  EXPECT_TRUE(again.In(kReqQuery, b, 4, 99));
}

TEST_F(SimModel, UnplugWithPowerLossComesBackBlankAndReleasedHandlesAreCounted) {
  opts.disconnect_probability = 1.0;
  opts.replug_ms = 100;
  opts.replug_blank = 1;
  Link l = Make();
  std::vector<uint8_t> buf(784000);
  uint32_t got = 0;
  EXPECT_FALSE(l.Read(buf, &got));
  EXPECT_EQ(cam->Faults().disconnects, 1u);
  EXPECT_EQ(cam->Faults().blankReturns, 1u);
  clock.Advance(100'000);
  EXPECT_EQ(cam->Stats().programmed, 0);
  Link again{*cam};
  ASSERT_TRUE(again.Open());
  EXPECT_EQ(again.SerialIndex(), 0) << "blank";

  EXPECT_EQ(cam->OpenHandles(), 4);  // the dead pair is still the host's to close
  cam->Close(l.device, l.usb);
  EXPECT_EQ(cam->OpenHandles(), 2);
  EXPECT_EQ(cam->Faults().releasedHandleUses, 0u);
  uint8_t b[4];
  EXPECT_FALSE(l.In(kReqQuery, b, 4, 99));
  cam->Close(l.device, l.usb);
  EXPECT_EQ(cam->Faults().releasedHandleUses, 3u) << "one request and a double close of two";
}

}  // namespace
