// Catalogue stars and procedural filler at a frame's pointing.
//
// Catalogues are read whole at their first use (starfiles.cpp) and sorted into cells of an
// equal-area-ish grid (skygrid.h), so a frame looks only at the cells its field touches. Filler
// stars live on a finer grid of the same kind: each cell's stars of each magnitude step come from
// a hash of the cell and the step, so the same field always shows the same faint stars, at counts
// per magnitude that follow the galactic latitude of the cell.
#include "starcatalog.h"

#include "celestial.h"
#include "hash.h"
#include "starfiles.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>

namespace asisim {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;
constexpr double kFillerFaintest = 21.0;

// Filler stars' cells: a sixth of a degree high.
const Grid &filler_grid() {
    static const Grid &g = *new Grid(1.0 / 6.0);
    return g;
}

// Stars per square degree brighter than V magnitude m: log10 at galactic latitudes 0, 10, 30 and
// 90 degrees for m = 6, 8, ..., 22 (after the counts in Allen's Astrophysical Quantities, and
// the Besancon model's shape toward faint magnitudes), interpolated in both.
constexpr double kCountMag[] = {6, 8, 10, 12, 14, 16, 18, 20, 22};
constexpr double kCountLat[] = {0, 10, 30, 90};
constexpr double kLogCount[4][9] = {
    {-0.4, 0.4, 1.2, 2.0, 2.8, 3.5, 4.2, 4.8, 5.3},
    {-0.6, 0.1, 0.9, 1.7, 2.4, 3.1, 3.7, 4.3, 4.7},
    {-0.9, -0.2, 0.6, 1.3, 2.0, 2.6, 3.2, 3.7, 4.1},
    {-1.2, -0.5, 0.3, 0.9, 1.5, 2.0, 2.5, 3.0, 3.4},
};

double interpolate(const double *xs, int n, double x, int *i) {
    x = std::clamp(x, xs[0], xs[n - 1]);
    int k = 0;
    while (k < n - 2 && x > xs[k + 1])
        ++k;
    *i = k;
    return (x - xs[k]) / (xs[k + 1] - xs[k]);
}

// A Poisson draw of mean `mean` from a uniform source.
template <class Next> uint32_t poisson(double mean, Next &next) {
    if (mean < 30.0) {
        const double limit = std::exp(-mean);
        double p = next();
        uint32_t k = 0;
        while (p > limit && k < 1000) {
            p *= next();
            ++k;
        }
        return k;
    }
    const double u1 = 1.0 - next(), u2 = next();
    const double g = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
    return uint32_t(std::max(0.0, std::round(mean + std::sqrt(mean) * g)));
}

// Projects (ra, dec) into sensor pixels; false when outside the wanted box.
struct Projector {
    Tangent tangent;
    double cos_a, sin_a, inv_scale; // rotation, radians to pixels
    const FieldRequest &req;
    Projector(const FieldRequest &r)
        : tangent(r.ra_deg * kDeg, r.dec_deg * kDeg), cos_a(std::cos(r.angle_deg * kDeg)),
          sin_a(std::sin(r.angle_deg * kDeg)), inv_scale(206264.806 / r.scale_arcsec), req(r) {}
    bool place(double ra, double dec, double *x, double *y) const {
        double xi = 0, eta = 0;
        if (!tangent.project(ra, dec, &xi, &eta))
            return false;
        *x = req.cx + (xi * cos_a - eta * sin_a) * inv_scale;
        *y = req.cy + (xi * sin_a + eta * cos_a) * inv_scale;
        return *x >= req.x_lo && *x <= req.x_hi && *y >= req.y_lo && *y <= req.y_hi;
    }
};

void catalogue_stars(const StarCatalogue &cat, const Projector &pr, double radius, double faint,
                     double bright_cut, std::vector<PlacedStar> *out) {
    const FieldRequest &req = pr.req;
    // Proper motion carries a star at most ~10"/yr: widen the search for it.
    const double margin = std::min(1.0, std::abs(req.epoch - cat.epoch) * 11.0 / 206264.806);
    catalogue_grid().cells_near(req.ra_deg * kDeg, req.dec_deg * kDeg, radius + margin, [&](uint32_t c) {
        for (uint32_t i = cat.first[c]; i < cat.first[c + 1]; ++i) {
            const StarRecord &r = cat.star(i);
            const double mag = r.mag / 1000.0;
            if (mag > faint || mag < bright_cut)
                continue;
            double ra = 0, dec = 0, x = 0, y = 0;
            position_at(r, cat.epoch, req.epoch, &ra, &dec);
            if (pr.place(ra, dec, &x, &y))
                out->push_back(
                    {x, y, float(mag),
                     r.bv == kUnknownBv ? std::numeric_limits<float>::quiet_NaN() : float(r.bv / 1000.0)});
        }
    });
}

} // namespace

