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

#include "events.h"
#include "sensor.h"
#include "sky.h"
#include "timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <optional>

// SSE2 kernels wherever the compiler targets it (-DASISIM_SSE2=0 leaves them out).
#if !defined(ASISIM_SSE2)
#if defined(__SSE2__)
#define ASISIM_SSE2 1
#else
#define ASISIM_SSE2 0
#endif
#endif
#if ASISIM_SSE2
#include <emmintrin.h>
#endif
// Run-time choice of AVX2 kernels on x86-64 with GCC or Clang (-DASISIM_AVX2=0 leaves them out).
#if !defined(ASISIM_AVX2)
#if ASISIM_SSE2 && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ASISIM_AVX2 1
#else
#define ASISIM_AVX2 0
#endif
#endif
#if ASISIM_AVX2
#include <immintrin.h>
#endif

namespace asisim {

namespace {

constexpr int kMaxBin = 16;

// minps / maxps semantics (the second operand when either is NaN), so that the scalar code gives
// the vector code's bytes for every input and never converts a NaN.
inline float min_like_sse(float a, float b) {
    return a < b ? a : b;
}
inline float max_like_sse(float a, float b) {
    return a > b ? a : b;
}

// Where the sensor pixels of each output pixel lie, in unflipped output order.
struct Geometry {
    int width = 0, height = 0, bin = 1;
    bool bayer_bin = false; // colour binning that keeps the mosaic
    int64_t x0 = 0, y0 = 0; // sensor region covering the frame
    int region_width = 0, region_height = 0;
    std::vector<int32_t> cols; // width * bin region columns
    // How cols runs, for the fast paths: consecutive blocks of `bin`, same-colour pairs of a
    // Bayer sensor starting on an even column with an even width, or anything else.
    enum class Layout { blocks, bayer_pairs, gathered } layout = Layout::gathered;

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

// Constants of the readout for one frame, per output pixel (a binned pixel reads `bin^2`
// sensor pixels).
struct Readout {
    float adu_per_e;  // native ADU per electron
    float read_sigma; // read noise of an output pixel, e-
    float poisson;    // weight of the Poisson skew term (1/3, or 0 for Gaussian shot noise)
    float pixel_cap;  // mean electrons a sensor pixel can hold and digitise
    float full_well;  // electrons an output pixel can hold
    float black;      // black level of an output pixel, native ADU, plus 0.5 for rounding
    float adc_max;    // largest native value of an output pixel
    float dark_e;     // dark electrons per sensor pixel over the exposure
    float hot_e;      // dark electrons of a hot pixel of factor 1 over the exposure
    float glow_e;     // amplifier glow at the glowing corners over the exposure, e-
    float row_noise;  // offset of one sensor row drawn per frame, native ADU (one sigma)
    float rts_unit;   // native ADU of one read-noise sigma of a sensor pixel (RTS amplitudes)
    // Bias fixed pattern of an output pixel, native ADU (one sigma): pixel, column, row.
    float fpn_pixel, fpn_column, fpn_row;
    // Non-linearity: the response bends over from knee electrons on toward the full well.
    float knee, knee_span;
    int bits;
};

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

// Where digitised values go: a float row of a colour frame's mosaic, or straight into RAW8 /
// RAW16 samples.
enum class Sink { mosaic, raw8, raw16 };

// The black level of each pixel of an output row: its column's level (black level and column
// offset) plus the row's offset (fixed pattern and the frame's row noise), and with the bias
// pattern (kPattern) the pixel's own, scale * pattern[i].
struct BiasRow {
    const float *column = nullptr;
    const float *pattern = nullptr;
    float row = 0.0f, scale = 0.0f;
};

// The ADC's output for one pixel, into the sink. Shared by the vector loops' tails and the scalar
// build: bit for bit the same arithmetic as the vector lanes (no fused multiply-add anywhere), so
// every path gives the same frame.
//
// Shot noise is the Poisson distribution's normal approximation with its skew (the
// Cornish-Fisher term (z^2 - 1) / 6, whose third cumulant is the mean, as a Poisson variate's),
// faded out below half an electron so that no light gives no charge; read noise is a second,
// independent draw; the bias pattern of the pixel comes with its black level.
template <Sink kSink, bool kPattern>
void digitise_one(const float *mean, const float *ga, const float *gb, const BiasRow &bias, int i,
                  const Readout &r, void *out) {
    const float s = mean[i];
    const float z = ga[i], read = r.read_sigma * gb[i];
    const float skew = (z * z - 1.0f) * (min_like_sse(s, 0.5f) * r.poisson);
    float v = ((s + std::sqrt(s) * z) + skew) + read;
    v = min_like_sse(v, r.full_well + read);
    const float level =
        kPattern ? bias.column[i] + (bias.row + bias.scale * bias.pattern[i]) : bias.column[i] + bias.row;
    float a = v * r.adu_per_e + level;
    a = min_like_sse(max_like_sse(a, 0.0f), r.adc_max + 0.5f);
    const auto adu = uint32_t(int32_t(a)); // a < 2^31
    if constexpr (kSink == Sink::mosaic) {
        static_cast<float *>(out)[i] = float(adu);
    } else if constexpr (kSink == Sink::raw8) {
        static_cast<uint8_t *>(out)[i] = uint8_t(std::min(adu >> (r.bits - 8), 255u));
    } else {
        const uint32_t top = (65535u >> (16 - r.bits)) << (16 - r.bits); // binned sums saturate here
        const uint32_t wide = std::min(adu << (16 - r.bits), top);
        uint8_t *o = static_cast<uint8_t *>(out) + 2 * size_t(i);
        o[0] = uint8_t(wide & 0xff); // little-endian, as the SDK delivers
        o[1] = uint8_t(wide >> 8);
    }
}

#if ASISIM_SSE2
// Four ADC values (int32 lanes) into the sink at pixel i.
template <Sink kSink> inline void store4(__m128i adu, const Readout &r, int i, void *out) {
    if constexpr (kSink == Sink::mosaic) {
        _mm_storeu_ps(static_cast<float *>(out) + i, _mm_cvtepi32_ps(adu));
    } else if constexpr (kSink == Sink::raw8) {
        // The top 8 bits; binned sums past 255 saturate in the unsigned pack.
        const __m128i narrow =
            _mm_packs_epi32(_mm_srl_epi32(adu, _mm_cvtsi32_si128(r.bits - 8)), _mm_setzero_si128());
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(narrow, narrow));
        std::memcpy(static_cast<uint8_t *>(out) + i, &bytes, 4);
    } else {
        // Shifted to the top bits, saturated at the largest 16-bit value with the low bits clear,
        // packed as unsigned through the signed pack by moving the range down and back.
        const __m128i max16 = _mm_set1_epi32(int((65535 >> (16 - r.bits)) << (16 - r.bits)));
        __m128i wide = _mm_sll_epi32(adu, _mm_cvtsi32_si128(16 - r.bits));
        const __m128i over = _mm_cmpgt_epi32(wide, max16);
        wide = _mm_or_si128(_mm_andnot_si128(over, wide), _mm_and_si128(over, max16));
        wide = _mm_packs_epi32(_mm_sub_epi32(wide, _mm_set1_epi32(32768)), _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i *>(static_cast<uint8_t *>(out) + 2 * size_t(i)),
                         _mm_xor_si128(wide, _mm_set1_epi16(-32768)));
    }
}

// Four pixels at a time (every x86-64 has SSE2), from pixel i on. Returns the first pixel left.
template <Sink kSink, bool kPattern>
int digitise_sse2(const float *mean, const float *ga, const float *gb, const BiasRow &bias, int i, int n,
                  const Readout &r, void *out) {
    const __m128 bias_row = _mm_set1_ps(bias.row), bias_scale = _mm_set1_ps(bias.scale);
    const __m128 full_well = _mm_set1_ps(r.full_well), read_sigma = _mm_set1_ps(r.read_sigma),
                 gain = _mm_set1_ps(r.adu_per_e), zero = _mm_setzero_ps(),
                 high = _mm_set1_ps(r.adc_max + 0.5f), one = _mm_set1_ps(1.0f), half = _mm_set1_ps(0.5f),
                 poisson = _mm_set1_ps(r.poisson);
    for (; i + 4 <= n; i += 4) {
        const __m128 s = _mm_loadu_ps(mean + i);
        const __m128 z = _mm_loadu_ps(ga + i);
        const __m128 read = _mm_mul_ps(read_sigma, _mm_loadu_ps(gb + i));
        const __m128 skew =
            _mm_mul_ps(_mm_sub_ps(_mm_mul_ps(z, z), one), _mm_mul_ps(_mm_min_ps(s, half), poisson));
        __m128 v = _mm_add_ps(_mm_add_ps(_mm_add_ps(s, _mm_mul_ps(_mm_sqrt_ps(s), z)), skew), read);
        v = _mm_min_ps(v, _mm_add_ps(full_well, read));
        __m128 level = _mm_loadu_ps(bias.column + i);
        if constexpr (kPattern)
            level = _mm_add_ps(level,
                               _mm_add_ps(bias_row, _mm_mul_ps(bias_scale, _mm_loadu_ps(bias.pattern + i))));
        else
            level = _mm_add_ps(level, bias_row);
        __m128 a = _mm_add_ps(_mm_mul_ps(v, gain), level);
        a = _mm_min_ps(_mm_max_ps(a, zero), high);
        store4<kSink>(_mm_cvttps_epi32(a), r, i, out);
    }
    return i;
}
#endif

#if ASISIM_AVX2
// Eight pixels at a time on CPUs with AVX2, chosen at run time; the same operations as SSE2.
template <Sink kSink, bool kPattern>
__attribute__((target("avx2"))) int digitise_avx2(const float *mean, const float *ga, const float *gb,
                                                  const BiasRow &bias, int i, int n, const Readout &r,
                                                  void *out) {
    const __m256 bias_row = _mm256_set1_ps(bias.row), bias_scale = _mm256_set1_ps(bias.scale);
    const __m256 full_well = _mm256_set1_ps(r.full_well), read_sigma = _mm256_set1_ps(r.read_sigma),
                 gain = _mm256_set1_ps(r.adu_per_e), zero = _mm256_setzero_ps(),
                 high = _mm256_set1_ps(r.adc_max + 0.5f), one = _mm256_set1_ps(1.0f),
                 half = _mm256_set1_ps(0.5f), poisson = _mm256_set1_ps(r.poisson);
    for (; i + 8 <= n; i += 8) {
        const __m256 s = _mm256_loadu_ps(mean + i);
        const __m256 z = _mm256_loadu_ps(ga + i);
        const __m256 read = _mm256_mul_ps(read_sigma, _mm256_loadu_ps(gb + i));
        const __m256 skew = _mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(z, z), one),
                                          _mm256_mul_ps(_mm256_min_ps(s, half), poisson));
        __m256 v =
            _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(s, _mm256_mul_ps(_mm256_sqrt_ps(s), z)), skew), read);
        v = _mm256_min_ps(v, _mm256_add_ps(full_well, read));
        __m256 level = _mm256_loadu_ps(bias.column + i);
        if constexpr (kPattern)
            level = _mm256_add_ps(
                level, _mm256_add_ps(bias_row, _mm256_mul_ps(bias_scale, _mm256_loadu_ps(bias.pattern + i))));
        else
            level = _mm256_add_ps(level, bias_row);
        __m256 a = _mm256_add_ps(_mm256_mul_ps(v, gain), level);
        a = _mm256_min_ps(_mm256_max_ps(a, zero), high);
        const __m256i adu = _mm256_cvttps_epi32(a);
        store4<kSink>(_mm256_castsi256_si128(adu), r, i, out);
        store4<kSink>(_mm256_extracti128_si256(adu, 1), r, i + 4, out);
    }
    return i;
}

