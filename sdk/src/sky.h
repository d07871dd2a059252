// The telescope in front of every simulated camera, and the sky it looks at.
#pragma once

#include "catalogue.h"
#include "frame.h"
#include "night.h"
#include "starcatalog.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace asisim {

// One star: position within its tile in arcseconds, visual magnitude and its flux relative to
// magnitude 0, and the fractions of a mono pixel's signal that the red, green and blue pixels of
// a colour sensor detect.
struct Star {
    float ra, dec;
    float mag, flux;
    float share[3];
};

// The shares of a mono pixel's signal that red, green and blue pixels detect from a star of
// colour index B-V (NaN: a solar colour).
void star_colour(float bv, float share[3]);

// The optics' pincushion: a star whose undistorted image lies r unbinned pixels from the sensor's
// centre (width / 2, height / 2) is drawn r (1 + k r^2) from it. k in 1 / pixel^2 for this
// camera's sensor (0.05 % of the half-diagonal at the corners), 0 with the star_profile effect off.
double radial_distortion(const CameraModel &model, uint32_t effects);

// Stars of one 10' x 10' tile of the sky; the same for every camera and every run.
std::shared_ptr<const std::vector<Star>> sky_tile(int32_t tx, int32_t ty);

// The light falling on a rectangle of the sensor during one exposure: sky background through
// the optics' vignetting, and the stars at the frame's pointing and mount offset. Built once per
// frame; rows are then produced one at a time so that the frame never exists as electrons.
class SkyScene {
  public:
    // Region in sensor pixels (it may reach past the sensor's edges; the sky goes on there).
    SkyScene(const FrameRequest &req, int64_t x0, int64_t y0, int width, int height);
    // Writes `base` plus the photoelectrons of region row r (0-based) into `row` (width values);
    // with `prnu`, each pixel's light is scaled by 1 + prnu_scale * prnu[i] (|prnu[i]| at most
    // prnu_max). Returns an upper bound of the values written.
    float light_row(int r, float base, const float *prnu, float prnu_scale, float prnu_max, float *row) const;

  private:
    struct Stamp {
        int32_t x0, nx;     // region columns
        int32_t y0, ny;     // region rows
        uint32_t px[2], py; // offsets into pool_: x profile for even/odd sensor rows, y profile
        float px_max;       // largest value of the x profiles
    };
    // How a star's light lands on the sensor in this frame: electrons of a magnitude-0 star over
    // the exposure, the sensor's centre and half-diagonal, the profile's width and shape, the
    // optics' off-axis stretch and distortion, and how far past the region a star still shows.
    struct StarImage {
        const CameraModel *model;
        double e0, cx, cy, field;
        double sigma, stretch, pull, margin;
        bool moffat;
    };
    // The steps of the constructor: the background through the vignetting (and the light dome's
    // gradient), the field's offset (the mount plus the seeing's tip-tilt), the stars' image,
    // the stars of the real or the procedural sky, and the stamps indexed by row.
    void background(const FrameRequest &req, const NightState &night, double scale);
    void field_offset(const FrameRequest &req, double scale, double *dx_px, double *dy_px) const;
    static StarImage star_image(const FrameRequest &req, double e0);
    void real_sky(const FrameRequest &req, const StarImage &image, double scale, double dx, double dy);
    void procedural_sky(const FrameRequest &req, const StarImage &image, double scale, double dx, double dy);
    void index_stamps();
    // One star at sensor position (sx, sy) before the optics' distortion; with a trail (tracking
    // off), the star moves by (trail_x, trail_y) pixels over the exposure, centred on (sx, sy).
    void draw(const StarImage &image, double sx, double sy, double flux, const float share[3],
              double trail_x = 0.0, double trail_y = 0.0);
    // A Gaussian image of the given widths. Charge past a pixel's full well stays there (CMOS
    // pixels clip without spilling into their column; the readout clips them).
    void add_star(double cx, double cy, double electrons, const float share[3], double sigma_x,
                  double sigma_y);
    // A trail: the same Gaussian image swept at an even speed along the segment (tx, ty) pixels
    // long centred on (cx, cy), evaluated in closed form per pixel into trail_, so that its cost
    // and memory follow the pixels it covers, never the exposure.
    void add_trail(double cx, double cy, double tx, double ty, double electrons, const float share[3],
                   double sigma_x, double sigma_y);
    // Each row's largest trail value, for light_row's bound.
    void finish_trails();
    void add_extended(double ra_origin, double dec_origin, double scale, double e0, const CameraModel &m);
    // Catalogue and filler stars at the frame's pointing, on the sensor; the unresolved glow of
    // stars too faint to draw one by one goes into `glow_e` (electrons per pixel).
    // (dx, dy): the mount's offset of the field; (trail_x, trail_y): how far the stars move
    // over the exposure when the mount does not track, in pixels.
    void real_stars(const FrameRequest &req, double scale, double e0, double sigma, double margin, double dx,
                    double dy, std::vector<PlacedStar> *out, double *glow_e, double *trail_x,
                    double *trail_y) const;
    // The bundled deep-sky objects at the frame's pointing, drawn as extended light.
    void real_objects(const FrameRequest &req, double scale, double e0, double dx, double dy);
    // Adds an even glow of `electrons` per pixel (through the vignetting) to the background.
    void add_glow(double electrons, const CameraModel &m);

    ASI_BAYER_PATTERN bayer_;
    int64_t x0_, y0_;
    int width_, height_;
    bool color_;
    std::vector<float> sky_[2]; // per column, background for even and odd sensor rows
    float sky_max_[2] = {};     // their largest values
    std::vector<float> vig_y_;  // per row
    std::vector<Stamp> stamps_;
    std::vector<float> pool_;
    std::vector<uint32_t> row_first_, row_stamps_; // stamps touching each row
    std::vector<float> trail_, trail_max_;         // trailed starlight per pixel, its row maxima
};

} // namespace asisim
