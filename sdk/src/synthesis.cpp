// Frame synthesis: the layout of every image type, and the readout of one frame.
#include "synthesis.h"
#include "sky.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace asisim {

namespace {

double env_double(const char *name, double fallback, double lo, double hi) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v < lo || v > hi)
        return fallback;
    return v;
}

int bytes_per_pixel(ASI_IMG_TYPE type) {
    switch (type) {
    case ASI_IMG_RAW16:
        return 2;
    case ASI_IMG_RGB24:
        return 3;
    default:
        return 1;
    }
}

} // namespace

const Optics &optics() {
    static const Optics value = [] {
        Optics o;
        o.focal_mm = env_double("ASISIM_FOCAL_MM", o.focal_mm, 10.0, 20000.0);
        o.aperture_mm = env_double("ASISIM_APERTURE_MM", o.aperture_mm, 5.0, 2000.0);
        o.seeing_fwhm_arcsec = env_double("ASISIM_SEEING_ARCSEC", o.seeing_fwhm_arcsec, 0.3, 20.0);
        o.sky_mag_per_arcsec2 = env_double("ASISIM_SKY_MAG", o.sky_mag_per_arcsec2, 10.0, 25.0);
        return o;
    }();
    return value;
}

double pixel_scale_arcsec(const CameraModel &model) {
    return 206.264806 * model.pixel_um / optics().focal_mm;
}

size_t frame_bytes(const FrameRequest &req) {
    if (req.width <= 0 || req.height <= 0)
        return 0;
    return size_t(req.width) * size_t(req.height) * size_t(bytes_per_pixel(req.img_type));
}

void render_frame(const FrameRequest &req, uint8_t *out) {
    const size_t n = frame_bytes(req);
    if (out == nullptr || n == 0)
        return;
    std::memset(out, 0, n);
    if (req.model == nullptr)
        return;
    // Placeholder level: bias plus a faint ramp; the physics replaces this.
    const int bpp = bytes_per_pixel(req.img_type);
    for (int y = 0; y < req.height; ++y) {
        for (int x = 0; x < req.width; ++x) {
            const unsigned v = unsigned((x + y + req.offset) & 0xff);
            uint8_t *p = out + (size_t(y) * size_t(req.width) + size_t(x)) * size_t(bpp);
            if (bpp == 2) {
                p[0] = 0;
                p[1] = uint8_t(v);
            } else {
                for (int c = 0; c < bpp; ++c)
                    p[c] = uint8_t(v);
            }
        }
    }
}

} // namespace asisim
