#pragma once
// The hot loops behind the output modes, the demosaic and the readout's
// repack, gathered in one table per instruction set. The plain versions
// (kPlainKernels) are the portable reference; the vector versions must give
// byte-identical results and are picked once per call from the processor's
// features.

#include <cstddef>
#include <cstdint>

namespace tarncam::image {

// Instruction-set levels, ordered: each includes the ones before it.
enum class SimdLevel : int { kPlain = 0, kSse2 = 1, kSsse3 = 2, kAvx2 = 3 };

// A demosaic kernel: writes the H - 1 output rows of a W x H mosaic (W >= 1,
// H >= 2, source W * H + 1 samples).
using Demosaic8Fn = void (*)(const uint8_t* source, uint8_t* destination, uint32_t width,
                             uint32_t height);
using Demosaic16To8Fn = void (*)(const uint16_t* source, uint8_t* destination, uint32_t width,
                                 uint32_t height);
using Demosaic16Fn = void (*)(const uint16_t* source, uint16_t* destination, uint32_t width,
                              uint32_t height);

struct ImageKernels {
  SimdLevel level;
  Demosaic8Fn demosaic;           // interleaved 8-bit triplets from 8-bit samples
  Demosaic16To8Fn demosaicW;      // interleaved, 16-bit samples scaled to 8 bits
  Demosaic8Fn demosaicPlanar8;    // three 8-bit planes
  Demosaic16Fn demosaicPlanar16;  // three 16-bit planes, opposite column phase
  // wide[i] = raw[i] << 8 for count samples.
  void (*widen)(const uint8_t* raw, uint16_t* wide, std::size_t count);
  // Each byte written three times.
  void (*triple8)(const uint8_t* source, uint8_t* destination, std::size_t count);
  // Each 16-bit sample written three times, host order.
  void (*triple16)(const uint16_t* source, uint8_t* destination, std::size_t count);
  // Each sample w as the big-endian pattern of w - 32768.
  void (*offsetBigEndian)(const uint16_t* source, uint8_t* destination, std::size_t count);
  // Wire pairs (bits 9..2, bits 1..0) to plain little-endian values, in place.
  void (*repack10)(uint8_t* words, std::size_t count);
  // The readout's row copy (see CopyRows in capture/readout.h).
  void (*copyRows)(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize,
                   uint32_t stride);
  // The row copy and the 10-bit repack in one pass: each row moved as by
  // copyRows, then its words converted as by repack10 (rowSize even). The
  // same as copyRows followed by repack10 over the rows written, unless a
  // row lands on the source of a later one.
  void (*copyRowsRepack10)(uint8_t* dst, const uint8_t* src, uint32_t rows, uint32_t rowSize,
                           uint32_t stride);
};

extern const ImageKernels kPlainKernels;
#if defined(__i386__) || defined(__x86_64__)
extern const ImageKernels kSse2Kernels;
extern const ImageKernels kSsse3Kernels;
extern const ImageKernels kAvx2Kernels;
#endif

// The best table this processor runs, capped by LimitSimdLevel.
const ImageKernels& Kernels();

// The highest level this processor supports.
SimdLevel SupportedSimdLevel();

// Caps the level Kernels() picks, so tests and benchmarks can run each path
// on one machine. Not meant for clients; kAvx2 lifts the cap.
void LimitSimdLevel(SimdLevel level);

// The table of exactly one level (which must be supported).
const ImageKernels& KernelsFor(SimdLevel level);

}  // namespace tarncam::image
