#pragma once
// The rows of every benchmark table: each operation on a full 752 x 480
// frame, timed as a ratio to memcpy of the same number of output bytes, with
// the ratio it must not exceed. The benchmark programs write one line per row
// they measured (see WriteRatioLine), so that bench/run_benchmarks.sh can set
// the builds side by side and scripts/bench-guard.sh can check them.

#include <cstdio>

namespace tarncam::bench {

struct RatioRow {
  const char* key;    // stable name, shared by every program
  const char* label;  // what the table shows
  double target;      // the ratio the operation must stay within; 0: none
};

inline constexpr RatioRow kRatioRows[] = {
    {"getbuffer0", "GETBUFFER mode 0 (16-bit copy)", 1.1},
    {"getbuffer1", "GETBUFFER mode 1 (raw copy)", 1.1},
    {"buffercopy", "bufferCopy", 1.1},
    {"copyrows8", "readout row copy, 8-bit", 1.5},
    {"copyrows10repack", "readout row copy + repack, 10-bit", 2.5},
    {"copyrows10", "  of which row copy, 10-bit", 0},
    {"repack10", "  of which repack, 10-bit", 0},
    {"widen", "WidenFrame (16-bit widening)", 1.5},
    {"getbuffer2", "GETBUFFER mode 2 (8-bit triplets)", 1.5},
    {"getbuffer5", "GETBUFFER mode 5 (big-endian, zero 32768)", 1.5},
    {"getbuffer3", "GETBUFFER mode 3 (16-bit triplets)", 1.0},
    {"debayer", "debayerImage", 3.0},
    {"getbuffer4", "GETBUFFER mode 4 (demosaic)", 3.0},
    {"debayerW", "debayerImageW", 5.5},
    {"fitbyte", "debayerImageFITBYTE", 2.0},
    {"fitword", "debayerImageFITWORD", 1.5},
    {"opencv1", "OpenCV bilinear Bayer to RGB, 1 thread", 0},
    {"opencv2", "OpenCV bilinear Bayer to RGB, 2 threads", 0},
};

// One measured row, tab-separated: key, ratio, time and memcpy time in
// microseconds, output bytes, target, label.
inline void WriteRatioLine(std::FILE* f, const RatioRow& row, double ratio, double microseconds,
                           double memcpyMicroseconds, double bytes) {
  std::fprintf(f, "%s\t%.4f\t%.2f\t%.2f\t%.0f\t%.2f\t%s\n", row.key, ratio, microseconds,
               memcpyMicroseconds, bytes, row.target, row.label);
}

}  // namespace tarncam::bench
