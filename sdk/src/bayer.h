// The colour filter array of a one-shot-colour sensor.
#pragma once

#include <ASICamera2.h>

#include <cstdint>

namespace asisim {

// Colour filter over sensor pixel (x, y) of a Bayer sensor: 0 red, 1 green, 2 blue.
constexpr int bayer_colour(ASI_BAYER_PATTERN pattern, int64_t x, int64_t y) {
    const int cell = int(x & 1) | (int(y & 1) << 1); // 0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right
    switch (pattern) {
    case ASI_BAYER_BG:
        return cell == 0 ? 2 : cell == 3 ? 0 : 1;
    case ASI_BAYER_GR:
        return cell == 1 ? 0 : cell == 2 ? 2 : 1;
    case ASI_BAYER_GB:
        return cell == 1 ? 2 : cell == 2 ? 0 : 1;
    case ASI_BAYER_RG:
    default:
        return cell == 0 ? 0 : cell == 3 ? 2 : 1;
    }
}

} // namespace asisim
