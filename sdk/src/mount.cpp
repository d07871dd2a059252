// Mount model: what moves the star field on the sensor between frames.
//
// Right ascension runs along the sensor's x axis and declination along y. The field drifts by the
// worm gear's periodic error (a fundamental and its second harmonic, a few arcseconds over a few
// minutes) and by polar misalignment (a slow, steady drift, mostly in declination). ST4 pulses
// move the field at the guide rate for as long as they last: east +x, west -x, north -y,
// south +y, so a guider that measures the drift can cancel it.
#include "sky.h"
#include "synthesis.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace asisim {

namespace {

constexpr double kSiderealArcsecPerS = 15.041;
constexpr double kGuideRate = 0.5; // fraction of sidereal, a common default

double unit(uint64_t *state) {
    // splitmix64: a few well-mixed numbers from the camera's seed.
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return double(z >> 11) * 0x1.0p-53;
}

} // namespace

struct Mount::Impl {
    // Drift, arcseconds.
    double pe_amplitude = 3.5, pe_period_s = 480.0, pe_phase = 0.0;
    double pe2_amplitude = 1.0, pe2_phase = 0.0;
    double polar_ra_arcsec_per_s = 0.0, polar_dec_arcsec_per_s = 0.0;
    // Guiding: offset accumulated by finished pulses, and the start of the running ones.
    double guided_x = 0.0, guided_y = 0.0;
    bool on[4] = {};
    double since[4] = {};

    explicit Impl(uint64_t seed) {
        uint64_t s = seed ^ 0x6D6F756E74ull; // "mount"
        pe_amplitude = 2.5 + 2.0 * unit(&s);
        pe_period_s = 400.0 + 200.0 * unit(&s);
        pe_phase = 2.0 * std::numbers::pi * unit(&s);
        pe2_amplitude = pe_amplitude * (0.2 + 0.2 * unit(&s));
        pe2_phase = 2.0 * std::numbers::pi * unit(&s);
        const double dec_sign = unit(&s) < 0.5 ? -1.0 : 1.0;
        polar_dec_arcsec_per_s = dec_sign * (0.01 + 0.02 * unit(&s));
        polar_ra_arcsec_per_s = (unit(&s) - 0.5) * 0.01;
    }

    static double sign_x(int dir) { return dir == ASI_GUIDE_EAST ? 1.0 : dir == ASI_GUIDE_WEST ? -1.0 : 0.0; }
    static double sign_y(int dir) {
        return dir == ASI_GUIDE_SOUTH ? 1.0 : dir == ASI_GUIDE_NORTH ? -1.0 : 0.0;
    }

    // Offset in arcseconds at time t, zero at t = 0 before any pulse.
    void offset_arcsec(double t, double *x, double *y) const {
        const double w = 2.0 * std::numbers::pi / pe_period_s;
        const double pe = pe_amplitude * (std::sin(w * t + pe_phase) - std::sin(pe_phase)) +
                          pe2_amplitude * (std::sin(2.0 * w * t + pe2_phase) - std::sin(pe2_phase));
        double gx = guided_x, gy = guided_y;
        const double rate = kGuideRate * kSiderealArcsecPerS;
        for (int d = 0; d < 4; ++d) {
            if (!on[d])
                continue;
            const double moved = rate * std::max(0.0, t - since[d]);
            gx += sign_x(d) * moved;
            gy += sign_y(d) * moved;
        }
        *x = pe + polar_ra_arcsec_per_s * t + gx;
        *y = polar_dec_arcsec_per_s * t + gy;
    }
};

Mount::Mount(uint64_t seed) : impl_(std::make_unique<Impl>(seed)) {}
Mount::~Mount() = default;

static bool valid_direction(ASI_GUIDE_DIRECTION dir) {
    return int(dir) >= 0 && int(dir) < 4;
}

void Mount::guide_on(ASI_GUIDE_DIRECTION dir, double t) {
    if (!valid_direction(dir) || impl_->on[dir])
        return; // a pulse already running keeps its start
    impl_->on[dir] = true;
    impl_->since[dir] = t;
}

void Mount::guide_off(ASI_GUIDE_DIRECTION dir, double t) {
    if (!valid_direction(dir) || !impl_->on[dir])
        return;
    const double moved = kGuideRate * kSiderealArcsecPerS * std::max(0.0, t - impl_->since[dir]);
    impl_->guided_x += Impl::sign_x(dir) * moved;
    impl_->guided_y += Impl::sign_y(dir) * moved;
    impl_->on[dir] = false;
}

void Mount::field_offset(double t, const CameraModel &model, double *dx_px, double *dy_px) const {
    double x = 0.0, y = 0.0;
    impl_->offset_arcsec(t, &x, &y);
    const double scale = pixel_scale_arcsec(model);
    if (dx_px)
        *dx_px = x / scale;
    if (dy_px)
        *dy_px = y / scale;
}

} // namespace asisim
