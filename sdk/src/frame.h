// The frame request: everything the camera state machine tells the synthesis about one frame
// (readout window, sensor settings, time, pointing and the light in front of the telescope).
#pragma once

#include "catalogue.h"
#include "celestial.h"
#include "effects.h"

#include <ASICamera2.h>

#include <cstddef>
#include <cstdint>
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

} // namespace asisim
