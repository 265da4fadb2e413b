// Times each image conversion on a full 752 x 480 frame beside memcpy of the
// same number of output bytes, and prints each as a ratio to that memcpy.
// Repetitions are interleaved at random across all benchmarks, so machine
// noise hits the conversions and their memcpy baselines alike; the table
// uses the fastest repetition of each (other programs only ever slow a
// repetition down, so the fastest is the least disturbed), as client_bench
// does. All buffers are frame-sized and stay in cache between iterations.
//
// Run: bench/run_image_bench.sh, which builds build/linux-bench first. Any
// --benchmark_* flag overrides the defaults in main(); --tsv=FILE also writes
// the table's rows (bench/ratio_rows.h) for bench/run_benchmarks.sh;
// TARNCAM_BENCH_LEVEL=plain|sse2|ssse3|avx2 caps the kernels, and
// TARNCAM_BENCH_DEST_OFFSET=n starts every destination n bytes past a
// 64-byte boundary, memcpy's included.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_rows.h"
#include "capture/frame_output.h"
#include "capture/readout.h"
#include "image/demosaic.h"
#include "image/image_kernels.h"
#include "image/output_modes.h"

namespace {

using namespace tarncam;

constexpr uint32_t kW = kSensorWidth, kH = kSensorHeight;
constexpr std::size_t kPixels = std::size_t{kW} * kH;                 // 360,960
constexpr std::size_t kDemosaicOut = std::size_t{3} * kW * (kH - 1);  // 1,080,624
constexpr uint32_t kPitch = 796;                                      // full-window row pitch

// Frame buffers on 64-byte boundaries, as a client's frame buffers usually
// are (and as memcpy, which aligns its stores itself, does not need).
template <typename T>
struct Aligned {
  explicit Aligned(std::size_t n)
      : p(static_cast<T*>(std::aligned_alloc(64, (n * sizeof(T) + 63) / 64 * 64))), size(n) {}
  ~Aligned() { std::free(p); }
  T* data() { return p; }
  T* begin() { return p; }
  T* end() { return p + size; }
  T* p;
  std::size_t size;
};

struct Buffers {
  std::unique_ptr<CaptureState> state = std::make_unique<CaptureState>();
  Aligned<uint8_t> mosaic8{kPixels + 1};
  Aligned<uint16_t> mosaic16{kPixels + 1};
  Aligned<uint8_t> source{6 * kPixels + 64};
  Aligned<uint8_t> dest{6 * kPixels + 64};
  Aligned<uint8_t> transfer{2 * kPitch * kH};

  // Where every destination starts: 64-byte aligned, or moved on by
  // TARNCAM_BENCH_DEST_OFFSET bytes to see a client's less aligned buffer.
  std::size_t outOffset = 0;
  uint8_t* out() { return dest.data() + outOffset; }

  Buffers() {
    if (const char* offset = std::getenv("TARNCAM_BENCH_DEST_OFFSET"))
      outOffset = std::strtoul(offset, nullptr, 10) % 64;
    std::mt19937 rng(42);
    for (auto& b : state->rawBuffer) b = static_cast<uint8_t>(rng());
    for (auto& b : mosaic8) b = static_cast<uint8_t>(rng());
    for (auto& v : mosaic16) v = static_cast<uint16_t>(rng() & 1023);
    for (auto& b : source) b = static_cast<uint8_t>(rng());
    for (auto& b : transfer) b = static_cast<uint8_t>(rng());
  }
};
Buffers& B() {
  static Buffers b;
  return b;
}

void SetOutput(benchmark::State& st, std::size_t bytes) {
  st.counters["out_bytes"] = static_cast<double>(bytes);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * bytes));
}

void BM_memcpy(benchmark::State& st) {
  const auto n = static_cast<std::size_t>(st.range(0));
  for (auto _ : st) {
    std::memcpy(B().out(), B().source.data(), n);
    benchmark::ClobberMemory();
  }
  SetOutput(st, n);
}

