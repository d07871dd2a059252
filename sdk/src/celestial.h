// Where each simulated camera's telescope points on the real sky, and the spherical astronomy
// that puts catalogue stars on its sensor: the gnomonic (TAN) projection, proper motion to the
// simulated date, galactic latitude.
//
// A camera without a pointing keeps the procedural sky. With one, the frame's centre (the
// sensor's centre, before the mount's tracking errors) is at (ra, dec), J2000, and the sky is
// turned on the sensor by the position angle: at angle 0 north runs along the sensor's +y axis
// (down the rows) and east along +x; the angle is that of the +y axis, counted from north
// through east.
#pragma once

#include <cstdint>

namespace asisim {

constexpr double kSiderealArcsecPerSecond = 15.04106858; // the sky's turn, arcseconds of RA per second

// The telescope and pointing of one camera.
struct Pointing {
    bool set = false;    // false: the procedural sky
    double ra_deg = 0.0; // frame centre, J2000
    double dec_deg = 0.0;
    double angle_deg = 0.0;   // position angle of the sensor's +y axis, north through east
    double focal_mm = 0.0;    // the telescope; 0: ASISIM_FOCAL_MM
    double aperture_mm = 0.0; //                0: ASISIM_APERTURE_MM
    bool tracking = true;     // false: the sky drifts west at the sidereal rate
    // Tracking off: the scene time at which the frame centre was at ra_deg (set by the first
    // frame after the pointing or the switch; NaN until then).
    double drift_anchor_s = 0.0;
    bool drift_anchored = false;
};

// The pointing store, per camera ID. Cameras start at the ASISIM_POINTING environment variable
// ("ra,dec" or "ra,dec,angle", degrees) when it is set, otherwise unpointed; reset returns there.
Pointing pointing(int camera_id);
bool set_pointing(int camera_id, double ra_deg, double dec_deg, double angle_deg);
void clear_pointing(int camera_id);
// 0 for either keeps that figure at the default; false for a value out of range.
bool set_telescope(int camera_id, double focal_mm, double aperture_mm);
void set_tracking(int camera_id, bool on);
void reset_pointings();
// The pointing a frame whose exposure starts at scene time `start_s` sees: with tracking off the
// first such frame anchors the drift.
Pointing pointing_for_frame(int camera_id, double start_s);

// The simulated date as a Julian epoch (2026.5 is the middle of 2026) at scene time 0, the same
// for every camera: ASISIM_DATE ("2026-12-07" or a Julian epoch such as "2026.93") or the date the
// library was loaded; the control API may set another.
double epoch_at_start();
bool set_epoch(double julian_epoch); // 0: back to the default; false out of 1000..3000
// How far the simulated date lies from the real one, seconds: the simulated date less the moment
// the library was loaded (0 at the default date of an unset ASISIM_DATE). Times of frames are the
// real ones moved by it.
double date_offset_seconds();
void reset_epoch();
// Julian epoch of a calendar date and time (UTC).
double julian_epoch(int year, int month, int day, double hours);

// A unit vector on the sphere from right ascension and declination (radians), and back.
struct Vec3 {
    double x, y, z;
};
Vec3 unit_vector(double ra, double dec);
double dot(const Vec3 &a, const Vec3 &b);

// Gnomonic projection about a tangent point: standard coordinates xi (east) and eta (north) in
// radians of a direction; false for a direction 90 degrees or more from the tangent point.
class Tangent {
  public:
    Tangent(double ra0, double dec0);
    bool project(double ra, double dec, double *xi, double *eta) const;

  private:
    double ra0_, sin_dec0_, cos_dec0_;
};

// Applies proper motion (mu_alpha* = mu_alpha cos(dec) and mu_delta, radians per year) over
// `years` to a position (radians), along the great circle it starts on.
void apply_proper_motion(double *ra, double *dec, double pm_ra_cosdec, double pm_dec, double years);

// Galactic latitude (radians) of a J2000 direction.
double galactic_latitude(double ra, double dec);

} // namespace asisim
