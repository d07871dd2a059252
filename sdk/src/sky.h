// The telescope in front of every simulated camera, and the sky it looks at.
#pragma once

#include "catalogue.h"

namespace asisim {

// Telescope and site, read once from the environment (ASISIM_FOCAL_MM, ASISIM_APERTURE_MM,
// ASISIM_SEEING_ARCSEC, ASISIM_SKY_MAG); values out of a sane range fall back to the defaults.
struct Optics {
    double focal_mm = 500.0;
    double aperture_mm = 90.0;
    double seeing_fwhm_arcsec = 2.5;
    double sky_mag_per_arcsec2 = 20.0; // suburban sky
};

const Optics &optics();

// Arcseconds per unbinned pixel of this camera behind the telescope.
double pixel_scale_arcsec(const CameraModel &model);

} // namespace asisim