#endif

// The widest kernels in use: those of the build and the processor, or narrower ones that
// ASISIM_SIMD ("scalar", "sse2" or "avx2", read once) asks for. Every path gives the same bytes;
// the tests force each one to prove it.
enum class Simd : int { Scalar = 0, Sse2 = 1, Avx2 = 2 };

Simd simd() {
    static const Simd path = [] {
        Simd best = Simd::Scalar;
#if ASISIM_SSE2
        best = Simd::Sse2;
#endif
#if ASISIM_AVX2
        if (__builtin_cpu_supports("avx2"))
            best = Simd::Avx2;
#endif
        const char *env = std::getenv("ASISIM_SIMD");
        if (env == nullptr || *env == '\0')
            return best;
        static constexpr const char *kNames[] = {"scalar", "sse2", "avx2"};
        for (int level = 0; level < 3; ++level)
            if (std::strcmp(env, kNames[level]) == 0)
                return std::min(static_cast<Simd>(level), best);
        std::fprintf(stderr, "asisim: ASISIM_SIMD=%s is not scalar, sse2 or avx2; ignored\n", env);
        return best;
    }();
    return path;
}

// Shot and read noise and the ADC for one row of mean electrons: the simulator's hot loop.
template <Sink kSink, bool kPattern>
void digitise_row(const float *mean, const float *ga, const float *gb, const BiasRow &bias, int n,
                  const Readout &r, void *out) {
    int i = 0;
    [[maybe_unused]] const Simd path = simd(); // unused where the build has no vector kernels
#if ASISIM_AVX2
    if (path >= Simd::Avx2)
        i = digitise_avx2<kSink, kPattern>(mean, ga, gb, bias, i, n, r, out);
#endif
#if ASISIM_SSE2
    if (path >= Simd::Sse2)
        i = digitise_sse2<kSink, kPattern>(mean, ga, gb, bias, i, n, r, out);
#endif
    for (; i < n; ++i)
        digitise_one<kSink, kPattern>(mean, ga, gb, bias, i, r, out);
}

