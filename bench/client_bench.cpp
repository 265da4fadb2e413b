// Times the image output of a built library the way a client meets it: it
// loads the shared library (libtarncam.so with dlopen, TARNCAM32.dll with
// LoadLibrary, as a capture program does), resolves the exports by name and
// calls them on a full 752 x 480 frame, each beside memcpy of the same
// number of output bytes from the same program, and prints each operation as
// a ratio to that memcpy.
//
// The readout's row copy and 10-bit repack and the widening are not exports;
// they are timed from this build's own kernel objects, the ones the library
// was linked from, with the same flags.
//
// Each repetition times a short batch of every operation and of its memcpy
// back to back (in alternating order, operations shuffled). The ratio is
// that of the fastest batches of each: on a shared machine other programs
// only ever slow a batch down (they take the processor or the cache), so
// the fastest batch is the one they disturbed least, for the operation and
// for memcpy alike. The median of the repetitions' ratios is shown beside
// it. Buffers are frame-sized and stay in cache across a batch.
//
//   client_bench [--library PATH] [--reps N] [--batch-ms MS] [--tsv FILE]
//                [--fail-over FACTOR] [--opencv-share SHARE]
//
// --tsv writes one line per operation (bench/ratio_rows.h). The CI guard's
// checks make the exit status 1: --fail-over F when any operation takes more
// than F times its target ratio, --opencv-share S when debayerImage takes
// more than S times as long as OpenCV's bilinear demosaic of the same
// mosaic on one thread (where OpenCV is built in).

#if defined(_WIN32)
#define NOMINMAX
#include <windows.h>
#else
#include <dlfcn.h>
#include <time.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_rows.h"
#include "capture/frame_output.h"
#include "capture/readout.h"
#include "image/image_kernels.h"
#include "image/output_modes.h"
#include "tarncam/tarncam.h"

#if TARNCAM_CLIENT_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using namespace tarncam;

constexpr uint32_t kW = kSensorWidth, kH = kSensorHeight;
constexpr std::size_t kPixels = std::size_t{kW} * kH;                 // 360,960
constexpr std::size_t kDemosaicOut = std::size_t{3} * kW * (kH - 1);  // 1,080,624
constexpr uint32_t kPitch = 796;  // a full window's row pitch on the wire

// --- Clock -------------------------------------------------------------------
double NowNs() {
#if defined(_WIN32)
  static const double nsPerTick = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1e9 / static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * nsPerTick;
#else
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
#endif
}

// --- The library -------------------------------------------------------------
// The export types come from the public header, so the calling convention is
// the one a client compiles against (stdcall in the DLL).
struct Exports {
  decltype(&::SETBUFFERMODE) setBufferMode = nullptr;
  decltype(&::GETBUFFER) getBuffer = nullptr;
  decltype(&::getbufptr) getBufPtr = nullptr;
  decltype(&::bufferCopy) bufferCopy = nullptr;
  decltype(&::debayerImage) debayerImage = nullptr;
  decltype(&::debayerImageW) debayerImageW = nullptr;
  decltype(&::debayerImageFITBYTE) debayerImageFITBYTE = nullptr;
  decltype(&::debayerImageFITWORD) debayerImageFITWORD = nullptr;
};

template <typename F>
bool Resolve(void* library, const char* name, F& fn) {
#if defined(_WIN32)
  FARPROC p = GetProcAddress(static_cast<HMODULE>(library), name);
#else
  void* p = dlsym(library, name);
#endif
  if (p == nullptr) {
    std::fprintf(stderr, "client_bench: the library has no export %s\n", name);
    return false;
  }
  fn = reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
  return true;
}

bool Load(const std::string& path, Exports& x) {
#if defined(_WIN32)
  void* library = LoadLibraryA(path.c_str());
  if (library == nullptr) {
    std::fprintf(stderr, "client_bench: cannot load %s (error %lu)\n", path.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    return false;
  }
#else
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "client_bench: cannot load %s: %s\n", path.c_str(), dlerror());
    return false;
  }
