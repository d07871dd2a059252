// Mount model: what moves the star field on the sensor between frames.
//
// Right ascension runs along the sensor's x axis and declination along y. The field drifts by the
// worm gear's periodic error (a fundamental and its second harmonic over the worm's turn) and by
// polar misalignment (the declination error of an axis off the pole grows and shrinks over the
// sidereal day, with a smaller part in right ascension). ST4 pulses move the field at the guide
// rate for as long as they last: east +x, west -x, north -y, south +y, so a guider that measures
// the drift can cancel it. The declination gears have play: a pulse that reverses the axis first
// takes up the backlash and moves nothing until it has. Each frame's field is also shifted by the
// seeing's tip-tilt, drawn per frame by the renderer.
#include "mount.h"

#include "night.h"
#include "optics.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numbers>

namespace asisim {

namespace {

constexpr double kSiderealArcsecPerS = 15.041;
constexpr double kSiderealDayS = 86164.0905;
constexpr double kTipTiltTimeS = 0.3; // decorrelation time of the seeing's tip-tilt

constexpr std::array kParameters = std::to_array<MountParameterInfo>({
    {"periodic_error_arcsec", "ASISIM_PE_ARCSEC", 0.0, 300.0},
    {"periodic_error_period_s", "ASISIM_PE_PERIOD_S", 10.0, 7200.0},
    {"polar_error_arcmin", "ASISIM_POLAR_ERROR_ARCMIN", 0.0, 600.0},
    {"dec_backlash_arcsec", "ASISIM_DEC_BACKLASH_ARCSEC", 0.0, 600.0},
    {"seeing_jitter_arcsec", "ASISIM_JITTER_ARCSEC", 0.0, 30.0},
    {"guide_rate", "ASISIM_GUIDE_RATE", 0.1, 1.0},
});

// The seeing's tip-tilt over the aperture, one sigma per axis of a 1 s exposure: the
// instantaneous image motion 0.42 (lambda / D) (D / r0)^(5/6) at 500 nm, averaged over 1 s.
double default_jitter() {
    const Optics &o = optics();
    const double lambda = 0.5e-6, d = o.aperture_mm * 1e-3;
    const double r0 = 0.98 * lambda / (o.seeing_fwhm_arcsec / 206264.806);
    const double instant = 0.42 * lambda / d * std::pow(d / r0, 5.0 / 6.0) * 206264.806;
    return instant / std::sqrt(1.0 + 1.0 / kTipTiltTimeS);
}

// A mid-range German equatorial mount: 20" peak to peak over a 479 s worm turn (a 180-tooth
// worm wheel), polar-aligned to 5' with a polar scope, 15" of declination backlash; guide pulses
// at half the sidereal rate.
std::array<double, kParameters.size()> defaults() {
    std::array<double, kParameters.size()> v = {20.0, 479.0, 5.0, 15.0, default_jitter(), 0.5};
    for (size_t i = 0; i < kParameters.size(); ++i) {
        const char *text = std::getenv(kParameters[i].env);
        if (text == nullptr || *text == '\0')
            continue;
        char *end = nullptr;
        const double x = std::strtod(text, &end);
        if (end != text && *end == '\0' && x >= kParameters[i].lo && x <= kParameters[i].hi) // NaN fails
            v[i] = x;
    }
    v[4] = std::clamp(v[4], kParameters[4].lo, kParameters[4].hi);
    return v;
}

struct Parameters {
    std::mutex mutex;
    std::array<double, kParameters.size()> value = defaults();
};

Parameters &parameters() {
    static Parameters &p = *new Parameters; // read by video threads until the registry stops them
    return p;
}

int parameter_index(const char *name) {
    if (name == nullptr)
        return -1;
    for (size_t i = 0; i < kParameters.size(); ++i)
        if (std::strcmp(name, kParameters[i].name) == 0)
            return int(i);
    return -1;
}

double unit(uint64_t *state) {
    // splitmix64: a few well-mixed numbers from the camera's seed.
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return double(z >> 11) * 0x1.0p-53;
}

} // namespace

std::span<const MountParameterInfo> mount_parameter_table() {
    return {kParameters.data(), kParameters.size()};
}

bool set_mount_parameter(const char *name, double value) {
    const int i = parameter_index(name);
    if (i < 0 || !(value >= kParameters[size_t(i)].lo && value <= kParameters[size_t(i)].hi))
        return false;
    Parameters &p = parameters();
    std::lock_guard lock(p.mutex);
    p.value[size_t(i)] = value;
    return true;
}

bool get_mount_parameter(const char *name, double *value) {
    const int i = parameter_index(name);
    if (i < 0)
        return false;
    Parameters &p = parameters();
    std::lock_guard lock(p.mutex);
    if (value)
        *value = p.value[size_t(i)];
    return true;
}

void reset_mount_parameters() {
    Parameters &p = parameters();
    const auto fresh = defaults();
    std::lock_guard lock(p.mutex);
    p.value = fresh;
}

MountSettings mount_settings() {
    Parameters &p = parameters();
    std::lock_guard lock(p.mutex);
    const auto &v = p.value;
    return {v[0], v[1], v[2], v[3], v[4], v[5]};
}

double seeing_jitter_arcsec(double jitter_1s_arcsec, double exposure_s) {
    const double t = std::isfinite(exposure_s) ? std::max(exposure_s, 0.0) : 0.0;
    return jitter_1s_arcsec * std::sqrt((1.0 + 1.0 / kTipTiltTimeS) / (1.0 + t / kTipTiltTimeS));
}

struct Mount::Impl {
    // Drift: phases and the share of the second harmonic of the periodic error, the direction of
    // the polar axis's error, and the field's declination (its RA drift grows with tan dec).
    double pe_phase = 0.0, pe2_share = 0.3, pe2_phase = 0.0;
    double polar_phase = 0.0, tan_dec = 0.5;
    // Guiding: RA offset of finished pulses; the telescope's declination moved by them and the
    // play between the gears (telescope minus motor, in backlashes, within half of one either
    // way); the running pulses.
    double guided_x = 0.0;
    double dec_output = 0.0, slack = 0.0;
    bool on[4] = {};
    double since[4] = {};