// One row of noise drawn from the tables at offsets of the row's own, in chunks that fit them.
template <Sink kSink>
void digitise(const float *mean, const BiasRow &bias, int n, const Readout &r, uint64_t noise_key,
              void *out) {
    const NoiseTables &nt = noise_tables();
    constexpr int kChunk = 8192;
    const size_t sample = kSink == Sink::raw8 ? 1 : kSink == Sink::raw16 ? 2 : 4;
    for (int start = 0; start < n; start += kChunk) {
        const int len = std::min(kChunk, n - start);
        const uint64_t h = mix64(noise_key + uint64_t(start));
        const size_t span = kNoiseTableSize - size_t(len);
        const size_t oa = size_t(h % span), ob = size_t(mix64(h ^ 0xB5) % span);
        BiasRow part = bias;
        part.column += start;
        uint8_t *dst = static_cast<uint8_t *>(out) + size_t(start) * sample;
        if (bias.pattern != nullptr) {
            part.pattern += start;
            digitise_row<kSink, true>(mean + start, nt.a.data() + oa, nt.b.data() + ob, part, len, r, dst);
        } else {
            digitise_row<kSink, false>(mean + start, nt.a.data() + oa, nt.b.data() + ob, part, len, r, dst);
        }
    }
}

// Fixed patterns are runs of the pattern table: index i of the pattern row at the row's draw is
// table[(draw + i) mod size]. The run for indices first .. first + n - 1, or null where it wraps
// around the table's end.
constexpr uint64_t kTableMask = kPatternTableSize - 1;
static_assert((kPatternTableSize & kTableMask) == 0, "the pattern table size is a power of two");

