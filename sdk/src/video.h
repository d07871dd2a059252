// One video capture of a camera: its frame ring, its thread and its state.
//
// A capture is made by a video start and lives until it has been stopped and its thread joined;
// the camera holds the current one (null when there is none). Its state is explicit:
//
//   Running   the thread produces frames; reads and soft triggers are served.
//   Stopping  asked to end (a stop, close, unplug, init or shut-down), or ended by itself; no
//             frame is published any more, reads get the invalid-sequence code, and whatever
//             needs the camera without a capture (a new start, a format or mode change, an
//             exposure, init) first waits until the capture is gone.
//
// The first thread to see a stopping capture with nobody joining it joins the thread and then
// removes the capture from the camera; everybody else waits for that. Nothing is decided on the
// strength of a state seen before the camera's lock was last released.
//
// All members are guarded by the camera's mutex except the bytes of slots being written (only the
// capture's thread touches them) or read (only their reader touches them, and the reader holds the
// capture alive with its shared pointer, so the bytes outlive a stop and a restart).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace asisim {

class VideoCapture {
  public:
    enum class State : uint8_t { Running, Stopping };
    enum class SlotState : uint8_t { Free, Writing, Ready, Reading };
    struct Slot {
        std::vector<uint8_t> bytes;
        SlotState state = SlotState::Free;
        uint64_t sequence = 0;   // publication order, for oldest-first reads
        double start_time = 0.0; // scene time of the exposure start, for GPS stamps
    };
    static constexpr size_t kSlots = 4;

    // A ring of frames of `frame_bytes` each; `spare` gives back buffers of an earlier capture
    // (taken when their size fits, so a restart does not allocate and clear the ring again).
    VideoCapture(size_t frame_bytes, std::vector<std::vector<uint8_t>> *spare);
    // Joined before destruction: the camera never drops a capture whose thread runs.
    ~VideoCapture() = default;
    VideoCapture(const VideoCapture &) = delete;
    VideoCapture &operator=(const VideoCapture &) = delete;

    State state = State::Running;
    bool joining = false; // a thread has taken on joining `thread`
    std::thread thread;

    size_t frame_bytes() const { return frame_bytes_; }

    // Scene time at which the next frame to be published is due (infinite while the thread
    // waits for a trigger), and the frame interval (0 in the trigger modes). The camera keeps
    // its clock whatever the host's load: a read waits past its deadline for a frame that was
    // due by then, and frames falling due behind a late thread count as dropped at once.
    double due = std::numeric_limits<double>::infinity();
    double interval = 0.0;
    bool committed = false; // the frame due at `due` is delivered however late it is made
    // Frames due by `now` that the thread will drop when it next runs.
    double overdue(double now) const;

    // The slot the next frame goes to: a free one, else the oldest unread frame, which is
    // dropped (*dropped set). Null while every slot is being read.
    Slot *slot_to_write(bool *dropped);
    // A written frame becomes readable.
    void publish(Slot *slot);
    // The oldest readable frame, or null.
    Slot *oldest_ready();
    // A reader copies out of `slot` without the lock between these two.
    void begin_read(Slot *slot);
    void end_read(Slot *slot);
    // The buffers, for a later capture; only when no reader holds one.
    void give_back(std::vector<std::vector<uint8_t>> *spare);

    // Soft triggers waiting for the thread, and the soft level trigger.
    int pending_triggers = 0;
    bool level_high = false;
    double level_started_sim = 0.0;
    double level_exposure_s = -1.0; // exposure of a finished level pulse, waiting to be produced

  private:
    size_t frame_bytes_;
    std::array<Slot, kSlots> slots_;
    uint64_t next_sequence_ = 0;
    int readers_ = 0;
};

} // namespace asisim
