// Scripted results: queued per SDK function, each used by the next call of that function.
//
// A scripted call leaves every camera alone: it returns the queued code and, when data was
// given with a success code, writes that data into the call's outputs. The data of a function
// is laid out as a C struct of its output parameters in parameter order (see script_layout).
#pragma once

#include "journal.h"

#include <ASICamera2.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace asisim {

constexpr size_t align_up(size_t n, size_t alignment) {
    return (n + alignment - 1) / alignment * alignment;
}

// Size of a C struct with members of the types T, in order: each at its aligned offset, the
// whole padded to the strictest alignment.
template <class... T> constexpr size_t packed_size() {
    size_t size = 0, alignment = 1;
    ((size = align_up(size, alignof(T)) + sizeof(T), alignment = std::max(alignment, alignof(T))), ...);
    return align_up(size, alignment);
}

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

// The layout of each function's outputs; the entry points check theirs against it when compiled.
constexpr ScriptLayout script_layout(Fn fn) {
    using S = DataShape;
    switch (fn) {
    case Fn::GetNumOfConnectedCameras: // the return value
    case Fn::CameraCheck:              // the return value
    case Fn::GetNumOfControls:
    case Fn::GetDroppedFrames:
        return {S::Fixed, packed_size<int>()};
    case Fn::GetCameraProperty:
    case Fn::GetCameraPropertyByID:
        return {S::Fixed, packed_size<ASI_CAMERA_INFO>()};
    case Fn::GetSDKVersion:
    case Fn::GetDataAfterExp:
    case Fn::GetVideoData:
        return {S::AnyBytes, 0};
    case Fn::GetDataAfterExpGPS:
    case Fn::GetVideoDataGPS:
        return {S::GpsAndBytes, packed_size<ASI_GPS_DATA>()};
    case Fn::GetID:
    case Fn::GetSerialNumber:
        return {S::Fixed, packed_size<ASI_ID>()};
    case Fn::GetCameraSupportMode:
        return {S::Fixed, packed_size<ASI_SUPPORTED_MODE>()};
    case Fn::GetCameraMode:
        return {S::Fixed, packed_size<ASI_CAMERA_MODE>()};
    case Fn::GetControlCaps:
        return {S::Fixed, packed_size<ASI_CONTROL_CAPS>()};
    case Fn::GetControlValue:
        return {S::Fixed, packed_size<long, ASI_BOOL>()};
    case Fn::GetGainOffset:
    case Fn::GetLMHGainOffset:
        return {S::Fixed, packed_size<int, int, int, int>()};
    case Fn::GetROIFormat:
        return {S::Fixed, packed_size<int, int, int, ASI_IMG_TYPE>()};
    case Fn::GetStartPos:
        return {S::Fixed, packed_size<int, int>()};
    case Fn::GetExpStatus:
        return {S::Fixed, packed_size<ASI_EXPOSURE_STATUS>()};
    case Fn::GetTriggerOutputIOConf:
        return {S::Fixed, packed_size<ASI_BOOL, long, long>()};
    case Fn::GPSGetData:
        return {S::Fixed, packed_size<ASI_GPS_DATA, ASI_GPS_DATA>()};
    default: // functions without outputs
        return {S::Fixed, 0};
    }
}

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