const float *pattern_at(const std::vector<float> &table, uint64_t draw, int64_t first, int n) {
    // Draws fall in the first half, so runs from a column within the widest sensor never wrap.
    const uint64_t start = ((draw & (kTableMask >> 1)) + uint64_t(first)) & kTableMask;
    return start + uint64_t(n) <= kPatternTableSize ? table.data() + start : nullptr;
}

// out[i] = base[i] + add + scale * pattern[first + i] (out may be base).
void pattern_add(const std::vector<float> &table, uint64_t draw, int64_t first, int n, float scale,
                 const float *base, float add, float *out) {
    if (const float *t = pattern_at(table, draw, first, n)) {
        for (int i = 0; i < n; ++i)
            out[i] = base[i] + add + scale * t[i];
        return;
    }
    const uint64_t start = ((draw & (kTableMask >> 1)) + uint64_t(first)) & kTableMask;
    for (int i = 0; i < n; ++i)
        out[i] = base[i] + add + scale * table[(start + uint64_t(i)) & kTableMask];
}

uint8_t clip8(float v) {
    return uint8_t(min_like_sse(max_like_sse(v, 0.0f), 255.0f));
}

// Bilinear debayer as a linear filter: every output channel of a pixel is a weighted sum of
// the pixel itself, its up+down pair, its left+right pair and its four diagonals, with weights
// that depend only on the column's parity within the row.
struct Taps {
    float own = 0.0f, up_down = 0.0f, left_right = 0.0f, diagonal = 0.0f;
};

