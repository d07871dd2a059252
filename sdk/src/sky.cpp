// Sky, telescope and star images.
//
// The sky is a flat sheet of arcseconds cut into 10' tiles; each tile's stars come from a hash
// of its indices, so the same pointing always shows the same stars and a mount that moves far
// keeps finding a consistent sky. Star counts follow N(<m) = 0.004 * 10^(0.3 m) per square
// degree (a few per square degree at magnitude 10, thousands at 20), down to magnitude 21.
#include "sky.h"

#include "night.h"

#include "bayer.h"
#include "hash.h"
#include "optics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <numbers>
#include <unordered_map>

namespace asisim {

namespace {

constexpr double kTileArcsec = 600.0;
constexpr double kFaintestMag = 21.0;
constexpr double kBrightestMag = 1.0;
constexpr double kCountSlope = 0.3;
constexpr double kCountAt0 = 0.004; // stars per square degree brighter than magnitude 0 (extrapolated)
constexpr float kSkyShare[3] = {0.45f, 0.35f, 0.20f}; // light pollution is orange
// Transmission of the red, green and blue filters times the sensor's QE under each, relative to
// green: raw blue is weak, which the cameras' default white balance (R 52, B 95) makes up for.
constexpr float kFilter[3] = {0.92f, 1.0f, 0.54f};
constexpr double kHaloFraction = 0.12; // seeing wings: a second, wider Gaussian
constexpr double kHaloWidth = 2.5;
constexpr double kStampFloor = 0.02; // electrons per pixel below which a stamp ends
constexpr double kVignetting = 0.3;  // loss at 20 mm from the optical axis
// A Moffat profile (beta 3) of the seeing's FWHM as three Gaussians: weights and widths relative
// to the Gaussian of that FWHM (a least-squares fit of the radial profile).
constexpr double kMoffatWeight[3] = {0.525, 0.424, 0.051};
constexpr double kMoffatWidth[3] = {0.936, 1.788, 3.710};
constexpr double kOffAxisStretch = 0.25; // star width grows by a quarter toward the field's corners
constexpr double kDistortion = 5e-4;     // pincushion: a corner star sits 0.05 % farther out

// Cumulative normal distribution on [-8, 8] in 1/512 steps, interpolated: star profiles need
// thousands of evaluations per frame.
class NormalCdf {
  public:
    NormalCdf() {
        for (size_t i = 0; i < kSize; ++i) {
            const double z = double(i) / kPerUnit - kRange;
            table_[i] = float(0.5 * std::erfc(-z / std::numbers::sqrt2));
        }
    }
    float operator()(double z) const {
        const double u = (z + kRange) * kPerUnit;
        if (u <= 0.0)
            return 0.0f;
        if (u >= double(kSize - 1))
            return 1.0f;
        const auto i = size_t(u);
        const auto f = float(u - double(i));
        return table_[i] + f * (table_[i + 1] - table_[i]);
    }

