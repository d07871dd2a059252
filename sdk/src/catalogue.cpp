// The simulator's camera models: published sensor facts of real cameras, one row per model.
//
// Gain figures follow the makers' charts: e_per_adu_unity is the conversion factor at gain 0
// (at the native bit depth), unity_gain the setting where one electron gives one ADU. Rows are
// plain data so adding a model is adding a line.
//
// Where each number comes from. [P] the maker's product page / manual's data table
// (resolution, pixel size, ADC bits, full well, read-noise range, peak QE, frame rate); [C] read
// off the maker's published gain / read-noise / full-well charts; [M] an independent measurement
// published by users; [E] the simulator's own estimate, where the maker publishes nothing usable
// (dark current at 25 C, amplifier glow, USB product IDs). Read noise "RN0 .. RNhi" is the
// published range; the figures at the conversion-gain switch are chart readings.
//   ASI294MC Pro: geometry, 14 bit, 63.7 ke-, RN 7.3 .. 1.2 e- [P]; 3.94 e-/ADU at gain 0, unity
//     at 120, HCG switch at 120 with RN falling from about 6 e- to under 2 e- [C] (also measured:
//     7.4 e- at 0, 5.5 at 100, 1.6 at 120, 1.2 from 300 on [M]); peak QE about 75 % [C]; dark
//     current 0.004 e-/s at -15 C [P] gives 0.4 e-/s at 25 C at 6 C per doubling; strong glow
//     along the right-hand edge is typical of the IMX294 [M], its rate [E].
//   ASI120MM Mini: geometry, 12 bit, 13 ke-, RN about 4 e- at low gain [P]; 3.17 e-/ADU at 0,
//     unity near 29, RN at maximum gain, QE 80 %, dark current, glow [E].
//   ASI533MC Pro: geometry, 14 bit, 50 ke-, RN 3.8 .. 1.0 e-, QE 80 %, "zero amp glow" [P];
//     unity and HCG switch at 100 [C].
//   ASI2600MM Pro: geometry, 16 bit, 50 ke-, RN 3.5 .. 1.0 e-, QE 91 %, zero glow [P]; HCG
//     switch and unity at 100 [C].
//   ASI6200MM Pro: geometry, 16 bit, 51.4 ke-, RN 3.5 .. 1.2 e-, QE 91 %, zero glow [P]; HCG
//     switch and unity at 100 [C].
//   ASI178MM, ASI174MM, ASI462MC, ASI678MC, ASI183MC Pro, ASI224MC: geometry, bits, full well,
//     RN range, peak QE and full-frame rate [P]; unity gain [C]; no conversion-gain step on their
//     charts; dark current and glow [E] (the ASI183 and ASI224 are known for visible glow [M]).
//   ASI290MM Mini: geometry, 12 bit, 14.6 ke-, RN 3.2 .. 1.0 e- [P]; 3.58 e-/ADU at gain 0 is the
//     ElecPerADU the vendor's SDK reports for this camera [M]; unity at 110 [C].
//
// The curves table beside it (read noise against gain, drift of bias and glow):
//   read noise: the HCG models' charts [C]; the ASI294MC Pro's from 120 on also as measured by
//     users (1.6 e- at 120 falling to 1.2 e- from 300 on [M]), where the chart's 1.9 e- at the
//     switch falls to about 1.4 e- at 200 and 1.25 e- at 300. The other models' charts fall
//     smoothly from the gain-0 figure to the high-gain one, as the sensor model's default curve.
//   bias drift with temperature: a few tenths of an ADU per degree is what the black-level clamps
//     of these sensors leave [M]; the figures per model [E].
//   glow against temperature and gain: the IMX294's glow roughly halves for every 7-8 degrees of
//     cooling and grows several-fold from gain 0 to the highest gains [M]; the others [E].
#include "catalogue.h"

#include <array>

