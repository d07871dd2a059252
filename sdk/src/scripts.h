// Scripted results: queued per SDK function, each used by the next call of that function.
//
// A scripted call leaves every camera alone: it returns the queued code and, when data was
// given with a success code, writes that data into the call's outputs. The data of a function
// is laid out as a C struct of its output parameters in parameter order (the structs below).
#pragma once

#include "journal.h"

#include <ASICamera2.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace asisim {

namespace layout {
struct Int {
    int value;
};
struct CameraInfo {
    ASI_CAMERA_INFO info;
};
struct Id {
    ASI_ID id;
};
struct SupportedMode {
    ASI_SUPPORTED_MODE modes;
};
struct CameraMode {
    ASI_CAMERA_MODE mode;
};
struct ControlCaps {
    ASI_CONTROL_CAPS caps;
};
struct ControlValue {
    long value;
    ASI_BOOL automatic;
};
struct FourInts {
    int a, b, c, d;
};
struct RoiFormat {
    int width, height, bin;
    ASI_IMG_TYPE img_type;
};
struct StartPos {
    int x, y;
};
struct ExpStatus {
    ASI_EXPOSURE_STATUS status;
};
struct TriggerOutput {
    ASI_BOOL pin_high;
    long delay;
    long duration;
};
struct GpsPair {
    ASI_GPS_DATA start;
    ASI_GPS_DATA end;
};
} // namespace layout

// What a script's data must look like for a function.
enum class DataShape : uint8_t {
    Fixed,      // exactly `size` bytes (0 for a function without outputs)
    AnyBytes,   // image bytes or version text: any size
    GpsAndBytes // a GPS record followed by any number of image bytes
};
struct ScriptLayout {
    DataShape shape;
    size_t size;
};
ScriptLayout script_layout(Fn fn);

struct Script {
    int code = 0;
    bool has_data = false;
    std::vector<uint8_t> data;
};

namespace scripts {

// Queues a script; false for a data size that does not fit the function's layout.
bool push(Fn fn, int code, const void *data, size_t size);
void clear();

namespace detail {
extern std::atomic<int> queued;
std::optional<Script> take_slow(Fn fn);
} // namespace detail

// The next script for `fn`, if any. Nearly free while nothing is queued.
inline std::optional<Script> take(Fn fn) {
    if (detail::queued.load(std::memory_order_acquire) == 0)
        return std::nullopt;
    return detail::take_slow(fn);
}

} // namespace scripts

} // namespace asisim
