#include "journal.h"

#include <array>
#include <cstring>
#include <mutex>

namespace asisim {

namespace {

using K = ArgKind;

// clang-format off
constexpr std::array<FunctionInfo, kFunctionCount> kFunctions = {{
    {"ASIGetNumOfConnectedCameras", 0, {}},
    {"ASICameraCheck", 2, {K::Int, K::Int}},
    {"ASIGetCameraProperty", 2, {K::Out, K::Int}},
    {"ASIGetSDKVersion", 0, {}},
    {"ASIGetCameraPropertyByID", 2, {K::Int, K::Out}},
    {"ASIOpenCamera", 1, {K::Int}},
    {"ASIInitCamera", 1, {K::Int}},
    {"ASICloseCamera", 1, {K::Int}},
    {"ASIGetID", 2, {K::Int, K::Out}},
    {"ASISetID", 2, {K::Int, K::Id8}},
    {"ASIGetSerialNumber", 2, {K::Int, K::Out}},
    {"ASIGetCameraSupportMode", 2, {K::Int, K::Out}},
    {"ASIGetCameraMode", 2, {K::Int, K::Out}},
    {"ASISetCameraMode", 2, {K::Int, K::Int}},
    {"ASIGetNumOfControls", 2, {K::Int, K::Out}},
    {"ASIGetControlCaps", 3, {K::Int, K::Int, K::Out}},
    {"ASIGetControlValue", 4, {K::Int, K::Int, K::Out, K::Out}},
    {"ASISetControlValue", 4, {K::Int, K::Int, K::Int, K::Int}},
    {"ASIGetGainOffset", 5, {K::Int, K::Out, K::Out, K::Out, K::Out}},
    {"ASIGetLMHGainOffset", 5, {K::Int, K::Out, K::Out, K::Out, K::Out}},
    {"ASISetROIFormat", 5, {K::Int, K::Int, K::Int, K::Int, K::Int}},
    {"ASIGetROIFormat", 5, {K::Int, K::Out, K::Out, K::Out, K::Out}},
    {"ASISetStartPos", 3, {K::Int, K::Int, K::Int}},
    {"ASIGetStartPos", 3, {K::Int, K::Out, K::Out}},
    {"ASIStartExposure", 2, {K::Int, K::Int}},
    {"ASIStopExposure", 1, {K::Int}},
    {"ASIGetExpStatus", 2, {K::Int, K::Out}},
    {"ASIGetDataAfterExp", 3, {K::Int, K::Buf, K::Int}},
    {"ASIGetDataAfterExpGPS", 4, {K::Int, K::Buf, K::Int, K::Out}},
    {"ASIStartVideoCapture", 1, {K::Int}},
    {"ASIStopVideoCapture", 1, {K::Int}},
    {"ASIGetVideoData", 4, {K::Int, K::Buf, K::Int, K::Int}},
    {"ASIGetVideoDataGPS", 5, {K::Int, K::Buf, K::Int, K::Int, K::Out}},
    {"ASIGetDroppedFrames", 2, {K::Int, K::Out}},
    {"ASIEnableDarkSubtract", 2, {K::Int, K::Path}},
    {"ASIDisableDarkSubtract", 1, {K::Int}},
    {"ASIPulseGuideOn", 2, {K::Int, K::Int}},
    {"ASIPulseGuideOff", 2, {K::Int, K::Int}},
    {"ASISendSoftTrigger", 2, {K::Int, K::Int}},
    {"ASISetTriggerOutputIOConf", 5, {K::Int, K::Int, K::Int, K::Int, K::Int}},
    {"ASIGetTriggerOutputIOConf", 5, {K::Int, K::Int, K::Out, K::Out, K::Out}},
    {"ASIGPSGetData", 3, {K::Int, K::Out, K::Out}},
}};
// clang-format on

struct Entry {
    Fn fn = Fn::GetNumOfConnectedCameras;
    int64_t values[kMaxArgs] = {};
    bool has_path = false;
    std::string path; // keeps its capacity when the slot is reused
};

// The ring: `next` is where the next call goes, `kept` how many of the newest slots hold calls.
struct Ring {
    std::mutex mutex;
    std::array<Entry, journal::kCapacity> entries;
    int next = 0;
    int kept = 0;
};

Ring &ring() {
    // Never destroyed: a call racing with process exit still finds its journal.
    static Ring &r = *new Ring;
    return r;
}

void append_path(std::string &out, const std::string &path) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : path) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    out += '"';
}

void format(const Entry &e, std::string &out) {
    static const char hex[] = "0123456789abcdef";
    const FunctionInfo &info = kFunctions[static_cast<size_t>(e.fn)];
    out = info.name;
    out += '(';
    for (int i = 0; i < info.nargs; ++i) {
        if (i)
            out += ", ";
        const int64_t v = e.values[i];
        switch (info.kinds[i]) {
        case ArgKind::Int:
            out += std::to_string(v);
            break;
        case ArgKind::Out:
            out += v ? "out" : "NULL";
            break;
        case ArgKind::Buf:
            out += v ? "buf" : "NULL";
            break;
        case ArgKind::Path:
            if (e.has_path)
                append_path(out, e.path);
            else
                out += "NULL";
            break;
        case ArgKind::Id8: {
            const auto u = static_cast<uint64_t>(v);
            for (int shift = 60; shift >= 0; shift -= 4)
                out += hex[(u >> shift) & 0xf];
            break;
        }
        }
    }
    out += ')';
}

} // namespace

bool find_function(const char *name, Fn *out) {
    if (!name)
        return false;
    for (size_t i = 0; i < kFunctions.size(); ++i) {
        if (std::strcmp(kFunctions[i].name, name) == 0) {
            *out = static_cast<Fn>(i);
            return true;
        }
    }
    return false;
}

namespace journal {

void record(Fn fn, const int64_t *values, int n, const char *path) {
    Ring &r = ring();
    std::lock_guard lock(r.mutex);
    Entry &e = r.entries[static_cast<size_t>(r.next)];
    e.fn = fn;
    for (int i = 0; i < kMaxArgs; ++i)
        e.values[i] = i < n ? values[i] : 0;
    e.has_path = path != nullptr;
    if (path)
        e.path.assign(path);
    r.next = (r.next + 1) % kCapacity;
    if (r.kept < kCapacity)
        ++r.kept;
}

int count() {
    Ring &r = ring();
    std::lock_guard lock(r.mutex);
    return r.kept;
}

bool line(int index, std::string *out) {
    Ring &r = ring();
    std::lock_guard lock(r.mutex);
    if (index < 0)
        index += r.kept;
    if (index < 0 || index >= r.kept)
        return false;
    const int slot = (r.next - r.kept + index + kCapacity) % kCapacity;
    format(r.entries[static_cast<size_t>(slot)], *out);
    return true;
}

void clear() {
    Ring &r = ring();
    std::lock_guard lock(r.mutex);
    r.kept = 0;
}

} // namespace journal

} // namespace asisim
