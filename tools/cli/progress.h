#pragma once
// Progress of a long exposure on stderr: a bar with the seconds left when
// stderr is a terminal, otherwise one plain line per exposure.

#include <cstdint>
#include <cstdio>

namespace tarncli {

class Progress {
 public:
  // Shows nothing for exposures of a second or less, or when quiet.
  Progress(FILE* out, bool quiet);

  void Start(uint32_t exposureMs, const char* label);
  void Update(uint64_t elapsedMs);
  void Finish();

 private:
  FILE* out_;
  bool quiet_;
  bool tty_;
  bool active_ = false;
  uint32_t totalMs_ = 0;
  int lastDrawn_ = -1;  // tenths of a second left at the last redraw
};

}  // namespace tarncli
