// One simulated camera: the state machine behind the SDK functions.
//
// The camera speaks in plain values and the SDK's codes; api.cpp translates the C calling
// convention (records, pointers) to these calls. Every public method is thread-safe: a mutex
// guards the state and a condition variable carries every wait (frame reads, the video thread's
// pacing, slot hand-over, the end of a capture), so no lock is held while the thread sleeps.
//
// An operation that has to let go of the lock (to join the video thread, to read a file, to copy
// or render a frame) decides again, after it takes the lock back, on what it finds then: it never
// acts on a state it saw before it let go.
#pragma once

#include "catalogue.h"
#include "cooler.h"
#include "frame.h"
#include "gps.h"
#include "mount.h"
#include "thermal.h"
#include "timing.h"
#include "video.h"

#include <ASICamera2.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace asisim {

// A control as the camera describes it.
struct ControlSpec {
    ASI_CONTROL_TYPE type;
    const char *name;
    const char *description;
    long min, max, def;
    bool auto_supported;
    bool writable;
};

// The shortest exposure of every camera (the Exposure control's minimum and auto exposure's floor).
inline constexpr long kExposureMinUs = 32;

struct Roi {
    int width = 0, height = 0, bin = 1;
    ASI_IMG_TYPE img_type = ASI_IMG_RAW8;
};

class Camera {
  public:
    // `sensor_seed` belongs to the camera itself (its hot pixels, bias pattern, PRNU, dust and
    // serial number: the same camera after every power-on); `run_seed` to this power-on (noise,
    // sky, mount), fresh unless the run is to repeat.
    Camera(const CameraModel &model, int id, uint64_t sensor_seed, uint64_t run_seed);
    ~Camera();
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    const CameraModel &model() const { return model_; }
    int id() const { return id_; }
    const std::string &key() const { return key_; }
    bool plugged() const;
    // Supported bins (ascending) and image types of the model.
    std::vector<int> bins() const;
    std::vector<ASI_IMG_TYPE> image_types() const;

    // Lifecycle.
    ASI_ERROR_CODE open();
    ASI_ERROR_CODE init();
    ASI_ERROR_CODE close();
    // Unplugging ends every activity; the camera comes back closed.
    void unplug();
    void plug();
    // Wakes every waiter so that it re-reads the clock (the time scale changed).
    void notify_clock_change();
    // Stops background work for good (reset, library unload); the camera then acts unplugged.
    void shut_down();

    // Identity and modes.
    ASI_ERROR_CODE get_flash_id(uint8_t out[8]);
    ASI_ERROR_CODE set_flash_id(const uint8_t id[8]);
    ASI_ERROR_CODE get_serial(uint8_t out[8]);
    ASI_ERROR_CODE supported_modes(std::vector<ASI_CAMERA_MODE> *out);
    ASI_ERROR_CODE get_mode(ASI_CAMERA_MODE *out);
    ASI_ERROR_CODE set_mode(int mode);

    // Controls.
    ASI_ERROR_CODE control_count(int *out);
    ASI_ERROR_CODE control_spec(int index, ControlSpec *out);
    ASI_ERROR_CODE get_control(int type, long *value, bool *automatic);
    ASI_ERROR_CODE set_control(int type, long value, int automatic);
    ASI_ERROR_CODE gain_offsets(int *offset_highest_dr, int *offset_unity_gain, int *gain_lowest_rn,
                                int *offset_lowest_rn);
    ASI_ERROR_CODE lmh_gain_offsets(int *low_gain, int *mid_gain, int *high_gain, int *high_offset);

    // Region of interest.
    ASI_ERROR_CODE set_roi(int width, int height, int bin, int img_type);
    ASI_ERROR_CODE get_roi(Roi *out);
    ASI_ERROR_CODE set_start(int x, int y);
    ASI_ERROR_CODE get_start(int *x, int *y);

    // Snapshot exposure.
    ASI_ERROR_CODE start_exposure(int dark);
    ASI_ERROR_CODE stop_exposure();
    ASI_ERROR_CODE exposure_status(ASI_EXPOSURE_STATUS *out);
    ASI_ERROR_CODE exposure_data(uint8_t *buf, long size, GpsFix *gps);

    // Video capture. wait_ms is simulated milliseconds, -1 without limit.
    ASI_ERROR_CODE start_video();
    ASI_ERROR_CODE stop_video();
    ASI_ERROR_CODE video_data(uint8_t *buf, long size, int wait_ms, GpsFix *gps);
    ASI_ERROR_CODE dropped_frames(int *out);