// GETBUFFER in one mode, whole frame; the 16-bit modes reuse the widening.
void BM_GETBUFFER(benchmark::State& st) {
  const auto mode = static_cast<uint32_t>(st.range(0));
  static constexpr uint32_t kLength[] = {2 * kPixels, kPixels, kPixels, kPixels, 0, kPixels};
  static constexpr std::size_t kBytes[] = {2 * kPixels, kPixels,      3 * kPixels,
                                           6 * kPixels, kDemosaicOut, 2 * kPixels};
  CaptureState& s = *B().state;
  SelectOutputMode(s, mode);
  WriteFrameOutput(s, B().out(), kLength[mode]);
  for (auto _ : st) {
    benchmark::DoNotOptimize(WriteFrameOutput(s, B().out(), kLength[mode]));
    benchmark::ClobberMemory();
  }
  SetOutput(st, kBytes[mode]);
}

void BM_WidenFrame(benchmark::State& st) {
  CaptureState& s = *B().state;
  for (auto _ : st) {
    s.wideValid.store(0, std::memory_order_relaxed);  // as a new frame would
    WidenFrame(s);
    benchmark::ClobberMemory();
  }
  SetOutput(st, 2 * kPixels);
}

void BM_bufferCopy(benchmark::State& st) {
  for (auto _ : st) {
    benchmark::DoNotOptimize(CopyOverlapping(B().source.data(), B().out(), kPixels));
    benchmark::ClobberMemory();
  }
  SetOutput(st, kPixels);
}

template <int kMember>
void BM_Demosaic(benchmark::State& st) {
  Buffers& b = B();
  for (auto _ : st) {
    if constexpr (kMember == 0) debayerImage(b.mosaic8.data(), b.out(), kW, kH);
    if constexpr (kMember == 1) debayerImageW(b.mosaic16.data(), b.out(), kW, kH);
    if constexpr (kMember == 2) debayerImageFITBYTE(b.mosaic8.data(), b.out(), kW, kH);
    if constexpr (kMember == 3)
      debayerImageFITWORD(b.mosaic16.data(), reinterpret_cast<uint16_t*>(b.out()), kW, kH);
    benchmark::ClobberMemory();
  }
  SetOutput(st, kMember == 3 ? 2 * kDemosaicOut : kDemosaicOut);
}

void BM_CopyRows8(benchmark::State& st) {
  for (auto _ : st) {
    CopyRows(B().out(), B().transfer.data(), kH, kW, kPitch);
    benchmark::ClobberMemory();
  }
  SetOutput(st, kPixels);
}

// What the readout does with a 10-bit frame: the copy and the repack in one.
void BM_CopyRows10_Repack10(benchmark::State& st) {
  for (auto _ : st) {
    DeliverRows(B().out(), B().transfer.data(), kH, 2 * kW, 2 * kPitch, kPixels);
    benchmark::ClobberMemory();
  }
  SetOutput(st, 2 * kPixels);
}

// The two halves of the 10-bit path on their own, for the record.
void BM_CopyRows10(benchmark::State& st) {
  for (auto _ : st) {
    CopyRows(B().out(), B().transfer.data(), kH, 2 * kW, 2 * kPitch);
    benchmark::ClobberMemory();
  }
  SetOutput(st, 2 * kPixels);
}

void BM_Repack10(benchmark::State& st) {
  for (auto _ : st) {
    Repack10(B().out(), kPixels);
    benchmark::ClobberMemory();
  }
  SetOutput(st, 2 * kPixels);
}

// OpenCV's bilinear Bayer to RGB of the same 752 x 480 8-bit mosaic.
void BM_OpenCV_BayerBG2RGB(benchmark::State& st) {
  cv::setNumThreads(static_cast<int>(st.range(0)));
  const cv::Mat src(kH, kW, CV_8UC1, B().mosaic8.data());
  cv::Mat dst(kH, kW, CV_8UC3, B().out());
  for (auto _ : st) {
    cv::cvtColor(src, dst, cv::COLOR_BayerBG2RGB);
    benchmark::ClobberMemory();
  }
  cv::setNumThreads(1);
  SetOutput(st, std::size_t{3} * kPixels);
}

