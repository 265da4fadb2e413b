#include "sim/star_field.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {
namespace {

// splitmix64: small, fast and good enough for noise; seeded per frame so a
// frame's noise depends only on the seed and the frame's number.
struct Rng {
  uint64_t s;
  uint64_t Next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return (Next() >> 11) * (1.0 / 9007199254740992.0); }
};

constexpr double kMoffatBeta = 3.0;
constexpr int kSubSamples = 3;
constexpr int kNormals = 1 << 14;
constexpr double kSmallMean = 12.0;  // below this, exact Poisson draws
constexpr int kExpSteps = 64;        // per electron in the exp(-mean) table
// Sky colour: relative response of red, green, blue sites.
constexpr double kSkyRgb[3] = {0.8, 1.0, 0.7};

}  // namespace

StarField::StarField(const StarFieldConfig& c) : config(c) {
  Rng rng{c.seed * 0x2545F4914F6CDD1Dull + 7};
  // Stars spill 20 pixels past the edges so that guiding moves some in and
  // out. The first star is the brightest and sits well inside the sensor,
  // clear of the edges whatever window is read, as a target for centroids.
  for (uint32_t i = 0; i < c.starCount; ++i) {
    Star s{};
    if (i == 0) {
      s.x = 300 + rng.Uniform() * 150;
      s.y = 180 + rng.Uniform() * 120;
      s.flux = c.brightness;
    } else {
      s.x = -20 + rng.Uniform() * (kSensorColumns + 40);
      s.y = -20 + rng.Uniform() * (kSensorRows + 40);
      s.flux = c.brightness * std::pow(10.0, -0.4 * (0.5 + rng.Uniform() * 5.0));
    }
    // A colour between blue-white and red: temperature-like, green in the
    // middle.
    const double t = rng.Uniform();
    s.rgb[0] = 0.5 + t;
    s.rgb[1] = 1.0;
    s.rgb[2] = 1.5 - t;
    stars.push_back(s);
  }
  for (uint32_t i = 0; i < c.hotPixels; ++i)
    hot.push_back(static_cast<uint32_t>(rng.Next() % (uint64_t{kSensorColumns} * kSensorRows)));

  normals.resize(kNormals);
  for (int i = 0; i < kNormals; i += 2) {
    // Box-Muller, once: per-pixel draws only index this table.
    const double u1 = std::max(rng.Uniform(), 1e-300);
    const double u2 = rng.Uniform();
    const double r = std::sqrt(-2.0 * std::log(u1));
    normals[i] = static_cast<float>(r * std::cos(2 * std::numbers::pi * u2));
    normals[i + 1] = static_cast<float>(r * std::sin(2 * std::numbers::pi * u2));
  }
  poissonExp.resize(static_cast<size_t>(kSmallMean * kExpSteps) + 1);
  for (size_t i = 0; i < poissonExp.size(); ++i)
    poissonExp[i] = static_cast<float>(std::exp(-static_cast<double>(i) / kExpSteps));
  rate.assign(size_t{kSensorColumns} * kSensorRows, 0.0f);
}

int StarField::Channel(uint32_t x, uint32_t y) const {
  if (!config.colour) return 1;  // mono: every site answers like green
  if ((y & 1) == 0) return (x & 1) == 0 ? 0 : 1;
  return (x & 1) == 0 ? 1 : 2;
}

