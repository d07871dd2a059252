// The stars of the real sky: catalogues loaded from files, and procedural stars below their limit.
//
// File format (".stars", little-endian), written by `python -m velmora.brinmoor.starcatalog`:
//   header, 32 bytes:
//     char     magic[8]      "ASISTARS"
//     uint32   version       1
//     uint32   count         number of star records that follow
//     float64  epoch         Julian epoch of the positions, and the origin of the proper motions
//     float32  limit_mag     V magnitude down to which the catalogue is taken as complete
//     uint32   flags         0
//   count records, 16 bytes each:
//     uint32   ra            right ascension (ICRS/J2000) in units of 360 / 2^32 degrees
//     int32    dec           declination in units of 90 / (2^31 - 1) degrees
//     int16    pm_ra         proper motion in RA times cos(dec), mas per year
//     int16    pm_dec        proper motion in declination, mas per year
//     int16    mag           V magnitude in thousandths
//     int16    bv            B-V colour index in thousandths; -32768 unknown
// The file is the whole header plus whole records: any other size, magic or version is refused.
//
// The bundled catalogue is Hipparcos (hipparcos.stars beside the library); a deeper one the user
// converted (from astrometry.net's Tycho-2 index files or a CSV) is found through
// ASISIM_STAR_CATALOG (paths separated by ':') or in $XDG_DATA_HOME/asisim/ (default
// ~/.local/share/asisim/), or set through the control API. Where both hold a star, the bundled
// catalogue's copy is the one drawn.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace asisim {

// A star placed on the sensor: pixel position (unbinned, sensor coordinates), flux relative to
// a magnitude-0 star, and its B-V colour (NaN unknown).
struct PlacedStar {
    double x, y;
    float mag;
    float bv;
};

// What a frame needs of the real sky.
struct FieldRequest {
    double ra_deg, dec_deg, angle_deg; // frame centre and position angle
    double scale_arcsec;               // per unbinned pixel
    double cx, cy;                     // sensor pixel of the frame centre
    double x_lo, x_hi, y_lo, y_hi;     // sensor pixels whose stars are wanted
    double epoch;                      // Julian epoch of the frame, for proper motion
    double faint_mag;                  // stars fainter than this are not placed (filler light goes
                                       // into unresolved_per_arcsec2 instead)
};

// Stars of the field from the catalogues and the procedural filler. `unresolved_per_arcsec2`:
// flux (relative to magnitude 0) per square arcsecond of the filler stars fainter than
// faint_mag, the unresolved glow of the Milky Way.
void field_stars(const FieldRequest &req, std::vector<PlacedStar> *out, double *unresolved_per_arcsec2);

// Where the frame's gnomonic projection puts a direction (J2000 degrees, no proper motion) on the
// sensor: unbinned sensor pixels before the optics' distortion, wherever it falls (the request's
// box is not consulted); false for a direction 90 degrees or more from the frame centre.
bool field_position(const FieldRequest &req, double ra_deg, double dec_deg, double *x, double *y);

// A deep-sky object placed on the sensor: centre (unbinned sensor pixels), axes in pixels (full
// diameters), the direction of the major axis as the angle from the sensor's +y axis toward +x,
// V magnitude and kind (1 galaxy, 2 emission nebula, 3 reflection nebula, 4 planetary nebula,
// 5 globular cluster).
struct PlacedObject {
    double x, y;
    double major, minor;
    double angle;
    float mag;
    int kind;
};

// The bundled deep-sky objects (deepsky.dso beside the library, or ASISIM_DEEPSKY) that reach
// into the field.
void field_objects(const FieldRequest &req, std::vector<PlacedObject> *out);

// Procedural star counts: stars per square degree brighter than V magnitude `mag` at galactic
// latitude `b` (radians).
double star_density(double mag, double b);

} // namespace asisim
