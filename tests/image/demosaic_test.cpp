// The demosaic members against their worked examples and, on random mosaics
// of awkward sizes, against the plain reference, at every kernel level.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "capture/frame_output.h"
#include "image/demosaic.h"
#include "image/image_test_util.h"
#include "reference/image_reference.h"

namespace tarncam {
namespace {

using reference::Member;
using testing::AtLevel;
using testing::Guarded;
using testing::Levels;

std::size_t OutputBytes(Member m, uint32_t w, uint32_t h) {
  return h < 2 ? 0 : std::size_t{3} * w * (h - 1) * (m == Member::kFitWord ? 2 : 1);
}

// Runs one member on an exact-size source (W * H + 1 samples, so reading
// past it trips the sanitizer) into an exact-size guarded destination.
struct Result {
  uint32_t result;
  std::vector<uint8_t> out;
  bool guardsIntact;
};
Result RunMember(Member m, const std::vector<uint16_t>& src, uint32_t w, uint32_t h) {
  Guarded dst(OutputBytes(m, w, h));
  uint32_t result = 0;
  if (m == Member::kImage || m == Member::kFitByte) {
    std::vector<uint8_t> narrow(src.begin(), src.end());
    result = m == Member::kImage ? debayerImage(narrow.data(), dst.data(), w, h)
                                 : debayerImageFITBYTE(narrow.data(), dst.data(), w, h);
  } else {
    result = m == Member::kImageW ? debayerImageW(src.data(), dst.data(), w, h)
                                  : debayerImageFITWORD(src.data(), dst.as<uint16_t>(), w, h);
  }
  return {result, dst.Payload(), dst.GuardsIntact()};
}

std::vector<uint8_t> Bytes16(std::initializer_list<uint16_t> words) {
  std::vector<uint8_t> b;
  for (uint16_t w : words) b.push_back(static_cast<uint8_t>(w)), b.push_back(w >> 8);
  return b;
}

constexpr Member kMembers[] = {Member::kImage, Member::kImageW, Member::kFitByte, Member::kFitWord};

TEST(Demosaic, WorkedExamples2x2) {
  const std::vector<uint16_t> src = {10, 20, 30, 40, 50};  // 50: the sample after the image
  for (auto level : Levels()) {
    AtLevel at(level);
    Result r = RunMember(Member::kImage, src, 2, 2);
    EXPECT_EQ(r.result, 1u);
    EXPECT_EQ(r.out, (std::vector<uint8_t>{10, 25, 40, 30, 35, 40}));
    EXPECT_EQ(RunMember(Member::kFitByte, src, 2, 2).out,
              (std::vector<uint8_t>{40, 40, 25, 35, 10, 30}));
    EXPECT_EQ(RunMember(Member::kImageW, src, 2, 2).out,
              (std::vector<uint8_t>{2, 6, 10, 7, 8, 10}));
    EXPECT_EQ(RunMember(Member::kFitWord, src, 2, 2).out, Bytes16({30, 50, 25, 35, 20, 20}));
  }
}

TEST(Demosaic, WorkedExample2x3UsesTheEvenRowOfEachPair) {
  const std::vector<uint16_t> src = {1, 2, 3, 4, 5, 6, 7};
  for (auto level : Levels()) {
    AtLevel at(level);
    const Result r = RunMember(Member::kImage, src, 2, 3);
    EXPECT_EQ(r.result, 2u);
    EXPECT_EQ(r.out, (std::vector<uint8_t>{1, 2, 4, 3, 3, 4, 5, 4, 4, 7, 5, 4}));
  }
}

TEST(Demosaic, ScaledMemberSaturates) {
  // Row 0: colour 1 at column 0, green at column 1; row 1: green, colour 2.
  auto pixel0 = [](uint16_t c1, uint16_t gE, uint16_t gO, uint16_t c2) {
    return RunMember(Member::kImageW, {c1, gE, gO, c2, 0}, 2, 2).out;
  };
  EXPECT_EQ(pixel0(1023, 0, 0, 1024)[0], 255);
  EXPECT_EQ(pixel0(1023, 0, 0, 1024)[2], 255);
  EXPECT_EQ(pixel0(1000, 0, 0, 0)[0], 250);
  EXPECT_EQ(pixel0(0, 1024, 1023, 0)[1], 255);  // sum 2047
  EXPECT_EQ(pixel0(0, 1024, 1024, 0)[1], 255);  // sum 2048
  EXPECT_EQ(pixel0(0, 1000, 1000, 0)[1], 250);
  // Far beyond 10 bits the green sum passes 65535; it still saturates.
  EXPECT_EQ(pixel0(0, 40000, 40000, 0)[1], 255);
}

TEST(Demosaic, DegenerateSizesWriteNothing) {
  const std::vector<uint16_t> src(8, 7);
  for (Member m : kMembers) {
    for (uint32_t h : {0u, 1u}) {
      const Result r = RunMember(m, src, 3, h);
      EXPECT_EQ(r.result, 0u) << "H = " << h;  // H = 0: no row, not a wrapped H - 1
      EXPECT_TRUE(r.guardsIntact);
    }
    const Result r = RunMember(m, src, 0, 5);
    EXPECT_EQ(r.result, 4u);
    EXPECT_TRUE(r.guardsIntact);
  }
}

TEST(Demosaic, MatchesReferenceOnRandomMosaics) {
  std::mt19937 rng(12345);
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  for (uint32_t w : {1u, 2u, 3u, 7u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 63u, 64u, 65u, 100u, 751u})
    for (uint32_t h : {1u, 2u, 3u, 4u, 5u}) sizes.push_back({w, h});
  sizes.push_back({752, 480});
  sizes.push_back({751, 7});
  for (auto [w, h] : sizes) {
    std::vector<uint16_t> src(std::size_t{w} * h + 1);
    // Mostly 10-bit samples, some far above to reach the saturation paths.
    for (auto& v : src) v = rng() % 5 == 0 ? static_cast<uint16_t>(rng()) : rng() % 1024;
    std::vector<uint16_t> narrow(src);
    for (auto& v : narrow) v &= 0xFF;
    for (Member m : kMembers) {
      const auto& input = (m == Member::kImage || m == Member::kFitByte) ? narrow : src;
      const std::vector<uint8_t> want = reference::Demosaic(m, input, w, h);
      for (auto level : Levels()) {
        AtLevel at(level);
        const Result r = RunMember(m, input, w, h);
        ASSERT_EQ(r.result, h - 1) << w << "x" << h << " member " << static_cast<int>(m);
        ASSERT_EQ(r.out, want) << w << "x" << h << " member " << static_cast<int>(m);
        ASSERT_TRUE(r.guardsIntact) << w << "x" << h;
      }
    }
  }
}

TEST(Demosaic, BufferMemberReadsRawBufferAndStaysInsideIt) {
  auto s = std::make_unique<CaptureState>();
  std::mt19937 rng(7);
  for (auto& b : s->rawBuffer) b = static_cast<uint8_t>(rng());
  const std::vector<uint16_t> raw(s->rawBuffer.begin(), s->rawBuffer.end());

  Guarded small(3 * 9 * 4);
  DemosaicRawFrame(*s, small.data(), 9, 5);
  EXPECT_EQ(small.Payload(), reference::Demosaic(Member::kImage, raw, 9, 5));

  // 1000 x 1000 does not fit: the rows that do (783) are demosaiced.
  Guarded cut(std::size_t{3} * 1000 * 782);
  DemosaicRawFrame(*s, cut.data(), 1000, 1000);
  EXPECT_EQ(cut.Payload(), reference::Demosaic(Member::kImage, raw, 1000, 783));
  EXPECT_TRUE(cut.GuardsIntact());
}

}  // namespace
}  // namespace tarncam
