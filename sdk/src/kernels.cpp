// The hot loops' kernels: scalar, SSE2 and AVX2, and the choice among them.
#include "kernels.h"

#include "hash.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

} // namespace

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

template void digitise<Sink::mosaic>(const float *, const BiasRow &, int, const Readout &, uint64_t, void *);
template void digitise<Sink::raw8>(const float *, const BiasRow &, int, const Readout &, uint64_t, void *);
template void digitise<Sink::raw16>(const float *, const BiasRow &, int, const Readout &, uint64_t, void *);

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

template void debayer_row<1>(const float *, const float *, const float *, int, const Taps (&)[1][2],
                             uint8_t *);
template void debayer_row<3>(const float *, const float *, const float *, int, const Taps (&)[3][2],
                             uint8_t *);

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

const char *simd_path_name() {
    static constexpr const char *kNames[] = {"scalar", "sse2", "avx2"};
    return kNames[static_cast<int>(simd())];
}

#if ASISIM_SSE2
DenormalsFlushed::DenormalsFlushed() : saved_(_mm_getcsr()) {
    _mm_setcsr(saved_ | 0x8040u); // flush-to-zero, denormals-are-zero
}
DenormalsFlushed::~DenormalsFlushed() {
    _mm_setcsr(saved_);
}
#else
DenormalsFlushed::DenormalsFlushed() = default;
DenormalsFlushed::~DenormalsFlushed() = default;
#endif

} // namespace asisim