// Lane weights of a tap for four pixels starting at an odd column: parities 1, 0, 1, 0.
struct TapVectors {
    float own[4], up_down[4], left_right[4], diagonal[4];
};

template <int kChannels> void tap_vectors(const Taps (&taps)[kChannels][2], TapVectors (&v)[kChannels]) {
    for (int c = 0; c < kChannels; ++c)
        for (int k = 0; k < 4; ++k) {
            const Taps &t = taps[c][(k + 1) & 1];
            v[c].own[k] = t.own;
            v[c].up_down[k] = t.up_down;
            v[c].left_right[k] = t.left_right;
            v[c].diagonal[k] = t.diagonal;
        }
}

// Writes four pixels' channels (int32 lanes, R, G, B order) as Y8 bytes or B, G, R samples. The
// B, G, R samples go out as overlapping 32-bit words, so one byte past the fourth pixel is
// written too (the caller leaves room).
#if ASISIM_SSE2
template <int kChannels> inline void store_pixels4(const __m128i (&v)[kChannels], uint8_t *out) {
    if constexpr (kChannels == 1) {
        const __m128i narrow = _mm_packs_epi32(v[0], _mm_setzero_si128());
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(narrow, narrow));
        std::memcpy(out, &bytes, 4);
    } else {
        const __m128i bgr =
            _mm_or_si128(_mm_or_si128(v[2], _mm_slli_epi32(v[1], 8)), _mm_slli_epi32(v[0], 16));
        alignas(16) uint32_t words[4];
        _mm_store_si128(reinterpret_cast<__m128i *>(words), bgr);
        for (int k = 0; k < 4; ++k)
            std::memcpy(out + 3 * k, &words[k], 4);
    }
}

template <int kChannels>
int debayer_sse2(const float *up, const float *cur, const float *down, int u, int w,
                 const TapVectors (&t)[kChannels], uint8_t *out) {
    const __m128 half = _mm_set1_ps(0.5f), zero = _mm_setzero_ps(), top = _mm_set1_ps(255.0f);
    for (; u + 5 < w; u += 4) {
        const __m128 c0 = _mm_loadu_ps(cur + u);
        const __m128 ud = _mm_add_ps(_mm_loadu_ps(up + u), _mm_loadu_ps(down + u));
        const __m128 lr = _mm_add_ps(_mm_loadu_ps(cur + u - 1), _mm_loadu_ps(cur + u + 1));
        const __m128 dg = _mm_add_ps(_mm_add_ps(_mm_loadu_ps(up + u - 1), _mm_loadu_ps(up + u + 1)),
                                     _mm_add_ps(_mm_loadu_ps(down + u - 1), _mm_loadu_ps(down + u + 1)));
        __m128i v[kChannels];
        for (int c = 0; c < kChannels; ++c) {
            __m128 x = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(t[c].own), c0),
                                  _mm_mul_ps(_mm_loadu_ps(t[c].up_down), ud));
            x = _mm_add_ps(x, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(t[c].left_right), lr),
                                         _mm_mul_ps(_mm_loadu_ps(t[c].diagonal), dg)));
            v[c] = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(_mm_add_ps(x, half), zero), top));
        }
        store_pixels4<kChannels>(v, out + kChannels * u);
    }
    return u;
}
#endif

