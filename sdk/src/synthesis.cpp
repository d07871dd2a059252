// Frame synthesis: sky and sensor through the readout, one output row at a time.
//
// Per row: the mean photoelectrons of the sensor pixels behind it (sky, stars, dark current, hot
// pixels), binned by summing charge, then shot and read noise, the ADC (offset, gain, clipping
// at full well and full scale) and the image type's format. Binning sums: a bin-2 pixel holds
// the signal, the bias and the read noise of its four sensor pixels. Colour sensors bin
// same-colour pixels so the output keeps the Bayer mosaic, unless mono binning is on. RAW16 holds
// the ADC's value shifted to the top bits; RAW8 its top 8 bits; RGB24 (B, G, R) and Y8 come from
// a bilinear debayer with white balance and gamma.
#include "synthesis.h"

#include "sensor.h"
#include "sky.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace asisim {

namespace {

constexpr int kMaxBin = 16;

int sample_bytes(ASI_IMG_TYPE type) {
    switch (type) {
    case ASI_IMG_RAW16:
        return 2;
    case ASI_IMG_RGB24:
        return 3;
    default:
        return 1;
    }
}

// Where the sensor pixels of each output pixel lie, in unflipped output order.
struct Geometry {
    int width = 0, height = 0, bin = 1;
    bool bayer_bin = false;  // colour binning that keeps the mosaic
    int64_t x0 = 0, y0 = 0;  // sensor region covering the frame
    int region_width = 0, region_height = 0;
    std::vector<int32_t> cols; // width * bin region columns

