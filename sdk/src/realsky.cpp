// The real sky in a frame: the pointing, the mount's offsets and the tracking turned into a field
// of catalogue and filler stars on the sensor.
#include "sky.h"

#include "celestial.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace asisim {

void SkyScene::real_stars(const FrameRequest &req, double scale, double e0, double sigma, double margin,
                          double dx, double dy, std::vector<PlacedStar> *out, double *glow_e, double *trail_x,
                          double *trail_y) const {
    const CameraModel &m = *req.model;
    const Pointing &p = req.pointing;
    const double t = exposure_seconds(req);
    FieldRequest f{};
    f.ra_deg = p.ra_deg;
    f.dec_deg = p.dec_deg;
    f.angle_deg = p.angle_deg;
    *trail_x = *trail_y = 0.0;
    if (!p.tracking) {
        // The telescope stands still: the frame centre's right ascension grows at the sidereal
        // rate, and over the exposure every star moves west (toward -xi) on the sensor.
        const double since =
            req.sim_time_s - (p.drift_anchored ? p.drift_anchor_s : req.sim_time_s - t / 2.0);
        f.ra_deg = std::fmod(p.ra_deg + kSiderealArcsecPerSecond * since / 3600.0, 360.0);
        const double length =
            kSiderealArcsecPerSecond * t * std::cos(p.dec_deg * std::numbers::pi / 180.0) / scale;
        const double a = p.angle_deg * std::numbers::pi / 180.0;
        *trail_x = -length * std::cos(a);
        *trail_y = -length * std::sin(a);
    }
    f.scale_arcsec = scale;
    f.cx = m.width / 2.0;
    f.cy = m.height / 2.0;
    const double reach_x = margin + std::abs(*trail_x) / 2.0, reach_y = margin + std::abs(*trail_y) / 2.0;
    f.x_lo = double(x0_) - reach_x - dx;
    f.x_hi = double(x0_ + width_) + reach_x - dx;
    f.y_lo = double(y0_) - reach_y - dy;
    f.y_hi = double(y0_ + height_) + reach_y - dy;
    f.epoch = epoch_at_start() + req.sim_time_s / (365.25 * 86400.0);
    // Stars whose peak stays under a quarter of the sky's noise (or 0.02 electrons) are not
    // drawn one by one: their light joins the background as the unresolved glow. (Alone, each
    // would be far below detection; together they are the Milky Way's smooth light.)
    const double sky_mag = req.light.level > 0.0 ? req.light.level : optics().sky_mag_per_arcsec2;
    const double sky_e = e0 * std::pow(10.0, -0.4 * sky_mag) * scale * scale;
    const double peak = std::max(0.02, 0.5 * std::sqrt(sky_e + 1.0));
    const double faintest_flux = peak * 2.0 * std::numbers::pi * sigma * sigma;
    f.faint_mag = e0 > 0.0 ? -2.5 * std::log10(faintest_flux / e0) : -100.0;
    out->reserve(4096);
    double glow = 0.0;
    field_stars(f, out, &glow);
    *glow_e = e0 * glow * scale * scale;
}

} // namespace asisim
