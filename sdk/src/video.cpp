#include "video.h"

#include <algorithm>
#include <cmath>

namespace asisim {

VideoCapture::VideoCapture(size_t frame_bytes, std::vector<std::vector<uint8_t>> *spare)
    : frame_bytes_(frame_bytes) {
    for (Slot &s : slots_) {
        while (spare && !spare->empty() && spare->back().size() != frame_bytes)
            spare->pop_back(); // another size: of no further use
        if (spare && !spare->empty()) {
            s.bytes = std::move(spare->back());
            spare->pop_back();
        } else {
            s.bytes.assign(frame_bytes, 0);
        }
    }
}

double VideoCapture::overdue(double now) const {
    if (interval <= 0.0 || !(now >= due))
        return 0.0;
    // The frame being made is delivered; of those after it, all but the newest due are dropped.
    return std::max(0.0, std::floor((now - due) / interval) - (committed ? 1.0 : 0.0));
}

VideoCapture::Slot *VideoCapture::slot_to_write(bool *dropped) {
    *dropped = false;
    for (Slot &s : slots_)
        if (s.state == SlotState::Free)
            return &s;
    Slot *oldest = oldest_ready();
    *dropped = oldest != nullptr;
    return oldest;
}

void VideoCapture::publish(Slot *slot) {
    slot->state = SlotState::Ready;
    slot->sequence = next_sequence_++;
}

VideoCapture::Slot *VideoCapture::oldest_ready() {
    Slot *oldest = nullptr;
    for (Slot &s : slots_)
        if (s.state == SlotState::Ready && (!oldest || s.sequence < oldest->sequence))
            oldest = &s;
    return oldest;
}

void VideoCapture::begin_read(Slot *slot) {
    slot->state = SlotState::Reading;
    ++readers_;
}

void VideoCapture::end_read(Slot *slot) {
    slot->state = SlotState::Free;
    --readers_;
}

void VideoCapture::give_back(std::vector<std::vector<uint8_t>> *spare) {
    if (readers_ != 0)
        return;
    spare->clear();
    for (Slot &s : slots_)
        spare->push_back(std::move(s.bytes));
}

} // namespace asisim