    // Sensor coordinate of sample i (0..bin-1) of binned coordinate b along one axis.
    int64_t sensor(int64_t b, int i) const {
        if (bayer_bin) {
            const int64_t cell = b >= 0 ? b / 2 : (b - 1) / 2;
            return 2 * bin * cell + (b & 1) + 2 * i;
        }
        return b * bin + i;
    }
};

Geometry make_geometry(const FrameRequest &req) {
    Geometry g;
    g.width = req.width;
    g.height = req.height;
    g.bin = std::clamp(req.bin, 1, kMaxBin);
    g.bayer_bin = req.model->color && !req.mono_bin && g.bin > 1;
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
            g.cols[size_t(u) * size_t(g.bin) + size_t(i)] = int32_t(g.sensor(int64_t(req.start_x) + u, i) - lo);
    lo = INT64_MAX;
    hi = INT64_MIN;
    for (int i = 0; i < g.bin; ++i) {
        lo = std::min({lo, g.sensor(req.start_y, i), g.sensor(int64_t(req.start_y) + g.height - 1, i)});
        hi = std::max({hi, g.sensor(req.start_y, i), g.sensor(int64_t(req.start_y) + g.height - 1, i)});
    }
    g.y0 = lo;
    g.region_height = int(hi - lo + 1);
    return g;
}

// Constants of the readout for one frame, per output pixel (a binned pixel reads `bin^2`
// sensor pixels).
struct Readout {
    float adu_per_e;   // native ADU per electron
    float read_var;    // read-noise variance of an output pixel, e^2
    float read_sigma;  // its square root
    float pixel_cap;   // mean electrons a sensor pixel can hold and digitise
    float full_well;   // electrons an output pixel can hold
    float offset;      // bias of an output pixel, native ADU, plus 0.5 for rounding
    float adc_max;     // largest native value of an output pixel
    float dark_e;      // dark electrons per sensor pixel over the exposure
    int bits;
};

Readout make_readout(const FrameRequest &req, int bin) {
    const CameraModel &m = *req.model;
    Readout r{};
    const double t = std::isfinite(req.exposure_s) ? std::max(0.0, req.exposure_s) : 0.0;
    const double samples = double(bin) * double(bin);
    r.bits = std::clamp(m.bit_depth, 8, 16);
    const double adc_full = std::ldexp(1.0, r.bits) - 1.0;
    const double k = 1.0 / electrons_per_adu(m, req.gain);
    const double rn = read_noise_electrons(m, req.gain);
    const double offset = std::clamp(double(req.offset), 0.0, adc_full);
    r.adu_per_e = float(k);
    r.read_var = float(samples * rn * rn);
    r.read_sigma = float(std::sqrt(samples) * rn);
    // A pixel clips at its full well or where its value reaches the ADC's full scale.
    r.pixel_cap = float(std::min(m.full_well_e, (adc_full - offset) / k + 1.0));
    r.full_well = float(samples * r.pixel_cap);
    r.offset = float(samples * offset + 0.5);
    r.adc_max = float(samples * adc_full);
    r.dark_e = float(dark_current(m, req.sensor_temp_c) * t);
    return r;
}

// Where digitised values go: native ADU (32-bit), the float mosaic of a colour frame, or
// straight into RAW8 / RAW16 samples.
enum class Sink { native, mosaic, raw8, raw16 };

// Shot and read noise and the ADC for one row of mean electrons. The hot loop of the simulator:
// four pixels at a time where SSE2 is there (every x86-64), plain C++ elsewhere and for the tail.
template <Sink kSink>
void digitise_row(const float *mean, const float *ga, const float *gb, int n, const Readout &r, void *out) {
    constexpr float kInvSqrt2 = 0.70710678f;
    const float top = r.adc_max + 0.5f;
    const int down = r.bits - 8, up = 16 - r.bits;
    int i = 0;
#if defined(__SSE2__)
    const __m128 inv_sqrt2 = _mm_set1_ps(kInvSqrt2), read_var = _mm_set1_ps(r.read_var),
                 full_well = _mm_set1_ps(r.full_well), read_sigma = _mm_set1_ps(r.read_sigma),
                 gain = _mm_set1_ps(r.adu_per_e), offset = _mm_set1_ps(r.offset), zero = _mm_setzero_ps(),
                 high = _mm_set1_ps(top);
    const __m128i shift_down = _mm_cvtsi32_si128(down), shift_up = _mm_cvtsi32_si128(up);
    const __m128i max16 = _mm_set1_epi32(65535), bias16 = _mm_set1_epi32(32768), flip16 = _mm_set1_epi16(-32768);
    for (; i + 4 <= n; i += 4) {
        const __m128 s = _mm_loadu_ps(mean + i);
        const __m128 g = _mm_mul_ps(_mm_add_ps(_mm_loadu_ps(ga + i), _mm_loadu_ps(gb + i)), inv_sqrt2);
        __m128 v = _mm_add_ps(s, _mm_mul_ps(_mm_sqrt_ps(_mm_add_ps(s, read_var)), g));
        v = _mm_min_ps(v, _mm_add_ps(full_well, _mm_mul_ps(read_sigma, g)));
        __m128 a = _mm_add_ps(_mm_mul_ps(v, gain), offset);
        a = _mm_min_ps(_mm_max_ps(a, zero), high);
        const __m128i adu = _mm_cvttps_epi32(a);
        if constexpr (kSink == Sink::native) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(static_cast<uint32_t *>(out) + i), adu);
        } else if constexpr (kSink == Sink::mosaic) {
            _mm_storeu_ps(static_cast<float *>(out) + i, _mm_cvtepi32_ps(adu));
        } else if constexpr (kSink == Sink::raw8) {
            // The top 8 bits; binned sums past 255 saturate in the unsigned pack.
            const __m128i narrow = _mm_packs_epi32(_mm_srl_epi32(adu, shift_down), _mm_setzero_si128());
            const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(narrow, narrow));
            std::memcpy(static_cast<uint8_t *>(out) + i, &bytes, 4);
        } else {
            // Shifted to the top bits, saturated at 65535, packed as unsigned through the signed
            // pack by moving the range down and back.
            __m128i wide = _mm_sll_epi32(adu, shift_up);
            const __m128i over = _mm_cmpgt_epi32(wide, max16);
            wide = _mm_or_si128(_mm_andnot_si128(over, wide), _mm_and_si128(over, max16));
            wide = _mm_packs_epi32(_mm_sub_epi32(wide, bias16), _mm_setzero_si128());
            _mm_storel_epi64(reinterpret_cast<__m128i *>(static_cast<uint8_t *>(out) + 2 * size_t(i)),
                             _mm_xor_si128(wide, flip16));
        }
    }
#endif
    for (; i < n; ++i) {
        const float s = mean[i];
        const float g = (ga[i] + gb[i]) * kInvSqrt2;
        float v = s + std::sqrt(s + r.read_var) * g;
        v = std::min(v, r.full_well + r.read_sigma * g);
        float a = v * r.adu_per_e + r.offset;
        a = std::min(std::max(a, 0.0f), top);
        const auto adu = uint32_t(int32_t(a));
        if constexpr (kSink == Sink::native) {
            static_cast<uint32_t *>(out)[i] = adu;
        } else if constexpr (kSink == Sink::mosaic) {
            static_cast<float *>(out)[i] = float(adu);
        } else if constexpr (kSink == Sink::raw8) {
            static_cast<uint8_t *>(out)[i] = uint8_t(std::min(adu >> down, 255u));
        } else {
            const uint32_t wide = std::min(adu << up, 65535u);
            uint8_t *o = static_cast<uint8_t *>(out) + 2 * size_t(i);
            o[0] = uint8_t(wide & 0xff); // little-endian, as the SDK delivers
            o[1] = uint8_t(wide >> 8);
        }
    }
}

