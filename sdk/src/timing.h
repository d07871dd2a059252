// Simulated time and the frame-rate model.
//
// Every duration the simulator honours (exposures, frame intervals, frame-read waits, the
// cooler) is measured on one library-wide clock whose speed the control API sets: simulated
// seconds per real second. Waiting code asks the clock for the real deadline of a simulated
// instant and re-checks after a wake-up, because the speed may change while it waits.
#pragma once

#include "catalogue.h"

#include <ASICamera2.h>

#include <chrono>
#include <cstdint>

namespace asisim {

namespace sim_clock {

using RealTime = std::chrono::steady_clock::time_point;

// Simulated seconds since the library was loaded.
double now();
// Simulated seconds per real second; values of 0 or below are ignored.
void set_scale(double factor);
double scale();
// The speed at load and after a reset: ASISIM_TIME_SCALE, else 1.
double load_time_scale();
// The real instant at which the simulated clock reaches `sim_t` at the present speed (clamped
// to a far future so that condition-variable waits stay well defined).
RealTime real_deadline(double sim_t);

} // namespace sim_clock

// What determines how fast a camera can deliver frames.
struct ReadoutSettings {
    const CameraModel *model = nullptr;
    int width = 0, height = 0, bin = 1; // ROI in output pixels
    ASI_IMG_TYPE img_type = ASI_IMG_RAW8;
    int bandwidth_percent = 50; // USB bandwidth control, 40..100
    bool high_speed = false;
};

// Bytes per output pixel of an image type.
int pixel_bytes(ASI_IMG_TYPE type);
// Link rate of the camera's USB connection at full bandwidth, bytes per simulated second.
double usb_bytes_per_second(const CameraModel &m);
// Share of the link rate that a BandWidth setting (40..100) leaves the camera.
double bandwidth_share(int bandwidth_percent);
// Shortest time between frames at zero exposure: the larger of the sensor's row readout and the
// USB transfer of the frame's bytes at the bandwidth setting.
double readout_seconds(const ReadoutSettings &s);
// Time between video frames at an exposure (seconds).
double frame_interval_seconds(const ReadoutSettings &s, double exposure_s);
// How late a video frame arrives after its nominal time, from the camera's seed and the frame's
// index: a few percent of the interval at most, never negative.
double frame_jitter_seconds(uint64_t seed, uint64_t frame, double interval_s);

} // namespace asisim
