// Sensor response and noise sources.
#include "sensor.h"

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

double read_noise_electrons(const CameraModel &m, int gain) {
    const double f = m.max_gain > 0 ? std::clamp(double(gain) / double(m.max_gain), 0.0, 1.0) : 0.0;
    const double lo = std::max(m.read_noise_high_e, 0.05), hi = std::max(m.read_noise_e, lo);
    return hi * std::pow(lo / hi, std::sqrt(f));
}

double dark_current(const CameraModel &m, double temp_c) {
    if (!std::isfinite(temp_c))
        temp_c = 25.0;
    temp_c = std::clamp(temp_c, -60.0, 80.0);
    return m.dark_e_per_s_25c * std::exp2((temp_c - 25.0) / 6.0);
}

namespace {

std::vector<HotPixel> make_hot_pixels(const CameraModel &m, uint64_t seed) {
    // About one pixel in 20000, with dark currents from 30 to 30000 times the sensor's: a few
    // stand out in short darks, many more in long ones.
    const double pixels = double(m.width) * double(m.height);
    const size_t count = size_t(pixels / 20000.0);
    std::vector<HotPixel> hot;
    hot.reserve(count);
    uint64_t h = hash_combine(seed, 0x686F74ull); // "hot"
    for (size_t i = 0; i < count; ++i) {
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const auto x = int32_t(unit_from(h) * m.width);
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const auto y = int32_t(unit_from(h) * m.height);
        h = mix64(h + 0x9E3779B97F4A7C15ull);
        const auto factor = float(30.0 * std::pow(1000.0, unit_from(h)));
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

const NoiseTables &noise_tables() {
    static const NoiseTables tables = [] {
        NoiseTables t;
        uint64_t h = 0x6E6F697365ull; // "noise"
        auto fill = [&h](std::vector<float> &v) {
            v.resize(kNoiseTableSize);
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
        };
        fill(t.a);
        fill(t.b);
        return t;
    }();
    return tables;
}

} // namespace asisim
