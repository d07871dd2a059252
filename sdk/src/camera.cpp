// One camera's state machine: lifecycle, identity and modes, controls, region of interest and
// snapshots. Its video capture is in camera_video.cpp; guiding, dark frames, triggers and GPS in
// camera_auxiliary.cpp; the sensor's temperature in thermal.cpp.
#include "camera.h"

#include "effects.h"
#include "machine.h"
#include "optics.h"
#include "synthesis.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <system_error>

namespace asisim {

namespace {

constexpr long kExposureMaxUs = 2'000'000'000;

int default_offset(const CameraModel &m) {
    return m.bit_depth >= 16 ? 50 : m.bit_depth >= 14 ? 30 : 8;
}

std::vector<ControlSpec> controls_of(const CameraModel &m) {
    std::vector<ControlSpec> c;
    const long max_gain = m.max_gain;
    c.push_back({ASI_GAIN, "Gain", "Analogue gain, 0.1 dB steps", 0, max_gain, m.unity_gain, true, true});
    c.push_back({ASI_EXPOSURE, "Exposure", "Exposure time in microseconds", kExposureMinUs, kExposureMaxUs,
                 10000, true, true});
    if (m.color) {
        c.push_back({ASI_WB_R, "WB_R", "White balance, red channel", 1, 99, 52, true, true});
        c.push_back({ASI_WB_B, "WB_B", "White balance, blue channel", 1, 99, 95, true, true});
    }
    c.push_back({ASI_OFFSET, "Offset", "Black level offset in ADU", 0, m.bit_depth >= 14 ? 240 : 100,
                 default_offset(m), false, true});
    c.push_back({ASI_BANDWIDTHOVERLOAD, "BandWidth", "Share of the USB bandwidth used, percent", 40, 100, 50,
                 true, true});
    c.push_back(
        {ASI_FLIP, "Flip", "Image flip: 0 none, 1 horizontal, 2 vertical, 3 both", 0, 3, 0, false, true});
    c.push_back({ASI_AUTO_MAX_GAIN, "AutoExpMaxGain", "Highest gain automatic exposure may use", 0, max_gain,
                 max_gain / 2, false, true});
    c.push_back({ASI_AUTO_MAX_EXP, "AutoExpMaxExpMS", "Longest exposure automatic exposure may use, ms", 1,
                 60000, 100, false, true});
    c.push_back({ASI_AUTO_TARGET_BRIGHTNESS, "AutoExpTargetBrightness",
                 "Mean brightness automatic exposure aims at", 50, 160, 100, false, true});
    c.push_back(
        {ASI_HARDWARE_BIN, "HardwareBin", "Bin on the sensor instead of in software", 0, 1, 0, false, true});
    c.push_back({ASI_HIGH_SPEED_MODE, "HighSpeedMode", "Short ADC conversion for faster 8-bit readout", 0, 1,
                 0, false, true});
    if (m.color)
        c.push_back({ASI_MONO_BIN, "MonoBin", "Bin colour pixels to luminance", 0, 1, 0, false, true});
    c.push_back({ASI_TEMPERATURE, "Temperature", "Sensor temperature, tenths of a degree Celsius", -500, 1000,
                 200, false, false});
    c.push_back({ASI_GAMMA, "Gamma", "Gamma of 8-bit output, 50 is linear", 1, 100, 50, false, true});
    if (m.cooled) {
        c.push_back(
            {ASI_COOLER_POWER_PERC, "CoolPowerPerc", "Cooler power, percent", 0, 100, 0, false, false});
        c.push_back({ASI_TARGET_TEMP, "TargetTemp", "Cooler target temperature, degrees Celsius", -40, 30, 0,
                     false, true});
        c.push_back({ASI_COOLER_ON, "CoolerOn", "Cooler on (1) or off (0)", 0, 1, 0, false, true});
        c.push_back(
            {ASI_ANTI_DEW_HEATER, "AntiDewHeater", "Heater of the sensor window", 0, 1, 0, false, true});
    }
    if (m.gps) {
        c.push_back({ASI_GPS_SUPPORT, "GPSSupport", "GPS receiver present", 0, 1, 1, false, false});
        c.push_back({ASI_GPS_START_LINE, "GPSStartLine", "Row whose exposure start the first GPS stamp marks",
                     0, m.height - 1, 0, false, true});
        c.push_back({ASI_GPS_END_LINE, "GPSEndLine", "Row whose exposure start the second GPS stamp marks", 0,
                     m.height - 1, m.height - 1, false, true});
    }
    return c;
}

} // namespace

Camera::Camera(const CameraModel &model, int id, uint64_t sensor_seed, uint64_t run_seed)
    : model_(model), id_(id), sensor_seed_(sensor_seed), seed_(run_seed),
      key_(machine::camera_key(model, id)), controls_(controls_of(model)), mount_(run_seed) {
    // Serial number: stable for a model and position, so a test can expect it.
    uint64_t s = sensor_seed ^ 0x5e71a1ull;
    for (auto &b : serial_) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        b = static_cast<uint8_t>(s >> 56);
    }
    std::lock_guard lock(mutex_);
    power_on_settings();
    temperature_.start(warm_temperature_c(scene_time_, thermal()), sim_clock::now());
}

