// The 42 SDK entry points.
//
// Each one records its raw arguments in the journal and hands the rest to `call`: a queued script
// answers instead of the camera; otherwise the camera of that ID is looked up, the output
// pointers are checked and the camera does the work. Enumeration parameters are read as ints (a
// caller may pass any 32-bit value), and records are filled here, so the camera knows nothing of
// the C ABI.
#include "boundary.h"
#include "camera.h"
#include "journal.h"
#include "registry.h"
#include "scripts.h"

#include <ASICamera2.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <type_traits>

using namespace asisim;

namespace {

constexpr const char *kVersion = "1.37.0";
char kVersionText[] = "1.37.0"; // what ASIGetSDKVersion returns when it fails

// Raw values for the journal.
int64_t P(const void *p) {
    return p ? 1 : 0;
}
template <class E> int64_t V(E e) {
    return static_cast<int64_t>(e);
}

void journal_call(Fn fn, std::initializer_list<int64_t> values, const char *path = nullptr) {
    journal::record(fn, values.begin(), static_cast<int>(values.size()), path);
}

// An enumeration argument as the 32-bit value the caller passed, whatever it is.
template <class E> int as_int(E e) {
    static_assert(sizeof(E) == sizeof(int));
    int v;
    std::memcpy(&v, &e, sizeof v);
    return v;
}

// A scripted value handed back through an enumeration return type. A conversion, never a load
// of an enumeration object, so any int goes through unchanged and sanitizers stay quiet.
template <class E> E as_enum(int value) {
    static_assert(sizeof(E) == sizeof(int));
    return static_cast<E>(value);
}

// An image buffer among a call's outputs. A script's image bytes go to its start, at most `size`
// of them; the camera judges the buffer itself, so it takes no part in the null check.
struct Image {
    unsigned char *buf;
    long size;
};

// Writes the output `out` from the script's data, where the member of its type lies after
// `offset` in the packed struct, and returns the offset after it. The data's size was checked
// against the function's layout when the script was queued.
template <class T> size_t write_output(const Script &s, size_t offset, T *out) {
    offset = align_up(offset, alignof(T));
    if (out)
        std::memcpy(out, s.data.data() + offset, sizeof(T));
    return offset + sizeof(T);
}
size_t write_output(const Script &s, size_t offset, Image image) {
    if (image.buf && image.size > 0 && s.data.size() > offset)
        std::memcpy(image.buf, s.data.data() + offset,
                    std::min(s.data.size() - offset, static_cast<size_t>(image.size)));
    return s.data.size();
}

template <class T> bool given(T *out) {
    return out != nullptr;
}
bool given(Image) {
    return true;
}

// The fixed part of the packed struct of these outputs (image bytes have no fixed size).
template <class... Out> constexpr size_t fixed_size() {
    size_t size = 0, alignment = 1;
    [[maybe_unused]] auto add = [&]<class O>() {
        if constexpr (!std::is_same_v<O, Image>) {
            using T = std::remove_pointer_t<O>;
            size = align_up(size, alignof(T)) + sizeof(T);
            alignment = std::max(alignment, alignof(T));
        }
    };
    (add.template operator()<Out>(), ...);
    return align_up(size, alignment);
}

// A queued script's answer for F, if there is one: its code and, on success with data, the data
// written into `outs`, the function's outputs in the order of the script's packed struct. The code
// stays an int until it is returned: it may be any value, which no enumeration object may hold.
template <Fn F, class... Out> std::optional<int> scripted(Out... outs) {
    constexpr ScriptLayout layout = script_layout(F);
    static_assert(layout.size == fixed_size<Out...>());
    static_assert((layout.shape == DataShape::Fixed) == !(std::is_same_v<Out, Image> || ...));
    auto s = scripts::take(F);
    if (!s)
        return std::nullopt;
    if (s->code == 0 && s->has_data) {
        [[maybe_unused]] size_t offset = 0;
        ((offset = write_output(*s, offset, outs)), ...);
    }
    return s->code;
}

// The rest of a call on one camera after its journal line: a queued script, else the camera of
// that ID, every output pointer given, and `body` on the camera.
template <Fn F, class Body, class... Out> ASI_ERROR_CODE call(int id, Body &&body, Out... outs) {
    if (auto code = scripted<F>(outs...))
        return as_enum<ASI_ERROR_CODE>(*code);
    const auto camera = Registry::instance().by_id(id);
    if (!camera)
        return ASI_ERROR_INVALID_ID;
    if (!(given(outs) && ...))
        return ASI_ERROR_GENERAL_ERROR;
    return std::invoke(std::forward<Body>(body), *camera);
}

// A function whose script data is its plain int return value.
template <Fn F> std::optional<int> scripted_return() {
    auto s = scripts::take(F);
    if (!s)
        return std::nullopt;
    if (!s->has_data)
        return s->code;
    int value;
    std::memcpy(&value, s->data.data(), sizeof value);
    return value;
}

void fill_gps(const GpsFix &g, ASI_GPS_DATA *out) {
    std::memset(out, 0, sizeof *out);
    out->Datetime.Year = g.year;
    out->Datetime.Month = g.month;
    out->Datetime.Day = g.day;
    out->Datetime.Hour = g.hour;
    out->Datetime.Minute = g.minute;
    out->Datetime.Second = g.second;
    out->Datetime.Msecond = g.msecond;
    out->Datetime.Usecond = g.usecond;
    out->Latitude = g.latitude;
    out->Longitude = g.longitude;
    out->Altitude = g.altitude;
    out->SatelliteNum = g.satellites;
}

// A list in a fixed array: the entries, then `end` in every remaining place.
template <class T, size_t N, class Src> void fill_list(T (&out)[N], const Src &entries, T end) {
    for (size_t i = 0; i < N; ++i)
        out[i] = i < entries.size() ? static_cast<T>(entries[i]) : end;
}

ASI_ERROR_CODE fill_info(Camera &c, ASI_CAMERA_INFO *info) {
    const CameraModel &m = c.model();
    std::memset(info, 0, sizeof *info);
    std::strncpy(info->Name, m.name, sizeof info->Name - 1);
    info->CameraID = c.id();
    info->MaxHeight = m.height;
    info->MaxWidth = m.width;
    info->IsColorCam = m.color ? ASI_TRUE : ASI_FALSE;
    info->BayerPattern = m.bayer;
    fill_list(info->SupportedBins, c.bins(), 0);
    fill_list(info->SupportedVideoFormat, c.image_types(), ASI_IMG_END);
    info->PixelSize = m.pixel_um;
    info->MechanicalShutter = ASI_FALSE;
    info->ST4Port = m.st4 ? ASI_TRUE : ASI_FALSE;
    info->IsCoolerCam = m.cooled ? ASI_TRUE : ASI_FALSE;
    info->IsUSB3Host = ASI_TRUE; // the simulated host has USB3 ports
    info->IsUSB3Camera = m.usb3 ? ASI_TRUE : ASI_FALSE;
    info->ElecPerADU = static_cast<float>(m.e_per_adu_unity);
    info->BitDepth = m.bit_depth;
    info->IsTriggerCam = m.trigger ? ASI_TRUE : ASI_FALSE;
    return ASI_SUCCESS;
}

// Camera calls whose result goes to a GPS record only on success.
template <class Read> ASI_ERROR_CODE with_gps(ASI_GPS_DATA *out, Read &&read) {
    GpsFix fix;
    const ASI_ERROR_CODE rc = read(&fix);
    if (rc == ASI_SUCCESS)
        fill_gps(fix, out);
    return rc;
}

} // namespace

