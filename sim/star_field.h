#pragma once
// The star-field scene: a fixed random sky drawn from a seed, rendered through
// the sensor model.
//
// Light: each star is a Moffat profile (beta 3) with the configured FWHM,
// integrated over 3 x 3 sub-pixel samples, at a sub-pixel position that the
// guide offset moves (spread along the path the field took during the light,
// so that motion within an exposure trails it); the sky adds a flat rate. Rates are kept as an
// electron-rate image of the whole sensor, rebuilt only when the guide offset
// changes (star stamps are small; nothing evaluates the profile per frame).
// Colour cameras see a Bayer mosaic: red at even row / even column of the
// full sensor, green at the two mixed sites, blue at odd / odd; each star and
// the sky have their own colour.
//
// Per frame: Poisson shot noise on the electrons of the exposure, dark
// current (hot pixels glow), read noise, then conversion to 10-bit units at
// 4 electrons per unit times the analogue gain, a bias of 40 units and
// clipping to 0..1023; 8-bit samples are the 10-bit value shifted right by 2.
// Flips mirror the window's readout order; blanking columns read the bias.

#include <cstdint>
#include <vector>

#include "sim/frame_generator.h"

namespace sim {

struct Star {
  double x;       // sensor column of the centre, before the guide offset
  double y;       // sensor row
  double flux;    // electrons per second
  double rgb[3];  // relative response of the red, green and blue sites
};

class StarField final : public FrameGenerator {
 public:
  explicit StarField(const StarFieldConfig& config);

  void Configure(const FrameConditions& c) override;
  uint64_t Generate(uint8_t* dst, uint64_t length) override;

  const std::vector<Star>& Stars() const { return stars; }
  // The electron rate of a sensor pixel at the configured offset.
  float RateAt(uint32_t x, uint32_t y) const { return rate[y * kSensorColumns + x]; }

  static constexpr double kElectronsPerUnit = 4.0;  // at unity analogue gain
  static constexpr double kBiasUnits = 40.0;
  static constexpr double kHotRate = 3000.0;  // e-/s of a hot pixel

 private:
  // The light of the stars at the given offsets, each with an equal share,
  // dimmed by `transparency`.
  void BuildRates(const std::vector<std::pair<double, double>>& at, double transparency);
  int Channel(uint32_t x, uint32_t y) const;

  StarFieldConfig config;
  std::vector<Star> stars;
  std::vector<uint32_t> hot;      // sensor pixel indices
  std::vector<float> rate;        // e-/s per sensor pixel, stars and sky
  std::vector<float> normals;     // standard normal deviates, drawn once
  std::vector<float> poissonExp;  // exp(-mean) for small means, by 1/64 e-
  std::vector<std::pair<double, double>> built;  // the offsets `rate` shows
  double builtTransparency = -1;
  FrameConditions cond;
};

}  // namespace sim
