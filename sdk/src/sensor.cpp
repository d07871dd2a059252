// Sensor response and noise sources.
#include "sensor.h"

#include "hash.h"
#include "optics.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <utility>

namespace asisim {

double electrons_per_adu(const CameraModel &m, int gain) {
    const double g = double(std::max(gain, 0)), unity = double(std::max(m.unity_gain, 0));
    // Below unity gain the curve runs log-linearly from the published conversion factor at gain 0
    // to 1 e-/ADU at unity (real amplifiers seldom follow the nominal 0.1 dB steps down there).
    if (g < unity && m.e_per_adu_unity > 0.0)
        return std::pow(m.e_per_adu_unity, 1.0 - g / unity);
    return std::pow(10.0, (unity - g) / 200.0);
}

namespace {

// From `hi` at f = 0 to `lo` at f = 1, steeply at first.
double falling(double hi, double lo, double f) {
    lo = std::max(lo, 0.05);
    hi = std::max(hi, lo);
    return hi * std::pow(lo / hi, std::sqrt(std::clamp(f, 0.0, 1.0)));
}

} // namespace

double read_noise_electrons(const CameraModel &m, int gain, bool conversion_gain) {
    const double g = double(std::max(gain, 0));
    const SensorCurves &c = sensor_curves(m);
    if (conversion_gain && c.read_noise_points > 0) {
        // The published chart, point to point.
        const ReadNoisePoint *p = c.read_noise;
        const int n = c.read_noise_points;
        if (g <= double(p[0].gain))
            return p[0].electrons;
        for (int k = 1; k < n; ++k)
            if (g <= double(p[k].gain)) {
                const double f = (g - double(p[k - 1].gain)) / double(p[k].gain - p[k - 1].gain);
                return p[k - 1].electrons + f * (p[k].electrons - p[k - 1].electrons);
            }
        return p[n - 1].electrons;
    }
    if (conversion_gain && m.hcg_gain > 0 && m.hcg_gain < m.max_gain) {
        const double sw = double(m.hcg_gain);
        if (g < sw)
            return falling(m.read_noise_e, m.read_noise_lcg_top_e, g / std::max(sw - 1.0, 1.0));
        return falling(m.read_noise_hcg_e, m.read_noise_high_e, (g - sw) / (double(m.max_gain) - sw));
    }
    return falling(m.read_noise_e, m.read_noise_high_e, m.max_gain > 0 ? g / double(m.max_gain) : 0.0);
}

double offset_adu_per_step(const CameraModel &m) {
    return m.bit_depth >= 16 ? 6.0 : m.bit_depth >= 14 ? 5.0 : 8.0;
}

double black_level_adu(const CameraModel &m, int gain, int offset, bool conversion_gain) {
    const double rn = read_noise_electrons(m, gain, conversion_gain);
    const double fpn = std::sqrt(kBiasPixelFpn * kBiasPixelFpn + kBiasColumnFpn * kBiasColumnFpn +
                                 kBiasRowFpn * kBiasRowFpn);
    const double sigma_adu = rn * std::sqrt(1.0 + fpn * fpn) / electrons_per_adu(m, gain);
    return 4.0 * sigma_adu + double(std::max(offset, 0)) * offset_adu_per_step(m);
}

namespace {

double sane_temperature(double temp_c) {
    return std::isfinite(temp_c) ? std::clamp(temp_c, -60.0, 80.0) : kCurveReferenceC;
}

} // namespace

double bias_drift_adu(const CameraModel &m, double temp_c) {
    return sensor_curves(m).bias_adu_per_c * (sane_temperature(temp_c) - kCurveReferenceC);
}

double amp_glow_e_per_s(const CameraModel &m, int gain, double temp_c) {
    const SensorCurves &c = sensor_curves(m);
    const double g =
        m.max_gain > 0 ? std::clamp(double(gain), 0.0, double(m.max_gain)) / double(m.max_gain) : 0.0;
    const double doubling = c.glow_doubling_c > 0.0 ? c.glow_doubling_c : 8.0;
    return m.glow_e_per_s * std::exp2((sane_temperature(temp_c) - glow_reference_c(m)) / doubling) *
           std::pow(std::max(c.glow_gain_factor, 1e-3), g);
}

double hot_pixel_temperature_factor(double temp_c) {
    if (!std::isfinite(temp_c))
        temp_c = 25.0;
    return std::exp2((std::clamp(temp_c, -60.0, 80.0) - 25.0) / 12.0); // with the bulk's 1/6: 1/4
}

double dark_current(const CameraModel &m, double temp_c) {
    if (!std::isfinite(temp_c))
        temp_c = 25.0;
    temp_c = std::clamp(temp_c, -60.0, 80.0);
    return m.dark_e_per_s_25c * std::exp2((temp_c - 25.0) / 6.0);
}

namespace {

std::vector<HotPixel> make_hot_pixels(const CameraModel &m, uint64_t seed) {
    // About one pixel in 20000 hot, with dark currents from 30 to 30000 times the sensor's, and
    // one in 2000 warm, 3 to 30 times: a few stand out in short darks, many more in long ones.
    const double pixels = double(m.width) * double(m.height);
    const size_t hot_count = size_t(pixels / 20000.0), warm_count = size_t(pixels / 2000.0);
    std::vector<HotPixel> hot;
    hot.reserve(hot_count + warm_count);
    uint64_t h = hash_combine(seed, 0x686F74ull); // "hot"
    for (size_t i = 0; i < hot_count + warm_count; ++i) {
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const auto x = int32_t(unit_from(h) * m.width);
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const auto y = int32_t(unit_from(h) * m.height);
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const double u = unit_from(h);
        const auto factor = float(i < hot_count ? 30.0 * std::pow(1000.0, u) : 3.0 * std::pow(10.0, u));
        hot.push_back({x, y, factor});
    }
    std::sort(hot.begin(), hot.end(),
              [](const HotPixel &p, const HotPixel &q) { return p.y != q.y ? p.y < q.y : p.x < q.x; });
    // Two draws on one pixel would be one hot pixel.
    hot.erase(std::unique(hot.begin(), hot.end(),
                          [](const HotPixel &p, const HotPixel &q) { return p.x == q.x && p.y == q.y; }),
              hot.end());
    return hot;
}

} // namespace

std::shared_ptr<const std::vector<HotPixel>> hot_pixels(const CameraModel &m, uint64_t seed) {
    static std::mutex lock;
    static std::map<std::pair<const CameraModel *, uint64_t>, std::shared_ptr<const std::vector<HotPixel>>>
        cache;
    std::lock_guard guard(lock);
    const std::pair<const CameraModel *, uint64_t> key{&m, seed};
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    if (cache.size() >= 256) // seeds are per camera; this only bounds pathological use
        cache.clear();
    auto made = std::make_shared<const std::vector<HotPixel>>(make_hot_pixels(m, seed));
    cache.emplace(key, made);
    return made;
}

namespace {

FixedPattern make_fixed_pattern(const CameraModel &m, uint64_t seed) {
    FixedPattern p;
    p.seed = hash_combine(seed, 0x66706Eull); // "fpn"
    uint64_t h = p.seed;
    auto gauss = [&h] {
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const double u1 = 1.0 - unit_from(h);
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        return float(std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * unit_from(h)));
    };
    p.column.resize(size_t(m.width));
    for (float &v : p.column)
        v = gauss();
    p.row.resize(size_t(m.height));
    for (float &v : p.row)
        v = gauss();
    // Dust on the sensor window casts out-of-focus shadows whose size is the window's distance
    // from the sensor over the focal ratio: about one mote per 40 mm2, at least two.
    const Optics &o = optics();
    const double f_ratio = o.focal_mm / o.aperture_mm;
    const double area_mm2 = m.width * m.pixel_um * m.height * m.pixel_um * 1e-6;
    const int motes = std::max(2, int(area_mm2 / 40.0));
    uint64_t d = hash_combine(seed, 0x64757374ull); // "dust"
    auto next = [&d] {
        d = mix64(d + 0x9E3779B97F4A7C15ull);
        return unit_from(d);
    };
    for (int i = 0; i < motes; ++i) {
        DustMote mote;
        mote.x = float(next() * m.width);
        mote.y = float(next() * m.height);
        const double distance_mm = 2.0 + 6.0 * next();
        mote.radius = float(std::clamp(distance_mm / (2.0 * f_ratio) * 1000.0 / m.pixel_um, 4.0, 400.0));
        mote.depth = float(0.02 + 0.06 * next());
        p.dust.push_back(mote);
    }
    return p;
}

} // namespace

