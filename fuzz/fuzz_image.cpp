// The image conversions on arbitrary modes, sizes and lengths, each on
// buffers of exactly the size the caller's contract asks for (AddressSanitizer
// puts a red zone right after each). Inputs within the contract must never
// touch memory outside those buffers, and every vector kernel must give the
// same bytes as the plain one.
//
// Input: one byte picks the operation, then its parameters, then sample data
// (repeated as needed).

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "capture/frame_output.h"
#include "capture/readout.h"
#include "fuzz_check.h"
#include "image/demosaic.h"
#include "image/image_kernels.h"
#include "image/output_modes.h"

namespace {

using tarncam::image::ImageKernels;
using tarncam::image::SimdLevel;

// Demosaic sources up to this many samples keep one run fast.
constexpr uint64_t kMaxSamples = 1u << 20;

// Fills `n` bytes from the sample data, repeating it.
void Fill(uint8_t* dst, std::size_t n, const fuzz::Input& in) {
  const std::size_t m = in.RestSize();
  if (m == 0) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<uint8_t>(i);
    return;
  }
  for (std::size_t at = 0; at < n; at += m) std::memcpy(dst + at, in.Rest(), std::min(m, n - at));
}

// Each kernel table the processor runs, the plain one first.
std::vector<const ImageKernels*> Tables() {
  std::vector<const ImageKernels*> t;
  const int top = static_cast<int>(tarncam::image::SupportedSimdLevel());
  for (int level = 0; level <= top; ++level)
    t.push_back(&tarncam::image::KernelsFor(static_cast<SimdLevel>(level)));
  return t;
}

tarncam::CaptureState& State() {
  static tarncam::CaptureState* s = new tarncam::CaptureState;
  return *s;
}

// GETBUFFER in the mode SETBUFFERMODE makes of any word, with any length, into
// a destination of exactly the size the clamped length needs.
void GetBuffer(fuzz::Input& in) {
  tarncam::CaptureState& s = State();
  const uint32_t modeWord = in.U32();
  const uint32_t length = in.U32();
  const bool nullDest = (in.U8() & 7) == 0;
  const bool stale = (in.U8() & 1) != 0;  // wideBuffer holds an earlier frame's widening
  s.wideValid.store(stale ? 1 : 0, std::memory_order_relaxed);
  Fill(s.rawBuffer.data(), s.rawBuffer.size(), in);
  tarncam::SelectOutputMode(s, modeWord);
  FUZZ_CHECK(s.bufferMode <= 5);

  constexpr uint64_t kEntries = tarncam::kFrameBufferEntries;
  uint64_t out = 0;
  switch (s.bufferMode) {
    case 0: out = std::min<uint64_t>(length, 2 * kEntries); break;
    case 1: out = std::min<uint64_t>(length, kEntries); break;
    case 2: out = 3 * std::min<uint64_t>(length, kEntries); break;
    case 3: out = 6 * std::min<uint64_t>(length, kEntries); break;
    case 4: out = 3 * 752 * 479; break;
    default: out = 2 * std::min<uint64_t>(length, kEntries); break;
  }
  if (nullDest) {
    FUZZ_CHECK(tarncam::WriteFrameOutput(s, nullptr, length) == 0);
    return;
  }
  auto dest = std::make_unique<uint8_t[]>(out);
  const std::uintptr_t r = tarncam::WriteFrameOutput(s, dest.get(), length);
  if (s.bufferMode <= 1) FUZZ_CHECK(r == reinterpret_cast<std::uintptr_t>(dest.get()));
  if (s.bufferMode == 4) FUZZ_CHECK(r == 479);
  if (s.bufferMode == 1) FUZZ_CHECK(std::memcmp(dest.get(), s.rawBuffer.data(), out) == 0);
  if (s.bufferMode == 5 && out >= 2 && !stale) FUZZ_CHECK(dest[0] == (s.rawBuffer[0] ^ 0x80) && dest[1] == 0);
}

