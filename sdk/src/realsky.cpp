// The real sky in a frame: the pointing, the mount's offsets and the tracking turned into a field
// of catalogue and filler stars on the sensor.
#include "sky.h"

#include "celestial.h"
#include "optics.h"

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
    double faintest_flux = peak * 2.0 * std::numbers::pi * sigma * sigma;
    // A trail spreads a star's light along its length: its peak is lower by about the trail's
    // length over the profile's width, and so many more stars stay under the sky's noise.
    if (const double trail = std::sqrt(*trail_x * *trail_x + *trail_y * *trail_y); trail > 0.0)
        faintest_flux *= (trail + 2.5 * sigma) / (2.5 * sigma);
    f.faint_mag = e0 > 0.0 ? -2.5 * std::log10(faintest_flux / e0) : -100.0;
    out->reserve(4096);
    double glow = 0.0;
    field_stars(f, out, &glow);
    *glow_e = e0 * glow * scale * scale;
}

void SkyScene::real_objects(const FrameRequest &req, double scale, double e0, double dx, double dy) {
    const CameraModel &m = *req.model;
    const Pointing &p = req.pointing;
    FieldRequest f{};
    f.ra_deg = p.ra_deg;
    f.dec_deg = p.dec_deg;
    f.angle_deg = p.angle_deg;
    f.scale_arcsec = scale;
    f.cx = m.width / 2.0;
    f.cy = m.height / 2.0;
    f.x_lo = double(x0_) - dx;
    f.x_hi = double(x0_ + width_) - dx;
    f.y_lo = double(y0_) - dy;
    f.y_hi = double(y0_ + height_) - dy;
    std::vector<PlacedObject> objects;
    field_objects(f, &objects);
    // Colours as the procedural sky's: galaxies of old stars, nebulae red with H-alpha,
    // reflection nebulae blue, planetary nebulae green-blue with [O III], clusters yellowish.
    constexpr float kShare[6][3] = {{0.33f, 0.33f, 0.33f}, {0.34f, 0.36f, 0.15f}, {0.74f, 0.25f, 0.14f},
                                    {0.22f, 0.34f, 0.30f}, {0.25f, 0.50f, 0.22f}, {0.36f, 0.36f, 0.19f}};
    for (const PlacedObject &o : objects) {
        const double electrons = e0 * std::pow(10.0, -0.4 * double(o.mag));
        // Gaussian widths: the catalogue's diameters reach to about two sigmas either side.
        const double sa = std::max(0.5, o.major / 4.0), sb = std::max(0.5, o.minor / 4.0);
        const float *share = kShare[std::clamp(o.kind, 0, 5)];
        const double cx = o.x + dx, cy = o.y + dy;
        double disc = electrons;
        if (o.kind == 1 || o.kind == 5) { // a bright core: bulge or cluster centre
            const double core = std::max(0.5, 0.2 * sb);
            add_star(cx, cy, 0.1 * electrons, share, core, core);
            disc = 0.9 * electrons;
        }
        // The stamps are aligned with the sensor's axes: an inclined ellipse is a row of round
        // blobs as wide as its minor axis along its major one, weighted as a Gaussian.
        const double ux = std::sin(o.angle), uy = std::cos(o.angle);
        const double spread = std::sqrt(std::max(sa * sa - sb * sb, 0.0));
        const int n = spread > 0.3 * sb ? int(std::clamp(std::ceil(4.0 * spread / sb), 3.0, 41.0)) | 1 : 1;
        double total = 0.0;
        std::vector<double> weight(static_cast<size_t>(n));
        for (int k = 0; k < n; ++k) {
            const double t = n > 1 ? (2.0 * k / (n - 1) - 1.0) * 2.5 : 0.0;
            weight[size_t(k)] = std::exp(-0.5 * t * t);
            total += weight[size_t(k)];
        }
        for (int k = 0; k < n; ++k) {
            const double t = n > 1 ? (2.0 * k / (n - 1) - 1.0) * 2.5 * spread : 0.0;
            add_star(cx + t * ux, cy + t * uy, disc * weight[size_t(k)] / total, share, sb, sb);
        }
    }
}

} // namespace asisim
