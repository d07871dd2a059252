// The sensor of a simulated camera: how electrons become ADU, and the noise on the way.
#pragma once

#include "catalogue.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace asisim {

// Electrons per ADU at the native bit depth: the model's published factor at gain 0, one electron
// per ADU at its unity gain, and above that 0.1 dB of amplification (20 log10) per gain step.
double electrons_per_adu(const CameraModel &m, int gain);
// Read noise in electrons: the model's figure at gain 0 falling to its high-gain figure at the
// gain maximum, steeply at first as on real CMOS sensors. On sensors with dual conversion gain
// (and with `conversion_gain` true) the curve falls to the figure just below the switch, drops
// there in one step and falls on to the high-gain figure above it.
double read_noise_electrons(const CameraModel &m, int gain, bool conversion_gain = true);
// Black level drift with the sensor's temperature, native ADU (0 at kCurveReferenceC).
double bias_drift_adu(const CameraModel &m, double temp_c);
// Amplifier glow at the glowing corners in e-/s: the catalogue's rate at gain 0 and the model's
// glow reference temperature, doubling every few degrees warmer and growing with gain (the
// model's curves).
double amp_glow_e_per_s(const CameraModel &m, int gain, double temp_c);
// Dark current per pixel in e-/s at a sensor temperature; doubles every 6 degrees.
double dark_current(const CameraModel &m, double temp_c);

// Fixed-pattern noise of the bias, as fractions of the read noise at the present gain: each
// pixel's own offset, each column's (the column amplifiers) and each row's.
inline constexpr double kBiasPixelFpn = 0.4, kBiasColumnFpn = 0.2, kBiasRowFpn = 0.1;
// Row noise drawn afresh for every frame (the row's readout circuits): each sensor row's offset,
// as a fraction of the read noise. The pixels' own read noise is the rest of the total, so that
// photon transfer still measures the published read noise.
inline constexpr double kRowNoise = 0.15;
// Pixel response non-uniformity, one sigma.
inline constexpr double kPrnu = 0.007;

// The Offset control in native ADU per step: enough that RAW8, the ADC's top 8 bits, shows the
// black level at the default offsets, inside one RAW8 step rather than on the edge between two
// (a 16-bit ADC 6 ADU per step, 14-bit 5, 12-bit 8), little enough that at gain 0 the pixels'
// full well, not the ADC, sets where they saturate.
double offset_adu_per_step(const CameraModel &m);
// The black level of a sensor pixel in native ADU: the offset above a pedestal that the sensor's
// black-level clamp keeps at four times the bias noise (read noise and fixed pattern) in ADU of
// the present gain, so the black level stays clear of zero at every gain.
double black_level_adu(const CameraModel &m, int gain, int offset, bool conversion_gain = true);

// Hot and warm pixels of one camera (by seed), sorted by row then column. `factor` multiplies
// the sensor's dark current at that pixel at 25 C; their dark current grows faster with
// temperature than the bulk's (doubling every 4 degrees instead of 6), so warm sensors show many
// more of them.
struct HotPixel {
    int32_t x, y;
    float factor;
};
std::shared_ptr<const std::vector<HotPixel>> hot_pixels(const CameraModel &m, uint64_t seed);
// The extra factor of a hot pixel's dark current over the bulk's at a temperature.
double hot_pixel_temperature_factor(double temp_c);

// Fixed pattern of one camera (by seed): bias offsets of each column and row (unit sigma; the
// renderer scales them), dust motes on the sensor window, and the per-row draws of the pixel
// patterns from the noise tables.
struct DustMote {
    float x, y;   // centre, sensor pixels
    float radius; // pixels
    float depth;  // fraction of the light taken away in the middle
};
struct FixedPattern {
    std::vector<float> column; // per sensor column
    std::vector<float> row;    // per sensor row
    std::vector<DustMote> dust;
    uint64_t seed = 0;
};
std::shared_ptr<const FixedPattern> fixed_pattern(const CameraModel &m, uint64_t seed);

// Two tables of unit-variance Gaussian samples. A row of noise is the sum of two runs read from
// independent random offsets (divided by sqrt 2): as good as fresh samples for a picture and for
// its statistics, and it keeps the per-pixel loop free of random-number arithmetic so that it
// vectorises.
inline constexpr size_t kNoiseTableSize = size_t{1} << 17;
struct NoiseTables {
    std::vector<float> a, b;
};
const NoiseTables &noise_tables();
// A smaller table of unit-variance Gaussian samples for the fixed patterns (bias pattern, PRNU):
// small enough to stay in the cache beside the noise tables, wider than any sensor.
inline constexpr size_t kPatternTableSize = size_t{1} << 15;
const std::vector<float> &pattern_table();

} // namespace asisim