extern "C" {

// ---- discovery ----

int ASIGetNumOfConnectedCameras(void) {
    return guarded<int>(0, [&]() -> int {
        journal_call(Fn::GetNumOfConnectedCameras, {});
        if (auto v = scripted_return<Fn::GetNumOfConnectedCameras>())
            return *v;
        return Registry::instance().connected_count();
    });
}

ASI_BOOL ASICameraCheck(int iVID, int iPID) {
    return guarded<ASI_BOOL>(ASI_FALSE, [&]() -> ASI_BOOL {
        journal_call(Fn::CameraCheck, {V(iVID), V(iPID)});
        if (auto v = scripted_return<Fn::CameraCheck>())
            return as_enum<ASI_BOOL>(*v);
        return Registry::known_product(iVID, iPID) ? ASI_TRUE : ASI_FALSE;
    });
}

ASI_ERROR_CODE ASIGetCameraProperty(ASI_CAMERA_INFO *pASICameraInfo, int iCameraIndex) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetCameraProperty, {P(pASICameraInfo), V(iCameraIndex)});
        if (auto code = scripted<Fn::GetCameraProperty>(pASICameraInfo))
            return as_enum<ASI_ERROR_CODE>(*code);
        auto cam = Registry::instance().by_index(iCameraIndex);
        if (!cam)
            return ASI_ERROR_INVALID_INDEX;
        if (!pASICameraInfo)
            return ASI_ERROR_GENERAL_ERROR;
        return fill_info(*cam, pASICameraInfo);
    });
}

