// The thermoelectric cooler of a cooled camera and its regulator.
//
// The sensor exchanges heat with its surroundings with one thermal time constant; left alone it
// settles at its warm temperature (ambient plus the electronics' own heat). The cooler pumps heat
// out in proportion to its power: at full power the sensor settles at the rated difference below
// the ambient air (not below the self-heated sensor: that is how coolers are rated). The regulator
// runs the cooler at full power while the sensor is far above the target, then eases the power down
// to what holding the target takes, so the temperature settles on the target without overshoot:
//
//   power = clamp(hold + kRegulatorGainPerC * (T - target), 0, 1),
//   hold  = (warm - target) / (warm - floor),  floor = ambient - rated difference,
//
// which makes the last approach an exponential with the time constant shortened by the gain.
// Cooler power is that power: 100 % while pulling down, then the load of holding the difference.
#pragma once

namespace asisim {

inline constexpr double kCoolerRatedDeltaC = 35.0; // full power: this far below ambient
inline constexpr double kSensorThermalTauS = 60.0; // the sensor's thermal time constant, seconds
inline constexpr double kRegulatorGainPerC = 0.05; // extra power per degree above the target

struct CoolerConditions {
    double warm_c = 20.0;    // the sensor's temperature with the cooler off
    double ambient_c = 20.0; // the air around the camera
    bool on = false;
    double target_c = 0.0;
};

// The cooler's power (0 to 1) with the sensor at `sensor_c`.
double cooler_power(double sensor_c, const CoolerConditions &c);
// The sensor's temperature after `dt` seconds, starting at `sensor_c`, with the conditions held
// fixed meanwhile. Exact for the uncooled case, steps of at most a second otherwise (short
// against every time constant, so the approach never overshoots); any dt, days included.
double sensor_after(double sensor_c, double dt, const CoolerConditions &c);

} // namespace asisim
