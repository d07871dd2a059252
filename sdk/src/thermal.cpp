// The sensor's temperature: ambient air, warm-up with use, and the cooler.
#include "thermal.h"

#include <algorithm>
#include <cmath>

namespace asisim {

namespace {

constexpr double kAmbientC = 20.0;
constexpr double kSelfHeatingC = 3.0; // sensor above ambient with the cooler off (thermal effect off)
// Thermal effect: the sensor warms by kWarmUpC over the first minutes of the camera's activity
// (its scene clock), while the air follows the day, coming round every 24 hours: from kAmbientC
// at 21:00 (scene time 0) it cools by kAmbientFallCPerHour until 04:00 (13 degrees), warms by a
// degree an hour until 15:00 (24 degrees) and cools back to kAmbientC at 21:00. The sensor,
// uncooled, settles at the air's temperature plus its self-heating instead of drifting.
constexpr double kWarmUpC = 6.0;
constexpr double kWarmUpTauS = 300.0;
constexpr double kAmbientFallCPerHour = 1.0;
constexpr double kDayS = 86400.0;
constexpr double kCoolestH = 7.0, kWarmestH = 18.0; // hours after 21:00
constexpr double kCoolestC = kAmbientC - kAmbientFallCPerHour * kCoolestH;
constexpr double kWarmestC = kCoolestC + (kWarmestH - kCoolestH);

} // namespace

double ambient_temperature_c(double scene_time, bool thermal) {
    if (!thermal)
        return kAmbientC;
    // The first night's hours are the clock's own, so its air is the same to the last bit.
    const double t = std::fmod(std::max(scene_time, 0.0), kDayS), h = t / 3600.0;
    if (h < kCoolestH)
        return kAmbientC - kAmbientFallCPerHour * t / 3600.0;
    if (h < kWarmestH)
        return kCoolestC + (h - kCoolestH);
    return kWarmestC + (kAmbientC - kWarmestC) * (h - kWarmestH) / (24.0 - kWarmestH);
}

double warm_temperature_c(double scene_time, bool thermal) {
    if (!thermal)
        return kAmbientC + kSelfHeatingC;
    const double t = std::max(scene_time, 0.0);
    return ambient_temperature_c(scene_time, thermal) + kWarmUpC * -std::expm1(-t / kWarmUpTauS);
}

void SensorTemperature::start(double warm_c, double now) {
    temp_c_ = warm_c_ = warm_c;
    updated_ = now;
}

void SensorTemperature::resume(double temperature_c, const CoolerConditions &c, double elapsed_s,
                               double now) {
    temp_c_ = sensor_after(temperature_c, elapsed_s, c);
    warm_c_ = c.warm_c;
    updated_ = now;
}

void SensorTemperature::update(const CoolerConditions &c, double now) {
    const double dt = std::max(0.0, now - updated_);
    updated_ = now;
    const double start = c.on ? temp_c_ : c.warm_c + (temp_c_ - warm_c_);
    temp_c_ = sensor_after(start, dt, c);
    warm_c_ = c.warm_c;
}

} // namespace asisim
