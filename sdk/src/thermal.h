// The sensor's temperature over a camera's life: the air's round of the day, the electronics
// warming the sensor with use (the thermal effect), and the cooler (cooler.h) working on both.
#pragma once

#include "cooler.h"

namespace asisim {

// The air around the camera and the sensor's temperature with the cooler off, at a scene time
// (seconds of the camera's activity). Without the thermal effect both hold still.
double ambient_temperature_c(double scene_time, bool thermal);
double warm_temperature_c(double scene_time, bool thermal);

// The sensor's temperature, worked out from the cooler model up to the last update. Not
// thread-safe by itself; the camera holds its lock around calls.
class SensorTemperature {
  public:
    // At the warm temperature, as at power-on, from simulated instant `now`.
    void start(double warm_c, double now);
    // Carries on from a temperature saved by another process, the cooler having worked on it for
    // `elapsed_s` under the saved conditions `c`.
    void resume(double temperature_c, const CoolerConditions &c, double elapsed_s, double now);
    // Up to simulated instant `now` under the present conditions. Without the cooler the sensor
    // keeps its difference to the warm temperature while that moves (the warm-up with use, the
    // night cooling); with it, the regulator holds the sensor where it is against the change;
    // either way the cooler then works on it for the time that passed.
    void update(const CoolerConditions &c, double now);
    double celsius() const { return temp_c_; }
    double warm_c() const { return warm_c_; } // the warm temperature at the last update

  private:
    double temp_c_ = 0.0;
    double warm_c_ = 0.0;
    double updated_ = 0.0; // simulated instant of the last update
};

} // namespace asisim