// The fastest of a benchmark's repetitions, as an extra statistic.
double FastestOf(const std::vector<double>& v) {
  return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

// Keeps the fastest repetition of each benchmark.
class Collector : public benchmark::ConsoleReporter {
 public:
  struct Entry {
    double nanoseconds;
    double bytes;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.aggregate_name != "fastest" && r.run_type != Run::RT_Iteration) continue;
      if (r.run_type == Run::RT_Iteration && medians_.count(r.run_name.str()) != 0) continue;
      const auto it = r.counters.find("out_bytes");
      const double ns = r.GetAdjustedRealTime() * (r.time_unit == benchmark::kMicrosecond   ? 1e3
                                                   : r.time_unit == benchmark::kMillisecond ? 1e6
                                                                                            : 1.0);
      if (r.run_type == Run::RT_Aggregate || medians_.count(r.run_name.str()) == 0)
        medians_[r.run_name.str()] = {ns, it == r.counters.end() ? 0.0 : it->second.value};
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, Entry>& medians() const { return medians_; }

 private:
  std::map<std::string, Entry> medians_;
};

// The Google Benchmark name behind each table row (bench/ratio_rows.h).
const char* BenchmarkFor(const std::string& key) {
  static const std::map<std::string, const char*> kNames = {
      {"getbuffer0", "BM_GETBUFFER/0"},
      {"getbuffer1", "BM_GETBUFFER/1"},
      {"buffercopy", "BM_bufferCopy"},
      {"copyrows8", "BM_CopyRows8"},
      {"copyrows10repack", "BM_CopyRows10_Repack10"},
      {"copyrows10", "BM_CopyRows10"},
      {"repack10", "BM_Repack10"},
      {"widen", "BM_WidenFrame"},
      {"getbuffer2", "BM_GETBUFFER/2"},
      {"getbuffer5", "BM_GETBUFFER/5"},
      {"getbuffer3", "BM_GETBUFFER/3"},
      {"debayer", "BM_Demosaic<0>"},
      {"getbuffer4", "BM_GETBUFFER/4"},
      {"debayerW", "BM_Demosaic<1>"},
      {"fitbyte", "BM_Demosaic<2>"},
      {"fitword", "BM_Demosaic<3>"},
      {"opencv1", "BM_OpenCV_BayerBG2RGB/1"},
      {"opencv2", "BM_OpenCV_BayerBG2RGB/2"},
  };
  const auto it = kNames.find(key);
  return it == kNames.end() ? nullptr : it->second;
}

void PrintTable(const Collector& c, std::FILE* tsv) {
  const auto& m = c.medians();
  auto find = [&](const std::string& prefix) -> const Collector::Entry* {
    for (const auto& [name, e] : m)
      if (name == prefix || name.rfind(prefix + "/", 0) == 0) return &e;
    return nullptr;
  };
  std::printf(
      "\nKernel level: %d (0 plain, 1 SSE2, 2 SSSE3, 3 AVX2). Fastest of the repetitions.\n",
      static_cast<int>(image::Kernels().level));
  std::printf("%-44s %10s %10s %10s %7s %7s\n", "operation", "out bytes", "time us", "memcpy us",
              "ratio", "target");
  for (const bench::RatioRow& r : bench::kRatioRows) {
    const char* name = BenchmarkFor(r.key);
    const Collector::Entry* e = name != nullptr ? find(name) : nullptr;
    if (e == nullptr) continue;
    const Collector::Entry* base =
        find("BM_memcpy/" + std::to_string(static_cast<long long>(e->bytes)));
    const double ratio = base != nullptr ? e->nanoseconds / base->nanoseconds : 0;
    const double baseUs = base != nullptr ? base->nanoseconds / 1e3 : 0.0;
    char target[16] = "";
    if (r.target > 0)
      std::snprintf(target, sizeof target, "%s%.1f", ratio <= r.target ? "<=" : "MISS ", r.target);
    std::printf("%-44s %10.0f %10.1f %10.1f %7.2f %7s\n", r.label, e->bytes, e->nanoseconds / 1e3,
                baseUs, ratio, target);
    if (tsv != nullptr)
      bench::WriteRatioLine(tsv, r, ratio, e->nanoseconds / 1e3, baseUs, e->bytes);
  }
  const auto* ours = find("BM_Demosaic<0>");
  const auto* cv1 = find("BM_OpenCV_BayerBG2RGB/1");
  if (ours != nullptr && cv1 != nullptr)
    std::printf("debayerImage time / OpenCV 1-thread time: %.2f\n",
                ours->nanoseconds / cv1->nanoseconds);
}

}  // namespace

