#include "timing.h"

#include "hash.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <numbers>

namespace asisim {

namespace sim_clock {

namespace {

// The clock is piecewise linear in real time: a new speed starts a new piece at the present
// instant, so simulated time never jumps.
struct State {
    std::mutex mutex;
    RealTime real_base = std::chrono::steady_clock::now();
    double sim_base = 0.0;
    double scale = load_time_scale();
};

State &state() {
    // Never destroyed: the video threads read the clock until the registry stops them at exit.
    static State &s = *new State;
    return s;
}

double seconds_between(RealTime a, RealTime b) {
    return std::chrono::duration<double>(b - a).count();
}

} // namespace

double load_time_scale() {
    // ASISIM_TIME_SCALE lets a program started from a shell (a capture tool in a test) run its
    // exposures and its cooler faster; a value that is not a number in (0, 1e12] is ignored.
    static const double scale = [] {
        const char *text = std::getenv("ASISIM_TIME_SCALE");
        if (text == nullptr || *text == '\0')
            return 1.0;
        char *end = nullptr;
        const double v = std::strtod(text, &end);
        return (end == text || *end != '\0' || !(v > 0.0) || v > 1e12) ? 1.0 : v;
    }();
    return scale;
}

double now() {
    State &s = state();
    std::lock_guard lock(s.mutex);
    return s.sim_base + seconds_between(s.real_base, std::chrono::steady_clock::now()) * s.scale;
}

void set_scale(double factor) {
    if (!(factor > 0.0) || factor > 1e12) // also refuses NaN
        return;
    State &s = state();
    std::lock_guard lock(s.mutex);
    const RealTime t = std::chrono::steady_clock::now();
    s.sim_base += seconds_between(s.real_base, t) * s.scale;
    s.real_base = t;
    s.scale = factor;
}

double scale() {
    State &s = state();
    std::lock_guard lock(s.mutex);
    return s.scale;
}

RealTime real_deadline(double sim_t) {
    State &s = state();
    std::lock_guard lock(s.mutex);
    const RealTime t = std::chrono::steady_clock::now();
    const double sim_now = s.sim_base + seconds_between(s.real_base, t) * s.scale;
    // A day of real time is as good as forever: callers loop and re-check their condition.
    const double real_s = std::clamp((sim_t - sim_now) / s.scale, 0.0, 86400.0);
    return t + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(real_s));
}

} // namespace sim_clock

int pixel_bytes(ASI_IMG_TYPE type) {
    switch (type) {
    case ASI_IMG_RAW16:
        return 2;
    case ASI_IMG_RGB24:
        return 3;
    default:
        return 1;
    }
}

double usb_bytes_per_second(const CameraModel &m) {
    // What the link carries at full bandwidth: about 380 MB/s over USB3, 43 MB/s over USB2.
    return m.usb3 ? 380e6 : 43e6;
}

double bandwidth_share(int bandwidth_percent) {
    // The setting reserves that share of the bus's raw rate, which is well above what the link
    // carries: from 60 % on the camera gets the whole link, at the default 50 % five sixths.
    return std::min(1.0, std::clamp(bandwidth_percent, 40, 100) / 60.0);
}

double readout_seconds(const ReadoutSettings &s) {
    const CameraModel &m = *s.model;
    // The sensor reads whole unbinned rows; a smaller ROI height reads faster. 8-bit readout in
    // high-speed mode uses the short ADC conversion.
    const double rows = static_cast<double>(s.height) * s.bin;
    double sensor_fps = m.max_fps_full_8bit;
    if (s.img_type == ASI_IMG_RAW16)
        sensor_fps *= 0.75; // full-depth ADC conversion
    else if (s.high_speed)
        sensor_fps *= 1.25;
    const double sensor = rows / m.height / sensor_fps;
    const double bytes = static_cast<double>(s.width) * s.height * pixel_bytes(s.img_type);
    const double transfer = bytes / (usb_bytes_per_second(m) * bandwidth_share(s.bandwidth_percent));
    return std::max(sensor, transfer);
}

double frame_interval_seconds(const ReadoutSettings &s, double exposure_s) {
    // Rolling-shutter video: the next exposure runs while the last frame is read out.
    return std::max(exposure_s, readout_seconds(s));
}

double frame_jitter_seconds(uint64_t seed, uint64_t frame, double interval_s) {
    // USB scheduling and the host: each frame comes a little late, by half a normal distribution
    // of 2 % of the interval (at most a millisecond); lateness never adds up from frame to frame.
    uint64_t h = hash_combine(hash_combine(seed, 0x6A69747465ull), frame); // "jitte"
    auto unit = [&h] {
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        return unit_from(h);
    };
    const double u1 = 1.0 - unit(), u2 = unit();
    const double g = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
    const double sigma = std::min(0.02 * std::max(interval_s, 0.0), 1e-3);
    return std::abs(g) * sigma;
}

} // namespace asisim
