// The charge behind each output row.
#include "charge.h"

#include "optics.h"

#include <cmath>

namespace asisim {

namespace {

// out[u] += the bin pixels from u * bin on.
void add_blocks(const float *row, int bin, int w, float *out) {
    switch (bin) { // the common bins with a constant count, so the loops vectorise
    case 2:
        for (int u = 0; u < w; ++u)
            out[u] += row[2 * u] + row[2 * u + 1];
        return;
    case 4:
        for (int u = 0; u < w; ++u)
            out[u] += (row[4 * u] + row[4 * u + 1]) + (row[4 * u + 2] + row[4 * u + 3]);
        return;
    default:
        for (int u = 0; u < w; ++u) {
            float sum = 0.0f;
            for (int i = 0; i < bin; ++i)
                sum += row[u * bin + i];
            out[u] += sum;
        }
    }
}

// Same-colour binning: output pixels 2k and 2k+1 sum the even and the odd pixels of the
// 2 * bin sensor pixels from 2 * bin * k on.
void add_bayer_pairs(const float *row, int bin, int w, float *out) {
    for (int k = 0; 2 * k + 1 < w; ++k) {
        const float *cell = row + 2 * bin * k;
        float even = 0.0f, odd = 0.0f;
        for (int i = 0; i < bin; ++i) {
            even += cell[2 * i];
            odd += cell[2 * i + 1];
        }
        out[2 * k] += even;
        out[2 * k + 1] += odd;
    }
}

void add_gathered(const float *row, const int32_t *cols, int bin, int w, float *out) {
    for (int u = 0; u < w; ++u) {
        float sum = 0.0f;
        for (int i = 0; i < bin; ++i)
            sum += row[cols[u * bin + i]];
        out[u] += sum;
    }
}

} // namespace

Geometry make_geometry(const FrameRequest &req) {
    Geometry g;
    g.width = req.width;
    g.height = req.height;
    g.bin = std::clamp(req.bin, 1, kMaxBin);
    g.bayer_bin = req.model->color && !req.mono_bin && g.bin > 1;
    g.sensor_width = req.model->width;
    g.sensor_height = req.model->height;
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (int u = 0; u < g.width; ++u)
        for (int i = 0; i < g.bin; ++i) {
            const int64_t x = g.sensor(int64_t(req.start_x) + u, i);
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
    g.x0 = lo;
    g.region_width = int(hi - lo + 1);
    g.cols.resize(size_t(g.width) * size_t(g.bin));
    for (int u = 0; u < g.width; ++u)
        for (int i = 0; i < g.bin; ++i)
            g.cols[size_t(u) * size_t(g.bin) + size_t(i)] =
                int32_t(g.sensor(int64_t(req.start_x) + u, i) - lo);
    lo = INT64_MAX;
    hi = INT64_MIN;
    for (int i = 0; i < g.bin; ++i) {
        lo = std::min({lo, g.sensor(req.start_y, i), g.sensor(int64_t(req.start_y) + g.height - 1, i)});
        hi = std::max({hi, g.sensor(req.start_y, i), g.sensor(int64_t(req.start_y) + g.height - 1, i)});
    }
    g.y0 = lo;
    g.region_height = int(hi - lo + 1);
    if (!g.bayer_bin)
        g.layout = Geometry::Layout::blocks; // cols[u * bin + i] == u * bin + i
    else if ((req.start_x & 1) == 0 && (g.width & 1) == 0)
        g.layout = Geometry::Layout::bayer_pairs;
    return g;
}

Charge::Charge(const FrameRequest &req, const Geometry &geo, const Readout &ro, uint64_t frame_key)
    : req_(req), m_(*req.model), geo_(geo), ro_(ro), hot_(hot_pixels(m_, req.sensor_seed)),
      fp_(fixed_pattern(m_, req.sensor_seed)) {
    if (!req.dark)
        scene_.emplace(req, geo_.x0, geo_.y0, geo_.region_width, geo_.region_height);
    prnu_ = effect_on(req.effects, kEffectPrnu) ? float(kPrnu) : 0.0f;
    static const float pattern_max = [] {
        float top = 0.0f;
        for (float v : pattern_table())
            top = std::max(top, std::abs(v));
        return top;
    }();
    pattern_max_ = pattern_max;
    dust_ = effect_on(req.effects, kEffectDust);
    if (ro_.glow_e > 0.0f) {
        // The readout amplifiers sit beyond the sensor's right-hand edge: their glow fades
        // from its two right-hand corners over a twentieth of the sensor's size.
        glow_length_ = 0.05 * double(std::max(m_.width, m_.height));
        glow_col_.resize(size_t(geo_.region_width));
        for (int i = 0; i < geo_.region_width; ++i) {
            const double x = double(geo_.clamp_x(geo_.x0 + i));
            glow_col_[size_t(i)] = float(ro_.glow_e * std::exp(-(double(m_.width) - 1.0 - x) / glow_length_));
        }
    }
    const double t = exposure_seconds(req_);
    if (effect_on(req_.effects, kEffectCosmicRays))
        cosmic_ =
            cosmic_ray_deposits(m_, frame_key, geo_.x0, geo_.y0, geo_.region_width, geo_.region_height, t);
    if (scene_ && req_.light.kind == Light::sky && effect_on(req_.effects, kEffectTrails))
        trails_ = trails(m_, frame_key, t, electrons_mag0(m_, frame_aperture_mm(req_)),
                         psf_sigma_pixels(m_, frame_focal_mm(req_), frame_aperture_mm(req_)),
                         pixel_scale_arcsec(m_, frame_focal_mm(req_)));
    sensor_row_.resize(size_t(geo_.region_width));
    mean_.resize(size_t(geo_.width));
}

// Dust shadows on sensor row sy: each mote's chord dims the light (not the dark signal
// `dark` that the row's values already hold).
void Charge::shade_dust(int64_t sy, float dark, float *row) const {
    const int rw = geo_.region_width;
    for (const DustMote &d : fp_->dust) {
        const float dy = float(sy) + 0.5f - d.y, r = d.radius;
        if (std::abs(dy) >= r)
            continue;
        const float half = std::sqrt(r * r - dy * dy);
        const int64_t lo = std::max<int64_t>(int64_t(std::floor(d.x - half - 1.0f)), geo_.x0);
        const int64_t hi = std::min<int64_t>(int64_t(std::ceil(d.x + half + 1.0f)), geo_.x0 + rw);
        for (int64_t x = lo; x < hi; ++x) {
            // A soft edge a pixel and a half wide.
            const float inside = (half - std::abs(float(x) + 0.5f - d.x)) / 1.5f + 0.5f;
            float &v = row[x - geo_.x0];
            v = dark + (v - dark) * (1.0f - d.depth * std::clamp(inside, 0.0f, 1.0f));
        }
    }
}

// Mean electrons of one sensor row of the region into `row`: light through the pixels'
// response, dark current, amplifier glow, hot pixels, and the bend of the response near
// full well. The common case (PRNU, no dust shadow on the row) is one pass over the row.
void Charge::sensor_row(int64_t sy, float *row) {
    const int rw = geo_.region_width;
    const float dark = ro_.dark_e, knee = ro_.knee > 0.0f ? ro_.knee : 3.0e38f;
    int over = 0; // some pixel passed the knee
    if (scene_) {
        const float *t = prnu_ != 0.0f ? pattern_at(pattern_table(), prnu_draw(sy), geo_.x0, rw) : nullptr;
        if (prnu_ != 0.0f && t == nullptr) { // a region past the widest sensor: spell the run out
            gain_row_.assign(size_t(rw), 0.0f);
            pattern_add(pattern_table(), prnu_draw(sy), geo_.x0, rw, 1.0f, gain_row_.data(), 0.0f,
                        gain_row_.data());
            t = gain_row_.data();
        }
        const float top = scene_->light_row(int(sy - geo_.y0), dark, t, prnu_, pattern_max_, row);
        const bool trail = !trails_.empty() && add_trails(trails_, m_, sy, geo_.x0, rw, row);
        if (dust_) // dust only dims
            shade_dust(sy, dark, row);
        over = int(top > knee) | int(trail);
    } else {
        std::fill(row, row + rw, dark);
        over = int(dark > knee);
    }
    if (ro_.glow_e > 0.0f) {
        const double y = double(geo_.clamp_y(sy));
        const auto f =
            float(std::exp(-y / glow_length_) + std::exp(-(double(m_.height) - 1.0 - y) / glow_length_));
        if (f * ro_.glow_e > 1e-3f)
            for (int i = 0; i < rw; ++i) {
                const float v = row[i] + f * glow_col_[size_t(i)];
                row[i] = v;
                over |= int(v > knee);
            }
    }
    if (ro_.hot_e > 0.0f) {
        auto first = std::lower_bound(hot_->begin(), hot_->end(), sy,
                                      [](const HotPixel &p, int64_t y) { return p.y < y; });
        for (auto p = first; p != hot_->end() && p->y == sy; ++p) {
            const int64_t x = p->x - geo_.x0;
            if (x >= 0 && x < rw) {
                row[x] += ro_.hot_e * p->factor;
                over |= int(row[x] > knee);
            }
        }
    }
    if (!cosmic_.empty()) {
        auto first = std::lower_bound(cosmic_.begin(), cosmic_.end(), sy,
                                      [](const Deposit &d, int64_t y) { return d.y < y; });
        for (auto d = first; d != cosmic_.end() && d->y == sy; ++d) {
            const int64_t x = d->x - geo_.x0;
            if (x >= 0 && x < rw) {
                row[x] += d->electrons;
                over |= int(row[x] > knee);
            }
        }
    }
    if (over && ro_.knee > 0.0f) {
        // The well fills ever more slowly above the knee, approaching full well.
        const float span = ro_.knee_span;
        for (int i = 0; i < rw; ++i)
            if (row[i] > knee)
                row[i] = knee + span * float(-std::expm1(-double(row[i] - knee) / double(span)));
    }
}

// Mean electrons of the output row at binned row `by`.
const float *Charge::mean_row(int64_t by) {
    const int w = geo_.width, bin = geo_.bin;
    if (bin == 1) { // the region is the frame
        sensor_row(by, mean_.data());
        return mean_.data();
    }
    std::fill(mean_.begin(), mean_.end(), 0.0f);
    for (int j = 0; j < bin; ++j) {
        sensor_row(geo_.sensor(by, j), sensor_row_.data());
        // Each pixel clips at what it can hold before the charges are summed.
        const float cap = ro_.pixel_cap;
        for (float &v : sensor_row_)
            v = std::min(v, cap);
        if (geo_.layout == Geometry::Layout::blocks)
            add_blocks(sensor_row_.data(), bin, w, mean_.data());
        else if (geo_.layout == Geometry::Layout::bayer_pairs)
            add_bayer_pairs(sensor_row_.data(), bin, w, mean_.data());
        else
            add_gathered(sensor_row_.data(), geo_.cols.data(), bin, w, mean_.data());
    }
    return mean_.data();
}

} // namespace asisim