char *ASIGetSDKVersion(void) {
    return guarded<char *>(kVersionText, [&]() -> char * {
        journal_call(Fn::GetSDKVersion, {});
        // The text stays valid until this thread's next call.
        thread_local std::string text;
        text = kVersion;
        if (auto s = scripts::take(Fn::GetSDKVersion); s && s->has_data)
            text.assign(reinterpret_cast<const char *>(s->data.data()), s->data.size());
        return text.data();
    });
}

ASI_ERROR_CODE ASIGetCameraPropertyByID(int iCameraID, ASI_CAMERA_INFO *pASICameraInfo) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetCameraPropertyByID, {V(iCameraID), P(pASICameraInfo)});
        return call<Fn::GetCameraPropertyByID>(
            iCameraID,
            [&](Camera &c) { return c.plugged() ? fill_info(c, pASICameraInfo) : ASI_ERROR_CAMERA_REMOVED; },
            pASICameraInfo);
    });
}

// ---- lifecycle, identity and modes ----

ASI_ERROR_CODE ASIOpenCamera(int iCameraID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::OpenCamera, {V(iCameraID)});
        return call<Fn::OpenCamera>(iCameraID, &Camera::open);
    });
}

ASI_ERROR_CODE ASIInitCamera(int iCameraID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::InitCamera, {V(iCameraID)});
        return call<Fn::InitCamera>(iCameraID, &Camera::init);
    });
}

ASI_ERROR_CODE ASICloseCamera(int iCameraID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::CloseCamera, {V(iCameraID)});
        return call<Fn::CloseCamera>(iCameraID, &Camera::close);
    });
}

ASI_ERROR_CODE ASIGetID(int iCameraID, ASI_ID *pID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetID, {V(iCameraID), P(pID)});
        return call<Fn::GetID>(iCameraID, [&](Camera &c) { return c.get_flash_id(pID->id); }, pID);
    });
}

ASI_ERROR_CODE ASISetID(int iCameraID, ASI_ID ID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        uint64_t packed = 0; // first byte most significant, as the journal shows it
        for (unsigned char b : ID.id)
            packed = (packed << 8) | b;
        journal_call(Fn::SetID, {V(iCameraID), static_cast<int64_t>(packed)});
        return call<Fn::SetID>(iCameraID, [&](Camera &c) { return c.set_flash_id(ID.id); });
    });
}

ASI_ERROR_CODE ASIGetSerialNumber(int iCameraID, ASI_SN *pSN) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetSerialNumber, {V(iCameraID), P(pSN)});
        return call<Fn::GetSerialNumber>(iCameraID, [&](Camera &c) { return c.get_serial(pSN->id); }, pSN);
    });
}

