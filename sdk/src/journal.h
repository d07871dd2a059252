// The call journal: one entry per call of the 42 SDK functions, always on.
//
// Recording must cost next to nothing, so an entry keeps the raw argument values in a fixed ring
// of preallocated slots; text is made only when a line is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace asisim {

// The SDK functions, in the header's order.
enum class Fn : uint8_t {
    GetNumOfConnectedCameras,
    CameraCheck,
    GetCameraProperty,
    GetSDKVersion,
    GetCameraPropertyByID,
    OpenCamera,
    InitCamera,
    CloseCamera,
    GetID,
    SetID,
    GetSerialNumber,
    GetCameraSupportMode,
    GetCameraMode,
    SetCameraMode,
    GetNumOfControls,
    GetControlCaps,
    GetControlValue,
    SetControlValue,
    GetGainOffset,
    GetLMHGainOffset,
    SetROIFormat,
    GetROIFormat,
    SetStartPos,
    GetStartPos,
    StartExposure,
    StopExposure,
    GetExpStatus,
    GetDataAfterExp,
    GetDataAfterExpGPS,
    StartVideoCapture,
    StopVideoCapture,
    GetVideoData,
    GetVideoDataGPS,
    GetDroppedFrames,
    EnableDarkSubtract,
    DisableDarkSubtract,
    PulseGuideOn,
    PulseGuideOff,
    SendSoftTrigger,
    SetTriggerOutputIOConf,
    GetTriggerOutputIOConf,
    GPSGetData,
    Count
};
constexpr size_t kFunctionCount = static_cast<size_t>(Fn::Count);

// How an argument appears in a journal line.
enum class ArgKind : uint8_t {
    Int,  // signed decimal
    Out,  // pointer to an output or record: "out" or "NULL"
    Buf,  // image buffer: "buf" or "NULL"
    Path, // quoted, escaped file path, or "NULL"
    Id8,  // 8-byte identity record: 16 lower-case hex digits
};

constexpr int kMaxArgs = 5;

struct FunctionInfo {
    const char *name; // e.g. "ASIOpenCamera"
    int nargs;
    ArgKind kinds[kMaxArgs];
};

// Exact-name lookup; false when no SDK function has that name.
bool find_function(const char *name, Fn *out);

namespace journal {

constexpr int kCapacity = 4096;

// Raw values of one call's arguments in parameter order: integers as received, pointers as
// 0 (null) or 1, the identity record as its bytes in order (first byte most significant).
// `path` is read only for a Path argument (null pointer: NULL in the line).
void record(Fn fn, const int64_t *values, int n, const char *path = nullptr);

int count();
// Line `index` (0 the oldest kept, negative from the newest: -1 the newest) as text; false when
// out of range.
bool line(int index, std::string *out);
void clear();

} // namespace journal

} // namespace asisim
