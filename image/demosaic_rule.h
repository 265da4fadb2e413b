#pragma once
// The one demosaic rule shared by the four members, in plain C++.
//
// Output pixel (i, k) is built from the 2 x 2 block of source rows i, i + 1
// and columns k, k + 1. Of the two rows, E is the one with the even index and
// O the odd one, so the row choice is made once per output row. Of the two
// columns, the matched column m has the parity of W (for the planar 16-bit
// member: the other parity) and o is the other column:
//
//            column m     column o
//   row E  [ colour 1 ] [  green   ]
//   row O  [  green   ] [ colour 2 ]
//
// For even W and the usual phase the mosaic cell is therefore
//   even row: colour 1 at even columns, green at odd columns
//   odd row:  green at even columns, colour 2 at odd columns
// and every output pixel takes one sample of each kind. Column k + 1 of the
// last pixel of a row is the sample after the row in memory (the next row's
// first sample, or the extra sample after the image).
//
// The members differ only in sample type, value rule, output layout and
// phase; each is a small policy class below, and every kernel (this plain one
// and the vector ones) is written once against them.
//
// This header is included by translation units built for different
// instruction sets; everything in it has internal linkage so that no
// instruction-set-specific copy of an inline function can be chosen by the
// linker for another unit.

#include <cstddef>
#include <cstdint>

namespace tarncam::image {
namespace {  // NOLINT: internal linkage on purpose, see above

// debayerImage: interleaved 8-bit triplets, colour 1 first.
struct Interleaved8 {
  using Sample = uint8_t;
  using Out = uint8_t;
  static constexpr bool kPlanar = false;
  static constexpr bool kOppositePhase = false;
  static Out Colour(Sample v) { return v; }
  static Out Green(Sample e, Sample o) { return static_cast<Out>((e + o) >> 1); }
};

// debayerImageW: 10-bit samples scaled to 8 bits; anything that does not fit
// saturates at 255. The green sum is taken at full width, so two huge samples
// give 255 rather than a wrapped, dark value.
struct Scaled16To8 {
  using Sample = uint16_t;
  using Out = uint8_t;
  static constexpr bool kPlanar = false;
  static constexpr bool kOppositePhase = false;
  static Out Colour(Sample v) { return v >= 1024 ? 255 : static_cast<Out>(v >> 2); }
  static Out Green(Sample e, Sample o) {
    const uint32_t sum = uint32_t{e} + o;
    return sum >= 2048 ? 255 : static_cast<Out>(sum >> 3);
  }
};

// debayerImageFITBYTE: three 8-bit planes, colour 2 first.
struct Planar8 {
  using Sample = uint8_t;
  using Out = uint8_t;
  static constexpr bool kPlanar = true;
  static constexpr bool kOppositePhase = false;
  static Out Colour(Sample v) { return v; }
  static Out Green(Sample e, Sample o) { return static_cast<Out>((e + o) >> 1); }
};

// debayerImageFITWORD: three 16-bit planes, colour 2 first, and the opposite
// column phase of the other members.
struct Planar16 {
  using Sample = uint16_t;
  using Out = uint16_t;
  static constexpr bool kPlanar = true;
  static constexpr bool kOppositePhase = true;
  static Out Colour(Sample v) { return v; }
  static Out Green(Sample e, Sample o) { return static_cast<Out>((uint32_t{e} + o) >> 1); }
};

// Where one output row goes: element k of each component sits at
// component + k * step (interleaved: three pointers one byte apart, step 3;
// planar: one pointer per plane, step 1).
template <typename Out>
struct RowTarget {
  Out* colour1;
  Out* green;
  Out* colour2;
  std::size_t step;
};

// The source rows and output places of output row i.
template <typename M>
struct RowPair {
  const typename M::Sample* even;
  const typename M::Sample* odd;
  RowTarget<typename M::Out> out;
};

template <typename M>
RowPair<M> RowAt(const typename M::Sample* source, typename M::Out* destination, uint32_t width,
                 uint32_t height, uint32_t i) {
  const std::size_t w = width;
  const std::size_t evenRow = (i & 1) == 0 ? i : i + 1;
  const std::size_t oddRow = (i & 1) == 0 ? i + 1 : i;
  RowPair<M> row{source + evenRow * w, source + oddRow * w, {}};
  const std::size_t first = std::size_t{i} * w;
  if constexpr (M::kPlanar) {
    const std::size_t plane = w * (height - 1);
    row.out = {destination + 2 * plane + first, destination + plane + first, destination + first,
               1};
  } else {
    typename M::Out* p = destination + 3 * first;
    row.out = {p, p + 1, p + 2, 3};
  }
  return row;
}

// True when column k is the matched column of the pair (k, k + 1): k has the
// parity of W, or for the opposite phase the other parity.
template <typename M>
bool MatchedIsLeft(uint32_t k, uint32_t width) {
  return (((k ^ width) & 1) == 0) != M::kOppositePhase;
}

// Output pixels [from, to) of one row, pixel by pixel.
template <typename M>
void DemosaicSpan(const RowPair<M>& row, uint32_t from, uint32_t to, uint32_t width) {
  const auto* e = row.even;
  const auto* o = row.odd;
  const RowTarget<typename M::Out>& t = row.out;
  for (uint32_t k = from; k < to; ++k) {
    const bool left = MatchedIsLeft<M>(k, width);
    const std::size_t m = left ? k : k + 1;
    const std::size_t u = left ? k + 1 : k;  // the unmatched column
    const std::size_t at = k * t.step;
    t.colour1[at] = M::Colour(e[m]);
    t.green[at] = M::Green(e[u], o[m]);
    t.colour2[at] = M::Colour(o[u]);
  }
}

// The whole plain kernel: the reference every faster kernel must match.
template <typename M>
void DemosaicPlain(const typename M::Sample* source, typename M::Out* destination, uint32_t width,
                   uint32_t height) {
  for (uint32_t i = 0; i + 1 < height; ++i)
    DemosaicSpan<M>(RowAt<M>(source, destination, width, height, i), 0, width, width);
}

}  // namespace
}  // namespace tarncam::image
