// Frame synthesis: sky and sensor through the readout, one output row at a time.
//
// Per row: the mean photoelectrons of the sensor pixels behind it (sky, stars, dark current, hot
// pixels), binned by summing charge, then shot and read noise, the ADC (offset, gain, clipping
// at full well and full scale) and the image type's format. Binning sums: a bin-2 pixel holds
// the signal, the bias and the read noise of its four sensor pixels. Colour sensors bin
// same-colour pixels so the output keeps the Bayer mosaic, unless mono binning is on. RAW16 holds
// the ADC's value shifted to the top bits; RAW8 its top 8 bits; RGB24 (B, G, R) and Y8 come from
// a bilinear debayer with white balance and gamma.
//
// The charge of each row is made in charge.cpp, the noise, ADC and debayer loops in kernels.cpp;
// this file holds the frame's readout constants, its bias and the output formats.
#include "synthesis.h"

#include "bayer.h"
#include "charge.h"
#include "hash.h"
#include "kernels.h"
#include "sensor.h"
#include "timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numbers>
#include <optional>

namespace asisim {

namespace {

// The readout's constants for one frame of the request at this bin.
Readout make_readout(const FrameRequest &req, int bin) {
    const CameraModel &m = *req.model;
    const uint32_t fx = req.effects;
    Readout r{};
    const double t = exposure_seconds(req);
    const double samples = double(bin) * double(bin);
    r.bits = std::clamp(m.bit_depth, 8, 16);
    const double adc_full = std::ldexp(1.0, r.bits) - 1.0;
    const double k = 1.0 / electrons_per_adu(m, req.gain);
    const bool dual = effect_on(fx, kEffectConversionGain);
    const double rn = read_noise_electrons(m, req.gain, dual);
    // The black level drifts with the sensor's temperature (part of the bias's own behaviour).
    const double drift = effect_on(fx, kEffectBiasPattern) ? bias_drift_adu(m, req.sensor_temp_c) : 0.0;
    const double black = std::clamp(black_level_adu(m, req.gain, req.offset, dual) + drift, 0.0, adc_full);
    r.adu_per_e = float(k);
    // Row noise takes its share of the read noise; the pixels' own noise is the rest.
    const bool rows = effect_on(fx, kEffectRowNoise);
    r.read_sigma = float(std::sqrt(samples) * rn * (rows ? std::sqrt(1.0 - kRowNoise * kRowNoise) : 1.0));
    r.row_noise = rows ? float(kRowNoise * rn * k) : 0.0f;
    r.rts_unit = effect_on(fx, kEffectRtsPixels) ? float(rn * k) : 0.0f;
    r.poisson = effect_on(fx, kEffectPoisson) ? 1.0f / 3.0f : 0.0f;
    // A pixel clips at its full well or where its value reaches the ADC's full scale.
    r.pixel_cap = float(std::min(m.full_well_e, (adc_full - black) / k + 1.0));
    r.full_well = float(samples * r.pixel_cap);
    r.black = float(samples * black + 0.5);
    r.adc_max = float(samples * adc_full);
    const double dark = dark_current(m, req.sensor_temp_c) * t;
    r.dark_e = float(dark);
    r.hot_e = effect_on(fx, kEffectHotPixels) ? float(dark * hot_pixel_temperature_factor(req.sensor_temp_c))
                                              : 0.0f;
    r.glow_e =
        effect_on(fx, kEffectAmpGlow) ? float(amp_glow_e_per_s(m, req.gain, req.sensor_temp_c) * t) : 0.0f;
    if (effect_on(fx, kEffectBiasPattern)) {
        // A binned pixel sums bin x bin pixels: bin^2 independent pixel offsets (sigma x bin),
        // bin rows of each of bin columns' offsets, bin columns of each of bin rows' offsets.
        r.fpn_pixel = float(kBiasPixelFpn * rn * k * double(bin));
        r.fpn_column = float(kBiasColumnFpn * rn * k * double(bin));
        r.fpn_row = float(kBiasRowFpn * rn * k * double(bin));
    }
    if (effect_on(fx, kEffectSaturation)) {
        r.knee = float(0.9 * m.full_well_e);
        r.knee_span = float(0.1 * m.full_well_e);
    }
    return r;
}

class Renderer {
  public:
    Renderer(const FrameRequest &req, uint8_t *out)
        : req_(req), m_(*req.model), out_(out), geo_(make_geometry(req)), ro_(make_readout(req, geo_.bin)),
          frame_key_(hash_combine(hash_combine(req.seed, 0x6E6F697365ull), req.frame_index)),
          charge_(req, geo_, ro_, frame_key_), fp_(fixed_pattern(m_, req.sensor_seed)),
          bpp_(pixel_bytes(req.img_type)), flip_x_(req.flip == ASI_FLIP_HORIZ || req.flip == ASI_FLIP_BOTH),
          flip_y_(req.flip == ASI_FLIP_VERT || req.flip == ASI_FLIP_BOTH) {
        prepare_patterns();
        prepare_telegraph();
        colour_out_ = m_.color && !(req.mono_bin && geo_.bin > 1) &&
                      (req.img_type == ASI_IMG_RGB24 || req.img_type == ASI_IMG_Y8);
        const double exponent = 50.0 / double(std::clamp(req.gamma, 1, 100));
        for (int i = 0; i < 256; ++i)
            gamma_lut_[i] = uint8_t(std::lround(255.0 * std::pow(i / 255.0, exponent)));
    }