void StarField::BuildRates(const std::vector<std::pair<double, double>>& at, double transparency) {
  // Sky first, then each star's stamp.
  for (uint32_t y = 0; y < kSensorRows; ++y)
    for (uint32_t x = 0; x < kSensorColumns; ++x)
      rate[y * kSensorColumns + x] = static_cast<float>(config.skyLevel * kSkyRgb[Channel(x, y)]);

  // Moffat: I(r) = (beta - 1) / (pi a^2) (1 + r^2/a^2)^-beta, normalised to 1.
  const double alpha = config.fwhmPx / (2.0 * std::sqrt(std::pow(2.0, 1.0 / kMoffatBeta) - 1.0));
  const double a2 = alpha * alpha;
  const double norm = (kMoffatBeta - 1.0) / (std::numbers::pi * a2) / (kSubSamples * kSubSamples);
  // Out to 3.5 FWHM a beta-3 star has all but about 1% of its light; the
  // rest is dropped rather than spread over the frame.
  const int radius = std::max(6, static_cast<int>(std::ceil(3.5 * config.fwhmPx)));
  // A star guided this far off cannot reach the sensor (and its position
  // would not fit an int).
  constexpr double kFarOff = 1e6;
  const double share = transparency / static_cast<double>(at.size());
  for (const auto& [offsetX, offsetY] : at) {
    for (const Star& s : stars) {
      const double cx = s.x + offsetX;
      const double cy = s.y + offsetY;
      if (!(std::fabs(cx) < kFarOff && std::fabs(cy) < kFarOff)) continue;
      const int px = static_cast<int>(std::floor(cx));
      const int py = static_cast<int>(std::floor(cy));
      for (int y = py - radius; y <= py + radius; ++y) {
        if (y < 0 || y >= static_cast<int>(kSensorRows)) continue;
        for (int x = px - radius; x <= px + radius; ++x) {
          if (x < 0 || x >= static_cast<int>(kSensorColumns)) continue;
          double sum = 0;
          for (int sy = 0; sy < kSubSamples; ++sy) {
            for (int sx = 0; sx < kSubSamples; ++sx) {
              // Pixel (x, y) covers [x, x+1) x [y, y+1); its centre is x + 0.5.
              const double dx = x + (sx + 0.5) / kSubSamples - cx;
              const double dy = y + (sy + 0.5) / kSubSamples - cy;
              const double q = 1.0 + (dx * dx + dy * dy) / a2;
              sum += 1.0 / (q * q * q);  // beta 3
            }
          }
          rate[y * kSensorColumns + x] +=
              static_cast<float>(s.flux * share * s.rgb[Channel(x, y)] * sum * norm);
        }
      }
    }
  }
  for (uint32_t i : hot) rate[i] += static_cast<float>(kHotRate);
  built = at;
  builtTransparency = transparency;
}

void StarField::Configure(const FrameConditions& c) {
  cond = c;
  std::vector<std::pair<double, double>> at = c.path;
  if (at.empty()) at.push_back({c.offsetX, c.offsetY});
  if (at != built || c.transparency != builtTransparency) BuildRates(at, c.transparency);
}

uint64_t StarField::Generate(uint8_t* dst, uint64_t length) {
  const SensorSettings& s = cond.sensor;
  const bool ten = s.TenBit();
  const uint32_t bps = s.BytesPerSample();
  const uint32_t pitch = s.RowPitch();
  const uint32_t rows = s.Rows();
  const uint64_t total = std::min<uint64_t>(s.FrameBytes(), length);
  const float unitsPerE = static_cast<float>(s.AnalogGain() / kElectronsPerUnit);
  const float t = static_cast<float>(cond.exposureS);
  const float readSigma = static_cast<float>(config.readNoise);
  Rng rng{config.seed ^ (cond.frameNumber * 0xD1B54A32D192ED03ull)};

  // The window: rows from the block's first row, columns centred on the
  // sensor when the row is narrower than it.
  const int y0 = static_cast<int>(s.firstRow) - static_cast<int>(kFirstImageRow);
  const uint32_t width = s.rowWidth;
  const int x0 = width < kSensorColumns ? static_cast<int>(kSensorColumns - width) / 2 : 0;

  uint64_t at = 0;
  for (uint32_t r = 0; r < rows && at + bps <= total; ++r) {
    const int y = y0 + static_cast<int>(s.VerticalFlip() ? rows - 1 - r : r);
    const bool rowInside = y >= 0 && y < static_cast<int>(kSensorRows);
    for (uint32_t c = 0; c < pitch && at + bps <= total; ++c, at += bps) {
      float electrons = 0;
      if (rowInside && c < width) {
        const int x = x0 + static_cast<int>(s.HorizontalFlip() ? width - 1 - c : c);
        if (x >= 0 && x < static_cast<int>(kSensorColumns)) {
          const float mean = rate[static_cast<size_t>(y) * kSensorColumns + x] * t;
          if (mean < kSmallMean) {
            // Knuth: multiply uniforms until below exp(-mean).
            const float limit = poissonExp[static_cast<size_t>(mean * kExpSteps)];
            float p = 1.0f;
            int k = -1;
            do {
              ++k;
              p *= static_cast<float>((rng.Next() >> 40) * (1.0 / 16777216.0));
            } while (p > limit);
            electrons = static_cast<float>(k);
          } else {
            electrons = mean + std::sqrt(mean) * normals[rng.Next() & (kNormals - 1)];
          }
        }
      }
      const float noise = readSigma * normals[rng.Next() & (kNormals - 1)];
      float units = (electrons + noise) * unitsPerE + static_cast<float>(kBiasUnits);
      units = std::clamp(units, 0.0f, 1023.0f);
      const uint32_t v10 = static_cast<uint32_t>(units + 0.5f);
      PutSample(dst + at, ten ? v10 : v10 >> 2, ten, r, c);
    }
  }
  return total;
}

}  // namespace sim
