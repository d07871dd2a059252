// Cosmic rays, random-telegraph pixels and trails: the per-frame events of the sensor and the sky.
#include "events.h"

#include "bayer.h"
#include "hash.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <unordered_map>
#include <utility>

namespace asisim {

namespace {

// A few well-mixed numbers from a key.
class Draws {
  public:
    explicit Draws(uint64_t key) : h_(key) {}
    double unit() {
        h_ = mix64(h_ + 0x9E3779B97F4A7C15ull);
        return unit_from(h_);
    }
    double gauss() {
        const double u1 = 1.0 - unit(), u2 = unit();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
    }
    // Poisson count: exact for small means, its normal approximation for large ones.
    uint64_t poisson(double mean) {
        if (!(mean > 0.0))
            return 0;
        if (mean > 30.0)
            return uint64_t(std::max(0.0, std::round(mean + std::sqrt(mean) * gauss())));
        const double limit = std::exp(-mean);
        uint64_t n = 0;
        for (double p = unit(); p > limit; p *= unit())
            ++n;
        return n;
    }

  private:
    uint64_t h_;
};

// Charge laid down along a track, point by point, spread by diffusion over the pixels around.
class ChargeMap {
  public:
    ChargeMap(int64_t x0, int64_t y0, int width, int height, double diffusion_px)
        : x0_(x0), y0_(y0), width_(width), height_(height), sigma_(diffusion_px) {}

    void add(double x, double y, double electrons) {
        const int reach = sigma_ > 0.6 ? 2 : 1;
        const auto ix = int64_t(std::floor(x)), iy = int64_t(std::floor(y));
        double wx[5], wy[5];
        for (int k = -reach; k <= reach; ++k) {
            wx[k + reach] = share(double(ix + k) - x);
            wy[k + reach] = share(double(iy + k) - y);
        }
        for (int j = -reach; j <= reach; ++j)
            for (int i = -reach; i <= reach; ++i) {
                const int64_t px = ix + i, py = iy + j;
                if (px < x0_ || px >= x0_ + width_ || py < y0_ || py >= y0_ + height_)
                    continue;
                const double e = electrons * wx[i + reach] * wy[j + reach];
                if (e > 0.0)
                    charge_[(uint64_t(py) << 32) | uint64_t(uint32_t(px))] += e;
            }
    }

