// Camera models of the simulator: published sensor facts, one row per model.
#pragma once

#include <ASICamera2.h>

#include <cstdint>
#include <span>
#include <string_view>

namespace asisim {

struct CameraModel {
    const char *name;        // as the SDK reports it, e.g. "ZWO ASI294MC Pro"
    int width, height;       // full sensor, pixels
    double pixel_um;         // pixel size, micrometres
    int bit_depth;           // ADC bits
    bool color;              // Bayer sensor
    ASI_BAYER_PATTERN bayer; // meaningful when color
    bool cooled;
    bool st4;
    bool usb3;
    bool trigger;
    bool gps;
    double e_per_adu_unity;   // electrons per ADU at gain 0 (ElecPerADU of the camera record)
    double read_noise_e;      // read noise at gain 0, electrons
    double read_noise_high_e; // read noise at the highest gain, electrons
    double full_well_e;       // full well, electrons
    double qe_peak;           // peak quantum efficiency, 0..1
    int unity_gain;           // gain setting at which 1 e- = 1 ADU (at the native bit depth)
    int max_gain;             // gain control maximum
    int max_bin;              // largest bin factor (1..max_bin supported)
    double dark_e_per_s_25c;  // dark current at 25 C, e-/s/pixel
    uint16_t usb_pid;         // USB product ID (vendor 0x03C3)
    // Highest full-frame rate at 8 bits over USB3 (or USB2 for USB2 models), frames/s; the timing
    // model scales it by ROI, bit depth and bandwidth.
    double max_fps_full_8bit;
    // Dual conversion gain: from this gain setting on the pixel reads through its high-conversion
    // gain, and read noise drops there in a step (0: the sensor has no such mode).
    int hcg_gain;
    double read_noise_lcg_top_e; // read noise just below the switch, electrons
    double read_noise_hcg_e;     // read noise at the switch, electrons
    // Amplifier glow at the sensor's glowing corners, e-/s per pixel (0: none).
    double glow_e_per_s;
};

// How a model's sensor changes with gain and temperature: its published read-noise curve, and the
// drift of its black level and amplifier glow. One row per model, in the order of the catalogue.
struct ReadNoisePoint {
    int gain;
    double electrons;
};
struct SensorCurves {
    const char *name; // the model's name, as in the catalogue's row
    // Read noise at chart gains, ascending; interpolated linearly between points. A conversion-gain
    // switch is two points one gain step apart (the figure just below the switch and at it). No
    // points: the model's chart is the smooth fall from read_noise_e to read_noise_high_e.
    int read_noise_points;
    ReadNoisePoint read_noise[12];
    // Black level drift, native ADU per degree C away from kCurveReferenceC (rising when warmer).
    double bias_adu_per_c;
    // Amplifier glow doubles every this many degrees (glow_e_per_s is its rate at gain 0 and the
    // glow reference temperature below) ...
    double glow_doubling_c;
    // ... and grows log-linearly with gain to this factor at the gain maximum.
    double glow_gain_factor;
};
// Temperature at which the catalogue's bias figures hold, degrees C.
inline constexpr double kCurveReferenceC = 20.0;
// Temperature at which a model's glow rate (glow_e_per_s) holds: where its darks are usually
// taken, 0 C on a cooled camera, 20 C on an uncooled one.
constexpr double glow_reference_c(const CameraModel &m) {
    return m.cooled ? 0.0 : 20.0;
}

std::span<const CameraModel> catalogue();
// The curves of a catalogue model (same row).
const SensorCurves &sensor_curves(const CameraModel &m);
// Exact-name lookup; null when the catalogue has no such model.
const CameraModel *find_model(std::string_view name);

} // namespace asisim