    // Guiding, dark subtraction, triggers, GPS.
    ASI_ERROR_CODE enable_dark(const char *path);
    ASI_ERROR_CODE disable_dark();
    ASI_ERROR_CODE pulse_on(int direction);
    ASI_ERROR_CODE pulse_off(int direction);
    ASI_ERROR_CODE soft_trigger(int start);
    ASI_ERROR_CODE set_trigger_output(int pin, int pin_high, long delay_us, long duration_us);
    ASI_ERROR_CODE get_trigger_output(int pin, bool *pin_high, long *delay_us, long *duration_us);
    ASI_ERROR_CODE gps_data(GpsFix *start_line, GpsFix *end_line);

  private:
    enum class Need { Open, Init };
    using Slot = VideoCapture::Slot;
    using SlotState = VideoCapture::SlotState;
    struct TriggerOutput {
        bool pin_high = true;
        long delay_us = 0, duration_us = 0;
    };

    // All below run with mutex_ held.
    ASI_ERROR_CODE ready(Need need) const;
    // Open, with an ST4 port, and a direction the port has (a pulse's common checks).
    ASI_ERROR_CODE guide_ready(int direction) const;
    // Every control and setting at its power-on value; `keep_cooler` keeps the cooler's switch
    // and target, which belong to the camera's hardware (init keeps them, a power-on does not).
    void power_on_settings(bool keep_cooler = false);
    // The camera's machine-wide state: taken over from the process that had the camera before
    // (when one did since this process last saved it), and saved for the next one.
    void adopt_saved_state();
    void save_state();
    // Saves the state and lets the camera go to other processes.
    void let_go();
    int control_index(int type) const;
    long value_of(ASI_CONTROL_TYPE type) const;
    void set_value(ASI_CONTROL_TYPE type, long value);
    double exposure_seconds() const;
    ReadoutSettings readout_settings() const;
    size_t frame_size() const;
    FrameRequest frame_request(double mid_scene_time, double exposure_s, bool dark);
    double sensor_temperature_c();
    bool thermal() const; // the thermal effect is on
    CoolerConditions cooler_conditions() const;
    double cooler_power_percent();
    void update_cooler();
    void finish_exposure_if_due();
    // The camera ready (`need`) with neither video capture nor an exposure running, as changing
    // the format or mode and starting either of them need. A capture still stopping is waited
    // for (the lock is let go meanwhile) and everything checked again; the result holds for as
    // long as the caller keeps the lock.
    ASI_ERROR_CODE ready_and_idle(std::unique_lock<std::mutex> &lock, Need need);
    void center_start();
    // A running ST4 pulse ends (pulse off, or the camera closing or going away).
    void end_pulse(int direction);
    void end_pulses();
    // Stops the current capture, if any, and returns once it is gone: joins its thread, or waits
    // for the thread that does. Lets go of the lock meanwhile; a capture started after the one
    // it stopped is left alone.
    void end_capture(std::unique_lock<std::mutex> &lock);
    void video_loop(VideoCapture *capture);
    void add_dropped(double frames);
    void auto_adjust(const uint8_t *frame, const FrameRequest &req);

    const CameraModel &model_;
    const int id_;
    const uint64_t sensor_seed_;
    const uint64_t seed_;   // of this power-on
    const std::string key_; // the camera's name in the state folder
    std::array<uint8_t, 8> serial_;
    std::vector<ControlSpec> controls_;
    std::vector<long> values_;
    std::vector<bool> auto_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;

    bool claimed_ = false;     // this process holds the camera (from open to close)
    uint64_t saved_token_ = 0; // the token of this object's last save
    bool plugged_ = true;
    bool shut_ = false;
    bool open_ = false;
    bool initialised_ = false;
    std::array<uint8_t, 8> flash_id_{};
    ASI_CAMERA_MODE mode_ = ASI_MODE_NORMAL;
    Roi roi_;
    int start_x_ = 0, start_y_ = 0;

    // Scene clock: simulated seconds of the camera's own activity (exposures, frames, guide
    // pulses). Idle time does not move the sky, so the same calls give the same images.
    double scene_time_ = 0.0;
    uint64_t frame_counter_ = 0;
    Mount mount_;
    double pulse_started_[4] = {};  // sim-clock start of running pulses
    double pulse_scene_on_[4] = {}; // scene time they started at
    bool pulse_on_[4] = {};

    SensorTemperature temperature_;

    // Snapshot.
    ASI_EXPOSURE_STATUS exp_status_ = ASI_EXP_IDLE;
    double exp_end_sim_ = 0.0;     // sim-clock instant the exposure and readout are done
    double exp_scene_start_ = 0.0; // scene time of the exposure start
    FrameRequest exp_request_;     // settings captured when the exposure started

    // Video: the current capture (running or stopping), null when there is none; the frames the
    // latest capture dropped; ring buffers kept from the previous capture for the next one.
    std::shared_ptr<VideoCapture> video_;
    int dropped_ = 0;
    std::vector<std::vector<uint8_t>> spare_ring_;

    std::shared_ptr<const DarkFrame> dark_;
    std::array<TriggerOutput, 2> trigger_out_{};
};

} // namespace asisim