// One row of noise drawn from the tables at offsets of the row's own, in chunks that fit them.
template <Sink kSink> void digitise(const float *mean, int n, const Readout &r, uint64_t noise_key, void *out) {
    const NoiseTables &nt = noise_tables();
    constexpr int kChunk = 8192;
    const size_t sample = kSink == Sink::raw8 ? 1 : kSink == Sink::raw16 ? 2 : 4;
    for (int start = 0; start < n; start += kChunk) {
        const int len = std::min(kChunk, n - start);
        const uint64_t h = mix64(noise_key + uint64_t(start));
        const size_t span = kNoiseTableSize - size_t(len);
        const size_t oa = size_t(h % span), ob = size_t(mix64(h ^ 0xB5) % span);
        digitise_row<kSink>(mean + start, nt.a.data() + oa, nt.b.data() + ob, len, r,
                            static_cast<uint8_t *>(out) + size_t(start) * sample);
    }
}

uint8_t clip8(float v) { return uint8_t(std::min(std::max(v, 0.0f), 255.0f)); }

// Rounds a row of values to bytes, clipping to 0..255.
void to_bytes(const float *in, int n, uint8_t *out) {
    int i = 0;
#if defined(__SSE2__)
    const __m128 half = _mm_set1_ps(0.5f), zero = _mm_setzero_ps(), top = _mm_set1_ps(255.0f);
    for (; i + 4 <= n; i += 4) {
        const __m128 v = _mm_min_ps(_mm_max_ps(_mm_add_ps(_mm_loadu_ps(in + i), half), zero), top);
        const __m128i w = _mm_packs_epi32(_mm_cvttps_epi32(v), _mm_setzero_si128());
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(w, w));
        std::memcpy(out + i, &bytes, 4);
    }
#endif
    for (; i < n; ++i)
        out[i] = clip8(in[i] + 0.5f);
}

// Bilinear debayer as a linear filter: every output channel of a pixel is a weighted sum of
// the pixel itself, its up+down pair, its left+right pair and its four diagonals, with weights
// that depend only on the column's parity within the row.
struct Taps {
    float own = 0.0f, up_down = 0.0f, left_right = 0.0f, diagonal = 0.0f;
};

void filter_row(const float *up, const float *cur, const float *down, int w, const Taps taps[2], float *out) {
    auto one = [&](int u) {
        const int l = u > 0 ? u - 1 : 1, r = u + 1 < w ? u + 1 : w - 2; // mirrored at the edges
        const Taps &t = taps[u & 1];
        out[u] = t.own * cur[u] + t.up_down * (up[u] + down[u]) + t.left_right * (cur[l] + cur[r]) +
                 t.diagonal * (up[l] + up[r] + down[l] + down[r]);
    };
    one(0);
    int u = 1;
#if defined(__SSE2__)
    // Lanes u, u+1, u+2, u+3 with u odd: parities 1, 0, 1, 0.
    const __m128 own = _mm_setr_ps(taps[1].own, taps[0].own, taps[1].own, taps[0].own);
    const __m128 ud = _mm_setr_ps(taps[1].up_down, taps[0].up_down, taps[1].up_down, taps[0].up_down);
    const __m128 lr = _mm_setr_ps(taps[1].left_right, taps[0].left_right, taps[1].left_right, taps[0].left_right);
    const __m128 dg = _mm_setr_ps(taps[1].diagonal, taps[0].diagonal, taps[1].diagonal, taps[0].diagonal);
    for (; u + 4 < w; u += 4) {
        const __m128 c = _mm_loadu_ps(cur + u), a = _mm_loadu_ps(up + u), b = _mm_loadu_ps(down + u);
        const __m128 horiz = _mm_add_ps(_mm_loadu_ps(cur + u - 1), _mm_loadu_ps(cur + u + 1));
        const __m128 diag = _mm_add_ps(_mm_add_ps(_mm_loadu_ps(up + u - 1), _mm_loadu_ps(up + u + 1)),
                                       _mm_add_ps(_mm_loadu_ps(down + u - 1), _mm_loadu_ps(down + u + 1)));
        __m128 v = _mm_mul_ps(own, c);
        v = _mm_add_ps(v, _mm_mul_ps(ud, _mm_add_ps(a, b)));
        v = _mm_add_ps(v, _mm_mul_ps(lr, horiz));
        v = _mm_add_ps(v, _mm_mul_ps(dg, diag));
        _mm_storeu_ps(out + u, v);
    }
#endif
    for (; u < w; ++u)
        one(u);
}