namespace asisim {

namespace {

// clang-format off
constexpr std::array kModels = std::to_array<CameraModel>({
    //  name                    width height  pixel bits color  bayer        cooled st4    usb3   trig   gps    e/ADU  RN0   RNhi  full wl  QE    unity maxg bin dark25 pid     fps8   hcg  RNlcg RNhcg glow
    {"ZWO ASI294MC Pro",         4144, 2822, 4.63, 14, true,  ASI_BAYER_RG, true,  false, true,  false, false, 3.94, 7.3,  1.2,  63700.0, 0.75, 120, 570, 4, 0.40, 0x294A, 19.0,  120, 6.0,  1.9,  2.0},
    {"ZWO ASI120MM Mini",        1280,  960, 3.75, 12, false, ASI_BAYER_RG, false, true,  false, false, false, 3.17, 4.0,  2.5,  13000.0, 0.80,  29, 100, 2, 0.30, 0x120B, 30.0,    0, 0.0,  0.0,  0.5},
    {"ZWO ASI533MC Pro",         3008, 3008, 3.76, 14, true,  ASI_BAYER_RG, true,  false, true,  false, false, 3.05, 3.8,  1.0,  50000.0, 0.80, 100, 450, 4, 0.05, 0x533A, 20.0,  100, 3.2,  1.6,  0.0},
    {"ZWO ASI2600MM Pro",        6248, 4176, 3.76, 16, false, ASI_BAYER_RG, true,  false, true,  false, false, 0.77, 3.5,  1.0,  50000.0, 0.91, 100, 460, 4, 0.05, 0x2600, 3.5,   100, 2.8,  1.5,  0.0},
    {"ZWO ASI178MM",             3096, 2080, 2.40, 14, false, ASI_BAYER_RG, false, true,  true,  false, false, 0.91, 2.2,  1.4,  15000.0, 0.81,  47, 510, 4, 0.20, 0x178A, 60.0,    0, 0.0,  0.0,  1.0},
    {"ZWO ASI174MM",             1936, 1216, 5.86, 12, false, ASI_BAYER_RG, false, true,  true,  true,  false, 7.80, 6.0,  3.5,  32000.0, 0.77, 189, 400, 4, 0.25, 0x174A, 164.0,   0, 0.0,  0.0,  0.3},
    {"ZWO ASI462MC",             1936, 1096, 2.90, 12, true,  ASI_BAYER_RG, false, true,  true,  false, false, 2.73, 2.5,  0.5,  11200.0, 0.80,  95, 570, 4, 0.15, 0x462A, 136.0,   0, 0.0,  0.0,  0.5},
    {"ZWO ASI678MC",             3840, 2160, 2.00, 12, true,  ASI_BAYER_RG, false, true,  true,  false, true,  2.76, 1.7,  0.6,  11300.0, 0.83,  90, 570, 4, 0.15, 0x678A, 47.0,    0, 0.0,  0.0,  0.3},
    {"ZWO ASI183MC Pro",         5496, 3672, 2.40, 12, true,  ASI_BAYER_RG, true,  false, true,  false, false, 3.60, 3.0,  1.6,  15000.0, 0.84, 111, 450, 4, 0.02, 0x183A, 19.0,    0, 0.0,  0.0,  1.5},
    {"ZWO ASI224MC",             1304,  976, 3.75, 12, true,  ASI_BAYER_RG, false, true,  true,  false, false, 4.69, 1.5,  0.8,  19200.0, 0.75, 135, 600, 4, 0.20, 0x224A, 150.0,   0, 0.0,  0.0,  1.0},
    {"ZWO ASI6200MM Pro",        9576, 6388, 3.76, 16, false, ASI_BAYER_RG, true,  false, true,  false, false, 0.78, 3.5,  1.2,  51400.0, 0.91, 100, 470, 4, 0.05, 0x6200, 3.2,   100, 3.0,  1.5,  0.0},
    {"ZWO ASI290MM Mini",        1936, 1096, 2.90, 12, false, ASI_BAYER_RG, false, true,  false, false, false, 3.58, 3.2,  1.0,  14600.0, 0.80, 110, 600, 2, 0.15, 0x290B, 21.0,    0, 0.0,  0.0,  1.0},
});
// clang-format on

// clang-format off
constexpr std::array kCurves = std::to_array<SensorCurves>({
    //  name                   points  read noise (gain, e-) ...                                                                              bias/C  glow x2 C  glow at max gain
    {"ZWO ASI294MC Pro",         11, {{0, 7.3}, {60, 6.6}, {119, 6.0}, {120, 1.9}, {150, 1.6}, {200, 1.4}, {250, 1.31}, {300, 1.25}, {350, 1.2}, {400, 1.2}, {570, 1.2}}, 0.15, 7.5, 4.0},
    {"ZWO ASI120MM Mini",         0, {},                                                                                                          0.05, 9.0,  2.0},
    {"ZWO ASI533MC Pro",          7, {{0, 3.8}, {99, 3.2}, {100, 1.6}, {150, 1.38}, {200, 1.25}, {300, 1.1}, {450, 1.0}},                          0.15, 8.0,  1.0},
    {"ZWO ASI2600MM Pro",         7, {{0, 3.5}, {99, 2.8}, {100, 1.5}, {150, 1.3}, {200, 1.2}, {300, 1.1}, {460, 1.0}},                            0.40, 8.0,  1.0},
    {"ZWO ASI178MM",              0, {},                                                                                                          0.15, 8.0,  3.0},
    {"ZWO ASI174MM",              0, {},                                                                                                          0.05, 9.0,  2.0},
    {"ZWO ASI462MC",              0, {},                                                                                                          0.05, 8.0,  2.5},
    {"ZWO ASI678MC",              0, {},                                                                                                          0.05, 8.0,  2.5},
    {"ZWO ASI183MC Pro",          0, {},                                                                                                          0.05, 7.5,  3.0},
    {"ZWO ASI224MC",              0, {},                                                                                                          0.05, 8.0,  3.0},
    {"ZWO ASI6200MM Pro",         7, {{0, 3.5}, {99, 3.0}, {100, 1.5}, {150, 1.35}, {200, 1.27}, {300, 1.2}, {470, 1.2}},                          0.40, 8.0,  1.0},
    {"ZWO ASI290MM Mini",         0, {},                                                                                                          0.05, 8.0,  3.0},
});
// clang-format on

constexpr bool same_name(const char *a, const char *b) {
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// Every model has its curves in the same row; a curve starts at gain 0, ends at the gain
// maximum, rises in gain, and carries the conversion-gain step the model's row describes.
constexpr bool curves_match_models() {
    if (kCurves.size() != kModels.size())
        return false;
    for (size_t i = 0; i < kModels.size(); ++i) {
        const CameraModel &m = kModels[i];
        const SensorCurves &c = kCurves[i];
        if (!same_name(m.name, c.name) || c.read_noise_points < 0 || c.read_noise_points > 12)
            return false;
        if (c.read_noise_points == 0) {
            if (m.hcg_gain != 0)
                return false;
            continue;
        }
        const ReadNoisePoint *p = c.read_noise;
        const int n = c.read_noise_points;
        if (p[0].gain != 0 || p[0].electrons != m.read_noise_e || p[n - 1].gain != m.max_gain ||
            p[n - 1].electrons != m.read_noise_high_e)
            return false;
        bool step = m.hcg_gain == 0;
        for (int k = 1; k < n; ++k) {
            if (p[k].gain <= p[k - 1].gain)
                return false;
            if (p[k].gain == m.hcg_gain)
                step = p[k - 1].gain == m.hcg_gain - 1 && p[k - 1].electrons == m.read_noise_lcg_top_e &&
                       p[k].electrons == m.read_noise_hcg_e;
        }
        if (!step)
            return false;
    }
    return true;
}
static_assert(curves_match_models(), "the curves table must follow the catalogue row by row");

} // namespace

std::span<const CameraModel> catalogue() {
    return {kModels.data(), kModels.size()};
}

const SensorCurves &sensor_curves(const CameraModel &m) {
    for (size_t i = 0; i < kModels.size(); ++i)
        if (&kModels[i] == &m || same_name(kModels[i].name, m.name))
            return kCurves[i];
    static constexpr SensorCurves none{"", 0, {}, 0.0, 8.0, 1.0};
    return none;
}

const CameraModel *find_model(std::string_view name) {
    for (const CameraModel &m : kModels)
        if (name == m.name)
            return &m;
    return nullptr;
}

} // namespace asisim
