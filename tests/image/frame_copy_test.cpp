// The readout's row copy and 10-bit repack, at every kernel level.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "capture/readout.h"
#include "image/image_test_util.h"

namespace tarncam {
namespace {

using testing::AtLevel;
using testing::Levels;

// What a row copy must equal: each row moved on its own, in order, as
// memmove does it.
void MoveRowsOneByOne(std::vector<uint8_t>& buf, std::size_t dst, std::size_t src, uint32_t rows,
                      uint32_t rowSize, uint32_t stride) {
  for (uint32_t r = 0; r < rows; ++r)
    std::memmove(&buf[dst + std::size_t{r} * rowSize], &buf[src + std::size_t{r} * stride],
                 rowSize);
}

TEST(Repack10, WireSamplePairs) {
  for (auto level : Levels()) {
    AtLevel at(level);
    std::vector<uint8_t> w = {0xFF, 0x03, 0x80, 0x00, 0x01, 0x02, 0x00, 0xFC};
    Repack10(w.data(), 4);
    EXPECT_EQ(w, (std::vector<uint8_t>{0xFF, 0x03, 0x00, 0x02, 0x06, 0x00, 0x00, 0x00}));
  }
}

TEST(Repack10, MatchesThePlainRuleOnAnyCount) {
  std::mt19937 rng(5);
  for (std::size_t count : {1u, 7u, 8u, 15u, 16u, 17u, 33u, 1001u, 360960u}) {
    std::vector<uint8_t> wire(2 * count);
    for (auto& b : wire) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> want(wire);
    for (std::size_t i = 0; i < count; ++i) {
      const unsigned v = (want[2 * i] << 2) | (want[2 * i + 1] & 3);
      want[2 * i] = static_cast<uint8_t>(v), want[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    for (auto level : Levels()) {
      AtLevel at(level);
      std::vector<uint8_t> got(wire);  // exact size: no word past `count` is touched
      Repack10(got.data(), count);
      ASSERT_EQ(got, want) << count;
    }
  }
}

TEST(CopyRows, CompactsInPlace) {
  // 3 rows of 5 bytes, 8 apart, packed to the front of the same buffer.
  std::vector<uint8_t> buf(24);
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i);
  CopyRows(buf.data(), buf.data() + 1, 3, 5, 8);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 15),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 9, 10, 11, 12, 13, 17, 18, 19, 20, 21}));
}

TEST(CopyRows, MatchesRowByRowMemmoveForAnyOverlap) {
  // (destination offset, source offset, rows, row size, stride) in one buffer:
  // compaction by a little and a lot, in place, apart, rows moving up over
  // themselves, short rows, rows running into the next one, the full frames.
  struct Case {
    std::size_t dst, src;
    uint32_t rows, rowSize, stride;
  };
  const Case cases[] = {{0, 0, 5, 100, 120},    {0, 1, 5, 100, 120},       {0, 31, 9, 65, 70},
                        {0, 50, 480, 752, 796}, {0, 100, 480, 1504, 1592}, {5000, 0, 7, 64, 64},
                        {3, 0, 6, 100, 110},    {0, 2, 40, 7, 9},          {0, 10, 8, 40, 30},
                        {40, 0, 3, 1000, 1000}};
  std::mt19937 rng(9);
  std::vector<uint8_t> start(800000);
  for (auto& b : start) b = static_cast<uint8_t>(rng());
  for (const Case& c : cases) {
    std::vector<uint8_t> want(start);
    MoveRowsOneByOne(want, c.dst, c.src, c.rows, c.rowSize, c.stride);
    for (auto level : Levels()) {
      AtLevel at(level);
      std::vector<uint8_t> got(start);
      CopyRows(&got[c.dst], &got[c.src], c.rows, c.rowSize, c.stride);
      ASSERT_EQ(got, want) << c.dst << " " << c.src << " " << c.rowSize;
    }
  }
}

TEST(DeliverRows, EqualsTheCopyThenTheRepackForEveryLayout) {
  // (destination offset, source offset, rows, row size, stride, words) in one
  // buffer: a full 10-bit frame compacted in place and into a buffer of its
  // own, a window that skips its first samples, rows shorter than a vector,
  // an 8-bit frame (no words), a repack that stops short of the rows (depth
  // changed mid-readout), rows that land on later rows' sources.
  struct Case {
    std::size_t dst, src;
    uint32_t rows, rowSize, stride;
    std::size_t words;
  };
  const Case cases[] = {{0, 0, 480, 1504, 1592, 360960},
                        {0, 100, 480, 752, 796, 180480},
                        {400000, 0, 480, 1504, 1592, 360960},
                        {0, 100, 240, 800, 1592, 96000},
                        {0, 3, 9, 10, 14, 45},
                        {1, 0, 3, 66, 70, 99},
                        {0, 50, 480, 752, 796, 0},
                        {0, 0, 480, 752, 796, 90240},
                        {0, 40, 20, 64, 48, 640},
                        {0, 0, 1, 1504, 1592, 752}};
  std::mt19937 rng(11);
  std::vector<uint8_t> start(1200000);
  for (auto& b : start) b = static_cast<uint8_t>(rng());
  for (const Case& c : cases) {
    std::vector<uint8_t> want(start);
    MoveRowsOneByOne(want, c.dst, c.src, c.rows, c.rowSize, c.stride);
    for (std::size_t i = 0; i < c.words; ++i) {
      uint8_t* w = &want[c.dst + 2 * i];
      const unsigned v = (w[0] << 2) | (w[1] & 3);
      w[0] = static_cast<uint8_t>(v), w[1] = static_cast<uint8_t>(v >> 8);
    }
    for (auto level : Levels()) {
      AtLevel at(level);
      std::vector<uint8_t> got(start);
      DeliverRows(&got[c.dst], &got[c.src], c.rows, c.rowSize, c.stride, c.words);
      ASSERT_EQ(got, want) << c.dst << " " << c.src << " " << c.rowSize << " " << c.words;
    }
  }
}

}  // namespace
}  // namespace tarncam