#if ASISIM_AVX2
template <int kChannels>
__attribute__((target("avx2"))) int debayer_avx2(const float *up, const float *cur, const float *down, int u,
                                                 int w, const TapVectors (&t)[kChannels], uint8_t *out) {
    const __m256 half = _mm256_set1_ps(0.5f), zero = _mm256_setzero_ps(), top = _mm256_set1_ps(255.0f);
    __m256 own[kChannels], ud_t[kChannels], lr_t[kChannels], dg_t[kChannels];
    for (int c = 0; c < kChannels; ++c) { // eight lanes: the four-lane pattern twice
        own[c] = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(t[c].own));
        ud_t[c] = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(t[c].up_down));
        lr_t[c] = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(t[c].left_right));
        dg_t[c] = _mm256_broadcast_ps(reinterpret_cast<const __m128 *>(t[c].diagonal));
    }
    for (; u + 9 < w; u += 8) {
        const __m256 c0 = _mm256_loadu_ps(cur + u);
        const __m256 ud = _mm256_add_ps(_mm256_loadu_ps(up + u), _mm256_loadu_ps(down + u));
        const __m256 lr = _mm256_add_ps(_mm256_loadu_ps(cur + u - 1), _mm256_loadu_ps(cur + u + 1));
        const __m256 dg =
            _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(up + u - 1), _mm256_loadu_ps(up + u + 1)),
                          _mm256_add_ps(_mm256_loadu_ps(down + u - 1), _mm256_loadu_ps(down + u + 1)));
        __m128i lo[kChannels], hi[kChannels];
        for (int c = 0; c < kChannels; ++c) {
            __m256 x = _mm256_add_ps(_mm256_mul_ps(own[c], c0), _mm256_mul_ps(ud_t[c], ud));
            x = _mm256_add_ps(x, _mm256_add_ps(_mm256_mul_ps(lr_t[c], lr), _mm256_mul_ps(dg_t[c], dg)));
            const __m256i v =
                _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(_mm256_add_ps(x, half), zero), top));
            lo[c] = _mm256_castsi256_si128(v);
            hi[c] = _mm256_extracti128_si256(v, 1);
        }
        store_pixels4<kChannels>(lo, out + kChannels * u);
        store_pixels4<kChannels>(hi, out + kChannels * (u + 4));
    }
    return u;
}
#endif