    explicit Impl(uint64_t seed) {
        uint64_t s = seed ^ 0x6D6F756E74ull; // "mount"
        pe_phase = 2.0 * std::numbers::pi * unit(&s);
        pe2_share = 0.2 + 0.2 * unit(&s);
        pe2_phase = 2.0 * std::numbers::pi * unit(&s);
        polar_phase = 2.0 * std::numbers::pi * unit(&s);
        // The gears rest against one side or the other after the slew.
        slack = unit(&s) < 0.5 ? -0.5 : 0.5; // in backlashes; scaled when used
        tan_dec = std::tan(field_declination_deg(seed) * std::numbers::pi / 180.0);
    }

    static double sign_x(int dir) { return dir == ASI_GUIDE_EAST ? 1.0 : dir == ASI_GUIDE_WEST ? -1.0 : 0.0; }
    static double sign_y(int dir) {
        return dir == ASI_GUIDE_SOUTH ? 1.0 : dir == ASI_GUIDE_NORTH ? -1.0 : 0.0;
    }

    // The gears' play after the motor turns by `move` from play `slack` (both arcseconds).
    static double play_after(double slack_arcsec, double move, double backlash) {
        return std::clamp(slack_arcsec - move, -0.5 * backlash, 0.5 * backlash);
    }

    double slack_arcsec(double backlash) const { return std::clamp(slack, -0.5, 0.5) * backlash; }

    // Offset in arcseconds at time t, zero at t = 0 before any pulse.
    void offset_arcsec(const MountSettings &ms, double t, double *x, double *y) const {
        const double w = 2.0 * std::numbers::pi / ms.period_s;
        const double a1 = 0.5 * ms.periodic_error_arcsec / (1.0 + pe2_share), a2 = pe2_share * a1;
        const double pe = a1 * (std::sin(w * t + pe_phase) - std::sin(pe_phase)) +
                          a2 * (std::sin(2.0 * w * t + pe2_phase) - std::sin(pe2_phase));
        const double eps = ms.polar_error_arcmin * 60.0, omega = 2.0 * std::numbers::pi / kSiderealDayS;
        const double polar_dec = eps * (std::sin(omega * t + polar_phase) - std::sin(polar_phase));
        const double polar_ra = eps * tan_dec * (std::cos(omega * t + polar_phase) - std::cos(polar_phase));
        double gx = guided_x, move = 0.0;
        const double rate = ms.guide_rate * kSiderealArcsecPerS;
        for (int d = 0; d < 4; ++d) {
            if (!on[d])
                continue;
            const double moved = rate * std::max(0.0, t - since[d]);
            gx += sign_x(d) * moved;
            move += sign_y(d) * moved;
        }
        // The telescope's declination: the motor's motion less the play it takes up.
        const double b = ms.dec_backlash_arcsec, before = slack_arcsec(b);
        const double dec = dec_output + move + play_after(before, move, b) - before;
        *x = pe + polar_ra + gx;
        *y = polar_dec + dec;
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
    const MountSettings ms = mount_settings();
    const double moved = ms.guide_rate * kSiderealArcsecPerS * std::max(0.0, t - impl_->since[dir]);
    impl_->guided_x += Impl::sign_x(dir) * moved;
    const double move = Impl::sign_y(dir) * moved;
    if (move != 0.0) {
        const double b = ms.dec_backlash_arcsec;
        const double play = Impl::play_after(impl_->slack_arcsec(b), move, b);
        // The motor turns by the pulse; the telescope by that less the play taken up. The play is
        // kept as a fraction of the backlash (the setting may change between pulses).
        impl_->dec_output += move + (play - impl_->slack_arcsec(b));
        impl_->slack = b > 0.0 ? play / b : impl_->slack;
    }
    impl_->on[dir] = false;
}

void Mount::field_offset(double t, const CameraModel &model, double *dx_px, double *dy_px) const {
    double x = 0.0, y = 0.0;
    impl_->offset_arcsec(mount_settings(), t, &x, &y);
    const double scale = pixel_scale_arcsec(model);
    if (dx_px)
        *dx_px = x / scale;
    if (dy_px)
        *dy_px = y / scale;
}

double Mount::jitter_arcsec(double exposure_s) const {
    return seeing_jitter_arcsec(mount_settings().jitter_arcsec, exposure_s);
}

} // namespace asisim
