// The simulator's camera models: published sensor facts of real cameras, one row per model.
//
// Gain figures follow the makers' charts: e_per_adu_unity is the conversion factor at gain 0
// (at the native bit depth), unity_gain the setting where one electron gives one ADU. Rows are
// plain data so adding a model is adding a line.
#include "catalogue.h"

#include <array>

namespace asisim {

namespace {

// clang-format off
constexpr std::array kModels = std::to_array<CameraModel>({
    //  name                    width height  pixel bits color  bayer        cooled st4    usb3   trig   gps    e/ADU  RN0   RNhi  full wl  QE    unity maxg bin dark25 pid     fps8
    {"ZWO ASI294MC Pro",         4144, 2822, 4.63, 14, true,  ASI_BAYER_RG, true,  false, true,  false, false, 3.94, 7.3,  1.2,  63700.0, 0.80, 120, 570, 4, 0.10, 0x294A, 19.0},
    {"ZWO ASI120MM Mini",        1280,  960, 3.75, 12, false, ASI_BAYER_RG, false, true,  false, false, false, 3.17, 6.6,  4.0,  13000.0, 0.80,  29, 100, 2, 0.30, 0x120B, 30.0},
    {"ZWO ASI533MC Pro",         3008, 3008, 3.76, 14, true,  ASI_BAYER_RG, true,  false, true,  false, false, 3.05, 3.8,  1.0,  50000.0, 0.80, 100, 450, 4, 0.05, 0x533A, 20.0},
    {"ZWO ASI2600MM Pro",        6248, 4176, 3.76, 16, false, ASI_BAYER_RG, true,  false, true,  false, false, 0.77, 3.5,  1.0,  50000.0, 0.91, 100, 460, 4, 0.05, 0x2600, 3.5},
    {"ZWO ASI178MM",             3096, 2080, 2.40, 14, false, ASI_BAYER_RG, false, true,  true,  false, false, 0.91, 2.2,  1.4,  15000.0, 0.81,  47, 510, 4, 0.20, 0x178A, 60.0},
    {"ZWO ASI174MM",             1936, 1216, 5.86, 12, false, ASI_BAYER_RG, false, true,  true,  true,  false, 7.80, 6.0,  3.5,  32000.0, 0.78, 189, 400, 4, 0.25, 0x174A, 164.0},
    {"ZWO ASI462MC",             1936, 1096, 2.90, 12, true,  ASI_BAYER_RG, false, true,  true,  false, false, 2.73, 2.5,  0.5,  11200.0, 0.80,  95, 570, 4, 0.15, 0x462A, 136.0},
    {"ZWO ASI678MC",             3840, 2160, 2.00, 12, true,  ASI_BAYER_RG, false, true,  true,  false, true,  2.76, 1.7,  0.6,  11300.0, 0.83,  90, 570, 4, 0.15, 0x678A, 47.0},
    {"ZWO ASI183MC Pro",         5496, 3672, 2.40, 12, true,  ASI_BAYER_RG, true,  false, true,  false, false, 3.60, 3.0,  1.6,  15000.0, 0.84, 111, 450, 4, 0.02, 0x183A, 19.0},
    {"ZWO ASI224MC",             1304,  976, 3.75, 12, true,  ASI_BAYER_RG, false, true,  true,  false, false, 4.69, 1.5,  0.8,  19200.0, 0.75, 135, 600, 4, 0.20, 0x224A, 150.0},
    {"ZWO ASI6200MM Pro",        9576, 6388, 3.76, 16, false, ASI_BAYER_RG, true,  false, true,  false, false, 0.78, 3.5,  1.2,  51400.0, 0.91, 100, 470, 4, 0.05, 0x6200, 3.2},
    {"ZWO ASI290MM Mini",        1936, 1096, 2.90, 12, false, ASI_BAYER_RG, false, true,  false, false, false, 3.64, 3.2,  1.0,  14600.0, 0.80, 110, 600, 2, 0.15, 0x290B, 21.0},
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