    void run() {
        const int w = geo_.width;
        row_out_.resize(size_t(w) * 3);
        if (colour_out_) {
            for (auto &r : ring_)
                r.resize(size_t(w));
        }
        for (int uy = 0; uy < geo_.height; ++uy) {
            const int64_t by = int64_t(req_.start_y) + uy;
            const float *mean = charge_.mean_row(by);
            const uint64_t key = hash_combine(frame_key_, uint64_t(by));
            if (colour_out_) {
                // The debayer of a row needs the rows on either side: mosaic rows live in a ring
                // of three, and each row is finished once the one below it exists.
                digitise<Sink::mosaic>(mean, bias_row(by), w, ro_, key, ring_[uy % 3].data());
                if (uy > 0)
                    emit_colour_row(uy - 1);
                continue;
            }
            uint8_t *dst = out_row(uy);
            const bool direct = !flip_x_ && (req_.img_type == ASI_IMG_RAW8 || req_.img_type == ASI_IMG_RAW16);
            uint8_t *row = direct ? dst : row_out_.data();
            if (req_.img_type == ASI_IMG_RAW16)
                digitise<Sink::raw16>(mean, bias_row(by), w, ro_, key, row);
            else
                digitise<Sink::raw8>(mean, bias_row(by), w, ro_, key, row);
            if (req_.img_type == ASI_IMG_Y8 || req_.img_type == ASI_IMG_RGB24) {
                apply_gamma(row, w);
                if (req_.img_type == ASI_IMG_RGB24)
                    for (int u = w - 1; u >= 0; --u)
                        row[3 * u] = row[3 * u + 1] = row[3 * u + 2] = row[u];
            }
            if (!direct)
                store_row(row, dst);
            subtract_dark(dst, uy);
        }
        if (colour_out_)
            emit_colour_row(geo_.height - 1);
    }

  private:
    // Each output column's bias offset, a per-frame part of the fixed pattern.
    void prepare_patterns() {
        const int w = geo_.width, bin = geo_.bin;
        bias_.resize(size_t(w));
        col_bias_.assign(size_t(w), ro_.black); // the black level with each column's offset
        if (ro_.fpn_column != 0.0f)
            for (int u = 0; u < w; ++u) {
                float sum = 0.0f;
                for (int i = 0; i < bin; ++i)
                    sum += fp_->column[size_t(
                        geo_.clamp_x(geo_.x0 + geo_.cols[size_t(u) * size_t(bin) + size_t(i)]))];
                col_bias_[size_t(u)] += ro_.fpn_column * sum;
            }
    }