std::shared_ptr<const FixedPattern> fixed_pattern(const CameraModel &m, uint64_t seed) {
    static std::mutex lock;
    static std::map<std::pair<const CameraModel *, uint64_t>, std::shared_ptr<const FixedPattern>> cache;
    std::lock_guard guard(lock);
    const std::pair<const CameraModel *, uint64_t> key{&m, seed};
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    if (cache.size() >= 256)
        cache.clear();
    auto made = std::make_shared<const FixedPattern>(make_fixed_pattern(m, seed));
    cache.emplace(key, made);
    return made;
}

namespace {

// Unit-variance Gaussian samples, exactly zero mean and unit variance, from a seed.
void fill_gaussian(std::vector<float> &v, size_t size, uint64_t &h) {
    v.resize(size);
    for (size_t i = 0; i < v.size(); i += 2) {
        // Box-Muller, once at start-up.
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const double u1 = 1.0 - unit_from(h);
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const double u2 = unit_from(h);
        const double r = std::sqrt(-2.0 * std::log(u1));
        v[i] = float(r * std::cos(2.0 * std::numbers::pi * u2));
        v[i + 1] = float(r * std::sin(2.0 * std::numbers::pi * u2));
    }
    // Exactly zero mean and unit variance, so that measured noise is the modelled noise.
    double sum = 0.0, sq = 0.0;
    for (float x : v)
        sum += x;
    const double mean = sum / double(v.size());
    for (float x : v)
        sq += (x - mean) * (x - mean);
    const double scale = 1.0 / std::sqrt(sq / double(v.size()));
    for (float &x : v)
        x = float((x - mean) * scale);
}

} // namespace

const NoiseTables &noise_tables() {
    static const NoiseTables tables = [] {
        NoiseTables t;
        uint64_t h = 0x6E6F697365ull; // "noise"
        auto fill = [&h](std::vector<float> &v) { fill_gaussian(v, kNoiseTableSize, h); };
        fill(t.a);
        fill(t.b);
        return t;
    }();
    return tables;
}

const std::vector<float> &pattern_table() {
    static const std::vector<float> table = [] {
        std::vector<float> v;
        uint64_t h = 0x7061747465726Eull; // "pattern"
        fill_gaussian(v, kPatternTableSize, h);
        return v;
    }();
    return table;
}

} // namespace asisim
