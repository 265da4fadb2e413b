#pragma once
// Shared helpers of the simulator tests: register blocks written byte by
// byte, a transport-level link to a simulated camera, and star centroids.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "sim/sim_camera.h"
#include "usb/requests.h"

namespace simtest {

// A register block with the fields the camera reads; layout written out here
// on purpose, independent of both the library's builder and the decoder.
struct BlockFields {
  uint16_t firstRow = 4, height = 480, rowWidth = 752, hBlank = 44, vBlank = 44;
  uint16_t shutterRows = 100, regime = 0x7F20, orientation = 0x0320, gainCode = 16;
  uint32_t lead = 8001, read = 382080, tail = 27027, endMark = 412332;
  uint8_t depth = 8;
};

inline std::array<uint8_t, 64> MakeBlock(const BlockFields& f) {
  std::array<uint8_t, 64> b{};
  auto word = [&](int at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
  };
  auto count = [&](int at, uint32_t v) {
    for (int i = 0; i < 3; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  word(0, 0x0002);
  word(2, f.gainCode);
  word(6, f.regime);
  word(10, 0x0038);
  word(12, f.orientation);
  word(14, 0x0840);
  b[16] = 0xF4;
  word(17, 1);
  word(19, f.firstRow);
  word(21, f.height);
  word(23, f.rowWidth);
  word(25, f.hBlank);
  word(27, f.vBlank);
  word(29, 0x0388);
  word(33, f.shutterRows);
  count(35, f.lead);
  count(38, f.read);
  count(41, f.tail);
  count(44, f.endMark);
  b[47] = f.depth;
  return b;
}

// Opens the simulated camera through the seam as the library would.
struct Link {
  sim::SimCamera& cam;
  tarncam::Handle device = tarncam::kInvalidHandle;
  tarncam::Handle usb = tarncam::kInvalidHandle;

  bool Open() {
    char path[64];
    if (!cam.FindFirstDevice(path, sizeof path)) return false;
    device = cam.Open(path, nullptr);
    return cam.ClaimInterface(device, &usb).ok();
  }
  bool Out(uint8_t request, const void* data, uint32_t length, uint16_t index = 0,
           uint16_t value = 0) {
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(data),
                              static_cast<const uint8_t*>(data) + length);
    return cam.ControlTransfer(
                  usb, {tarncam::kVendorOut, request, value, index, static_cast<uint16_t>(length)},
                  copy.data(), length)
        .ok();
  }
  bool In(uint8_t request, uint8_t* data, uint32_t length, uint16_t index = 0) {
    return cam.ControlTransfer(
                  usb, {tarncam::kVendorIn, request, 0, index, static_cast<uint16_t>(length)}, data,
                  length)
        .ok();
  }
  uint8_t SerialIndex() {
    uint8_t d[18] = {};
    cam.ControlTransfer(usb, {tarncam::kStandardIn, tarncam::kReqGetDescriptor, 0x0100, 0, 18}, d,
                        18);
    return d[16];
  }
  bool Program(const BlockFields& f, uint32_t deviceExposure = 1) {
    auto b = MakeBlock(f);
    return Out(tarncam::kReqProgram, b.data(), 64, static_cast<uint16_t>(deviceExposure >> 16),
               static_cast<uint16_t>(deviceExposure));
  }
  bool SetTimeout(uint32_t ms) {
    return cam.SetTransferTimeout(usb, tarncam::kPipeIn, ms).ok();
  }
  bool Read(std::vector<uint8_t>& buf, uint32_t* got) {
    return cam.ReadPipe(usb, tarncam::kPipeIn, buf.data(), static_cast<uint32_t>(buf.size()), got)
        .ok();
  }
  bool Abort() {
    const uint8_t b = tarncam::kAbortByte;
    uint32_t n = 0;
    return cam.WritePipe(usb, tarncam::kPipeOut, &b, 1, &n).ok();
  }
};

// Background-subtracted centroid of the light within `radius` of (x, y) in
// an image of `width` columns, samples given by `at(col, row)`.
template <typename Sample>
std::pair<double, double> Centroid(Sample at, int width, int height, double x, double y,
                                   int radius = 9) {
  const int cx = static_cast<int>(std::lround(x)), cy = static_cast<int>(std::lround(y));
  // Background: the mean of the box's border.
  double border = 0;
  int n = 0;
  for (int r = cy - radius; r <= cy + radius; ++r)
    for (int c = cx - radius; c <= cx + radius; ++c)
      if ((r == cy - radius || r == cy + radius || c == cx - radius || c == cx + radius) &&
          r >= 0 && r < height && c >= 0 && c < width) {
        border += at(c, r);
        ++n;
      }
  const double bg = n != 0 ? border / n : 0;
  double sx = 0, sy = 0, s = 0;
  for (int r = cy - radius; r <= cy + radius; ++r)
    for (int c = cx - radius; c <= cx + radius; ++c) {
      if (r < 0 || r >= height || c < 0 || c >= width) continue;
      const double v = std::max(0.0, at(c, r) - bg);
      sx += v * (c + 0.5);
      sy += v * (r + 0.5);
      s += v;
    }
  if (s == 0) return {NAN, NAN};
  return {sx / s, sy / s};
}

}  // namespace simtest