ASI_ERROR_CODE ASIGetCameraSupportMode(int iCameraID, ASI_SUPPORTED_MODE *pSupportedMode) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetCameraSupportMode, {V(iCameraID), P(pSupportedMode)});
        return call<Fn::GetCameraSupportMode>(
            iCameraID,
            [&](Camera &c) {
                std::vector<ASI_CAMERA_MODE> modes;
                const ASI_ERROR_CODE rc = c.supported_modes(&modes);
                if (rc == ASI_SUCCESS)
                    fill_list(pSupportedMode->SupportedCameraMode, modes, ASI_MODE_END);
                return rc;
            },
            pSupportedMode);
    });
}

ASI_ERROR_CODE ASIGetCameraMode(int iCameraID, ASI_CAMERA_MODE *mode) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetCameraMode, {V(iCameraID), P(mode)});
        return call<Fn::GetCameraMode>(iCameraID, [&](Camera &c) { return c.get_mode(mode); }, mode);
    });
}

ASI_ERROR_CODE ASISetCameraMode(int iCameraID, ASI_CAMERA_MODE mode) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int m = as_int(mode);
        journal_call(Fn::SetCameraMode, {V(iCameraID), V(m)});
        return call<Fn::SetCameraMode>(iCameraID, [&](Camera &c) { return c.set_mode(m); });
    });
}

// ---- controls ----

ASI_ERROR_CODE ASIGetNumOfControls(int iCameraID, int *piNumberOfControls) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetNumOfControls, {V(iCameraID), P(piNumberOfControls)});
        return call<Fn::GetNumOfControls>(
            iCameraID, [&](Camera &c) { return c.control_count(piNumberOfControls); }, piNumberOfControls);
    });
}

ASI_ERROR_CODE ASIGetControlCaps(int iCameraID, int iControlIndex, ASI_CONTROL_CAPS *pControlCaps) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetControlCaps, {V(iCameraID), V(iControlIndex), P(pControlCaps)});
        return call<Fn::GetControlCaps>(
            iCameraID,
            [&](Camera &c) {
                ControlSpec spec;
                const ASI_ERROR_CODE rc = c.control_spec(iControlIndex, &spec);
                if (rc != ASI_SUCCESS)
                    return rc;
                ASI_CONTROL_CAPS caps;
                std::memset(&caps, 0, sizeof caps);
                std::strncpy(caps.Name, spec.name, sizeof caps.Name - 1);
                std::strncpy(caps.Description, spec.description, sizeof caps.Description - 1);
                caps.MaxValue = spec.max;
                caps.MinValue = spec.min;
                caps.DefaultValue = spec.def;
                caps.IsAutoSupported = spec.auto_supported ? ASI_TRUE : ASI_FALSE;
                caps.IsWritable = spec.writable ? ASI_TRUE : ASI_FALSE;
                caps.ControlType = spec.type;
                *pControlCaps = caps;
                return ASI_SUCCESS;
            },
            pControlCaps);
    });
}

ASI_ERROR_CODE ASIGetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long *plValue,
                                  ASI_BOOL *pbAuto) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int type = as_int(ControlType);
        journal_call(Fn::GetControlValue, {V(iCameraID), V(type), P(plValue), P(pbAuto)});
        return call<Fn::GetControlValue>(
            iCameraID,
            [&](Camera &c) {
                bool automatic = false;
                const ASI_ERROR_CODE rc = c.get_control(type, plValue, &automatic);
                if (rc == ASI_SUCCESS)
                    *pbAuto = automatic ? ASI_TRUE : ASI_FALSE;
                return rc;
            },
            plValue, pbAuto);
    });
}