Camera::~Camera() {
    shut_down();
}

bool Camera::plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_ && !shut_;
}

std::vector<int> Camera::bins() const {
    std::vector<int> b;
    for (int i = 1; i <= model_.max_bin; ++i)
        b.push_back(i);
    return b;
}

std::vector<ASI_IMG_TYPE> Camera::image_types() const {
    if (model_.color)
        return {ASI_IMG_RAW8, ASI_IMG_RGB24, ASI_IMG_RAW16, ASI_IMG_Y8};
    return {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_Y8};
}

// ---- helpers (mutex_ held) ----

ASI_ERROR_CODE Camera::ready(Need need) const {
    if (!plugged_ || shut_)
        return ASI_ERROR_CAMERA_REMOVED;
    if (!open_ || (need == Need::Init && !initialised_))
        return ASI_ERROR_CAMERA_CLOSED;
    return ASI_SUCCESS;
}

void Camera::power_on_settings(bool keep_cooler) {
    const long cooler_on = keep_cooler ? value_of(ASI_COOLER_ON) : 0;
    const long target = keep_cooler ? value_of(ASI_TARGET_TEMP) : 0;
    values_.clear();
    auto_.clear();
    for (const ControlSpec &c : controls_) {
        values_.push_back(c.def);
        auto_.push_back(false);
    }
    if (keep_cooler) {
        set_value(ASI_COOLER_ON, cooler_on);
        set_value(ASI_TARGET_TEMP, target);
    }
    mode_ = ASI_MODE_NORMAL;
    roi_ = Roi{model_.width, model_.height, 1, ASI_IMG_RAW8};
    start_x_ = start_y_ = 0;
    exp_status_ = ASI_EXP_IDLE;
    dark_.reset();
    trigger_out_ = {};
    dropped_ = 0;
}

int Camera::control_index(int type) const {
    for (size_t i = 0; i < controls_.size(); ++i)
        if (controls_[i].type == type)
            return static_cast<int>(i);
    return -1;
}

long Camera::value_of(ASI_CONTROL_TYPE type) const {
    const int i = control_index(type);
    return i < 0 ? 0 : values_[static_cast<size_t>(i)];
}

void Camera::set_value(ASI_CONTROL_TYPE type, long value) {
    const int i = control_index(type);
    if (i >= 0)
        values_[static_cast<size_t>(i)] = value;
}

double Camera::exposure_seconds() const {
    return static_cast<double>(value_of(ASI_EXPOSURE)) * 1e-6;
}