// Taps of the channel `target` (0 red, 1 green, 2 blue) for a row whose columns of parity
// `green_parity` are green and whose other columns are `row_colour`, scaled by `gain`.
void channel_taps(int target, int row_colour, int green_parity, float gain, Taps taps[2]) {
    Taps &g = taps[green_parity], &o = taps[1 - green_parity];
    g = o = Taps{};
    if (target == 1) {
        g.own = gain;
        o.up_down = o.left_right = 0.25f * gain;
    } else if (target == row_colour) {
        o.own = gain;
        g.left_right = 0.5f * gain;
    } else {
        o.diagonal = 0.25f * gain;
        g.up_down = 0.5f * gain;
    }
}

class Renderer {
  public:
    Renderer(const FrameRequest &req, uint8_t *out)
        : req_(req), m_(*req.model), out_(out), geo_(make_geometry(req)), ro_(make_readout(req, geo_.bin)),
          hot_(hot_pixels(m_, req.seed)), bpp_(sample_bytes(req.img_type)),
          flip_x_(req.flip == ASI_FLIP_HORIZ || req.flip == ASI_FLIP_BOTH),
          flip_y_(req.flip == ASI_FLIP_VERT || req.flip == ASI_FLIP_BOTH) {
        if (!req.dark)
            scene_.emplace(req, geo_.x0, geo_.y0, geo_.region_width, geo_.region_height);
        colour_out_ = m_.color && !(req.mono_bin && geo_.bin > 1) &&
                      (req.img_type == ASI_IMG_RGB24 || req.img_type == ASI_IMG_Y8);
        const double exponent = 50.0 / double(std::clamp(req.gamma, 1, 100));
        for (int i = 0; i < 256; ++i)
            gamma_lut_[i] = uint8_t(std::lround(255.0 * std::pow(i / 255.0, exponent)));
    }