ASI_ERROR_CODE ASISetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long lValue, ASI_BOOL bAuto) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int type = as_int(ControlType), automatic = as_int(bAuto);
        journal_call(Fn::SetControlValue, {V(iCameraID), V(type), V(lValue), V(automatic)});
        return call<Fn::SetControlValue>(iCameraID,
                                         [&](Camera &c) { return c.set_control(type, lValue, automatic); });
    });
}

ASI_ERROR_CODE ASIGetGainOffset(int iCameraID, int *pOffset_HighestDR, int *pOffset_UnityGain,
                                int *pGain_LowestRN, int *pOffset_LowestRN) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetGainOffset, {V(iCameraID), P(pOffset_HighestDR), P(pOffset_UnityGain),
                                         P(pGain_LowestRN), P(pOffset_LowestRN)});
        return call<Fn::GetGainOffset>(
            iCameraID,
            [&](Camera &c) {
                return c.gain_offsets(pOffset_HighestDR, pOffset_UnityGain, pGain_LowestRN, pOffset_LowestRN);
            },
            pOffset_HighestDR, pOffset_UnityGain, pGain_LowestRN, pOffset_LowestRN);
    });
}

ASI_ERROR_CODE ASIGetLMHGainOffset(int iCameraID, int *pLGain, int *pMGain, int *pHGain, int *pHOffset) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetLMHGainOffset, {V(iCameraID), P(pLGain), P(pMGain), P(pHGain), P(pHOffset)});
        return call<Fn::GetLMHGainOffset>(
            iCameraID, [&](Camera &c) { return c.lmh_gain_offsets(pLGain, pMGain, pHGain, pHOffset); },
            pLGain, pMGain, pHGain, pHOffset);
    });
}

// ---- region of interest ----

ASI_ERROR_CODE ASISetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin, ASI_IMG_TYPE Img_type) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int type = as_int(Img_type);
        journal_call(Fn::SetROIFormat, {V(iCameraID), V(iWidth), V(iHeight), V(iBin), V(type)});
        return call<Fn::SetROIFormat>(iCameraID,
                                      [&](Camera &c) { return c.set_roi(iWidth, iHeight, iBin, type); });
    });
}

ASI_ERROR_CODE ASIGetROIFormat(int iCameraID, int *piWidth, int *piHeight, int *piBin,
                               ASI_IMG_TYPE *pImg_type) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetROIFormat, {V(iCameraID), P(piWidth), P(piHeight), P(piBin), P(pImg_type)});
        return call<Fn::GetROIFormat>(
            iCameraID,
            [&](Camera &c) {
                Roi roi;
                const ASI_ERROR_CODE rc = c.get_roi(&roi);
                if (rc == ASI_SUCCESS) {
                    *piWidth = roi.width;
                    *piHeight = roi.height;
                    *piBin = roi.bin;
                    *pImg_type = roi.img_type;
                }
                return rc;
            },
            piWidth, piHeight, piBin, pImg_type);
    });
}

ASI_ERROR_CODE ASISetStartPos(int iCameraID, int iStartX, int iStartY) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::SetStartPos, {V(iCameraID), V(iStartX), V(iStartY)});
        return call<Fn::SetStartPos>(iCameraID, [&](Camera &c) { return c.set_start(iStartX, iStartY); });
    });
}

ASI_ERROR_CODE ASIGetStartPos(int iCameraID, int *piStartX, int *piStartY) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetStartPos, {V(iCameraID), P(piStartX), P(piStartY)});
        return call<Fn::GetStartPos>(
            iCameraID, [&](Camera &c) { return c.get_start(piStartX, piStartY); }, piStartX, piStartY);
    });
}

// ---- snapshot exposure ----

ASI_ERROR_CODE ASIStartExposure(int iCameraID, ASI_BOOL bIsDark) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int dark = as_int(bIsDark);
        journal_call(Fn::StartExposure, {V(iCameraID), V(dark)});
        return call<Fn::StartExposure>(iCameraID, [&](Camera &c) { return c.start_exposure(dark); });
    });
}

