// The night over each camera's telescope: where its field stands in the sky as the hours pass,
// and what that does to the sky's brightness, its gradient and the stars' light.
//
// Each camera's telescope follows one field from the start of its scene clock (21:00 UTC, some 80
// minutes after astronomical dusk) through the night, from a site at 45 degrees north; the Sun
// goes round every 24 hours of the clock, so a new night begins at 21:00 each day. The field
// (declination 20 to 60 degrees, or the declination the camera is pointed at, three to five hours
// east of the meridian at the start) is drawn from the camera's seed. Everything is relative to the start of
// the night, so the site's sky brightness (ASISIM_SKY_MAG) is the field's sky at the scene clock's zero.
#pragma once

#include <cstdint>
#include <limits>

namespace asisim {

inline constexpr double kSiteLatitudeDeg = 45.0;

// Declination of the camera's field, degrees.
double field_declination_deg(uint64_t seed);

struct NightState {
    double sky_factor = 1.0;   // sky background over its brightness at scene time 0
    double transmission = 1.0; // the stars' light over theirs at scene time 0
    // Brightening of the sky per degree as a fraction of it, along right ascension (sensor +x)
    // and declination (sensor +y): the light-pollution dome, fixed to the sky, turning on the
    // sensor as the field crosses the sky.
    double gradient_ra = 0.0, gradient_dec = 0.0;
    double airmass = 1.0;
    double sun_altitude_deg = -30.0;
    double cloud_mag = 0.0; // extinction of a passing cloud, magnitudes
};

// The night at scene time t (seconds) for a camera's seed, with the effects that are on:
// night_sky (airmass, airglow, lights going out, dawn), clouds, sky_gradient. `field_dec_deg`:
// the declination of a camera pointed at the real sky (NaN: the seed's own field).
NightState night_state(uint64_t seed, double t, uint32_t effects, double site_sky_mag,
                       double field_dec_deg = std::numeric_limits<double>::quiet_NaN());

} // namespace asisim