double star_density(double mag, double b) {
    int im = 0, ib = 0;
    const double fm = interpolate(kCountMag, 9, mag, &im);
    const double fb = interpolate(kCountLat, 4, std::abs(b) / kDeg, &ib);
    auto at = [&](int lat) {
        return kLogCount[lat][im] + fm * (kLogCount[lat][im + 1] - kLogCount[lat][im]);
    };
    return std::pow(10.0, at(ib) + fb * (at(ib + 1) - at(ib)));
}

bool field_position(const FieldRequest &req, double ra_deg, double dec_deg, double *x, double *y) {
    FieldRequest anywhere = req;
    anywhere.x_lo = anywhere.y_lo = -std::numeric_limits<double>::infinity();
    anywhere.x_hi = anywhere.y_hi = std::numeric_limits<double>::infinity();
    return Projector(anywhere).place(ra_deg * kDeg, dec_deg * kDeg, x, y);
}

void field_stars(const FieldRequest &req, std::vector<PlacedStar> *out, double *unresolved_per_arcsec2) {
    *unresolved_per_arcsec2 = 0.0;
    std::shared_ptr<const StarCatalogue> bundled, deep;
    loaded_catalogues(&bundled, &deep);
    const Projector pr(req);
    // The sky radius that covers the box, from the farthest corner.
    double far = 0.0;
    for (double x : {req.x_lo, req.x_hi})
        for (double y : {req.y_lo, req.y_hi})
            far = std::max(far, (x - req.cx) * (x - req.cx) + (y - req.cy) * (y - req.cy));
    const double radius =
        std::min(std::atan(std::sqrt(far) * req.scale_arcsec / 206264.806), 89.0 * kDeg) + 1e-4;
    const double faint = std::min(req.faint_mag, kFillerFaintest);

    double filler_from = -10.0;
    if (bundled) {
        catalogue_stars(*bundled, pr, radius, faint, -100.0, out);
        filler_from = bundled->limit_mag;
    }
    if (deep) {
        catalogue_stars(*deep, pr, radius, faint, -100.0, out);
        filler_from = std::max(filler_from, deep->limit_mag);
    }

    // Filler: per cell and whole magnitude step, from the step that holds the catalogues' limit.
    const Grid &g = filler_grid();
    const int first_step = int(std::floor(std::max(filler_from, 0.0)));
    g.cells_near(req.ra_deg * kDeg, req.dec_deg * kDeg, radius, [&](uint32_t c) {
        double ra_lo = 0, ra_hi = 0, dec_lo = 0, dec_hi = 0;
        g.bounds(c, &ra_lo, &ra_hi, &dec_lo, &dec_hi);
        const double area_deg2 = (ra_hi - ra_lo) * (std::sin(dec_hi) - std::sin(dec_lo)) / (kDeg * kDeg);
        const double b = galactic_latitude(0.5 * (ra_lo + ra_hi), 0.5 * (dec_lo + dec_hi));
        for (int step = first_step; step < int(kFillerFaintest) && step < faint; ++step) {
            uint64_t h = hash_combine(hash_combine(0x66696C6Cull, c), uint64_t(step));
            auto next = [&h] {
                h = mix64(h + 0x9E3779B97F4A7C15ull);
                return unit_from(h);
            };
            const double n_lo = star_density(step, b), n_hi = star_density(step + 1, b);
            const uint32_t count = poisson((n_hi - n_lo) * area_deg2, next);
            const double slope = std::log10(std::max(n_hi / std::max(n_lo, 1e-12), 1.0001)); // per magnitude
            for (uint32_t k = 0; k < count; ++k) {
                const double ra = ra_lo + next() * (ra_hi - ra_lo);
                const double dec =
                    std::asin(std::sin(dec_lo) + next() * (std::sin(dec_hi) - std::sin(dec_lo)));
                // Magnitudes within the step follow its count's slope.
                const double mag = step + std::log10(1.0 + next() * (std::pow(10.0, slope) - 1.0)) / slope;
                const double bv = 0.3 + 1.2 * next() * next() + 0.2 * next();
                double x = 0, y = 0;
                if (mag < filler_from || mag > faint || !pr.place(ra, dec, &x, &y))
                    continue;
                out->push_back({x, y, float(mag), float(bv)});
            }
        }
    });

    // The filler's light below the faintest placed step, spread evenly: the unresolved glow.
    const double b0 = galactic_latitude(req.ra_deg * kDeg, req.dec_deg * kDeg);
    double glow = 0.0;
    for (int step = std::max(first_step, int(std::ceil(faint))); step < int(kFillerFaintest); ++step)
        glow += (star_density(step + 1, b0) - star_density(step, b0)) * std::pow(10.0, -0.4 * (step + 0.5));
    *unresolved_per_arcsec2 = glow / (3600.0 * 3600.0);
}

