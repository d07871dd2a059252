// What changes from one frame to the next on the sensor and in the sky: cosmic-ray hits,
// random-telegraph pixels, satellite and aircraft trails. Each frame draws its own from a key of
// the frame (camera seed and frame index), so the same frame renders the same in every thread and
// every readout path.
#pragma once

#include "catalogue.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace asisim {

// Cosmic rays at ground level (muons and the electrons that gammas knock loose), hits per square
// centimetre of sensor per second.
inline constexpr double kCosmicRaysPerCm2PerS = 0.025;
// Depth of the pixels' light-sensitive silicon, micrometres: a muon leaves about 75 electrons per
// micrometre of its path through it.
inline constexpr double kSensitiveDepthUm = 5.0;
inline constexpr double kMuonElectronsPerUm = 75.0;

// Charge of a hit in one sensor pixel, electrons.
struct Deposit {
    int32_t x, y;
    float electrons;
};
// The cosmic-ray charge left in the sensor region [x0, x0 + width) x [y0, y0 + height) (sensor
// pixels, within the sensor) during `exposure_s`, sorted by row, then column.
std::vector<Deposit> cosmic_ray_deposits(const CameraModel &m, uint64_t frame_key, int64_t x0, int64_t y0,
                                         int width, int height, double exposure_s);

// Random-telegraph pixels: one in 5000 pixels of a sensor (by its seed) whose readout jumps
// between two levels, `amplitude` read-noise sigmas apart (4 to 20), high in a share of frames
// (0.2 to 0.6). Sorted by row, then column.
struct RtsPixel {
    int32_t x, y;
    float amplitude;
    float high_share;
};
inline constexpr double kRtsPixelShare = 1.0 / 5000.0;
std::shared_ptr<const std::vector<RtsPixel>> rts_pixels(const CameraModel &m, uint64_t seed);
// Whether RTS pixel number `index` reads high in the frame of `frame_key`.
bool rts_high(uint64_t frame_key, size_t index, float high_share);

// A straight trail across the sensor: the line through (x, y) along (cos, sin), in sensor pixels,
// with a Gaussian profile `sigma` wide and `electrons_per_px` per pixel of its length (a mono
// pixel's; a colour sensor's pixels take share[colour]); dashed when dash_period > 0 (lit for
// dash_on pixels of every dash_period).
struct Trail {
    double x, y, cos, sin;
    double sigma;
    double electrons_per_px;
    float share[3];
    double dash_period, dash_on;
};
// Satellites (about 4 an hour per degree of field, magnitudes 4 to 8, 0.3 to 1.5 degrees per second)
// and aircraft (0.4 an hour per degree: two steady wing-tip lines, red and green, and the dashes
// of the white strobe between them) crossing the whole sensor during a light exposure.
// `electrons_mag0_per_s`: detected electrons per second of a magnitude-0 source.
std::vector<Trail> trails(const CameraModel &m, uint64_t frame_key, double exposure_s,
                          double electrons_mag0_per_s, double psf_sigma_px, double scale_arcsec);
// Adds the trails' light on sensor row `sy` to row[0 .. width) (sensor columns x0 ...); true when
// some trail crosses the row.
bool add_trails(const std::vector<Trail> &trails, const CameraModel &m, int64_t sy, int64_t x0, int width,
                float *row);

} // namespace asisim
