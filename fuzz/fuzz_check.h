#pragma once
// What every fuzz target uses: a property check that stops the run with the
// failed condition named, so libFuzzer saves the input that broke it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace fuzz {

// Reads little-endian values off the front of the input; past its end every
// value is 0, so a short input is still a valid (if dull) program.
class Input {
 public:
  Input(const uint8_t* data, std::size_t size) : p(data), left(size) {}
  uint32_t U8() { return left != 0 ? (--left, *p++) : 0u; }
  uint32_t U16() {
    const uint32_t lo = U8();
    return lo | U8() << 8;
  }
  uint32_t U32() {
    const uint32_t lo = U16();
    return lo | U16() << 16;
  }
  bool Empty() const { return left == 0; }
  // The rest of the input, as the bytes of whatever comes next.
  const uint8_t* Rest() const { return p; }
  std::size_t RestSize() const { return left; }
  void Skip(std::size_t n) {
    n = n < left ? n : left;
    p += n;
    left -= n;
  }

 private:
  const uint8_t* p;
  std::size_t left;
};

}  // namespace fuzz
