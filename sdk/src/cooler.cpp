#include "cooler.h"

#include <algorithm>
#include <cmath>

namespace asisim {

namespace {

// The temperature span the cooler covers at full power: from warm down to the floor.
double span(const CoolerConditions &c) {
    return std::max(1e-3, c.warm_c - (c.ambient_c - kCoolerRatedDeltaC));
}

} // namespace

double cooler_power(double sensor_c, const CoolerConditions &c) {
    if (!c.on)
        return 0.0;
    const double hold = (c.warm_c - c.target_c) / span(c);
    return std::clamp(hold + kRegulatorGainPerC * (sensor_c - c.target_c), 0.0, 1.0);
}

double sensor_after(double sensor_c, double dt, const CoolerConditions &c) {
    if (!(dt > 0.0) || !std::isfinite(sensor_c))
        return std::isfinite(sensor_c) ? sensor_c : c.warm_c;
    if (!c.on) // relaxes to the warm temperature
        return c.warm_c + (sensor_c - c.warm_c) * std::exp(-dt / kSensorThermalTauS);
    // With the power held over a step the sensor heads for warm - power * span. Steps of a second
    // keep the discrete regulator stable and free of overshoot (it would need steps of a third of
    // the time constant to ring); once nothing moves any more the rest of dt changes nothing.
    constexpr double kStepS = 1.0;
    const double decay = std::exp(-kStepS / kSensorThermalTauS);
    double t = sensor_c;
    while (dt > 0.0) {
        const double h = std::min(dt, kStepS);
        const double settle = c.warm_c - cooler_power(t, c) * span(c);
        const double next = settle + (t - settle) * (h == kStepS ? decay : std::exp(-h / kSensorThermalTauS));
        dt -= h;
        if (std::abs(next - t) < 1e-9)
            return next;
        t = next;
    }
    return t;
}

} // namespace asisim
