// The simulated mount every camera's telescope rides on, and its settings: periodic error, polar
// misalignment, declination backlash, the seeing's centroid jitter and the guide rate. Defaults
// are a mid-range equatorial mount under the default seeing; each setting is read from the
// environment once and can be changed through the control API (for every camera at once).
#pragma once

#include "catalogue.h"

#include <ASICamera2.h>

#include <cstdint>
#include <memory>
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

// Mount model of one camera's telescope: slow drift (periodic error, polar misalignment) plus
// ST4 guide pulses at the guide rate with declination backlash, all in simulated time (settings
// above). Right ascension runs along the sensor's x axis, declination along y: east pulses move
// the field +x, west -x, north -y, south +y. Not thread-safe by itself; the camera holds its lock around
// calls.
class Mount {
  public:
    explicit Mount(uint64_t seed = 0);
    ~Mount();
    void guide_on(ASI_GUIDE_DIRECTION dir, double t);
    void guide_off(ASI_GUIDE_DIRECTION dir, double t);
    // Field offset on the sensor in unbinned pixels at time t (for the camera's pixel scale).
    void field_offset(double t, const CameraModel &model, double *dx_px, double *dy_px) const;
    // The seeing's centroid jitter over an exposure, one sigma per axis, arcseconds.
    double jitter_arcsec(double exposure_s) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace asisim
