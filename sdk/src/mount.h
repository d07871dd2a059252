// Settings of the simulated mount every camera's telescope rides on: its periodic error, polar
// misalignment, declination backlash, the seeing's centroid jitter and the guide rate. Defaults
// are a mid-range equatorial mount under the default seeing; each setting is read from the
// environment once and can be changed through the control API (for every camera at once).
#pragma once

#include <span>

namespace asisim {

struct MountParameterInfo {
    const char *name; // control-API name
    const char *env;  // environment variable
    double lo, hi;    // allowed range
};

// Every setting, in documentation order.
std::span<const MountParameterInfo> mount_parameter_table();
// False for an unknown name or a value out of range (nothing changes).
bool set_mount_parameter(const char *name, double value);
// False for an unknown name.
bool get_mount_parameter(const char *name, double *value);
// Back to the defaults (the environment's, where it sets them).
void reset_mount_parameters();

struct MountSettings {
    double periodic_error_arcsec; // peak to peak, in right ascension
    double period_s;              // the worm's turn
    double polar_error_arcmin;    // the polar axis's distance from the pole
    double dec_backlash_arcsec;   // play of the declination gears
    double jitter_arcsec;         // seeing's centroid jitter of a 1 s exposure, one sigma per axis
    double guide_rate;            // guide pulses' speed, fraction of the sidereal rate
};
MountSettings mount_settings();

// One sigma per axis of the field's shift averaged over an exposure: the seeing's tip-tilt
// decorrelates in about 0.3 s, so it averages down with longer exposures.
double seeing_jitter_arcsec(double jitter_1s_arcsec, double exposure_s);

} // namespace asisim
