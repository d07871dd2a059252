// Image synthesis behind one seam: scene (sky, optics) + sensor + readout.
//
// The camera state machine fills a FrameRequest and asks for the bytes of one frame; it knows
// nothing of the physics. Everything here is deterministic for (camera seeds, frame index).
#pragma once

#include "frame.h"

#include <cstdint>

namespace asisim {

// Renders one frame into `out` (exactly frame_bytes(req) bytes). Thread-safe: may run on several
// cameras' threads at once. RAW8 is the ADC's top 8 bits, RAW16 its value shifted to the top bits
// (little-endian), RGB24 B, G, R bytes, Y8 luminance; bins sum their pixels' charge (colour
// sensors bin same-colour pixels and keep the mosaic unless mono_bin); flips mirror the window.
// False when the frame could not be made (memory ran out): `out` is then zeros. Never throws,
// since a camera's video thread renders too.
bool render_frame(const FrameRequest &req, uint8_t *out) noexcept;

} // namespace asisim
