// The synthesis's hot loops: shot and read noise with the ADC for a row of mean electrons, and the
// bilinear debayer of a mosaic row, each as scalar code and as SSE2 and AVX2 kernels chosen at run
// time (ASISIM_SIMD). Every path gives the same bytes: the scalar code does the vector lanes'
// arithmetic, operation for operation.
#pragma once

#include "sensor.h"

#include <cstdint>
#include <vector>

namespace asisim {

// minps / maxps semantics (the second operand when either is NaN), so that the scalar code gives
// the vector code's bytes for every input and never converts a NaN.
inline float min_like_sse(float a, float b) {
    return a < b ? a : b;
}
inline float max_like_sse(float a, float b) {
    return a > b ? a : b;
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

// Shot and read noise and the ADC for one row of `n` mean electrons into the sink, with noise drawn
// from the noise tables at offsets of the row's own key.
template <Sink kSink>
void digitise(const float *mean, const BiasRow &bias, int n, const Readout &r, uint64_t noise_key, void *out);

// Fixed patterns are runs of the pattern table: index i of the pattern row at the row's draw is
// table[(draw + i) mod size]. The run for indices first .. first + n - 1, or null where it wraps
// around the table's end.
constexpr uint64_t kTableMask = kPatternTableSize - 1;
static_assert((kPatternTableSize & kTableMask) == 0, "the pattern table size is a power of two");

inline const float *pattern_at(const std::vector<float> &table, uint64_t draw, int64_t first, int n) {
    // Draws fall in the first half, so runs from a column within the widest sensor never wrap.
    const uint64_t start = ((draw & (kTableMask >> 1)) + uint64_t(first)) & kTableMask;
    return start + uint64_t(n) <= kPatternTableSize ? table.data() + start : nullptr;
}

// out[i] = base[i] + add + scale * pattern[first + i] (out may be base).
void pattern_add(const std::vector<float> &table, uint64_t draw, int64_t first, int n, float scale,
                 const float *base, float add, float *out);

inline uint8_t clip8(float v) {
    return uint8_t(min_like_sse(max_like_sse(v, 0.0f), 255.0f));
}

// Bilinear debayer as a linear filter: every output channel of a pixel is a weighted sum of
// the pixel itself, its up+down pair, its left+right pair and its four diagonals, with weights
// that depend only on the column's parity within the row.
struct Taps {
    float own = 0.0f, up_down = 0.0f, left_right = 0.0f, diagonal = 0.0f;
};

// Debayers one row straight to bytes: Y8 (one channel) or B, G, R samples (three channels, the
// taps given in R, G, B order). Values are rounded and clipped to 0..255; every path computes
// each pixel with the same operations in the same order.
template <int kChannels>
void debayer_row(const float *up, const float *cur, const float *down, int w,
                 const Taps (&taps)[kChannels][2], uint8_t *out);

// Taps of the channel `target` (0 red, 1 green, 2 blue) for a row whose columns of parity
// `green_parity` are green and whose other columns are `row_colour`, scaled by `gain`.
void channel_taps(int target, int row_colour, int green_parity, float gain, Taps taps[2]);

// The kernels frames are made with: "scalar", "sse2" or "avx2" (see ASISIM_SIMD).
const char *simd_path_name();

// While one lives, denormal floats (the far tails of star profiles in short exposures) are
// flushed to zero on this thread: they would cost the hot loops a microcode assist each.
class DenormalsFlushed {
  public:
    DenormalsFlushed();
    ~DenormalsFlushed();
    DenormalsFlushed(const DenormalsFlushed &) = delete;
    DenormalsFlushed &operator=(const DenormalsFlushed &) = delete;

  private:
    unsigned saved_ = 0;
};

} // namespace asisim