    // The random-telegraph pixels, with the output column each one reads into.
    void prepare_telegraph() {
        if (ro_.rts_unit > 0.0f) {
            rts_ = rts_pixels(m_, req_.sensor_seed);
            region_to_u_.assign(size_t(geo_.region_width), -1);
            for (int u = 0; u < geo_.width; ++u)
                for (int i = 0; i < geo_.bin; ++i)
                    region_to_u_[size_t(geo_.cols[size_t(u) * size_t(geo_.bin) + size_t(i)])] = u;
        }
    }

    // The black level of each column of output row `by` with the random-telegraph pixels that read
    // high in this frame: the column levels themselves when none does.
    const float *telegraph_column(int64_t by) {
        const float *column = col_bias_.data();
        if (!rts_ || rts_->empty())
            return column;
        for (int j = 0; j < geo_.bin; ++j) {
            const int64_t sy = geo_.sensor(by, j);
            auto p = std::lower_bound(rts_->begin(), rts_->end(), sy,
                                      [](const RtsPixel &q, int64_t y) { return q.y < y; });
            for (; p != rts_->end() && p->y == sy; ++p) {
                const int64_t x = p->x - geo_.x0;
                if (x < 0 || x >= geo_.region_width || region_to_u_[size_t(x)] < 0 ||
                    !rts_high(frame_key_, size_t(p - rts_->begin()), p->high_share))
                    continue;
                if (column == col_bias_.data()) {
                    rts_bias_.assign(col_bias_.begin(), col_bias_.end());
                    column = rts_bias_.data();
                }
                rts_bias_[size_t(region_to_u_[size_t(x)])] += p->amplitude * ro_.rts_unit;
            }
        }
        return column;
    }

    // The frame's row noise of output row `by`: each of its sensor rows' offset in each of the bin
    // pixels it gives.
    float row_noise(int64_t by) const {
        if (ro_.row_noise == 0.0f)
            return 0.0f;
        double sum = 0.0;
        for (int j = 0; j < geo_.bin; ++j) {
            const uint64_t h = mix64(hash_combine(frame_key_ ^ 0x726F77ull, uint64_t(geo_.sensor(by, j))));
            const double u1 = 1.0 - unit_from(h), u2 = unit_from(mix64(h));
            sum += std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
        }
        return ro_.row_noise * float(geo_.bin) * float(sum);
    }

    // Black level with the bias pattern of each pixel of the output row at binned row `by`.
    BiasRow bias_row(int64_t by) {
        BiasRow b;
        b.column = telegraph_column(by);
        const float temporal = row_noise(by);
        b.row = temporal;
        if (ro_.fpn_pixel == 0.0f && ro_.fpn_row == 0.0f)
            return b;
        float row = 0.0f;
        for (int j = 0; j < geo_.bin; ++j)
            row += fp_->row[size_t(geo_.clamp_y(geo_.sensor(by, j)))];
        b.row = ro_.fpn_row * row + temporal;
        b.scale = ro_.fpn_pixel;
        const uint64_t draw = mix64(hash_combine(fp_->seed ^ uint64_t(geo_.bin), uint64_t(by))) ^ 0x5A5Aull;
        b.pattern = pattern_at(pattern_table(), draw, req_.start_x, geo_.width);
        if (b.pattern == nullptr) { // a window past the widest sensor: spell the run out
            bias_.assign(size_t(geo_.width), 0.0f);
            pattern_add(pattern_table(), draw, req_.start_x, geo_.width, 1.0f, bias_.data(), 0.0f,
                        bias_.data());
            b.pattern = bias_.data();
        }
        return b;
    }