// One exported demosaic member with each kernel table in turn: exact-size
// source (W x H + 1 samples) and destination, the documented row count, and
// identical output from every table. The exports handle H = 0, H = 1 and
// W = 0 around the kernels.
template <typename Src, typename Dst>
void Demosaic(fuzz::Input& in, uint32_t (*member)(const Src*, Dst*, uint32_t, uint32_t)) {
  // Odd and tiny sizes find more than big ones; these keep a run fast.
  const uint32_t w = in.U16() % 800;
  const uint32_t h = in.U16() % 96;
  const uint64_t samples = uint64_t{w} * h + 1;
  if (samples > kMaxSamples) return;
  std::vector<Src> src(samples);
  Fill(reinterpret_cast<uint8_t*>(src.data()), samples * sizeof(Src), in);
  const uint64_t outElems = h >= 1 ? 3ull * w * (h - 1) : 0;
  std::unique_ptr<Dst[]> first;
  for (const ImageKernels* k : Tables()) {
    auto dst = std::make_unique<Dst[]>(outElems);
    tarncam::image::LimitSimdLevel(k->level);
    const uint32_t rows = member(src.data(), dst.get(), w, h);
    tarncam::image::LimitSimdLevel(SimdLevel::kAvx2);
    FUZZ_CHECK(rows == (h == 0 ? 0 : h - 1));
    if (first) FUZZ_CHECK(std::memcmp(first.get(), dst.get(), outElems * sizeof(Dst)) == 0);
    else first = std::move(dst);
  }
}

// debayerBuffer with any width and height: only the rows rawBuffer holds are
// used, and the destination is sized by that rule.
void DebayerBuffer(fuzz::Input& in) {
  tarncam::CaptureState& s = State();
  const uint32_t w = in.U32() % (2 * tarncam::kFrameBufferEntries);
  const uint32_t h = in.U32();
  Fill(s.rawBuffer.data(), s.rawBuffer.size(), in);
  uint64_t rows = h;
  if (w != 0 && uint64_t{w} * h + 1 > tarncam::kFrameBufferEntries)
    rows = (tarncam::kFrameBufferEntries - 1) / w;
  const uint64_t out = rows >= 2 ? 3ull * w * (rows - 1) : 0;
  auto dst = std::make_unique<uint8_t[]>(out);
  tarncam::DemosaicRawFrame(s, dst.get(), w, h);
}

// bufferCopy inside one buffer, overlapping either way, against memmove.
void BufferCopy(fuzz::Input& in) {
  const uint32_t size = in.U16() + 1;
  const uint32_t from = in.U16() % size;
  const uint32_t to = in.U16() % size;
  const uint32_t count = in.U16() % (size - std::max(from, to) + 1);
  std::vector<uint8_t> a(size), b;
  Fill(a.data(), size, in);
  b = a;
  FUZZ_CHECK(tarncam::CopyOverlapping(a.data() + from, a.data() + to, count) == a.data() + to);
  std::memmove(b.data() + to, b.data() + from, count);
  FUZZ_CHECK(a == b);
}

// The readout's row copy (dst at or before src in one buffer, rows running
// into each other when the stride is short) and its 10-bit repack.
void ReadoutKernels(fuzz::Input& in) {
  const uint32_t rows = in.U8() % 64;
  const uint32_t rowSize = in.U16() % 2048;
  const uint32_t stride = in.U16() % 2048;
  const uint32_t skip = in.U16() % 256;
  const uint64_t need =
      std::max<uint64_t>(skip + (rows != 0 ? uint64_t{rows - 1} * stride + rowSize : 0),
                         uint64_t{rows} * rowSize);
  std::vector<uint8_t> start(need + 1);
  Fill(start.data(), start.size(), in);
  std::vector<std::vector<uint8_t>> outs;
  for (const ImageKernels* k : Tables()) {
    std::vector<uint8_t> buf = start;
    k->copyRows(buf.data(), buf.data() + skip, rows, rowSize, stride);
    k->repack10(buf.data(), buf.size() / 2);
    if (!outs.empty()) FUZZ_CHECK(buf == outs[0]);
    outs.push_back(std::move(buf));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  switch (in.U8() % 8) {
    case 0: GetBuffer(in); break;
    case 1: Demosaic<uint8_t, uint8_t>(in, tarncam::debayerImage); break;
    case 2: Demosaic<uint16_t, uint8_t>(in, tarncam::debayerImageW); break;
    case 3: Demosaic<uint8_t, uint8_t>(in, tarncam::debayerImageFITBYTE); break;
    case 4: Demosaic<uint16_t, uint16_t>(in, tarncam::debayerImageFITWORD); break;
    case 5: DebayerBuffer(in); break;
    case 6: BufferCopy(in); break;
    default: ReadoutKernels(in); break;
  }
  return 0;
}
