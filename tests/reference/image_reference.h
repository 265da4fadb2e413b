#pragma once
// Slow, obvious versions of the image conversions, written straight from
// their rules (the column loop with its down-counter, the output-mode table)
// and sharing no code with the library, so that a fault in the library's
// rule cannot hide in both.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarncam::reference {

enum class Member { kImage, kImageW, kFitByte, kFitWord };

// Output bytes (16-bit elements little-endian) of a W x H mosaic given as
// W * H + 1 samples (8-bit members use the low byte).
inline std::vector<uint8_t> Demosaic(Member member, const std::vector<uint16_t>& src,
                                     uint32_t width, uint32_t height) {
  std::vector<uint8_t> out;
  if (height < 2 || width == 0) return out;
  const std::size_t w = width, plane = w * (height - 1);
  const bool wide = member == Member::kFitWord;
  out.assign(3 * plane * (wide ? 2 : 1), 0);
  auto at = [&](std::size_t row, std::size_t col) -> uint32_t { return src[row * w + col]; };
  auto put = [&](std::size_t element, uint32_t v) {
    if (wide) {
      out[2 * element] = static_cast<uint8_t>(v);
      out[2 * element + 1] = static_cast<uint8_t>(v >> 8);
    } else {
      out[element] = static_cast<uint8_t>(v);
    }
  };
  for (std::size_t i = 0; i + 1 < height; ++i) {
    const std::size_t e = i % 2 == 0 ? i : i + 1;
    const std::size_t o = i % 2 == 0 ? i + 1 : i;
    for (std::size_t k = 0; k < w; ++k) {
      const std::size_t n = w - k;
      bool firstCase = n % 2 == 0;
      if (member == Member::kFitWord) firstCase = !firstCase;
      uint32_t c1, g1, g2, c2;
      if (firstCase) {
        c1 = at(e, k), g1 = at(o, k), g2 = at(e, k + 1), c2 = at(o, k + 1);
      } else {
        c1 = at(e, k + 1), g1 = at(e, k), g2 = at(o, k + 1), c2 = at(o, k);
      }
      uint32_t r1 = c1, g = (g1 + g2) / 2, r2 = c2;
      if (member == Member::kImageW) {
        r1 = c1 >= 1024 ? 255 : c1 / 4;
        r2 = c2 >= 1024 ? 255 : c2 / 4;
        g = g1 + g2 >= 2048 ? 255 : (g1 + g2) / 8;
      }
      const std::size_t p = i * w + k;
      if (member == Member::kImage || member == Member::kImageW) {
        put(3 * p, r1), put(3 * p + 1, g), put(3 * p + 2, r2);
      } else {
        put(p, r2), put(plane + p, g), put(2 * plane + p, r1);
      }
    }
  }
  return out;
}

// GETBUFFER's output for modes 0, 1, 2, 3 and 5 from a raw buffer (the wide
// buffer being its first 360,960 bytes times 256, zero beyond), `length` in
// the mode's unit and already within the source.
inline std::vector<uint8_t> OutputMode(uint32_t mode, const std::vector<uint8_t>& raw,
                                       std::size_t length) {
  auto wideAt = [&](std::size_t i) -> uint32_t { return i < 360960 ? raw[i] * 256u : 0u; };
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i < length; ++i) {
    switch (mode) {
      case 0:
        out.push_back(static_cast<uint8_t>(i % 2 == 0 ? wideAt(i / 2) : wideAt(i / 2) >> 8));
        break;
      case 1:
        out.push_back(raw[i]);
        break;
      case 2:
        out.insert(out.end(), 3, raw[i]);
        break;
      case 3:
        for (int r = 0; r < 3; ++r) {
          out.push_back(static_cast<uint8_t>(wideAt(i)));
          out.push_back(static_cast<uint8_t>(wideAt(i) >> 8));
        }
        break;
      default: {
        const int32_t t = static_cast<int32_t>(wideAt(i)) - 32768;
        const uint16_t bits = static_cast<uint16_t>(t);
        out.push_back(static_cast<uint8_t>(bits >> 8));
        out.push_back(static_cast<uint8_t>(bits));
      }
    }
  }
  return out;
}

}  // namespace tarncam::reference
