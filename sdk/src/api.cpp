// The 42 SDK entry points.
//
// Each one records its raw arguments in the journal, serves a queued script if there is one,
// and otherwise checks its pointers and hands plain values to the camera. Enumeration
// parameters are read as ints (a caller may pass any 32-bit value), and records are filled here,
// so the camera knows nothing of the C ABI.
#include "camera.h"
#include "journal.h"
#include "registry.h"
#include "scripts.h"

#include <ASICamera2.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

using namespace asisim;

namespace {

constexpr const char *kVersion = "1.37.0";

// Raw values for the journal.
int64_t P(const void *p) {
    return p ? 1 : 0;
}
template <class E> int64_t V(E e) {
    return static_cast<int64_t>(e);
}

template <size_t N> void journal_call(Fn fn, const int64_t (&v)[N], const char *path = nullptr) {
    journal::record(fn, v, static_cast<int>(N), path);
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
ASI_ERROR_CODE as_code(int code) {
    return as_enum<ASI_ERROR_CODE>(code);
}

template <class L> L unpack(const Script &s) {
    L l;
    std::memcpy(&l, s.data.data(), sizeof l);
    return l;
}

template <class T> void put(T *p, const T &v) {
    if (p)
        std::memcpy(p, &v, sizeof v);
}

// Writes scripted image bytes (after the GPS record for the GPS variants) to the buffer: at most
// the buffer's size, nothing beyond.
void put_image(const Script &s, size_t skip, unsigned char *buf, long size) {
    if (!buf || size <= 0 || s.data.size() <= skip)
        return;
    const size_t n = std::min(s.data.size() - skip, static_cast<size_t>(size));
    std::memcpy(buf, s.data.data() + skip, n);
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

void fill_info(Camera &c, ASI_CAMERA_INFO *info) {
    const CameraModel &m = c.model();
    std::memset(info, 0, sizeof *info);
    std::strncpy(info->Name, m.name, sizeof info->Name - 1);
    info->CameraID = c.id();
    info->MaxHeight = m.height;
    info->MaxWidth = m.width;
    info->IsColorCam = m.color ? ASI_TRUE : ASI_FALSE;
    info->BayerPattern = m.bayer;
    const auto bins = c.bins();
    for (size_t i = 0; i < bins.size() && i + 1 < std::size(info->SupportedBins); ++i)
        info->SupportedBins[i] = bins[i];
    const auto types = c.image_types();
    size_t n = 0;
    for (; n < types.size() && n + 1 < std::size(info->SupportedVideoFormat); ++n)
        info->SupportedVideoFormat[n] = types[n];
    info->SupportedVideoFormat[n] = ASI_IMG_END;
    info->PixelSize = m.pixel_um;
    info->MechanicalShutter = ASI_FALSE;
    info->ST4Port = m.st4 ? ASI_TRUE : ASI_FALSE;
    info->IsCoolerCam = m.cooled ? ASI_TRUE : ASI_FALSE;
    info->IsUSB3Host = ASI_TRUE; // the simulated host has USB3 ports
    info->IsUSB3Camera = m.usb3 ? ASI_TRUE : ASI_FALSE;
    info->ElecPerADU = static_cast<float>(m.e_per_adu_unity);
    info->BitDepth = m.bit_depth;
    info->IsTriggerCam = m.trigger ? ASI_TRUE : ASI_FALSE;
}

// Looks the camera up; on failure `code` holds the answer.
struct Lookup {
    std::shared_ptr<Camera> camera;
    ASI_ERROR_CODE code = ASI_SUCCESS;
};
Lookup find(int id) {
    Lookup l;
    l.camera = Registry::instance().by_id(id);
    if (!l.camera)
        l.code = ASI_ERROR_INVALID_ID;
    return l;
}

} // namespace

extern "C" {

// ---- discovery ----

int ASIGetNumOfConnectedCameras(void) {
    journal::record(Fn::GetNumOfConnectedCameras, nullptr, 0);
    if (auto s = scripts::take(Fn::GetNumOfConnectedCameras))
        return s->has_data ? unpack<layout::Int>(*s).value : s->code;
    return Registry::instance().connected_count();
}

ASI_BOOL ASICameraCheck(int iVID, int iPID) {
    journal_call(Fn::CameraCheck, {V(iVID), V(iPID)});
    if (auto s = scripts::take(Fn::CameraCheck))
        return as_enum<ASI_BOOL>(s->has_data ? unpack<layout::Int>(*s).value : s->code);
    return Registry::known_product(iVID, iPID) ? ASI_TRUE : ASI_FALSE;
}

ASI_ERROR_CODE ASIGetCameraProperty(ASI_CAMERA_INFO *pASICameraInfo, int iCameraIndex) {
    journal_call(Fn::GetCameraProperty, {P(pASICameraInfo), V(iCameraIndex)});
    if (auto s = scripts::take(Fn::GetCameraProperty)) {
        if (s->code == 0 && s->has_data)
            put(pASICameraInfo, unpack<layout::CameraInfo>(*s).info);
        return as_code(s->code);
    }
    auto cam = Registry::instance().by_index(iCameraIndex);
    if (!cam)
        return ASI_ERROR_INVALID_INDEX;
    if (!pASICameraInfo)
        return ASI_ERROR_GENERAL_ERROR;
    fill_info(*cam, pASICameraInfo);
    return ASI_SUCCESS;
}

char *ASIGetSDKVersion(void) {
    journal::record(Fn::GetSDKVersion, nullptr, 0);
    // The text stays valid until this thread's next call.
    thread_local std::string text;
    text = kVersion;
    if (auto s = scripts::take(Fn::GetSDKVersion)) {
        if (s->has_data)
            text.assign(reinterpret_cast<const char *>(s->data.data()), s->data.size());
    }
    return text.data();
}

ASI_ERROR_CODE ASIGetCameraPropertyByID(int iCameraID, ASI_CAMERA_INFO *pASICameraInfo) {
    journal_call(Fn::GetCameraPropertyByID, {V(iCameraID), P(pASICameraInfo)});
    if (auto s = scripts::take(Fn::GetCameraPropertyByID)) {
        if (s->code == 0 && s->has_data)
            put(pASICameraInfo, unpack<layout::CameraInfo>(*s).info);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!l.camera->plugged())
        return ASI_ERROR_CAMERA_REMOVED;
    if (!pASICameraInfo)
        return ASI_ERROR_GENERAL_ERROR;
    fill_info(*l.camera, pASICameraInfo);
    return ASI_SUCCESS;
}

// ---- lifecycle, identity and modes ----

#define SIMPLE_CALL(FN, ID, METHOD)                                                                          \
    do {                                                                                                     \
        journal_call(FN, {V(ID)});                                                                           \
        if (auto s = scripts::take(FN))                                                                      \
            return as_code(s->code);                                                                         \
        auto l = find(ID);                                                                                   \
        return l.camera ? l.camera->METHOD() : l.code;                                                       \
    } while (0)

ASI_ERROR_CODE ASIOpenCamera(int iCameraID) {
    SIMPLE_CALL(Fn::OpenCamera, iCameraID, open);
}
ASI_ERROR_CODE ASIInitCamera(int iCameraID) {
    SIMPLE_CALL(Fn::InitCamera, iCameraID, init);
}
ASI_ERROR_CODE ASICloseCamera(int iCameraID) {
    SIMPLE_CALL(Fn::CloseCamera, iCameraID, close);
}

ASI_ERROR_CODE ASIGetID(int iCameraID, ASI_ID *pID) {
    journal_call(Fn::GetID, {V(iCameraID), P(pID)});
    if (auto s = scripts::take(Fn::GetID)) {
        if (s->code == 0 && s->has_data)
            put(pID, unpack<layout::Id>(*s).id);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!pID)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->get_flash_id(pID->id);
}

ASI_ERROR_CODE ASISetID(int iCameraID, ASI_ID ID) {
    uint64_t packed = 0;
    for (unsigned char b : ID.id)
        packed = (packed << 8) | b;
    journal_call(Fn::SetID, {V(iCameraID), static_cast<int64_t>(packed)});
    if (auto s = scripts::take(Fn::SetID))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->set_flash_id(ID.id) : l.code;
}

ASI_ERROR_CODE ASIGetSerialNumber(int iCameraID, ASI_SN *pSN) {
    journal_call(Fn::GetSerialNumber, {V(iCameraID), P(pSN)});
    if (auto s = scripts::take(Fn::GetSerialNumber)) {
        if (s->code == 0 && s->has_data)
            put(pSN, unpack<layout::Id>(*s).id);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!pSN)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->get_serial(pSN->id);
}

ASI_ERROR_CODE ASIGetCameraSupportMode(int iCameraID, ASI_SUPPORTED_MODE *pSupportedMode) {
    journal_call(Fn::GetCameraSupportMode, {V(iCameraID), P(pSupportedMode)});
    if (auto s = scripts::take(Fn::GetCameraSupportMode)) {
        if (s->code == 0 && s->has_data)
            put(pSupportedMode, unpack<layout::SupportedMode>(*s).modes);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!pSupportedMode)
        return ASI_ERROR_GENERAL_ERROR;
    std::vector<ASI_CAMERA_MODE> modes;
    const ASI_ERROR_CODE rc = l.camera->supported_modes(&modes);
    if (rc != ASI_SUCCESS)
        return rc;
    ASI_SUPPORTED_MODE out;
    const size_t cap = std::size(out.SupportedCameraMode);
    for (size_t i = 0; i < cap; ++i)
        out.SupportedCameraMode[i] = i < modes.size() ? modes[i] : ASI_MODE_END;
    *pSupportedMode = out;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE ASIGetCameraMode(int iCameraID, ASI_CAMERA_MODE *mode) {
    journal_call(Fn::GetCameraMode, {V(iCameraID), P(mode)});
    if (auto s = scripts::take(Fn::GetCameraMode)) {
        if (s->code == 0 && s->has_data)
            put(mode, unpack<layout::CameraMode>(*s).mode);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!mode)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->get_mode(mode);
}

ASI_ERROR_CODE ASISetCameraMode(int iCameraID, ASI_CAMERA_MODE mode) {
    const int m = as_int(mode);
    journal_call(Fn::SetCameraMode, {V(iCameraID), V(m)});
    if (auto s = scripts::take(Fn::SetCameraMode))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->set_mode(m) : l.code;
}

// ---- controls ----

ASI_ERROR_CODE ASIGetNumOfControls(int iCameraID, int *piNumberOfControls) {
    journal_call(Fn::GetNumOfControls, {V(iCameraID), P(piNumberOfControls)});
    if (auto s = scripts::take(Fn::GetNumOfControls)) {
        if (s->code == 0 && s->has_data)
            put(piNumberOfControls, unpack<layout::Int>(*s).value);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!piNumberOfControls)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->control_count(piNumberOfControls);
}

ASI_ERROR_CODE ASIGetControlCaps(int iCameraID, int iControlIndex, ASI_CONTROL_CAPS *pControlCaps) {
    journal_call(Fn::GetControlCaps, {V(iCameraID), V(iControlIndex), P(pControlCaps)});
    if (auto s = scripts::take(Fn::GetControlCaps)) {
        if (s->code == 0 && s->has_data)
            put(pControlCaps, unpack<layout::ControlCaps>(*s).caps);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!pControlCaps)
        return ASI_ERROR_GENERAL_ERROR;
    ControlSpec c;
    const ASI_ERROR_CODE rc = l.camera->control_spec(iControlIndex, &c);
    if (rc != ASI_SUCCESS)
        return rc;
    ASI_CONTROL_CAPS caps;
    std::memset(&caps, 0, sizeof caps);
    std::strncpy(caps.Name, c.name, sizeof caps.Name - 1);
    std::strncpy(caps.Description, c.description, sizeof caps.Description - 1);
    caps.MaxValue = c.max;
    caps.MinValue = c.min;
    caps.DefaultValue = c.def;
    caps.IsAutoSupported = c.auto_supported ? ASI_TRUE : ASI_FALSE;
    caps.IsWritable = c.writable ? ASI_TRUE : ASI_FALSE;
    caps.ControlType = c.type;
    *pControlCaps = caps;
    return ASI_SUCCESS;
}

ASI_ERROR_CODE ASIGetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long *plValue,
                                  ASI_BOOL *pbAuto) {
    const int type = as_int(ControlType);
    journal_call(Fn::GetControlValue, {V(iCameraID), V(type), P(plValue), P(pbAuto)});
    if (auto s = scripts::take(Fn::GetControlValue)) {
        if (s->code == 0 && s->has_data) {
            const auto d = unpack<layout::ControlValue>(*s);
            put(plValue, d.value);
            put(pbAuto, d.automatic);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!plValue || !pbAuto)
        return ASI_ERROR_GENERAL_ERROR;
    long value = 0;
    bool automatic = false;
    const ASI_ERROR_CODE rc = l.camera->get_control(type, &value, &automatic);
    if (rc == ASI_SUCCESS) {
        *plValue = value;
        *pbAuto = automatic ? ASI_TRUE : ASI_FALSE;
    }
    return rc;
}

ASI_ERROR_CODE ASISetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long lValue, ASI_BOOL bAuto) {
    const int type = as_int(ControlType), automatic = as_int(bAuto);
    journal_call(Fn::SetControlValue, {V(iCameraID), V(type), V(lValue), V(automatic)});
    if (auto s = scripts::take(Fn::SetControlValue))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->set_control(type, lValue, automatic) : l.code;
}

ASI_ERROR_CODE ASIGetGainOffset(int iCameraID, int *pOffset_HighestDR, int *pOffset_UnityGain,
                                int *pGain_LowestRN, int *pOffset_LowestRN) {
    journal_call(Fn::GetGainOffset, {V(iCameraID), P(pOffset_HighestDR), P(pOffset_UnityGain),
                                     P(pGain_LowestRN), P(pOffset_LowestRN)});
    if (auto s = scripts::take(Fn::GetGainOffset)) {
        if (s->code == 0 && s->has_data) {
            const auto d = unpack<layout::FourInts>(*s);
            put(pOffset_HighestDR, d.a);
            put(pOffset_UnityGain, d.b);
            put(pGain_LowestRN, d.c);
            put(pOffset_LowestRN, d.d);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!pOffset_HighestDR || !pOffset_UnityGain || !pGain_LowestRN || !pOffset_LowestRN)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->gain_offsets(pOffset_HighestDR, pOffset_UnityGain, pGain_LowestRN, pOffset_LowestRN);
}

ASI_ERROR_CODE ASIGetLMHGainOffset(int iCameraID, int *pLGain, int *pMGain, int *pHGain, int *pHOffset) {
    journal_call(Fn::GetLMHGainOffset, {V(iCameraID), P(pLGain), P(pMGain), P(pHGain), P(pHOffset)});
    if (auto s = scripts::take(Fn::GetLMHGainOffset)) {
        if (s->code == 0 && s->has_data) {
            const auto d = unpack<layout::FourInts>(*s);
            put(pLGain, d.a);
            put(pMGain, d.b);
            put(pHGain, d.c);
            put(pHOffset, d.d);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!pLGain || !pMGain || !pHGain || !pHOffset)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->lmh_gain_offsets(pLGain, pMGain, pHGain, pHOffset);
}

// ---- region of interest ----

ASI_ERROR_CODE ASISetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin, ASI_IMG_TYPE Img_type) {
    const int type = as_int(Img_type);
    journal_call(Fn::SetROIFormat, {V(iCameraID), V(iWidth), V(iHeight), V(iBin), V(type)});
    if (auto s = scripts::take(Fn::SetROIFormat))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->set_roi(iWidth, iHeight, iBin, type) : l.code;
}

ASI_ERROR_CODE ASIGetROIFormat(int iCameraID, int *piWidth, int *piHeight, int *piBin,
                               ASI_IMG_TYPE *pImg_type) {
    journal_call(Fn::GetROIFormat, {V(iCameraID), P(piWidth), P(piHeight), P(piBin), P(pImg_type)});
    if (auto s = scripts::take(Fn::GetROIFormat)) {
        if (s->code == 0 && s->has_data) {
            const auto d = unpack<layout::RoiFormat>(*s);
            put(piWidth, d.width);
            put(piHeight, d.height);
            put(piBin, d.bin);
            put(pImg_type, d.img_type);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!piWidth || !piHeight || !piBin || !pImg_type)
        return ASI_ERROR_GENERAL_ERROR;
    Roi roi;
    const ASI_ERROR_CODE rc = l.camera->get_roi(&roi);
    if (rc == ASI_SUCCESS) {
        *piWidth = roi.width;
        *piHeight = roi.height;
        *piBin = roi.bin;
        *pImg_type = roi.img_type;
    }
    return rc;
}

ASI_ERROR_CODE ASISetStartPos(int iCameraID, int iStartX, int iStartY) {
    journal_call(Fn::SetStartPos, {V(iCameraID), V(iStartX), V(iStartY)});
    if (auto s = scripts::take(Fn::SetStartPos))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->set_start(iStartX, iStartY) : l.code;
}

ASI_ERROR_CODE ASIGetStartPos(int iCameraID, int *piStartX, int *piStartY) {
    journal_call(Fn::GetStartPos, {V(iCameraID), P(piStartX), P(piStartY)});
    if (auto s = scripts::take(Fn::GetStartPos)) {
        if (s->code == 0 && s->has_data) {
            const auto d = unpack<layout::StartPos>(*s);
            put(piStartX, d.x);
            put(piStartY, d.y);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!piStartX || !piStartY)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->get_start(piStartX, piStartY);
}

// ---- snapshot exposure ----

ASI_ERROR_CODE ASIStartExposure(int iCameraID, ASI_BOOL bIsDark) {
    const int dark = as_int(bIsDark);
    journal_call(Fn::StartExposure, {V(iCameraID), V(dark)});
    if (auto s = scripts::take(Fn::StartExposure))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->start_exposure(dark) : l.code;
}

ASI_ERROR_CODE ASIStopExposure(int iCameraID) {
    SIMPLE_CALL(Fn::StopExposure, iCameraID, stop_exposure);
}

ASI_ERROR_CODE ASIGetExpStatus(int iCameraID, ASI_EXPOSURE_STATUS *pExpStatus) {
    journal_call(Fn::GetExpStatus, {V(iCameraID), P(pExpStatus)});
    if (auto s = scripts::take(Fn::GetExpStatus)) {
        if (s->code == 0 && s->has_data)
            put(pExpStatus, unpack<layout::ExpStatus>(*s).status);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!pExpStatus)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->exposure_status(pExpStatus);
}

ASI_ERROR_CODE ASIGetDataAfterExp(int iCameraID, unsigned char *pBuffer, long lBuffSize) {
    journal_call(Fn::GetDataAfterExp, {V(iCameraID), P(pBuffer), V(lBuffSize)});
    if (auto s = scripts::take(Fn::GetDataAfterExp)) {
        if (s->code == 0 && s->has_data)
            put_image(*s, 0, pBuffer, lBuffSize);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    return l.camera ? l.camera->exposure_data(pBuffer, lBuffSize, nullptr) : l.code;
}

ASI_ERROR_CODE ASIGetDataAfterExpGPS(int iCameraID, unsigned char *pBuffer, long lBuffSize,
                                     ASI_GPS_DATA *gpsData) {
    journal_call(Fn::GetDataAfterExpGPS, {V(iCameraID), P(pBuffer), V(lBuffSize), P(gpsData)});
    if (auto s = scripts::take(Fn::GetDataAfterExpGPS)) {
        if (s->code == 0 && s->has_data) {
            ASI_GPS_DATA g;
            std::memcpy(&g, s->data.data(), sizeof g);
            put(gpsData, g);
            put_image(*s, sizeof g, pBuffer, lBuffSize);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!gpsData)
        return ASI_ERROR_GENERAL_ERROR;
    GpsFix fix;
    const ASI_ERROR_CODE rc = l.camera->exposure_data(pBuffer, lBuffSize, &fix);
    if (rc == ASI_SUCCESS)
        fill_gps(fix, gpsData);
    return rc;
}

// ---- video capture ----

ASI_ERROR_CODE ASIStartVideoCapture(int iCameraID) {
    SIMPLE_CALL(Fn::StartVideoCapture, iCameraID, start_video);
}
ASI_ERROR_CODE ASIStopVideoCapture(int iCameraID) {
    SIMPLE_CALL(Fn::StopVideoCapture, iCameraID, stop_video);
}

ASI_ERROR_CODE ASIGetVideoData(int iCameraID, unsigned char *pBuffer, long lBuffSize, int iWaitms) {
    journal_call(Fn::GetVideoData, {V(iCameraID), P(pBuffer), V(lBuffSize), V(iWaitms)});
    if (auto s = scripts::take(Fn::GetVideoData)) {
        if (s->code == 0 && s->has_data)
            put_image(*s, 0, pBuffer, lBuffSize);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    return l.camera ? l.camera->video_data(pBuffer, lBuffSize, iWaitms, nullptr) : l.code;
}

ASI_ERROR_CODE ASIGetVideoDataGPS(int iCameraID, unsigned char *pBuffer, long lBuffSize, int iWaitms,
                                  ASI_GPS_DATA *gpsData) {
    journal_call(Fn::GetVideoDataGPS, {V(iCameraID), P(pBuffer), V(lBuffSize), V(iWaitms), P(gpsData)});
    if (auto s = scripts::take(Fn::GetVideoDataGPS)) {
        if (s->code == 0 && s->has_data) {
            ASI_GPS_DATA g;
            std::memcpy(&g, s->data.data(), sizeof g);
            put(gpsData, g);
            put_image(*s, sizeof g, pBuffer, lBuffSize);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!gpsData)
        return ASI_ERROR_GENERAL_ERROR;
    GpsFix fix;
    const ASI_ERROR_CODE rc = l.camera->video_data(pBuffer, lBuffSize, iWaitms, &fix);
    if (rc == ASI_SUCCESS)
        fill_gps(fix, gpsData);
    return rc;
}

ASI_ERROR_CODE ASIGetDroppedFrames(int iCameraID, int *piDropFrames) {
    journal_call(Fn::GetDroppedFrames, {V(iCameraID), P(piDropFrames)});
    if (auto s = scripts::take(Fn::GetDroppedFrames)) {
        if (s->code == 0 && s->has_data)
            put(piDropFrames, unpack<layout::Int>(*s).value);
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!piDropFrames)
        return ASI_ERROR_GENERAL_ERROR;
    return l.camera->dropped_frames(piDropFrames);
}

// ---- guiding, dark subtraction, triggers and GPS ----

ASI_ERROR_CODE ASIEnableDarkSubtract(int iCameraID, char *pcBMPPath) {
    journal_call(Fn::EnableDarkSubtract, {V(iCameraID), P(pcBMPPath)}, pcBMPPath);
    if (auto s = scripts::take(Fn::EnableDarkSubtract))
        return as_code(s->code);
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!pcBMPPath)
        return ASI_ERROR_INVALID_PATH;
    return l.camera->enable_dark(pcBMPPath);
}

ASI_ERROR_CODE ASIDisableDarkSubtract(int iCameraID) {
    SIMPLE_CALL(Fn::DisableDarkSubtract, iCameraID, disable_dark);
}

ASI_ERROR_CODE ASIPulseGuideOn(int iCameraID, ASI_GUIDE_DIRECTION direction) {
    const int dir = as_int(direction);
    journal_call(Fn::PulseGuideOn, {V(iCameraID), V(dir)});
    if (auto s = scripts::take(Fn::PulseGuideOn))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->pulse_on(dir) : l.code;
}

ASI_ERROR_CODE ASIPulseGuideOff(int iCameraID, ASI_GUIDE_DIRECTION direction) {
    const int dir = as_int(direction);
    journal_call(Fn::PulseGuideOff, {V(iCameraID), V(dir)});
    if (auto s = scripts::take(Fn::PulseGuideOff))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->pulse_off(dir) : l.code;
}

ASI_ERROR_CODE ASISendSoftTrigger(int iCameraID, ASI_BOOL bStart) {
    const int start = as_int(bStart);
    journal_call(Fn::SendSoftTrigger, {V(iCameraID), V(start)});
    if (auto s = scripts::take(Fn::SendSoftTrigger))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->soft_trigger(start) : l.code;
}

ASI_ERROR_CODE ASISetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin, ASI_BOOL bPinHigh, long lDelay,
                                         long lDuration) {
    const int p = as_int(pin), high = as_int(bPinHigh);
    journal_call(Fn::SetTriggerOutputIOConf, {V(iCameraID), V(p), V(high), V(lDelay), V(lDuration)});
    if (auto s = scripts::take(Fn::SetTriggerOutputIOConf))
        return as_code(s->code);
    auto l = find(iCameraID);
    return l.camera ? l.camera->set_trigger_output(p, high, lDelay, lDuration) : l.code;
}

ASI_ERROR_CODE ASIGetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin, ASI_BOOL *bPinHigh, long *lDelay,
                                         long *lDuration) {
    const int p = as_int(pin);
    journal_call(Fn::GetTriggerOutputIOConf, {V(iCameraID), V(p), P(bPinHigh), P(lDelay), P(lDuration)});
    if (auto s = scripts::take(Fn::GetTriggerOutputIOConf)) {
        if (s->code == 0 && s->has_data) {
            const auto d = unpack<layout::TriggerOutput>(*s);
            put(bPinHigh, d.pin_high);
            put(lDelay, d.delay);
            put(lDuration, d.duration);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!bPinHigh || !lDelay || !lDuration)
        return ASI_ERROR_GENERAL_ERROR;
    bool high = false;
    const ASI_ERROR_CODE rc = l.camera->get_trigger_output(p, &high, lDelay, lDuration);
    if (rc == ASI_SUCCESS)
        *bPinHigh = high ? ASI_TRUE : ASI_FALSE;
    return rc;
}

ASI_ERROR_CODE ASIGPSGetData(int iCameraID, ASI_GPS_DATA *startLineGPSData, ASI_GPS_DATA *endLineGPSData) {
    journal_call(Fn::GPSGetData, {V(iCameraID), P(startLineGPSData), P(endLineGPSData)});
    if (auto s = scripts::take(Fn::GPSGetData)) {
        if (s->code == 0 && s->has_data) {
            const auto d = unpack<layout::GpsPair>(*s);
            put(startLineGPSData, d.start);
            put(endLineGPSData, d.end);
        }
        return as_code(s->code);
    }
    auto l = find(iCameraID);
    if (!l.camera)
        return l.code;
    if (!startLineGPSData || !endLineGPSData)
        return ASI_ERROR_GENERAL_ERROR;
    GpsFix a, b;
    const ASI_ERROR_CODE rc = l.camera->gps_data(&a, &b);
    if (rc == ASI_SUCCESS) {
        fill_gps(a, startLineGPSData);
        fill_gps(b, endLineGPSData);
    }
    return rc;
}

} // extern "C"