#endif
  return Resolve(library, "SETBUFFERMODE", x.setBufferMode) &&
         Resolve(library, "GETBUFFER", x.getBuffer) && Resolve(library, "getbufptr", x.getBufPtr) &&
         Resolve(library, "bufferCopy", x.bufferCopy) &&
         Resolve(library, "debayerImage", x.debayerImage) &&
         Resolve(library, "debayerImageW", x.debayerImageW) &&
         Resolve(library, "debayerImageFITBYTE", x.debayerImageFITBYTE) &&
         Resolve(library, "debayerImageFITWORD", x.debayerImageFITWORD);
}

// --- Buffers -----------------------------------------------------------------
// A client's frame buffer: 64-byte aligned, as large frame allocations are.
class Buffer {
 public:
  explicit Buffer(std::size_t bytes) : storage_(bytes + 64) {
    const auto at = reinterpret_cast<std::uintptr_t>(storage_.data());
    data_ = storage_.data() + (64 - at % 64) % 64;
  }
  uint8_t* data() { return data_; }
  uint16_t* words() { return reinterpret_cast<uint16_t*>(data_); }

 private:
  std::vector<uint8_t> storage_;
  uint8_t* data_;
};

// --- Measurement ---------------------------------------------------------------
struct Operation {
  const bench::RatioRow* row;
  std::size_t outBytes;
  std::function<void()> run;
  std::vector<double> ns, baseNs, ratios;
};

double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Nanoseconds per call over a batch of `calls`, after one untimed call that
// brings the buffers back into the cache.
double TimeBatch(const std::function<void()>& f, int calls) {
  f();
  const double start = NowNs();
  for (int i = 0; i < calls; ++i) f();
  return (NowNs() - start) / calls;
}

int CallsFor(const std::function<void()>& f, double batchNs) {
  const double one = std::max(1.0, TimeBatch(f, 3));
  return static_cast<int>(std::clamp(batchNs / one, 1.0, 100000.0));
}

const bench::RatioRow* RowFor(const char* key) {
  for (const bench::RatioRow& r : bench::kRatioRows)
    if (std::strcmp(r.key, key) == 0) return &r;
  std::fprintf(stderr, "client_bench: no table row %s\n", key);
  std::exit(2);
}

struct Options {
  std::string library;
  int reps = 41;
  double batchMs = 0.5;
  std::string tsv;
  double failOver = 0;
  double opencvShare = 0;
};