    std::vector<Deposit> deposits() const {
        std::vector<Deposit> out;
        out.reserve(charge_.size());
        for (const auto &[key, e] : charge_)
            if (e >= 0.5)
                out.push_back({int32_t(uint32_t(key)), int32_t(key >> 32), float(e)});
        std::sort(out.begin(), out.end(),
                  [](const Deposit &a, const Deposit &b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
        return out;
    }

  private:
    // Share of a point's charge in the pixel from `lo` to lo + 1 (relative to the point).
    double share(double lo) const {
        const double s = sigma_ * std::numbers::sqrt2;
        return 0.5 * (std::erf((lo + 1.0) / s) - std::erf(lo / s));
    }

    int64_t x0_, y0_;
    int width_, height_;
    double sigma_;
    std::unordered_map<uint64_t, double> charge_;
};

} // namespace

std::vector<Deposit> cosmic_ray_deposits(const CameraModel &m, uint64_t frame_key, int64_t x0, int64_t y0,
                                         int width, int height, double exposure_s) {
    // Only the part of the region on the sensor collects charge.
    const int64_t lx = std::max<int64_t>(x0, 0), hx = std::min<int64_t>(x0 + width, m.width);
    const int64_t ly = std::max<int64_t>(y0, 0), hy = std::min<int64_t>(y0 + height, m.height);
    if (lx >= hx || ly >= hy || !(exposure_s > 0.0))
        return {};
    const double pixel_cm = m.pixel_um * 1e-4;
    const double area_cm2 = double(hx - lx) * double(hy - ly) * pixel_cm * pixel_cm;
    Draws d(hash_combine(frame_key, 0x636F736D6963ull)); // "cosmic"
    const uint64_t hits = d.poisson(kCosmicRaysPerCm2PerS * area_cm2 * std::min(exposure_s, 1e5));
    // Charge spreads sideways by about a micrometre on its way to the photodiodes.
    ChargeMap map(lx, ly, int(hx - lx), int(hy - ly), std::max(0.2, 1.2 / m.pixel_um));
    const double depth_px = kSensitiveDepthUm / m.pixel_um;
    for (uint64_t n = 0; n < std::min<uint64_t>(hits, 100000); ++n) {
        double x = double(lx) + d.unit() * double(hx - lx), y = double(ly) + d.unit() * double(hy - ly);
        double heading = 2.0 * std::numbers::pi * d.unit();
        if (d.unit() < 0.75) {
            // A muon: a straight track whose slant follows cos^4 of the angle to the sensor's
            // normal (the cos^2 flux through a flat detector), its charge a Landau-like draw.
            const double cos_t = std::max(std::pow(1.0 - d.unit(), 0.25), 0.09);
            const double tan_t = std::sqrt(1.0 - cos_t * cos_t) / cos_t;
            const double landau =
                std::clamp(1.0 - 0.2 * std::log(-std::log(std::max(d.unit(), 1e-12))), 0.6, 12.0);
            const double electrons = kMuonElectronsPerUm * kSensitiveDepthUm / cos_t * landau;
            const double length = depth_px * tan_t;
            const int points = 1 + int(length / 0.25);
            for (int k = 0; k < points; ++k) {
                const double f = points > 1 ? double(k) / double(points - 1) - 0.5 : 0.0;
                map.add(x + f * length * std::cos(heading), y + f * length * std::sin(heading),
                        electrons / double(points));
            }
        } else {
            // An electron set loose by a gamma ray: a short, curling "worm" of 0.5 to 5 ke-.
            const double electrons = 500.0 * std::pow(10.0, d.unit());
            const int steps = 2 + int(electrons / 400.0);
            for (int k = 0; k < steps; ++k) {
                map.add(x, y, electrons / double(steps));
                heading += 0.6 * d.gauss();
                x += 0.7 * std::cos(heading);
                y += 0.7 * std::sin(heading);
            }
        }
    }
    return map.deposits();
}

namespace {

std::vector<RtsPixel> make_rts_pixels(const CameraModel &m, uint64_t seed) {
    const auto count = size_t(double(m.width) * double(m.height) * kRtsPixelShare);
    std::vector<RtsPixel> out;
    out.reserve(count);
    Draws d(hash_combine(seed, 0x727473ull)); // "rts"
    for (size_t i = 0; i < count; ++i) {
        const auto x = int32_t(d.unit() * m.width), y = int32_t(d.unit() * m.height);
        const auto amplitude = float(4.0 * std::pow(5.0, d.unit()));
        const auto high = float(0.2 + 0.4 * d.unit());
        out.push_back({x, y, amplitude, high});
    }
    std::sort(out.begin(), out.end(),
              [](const RtsPixel &a, const RtsPixel &b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const RtsPixel &a, const RtsPixel &b) { return a.x == b.x && a.y == b.y; }),
              out.end());
    return out;
}

} // namespace

std::shared_ptr<const std::vector<RtsPixel>> rts_pixels(const CameraModel &m, uint64_t seed) {
    static std::mutex lock;
    static std::map<std::pair<const CameraModel *, uint64_t>, std::shared_ptr<const std::vector<RtsPixel>>>
        cache;
    std::lock_guard guard(lock);
    const std::pair<const CameraModel *, uint64_t> key{&m, seed};
    if (auto found = cache.find(key); found != cache.end())
        return found->second;
    if (cache.size() >= 256) // seeds are per camera; this only bounds pathological use
        cache.clear();
    auto made = std::make_shared<const std::vector<RtsPixel>>(make_rts_pixels(m, seed));
    cache.emplace(key, made);
    return made;
}

bool rts_high(uint64_t frame_key, size_t index, float high_share) {
    return unit_from(mix64(hash_combine(frame_key ^ 0x74656C65ull, uint64_t(index)))) < double(high_share);
}

std::vector<Trail> trails(const CameraModel &m, uint64_t frame_key, double exposure_s,
                          double electrons_mag0_per_s, double psf_sigma_px, double scale_arcsec) {
    std::vector<Trail> out;
    if (!(exposure_s > 0.0) || !(electrons_mag0_per_s > 0.0) || !(scale_arcsec > 0.0))
        return out;
    const double field_deg = 0.5 * double(m.width + m.height) * scale_arcsec / 3600.0;
    const double hours = std::min(exposure_s, 1e5) / 3600.0;
    Draws d(hash_combine(frame_key, 0x747261696Cull)); // "trail"
    const uint64_t satellites = d.poisson(4.0 * field_deg * hours);
    const uint64_t aircraft = d.poisson(0.4 * field_deg * hours);
    auto line = [&](double x, double y, double angle, double mag, double speed_deg_s,
                    const float (&share)[3]) {
        Trail t{};
        t.x = x;
        t.y = y;
        t.cos = std::cos(angle);
        t.sin = std::sin(angle);
        t.sigma = std::max(psf_sigma_px, 0.5);
        // A moving point leaves its light along the line: the time it spends on one pixel.
        t.electrons_per_px =
            electrons_mag0_per_s * std::pow(10.0, -0.4 * mag) * scale_arcsec / (speed_deg_s * 3600.0);
        std::copy(std::begin(share), std::end(share), t.share);
        return t;
    };
    static constexpr float kSunlight[3] = {0.30f, 0.35f, 0.17f};
    static constexpr float kRed[3] = {0.74f, 0.08f, 0.02f};
    static constexpr float kGreen[3] = {0.04f, 0.80f, 0.08f};
    for (uint64_t i = 0; i < std::min<uint64_t>(satellites, 64); ++i) {
        const double x = d.unit() * m.width, y = d.unit() * m.height, angle = std::numbers::pi * d.unit();
        out.push_back(line(x, y, angle, 4.0 + 4.0 * d.unit(), 0.3 + 1.2 * d.unit(), kSunlight));
    }
    for (uint64_t i = 0; i < std::min<uint64_t>(aircraft, 16); ++i) {
        const double x = d.unit() * m.width, y = d.unit() * m.height, angle = std::numbers::pi * d.unit();
        const double speed = 0.5 + 1.0 * d.unit();
        // Wing tips some 35 m apart seen from 3 to 10 km away.
        const double half_span_px = 0.5 * 35.0 / (3000.0 + 7000.0 * d.unit()) * 206264.8 / scale_arcsec;
        const double nx = -std::sin(angle), ny = std::cos(angle);
        out.push_back(
            line(x + half_span_px * nx, y + half_span_px * ny, angle, 1.0 + 2.0 * d.unit(), speed, kRed));
        out.push_back(
            line(x - half_span_px * nx, y - half_span_px * ny, angle, 1.0 + 2.0 * d.unit(), speed, kGreen));
        // The strobe: a tenth of a second of light every 1.2 seconds.
        Trail strobe = line(x, y, angle, -1.0 + 2.0 * d.unit(), speed, kSunlight);
        const double px_per_s = speed * 3600.0 / scale_arcsec;
        strobe.electrons_per_px *= 12.0; // its light comes in a twelfth of the time
        strobe.dash_period = 1.2 * px_per_s;
        strobe.dash_on = 0.1 * px_per_s;
        out.push_back(strobe);
    }
    return out;
}

bool add_trails(const std::vector<Trail> &trails, const CameraModel &m, int64_t sy, int64_t x0, int width,
                float *row) {
    bool touched = false;
    const double yc = double(sy) + 0.5;
    for (const Trail &t : trails) {
        // Pixels within four sigmas of the line: |(x - t.x) * -sin + (y - t.y) * cos| < 4 sigma.
        const double reach = 4.0 * t.sigma, along_y = (yc - t.y) * t.cos;
        int64_t lo = x0, hi = x0 + width;
        if (std::abs(t.sin) > 1e-9) {
            const double centre = t.x + along_y / t.sin, half = reach / std::abs(t.sin);
            lo = std::max<int64_t>(lo, int64_t(std::floor(centre - half)));
            hi = std::min<int64_t>(hi, int64_t(std::ceil(centre + half)) + 1);
        } else if (std::abs(along_y) >= reach) {
            continue;
        }
        touched |= lo < hi;
        const double norm = t.electrons_per_px / (std::sqrt(2.0 * std::numbers::pi) * t.sigma);
        const double inv = 1.0 / (2.0 * t.sigma * t.sigma);
        for (int64_t x = lo; x < hi; ++x) {
            const double xc = double(x) + 0.5;
            const double dist = -(xc - t.x) * t.sin + along_y;
            if (t.dash_period > 0.0) {
                const double s = (xc - t.x) * t.cos + (yc - t.y) * t.sin;
                if (s - t.dash_period * std::floor(s / t.dash_period) > t.dash_on)
                    continue;
            }
            const float share = m.color ? t.share[bayer_colour(m.bayer, x, sy)] : 1.0f;
            row[x - x0] += float(norm * std::exp(-dist * dist * inv)) * share;
        }
    }
    return touched;
}

} // namespace asisim
