// The telescope and the site's sky, read once from the environment.
#include "optics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace asisim {

namespace {

// Photons per second per cm2 of a magnitude-0 star across 400-700 nm.
constexpr double kPhotonsMag0 = 3.0e6;
constexpr double kThroughput = 0.85; // lenses or mirrors and the sensor window
constexpr double kBandQe = 0.85;     // average QE over the band as a fraction of the peak

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

} // namespace

double electrons_mag0(const CameraModel &m, double aperture_mm) {
    const double radius_cm = (aperture_mm > 0.0 ? aperture_mm : optics().aperture_mm) / 20.0;
    return kPhotonsMag0 * std::numbers::pi * radius_cm * radius_cm * kThroughput * m.qe_peak * kBandQe;
}

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

double pixel_scale_arcsec(const CameraModel &model, double focal_mm) {
    return 206.264806 * model.pixel_um / (focal_mm > 0.0 ? focal_mm : optics().focal_mm);
}

double frame_focal_mm(const FrameRequest &req) {
    return req.pointing.focal_mm > 0.0 ? req.pointing.focal_mm : optics().focal_mm;
}

double frame_aperture_mm(const FrameRequest &req) {
    return req.pointing.aperture_mm > 0.0 ? req.pointing.aperture_mm : optics().aperture_mm;
}

double psf_sigma_pixels(const CameraModel &model, double focal_mm, double aperture_mm) {
    const Optics &o = optics();
    const double aperture = aperture_mm > 0.0 ? aperture_mm : o.aperture_mm;
    const double diffraction = 1.03 * 0.55e-3 / aperture * 206264.806; // FWHM, arcsec
    constexpr double kOpticsFwhm = 1.0;                                // residual aberrations
    const double fwhm = std::sqrt(o.seeing_fwhm_arcsec * o.seeing_fwhm_arcsec + diffraction * diffraction +
                                  kOpticsFwhm * kOpticsFwhm);
    return std::max(0.3, fwhm / 2.3548 / pixel_scale_arcsec(model, focal_mm));
}

} // namespace asisim