Options Parse(int argc, char** argv) {
  Options o;
#if defined(_WIN32)
  o.library = "TARNCAM32.dll";  // by name, from beside the program, as a client loads it
#else
  o.library = TARNCAM_CLIENT_BENCH_LIBRARY;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--library" && hasValue) {
      o.library = argv[++i];
    } else if (a == "--reps" && hasValue) {
      o.reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--batch-ms" && hasValue) {
      o.batchMs = std::max(0.05, std::atof(argv[++i]));
    } else if (a == "--tsv" && hasValue) {
      o.tsv = argv[++i];
    } else if (a == "--fail-over" && hasValue) {
      o.failOver = std::atof(argv[++i]);
    } else if (a == "--opencv-share" && hasValue) {
      o.opencvShare = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: client_bench [--library PATH] [--reps N] [--batch-ms MS] [--tsv FILE] "
                   "[--fail-over FACTOR] [--opencv-share SHARE]\n");
      std::exit(2);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt = Parse(argc, argv);
  Exports x;
  if (!Load(opt.library, x)) return 2;

  // Frame-sized sources with fixed random content: 8-bit samples, and 10-bit
  // samples in 16-bit words for the 16-bit demosaics.
  std::mt19937 rng(42);
  Buffer mosaic8(kPixels + 1), mosaic16(2 * (kPixels + 1)), source(6 * kPixels), dest(6 * kPixels),
      transfer(2 * std::size_t{kPitch} * kH);
  for (std::size_t i = 0; i <= kPixels; ++i) {
    mosaic8.data()[i] = static_cast<uint8_t>(rng());
    mosaic16.words()[i] = static_cast<uint16_t>(rng() & 1023);
  }
  for (std::size_t i = 0; i < 6 * kPixels; ++i) source.data()[i] = static_cast<uint8_t>(rng());
  for (std::size_t i = 0; i < 2 * std::size_t{kPitch} * kH; ++i)
    transfer.data()[i] = static_cast<uint8_t>(rng());
  // The library's raw buffer, as a frame read would leave it.
  std::memcpy(x.getBufPtr(), mosaic8.data(), kPixels + 1);
  auto state = std::make_unique<CaptureState>();  // for the widening (not an export)
  std::memcpy(state->rawBuffer.data(), mosaic8.data(), kPixels);

  uint8_t* out = dest.data();
  std::vector<Operation> ops;
  auto add = [&](const char* key, std::size_t bytes, std::function<void()> f) {
    ops.push_back({RowFor(key), bytes, std::move(f), {}, {}, {}});
  };
  // GETBUFFER reads the mode on every call; each operation sets its own.
  static constexpr uint32_t kLength[] = {2 * kPixels, kPixels, kPixels, kPixels, 0, kPixels};
  static constexpr std::size_t kBytes[] = {2 * kPixels, kPixels,      3 * kPixels,
                                           6 * kPixels, kDemosaicOut, 2 * kPixels};
  for (uint32_t mode = 0; mode < 6; ++mode) {
    const char* keys[] = {"getbuffer0", "getbuffer1", "getbuffer2",
                          "getbuffer3", "getbuffer4", "getbuffer5"};
    add(keys[mode], kBytes[mode], [&, mode] {
      x.setBufferMode(mode);
      x.getBuffer(out, kLength[mode]);
    });
  }
  add("buffercopy", kPixels, [&] { x.bufferCopy(source.data(), out, kPixels); });
  add("debayer", kDemosaicOut, [&] { x.debayerImage(mosaic8.data(), out, kW, kH); });
  add("debayerW", kDemosaicOut, [&] { x.debayerImageW(mosaic16.words(), out, kW, kH); });
  add("fitbyte", kDemosaicOut, [&] { x.debayerImageFITBYTE(mosaic8.data(), out, kW, kH); });
  add("fitword", 2 * kDemosaicOut,
      [&] { x.debayerImageFITWORD(mosaic16.words(), reinterpret_cast<uint16_t*>(out), kW, kH); });
  add("widen", 2 * kPixels, [&] {
    state->wideValid.store(0, std::memory_order_relaxed);  // as a new frame does
    WidenFrame(*state);
  });
  add("copyrows8", kPixels, [&] { CopyRows(out, transfer.data(), kH, kW, kPitch); });
  add("copyrows10repack", 2 * kPixels,
      [&] { DeliverRows(out, transfer.data(), kH, 2 * kW, 2 * kPitch, kPixels); });
  add("copyrows10", 2 * kPixels, [&] { CopyRows(out, transfer.data(), kH, 2 * kW, 2 * kPitch); });
  add("repack10", 2 * kPixels, [&] { Repack10(out, kPixels); });
#if TARNCAM_CLIENT_BENCH_OPENCV
  cv::setNumThreads(1);
  const cv::Mat cvSource(kH, kW, CV_8UC1, mosaic8.data());
  cv::Mat cvDest(kH, kW, CV_8UC3, out);
  int cvThreads = 1;
  auto bayerToRgb = [&](int threads) {
    if (threads != cvThreads) cv::setNumThreads(cvThreads = threads);
    cv::cvtColor(cvSource, cvDest, cv::COLOR_BayerBG2RGB);
  };
  add("opencv1", std::size_t{3} * kPixels, [&] { bayerToRgb(1); });
  add("opencv2", std::size_t{3} * kPixels, [&] { bayerToRgb(2); });
