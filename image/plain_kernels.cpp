// The portable kernels: plain loops, one element at a time. They are the
// fallback on processors without the vector paths and the reference those
// paths are checked against.

#include <cstring>

#include "image/demosaic_rule.h"
#include "image/image_kernels.h"

namespace tarncam::image {
namespace {

// The four demosaic members: one rule (demosaic_rule.h), four policies.
void Demosaic8(const uint8_t* s, uint8_t* d, uint32_t w, uint32_t h) {
  DemosaicPlain<Interleaved8>(s, d, w, h);
}
void DemosaicW(const uint16_t* s, uint8_t* d, uint32_t w, uint32_t h) {
  DemosaicPlain<Scaled16To8>(s, d, w, h);
}
void DemosaicPlanar8(const uint8_t* s, uint8_t* d, uint32_t w, uint32_t h) {
  DemosaicPlain<Planar8>(s, d, w, h);
}
void DemosaicPlanar16(const uint16_t* s, uint16_t* d, uint32_t w, uint32_t h) {
  DemosaicPlain<Planar16>(s, d, w, h);
}

// The byte becomes the upper half of the 16-bit sample.
void Widen(const uint8_t* raw, uint16_t* wide, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) wide[i] = static_cast<uint16_t>(raw[i] << 8);
}

void Triple8(const uint8_t* source, uint8_t* destination, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    destination[3 * i] = source[i];
    destination[3 * i + 1] = source[i];
    destination[3 * i + 2] = source[i];
  }
}

void Triple16(const uint16_t* source, uint8_t* destination, std::size_t count) {
  // Byte stores keep the destination free of any alignment demand; host order
  // is little-endian on every target.
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t lo = static_cast<uint8_t>(source[i]);
    const uint8_t hi = static_cast<uint8_t>(source[i] >> 8);
    for (int r = 0; r < 3; ++r) {
      destination[6 * i + 2 * r] = lo;
      destination[6 * i + 2 * r + 1] = hi;
    }
  }
}

void OffsetBigEndian(const uint16_t* source, uint8_t* destination, std::size_t count) {
  // w - 32768 in two's complement is w with its top bit flipped; high byte first.
  for (std::size_t i = 0; i < count; ++i) {
    const uint32_t t = source[i] ^ 0x8000u;
    destination[2 * i] = static_cast<uint8_t>(t >> 8);
    destination[2 * i + 1] = static_cast<uint8_t>(t);
  }
}

// Wire pair: first byte bits 9..2, low two bits of the second bits 1..0.
void Repack10(uint8_t* words, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const uint32_t hi = words[2 * i];
    const uint32_t lo = words[2 * i + 1];
    const uint32_t v = (hi << 2) | (lo & 3);
    words[2 * i] = static_cast<uint8_t>(v);
    words[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
}

// One memmove per row: exact for every overlap, rows in order.
void CopyRows(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize, uint32_t stride) {
  for (uint32_t r = 0; r < rows; ++r, dst += rowSize, src += stride)
    std::memmove(dst, src, rowSize);
}

// Row by row: the move, then the row's words converted.
void CopyRowsRepack10(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize,
                      uint32_t stride) {
  for (uint32_t r = 0; r < rows; ++r, dst += rowSize, src += stride) {
    std::memmove(dst, src, rowSize);
    Repack10(dst, rowSize / 2);
  }
}

}  // namespace

const ImageKernels kPlainKernels = {
    SimdLevel::kPlain, Demosaic8, DemosaicW, DemosaicPlanar8,
    DemosaicPlanar16,  Widen,     Triple8,   Triple16,
    OffsetBigEndian,   Repack10,  CopyRows,  CopyRowsRepack10,
};

}  // namespace tarncam::image