ReadoutSettings Camera::readout_settings() const {
    ReadoutSettings s;
    s.model = &model_;
    s.width = roi_.width;
    s.height = roi_.height;
    s.bin = roi_.bin;
    s.img_type = roi_.img_type;
    // Automatic bandwidth takes what the link offers.
    const int ib = control_index(ASI_BANDWIDTHOVERLOAD);
    s.bandwidth_percent =
        ib >= 0 && auto_[static_cast<size_t>(ib)] ? 100 : static_cast<int>(value_of(ASI_BANDWIDTHOVERLOAD));
    s.high_speed = value_of(ASI_HIGH_SPEED_MODE) != 0;
    return s;
}

size_t Camera::frame_size() const {
    return static_cast<size_t>(roi_.width) * static_cast<size_t>(roi_.height) *
           static_cast<size_t>(pixel_bytes(roi_.img_type));
}

CoolerConditions Camera::cooler_conditions() const {
    CoolerConditions c;
    c.warm_c = warm_temperature_c(scene_time_, thermal());
    c.ambient_c = ambient_temperature_c(scene_time_, thermal());
    c.on = model_.cooled && value_of(ASI_COOLER_ON) != 0;
    c.target_c = static_cast<double>(value_of(ASI_TARGET_TEMP));
    return c;
}

bool Camera::thermal() const {
    return effect_on(effects(), kEffectThermal);
}

void Camera::update_cooler() {
    const double now = sim_clock::now();
    temperature_.update(cooler_conditions(), now);
}

double Camera::sensor_temperature_c() {
    update_cooler();
    return temperature_.celsius();
}

double Camera::cooler_power_percent() {
    update_cooler();
    return 100.0 * cooler_power(temperature_.celsius(), cooler_conditions());
}

FrameRequest Camera::frame_request(double mid_scene_time, double exposure_s, bool dark) {
    FrameRequest r;
    r.model = &model_;
    r.width = roi_.width;
    r.height = roi_.height;
    r.bin = roi_.bin;
    r.start_x = start_x_;
    r.start_y = start_y_;
    r.img_type = roi_.img_type;
    r.flip = static_cast<ASI_FLIP_STATUS>(value_of(ASI_FLIP));
    r.mono_bin = model_.color && value_of(ASI_MONO_BIN) != 0;
    r.exposure_s = exposure_s;
    r.dark = dark;
    r.gain = static_cast<int>(value_of(ASI_GAIN));
    r.offset = static_cast<int>(value_of(ASI_OFFSET));
    r.sensor_temp_c = sensor_temperature_c();
    if (model_.color) {
        r.wb_r = static_cast<int>(value_of(ASI_WB_R));
        r.wb_b = static_cast<int>(value_of(ASI_WB_B));
    }
    r.gamma = static_cast<int>(value_of(ASI_GAMMA));
    r.sim_time_s = mid_scene_time;
    r.pointing = pointing_for_frame(id_, mid_scene_time - exposure_s / 2.0);
    mount_.field_offset(mid_scene_time, model_, &r.field_dx_px, &r.field_dy_px);
    r.jitter_arcsec = mount_.jitter_arcsec(exposure_s);
    if (r.pointing.focal_mm > 0.0) {
        // The mount's offsets are angles: a camera behind a longer telescope sees them larger.
        const double factor = r.pointing.focal_mm / optics().focal_mm;
        r.field_dx_px *= factor;
        r.field_dy_px *= factor;
    }
    if (r.pointing.set && r.pointing.angle_deg != 0.0) {
        // The mount moves the field in right ascension and declination: on a sensor turned by the
        // position angle, east and north run along turned axes (east along +y at 90 degrees).
        const double a = r.pointing.angle_deg * std::numbers::pi / 180.0;
        const double ra = r.field_dx_px, dec = r.field_dy_px;
        r.field_dx_px = ra * std::cos(a) - dec * std::sin(a);
        r.field_dy_px = ra * std::sin(a) + dec * std::cos(a);
    }
    r.seed = seed_;
    r.sensor_seed = sensor_seed_;
    r.frame_index = frame_counter_++;
    r.dark_frame = dark_.get();
    r.effects = effects();
    r.light = light_source(id_);
    return r;
}