ASI_ERROR_CODE ASIStopExposure(int iCameraID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::StopExposure, {V(iCameraID)});
        return call<Fn::StopExposure>(iCameraID, &Camera::stop_exposure);
    });
}

ASI_ERROR_CODE ASIGetExpStatus(int iCameraID, ASI_EXPOSURE_STATUS *pExpStatus) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetExpStatus, {V(iCameraID), P(pExpStatus)});
        return call<Fn::GetExpStatus>(
            iCameraID, [&](Camera &c) { return c.exposure_status(pExpStatus); }, pExpStatus);
    });
}

ASI_ERROR_CODE ASIGetDataAfterExp(int iCameraID, unsigned char *pBuffer, long lBuffSize) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetDataAfterExp, {V(iCameraID), P(pBuffer), V(lBuffSize)});
        return call<Fn::GetDataAfterExp>(
            iCameraID, [&](Camera &c) { return c.exposure_data(pBuffer, lBuffSize, nullptr); },
            Image{pBuffer, lBuffSize});
    });
}

// The GPS variants' script data is the GPS record followed by the image bytes.
ASI_ERROR_CODE ASIGetDataAfterExpGPS(int iCameraID, unsigned char *pBuffer, long lBuffSize,
                                     ASI_GPS_DATA *gpsData) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetDataAfterExpGPS, {V(iCameraID), P(pBuffer), V(lBuffSize), P(gpsData)});
        return call<Fn::GetDataAfterExpGPS>(
            iCameraID,
            [&](Camera &c) {
                return with_gps(gpsData,
                                [&](GpsFix *fix) { return c.exposure_data(pBuffer, lBuffSize, fix); });
            },
            gpsData, Image{pBuffer, lBuffSize});
    });
}

// ---- video capture ----

ASI_ERROR_CODE ASIStartVideoCapture(int iCameraID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::StartVideoCapture, {V(iCameraID)});
        return call<Fn::StartVideoCapture>(iCameraID, &Camera::start_video);
    });
}

ASI_ERROR_CODE ASIStopVideoCapture(int iCameraID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::StopVideoCapture, {V(iCameraID)});
        return call<Fn::StopVideoCapture>(iCameraID, &Camera::stop_video);
    });
}

ASI_ERROR_CODE ASIGetVideoData(int iCameraID, unsigned char *pBuffer, long lBuffSize, int iWaitms) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetVideoData, {V(iCameraID), P(pBuffer), V(lBuffSize), V(iWaitms)});
        return call<Fn::GetVideoData>(
            iCameraID, [&](Camera &c) { return c.video_data(pBuffer, lBuffSize, iWaitms, nullptr); },
            Image{pBuffer, lBuffSize});
    });
}

ASI_ERROR_CODE ASIGetVideoDataGPS(int iCameraID, unsigned char *pBuffer, long lBuffSize, int iWaitms,
                                  ASI_GPS_DATA *gpsData) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetVideoDataGPS, {V(iCameraID), P(pBuffer), V(lBuffSize), V(iWaitms), P(gpsData)});
        return call<Fn::GetVideoDataGPS>(
            iCameraID,
            [&](Camera &c) {
                return with_gps(gpsData,
                                [&](GpsFix *fix) { return c.video_data(pBuffer, lBuffSize, iWaitms, fix); });
            },
            gpsData, Image{pBuffer, lBuffSize});
    });
}

ASI_ERROR_CODE ASIGetDroppedFrames(int iCameraID, int *piDropFrames) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GetDroppedFrames, {V(iCameraID), P(piDropFrames)});
        return call<Fn::GetDroppedFrames>(
            iCameraID, [&](Camera &c) { return c.dropped_frames(piDropFrames); }, piDropFrames);
    });
}

// ---- guiding, dark subtraction, triggers and GPS ----