    uint8_t *out_row(int uy) {
        const int oy = flip_y_ ? geo_.height - 1 - uy : uy;
        return out_ + size_t(oy) * size_t(geo_.width) * size_t(bpp_);
    }

    // RGB24 and Y8 of colour images: bilinear debayer of the mosaic around row uy.
    void emit_colour_row(int uy) {
        const int w = geo_.width, h = geo_.height;
        uint8_t *dst = out_row(uy);
        uint8_t *tmp = row_out_.data();
        const float *cur = ring_[uy % 3].data();
        if (w < 2 || h < 2) { // too small to hold every colour: show it grey
            const float scale = std::ldexp(1.0f, 8 - ro_.bits);
            for (int u = 0; u < w; ++u) {
                const uint8_t v = gamma_lut_[clip8(cur[u] * scale)];
                for (int c = 0; c < bpp_; ++c)
                    tmp[u * bpp_ + c] = v;
            }
            store_row(tmp, dst);
            subtract_dark(dst, uy);
            return;
        }
        // Rows above and below, mirrored at the edges so that neighbours keep their colours.
        const float *up = ring_[(uy > 0 ? uy - 1 : uy + 1) % 3].data();
        const float *down = ring_[(uy + 1 < h ? uy + 1 : uy - 1) % 3].data();
        const int64_t bx = req_.start_x, by = int64_t(req_.start_y) + uy;
        const int colour[2] = {bayer_colour(m_.bayer, bx, by), bayer_colour(m_.bayer, bx + 1, by)};
        const int green_parity = colour[0] == 1 ? 0 : 1;
        const int row_colour = colour[1 - green_parity];
        const float scale = std::ldexp(1.0f, 8 - ro_.bits);
        const float gain[3] = {scale * float(std::clamp(req_.wb_r, 1, 100)) / 50.0f, scale,
                               scale * float(std::clamp(req_.wb_b, 1, 100)) / 50.0f};
        uint8_t *row = flip_x_ ? tmp : dst;
        if (req_.img_type == ASI_IMG_Y8) {
            // Luminance straight from the mosaic: the channels' filters weighted and summed.
            constexpr float kLuma[3] = {0.299f, 0.587f, 0.114f};
            Taps taps[1][2] = {}, part[2];
            for (int c = 0; c < 3; ++c) {
                channel_taps(c, row_colour, green_parity, gain[c] * kLuma[c], part);
                for (int p = 0; p < 2; ++p) {
                    taps[0][p].own += part[p].own;
                    taps[0][p].up_down += part[p].up_down;
                    taps[0][p].left_right += part[p].left_right;
                    taps[0][p].diagonal += part[p].diagonal;
                }
            }
            debayer_row<1>(up, cur, down, w, taps, row);
            apply_gamma(row, w);
        } else {
            Taps taps[3][2];
            for (int c = 0; c < 3; ++c)
                channel_taps(c, row_colour, green_parity, gain[c], taps[c]);
            debayer_row<3>(up, cur, down, w, taps, row);
            apply_gamma(row, 3 * w);
        }
        if (flip_x_)
            store_row(tmp, dst);
        subtract_dark(dst, uy);
    }

    void apply_gamma(uint8_t *row, int n) const {
        if (req_.gamma != 50) // 50 is linear
            for (int i = 0; i < n; ++i)
                row[i] = gamma_lut_[row[i]];
    }

    // Copies a finished row into the frame in output orientation.
    void store_row(const uint8_t *src, uint8_t *dst) const {
        const int w = geo_.width;
        const size_t bpp = size_t(bpp_);
        if (!flip_x_) {
            std::memcpy(dst, src, size_t(w) * bpp);
            return;
        }
        for (int u = 0; u < w; ++u)
            std::memcpy(dst + size_t(w - 1 - u) * bpp, src + size_t(u) * bpp, bpp);
    }

