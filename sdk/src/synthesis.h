// Image synthesis behind one seam: scene (sky, optics, mount) + sensor + readout.
//
// The camera state machine fills a FrameRequest and asks for the bytes of one frame; it knows
// nothing of the physics. Everything here is deterministic for (camera seeds, frame index).
#pragma once

#include "catalogue.h"
#include "celestial.h"
#include "effects.h"

#include <ASICamera2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace asisim {

// A dark frame loaded for subtraction: one value per output sample of the ROI it was taken at.
struct DarkFrame {
    int width = 0, height = 0; // pixels
    int channels = 1;          // 1 (8-bit grey) or 3 (24-bit colour)
    std::vector<uint8_t> data; // width * height * channels, top row first
};

struct FrameRequest {
    const CameraModel *model = nullptr;
    // Readout geometry: ROI in output (binned) pixels, start position in binned pixels.
    int width = 0, height = 0, bin = 1;
    int start_x = 0, start_y = 0;
    ASI_IMG_TYPE img_type = ASI_IMG_RAW8;
    ASI_FLIP_STATUS flip = ASI_FLIP_NONE;
    bool mono_bin = false; // colour cameras: bin to luminance
    // Exposure and sensor settings.
    double exposure_s = 0.0;
    bool dark = false; // shutter closed: no light
    int gain = 0;
    int offset = 0; // bias, ADU at the native bit depth
    double sensor_temp_c = 20.0;
    int wb_r = 50, wb_b = 50; // white balance of RGB24 and Y8: red and blue gain wb / 50
    int gamma = 50;
    // Time and pointing: simulated seconds since the camera's epoch (middle of the exposure)
    // and the mount's offset of the field on the sensor, in unbinned pixels.
    double sim_time_s = 0.0;
    double field_dx_px = 0.0, field_dy_px = 0.0;
    // The atmosphere's tip-tilt over this exposure: one sigma per axis of the field's shift,
    // arcseconds (the mount model's seeing jitter).
    double jitter_arcsec = 0.0;
    uint64_t seed = 0;                     // per camera and power-on: noise, sky, mount
    uint64_t sensor_seed = 0;              // per camera for good: hot pixels, bias pattern, PRNU, dust
    uint64_t frame_index = 0;              // per frame, for noise
    const DarkFrame *dark_frame = nullptr; // subtract when set and matching the ROI
    uint32_t effects = ~0u;                // Effect bits that are on
    LightSource light;                     // what the telescope looks at
    // The real sky: where the telescope points (unset: the procedural sky), and its focal length
    // and aperture (0: ASISIM_FOCAL_MM, ASISIM_APERTURE_MM). field_dx_px/field_dy_px hold the
    // mount's tracking errors on top of the pointing.
    Pointing pointing;
};

// Bytes of one frame of the request's ROI and image type.
size_t frame_bytes(const FrameRequest &req);

// The request's exposure in seconds, made sane: not negative, not NaN, at most ten million.
inline double exposure_seconds(const FrameRequest &req) {
    const double t = req.exposure_s;
    return t > 0.0 ? (t < 1e7 ? t : 1e7) : 0.0;
}

// Renders one frame into `out` (exactly frame_bytes(req) bytes). Thread-safe: may run on several
// cameras' threads at once. RAW8 is the ADC's top 8 bits, RAW16 its value shifted to the top bits
// (little-endian), RGB24 B, G, R bytes, Y8 luminance; bins sum their pixels' charge (colour
// sensors bin same-colour pixels and keep the mosaic unless mono_bin); flips mirror the window.
void render_frame(const FrameRequest &req, uint8_t *out);

// The kernels frames are made with: "scalar", "sse2" or "avx2" (see ASISIM_SIMD).
const char *simd_path_name();

// Mount model of one camera's telescope: slow drift (periodic error, polar misalignment) plus
// ST4 guide pulses at the guide rate with declination backlash, all in simulated time (settings
// in mount.h). Right ascension runs along
// the sensor's x axis, declination along y: east pulses move the field +x, west -x, north -y,
// south +y. Not thread-safe by itself; the camera holds its lock around calls.
class Mount {
  public:
    explicit Mount(uint64_t seed = 0);
    ~Mount();
    void guide_on(ASI_GUIDE_DIRECTION dir, double t);
    void guide_off(ASI_GUIDE_DIRECTION dir, double t);
    // Field offset on the sensor in unbinned pixels at time t (for the camera's pixel scale).
    void field_offset(double t, const CameraModel &model, double *dx_px, double *dy_px) const;
    // The seeing's centroid jitter over an exposure, one sigma per axis, arcseconds.
    double jitter_arcsec(double exposure_s) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Dark-frame BMP reader: every byte of the file is hostile. Returns ASI_SUCCESS,
// ASI_ERROR_INVALID_PATH (missing or unreadable) or ASI_ERROR_INVALID_FILEFORMAT (malformed,
// truncated, oversized, lying header, or not width x height).
ASI_ERROR_CODE load_dark_bmp(const char *path, int width, int height, DarkFrame *out);

} // namespace asisim