void field_objects(const FieldRequest &req, std::vector<PlacedObject> *out) {
    const auto &objects = deep_sky_objects();
    if (objects.empty())
        return;
    const Projector pr(req);
    const Vec3 centre = unit_vector(req.ra_deg * kDeg, req.dec_deg * kDeg);
    double far = 0.0;
    for (double x : {req.x_lo, req.x_hi})
        for (double y : {req.y_lo, req.y_hi})
            far = std::max(far, (x - req.cx) * (x - req.cx) + (y - req.cy) * (y - req.cy));
    const double radius = std::min(std::atan(std::sqrt(far) * req.scale_arcsec / 206264.806), 80.0 * kDeg);
    const double to_px = 60.0 / req.scale_arcsec;
    for (const DeepSkyObject &o : objects) {
        StarRecord r{};
        r.ra = o.ra;
        r.dec = o.dec;
        const double ra = record_ra(r), dec = record_dec(r);
        const double reach = radius + double(o.major) / 60.0 * kDeg; // the whole object may show
        if (dot(centre, unit_vector(ra, dec)) < std::cos(std::min(reach, 89.0 * kDeg)))
            continue;
        double x = 0, y = 0, xi = 0, eta = 0;
        if (!pr.tangent.project(ra, dec, &xi, &eta))
            continue;
        x = req.cx + (xi * pr.cos_a - eta * pr.sin_a) * pr.inv_scale;
        y = req.cy + (xi * pr.sin_a + eta * pr.cos_a) * pr.inv_scale;
        const double half = double(o.major) * to_px; // a generous reach: the full diameter
        if (x < req.x_lo - half || x > req.x_hi + half || y < req.y_lo - half || y > req.y_hi + half)
            continue;
        out->push_back({x, y, double(o.major) * to_px, double(o.minor) * to_px,
                        double(o.pa) * kDeg - req.angle_deg * kDeg, o.mag, int(o.kind)});
    }
}

} // namespace asisim
