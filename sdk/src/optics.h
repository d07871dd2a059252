// The telescope in front of every simulated camera and the site's sky: focal length, aperture,
// seeing and sky brightness, and what they make of a camera's pixels.
#pragma once

#include "catalogue.h"
#include "frame.h"

namespace asisim {

// Telescope and site, read once from the environment (ASISIM_FOCAL_MM, ASISIM_APERTURE_MM,
// ASISIM_SEEING_ARCSEC, ASISIM_SKY_MAG); values out of a sane range fall back to the defaults.
struct Optics {
    double focal_mm = 500.0;
    double aperture_mm = 90.0;
    double seeing_fwhm_arcsec = 2.5;
    double sky_mag_per_arcsec2 = 19.5; // suburban sky
};

const Optics &optics();

// Detected photoelectrons per second from a magnitude-0 star (mono sensor) through a telescope of
// this aperture (0: the default).
double electrons_mag0(const CameraModel &model, double aperture_mm = 0.0);
// Arcseconds per unbinned pixel of this camera behind the telescope (focal_mm 0: the default).
double pixel_scale_arcsec(const CameraModel &model, double focal_mm = 0.0);
// Gaussian sigma of a star's image in unbinned pixels: seeing, diffraction and optics together.
double psf_sigma_pixels(const CameraModel &model, double focal_mm = 0.0, double aperture_mm = 0.0);
// The telescope of a frame: its own focal length and aperture, or the defaults.
double frame_focal_mm(const FrameRequest &req);
double frame_aperture_mm(const FrameRequest &req);

} // namespace asisim