    // Subtracts the dark frame (when it fits the frame) from output row `uy`, clipping at 0.
    void subtract_dark(uint8_t *dst, int uy) const {
        const DarkFrame *d = req_.dark_frame;
        if (d == nullptr || d->width != geo_.width || d->height != geo_.height ||
            (d->channels != 1 && d->channels != 3) ||
            d->data.size() != size_t(d->width) * size_t(d->height) * size_t(d->channels))
            return;
        const int oy = flip_y_ ? geo_.height - 1 - uy : uy;
        const uint8_t *dark = d->data.data() + size_t(oy) * size_t(d->width) * size_t(d->channels);
        const int w = geo_.width;
        // One dark value per output sample: a colour dark on a one-sample image gives the mean of
        // its B, G and R; a grey dark on RGB24 applies to all three.
        auto dark_at = [&](int u, int channel) -> unsigned {
            if (d->channels == 1)
                return dark[u];
            if (channel >= 0)
                return dark[3 * u + channel];
            return (unsigned(dark[3 * u]) + dark[3 * u + 1] + dark[3 * u + 2] + 1u) / 3u;
        };
        switch (req_.img_type) {
        case ASI_IMG_RAW16:
            for (int u = 0; u < w; ++u) {
                const unsigned v = dst[2 * u] | (unsigned(dst[2 * u + 1]) << 8);
                const unsigned sub = dark_at(u, -1) << 8;
                const unsigned r = v > sub ? v - sub : 0u;
                dst[2 * u] = uint8_t(r & 0xff);
                dst[2 * u + 1] = uint8_t(r >> 8);
            }
            break;
        case ASI_IMG_RGB24:
            for (int u = 0; u < w; ++u)
                for (int c = 0; c < 3; ++c) {
                    const unsigned sub = dark_at(u, c);
                    dst[3 * u + c] = uint8_t(dst[3 * u + c] > sub ? dst[3 * u + c] - sub : 0u);
                }
            break;
        default:
            for (int u = 0; u < w; ++u) {
                const unsigned sub = dark_at(u, -1);
                dst[u] = uint8_t(dst[u] > sub ? dst[u] - sub : 0u);
            }
        }
    }

    const FrameRequest &req_;
    const CameraModel &m_;
    uint8_t *out_;
    Geometry geo_;
    Readout ro_;
    uint64_t frame_key_; // the frame's own draws (noise, events)
    Charge charge_;
    std::shared_ptr<const FixedPattern> fp_;
    std::shared_ptr<const std::vector<RtsPixel>> rts_; // random-telegraph pixels, by row
    std::vector<int32_t> region_to_u_;                 // output column of each region column
    std::vector<float> rts_bias_;                      // column levels with the high RTS pixels
    int bpp_;
    bool flip_x_, flip_y_;
    bool colour_out_ = false;
    std::vector<float> bias_, col_bias_; // output row: black level and bias pattern; per column
    std::vector<float> ring_[3];         // the last three mosaic rows of a colour frame
    std::vector<uint8_t> row_out_;
    uint8_t gamma_lut_[256] = {};
};

} // namespace

size_t frame_bytes(const FrameRequest &req) {
    if (req.width <= 0 || req.height <= 0)
        return 0;
    return size_t(req.width) * size_t(req.height) * size_t(pixel_bytes(req.img_type));
}

bool render_frame(const FrameRequest &req, uint8_t *out) noexcept {
    const size_t n = frame_bytes(req);
    if (out == nullptr || n == 0)
        return true;
    if (req.model == nullptr) {
        std::memset(out, 0, n);
        return true;
    }
    const DenormalsFlushed flush;
    try {
        Renderer(req, out).run();
        return true;
    } catch (const std::bad_alloc &) {
        std::fputs("asisim: out of memory; the frame was not made\n", stderr);
        std::memset(out, 0, n);
        return false;
    }
}

} // namespace asisim