#endif

  // The baselines: memcpy of each operation's output size, into the same
  // destination. Called through a volatile pointer so that it stays a call
  // of the C library's memcpy.
  void* (*volatile copy)(void*, const void*, std::size_t) = std::memcpy;
  std::map<std::size_t, std::function<void()>> baselines;
  for (const Operation& op : ops) {
    const std::size_t n = op.outBytes;
    baselines.emplace(n, [&, n] { copy(out, source.data(), n); });
  }

  const double batchNs = opt.batchMs * 1e6;
  std::map<const Operation*, int> opCalls;
  std::map<std::size_t, int> baseCalls;
  for (const Operation& op : ops) opCalls[&op] = CallsFor(op.run, batchNs);
  for (const auto& [n, f] : baselines) baseCalls[n] = CallsFor(f, batchNs);

  std::vector<Operation*> order;
  for (Operation& op : ops) order.push_back(&op);
  for (int rep = 0; rep < opt.reps; ++rep) {
    std::shuffle(order.begin(), order.end(), rng);
    for (std::size_t j = 0; j < order.size(); ++j) {
      Operation& op = *order[j];
      const std::function<void()>& base = baselines.at(op.outBytes);
      double t = 0, b = 0;
      if (((rep + j) & 1) == 0) {
        t = TimeBatch(op.run, opCalls[&op]);
        b = TimeBatch(base, baseCalls[op.outBytes]);
      } else {
        b = TimeBatch(base, baseCalls[op.outBytes]);
        t = TimeBatch(op.run, opCalls[&op]);
      }
      op.ns.push_back(t);
      op.baseNs.push_back(b);
      op.ratios.push_back(t / b);
    }
  }

  std::FILE* tsv = nullptr;
  if (!opt.tsv.empty() && (tsv = std::fopen(opt.tsv.c_str(), "w")) == nullptr) {
    std::fprintf(stderr, "client_bench: cannot write %s\n", opt.tsv.c_str());
    return 2;
  }
  std::printf(
      "Library: %s\nKernel level of this build on this processor: %d "
      "(0 plain, 1 SSE2, 2 SSSE3, 3 AVX2). Fastest of %d batches; median ratio beside.\n",
      opt.library.c_str(), static_cast<int>(image::Kernels().level), opt.reps);
  std::printf("%-44s %10s %10s %10s %7s %7s %7s\n", "operation", "out bytes", "time us",
              "memcpy us", "ratio", "median", "target");
  int failures = 0;
  std::map<std::string, double> fastestUs;
  for (const bench::RatioRow& row : bench::kRatioRows) {
    const auto it =
        std::find_if(ops.begin(), ops.end(), [&](const Operation& op) { return op.row == &row; });
    if (it == ops.end()) continue;
    const double us = Fastest(it->ns) / 1e3, baseUs = Fastest(it->baseNs) / 1e3;
    const double ratio = us / baseUs;
    fastestUs[row.key] = us;
    char target[24] = "";
    if (row.target > 0)
      std::snprintf(target, sizeof target, "%s%.1f", ratio <= row.target ? "<=" : "MISS ",
                    row.target);
    std::printf("%-44s %10zu %10.1f %10.1f %7.2f %7.2f %7s\n", row.label, it->outBytes, us, baseUs,
                ratio, Median(it->ratios), target);
    if (tsv != nullptr)
      bench::WriteRatioLine(tsv, row, ratio, us, baseUs, static_cast<double>(it->outBytes));
    if (opt.failOver > 0 && row.target > 0 && ratio > opt.failOver * row.target) {
      std::fprintf(stderr,
                   "client_bench: %s takes %.2f times memcpy, over %.1f x its target %.1f\n",
                   row.label, ratio, opt.failOver, row.target);
      ++failures;
    }
  }
  if (tsv != nullptr) std::fclose(tsv);
  if (fastestUs.count("opencv1") != 0) {
    const double share = fastestUs["debayer"] / fastestUs["opencv1"];
    std::printf("debayerImage time / OpenCV 1-thread time: %.2f\n", share);
    if (opt.opencvShare > 0 && share > opt.opencvShare) {
      std::fprintf(stderr,
                   "client_bench: debayerImage takes %.2f times as long as OpenCV's bilinear "
                   "demosaic, over %.2f\n",
                   share, opt.opencvShare);
      ++failures;
    }
  } else if (opt.opencvShare > 0) {
    std::printf("OpenCV is not built in: debayerImage is not compared with it\n");
  }
  return failures == 0 ? 0 : 1;
}