    void run() {
        const int w = geo_.width;
        sensor_row_.resize(size_t(geo_.region_width));
        mean_.resize(size_t(w));
        row_out_.resize(size_t(w) * 3);
        std::vector<float> &mosaic = mosaic_buffer();
        if (colour_out_) {
            for (auto &c : channel_)
                c.resize(size_t(w));
            channel_bytes_.resize(size_t(w) * 3);
            const size_t samples = size_t(w) * size_t(geo_.height);
            if (mosaic.size() < samples)
                mosaic.resize(samples);
        } else if (mosaic.size() > (size_t{1} << 20)) {
            mosaic = std::vector<float>(); // don't hold a large frame's worth for a grey stream
        }
        const uint64_t frame_key = hash_combine(hash_combine(req_.seed, 0x6E6F697365ull), req_.frame_index);
        for (int uy = 0; uy < geo_.height; ++uy) {
            const int64_t by = int64_t(req_.start_y) + uy;
            const float *mean = mean_row(by);
            const uint64_t key = hash_combine(frame_key, uint64_t(by));
            if (colour_out_) {
                digitise<Sink::mosaic>(mean, w, ro_, key, mosaic.data() + size_t(uy) * size_t(w));
                continue;
            }
            uint8_t *dst = out_row(uy);
            const bool direct = !flip_x_ && (req_.img_type == ASI_IMG_RAW8 || req_.img_type == ASI_IMG_RAW16);
            uint8_t *row = direct ? dst : row_out_.data();
            if (req_.img_type == ASI_IMG_RAW16)
                digitise<Sink::raw16>(mean, w, ro_, key, row);
            else
                digitise<Sink::raw8>(mean, w, ro_, key, row);
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
            for (int uy = 0; uy < geo_.height; ++uy)
                emit_colour_row(uy);
    }

  private:
    // Mean electrons of one sensor row of the region into `row`: dark current, light, hot pixels.
    void sensor_row(int64_t sy, float *row) {
        if (scene_)
            scene_->light_row(int(sy - geo_.y0), ro_.dark_e, row);
        else
            std::fill(row, row + geo_.region_width, ro_.dark_e);
        auto first = std::lower_bound(hot_->begin(), hot_->end(), sy,
                                      [](const HotPixel &p, int64_t y) { return p.y < y; });
        for (auto p = first; p != hot_->end() && p->y == sy; ++p) {
            const int64_t x = p->x - geo_.x0;
            if (x >= 0 && x < geo_.region_width)
                row[x] += ro_.dark_e * p->factor;
        }
    }

    // Mean electrons of the output row at binned row `by`.
    const float *mean_row(int64_t by) {
        const int w = geo_.width, bin = geo_.bin;
        if (bin == 1) { // the region is the frame
            sensor_row(by, mean_.data());
            return mean_.data();
        }
        std::fill(mean_.begin(), mean_.end(), 0.0f);
        const float cap = ro_.pixel_cap;
        const int32_t *cols = geo_.cols.data();
        for (int j = 0; j < bin; ++j) {
            sensor_row(geo_.sensor(by, j), sensor_row_.data());
            for (int u = 0; u < w; ++u) {
                float sum = 0.0f;
                for (int i = 0; i < bin; ++i)
                    sum += std::min(sensor_row_[size_t(cols[u * bin + i])], cap);
                mean_[size_t(u)] += sum;
            }
        }
        return mean_.data();
    }

    uint8_t *out_row(int uy) {
        const int oy = flip_y_ ? geo_.height - 1 - uy : uy;
        return out_ + size_t(oy) * size_t(geo_.width) * size_t(bpp_);
    }

    // RGB24 and Y8 of colour images: bilinear debayer of the mosaic around row uy.
    void emit_colour_row(int uy) {
        const int w = geo_.width, h = geo_.height;
        const float *mosaic = mosaic_buffer().data();
        uint8_t *dst = out_row(uy);
        uint8_t *tmp = row_out_.data();
        if (w < 2 || h < 2) { // too small to hold every colour: show it grey
            const float scale = std::ldexp(1.0f, 8 - ro_.bits);
            for (int u = 0; u < w; ++u) {
                const uint8_t v = gamma_lut_[clip8(mosaic[size_t(uy) * size_t(w) + size_t(u)] * scale)];
                for (int c = 0; c < bpp_; ++c)
                    tmp[u * bpp_ + c] = v;
            }
            store_row(tmp, dst);
            subtract_dark(dst, uy);
            return;
        }
        // Rows above and below, mirrored at the edges so that neighbours keep their colours.
        const float *up = mosaic + size_t(uy > 0 ? uy - 1 : uy + 1) * size_t(w);
        const float *cur = mosaic + size_t(uy) * size_t(w);
        const float *down = mosaic + size_t(uy + 1 < h ? uy + 1 : uy - 1) * size_t(w);
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
            Taps taps[2] = {}, part[2];
            for (int c = 0; c < 3; ++c) {
                channel_taps(c, row_colour, green_parity, gain[c] * kLuma[c], part);
                for (int p = 0; p < 2; ++p) {
                    taps[p].own += part[p].own;
                    taps[p].up_down += part[p].up_down;
                    taps[p].left_right += part[p].left_right;
                    taps[p].diagonal += part[p].diagonal;
                }
            }
            float *luma = channel_[0].data();
            filter_row(up, cur, down, w, taps, luma);
            to_bytes(luma, w, row);
            apply_gamma(row, w);
        } else {
            uint8_t *bytes = channel_bytes_.data();
            for (int c = 0; c < 3; ++c) {
                Taps taps[2];
                channel_taps(c, row_colour, green_parity, gain[c], taps);
                filter_row(up, cur, down, w, taps, channel_[c].data());
                to_bytes(channel_[c].data(), w, bytes + size_t(c) * size_t(w));
            }
            apply_gamma(bytes, 3 * w);
            const uint8_t *r = bytes, *g = bytes + w, *b = bytes + 2 * w;
            for (int u = 0; u < w; ++u) {
                row[3 * u] = b[u];
                row[3 * u + 1] = g[u];
                row[3 * u + 2] = r[u];
            }
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

    // The mosaic of a colour frame, kept per thread: frames follow each other at video rates.
    static std::vector<float> &mosaic_buffer() {
        thread_local std::vector<float> buffer;
        return buffer;
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
    std::shared_ptr<const std::vector<HotPixel>> hot_;
    int bpp_;
    bool flip_x_, flip_y_;
    std::optional<SkyScene> scene_;
    bool colour_out_ = false;
    std::vector<float> sensor_row_, mean_;
    std::vector<float> channel_[3];
    std::vector<uint8_t> row_out_, channel_bytes_;
    uint8_t gamma_lut_[256] = {};
};

} // namespace

size_t frame_bytes(const FrameRequest &req) {
    if (req.width <= 0 || req.height <= 0)
        return 0;
    return size_t(req.width) * size_t(req.height) * size_t(sample_bytes(req.img_type));
}

void render_frame(const FrameRequest &req, uint8_t *out) {
    const size_t n = frame_bytes(req);
    if (out == nullptr || n == 0)
        return;
    if (req.model == nullptr) {
        std::memset(out, 0, n);
        return;
    }
    Renderer(req, out).run();
}

} // namespace asisim
