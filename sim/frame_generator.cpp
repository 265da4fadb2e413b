#include "sim/frame_generator.h"

#include "sim/star_field.h"

namespace sim {

uint32_t TestPatternSample(uint32_t row, uint32_t column, bool tenBit) {
  // Neighbouring rows and columns always differ, and the slow terms break
  // the 256-column period of the 8-bit values, so a row or column offset of
  // any size shows up in a byte-exact comparison.
  const uint32_t v = 3 * column + 7 * row + 11 * (column >> 8) + 5 * (row >> 6);
  return tenBit ? v & 1023 : v & 255;
}

namespace {

class TestPattern final : public FrameGenerator {
 public:
  void Configure(const FrameConditions& c) override { sensor = c.sensor; }

  uint64_t Generate(uint8_t* dst, uint64_t length) override {
    const bool ten = sensor.TenBit();
    const uint32_t bps = sensor.BytesPerSample();
    const uint32_t pitch = sensor.RowPitch();
    const uint64_t total = std::min<uint64_t>(sensor.FrameBytes(), length);
    uint64_t at = 0;
    for (uint32_t r = 0; r < sensor.Rows() && at + bps <= total; ++r) {
      for (uint32_t c = 0; c < pitch && at + bps <= total; ++c, at += bps)
        PutSample(dst + at, TestPatternSample(r, c, ten), ten, r, c);
    }
    return total;
  }

 private:
  SensorSettings sensor;
};

}  // namespace

std::unique_ptr<FrameGenerator> MakeTestPattern() { return std::make_unique<TestPattern>(); }

std::unique_ptr<FrameGenerator> MakeStarField(const StarFieldConfig& config) {
  return std::make_unique<StarField>(config);
}

}  // namespace sim