// Debayers one row straight to bytes: Y8 (one channel) or B, G, R samples (three channels, the
// taps given in R, G, B order). Values are rounded and clipped to 0..255; every path computes
// each pixel with the same operations in the same order.
template <int kChannels>
void debayer_row(const float *up, const float *cur, const float *down, int w,
                 const Taps (&taps)[kChannels][2], uint8_t *out) {
    auto one = [&](int u) {
        const int l = u > 0 ? u - 1 : 1, r = u + 1 < w ? u + 1 : w - 2; // mirrored at the edges
        const float ud = up[u] + down[u], lr = cur[l] + cur[r], dg = (up[l] + up[r]) + (down[l] + down[r]);
        for (int c = 0; c < kChannels; ++c) {
            const Taps &t = taps[c][u & 1];
            const float v = (t.own * cur[u] + t.up_down * ud) + (t.left_right * lr + t.diagonal * dg);
            out[kChannels * u + (kChannels == 3 ? 2 - c : 0)] = clip8(v + 0.5f);
        }
    };
    one(0);
    int u = 1;
    TapVectors t[kChannels];
    tap_vectors<kChannels>(taps, t);
    [[maybe_unused]] const Simd path = simd(); // unused where the build has no vector kernels
#if ASISIM_AVX2
    if (path >= Simd::Avx2)
        u = debayer_avx2<kChannels>(up, cur, down, u, w, t, out);
#endif
#if ASISIM_SSE2
    if (path >= Simd::Sse2)
        u = debayer_sse2<kChannels>(up, cur, down, u, w, t, out);
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
          hot_(hot_pixels(m_, req.sensor_seed)), fp_(fixed_pattern(m_, req.sensor_seed)),
          bpp_(pixel_bytes(req.img_type)), flip_x_(req.flip == ASI_FLIP_HORIZ || req.flip == ASI_FLIP_BOTH),
          flip_y_(req.flip == ASI_FLIP_VERT || req.flip == ASI_FLIP_BOTH) {
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
        prepare_patterns();
        prepare_events();
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
        if (colour_out_) {
            for (auto &r : ring_)
                r.resize(size_t(w));
        }
        for (int uy = 0; uy < geo_.height; ++uy) {
            const int64_t by = int64_t(req_.start_y) + uy;
            const float *mean = mean_row(by);
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
    // Per-frame parts of the fixed patterns: each output column's bias offset and the amplifier
    // glow's profile along the region's columns.
    void prepare_patterns() {
        const int w = geo_.width, bin = geo_.bin;
        bias_.resize(size_t(w));
        col_bias_.assign(size_t(w), ro_.black); // the black level with each column's offset
        if (ro_.fpn_column != 0.0f)
            for (int u = 0; u < w; ++u) {
                float sum = 0.0f;
                for (int i = 0; i < bin; ++i)
                    sum += fp_->column[size_t(
                        sensor_x(geo_.x0 + geo_.cols[size_t(u) * size_t(bin) + size_t(i)]))];
                col_bias_[size_t(u)] += ro_.fpn_column * sum;
            }
        if (ro_.glow_e > 0.0f) {
            // The readout amplifiers sit beyond the sensor's right-hand edge: their glow fades
            // from its two right-hand corners over a twentieth of the sensor's size.
            glow_length_ = 0.05 * double(std::max(m_.width, m_.height));
            glow_col_.resize(size_t(geo_.region_width));
            for (int i = 0; i < geo_.region_width; ++i) {
                const double x = double(sensor_x(geo_.x0 + i));
                glow_col_[size_t(i)] =
                    float(ro_.glow_e * std::exp(-(double(m_.width) - 1.0 - x) / glow_length_));
            }
        }
    }

    // This frame's own events: cosmic-ray hits in the region, trails across a light frame, and
    // the random-telegraph pixels with the output column each one reads into.
    void prepare_events() {
        frame_key_ = hash_combine(hash_combine(req_.seed, 0x6E6F697365ull), req_.frame_index);
        const double t = exposure_seconds(req_);
        if (effect_on(req_.effects, kEffectCosmicRays))
            cosmic_ = cosmic_ray_deposits(m_, frame_key_, geo_.x0, geo_.y0, geo_.region_width,
                                          geo_.region_height, t);
        if (scene_ && req_.light.kind == Light::sky && effect_on(req_.effects, kEffectTrails))
            trails_ = trails(m_, frame_key_, t, electrons_mag0(m_, frame_aperture_mm(req_)),
                             psf_sigma_pixels(m_, frame_focal_mm(req_), frame_aperture_mm(req_)),
                             pixel_scale_arcsec(m_, frame_focal_mm(req_)));
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

    int64_t sensor_x(int64_t x) const { return std::clamp<int64_t>(x, 0, m_.width - 1); }
    int64_t sensor_y(int64_t y) const { return std::clamp<int64_t>(y, 0, m_.height - 1); }

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
            row += fp_->row[size_t(sensor_y(geo_.sensor(by, j)))];
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

    // Dust shadows on sensor row sy: each mote's chord dims the light (not the dark signal
    // `dark` that the row's values already hold).
    void shade_dust(int64_t sy, float dark, float *row) const {
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

    uint64_t prnu_draw(int64_t sy) const { return mix64(hash_combine(fp_->seed, uint64_t(sy))); }

    // Mean electrons of one sensor row of the region into `row`: light through the pixels'
    // response, dark current, amplifier glow, hot pixels, and the bend of the response near
    // full well. The common case (PRNU, no dust shadow on the row) is one pass over the row.
    void sensor_row(int64_t sy, float *row) {
        const int rw = geo_.region_width;
        const float dark = ro_.dark_e, knee = ro_.knee > 0.0f ? ro_.knee : 3.0e38f;
        int over = 0; // some pixel passed the knee
        if (scene_) {
            const float *t =
                prnu_ != 0.0f ? pattern_at(pattern_table(), prnu_draw(sy), geo_.x0, rw) : nullptr;
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
            const double y = double(sensor_y(sy));
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
    const float *mean_row(int64_t by) {
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

    // out[u] += the bin pixels from u * bin on.
    static void add_blocks(const float *row, int bin, int w, float *out) {
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
    static void add_bayer_pairs(const float *row, int bin, int w, float *out) {
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

    static void add_gathered(const float *row, const int32_t *cols, int bin, int w, float *out) {
        for (int u = 0; u < w; ++u) {
            float sum = 0.0f;
            for (int i = 0; i < bin; ++i)
                sum += row[cols[u * bin + i]];
            out[u] += sum;
        }
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
    std::shared_ptr<const std::vector<HotPixel>> hot_;
    std::shared_ptr<const FixedPattern> fp_;
    uint64_t frame_key_ = 0;                           // the frame's own draws (noise, events)
    std::vector<Deposit> cosmic_;                      // cosmic-ray charge, by row
    std::vector<Trail> trails_;                        // satellites and aircraft
    std::shared_ptr<const std::vector<RtsPixel>> rts_; // random-telegraph pixels, by row
    std::vector<int32_t> region_to_u_;                 // output column of each region column
    std::vector<float> rts_bias_;                      // column levels with the high RTS pixels
    int bpp_;
    bool flip_x_, flip_y_;
    std::optional<SkyScene> scene_;
    bool colour_out_ = false;
    std::vector<float> sensor_row_, mean_;
    std::vector<float> bias_, col_bias_; // output row: black level and bias pattern; per column
    std::vector<float> gain_row_;        // sensor row: PRNU and dust
    std::vector<float> glow_col_;        // region columns: amplifier glow at a corner
    double glow_length_ = 1.0;
    float prnu_ = 0.0f, pattern_max_ = 0.0f;
    bool dust_ = false;
    std::vector<float> ring_[3]; // the last three mosaic rows of a colour frame
    std::vector<uint8_t> row_out_;
    uint8_t gamma_lut_[256] = {};
};

} // namespace

size_t frame_bytes(const FrameRequest &req) {
    if (req.width <= 0 || req.height <= 0)
        return 0;
    return size_t(req.width) * size_t(req.height) * size_t(pixel_bytes(req.img_type));
}

void render_frame(const FrameRequest &req, uint8_t *out) {
    const size_t n = frame_bytes(req);
    if (out == nullptr || n == 0)
        return;
    if (req.model == nullptr) {
        std::memset(out, 0, n);
        return;
    }
#if ASISIM_SSE2
    // Denormal floats (the far tails of star profiles in short exposures) would cost the hot
    // loops a microcode assist each: flush them to zero while this thread renders.
    struct FlushDenormals {
        unsigned saved = _mm_getcsr();
        FlushDenormals() { _mm_setcsr(saved | 0x8040u); } // flush-to-zero, denormals-are-zero
        ~FlushDenormals() { _mm_setcsr(saved); }
    } flush;
#endif
    Renderer(req, out).run();
}

const char *simd_path_name() {
    static constexpr const char *kNames[] = {"scalar", "sse2", "avx2"};
    return kNames[static_cast<int>(simd())];
}

} // namespace asisim
