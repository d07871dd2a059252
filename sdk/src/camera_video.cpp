// Video capture of one camera: starting and stopping a capture, the capture's thread that makes
// the frames at the frame rate, auto exposure and gain, and the reads of its frames.
#include "camera.h"

#include "machine.h"
#include "synthesis.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

namespace asisim {

namespace {

// Waits until notified (or woken spuriously, as wait() may be). Not condition_variable::wait():
// GCC 12's libstdc++ exports it under its newest symbol version (GLIBCXX_3.4.30), which alone
// would keep the library off every system with the previous libstdc++ (those of glibc 2.34,
// the RHEL 9 generation). wait_until is inlined from the header onto pthread_cond_clockwait.
void wait_notified(std::condition_variable &cv, std::unique_lock<std::mutex> &lock) {
    cv.wait_until(lock, std::chrono::steady_clock::time_point::max());
}

template <class Predicate>
void wait_notified(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, Predicate done) {
    while (!done())
        wait_notified(cv, lock);
}

} // namespace

// ---- video ----

ASI_ERROR_CODE Camera::start_video() {
    std::unique_lock lock(mutex_);
    if (const ASI_ERROR_CODE e = ready_and_idle(lock, Need::Init))
        return e;
    // Decided with the lock held from here on: no capture, camera ready, no exposure. The ring is
    // allocated here, once per capture, never per frame (from the previous capture's buffers when
    // they fit).
    auto capture = std::make_shared<VideoCapture>(frame_size(), &spare_ring_);
    dropped_ = 0;
    if (mode_ == ASI_MODE_NORMAL) // the first frame is due from now, however late the thread starts
        capture->due = sim_clock::now() + exposure_seconds() + readout_seconds(readout_settings());
    try {
        capture->thread = std::thread([this, c = capture.get()] { video_loop(c); });
    } catch (const std::system_error &) {
        return ASI_ERROR_GENERAL_ERROR; // no thread to be had
    }
    // The thread waits for the lock, so it sees the capture in place.
    video_ = std::move(capture);
    return ASI_SUCCESS;
}

void Camera::end_capture(std::unique_lock<std::mutex> &lock) {
    const std::shared_ptr<VideoCapture> capture = video_;
    if (!capture)
        return;
    if (capture->state == VideoCapture::State::Running)
        add_dropped(capture->overdue(sim_clock::now())); // due while the thread lagged
    capture->state = VideoCapture::State::Stopping;
    cv_.notify_all();
    if (capture->joining) {
        // Another thread joins it and then removes it.
        wait_notified(cv_, lock, [&] { return video_ != capture; });
        return;
    }
    capture->joining = true;
    lock.unlock();
    capture->thread.join();
    lock.lock();
    // Only the joining thread removes a capture, and no capture starts while one is in place.
    video_.reset();
    capture->give_back(&spare_ring_);
    cv_.notify_all();
}

ASI_ERROR_CODE Camera::stop_video() {
    std::unique_lock lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    end_capture(lock);
    save_state(); // the camera's clock moved with every frame
    return ASI_SUCCESS;
}

void Camera::auto_adjust(const uint8_t *frame, const FrameRequest &req) {
    const int ie = control_index(ASI_EXPOSURE), ig = control_index(ASI_GAIN);
    const bool auto_exp = ie >= 0 && auto_[static_cast<size_t>(ie)];
    const bool auto_gain = ig >= 0 && auto_[static_cast<size_t>(ig)];
    if (!auto_exp && !auto_gain)
        return;
    // Mean brightness on an 8-bit scale from a sparse sample of the frame.
    const size_t n = frame_bytes(req);
    const int bpp = pixel_bytes(req.img_type);
    const size_t step = std::max<size_t>(size_t(bpp), (n / 4096) / size_t(bpp) * size_t(bpp));
    double sum = 0.0;
    size_t count = 0;
    for (size_t i = 0; i + size_t(bpp) <= n; i += step) {
        sum += bpp == 2 ? frame[i + 1] : frame[i]; // RAW16 is little-endian: high byte second
        ++count;
    }
    const double mean = count ? std::max(1.0, sum / double(count)) : 1.0;
    const double target = static_cast<double>(value_of(ASI_AUTO_TARGET_BRIGHTNESS));
    // Move half-way (in log terms) toward the target each frame to avoid oscillation.
    const double factor = std::sqrt(target / mean);
    if (auto_exp) {
        const double max_us = static_cast<double>(value_of(ASI_AUTO_MAX_EXP)) * 1000.0;
        const double us = std::clamp(static_cast<double>(value_of(ASI_EXPOSURE)) * factor,
                                     static_cast<double>(kExposureMinUs), max_us);
        set_value(ASI_EXPOSURE, std::lround(us));
        if (!auto_gain || (factor > 1.0 && us < max_us) || (factor < 1.0 && value_of(ASI_GAIN) == 0))
            return;
    }
    // Gain in 0.1 dB: a brightness factor f needs 200 log10(f) more.
    const long g = value_of(ASI_GAIN) + std::lround(200.0 * std::log10(factor));
    set_value(ASI_GAIN, std::clamp(g, 0L, value_of(ASI_AUTO_MAX_GAIN)));
}

void Camera::add_dropped(double frames) {
    // The SDK counts in an int; a capture left running for years stops counting at its top.
    dropped_ = static_cast<int>(std::min(static_cast<double>(dropped_) + frames, 2147483647.0));
}

void Camera::video_loop(VideoCapture *capture) {
    // `capture` stays alive until this thread has been joined.
    using State = VideoCapture::State;
    std::unique_lock lock(mutex_);
    const auto running = [&] { return capture->state == State::Running; };
    double due = sim_clock::now();
    bool first = true;
    while (running()) {
        double exposure = exposure_seconds();
        const ReadoutSettings rs = readout_settings();
        const double readout = readout_seconds(rs);
        double advance;
        if (mode_ == ASI_MODE_NORMAL) {
            const double interval = frame_interval_seconds(rs, exposure);
            const double now = sim_clock::now();
            due = first ? capture->due : due + interval;
            if (!first && now >= due + interval) {
                // The camera's clock never waits for the host. The frames whose turn passed
                // while this thread could not take them (a busy host, a slow render, a reader
                // holding every slot) were read out by the sensor and lost on the way: each
                // counts as dropped, and the sky moved on with them. The newest frame due is
                // the one to deliver, late.
                const double missed = std::floor((now - due) / interval);
                add_dropped(missed);
                due += missed * interval;
                scene_time_ = machine::clamp_clock(scene_time_ + missed * interval);
                frame_counter_ += static_cast<uint64_t>(std::min(missed, 1e15));
            }
            advance = interval;
            capture->interval = interval;
        } else {
            // Trigger modes: only soft triggers can arrive in a simulation; hardware ones never do.
            wait_notified(cv_, lock, [&] {
                return !running() || capture->pending_triggers > 0 || capture->level_exposure_s >= 0.0;
            });
            if (!running())
                break;
            const double now = sim_clock::now();
            if (capture->level_exposure_s >= 0.0) {
                exposure = capture->level_exposure_s; // the level was held this long
                capture->level_exposure_s = -1.0;
                due = now + readout;
            } else {
                --capture->pending_triggers;
                due = now + exposure + readout;
            }
            advance = exposure + readout;
        }
        first = false;
        capture->due = due;
        capture->committed = true;

        // A free slot, else the oldest unread frame is dropped to make room.
        Slot *slot = nullptr;
        for (;;) {
            bool dropped = false;
            slot = capture->slot_to_write(&dropped);
            add_dropped(dropped ? 1.0 : 0.0);
            if (slot || !running())
                break;
            wait_notified(cv_, lock); // every slot is being read; a reader frees one
        }
        if (!running())
            break;
        const FrameRequest req = frame_request(scene_time_ + exposure / 2.0, exposure, false);
        if (frame_bytes(req) != capture->frame_bytes()) {
            // The ring no longer fits the settings: end the capture rather than render past a
            // slot. It stays in place, stopping, until a thread that needs it gone joins it.
            capture->state = State::Stopping;
            cv_.notify_all();
            break;
        }
        slot->state = SlotState::Writing;
        const std::shared_ptr<const DarkFrame> dark = dark_; // keeps req.dark_frame alive
        slot->start_time = scene_time_;
        scene_time_ = machine::clamp_clock(scene_time_ + advance);
        uint8_t *out = slot->bytes.data();
        lock.unlock();
        const bool made = render_frame(req, out);
        lock.lock();
        if (!made) { // out of memory: the frame is dropped, as a host too slow to take it would
            slot->state = SlotState::Free;
            add_dropped(1.0);
            continue;
        }
        auto_adjust(out, req);
        const double arrive = due + (effect_on(req.effects, kEffectFrameJitter)
                                         ? frame_jitter_seconds(seed_, req.frame_index, advance)
                                         : 0.0);
        while (running() && sim_clock::now() < arrive)
            cv_.wait_until(lock, sim_clock::real_deadline(arrive));
        if (!running()) {
            slot->state = SlotState::Free;
            break;
        }
        capture->publish(slot);
        capture->committed = false;
        capture->due = mode_ == ASI_MODE_NORMAL ? due + advance : std::numeric_limits<double>::infinity();
        cv_.notify_all();
    }
}

ASI_ERROR_CODE Camera::video_data(uint8_t *buf, long size, int wait_ms, GpsFix *gps) {
    std::unique_lock lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    if (gps && !model_.gps)
        return ASI_ERROR_GPS_NOT_SUPPORTED;
    const std::shared_ptr<VideoCapture> capture = video_; // keeps the ring alive for the copy
    if (!capture || capture->state != VideoCapture::State::Running)
        return ASI_ERROR_INVALID_SEQUENCE;
    if (!buf || wait_ms < -1)
        return ASI_ERROR_GENERAL_ERROR;
    const size_t need = capture->frame_bytes();
    if (size < 0 || static_cast<size_t>(size) < need)
        return ASI_ERROR_BUFFER_TOO_SMALL;
    const double deadline = sim_clock::now() + wait_ms / 1000.0;
    Slot *slot = nullptr;
    for (;;) {
        if (!plugged_ || shut_)
            return ASI_ERROR_CAMERA_REMOVED;
        if (!open_)
            return ASI_ERROR_CAMERA_CLOSED;
        if (video_ != capture || capture->state != VideoCapture::State::Running)
            return ASI_ERROR_INVALID_SEQUENCE; // capture stopped (or restarted) while we waited
        slot = capture->oldest_ready();
        if (slot)
            break;
        if (wait_ms >= 0 && sim_clock::now() >= deadline) {
            if (capture->due > deadline)
                return ASI_ERROR_TIMEOUT;
            // A frame due by the deadline is still being made: the host is late, not the camera.
            cv_.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
            continue;
        }
        if (wait_ms < 0)
            wait_notified(cv_, lock);
        else
            cv_.wait_until(lock, sim_clock::real_deadline(deadline));
    }
    capture->begin_read(slot);
    if (gps) {
        const double row = readout_seconds(readout_settings()) / std::max(1, roi_.height);
        *gps = gps_fix_at(slot->start_time + row * static_cast<double>(value_of(ASI_GPS_START_LINE)));
    }
    const uint8_t *src = slot->bytes.data();
    lock.unlock();
    std::memcpy(buf, src, need); // the only cost of a read
    lock.lock();
    capture->end_read(slot);
    cv_.notify_all();
    return ASI_SUCCESS;
}

ASI_ERROR_CODE Camera::dropped_frames(int *out) {
    std::lock_guard lock(mutex_);
    if (const ASI_ERROR_CODE e = ready(Need::Init))
        return e;
    const double overdue =
        video_ && video_->state == VideoCapture::State::Running ? video_->overdue(sim_clock::now()) : 0.0;
    *out = static_cast<int>(std::min(static_cast<double>(dropped_) + overdue, 2147483647.0));
    return ASI_SUCCESS;
}

} // namespace asisim
