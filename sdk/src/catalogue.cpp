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

} // namespace

std::span<const CameraModel> catalogue() {
    return {kModels.data(), kModels.size()};
}

const CameraModel *find_model(std::string_view name) {
    for (const CameraModel &m : kModels)
        if (name == m.name)
            return &m;
    return nullptr;
}

} // namespace asisim
