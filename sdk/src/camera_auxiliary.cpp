// One camera's auxiliary functions: ST4 guide pulses, dark-frame subtraction, the trigger
// outputs and GPS time stamps.
#include "camera.h"

#include "bmp.h"
#include "machine.h"

#include <algorithm>
#include <memory>

namespace asisim {

namespace {

constexpr long kTriggerOutputMaxUs = 2'000'000'000;

} // namespace

ASI_ERROR_CODE Camera::enable_dark(const char *path) {
    std::unique_lock lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    const int w = roi_.width, h = roi_.height;
    lock.unlock();
    // The file is read without the lock: a slow disk must not stall frame reads.
    auto frame = std::make_shared<DarkFrame>();
    const ASI_ERROR_CODE rc = load_dark_bmp(path, w, h, frame.get());
    lock.lock();
    if (rc != ASI_SUCCESS)
        return rc;
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    dark_ = std::move(frame);
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::disable_dark() {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    dark_.reset();
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::guide_ready(int direction) const {
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    if (!model_.st4 || direction < ASI_GUIDE_NORTH || direction > ASI_GUIDE_WEST)
        return ASI_ERROR_GENERAL_ERROR;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::pulse_on(int direction) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = guide_ready(direction))
        return e;
    const auto d = static_cast<size_t>(direction);
    if (!pulse_on_[d]) {
        pulse_on_[d] = true;
        pulse_started_[d] = sim_clock::now();
        pulse_scene_on_[d] = scene_time_;
        mount_.guide_on(static_cast<ASI_GUIDE_DIRECTION>(direction), scene_time_);
    }
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::pulse_off(int direction) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = guide_ready(direction))
        return e;
    end_pulse(direction);
    return ASI_SUCCESS;
}

void Camera::end_pulse(int direction) {
    const auto d = static_cast<size_t>(direction);
    if (!pulse_on_[d])
        return;
    pulse_on_[d] = false;
    // The pulse lasted its simulated duration; the scene clock has moved at least that far
    // (video frames may have moved it further meanwhile).
    const double lasted = std::max(0.0, sim_clock::now() - pulse_started_[d]);
    const double off_at = std::max(scene_time_, pulse_scene_on_[d] + lasted);
    mount_.guide_off(static_cast<ASI_GUIDE_DIRECTION>(direction), off_at);
    scene_time_ = machine::clamp_clock(off_at);
}

void Camera::end_pulses() {
    for (int d = ASI_GUIDE_NORTH; d <= ASI_GUIDE_WEST; ++d)
        end_pulse(d);
}

ASI_ERROR_CODE Camera::soft_trigger(int start) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    if (start != 0 && start != 1)
        return ASI_ERROR_GENERAL_ERROR;
    if (!model_.trigger || (mode_ != ASI_MODE_TRIG_SOFT_EDGE && mode_ != ASI_MODE_TRIG_SOFT_LEVEL))
        return ASI_ERROR_INVALID_MODE;
    if (!video_ || video_->state != VideoCapture::State::Running)
        return ASI_ERROR_INVALID_SEQUENCE;
    VideoCapture &v = *video_;
    if (mode_ == ASI_MODE_TRIG_SOFT_EDGE) {
        if (start)
            ++v.pending_triggers;
    } else if (start && !v.level_high) {
        v.level_high = true;
        v.level_started_sim = sim_clock::now();
    } else if (!start && v.level_high) {
        v.level_high = false;
        v.level_exposure_s = std::max(0.0, sim_clock::now() - v.level_started_sim);
    }
    cv_.notify_all();
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::set_trigger_output(int pin, int pin_high, long delay_us, long duration_us) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    if (!model_.trigger)
        return ASI_ERROR_INVALID_MODE;
    if (pin != ASI_TRIG_OUTPUT_PINA && pin != ASI_TRIG_OUTPUT_PINB)
        return ASI_ERROR_GENERAL_ERROR;
    if ((pin_high != 0 && pin_high != 1) || delay_us < 0 || delay_us > kTriggerOutputMaxUs ||
        duration_us < 0 || duration_us > kTriggerOutputMaxUs)
        return ASI_ERROR_GENERAL_ERROR;
    trigger_out_[static_cast<size_t>(pin)] = TriggerOutput{pin_high != 0, delay_us, duration_us};
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::get_trigger_output(int pin, bool *pin_high, long *delay_us, long *duration_us) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    if (!model_.trigger)
        return ASI_ERROR_INVALID_MODE;
    if (pin != ASI_TRIG_OUTPUT_PINA && pin != ASI_TRIG_OUTPUT_PINB)
        return ASI_ERROR_GENERAL_ERROR;
    const TriggerOutput &t = trigger_out_[static_cast<size_t>(pin)];
    *pin_high = t.pin_high;
    *delay_us = t.delay_us;
    *duration_us = t.duration_us;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::gps_data(GpsFix *start_line, GpsFix *end_line) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Open))
        return e;
    if (!model_.gps)
        return ASI_ERROR_GPS_NOT_SUPPORTED;
    // Stamps of an exposure starting now: each row starts one row time after the previous.
    const double row = readout_seconds(readout_settings()) / std::max(1, roi_.height);
    *start_line = gps_fix_at(scene_time_ + row * static_cast<double>(value_of(ASI_GPS_START_LINE)));
    *end_line = gps_fix_at(scene_time_ + row * static_cast<double>(value_of(ASI_GPS_END_LINE)));
    return ASI_SUCCESS;
}

} // namespace asisim
