// Every GETBUFFER mode on a frame the simulated camera delivered, against a
// plain per-sample reference of the output rules.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "exports/default_camera.h"
#include "sim/sim_camera.h"
#include "tarncam/tarncam.h"

namespace {

constexpr uint32_t kW = 752, kH = 480, kN = kW * kH;

class SimOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    opts.colour = 1;
    opts.seed = 11;
    cam = std::make_unique<sim::SimCamera>(opts, clock);
    sys = std::make_unique<sim::SimSystem>(clock);
    tarncam::UsePlatform(cam.get(), sys.get());
  }
  void TearDown() override { tarncam::UsePlatform(nullptr, nullptr); }

  // Takes a full frame into the raw buffer and returns a copy of the buffer.
  std::vector<uint8_t> Frame(bool ten) {
    EXPECT_EQ(::openUSB(0), 1u);
    ::DynamicRange(ten ? 10 : 8);
    ::ProgramCamera(200, 30, 0, 0);
    ::Exposure(nullptr);
    const uint8_t* raw = ::getbufptr();
    return std::vector<uint8_t>(raw, raw + 784000);
  }

  sim::Options opts = sim::DefaultOptions();
  sim::VirtualClock clock;
  std::unique_ptr<sim::SimCamera> cam;
  std::unique_ptr<sim::SimSystem> sys;
};

// The colour image of a W x H mosaic: output row i from source rows i and
// i + 1, colour 1 from the even row at the column matching W's parity, colour
// 2 from the odd row at the other column, green the mean of the two others.
std::vector<uint8_t> ReferenceDebayer(const uint8_t* src, uint32_t w, uint32_t h) {
  std::vector<uint8_t> out(size_t{3} * w * (h - 1));
  for (uint32_t i = 0; i + 1 < h; ++i) {
    const uint8_t* e = src + size_t{(i % 2 == 0) ? i : i + 1} * w;
    const uint8_t* o = src + size_t{(i % 2 == 0) ? i + 1 : i} * w;
    for (uint32_t k = 0; k < w; ++k) {
      const uint32_t m = (k % 2 == w % 2) ? k : k + 1;
      const uint32_t other = m == k ? k + 1 : k;
      uint8_t* px = &out[3 * (size_t{i} * w + k)];
      px[0] = e[m];
      px[1] = static_cast<uint8_t>((e[other] + o[m]) >> 1);
      px[2] = o[other];
    }
  }
  return out;
}

// Runs GETBUFFER into an exact-size destination with guard bytes and
// returns what it wrote and its result.
std::pair<std::vector<uint8_t>, uintptr_t> Fetch(uint32_t length, size_t bytes) {
  std::vector<uint8_t> buf(bytes + 64, 0x5A);
  const uintptr_t result = ::GETBUFFER(buf.data() + 32, length);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(buf[i], 0x5A) << "before the destination";
    EXPECT_EQ(buf[32 + bytes + i], 0x5A) << "after the destination";
  }
  return {std::vector<uint8_t>(buf.begin() + 32, buf.begin() + 32 + bytes), result};
}

TEST_F(SimOutput, EveryModeConvertsADeliveredEightBitFrame) {
  const std::vector<uint8_t> raw = Frame(false);

  ::SETBUFFERMODE(0);
  auto [m0, r0] = Fetch(2 * kN, 2 * kN);
  for (uint32_t i = 0; i < kN; ++i) {
    ASSERT_EQ(m0[2 * i], 0);
    ASSERT_EQ(m0[2 * i + 1], raw[i]) << i;
  }

  ::SETBUFFERMODE(1);
  auto [m1, r1] = Fetch(kN, kN);
  EXPECT_EQ(0, std::memcmp(m1.data(), raw.data(), kN));

  ::SETBUFFERMODE(2);
  auto [m2, r2] = Fetch(kN, 3 * size_t{kN});
  EXPECT_EQ(r2, 0u);
  for (uint32_t i = 0; i < kN; ++i)
    for (int j = 0; j < 3; ++j) ASSERT_EQ(m2[3 * i + j], raw[i]) << i;

  ::SETBUFFERMODE(3);
  auto [m3, r3] = Fetch(kN, 6 * size_t{kN});
  EXPECT_EQ(r3, 0u);
  for (uint32_t i = 0; i < kN; ++i)
    for (int j = 0; j < 3; ++j) {
      ASSERT_EQ(m3[6 * i + 2 * j], 0);
      ASSERT_EQ(m3[6 * i + 2 * j + 1], raw[i]) << i;
    }

  ::SETBUFFERMODE(4);
  auto [m4, r4] = Fetch(0, 3 * size_t{kW} * (kH - 1));
  EXPECT_EQ(r4, 479u);
  EXPECT_EQ(m4, ReferenceDebayer(raw.data(), kW, kH));

  ::SETBUFFERMODE(0xFFFFFFFF);  // selects 5
  auto [m5, r5] = Fetch(kN, 2 * size_t{kN});
  EXPECT_EQ(r5, 0u);
  for (uint32_t i = 0; i < kN; ++i) {
    // Big-endian signed with zero point 32768: the widened sample with its
    // top bit inverted, high byte first.
    ASSERT_EQ(m5[2 * i], raw[i] ^ 0x80) << i;
    ASSERT_EQ(m5[2 * i + 1], 0);
  }
}

TEST_F(SimOutput, RawModeCarriesATenBitFrameIntact) {
  const std::vector<uint8_t> raw = Frame(true);
  ::SETBUFFERMODE(1);
  auto [words, result] = Fetch(2 * kN, 2 * size_t{kN});
  EXPECT_EQ(0, std::memcmp(words.data(), raw.data(), 2 * size_t{kN}));
  uint32_t top = 0;
  for (uint32_t i = 0; i < kN; ++i) {
    const uint32_t v = words[2 * i] | words[2 * i + 1] << 8;
    ASSERT_LE(v, 1023u) << i;
    top = std::max(top, v);
  }
  EXPECT_GT(top, 255u) << "a star field uses the upper bits";
}

}  // namespace