ASI_ERROR_CODE ASIEnableDarkSubtract(int iCameraID, char *pcBMPPath) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::EnableDarkSubtract, {V(iCameraID), P(pcBMPPath)}, pcBMPPath);
        return call<Fn::EnableDarkSubtract>(iCameraID, [&](Camera &c) {
            return pcBMPPath ? c.enable_dark(pcBMPPath) : ASI_ERROR_INVALID_PATH;
        });
    });
}

ASI_ERROR_CODE ASIDisableDarkSubtract(int iCameraID) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::DisableDarkSubtract, {V(iCameraID)});
        return call<Fn::DisableDarkSubtract>(iCameraID, &Camera::disable_dark);
    });
}

ASI_ERROR_CODE ASIPulseGuideOn(int iCameraID, ASI_GUIDE_DIRECTION direction) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int dir = as_int(direction);
        journal_call(Fn::PulseGuideOn, {V(iCameraID), V(dir)});
        return call<Fn::PulseGuideOn>(iCameraID, [&](Camera &c) { return c.pulse_on(dir); });
    });
}

ASI_ERROR_CODE ASIPulseGuideOff(int iCameraID, ASI_GUIDE_DIRECTION direction) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int dir = as_int(direction);
        journal_call(Fn::PulseGuideOff, {V(iCameraID), V(dir)});
        return call<Fn::PulseGuideOff>(iCameraID, [&](Camera &c) { return c.pulse_off(dir); });
    });
}

ASI_ERROR_CODE ASISendSoftTrigger(int iCameraID, ASI_BOOL bStart) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int start = as_int(bStart);
        journal_call(Fn::SendSoftTrigger, {V(iCameraID), V(start)});
        return call<Fn::SendSoftTrigger>(iCameraID, [&](Camera &c) { return c.soft_trigger(start); });
    });
}

ASI_ERROR_CODE ASISetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin, ASI_BOOL bPinHigh, long lDelay,
                                         long lDuration) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int p = as_int(pin), high = as_int(bPinHigh);
        journal_call(Fn::SetTriggerOutputIOConf, {V(iCameraID), V(p), V(high), V(lDelay), V(lDuration)});
        return call<Fn::SetTriggerOutputIOConf>(
            iCameraID, [&](Camera &c) { return c.set_trigger_output(p, high, lDelay, lDuration); });
    });
}

ASI_ERROR_CODE ASIGetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin, ASI_BOOL *bPinHigh, long *lDelay,
                                         long *lDuration) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        const int p = as_int(pin);
        journal_call(Fn::GetTriggerOutputIOConf, {V(iCameraID), V(p), P(bPinHigh), P(lDelay), P(lDuration)});
        return call<Fn::GetTriggerOutputIOConf>(
            iCameraID,
            [&](Camera &c) {
                bool high = false;
                const ASI_ERROR_CODE rc = c.get_trigger_output(p, &high, lDelay, lDuration);
                if (rc == ASI_SUCCESS)
                    *bPinHigh = high ? ASI_TRUE : ASI_FALSE;
                return rc;
            },
            bPinHigh, lDelay, lDuration);
    });
}

ASI_ERROR_CODE ASIGPSGetData(int iCameraID, ASI_GPS_DATA *startLineGPSData, ASI_GPS_DATA *endLineGPSData) {
    return guarded<ASI_ERROR_CODE>(ASI_ERROR_GENERAL_ERROR, [&]() -> ASI_ERROR_CODE {
        journal_call(Fn::GPSGetData, {V(iCameraID), P(startLineGPSData), P(endLineGPSData)});
        return call<Fn::GPSGetData>(
            iCameraID,
            [&](Camera &c) {
                GpsFix start, end;
                const ASI_ERROR_CODE rc = c.gps_data(&start, &end);
                if (rc == ASI_SUCCESS) {
                    fill_gps(start, startLineGPSData);
                    fill_gps(end, endLineGPSData);
                }
                return rc;
            },
            startLineGPSData, endLineGPSData);
    });
}

} // extern "C"
