// The state record at load and the storing rules of the settings setters,
// checked through the exported functions as a client sees them.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/camera_state.h"
#include "exports/default_camera.h"
#include "sensor/settings.h"
#include "tarncam/tarncam.h"

namespace {
using namespace tarncam;  // types; the exports are called as ::Name

TEST(InitialState, MatchesTheValuesAtLoad) {
  // A fresh record, and the exported camera before anything was called.
  auto fresh = std::make_unique<CameraState>();
  for (const CameraState* s : {fresh.get(), &DefaultCamera().state}) {
    EXPECT_EQ(s->width, 752);
    EXPECT_EQ(s->height, 480);
    EXPECT_EQ(s->dynamicRange, 8);
    EXPECT_EQ(s->verticalFlip, 0u);
    EXPECT_EQ(s->horizontalFlip, 0u);
    EXPECT_EQ(s->agc, 0u);
    EXPECT_EQ(s->companding, 0u);
    EXPECT_EQ(s->rowNoise, 1u);
    EXPECT_EQ(s->adcRef, 0u);
    EXPECT_EQ(s->digitalGain, 244u);
    EXPECT_EQ(s->exposure, 50u);
    EXPECT_EQ(s->gain, 50u);
    EXPECT_EQ(s->offset, 127u);
    EXPECT_EQ(s->extraValue, 0u);
    EXPECT_EQ(s->hBlank, 44);
    EXPECT_EQ(s->vBlank, 44);
    EXPECT_EQ(s->rowStart, 4u);
    for (uint32_t v : {s->rowPitch, s->rowsTotal, s->frameTime, s->leadTime, s->readLength,
                       s->tailTime, s->rowBytes, s->rowsToCopy})
      EXPECT_EQ(v, 0u);
    EXPECT_EQ(s->lastBlock, (std::array<uint8_t, 64>{}));
    EXPECT_EQ(s->lastExposure, 100u);
    EXPECT_EQ(s->forceResend, 0u);
    EXPECT_EQ(s->deviceHandle.load(), kInvalidHandle);
    EXPECT_EQ(s->usbHandle, kInvalidHandle);
    EXPECT_EQ(s->devicePathSize, 1024u);
    EXPECT_EQ(s->devicePath[0], '\0');
    EXPECT_EQ(s->pipeIn, 0);
    EXPECT_EQ(s->pipeOut, 0);
    EXPECT_EQ(s->exposing.load(), 0u);
    EXPECT_EQ(s->frameDest, nullptr);
    EXPECT_EQ(s->doneSemaphore.load(), 0u);
    EXPECT_EQ(s->wideValid.load(), 0u);
    EXPECT_EQ(s->bufferMode, 0u);
    EXPECT_FALSE(s->DeviceOpen());
  }
  EXPECT_EQ(::isExposing(), 0u);
}

TEST(InitialState, BuffersStartZeroed) {
  const CameraState& s = DefaultCamera().state;
  const uint8_t* raw = ::getbufptr();
  ASSERT_EQ(raw, s.rawBuffer.data());
  for (std::size_t i = 0; i < kFrameBufferEntries; ++i) ASSERT_EQ(raw[i], 0) << i;
  for (std::size_t i = 0; i < kFrameBufferEntries; ++i) ASSERT_EQ(s.wideBuffer[i], 0) << i;
}

TEST(GainTable, HoldsTheThreeRuns) {
  EXPECT_EQ(gainTable[0], 16);
  EXPECT_EQ(gainTable[1], 17);
  EXPECT_EQ(gainTable[2], 18);
  EXPECT_EQ(gainTable[15], 31);
  EXPECT_EQ(gainTable[16], 32);
  EXPECT_EQ(gainTable[39], 78);
  EXPECT_EQ(gainTable[40], 104);
  EXPECT_EQ(gainTable[47], 111);
  for (int i = 1; i < 48; ++i) {
    const int step = gainTable[i] - gainTable[i - 1];
    EXPECT_EQ(step, i < 16 ? 1 : i < 40 ? (i == 16 ? 1 : 2) : (i == 40 ? 26 : 1)) << i;
  }
}

TEST(Setters, SwitchesAreStoredUnchangedAndReturned) {
  const CameraState& s = DefaultCamera().state;
  for (uint32_t v : {0u, 1u, 2u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(::VerticalFlip(v), v);
    EXPECT_EQ(s.verticalFlip, v);
    EXPECT_EQ(::HorizontalFlip(v), v);
    EXPECT_EQ(s.horizontalFlip, v);
    EXPECT_EQ(::SetAGC(v), v);
    EXPECT_EQ(s.agc, v);
    EXPECT_EQ(::SetCompanding(v), v);
    EXPECT_EQ(s.companding, v);
    EXPECT_EQ(::RowNoise(v), v);
    EXPECT_EQ(s.rowNoise, v);
    EXPECT_EQ(::SetDigitalGain(v), v);
    EXPECT_EQ(s.digitalGain, v);
  }
  EXPECT_EQ(::SetDigitalGain(300), 300u);
  EXPECT_EQ(s.digitalGain, 300u);
}

TEST(Setters, AdcRefKeepsOnlyLevelsBelowSeven) {
  const CameraState& s = DefaultCamera().state;
  EXPECT_EQ(::ADCRef(6), 6u);
  EXPECT_EQ(s.adcRef, 6u);
  ::ADCRef(7);
  EXPECT_EQ(s.adcRef, 6u);
  ::ADCRef(0xFFFFFFFF);
  EXPECT_EQ(s.adcRef, 6u);
  ::ADCRef(0x80000003);  // unsigned comparison: far above 7
  EXPECT_EQ(s.adcRef, 6u);
  EXPECT_EQ(::ADCRef(0), 0u);
  EXPECT_EQ(s.adcRef, 0u);
}

TEST(Setters, DynamicRangeSelectsEightOnlyForEight) {
  const CameraState& s = DefaultCamera().state;
  for (uint32_t depth : {10u, 16u, 0u, 9u, 0xFFFFFFFFu, 0x108u}) {
    ::DynamicRange(8);
    ::DynamicRange(depth);
    EXPECT_EQ(s.dynamicRange, 9) << depth;
  }
  ::DynamicRange(8);
  EXPECT_EQ(s.dynamicRange, 8);
}

TEST(Setters, SubframeKeepsLowSixteenBits) {
  const CameraState& s = DefaultCamera().state;
  ::Subframe(65536 + 640, 0x30000 + 240);
  EXPECT_EQ(s.width, 640);
  EXPECT_EQ(s.height, 240);
  ::Subframe(376, 0);
  EXPECT_EQ(s.width, 376);
  EXPECT_EQ(s.height, 0);
}

TEST(Setters, SubframeLimitsTheWindowToTheSensor) {
  const CameraState& s = DefaultCamera().state;
  ::Subframe(753, 481);
  EXPECT_EQ(s.width, 752);
  EXPECT_EQ(s.height, 480);
  ::Subframe(0xFFFF, 100);
  EXPECT_EQ(s.width, 752);
  EXPECT_EQ(s.height, 100);
  ::Subframe(65536 + 800, 65536 + 482);  // low halves beyond the sensor too
  EXPECT_EQ(s.width, 752);
  EXPECT_EQ(s.height, 480);
}

TEST(Setters, TouchNeitherDerivedGeometryNorTheDevice) {
  const CameraState& s = DefaultCamera().state;
  ::Subframe(376, 240);
  ::DynamicRange(10);
  ::VerticalFlip(1);
  EXPECT_EQ(s.rowPitch, 0u);
  EXPECT_EQ(s.rowBytes, 0u);
  EXPECT_EQ(s.vBlank, 44);
  EXPECT_EQ(s.rowStart, 4u);
  EXPECT_FALSE(s.DeviceOpen());
}

TEST(Notice, IsOneConstantLineOf58Characters) {
  const char* a = ::CopyRight();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::strlen(a), 58u);
  EXPECT_EQ(std::strchr(a, '\n'), nullptr);
  EXPECT_EQ(::CopyRight(), a);
}

}  // namespace
