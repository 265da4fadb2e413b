// GETBUFFER's six formats, the once-per-frame widening, the source limits,
// and the small helpers around them.

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "capture/frame_output.h"
#include "image/demosaic.h"
#include "image/image_test_util.h"
#include "image/output_modes.h"
#include "reference/image_reference.h"
#include "tarncam/tarncam.h"

namespace tarncam {
namespace {

using testing::AtLevel;
using testing::Guarded;
using testing::Levels;

std::size_t BytesPerUnit(uint32_t mode) {
  // Mode 4 counts its output in bytes.
  static constexpr std::size_t kBytes[] = {1, 1, 3, 6, 1, 2};
  return kBytes[mode];
}

// GETBUFFER into an exact-size guarded destination.
std::vector<uint8_t> Fetch(CaptureState& s, uint32_t mode, uint32_t length, std::size_t units,
                           std::uintptr_t* result = nullptr) {
  SelectOutputMode(s, mode);
  Guarded dst(units * BytesPerUnit(mode));
  const std::uintptr_t r = WriteFrameOutput(s, dst.data(), length);
  if (result != nullptr) *result = r;
  EXPECT_TRUE(dst.GuardsIntact()) << "mode " << mode << " length " << length;
  return dst.Payload();
}

std::unique_ptr<CaptureState> RandomFrame(uint32_t seed) {
  auto s = std::make_unique<CaptureState>();
  std::mt19937 rng(seed);
  for (auto& b : s->rawBuffer) b = static_cast<uint8_t>(rng());
  return s;
}

TEST(SetBufferMode, StoresModeOrFive) {
  auto s = std::make_unique<CaptureState>();
  EXPECT_EQ(s->bufferMode, 0u);
  for (auto [mode, stored] : {std::pair{4u, 4u}, {0u, 0u}, {5u, 5u}, {6u, 5u}, {0xFFFFFFFFu, 5u}}) {
    SelectOutputMode(*s, mode);
    EXPECT_EQ(s->bufferMode, stored) << mode;
  }
}

TEST(GetBuffer, WorkedSampleExamples) {
  auto s = std::make_unique<CaptureState>();
  const uint8_t raw[] = {0x12, 0x00, 0x80, 0xFF};
  std::copy(std::begin(raw), std::end(raw), s->rawBuffer.begin());
  EXPECT_EQ(Fetch(*s, 2, 1, 1), (std::vector<uint8_t>{0x12, 0x12, 0x12}));
  EXPECT_EQ(Fetch(*s, 3, 1, 1), (std::vector<uint8_t>{0x00, 0x12, 0x00, 0x12, 0x00, 0x12}));
  EXPECT_EQ(Fetch(*s, 5, 4, 4),
            (std::vector<uint8_t>{0x92, 0x00, 0x80, 0x00, 0x00, 0x00, 0x7F, 0x00}));
  // Mode 0 with an odd length ends on the low byte of a sample.
  EXPECT_EQ(Fetch(*s, 0, 3, 3), (std::vector<uint8_t>{0x00, 0x12, 0x00}));
  EXPECT_EQ(Fetch(*s, 1, 3, 3), (std::vector<uint8_t>{0x12, 0x00, 0x80}));
}

TEST(GetBuffer, ResultsPerMode) {
  auto s = std::make_unique<CaptureState>();
  std::uintptr_t r = 0;
  for (uint32_t mode : {0u, 1u, 2u, 3u, 5u}) {
    SelectOutputMode(*s, mode);
    uint8_t byte[8];
    r = WriteFrameOutput(*s, byte, 1);
    EXPECT_EQ(r, mode <= 1 ? reinterpret_cast<std::uintptr_t>(byte) : 0u) << mode;
  }
  // Mode 4 ignores the length and always writes the 479 x 752 image.
  Fetch(*s, 4, 0, 1080624, &r);
  EXPECT_EQ(r, 479u);
}

TEST(GetBuffer, LengthZeroWritesNothingButStillWidens) {
  for (uint32_t mode : {0u, 1u, 2u, 3u, 5u}) {
    auto s = std::make_unique<CaptureState>();
    s->rawBuffer[0] = 9;
    Fetch(*s, mode, 0, 0);
    EXPECT_EQ(s->wideValid.load() != 0, mode == 0 || mode == 3 || mode == 5) << mode;
  }
}

TEST(GetBuffer, WidensOncePerFrame) {
  auto s = RandomFrame(1);
  s->rawBuffer[0] = 0x12;
  const std::vector<uint8_t> first = Fetch(*s, 5, 360960, 360960);
  EXPECT_EQ(first[0], 0x92);
  EXPECT_NE(s->wideValid.load(), 0u);

  // A change through the raw buffer shows at once in the byte modes, but in
  // the widened modes only once a new frame clears the flag.
  RawFrame(*s)[0] = 0x34;
  EXPECT_EQ(Fetch(*s, 5, 360960, 360960), first);
  EXPECT_EQ(Fetch(*s, 0, 2, 2), (std::vector<uint8_t>{0x00, 0x12}));
  EXPECT_EQ(Fetch(*s, 1, 1, 1), (std::vector<uint8_t>{0x34}));
  EXPECT_EQ(Fetch(*s, 2, 1, 1), (std::vector<uint8_t>{0x34, 0x34, 0x34}));
  s->wideValid = 0;  // what the readout does when a frame starts
  EXPECT_EQ(Fetch(*s, 3, 1, 1), (std::vector<uint8_t>{0x00, 0x34, 0x00, 0x34, 0x00, 0x34}));
}

TEST(GetBuffer, FreshStateDeliversZeroSamples) {
  auto s = std::make_unique<CaptureState>();
  const std::vector<uint8_t> five = Fetch(*s, 5, 6, 6);
  EXPECT_EQ(five, (std::vector<uint8_t>{0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0}));
  const std::vector<uint8_t> four = Fetch(*s, 4, 1, 1080624);
  EXPECT_EQ(std::accumulate(four.begin(), four.end(), 0u), 0u);
}

TEST(GetBuffer, MatchesReferenceAtEveryLevel) {
  for (auto level : Levels()) {
    AtLevel at(level);
    auto s = RandomFrame(2);
    const std::vector<uint8_t> raw(s->rawBuffer.begin(), s->rawBuffer.end());
    for (uint32_t mode : {0u, 1u, 2u, 3u, 5u}) {
      for (uint32_t length : {1u, 2u, 7u, 15u, 16u, 17u, 31u, 33u, 47u, 100u, 360960u, 721920u}) {
        ASSERT_EQ(Fetch(*s, mode, length, length), reference::OutputMode(mode, raw, length))
            << "mode " << mode << " length " << length;
      }
    }
    Guarded mode4(1080624);
    SelectOutputMode(*s, 4);
    WriteFrameOutput(*s, mode4.data(), 5);
    Guarded buffer(1080624);
    DemosaicRawFrame(*s, buffer.data(), 752, 480);
    EXPECT_EQ(mode4.Payload(), buffer.Payload());
    EXPECT_EQ(mode4.Payload(),
              reference::Demosaic(reference::Member::kImage,
                                  std::vector<uint16_t>(raw.begin(), raw.end()), 752, 480));
    EXPECT_TRUE(mode4.GuardsIntact());
  }
}

TEST(GetBuffer, AnyDestinationAlignment) {
  // The vector paths write a few samples one by one to reach an aligned
  // store; every start offset must give the same bytes.
  auto s = RandomFrame(4);
  const std::vector<uint8_t> raw(s->rawBuffer.begin(), s->rawBuffer.end());
  for (auto level : Levels()) {
    AtLevel at(level);
    for (uint32_t mode : {2u, 3u, 5u}) {
      SelectOutputMode(*s, mode);
      for (std::size_t shift = 0; shift < 64; ++shift) {
        for (uint32_t length : {3u, 70u}) {
          Guarded dst(length * BytesPerUnit(mode), shift);
          WriteFrameOutput(*s, dst.data(), length);
          ASSERT_EQ(dst.Payload(), reference::OutputMode(mode, raw, length))
              << "mode " << mode << " shift " << shift << " length " << length;
          ASSERT_TRUE(dst.GuardsIntact());
        }
      }
    }
  }
}

TEST(GetBuffer, LengthsBeyondTheSourceAreClamped) {
  auto s = RandomFrame(3);
  const std::vector<uint8_t> raw(s->rawBuffer.begin(), s->rawBuffer.end());
  // Each destination is exactly the clamped size: a write past the clamp
  // hits a guard, a read past the source trips the sanitizer.
  for (uint32_t length : {784001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Fetch(*s, 1, length, 784000), raw);
    EXPECT_EQ(Fetch(*s, 2, length, 784000), reference::OutputMode(2, raw, 784000));
    EXPECT_EQ(Fetch(*s, 3, length, 784000), reference::OutputMode(3, raw, 784000));
    EXPECT_EQ(Fetch(*s, 5, length, 784000), reference::OutputMode(5, raw, 784000));
  }
  EXPECT_EQ(Fetch(*s, 0, 1568001, 1568000), reference::OutputMode(0, raw, 1568000));
}

TEST(GetBuffer, NullDestinationDoesNothing) {
  auto s = std::make_unique<CaptureState>();
  for (uint32_t mode = 0; mode <= 5; ++mode) {
    SelectOutputMode(*s, mode);
    EXPECT_EQ(WriteFrameOutput(*s, nullptr, 100), 0u) << mode;
  }
  EXPECT_EQ(s->wideValid.load(), 0u);
}

TEST(BufferCopy, SourceFirstAndOverlapSafe) {
  std::vector<uint8_t> a(64);
  std::iota(a.begin(), a.end(), 0);
  std::vector<uint8_t> b(64, 0);
  EXPECT_EQ(CopyOverlapping(a.data(), b.data(), 64), b.data());
  EXPECT_EQ(a, b);
  EXPECT_EQ(CopyOverlapping(a.data(), b.data() + 1, 0), b.data() + 1);
  EXPECT_EQ(CopyOverlapping(nullptr, nullptr, 0), nullptr);

  // Both overlap directions behave as if copied through a temporary.
  std::vector<uint8_t> up(a), down(a);
  CopyOverlapping(up.data(), up.data() + 5, 50);
  CopyOverlapping(down.data() + 5, down.data(), 50);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(up[5 + i], i);
    EXPECT_EQ(down[i], 5 + i);
  }
}

TEST(Exports, GetBufferAndDebayerBufferReachTheModuleCamera) {
  uint8_t* raw = ::getbufptr();
  for (int i = 0; i < 16; ++i) raw[i] = static_cast<uint8_t>(i * 16);
  ::SETBUFFERMODE(5);
  uint8_t out[4];
  EXPECT_EQ(::GETBUFFER(out, 2), 0u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x80, 0, 0x90, 0}));

  std::vector<uint8_t> viaBuffer(3 * 4 * 3), viaImage(3 * 4 * 3);
  ::debayerBuffer(viaBuffer.data(), 4, 4);
  EXPECT_EQ(::debayerImage(raw, viaImage.data(), 4, 4), 3u);
  EXPECT_EQ(viaBuffer, viaImage);
}

}  // namespace
}  // namespace tarncam