void Camera::finish_exposure_if_due() {
    if (exp_status_ == ASI_EXP_WORKING && sim_clock::now() >= exp_end_sim_)
        exp_status_ = ASI_EXP_SUCCESS;
}

ASI_ERROR_CODE Camera::ready_and_idle(std::unique_lock<std::mutex> &lock, Need need) {
    for (;;) {
        if (const ASI_ERROR_CODE e = ready(need))
            return e;
        if (!video_)
            break;
        if (video_->state == VideoCapture::State::Running)
            return ASI_ERROR_VIDEO_MODE_ACTIVE;
        end_capture(lock); // still stopping: see it gone, then decide again
    }
    finish_exposure_if_due();
    if (exp_status_ == ASI_EXP_WORKING)
        return ASI_ERROR_EXPOSURE_IN_PROGRESS;
    return ASI_SUCCESS;
}

void Camera::center_start() {
    const int max_w = model_.width / roi_.bin, max_h = model_.height / roi_.bin;
    start_x_ = std::max(0, (max_w - roi_.width) / 2);
    start_y_ = std::max(0, (max_h - roi_.height) / 2);
    if (model_.color) { // keep the Bayer phase of the full frame
        start_x_ &= ~1;
        start_y_ &= ~1;
    }
}

// ---- lifecycle ----

void Camera::adopt_saved_state() {
    machine::SavedState st;
    const machine::Load loaded = machine::load(key_, &st);
    if (loaded == machine::Load::Damaged) {
        std::fprintf(stderr,
                     "asisim: the saved state of camera %d (%s) in \"%s\" is damaged; the camera starts "
                     "from power-on\n",
                     id_, model_.name, machine::state_dir().c_str());
        return;
    }
    // No state: the camera has been off (or this process powered it on itself). This object's own
    // last save: nobody had the camera since, and what this object knows is the more exact.
    if (loaded != machine::Load::Loaded || st.token == saved_token_ || st.model != model_.name)
        return;
    // Another process had it: its clock, cooler and temperature carry on from there, and the
    // cooler has worked on the sensor for the real time since (the camera stayed powered).
    scene_time_ = st.clock_s;
    frame_counter_ = st.frames;
    const int ic = control_index(ASI_COOLER_ON), it = control_index(ASI_TARGET_TEMP);
    if (ic >= 0 && it >= 0) {
        const ControlSpec &t = controls_[static_cast<size_t>(it)];
        set_value(ASI_COOLER_ON, st.cooler_on ? 1 : 0);
        set_value(ASI_TARGET_TEMP, std::clamp(st.target_c, t.min, t.max));
    }
    CoolerConditions c;
    c.warm_c = st.warm_c;
    c.ambient_c = st.ambient_c;
    c.on = model_.cooled && st.cooler_on;
    c.target_c = static_cast<double>(st.target_c);
    temperature_.resume(st.temperature_c, c, std::clamp(machine::unix_now() - st.saved_unix_s, 0.0, 1e9),
                        sim_clock::now());
    saved_token_ = st.token;
}

void Camera::save_state() {
    if (!claimed_)
        return;
    update_cooler();
    machine::SavedState st;
    st.model = model_.name;
    st.temperature_c = temperature_.celsius();
    st.warm_c = temperature_.warm_c();
    st.ambient_c = ambient_temperature_c(scene_time_, thermal());
    st.cooler_on = model_.cooled && value_of(ASI_COOLER_ON) != 0;
    st.target_c = value_of(ASI_TARGET_TEMP);
    st.clock_s = machine::clamp_clock(scene_time_);
    st.frames = frame_counter_;
    if (machine::save(key_, &st))
        saved_token_ = st.token;
}