#define TARNCAM_FASTEST ComputeStatistics("fastest", FastestOf)
BENCHMARK(BM_memcpy)
    ->Arg(kPixels)
    ->Arg(2 * kPixels)
    ->Arg(3 * kPixels)
    ->Arg(6 * kPixels)
    ->Arg(kDemosaicOut)
    ->Arg(2 * kDemosaicOut)
    ->TARNCAM_FASTEST;
BENCHMARK(BM_GETBUFFER)->DenseRange(0, 5)->TARNCAM_FASTEST;
BENCHMARK(BM_WidenFrame)->TARNCAM_FASTEST;
BENCHMARK(BM_bufferCopy)->TARNCAM_FASTEST;
BENCHMARK_TEMPLATE(BM_Demosaic, 0)->TARNCAM_FASTEST;
BENCHMARK_TEMPLATE(BM_Demosaic, 1)->TARNCAM_FASTEST;
BENCHMARK_TEMPLATE(BM_Demosaic, 2)->TARNCAM_FASTEST;
BENCHMARK_TEMPLATE(BM_Demosaic, 3)->TARNCAM_FASTEST;
BENCHMARK(BM_CopyRows8)->TARNCAM_FASTEST;
BENCHMARK(BM_CopyRows10_Repack10)->TARNCAM_FASTEST;
BENCHMARK(BM_CopyRows10)->TARNCAM_FASTEST;
BENCHMARK(BM_Repack10)->TARNCAM_FASTEST;
BENCHMARK(BM_OpenCV_BayerBG2RGB)->Arg(1)->Arg(2)->TARNCAM_FASTEST;
#undef TARNCAM_FASTEST

int main(int argc, char** argv) {
  if (const char* level = std::getenv("TARNCAM_BENCH_LEVEL")) {
    const std::string l = level;
    image::LimitSimdLevel(l == "plain"   ? image::SimdLevel::kPlain
                          : l == "sse2"  ? image::SimdLevel::kSse2
                          : l == "ssse3" ? image::SimdLevel::kSsse3
                                         : image::SimdLevel::kAvx2);
  }
  // --tsv=FILE: also write the table's rows for bench/run_benchmarks.sh.
  std::FILE* tsv = nullptr;
  std::vector<char*> rest;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--tsv=", 6) != 0) {
      rest.push_back(argv[i]);
    } else if ((tsv = std::fopen(argv[i] + 6, "w")) == nullptr) {
      std::fprintf(stderr, "image_bench: cannot write %s\n", argv[i] + 6);
      return 2;
    }
  }
  // Defaults, placed first so that flags on the command line win.
  std::vector<char*> args = {argv[0]};
  // Many short repetitions: on a busy machine a short one is more likely to
  // run undisturbed, and the table keeps the fastest.
  static char kReps[] = "--benchmark_repetitions=61";
  static char kInterleave[] = "--benchmark_enable_random_interleaving=true";
  static char kAggregates[] = "--benchmark_report_aggregates_only=true";
  static char kMinTime[] = "--benchmark_min_time=0.004";
  static char kWarmUp[] = "--benchmark_min_warmup_time=0.005";  // refill the caches first
  args.insert(args.end(), {kReps, kInterleave, kAggregates, kMinTime, kWarmUp});
  args.insert(args.end(), rest.begin(), rest.end());
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  B();  // allocate and touch everything before timing
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  PrintTable(collector, tsv);
  if (tsv != nullptr) std::fclose(tsv);
  benchmark::Shutdown();
  return 0;
}
