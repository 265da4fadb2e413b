#include "api/settings.h"

#include <cstdio>

#include "sensor/settings.h"

namespace tarncam::api {
namespace {

// The public header states the sensor and its window rule for clients; the
// core's geometry is built on the same numbers.
static_assert(TARNCAM_SENSOR_WIDTH == kSensorWidth && TARNCAM_SENSOR_HEIGHT == kSensorHeight &&
              TARNCAM_WINDOWED_ROW_WIDTH == kWindowedRowColumns);

// Indexed by tarncam_control. The exported interface stores whatever it is
// given; here the values are those the camera takes whole: the digital gain
// is sent as one byte, the offset is only recorded, and exposures beyond an
// hour would only make the read timeout overflow sooner.
constexpr ControlRange kRanges[TARNCAM_CONTROL_COUNT] = {
    {0, kMaxExposureMs, 50},  // EXPOSURE_MS
    {0, 100, 50},             // GAIN
    {0, 255, 127},            // OFFSET
    {8, 10, 8},               // BIT_DEPTH: 8 or 10
    {0, 1, 0},                // FLIP_HORIZONTAL
    {0, 1, 0},                // FLIP_VERTICAL
    {0, 1, 1},                // ROW_NOISE
    {0, 1, 0},                // AGC
    {0, 1, 0},                // COMPANDING
    {0, 6, 0},                // ADC_REFERENCE
    {0, 255, 244},            // DIGITAL_GAIN
};

}  // namespace

const ControlRange* RangeOf(int control) {
  if (control < 0 || control >= TARNCAM_CONTROL_COUNT) return nullptr;
  return &kRanges[control];
}

Settings::Settings() {
  for (int c = 0; c < TARNCAM_CONTROL_COUNT; ++c) controls[c] = kRanges[c].defaultValue;
}

WindowPlacement Settings::Placement() const {
  return PlaceWindow(width, height, Get(TARNCAM_CONTROL_FLIP_HORIZONTAL) != 0,
                     Get(TARNCAM_CONTROL_FLIP_VERTICAL) != 0);
}

bool InRange(tarncam_control control, int64_t value) {
  const ControlRange* r = RangeOf(control);
  if (r == nullptr || value < r->min || value > r->max) return false;
  return control != TARNCAM_CONTROL_BIT_DEPTH || value == 8 || value == 10;
}

bool WindowFits(uint32_t width, uint32_t height) {
  return width >= 1 && width <= tarncam_window_max_width(height);
}

void ApplyToCore(const Settings& st, CameraState& s) {
  StoreWindow(s, st.width, st.height);
  StoreSampleDepth(s, static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_BIT_DEPTH)));
  s.horizontalFlip = static_cast<Switch>(st.Get(TARNCAM_CONTROL_FLIP_HORIZONTAL));
  s.verticalFlip = static_cast<Switch>(st.Get(TARNCAM_CONTROL_FLIP_VERTICAL));
  s.rowNoise = static_cast<Switch>(st.Get(TARNCAM_CONTROL_ROW_NOISE));
  s.agc = static_cast<Switch>(st.Get(TARNCAM_CONTROL_AGC));
  s.companding = static_cast<Switch>(st.Get(TARNCAM_CONTROL_COMPANDING));
  StoreAdcReference(s, static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_ADC_REFERENCE)));
  s.digitalGain = static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_DIGITAL_GAIN));
  s.exposure = static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_EXPOSURE_MS));
  s.gain = static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_GAIN));
  s.offset = static_cast<uint32_t>(st.Get(TARNCAM_CONTROL_OFFSET));
  s.extraValue = 0;
}

tarncam_window DescribeWindow(const Settings& st, bool colour) {
  tarncam_window w{};
  w.struct_size = sizeof w;
  w.width = st.width;
  w.height = st.height;
  const WindowPlacement p = st.Placement();
  w.x_origin = p.xOrigin;
  w.y_origin = p.yOrigin;
  w.first_x = p.firstX;
  w.first_y = p.firstY;
  w.first_colour = TARNCAM_COLOUR_NONE;
  if (colour) {
    w.first_colour = TARNCAM_COLOUR_RED + static_cast<int32_t>(ColourAt(p.firstX, p.firstY));
    std::snprintf(w.bayer_pattern, sizeof w.bayer_pattern, "%s",
                  BayerPatternAt(p.firstX, p.firstY));
  }
  w.bytes_per_sample = st.BytesPerSample();
  w.frame_bytes = st.FrameBytes();
  return w;
}

}  // namespace tarncam::api