  private:
    static constexpr double kRange = 8.0, kPerUnit = 512.0;
    static constexpr size_t kSize = size_t(2 * kRange * kPerUnit) + 1;
    float table_[kSize];
};

const NormalCdf &normal_cdf() {
    static const NormalCdf cdf;
    return cdf;
}

// Shares of a black body's photons in the red, green and blue bands, times the filters'
// efficiency: what each kind of Bayer pixel detects, as a fraction of a mono pixel's signal.
void colour_shares(double temperature_k, float share[3]) {
    constexpr double kWavelengthUm[3] = {0.610, 0.535, 0.465};
    double n[3], sum = 0.0;
    for (int c = 0; c < 3; ++c) {
        const double l = kWavelengthUm[c];
        n[c] = 1.0 / (l * l * l * l * std::expm1(14388.0 / (l * temperature_k)));
        sum += n[c];
    }
    for (int c = 0; c < 3; ++c)
        share[c] = float(n[c] / sum) * kFilter[c];
}

std::vector<Star> make_tile(int32_t tx, int32_t ty) {
    uint64_t h = hash_combine(hash_combine(0x736B79ull, uint64_t(uint32_t(tx))), uint64_t(uint32_t(ty)));
    auto next = [&h] {
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        return unit_from(h);
    };
    const double area_deg2 = (kTileArcsec / 3600.0) * (kTileArcsec / 3600.0);
    const double mean = kCountAt0 * std::pow(10.0, kCountSlope * kFaintestMag) * area_deg2;
    // Poisson count, by its normal approximation (the mean is a couple of hundred).
    const double u1 = 1.0 - next(), u2 = next();
    const double g = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
    const auto count = size_t(std::max(0.0, std::round(mean + std::sqrt(mean) * g)));
    std::vector<Star> stars(count);
    for (Star &s : stars) {
        s.ra = float(next() * kTileArcsec);
        s.dec = float(next() * kTileArcsec);
        // Inverse of the cumulative count between the brightest and faintest magnitudes.
        const double mag = kFaintestMag + std::log10(std::max(next(), 1e-300)) / kCountSlope;
        s.mag = float(std::max(mag, kBrightestMag));
        s.flux = float(std::pow(10.0, -0.4 * double(s.mag)));
        // Mostly solar-type and cooler, a few hot blue stars.
        colour_shares(3200.0 * std::exp(1.2 * next() * next() + 0.1 * next()), s.share);
    }
    return stars;
}

// Optics' vignetting along one axis of the sensor, at a distance from the centre in pixels.
float vignetting(double offset_px, const CameraModel &m) {
    const double mm = offset_px * m.pixel_um / 1000.0 / 20.0;
    return float(1.0 - kVignetting * mm * mm);
}

} // namespace

void star_colour(float bv, float share[3]) {
    // Effective temperature from B-V (Ballesteros 2012), tabulated in steps of 0.01 from -0.4
    // to 2.0: a frame of the galactic plane colours a million stars.
    struct Table {
        float shares[241][3];
        Table() {
            for (int i = 0; i < 241; ++i) {
                const double b = -0.4 + 0.01 * i;
                colour_shares(4600.0 * (1.0 / (0.92 * b + 1.7) + 1.0 / (0.92 * b + 0.62)), shares[i]);
            }
        }
    };
    static const Table table;
    const double b = std::isfinite(bv) ? std::clamp(double(bv), -0.4, 2.0) : 0.65;
    const float *s = table.shares[int(std::lround((b + 0.4) * 100.0))];
    share[0] = s[0];
    share[1] = s[1];
    share[2] = s[2];
}

void SkyScene::add_glow(double electrons, const CameraModel &m) {
    if (!(electrons > 0.0))
        return;
    const double cx = m.width / 2.0;
    for (int parity = 0; parity < 2; ++parity) {
        for (int i = 0; i < width_; ++i) {
            const int64_t x = x0_ + i;
            const double share = color_ ? double(kFilter[bayer_colour(m.bayer, x, parity)]) / 3.0 : 1.0;
            sky_[parity][size_t(i)] += float(electrons * share) * vignetting(double(x) + 0.5 - cx, m);
        }
        sky_max_[parity] =
            sky_[parity].empty() ? 0.0f : *std::max_element(sky_[parity].begin(), sky_[parity].end());
    }
}

std::shared_ptr<const std::vector<Star>> sky_tile(int32_t tx, int32_t ty) {
    static std::mutex lock;
    static std::unordered_map<uint64_t, std::shared_ptr<const std::vector<Star>>> cache;
    const uint64_t key = (uint64_t(uint32_t(tx)) << 32) | uint32_t(ty);
    {
        std::lock_guard guard(lock);
        auto found = cache.find(key);
        if (found != cache.end())
            return found->second;
    }
    auto made = std::make_shared<const std::vector<Star>>(make_tile(tx, ty));
    std::lock_guard guard(lock);
    if (cache.size() >= 4096) // a few full fields of the widest sensor
        cache.clear();
    return cache.try_emplace(key, std::move(made)).first->second;
}

double radial_distortion(const CameraModel &m, uint32_t effects) {
    const double cx = m.width / 2.0, cy = m.height / 2.0;
    return effect_on(effects, kEffectStarProfile) ? kDistortion / (cx * cx + cy * cy) : 0.0;
}

SkyScene::SkyScene(const FrameRequest &req, int64_t x0, int64_t y0, int width, int height)
    : bayer_(req.model->bayer), x0_(x0), y0_(y0), width_(width), height_(height),
      color_(req.model->color) { // the filters are there whatever the binning
    const CameraModel &m = *req.model;
    const double t = exposure_seconds(req);
    const double scale = pixel_scale_arcsec(m, frame_focal_mm(req));
    // The night moves on: the field's sky and the stars' light change with the hours.
    const double site_sky = optics().sky_mag_per_arcsec2;
    const double field_dec =
        req.pointing.set ? req.pointing.dec_deg : std::numeric_limits<double>::quiet_NaN();
    const NightState night = night_state(req.seed, req.sim_time_s, req.effects, site_sky, field_dec);
    background(req, night, scale);
    const double e0 = electrons_mag0(m, frame_aperture_mm(req)) * t * night.transmission;
    if (req.light.kind == Light::panel || e0 <= 0.0)
        return;
    double dx = 0.0, dy = 0.0;
    field_offset(req, scale, &dx, &dy);
    const StarImage image = star_image(req, e0);
    if (req.pointing.set)
        real_sky(req, image, scale, dx, dy);
    else
        procedural_sky(req, image, scale, dx, dy);
    index_stamps();
}

void SkyScene::background(const FrameRequest &req, const NightState &night, double scale) {
    const CameraModel &m = *req.model;
    const double t = exposure_seconds(req);
    const double site_sky = optics().sky_mag_per_arcsec2;
    const double cx_sensor = m.width / 2.0, cy_sensor = m.height / 2.0;
    const int64_t x0 = x0_, y0 = y0_;
    const int width = width_, height = height_;
    // Background per column for even and odd sensor rows (the Bayer colours alternate): the
    // night sky (orange light pollution, a gradient toward the light dome), or a white flat
    // panel over the aperture with neither stars nor gradient.
    const LightSource &light = req.light;
    const bool panel = light.kind == Light::panel;
    // The site's own sky follows the night; a sky of a set brightness (dusk flats) stays put.
    const bool site = light.level <= 0.0;
    const double sky_mag = site ? site_sky : light.level;
    const double sky_light = electrons_mag0(m, frame_aperture_mm(req)) * t * (site ? night.sky_factor : 1.0);
    const double sky = panel ? light.level * t : sky_light * std::pow(10.0, -0.4 * sky_mag) * scale * scale;
    double grad_x = 0.0, grad_y = 0.0;
    if (!panel) {
        // The light dome's gradient, fixed to the sky, turned onto the sensor: east along +x and
        // north along +y, unless the camera is pointed with its +y axis at another position angle.
        const double theta = req.pointing.set ? req.pointing.angle_deg * std::numbers::pi / 180.0 : 0.0;
        const double per_px = scale / 3600.0;
        grad_x = per_px * (night.gradient_ra * std::cos(theta) - night.gradient_dec * std::sin(theta));
        grad_y = per_px * (night.gradient_ra * std::sin(theta) + night.gradient_dec * std::cos(theta));
    }
    for (int parity = 0; parity < 2; ++parity) {
        sky_[parity].resize(size_t(width));
        for (int i = 0; i < width; ++i) {
            const int64_t x = x0 + i;
            const int c = bayer_colour(m.bayer, x, parity);
            const double share = !color_ ? 1.0
                                 : panel ? double(kFilter[c])
                                         : double(kSkyShare[c]) * double(kFilter[c]);
            const double gradient = std::max(0.0, 1.0 + grad_x * (double(x) + 0.5 - cx_sensor));
            sky_[parity][size_t(i)] =
                float(sky * share * gradient) * vignetting(double(x) + 0.5 - cx_sensor, m);
        }
    }
    for (int parity = 0; parity < 2; ++parity)
        sky_max_[parity] =
            sky_[parity].empty() ? 0.0f : *std::max_element(sky_[parity].begin(), sky_[parity].end());
    vig_y_.resize(size_t(height));
    for (int r = 0; r < height; ++r) {
        const double y = double(y0 + r) + 0.5 - cy_sensor;
        vig_y_[size_t(r)] = vignetting(y, m) * float(std::max(0.0, 1.0 + grad_y * y));
    }
}

void SkyScene::field_offset(const FrameRequest &req, double scale, double *dx_px, double *dy_px) const {
    // The frame's offset: mount plus the atmosphere's tip-tilt over the exposure (the mount
    // model's seeing jitter, one sigma per axis).
    const uint64_t js = hash_combine(hash_combine(req.seed, req.frame_index), 0x6A6974ull);
    const double jitter =
        std::isfinite(req.jitter_arcsec) ? std::clamp(req.jitter_arcsec, 0.0, 60.0) / scale : 0.0;
    const double ju1 = 1.0 - unit_from(mix64(js)), ju2 = unit_from(mix64(js + 1));
    const double jr = jitter * std::sqrt(-2.0 * std::log(ju1));
    // Offsets beyond a billion pixels only come from nonsense; they would overflow the tile indices.
    auto sane = [](double v) { return std::isfinite(v) ? std::clamp(v, -1e9, 1e9) : 0.0; };
    *dx_px = sane(req.field_dx_px) + jr * std::cos(2 * std::numbers::pi * ju2);
    *dy_px = sane(req.field_dy_px) + jr * std::sin(2 * std::numbers::pi * ju2);
}

SkyScene::StarImage SkyScene::star_image(const FrameRequest &req, double e0) {
    const CameraModel &m = *req.model;
    StarImage o;
    o.model = &m;
    o.e0 = e0;
    o.cx = m.width / 2.0;
    o.cy = m.height / 2.0;
    const double cx_sensor = o.cx, cy_sensor = o.cy;
    o.sigma = psf_sigma_pixels(m, frame_focal_mm(req), frame_aperture_mm(req));
    o.moffat = effect_on(req.effects, kEffectStarProfile);
    // Off-axis the optics stretch star images along each axis and pull them outward a little.
    // Not std::hypot: glibc 2.35 gave it a new symbol version, which alone would raise the
    // wheel's manylinux floor by one release; sensor coordinates cannot overflow the squares.
    o.field = std::sqrt(cx_sensor * cx_sensor + cy_sensor * cy_sensor);
    o.stretch = o.moffat ? kOffAxisStretch : 0.0;
    o.pull = radial_distortion(m, req.effects) * o.field * o.field;
    o.margin = 8.0 * kMoffatWidth[2] * (1.0 + o.stretch) * o.sigma + 2.0;
    return o;
}

void SkyScene::draw(const StarImage &o, double sx, double sy, double flux, const float share[3],
                    double trail_x, double trail_y) {
    const CameraModel &m = *o.model;
    const double cx_sensor = o.cx, cy_sensor = o.cy, field = o.field, pull = o.pull, e0 = o.e0;
    const double sigma = o.sigma, stretch = o.stretch;
    const bool moffat = o.moffat;
    const double fx = (sx - cx_sensor) / field, fy = (sy - cy_sensor) / field;
    const double radial = 1.0 + pull * (fx * fx + fy * fy);
    if (trail_x != 0.0 || trail_y != 0.0) {
        // A trail's ends are distorted as the star's centre is (the pull varies little along it).
        trail_x *= radial;
        trail_y *= radial;
    }
    sx = cx_sensor + (sx - cx_sensor) * radial;
    sy = cy_sensor + (sy - cy_sensor) * radial;
    // A point image as a stamp; a trail (tracking off) as the same profile along its segment.
    auto place = [&](double electrons_part, double wx, double wy) {
        if (trail_x != 0.0 || trail_y != 0.0)
            add_trail(sx, sy, trail_x, trail_y, electrons_part, share, wx, wy);
        else
            add_star(sx, sy, electrons_part, share, wx, wy);
    };
    const double vig = double(vignetting(sx - cx_sensor, m)) * double(vignetting(sy - cy_sensor, m));
    const double electrons = e0 * flux * vig;
    const double sig_x = sigma * (1.0 + stretch * fx * fx), sig_y = sigma * (1.0 + stretch * fy * fy);
    if (moffat) {
        // Moffat (beta 3) wings as three Gaussians; each outer one is drawn where it
        // shows, otherwise its light stays in the core.
        double core = electrons * kMoffatWeight[0];
        for (int c = 2; c >= 1; --c) {
            const double part = electrons * kMoffatWeight[c], w = kMoffatWidth[c];
            if (part / (2.0 * std::numbers::pi * w * w * sig_x * sig_y) > kStampFloor)
                place(part, w * sig_x, w * sig_y);
            else
                core += part;
        }
        place(core, kMoffatWidth[0] * sig_x, kMoffatWidth[0] * sig_y);
        return;
    }
    // The halo is drawn where it shows; otherwise its light stays in the core.
    const double halo = electrons * kHaloFraction;
    const double halo_sigma = sigma * kHaloWidth;
    if (halo / (2.0 * std::numbers::pi * halo_sigma * halo_sigma) > kStampFloor) {
        place(electrons - halo, sigma, sigma);
        place(halo, halo_sigma, halo_sigma);
    } else {
        place(electrons, sigma, sigma);
    }
}

void SkyScene::real_sky(const FrameRequest &req, const StarImage &image, double scale, double dx, double dy) {
    const CameraModel &m = *req.model;
    const double sigma = image.sigma, e0 = image.e0;
    std::vector<PlacedStar> stars;
    double glow_e = 0.0, trail_x = 0.0, trail_y = 0.0;
    real_stars(req, scale, e0, sigma, image.margin, dx, dy, &stars, &glow_e, &trail_x, &trail_y);
    add_glow(glow_e, m);
    stamps_.reserve(2 * stars.size());
    pool_.reserve(24 * stars.size());
    // A star trails (tracking off) along a segment centred on its mid-exposure place; a trail
    // shorter than a tenth of the profile's width is a point.
    const double length = std::sqrt(trail_x * trail_x + trail_y * trail_y);
    if (length < 0.1 * sigma)
        trail_x = trail_y = 0.0;
    for (const PlacedStar &s : stars) {
        float share[3];
        star_colour(s.bv, share);
        draw(image, s.x + dx, s.y + dy, std::pow(10.0, -0.4 * double(s.mag)), share, trail_x, trail_y);
    }
    finish_trails();
    if (effect_on(req.effects, kEffectExtendedObjects))
        real_objects(req, scale, e0, dx, dy);
}

void SkyScene::procedural_sky(const FrameRequest &req, const StarImage &image, double scale, double dx,
                              double dy) {
    const CameraModel &m = *req.model;
    const double cx_sensor = image.cx, cy_sensor = image.cy, margin = image.margin, e0 = image.e0;
    const int64_t x0 = x0_, y0 = y0_;
    const int width = width_, height = height_;
    // Procedural sky: a pointing of this camera's own on a flat sheet of tiles.
    const uint64_t ps = hash_combine(req.seed, 0x706F696E74ull);
    const double ra0 = 3600.0 * 360.0 * unit_from(mix64(ps));
    const double dec0 = 3600.0 * (120.0 * unit_from(mix64(ps + 1)) - 60.0);
    const double ra_lo = ra0 + (double(x0) - margin - cx_sensor - dx) * scale;
    const double ra_hi = ra0 + (double(x0 + width) + margin - cx_sensor - dx) * scale;
    const double dec_lo = dec0 + (double(y0) - margin - cy_sensor - dy) * scale;
    const double dec_hi = dec0 + (double(y0 + height) + margin - cy_sensor - dy) * scale;
    const auto tx_lo = int32_t(std::floor(ra_lo / kTileArcsec)),
               tx_hi = int32_t(std::floor(ra_hi / kTileArcsec));
    const auto ty_lo = int32_t(std::floor(dec_lo / kTileArcsec)),
               ty_hi = int32_t(std::floor(dec_hi / kTileArcsec));
    for (int32_t ty = ty_lo; ty <= ty_hi; ++ty) {
        for (int32_t tx = tx_lo; tx <= tx_hi; ++tx) {
            const auto tile = sky_tile(tx, ty);
            for (const Star &s : *tile) {
                const double sx = cx_sensor + (double(tx) * kTileArcsec + s.ra - ra0) / scale + dx;
                const double sy = cy_sensor + (double(ty) * kTileArcsec + s.dec - dec0) / scale + dy;
                if (sx < double(x0) - margin || sx > double(x0 + width) + margin ||
                    sy < double(y0) - margin || sy > double(y0 + height) + margin)
                    continue;
                draw(image, sx, sy, double(s.flux), s.share);
            }
        }
    }
    if (effect_on(req.effects, kEffectExtendedObjects))
        add_extended(ra0 - (cx_sensor + dx) * scale, dec0 - (cy_sensor + dy) * scale, scale, e0, m);
}

void SkyScene::index_stamps() {
    const int height = height_;
    // Index the stamps by row (counting sort) so that each row finds its stamps directly.
    row_first_.assign(size_t(height) + 1, 0);
    for (const Stamp &st : stamps_)
        for (int r = st.y0; r < st.y0 + st.ny; ++r)
            ++row_first_[size_t(r) + 1];
    for (size_t r = 0; r < size_t(height); ++r)
        row_first_[r + 1] += row_first_[r];
    row_stamps_.resize(row_first_.back());
    std::vector<uint32_t> fill(row_first_.begin(), row_first_.end() - 1);
    for (size_t i = 0; i < stamps_.size(); ++i)
        for (int r = stamps_[i].y0; r < stamps_[i].y0 + stamps_[i].ny; ++r)
            row_stamps_[fill[size_t(r)]++] = uint32_t(i);
}

void SkyScene::add_star(double cx, double cy, double electrons, const float share[3], double sigma_x,
                        double sigma_y) {
    const double brightest = color_ ? double(std::max({share[0], share[1], share[2]})) : 1.0;
    const double peak = electrons * brightest / (2.0 * std::numbers::pi * sigma_x * sigma_y);
    if (electrons * brightest < kStampFloor)
        return;
    auto reach_of = [&](double sigma) {
        const double reach =
            peak > kStampFloor ? sigma * std::sqrt(2.0 * std::log(peak / kStampFloor)) : sigma;
        return int(
            std::clamp(std::ceil(reach), 1.0, std::min(8.0 * sigma + 1.0, std::max(256.0, 4.0 * sigma))));
    };
    const int rx = reach_of(sigma_x), ry = reach_of(sigma_y);
    const auto ix = int64_t(std::floor(cx)), iy = int64_t(std::floor(cy));
    const int64_t ax0 = std::max(ix - rx, x0_), ax1 = std::min(ix + rx + 1, x0_ + width_);
    const int64_t ay0 = std::max(iy - ry, y0_), ay1 = std::min(iy + ry + 1, y0_ + height_);
    if (ax0 >= ax1 || ay0 >= ay1)
        return;

    const NormalCdf &cdf = normal_cdf();
    Stamp st{};
    st.x0 = int32_t(ax0 - x0_);
    st.nx = int32_t(ax1 - ax0);
    st.y0 = int32_t(ay0 - y0_);
    st.ny = int32_t(ay1 - ay0);
    const double inv_x = 1.0 / sigma_x, inv_y = 1.0 / sigma_y;
    // x profile (with the filter's share per column for even and odd rows), then y profile with
    // the star's light folded in.
    for (int parity = 0; parity < (color_ ? 2 : 1); ++parity) {
        st.px[parity] = uint32_t(pool_.size());
        for (int64_t x = ax0; x < ax1; ++x) {
            const float p = cdf((double(x) + 1.0 - cx) * inv_x) - cdf((double(x) - cx) * inv_x);
            const float s = color_ ? share[bayer_colour(bayer_, x, parity)] : 1.0f;
            pool_.push_back(p * s);
        }
    }
    if (!color_)
        st.px[1] = st.px[0];
    st.px_max = *std::max_element(pool_.begin() + st.px[0], pool_.end());
    st.py = uint32_t(pool_.size());
    for (int64_t y = ay0; y < ay1; ++y)
        pool_.push_back(float(electrons) *
                        (cdf((double(y) + 1.0 - cy) * inv_y) - cdf((double(y) - cy) * inv_y)));
    stamps_.push_back(st);
}

void SkyScene::add_trail(double cx, double cy, double tx, double ty, double electrons, const float share[3],
                         double sigma_x, double sigma_y) {
    const double brightest = color_ ? double(std::max({share[0], share[1], share[2]})) : 1.0;
    if (electrons * brightest < kStampFloor)
        return;
    const double length = std::sqrt(tx * tx + ty * ty);
    const double ux = tx / length, uy = ty / length;
    const double xa = cx - tx / 2.0, ya = cy - ty / 2.0; // where the star is at the exposure's start
    // The profile reaches as far from the segment as a stamp of the trail's peak would.
    const double sigma = std::sqrt(sigma_x * sigma_y);
    const double peak =
        electrons * brightest / (std::sqrt(2.0 * std::numbers::pi) * sigma * (length + 2.5 * sigma));
    auto reach_of = [&](double s) {
        const double reach = peak > kStampFloor ? s * std::sqrt(2.0 * std::log(peak / kStampFloor)) : s;
        return int(std::clamp(std::ceil(reach), 1.0, std::min(8.0 * s + 1.0, std::max(256.0, 4.0 * s))));
    };
    const int rx = reach_of(sigma_x), ry = reach_of(sigma_y);
    const int64_t bx0 = int64_t(std::floor(std::min(xa, xa + tx))) - rx;
    const int64_t bx1 = int64_t(std::floor(std::max(xa, xa + tx))) + rx + 1;
    const int64_t by0 = int64_t(std::floor(std::min(ya, ya + ty))) - ry;
    const int64_t by1 = int64_t(std::floor(std::max(ya, ya + ty))) + ry + 1;
    const int64_t ax0 = std::max(bx0, x0_), ax1 = std::min(bx1, x0_ + width_);
    const int64_t ay0 = std::max(by0, y0_), ay1 = std::min(by1, y0_ + height_);
    if (ax0 >= ax1 || ay0 >= ay1)
        return;
    if (trail_.empty())
        trail_.assign(size_t(width_) * size_t(height_), 0.0f);
    // Along the segment the Gaussian's exponent is a quadratic in the distance s travelled:
    // integrated over s in [0, length], a Gaussian across the trail times a difference of normal
    // CDFs along it. Sampled at pixel centres with the pixel's own width added to the profile's
    // (a box of variance 1/12), then scaled so that the whole trail holds the star's electrons.
    const double wx2 = sigma_x * sigma_x + 1.0 / 12.0, wy2 = sigma_y * sigma_y + 1.0 / 12.0;
    const double ix = 1.0 / wx2, iy = 1.0 / wy2;
    const double a = ux * ux * ix + uy * uy * iy, root_a = std::sqrt(a);
    const NormalCdf &cdf = normal_cdf();
    auto at = [&](int64_t x, int64_t y) {
        const double px = double(x) + 0.5 - xa, py = double(y) + 0.5 - ya;
        const double b = px * ux * ix + py * uy * iy;
        const double q = px * px * ix + py * py * iy - b * b / a; // across the trail, squared
        if (q > 40.0)
            return 0.0;
        const double mid = b / a;
        return std::exp(-0.5 * q) * double(cdf(root_a * (length - mid)) - cdf(-root_a * mid));
    };
    // The sum over the whole footprint, also where it leaves the region (only when that part is
    // small; a trail mostly off the region takes the closed form's own scale).
    const double footprint = double(bx1 - bx0) * double(by1 - by0);
    const double inside = double(ax1 - ax0) * double(ay1 - ay0);
    double total = 0.0;
    if (footprint <= 2.0 * inside + 1024.0) {
        for (int64_t y = by0; y < by1; ++y)
            for (int64_t x = bx0; x < bx1; ++x)
                total += at(x, y);
    }
    const double analytic =
        2.0 * std::numbers::pi * std::sqrt(wx2 * wy2) * length / std::sqrt(2.0 * std::numbers::pi / a);
    const double norm = electrons / (total > 0.0 ? total : analytic);
    for (int64_t y = ay0; y < ay1; ++y) {
        float *row = trail_.data() + size_t(y - y0_) * size_t(width_);
        const int parity = int(y & 1);
        for (int64_t x = ax0; x < ax1; ++x) {
            const float s = color_ ? share[bayer_colour(bayer_, x, parity)] : 1.0f;
            row[x - x0_] += float(norm * at(x, y)) * s;
        }
    }
}

void SkyScene::finish_trails() {
    if (trail_.empty())
        return;
    trail_max_.assign(size_t(height_), 0.0f);
    for (size_t r = 0; r < size_t(height_); ++r) {
        const float *row = trail_.data() + r * size_t(width_);
        trail_max_[r] = *std::max_element(row, row + width_);
    }
}

// Galaxies (a bulge and an inclined disc, about one per 25 square arcminutes, magnitudes 12 to
// 16) and emission nebulae (a cluster of glowing clouds some 10' across, in half of the
// one-degree cells of the sky), drawn from hashes of their tiles and cells like the stars.
// (ra_origin, dec_origin) is the sky position of sensor pixel (0, 0).
void SkyScene::add_extended(double ra_origin, double dec_origin, double scale, double e0,
                            const CameraModel &m) {
    auto sensor_x = [&](double ra) { return (ra - ra_origin) / scale; };
    auto sensor_y = [&](double dec) { return (dec - dec_origin) / scale; };
    auto light = [&](double x, double y, double mag) {
        const double vig =
            double(vignetting(x - m.width / 2.0, m)) * double(vignetting(y - m.height / 2.0, m));
        return e0 * std::pow(10.0, -0.4 * mag) * std::max(vig, 0.0);
    };
    // Region on the sky with a margin for the largest object.
    const double margin_arcsec = 1800.0;
    const double ra_lo = ra_origin + double(x0_) * scale - margin_arcsec;
    const double ra_hi = ra_origin + double(x0_ + width_) * scale + margin_arcsec;
    const double dec_lo = dec_origin + double(y0_) * scale - margin_arcsec;
    const double dec_hi = dec_origin + double(y0_ + height_) * scale + margin_arcsec;
    const float galaxy_share[3] = {0.37f * kFilter[0], 0.36f * kFilter[1], 0.27f * kFilter[2]};
    const float nebula_share[3] = {0.80f * kFilter[0], 0.25f * kFilter[1], 0.15f * kFilter[2]};

    for (auto ty = int32_t(std::floor(dec_lo / kTileArcsec)); ty <= int32_t(std::floor(dec_hi / kTileArcsec));
         ++ty)
        for (auto tx = int32_t(std::floor(ra_lo / kTileArcsec));
             tx <= int32_t(std::floor(ra_hi / kTileArcsec)); ++tx) {
            uint64_t h =
                hash_combine(hash_combine(0x67616C61ull, uint64_t(uint32_t(tx))), uint64_t(uint32_t(ty)));
            auto next = [&h] {
                h = mix64(h + 0x9E3779B97F4A7C15ull);
                return unit_from(h);
            };
            const double u = next();
            const int count = u < 0.55 ? 0 : u < 0.9 ? 1 : 2;
            for (int i = 0; i < count; ++i) {
                const double x = sensor_x(double(tx) * kTileArcsec + next() * kTileArcsec);
                const double y = sensor_y(double(ty) * kTileArcsec + next() * kTileArcsec);
                const double mag = 12.0 + 4.0 * next();
                const double radius =
                    25.0 * std::pow(10.0, -0.2 * (mag - 12.0)) * (0.6 + 0.8 * next()) / scale;
                const double axis = 0.25 + 0.75 * next(); // seen from the side to face-on
                const bool along_x = next() < 0.5;
                const double total = light(x, y, mag);
                const double bulge = 0.3 * radius, disc_a = radius, disc_b = radius * axis;
                add_star(x, y, 0.3 * total, galaxy_share, bulge, bulge);
                add_star(x, y, 0.7 * total, galaxy_share, along_x ? disc_a : disc_b,
                         along_x ? disc_b : disc_a);
            }
        }

    constexpr double kCellArcsec = 3600.0;
    for (auto cy = int32_t(std::floor(dec_lo / kCellArcsec)); cy <= int32_t(std::floor(dec_hi / kCellArcsec));
         ++cy)
        for (auto cx = int32_t(std::floor(ra_lo / kCellArcsec));
             cx <= int32_t(std::floor(ra_hi / kCellArcsec)); ++cx) {
            uint64_t h =
                hash_combine(hash_combine(0x6E6562ull, uint64_t(uint32_t(cx))), uint64_t(uint32_t(cy)));
            auto next = [&h] {
                h = mix64(h + 0x9E3779B97F4A7C15ull);
                return unit_from(h);
            };
            if (next() < 0.5)
                continue;
            const double ra = double(cx) * kCellArcsec + (0.2 + 0.6 * next()) * kCellArcsec;
            const double dec = double(cy) * kCellArcsec + (0.2 + 0.6 * next()) * kCellArcsec;
            const double size = 240.0 + 360.0 * next(); // arcseconds, one sigma of the cluster
            for (int k = 0; k < 6; ++k) {
                const double bx = ra + size * (next() - 0.5) * 2.0, by = dec + size * (next() - 0.5) * 2.0;
                const double sigma_x = (0.15 + 0.2 * next()) * size / scale,
                             sigma_y = (0.15 + 0.2 * next()) * size / scale;
                // Surface brightness near 21 mag per square arcsecond at the clouds' centres.
                const double area = 2.0 * std::numbers::pi * sigma_x * sigma_y * scale * scale;
                const double mag = 21.0 + next() - 2.5 * std::log10(area);
                const double x = sensor_x(bx), y = sensor_y(by);
                add_star(x, y, light(x, y, mag), nebula_share, sigma_x, sigma_y);
            }
        }
}

float SkyScene::light_row(int r, float base, const float *prnu, float prnu_scale, float prnu_max,
                          float *row) const {
    const float vy = vig_y_[size_t(r)];
    const int parity = int((y0_ + r) & 1);
    const float *sky = sky_[parity].data();
    if (prnu != nullptr) {
        for (int i = 0; i < width_; ++i)
            row[i] = base + (sky[i] * vy) * (1.0f + prnu_scale * prnu[i]);
    } else {
        for (int i = 0; i < width_; ++i)
            row[i] = base + sky[i] * vy;
    }
    const float gain_max = prnu != nullptr ? 1.0f + prnu_scale * prnu_max : 1.0f;
    float top = base + sky_max_[parity] * vy * gain_max;
    if (!trail_.empty()) {
        const float *tr = trail_.data() + size_t(r) * size_t(width_);
        if (prnu != nullptr) {
            for (int i = 0; i < width_; ++i)
                row[i] += tr[i] * (1.0f + prnu_scale * prnu[i]);
        } else {
            for (int i = 0; i < width_; ++i)
                row[i] += tr[i];
        }
        top += trail_max_[size_t(r)] * gain_max;
    }
    if (row_first_.empty())
        return top;
    for (uint32_t k = row_first_[size_t(r)]; k < row_first_[size_t(r) + 1]; ++k) {
        const Stamp &st = stamps_[row_stamps_[k]];
        const float w = pool_[st.py + uint32_t(r - st.y0)];
        const float *px = pool_.data() + st.px[parity];
        float *dst = row + st.x0;
        if (prnu != nullptr) {
            const float *g = prnu + st.x0;
            for (int i = 0; i < st.nx; ++i)
                dst[i] += (w * px[i]) * (1.0f + prnu_scale * g[i]);
        } else {
            for (int i = 0; i < st.nx; ++i)
                dst[i] += w * px[i];
        }
        top += w * st.px_max * gain_max;
    }
    return top;
}

} // namespace asisim