void Camera::let_go() {
    if (!claimed_)
        return;
    save_state();
    machine::release(key_);
    claimed_ = false;
}

ASI_ERROR_CODE Camera::open() {
    std::lock_guard lock(mutex_);
    if (!plugged_ || shut_)
        return ASI_ERROR_CAMERA_REMOVED;
    if (!claimed_) {
        // One process at a time, as with a USB device: the vendor's library cannot open a camera
        // that another program has open, and reports it as not found.
        if (!machine::claim(key_))
            return ASI_ERROR_CAMERA_REMOVED;
        claimed_ = true;
        adopt_saved_state();
    }
    open_ = true; // opening an open camera changes nothing
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::init() {
    std::unique_lock lock(mutex_);
    // Power-on settings need the camera without a capture. Ending one lets go of the lock, in
    // which time the camera may close or go, or another capture start: so check again each time.
    for (;;) {
        if (const ASI_ERROR_CODE e = ready(Need::Open))
            return e;
        if (!video_)
            break;
        end_capture(lock);
    }
    power_on_settings(true);
    update_cooler();
    initialised_ = true;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::close() {
    std::unique_lock lock(mutex_);
    if (!plugged_ || shut_)
        return ASI_ERROR_CAMERA_REMOVED;
    // All of closing happens in this one hold of the lock; only the wait for the capture's
    // thread comes after, and it ends the capture that ran when the camera closed, nothing newer.
    open_ = initialised_ = false; // a waiting read reports the closed camera
    exp_status_ = ASI_EXP_IDLE;
    end_pulses();
    cv_.notify_all();
    end_capture(lock);
    // Only a camera still closed goes to other processes: it may have been opened again while
    // the capture ended.
    if (!open_)
        let_go();
    return ASI_SUCCESS;
}

void Camera::unplug() {
    std::unique_lock lock(mutex_);
    plugged_ = false;
    open_ = initialised_ = false;
    if (exp_status_ == ASI_EXP_WORKING)
        exp_status_ = ASI_EXP_FAILED;
    end_pulses();
    cv_.notify_all();
    end_capture(lock);
    if (!plugged_)
        let_go();
}

void Camera::plug() {
    std::lock_guard lock(mutex_);
    if (shut_ || plugged_)
        return; // plugging a connected camera changes nothing
    plugged_ = true;
    open_ = initialised_ = false;
    power_on_settings();
}

void Camera::notify_clock_change() {
    std::lock_guard lock(mutex_);
    cv_.notify_all();
}

void Camera::shut_down() {
    std::unique_lock lock(mutex_);
    shut_ = true;
    open_ = initialised_ = false;
    cv_.notify_all();
    // No capture can start any more, so once this one is gone no thread of the camera runs.
    // Reads still copying out of its ring hold the capture, and with it the ring, themselves.
    end_capture(lock);
    let_go();
}

// ---- identity and modes ----

ASI_ERROR_CODE Camera::get_flash_id(uint8_t out[8]) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    std::memcpy(out, flash_id_.data(), 8);
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::set_flash_id(const uint8_t id[8]) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    std::memcpy(flash_id_.data(), id, 8);
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::get_serial(uint8_t out[8]) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    std::memcpy(out, serial_.data(), 8);
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::supported_modes(std::vector<ASI_CAMERA_MODE> *out) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    out->clear();
    out->push_back(ASI_MODE_NORMAL);
    if (model_.trigger)
        for (int m = ASI_MODE_TRIG_SOFT_EDGE; m <= ASI_MODE_TRIG_LOW_LEVEL; ++m)
            out->push_back(static_cast<ASI_CAMERA_MODE>(m));
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::get_mode(ASI_CAMERA_MODE *out) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    *out = mode_;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::set_mode(int mode) {
    std::unique_lock lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    const int last = model_.trigger ? ASI_MODE_TRIG_LOW_LEVEL : ASI_MODE_NORMAL;
    if (mode < ASI_MODE_NORMAL || mode > last)
        return ASI_ERROR_INVALID_MODE;
    if (const ASI_ERROR_CODE e = ready_and_idle(lock, Need::Open))
        return e;
    mode_ = static_cast<ASI_CAMERA_MODE>(mode); // triggers belong to a capture: none runs
    return ASI_SUCCESS;
}

// ---- controls ----

ASI_ERROR_CODE Camera::control_count(int *out) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    *out = static_cast<int>(controls_.size());
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::control_spec(int index, ControlSpec *out) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    if (index < 0 || static_cast<size_t>(index) >= controls_.size())
        return ASI_ERROR_INVALID_CONTROL_TYPE;
    *out = controls_[static_cast<size_t>(index)];
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::get_control(int type, long *value, bool *automatic) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    const int i = control_index(type);
    if (i < 0)
        return ASI_ERROR_INVALID_CONTROL_TYPE;
    const auto idx = static_cast<size_t>(i);
    long v = values_[idx];
    if (type == ASI_TEMPERATURE)
        v = std::lround(sensor_temperature_c() * 10.0);
    else if (type == ASI_COOLER_POWER_PERC)
        v = std::lround(cooler_power_percent());
    *value = v;
    *automatic = auto_[idx];
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::set_control(int type, long value, int automatic) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    const int i = control_index(type);
    if (i < 0)
        return ASI_ERROR_INVALID_CONTROL_TYPE;
    const auto idx = static_cast<size_t>(i);
    const ControlSpec &c = controls_[idx];
    if (type == ASI_GPS_START_LINE || type == ASI_GPS_END_LINE) {
        if (value < c.min || value > c.max)
            return ASI_ERROR_GPS_PARAM_OUT_OF_RANGE;
    }
    if (!c.writable || (automatic != 0 && automatic != 1) || (automatic && !c.auto_supported) ||
        value < c.min || value > c.max)
        return ASI_ERROR_GENERAL_ERROR;
    const bool cooler = type == ASI_COOLER_ON || type == ASI_TARGET_TEMP;
    if (cooler)
        update_cooler(); // the old setting applies up to now
    values_[idx] = value;
    auto_[idx] = automatic != 0;
    if (cooler)
        save_state(); // the cooler runs on with it, whatever becomes of this process
    cv_.notify_all(); // the video thread re-reads its pacing
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::gain_offsets(int *offset_highest_dr, int *offset_unity_gain, int *gain_lowest_rn,
                                    int *offset_lowest_rn) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    const int off = default_offset(model_);
    *offset_highest_dr = off;
    *offset_unity_gain = off + off / 2;
    *gain_lowest_rn = std::min(model_.max_gain, model_.unity_gain * 2);
    *offset_lowest_rn = off * 2;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::lmh_gain_offsets(int *low_gain, int *mid_gain, int *high_gain, int *high_offset) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    *low_gain = 0;
    *mid_gain = model_.unity_gain;
    *high_gain = std::min(model_.max_gain, model_.unity_gain * 2);
    *high_offset = default_offset(model_) * 2;
    return ASI_SUCCESS;
}

// ---- region of interest ----

ASI_ERROR_CODE Camera::set_roi(int width, int height, int bin, int img_type) {
    std::unique_lock lock(mutex_);
    if (const ASI_ERROR_CODE e = ready_and_idle(lock, Need::Init))
        return e;
    if (bin < 1 || bin > model_.max_bin)
        return ASI_ERROR_INVALID_SIZE;
    const auto types = image_types();
    if (std::find(types.begin(), types.end(), img_type) == types.end())
        return ASI_ERROR_INVALID_IMGTYPE;
    if (width <= 0 || height <= 0 || width % 8 != 0 || height % 2 != 0 || width > model_.width / bin ||
        height > model_.height / bin)
        return ASI_ERROR_INVALID_SIZE;
    roi_ = Roi{width, height, bin, static_cast<ASI_IMG_TYPE>(img_type)};
    center_start();
    // A finished exposure was taken in the old format; a reader sizing its buffer from the new
    // one must not get it.
    exp_status_ = ASI_EXP_IDLE;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::get_roi(Roi *out) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    *out = roi_;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::set_start(int x, int y) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    // The position is in binned pixels; the whole ROI must lie on the sensor from there. The
    // vendor's library refuses a start whose image would run over the edge, and so does this one.
    const int max_w = model_.width / roi_.bin, max_h = model_.height / roi_.bin;
    if (x < 0 || y < 0 || x > max_w - roi_.width || y > max_h - roi_.height)
        return ASI_ERROR_OUTOF_BOUNDARY;
    // Colour sensors keep the Bayer phase of the full frame: an odd start rounds down, which
    // never moves the ROI over an edge.
    if (model_.color) {
        x &= ~1;
        y &= ~1;
    }
    start_x_ = x;
    start_y_ = y;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::get_start(int *x, int *y) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    *x = start_x_;
    *y = start_y_;
    return ASI_SUCCESS;
}

// ---- snapshot ----

ASI_ERROR_CODE Camera::start_exposure(int dark) {
    std::unique_lock lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    if (dark != 0 && dark != 1)
        return ASI_ERROR_GENERAL_ERROR;
    if (const ASI_ERROR_CODE e = ready_and_idle(lock, Need::Init))
        return e;
    if (mode_ != ASI_MODE_NORMAL)
        return ASI_ERROR_INVALID_MODE;
    const double exposure = exposure_seconds();
    const double readout = readout_seconds(readout_settings());
    exp_end_sim_ = sim_clock::now() + exposure + readout;
    exp_scene_start_ = scene_time_;
    exp_request_ = frame_request(scene_time_ + exposure / 2.0, exposure, dark != 0);
    exp_request_.dark_frame = nullptr; // bound again when the data is read (the pointer may go)
    scene_time_ = machine::clamp_clock(scene_time_ + exposure + readout);
    exp_status_ = ASI_EXP_WORKING;
    save_state(); // the camera's clock moved
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::stop_exposure() {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    finish_exposure_if_due();
    if (exp_status_ == ASI_EXP_WORKING)
        exp_status_ = ASI_EXP_FAILED; // aborted: nothing to read
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::exposure_status(ASI_EXPOSURE_STATUS *out) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    finish_exposure_if_due();
    *out = exp_status_;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::exposure_data(uint8_t *buf, long size, GpsFix *gps) {
    std::unique_lock lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    if (gps && !model_.gps)
        return ASI_ERROR_GPS_NOT_SUPPORTED;
    finish_exposure_if_due();
    if (exp_status_ == ASI_EXP_WORKING)
        return ASI_ERROR_EXPOSURE_IN_PROGRESS;
    if (exp_status_ != ASI_EXP_SUCCESS)
        return ASI_ERROR_INVALID_SEQUENCE;
    if (!buf)
        return ASI_ERROR_GENERAL_ERROR;
    FrameRequest req = exp_request_;
    const size_t need = frame_bytes(req);
    if (size < 0 || static_cast<size_t>(size) < need)
        return ASI_ERROR_BUFFER_TOO_SMALL;
    // The dark frame must match the ROI the exposure was taken at; render_frame checks that.
    const std::shared_ptr<const DarkFrame> dark = dark_;
    req.dark_frame = dark.get();
    if (gps) {
        const double row = readout_seconds(readout_settings()) / std::max(1, roi_.height);
        *gps = gps_fix_at(exp_scene_start_ + row * static_cast<double>(value_of(ASI_GPS_START_LINE)));
    }
    // Rendering is the expensive part: it runs without the lock, from the settings captured at
    // the start of the exposure, so the same exposure reads back the same bytes.
    lock.unlock();
    return render_frame(req, buf) ? ASI_SUCCESS : ASI_ERROR_GENERAL_ERROR;
}

} // namespace asisim
