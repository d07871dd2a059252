/* ASICamera2.h - the camera SDK's C ABI as this project uses it.
 *
 * Written from the module's record tables and the function list: 42 functions with C linkage,
 * every enumeration a 32-bit C enum, `long` where the SDK declares `long`. Both the simulated
 * library in sdk/src and a vendor build of the library satisfy this ABI.
 */
#ifndef ASICAMERA2_H
#define ASICAMERA2_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* C++ sees every enumeration with a fixed 32-bit underlying type, so any value that crosses the
 * ABI (a code or mode the other side does not know) is a valid value of the enum type; C keeps
 * its plain enums, which are the same 32 bits. */
#ifdef __cplusplus
#define ASI_ENUM_INT : int
#else
#define ASI_ENUM_INT
#endif

#if defined(_WIN32)
#define ASICAMERA_API __declspec(dllexport)
#else
#define ASICAMERA_API __attribute__((visibility("default")))
#endif

typedef enum ASI_BAYER_PATTERN ASI_ENUM_INT {
    ASI_BAYER_RG = 0,
    ASI_BAYER_BG,
    ASI_BAYER_GR,
    ASI_BAYER_GB
} ASI_BAYER_PATTERN;

typedef enum ASI_IMG_TYPE ASI_ENUM_INT {
    ASI_IMG_RAW8 = 0,
    ASI_IMG_RGB24,
    ASI_IMG_RAW16,
    ASI_IMG_Y8,
    ASI_IMG_END = -1
} ASI_IMG_TYPE;

typedef enum ASI_GUIDE_DIRECTION ASI_ENUM_INT {
    ASI_GUIDE_NORTH = 0,
    ASI_GUIDE_SOUTH,
    ASI_GUIDE_EAST,
    ASI_GUIDE_WEST
} ASI_GUIDE_DIRECTION;

typedef enum ASI_FLIP_STATUS ASI_ENUM_INT {
    ASI_FLIP_NONE = 0,
    ASI_FLIP_HORIZ,
    ASI_FLIP_VERT,
    ASI_FLIP_BOTH
} ASI_FLIP_STATUS;

typedef enum ASI_CAMERA_MODE ASI_ENUM_INT {
    ASI_MODE_NORMAL = 0,
    ASI_MODE_TRIG_SOFT_EDGE,
    ASI_MODE_TRIG_RISE_EDGE,
    ASI_MODE_TRIG_FALL_EDGE,
    ASI_MODE_TRIG_SOFT_LEVEL,
    ASI_MODE_TRIG_HIGH_LEVEL,
    ASI_MODE_TRIG_LOW_LEVEL,
    ASI_MODE_END = -1
} ASI_CAMERA_MODE;

typedef enum ASI_TRIG_OUTPUT ASI_ENUM_INT {
    ASI_TRIG_OUTPUT_PINA = 0,
    ASI_TRIG_OUTPUT_PINB,
    ASI_TRIG_OUTPUT_NONE = -1
} ASI_TRIG_OUTPUT;

/* Return codes, numbered as the vendor's library numbers them, so a program written against the
 * vendor's header gets the same values from either library. The orvik module hands a positive
 * code to its error table as code + 6, where the keys 7..29 name these conditions in this order. */
typedef enum ASI_ERROR_CODE ASI_ENUM_INT {
    ASI_SUCCESS = 0,
    ASI_ERROR_INVALID_INDEX = 1,           /* no camera at that index */
    ASI_ERROR_INVALID_ID = 2,              /* no camera with that ID */
    ASI_ERROR_INVALID_CONTROL_TYPE = 3,    /* control the camera does not have */
    ASI_ERROR_CAMERA_CLOSED = 4,           /* camera not open (or not initialised) */
    ASI_ERROR_CAMERA_REMOVED = 5,          /* camera unplugged */
    ASI_ERROR_INVALID_PATH = 6,            /* dark-frame file missing or unreadable */
    ASI_ERROR_INVALID_FILEFORMAT = 7,      /* dark-frame file malformed or of the wrong size */
    ASI_ERROR_INVALID_SIZE = 8,            /* ROI size or bin not supported */
    ASI_ERROR_INVALID_IMGTYPE = 9,         /* image type not supported */
    ASI_ERROR_OUTOF_BOUNDARY = 10,         /* start position puts the image over the sensor's edge */
    ASI_ERROR_TIMEOUT = 11,                /* no frame within the wait */
    ASI_ERROR_INVALID_SEQUENCE = 12,       /* call out of order (e.g. read before exposure) */
    ASI_ERROR_BUFFER_TOO_SMALL = 13,       /* caller's buffer smaller than the image */
    ASI_ERROR_VIDEO_MODE_ACTIVE = 14,      /* not allowed while video capture runs */
    ASI_ERROR_EXPOSURE_IN_PROGRESS = 15,   /* not allowed while an exposure runs */
    ASI_ERROR_GENERAL_ERROR = 16,          /* value out of range, null pointer, other failure */
    ASI_ERROR_INVALID_MODE = 17,           /* camera mode wrong for the call / unsupported */
    ASI_ERROR_GPS_NOT_SUPPORTED = 18,      /* the camera has no GPS receiver */
    ASI_ERROR_GPS_VER_ERR = 19,            /* GPS firmware too old for the call */
    ASI_ERROR_GPS_FPGA_ERR = 20,           /* reading or writing the GPS data failed */
    ASI_ERROR_GPS_PARAM_OUT_OF_RANGE = 21, /* GPS start or end line outside the sensor */
    ASI_ERROR_GPS_DATA_INVALID = 22,       /* no satellites found, or the data unreadable */
    ASI_ERROR_END = 23
} ASI_ERROR_CODE;

typedef enum ASI_BOOL ASI_ENUM_INT { ASI_FALSE = 0, ASI_TRUE } ASI_BOOL;

typedef enum ASI_CONTROL_TYPE ASI_ENUM_INT {
    ASI_GAIN = 0,
    ASI_EXPOSURE,
    ASI_GAMMA,
    ASI_WB_R,
    ASI_WB_B,
    ASI_OFFSET,
    ASI_BANDWIDTHOVERLOAD,
    ASI_OVERCLOCK,
    ASI_TEMPERATURE, /* tenths of a degree Celsius, read-only */
    ASI_FLIP,
    ASI_AUTO_MAX_GAIN,
    ASI_AUTO_MAX_EXP, /* milliseconds */
    ASI_AUTO_TARGET_BRIGHTNESS,
    ASI_HARDWARE_BIN,
    ASI_HIGH_SPEED_MODE,
    ASI_COOLER_POWER_PERC, /* read-only */
    ASI_TARGET_TEMP,       /* degrees Celsius */
    ASI_COOLER_ON,
    ASI_MONO_BIN,
    ASI_FAN_ON,
    ASI_PATTERN_ADJUST,
    ASI_ANTI_DEW_HEATER,
    ASI_FAN_ADJUST,
    ASI_PWRLED_BRIGNT,
    ASI_USBHUB_RESET,
    ASI_GPS_SUPPORT,
    ASI_GPS_START_LINE,
    ASI_GPS_END_LINE,
    ASI_ROLLING_INTERVAL,
    ASI_CONTROL_TYPE_END
} ASI_CONTROL_TYPE;

typedef enum ASI_EXPOSURE_STATUS ASI_ENUM_INT {
    ASI_EXP_IDLE = 0,
    ASI_EXP_WORKING,
    ASI_EXP_SUCCESS,
    ASI_EXP_FAILED
} ASI_EXPOSURE_STATUS;

typedef struct ASI_CAMERA_INFO {
    char Name[64];
    int CameraID;
    long MaxHeight;
    long MaxWidth;
    ASI_BOOL IsColorCam;
    ASI_BAYER_PATTERN BayerPattern;
    int SupportedBins[16];                /* 0 ends the list */
    ASI_IMG_TYPE SupportedVideoFormat[8]; /* ASI_IMG_END ends the list */
    double PixelSize;                     /* micrometres */
    ASI_BOOL MechanicalShutter;
    ASI_BOOL ST4Port;
    ASI_BOOL IsCoolerCam;
    ASI_BOOL IsUSB3Host;
    ASI_BOOL IsUSB3Camera;
    float ElecPerADU;
    int BitDepth;
    ASI_BOOL IsTriggerCam;
    char Unused[16];
} ASI_CAMERA_INFO;

typedef struct ASI_CONTROL_CAPS {
    char Name[64];
    char Description[128];
    long MaxValue;
    long MinValue;
    long DefaultValue;
    ASI_BOOL IsAutoSupported;
    ASI_BOOL IsWritable;
    ASI_CONTROL_TYPE ControlType;
    char Unused[32];
} ASI_CONTROL_CAPS;

typedef struct ASI_ID {
    unsigned char id[8];
} ASI_ID;
typedef ASI_ID ASI_SN;

typedef struct ASI_SUPPORTED_MODE {
    ASI_CAMERA_MODE SupportedCameraMode[16]; /* ASI_MODE_END ends the list */
} ASI_SUPPORTED_MODE;

typedef struct ASI_DATE_TIME {
    int Year;
    int Month;
    int Day;
    int Hour;
    int Minute;
    int Second;
    int Msecond;
    int Usecond;
    char Unused[64];
} ASI_DATE_TIME;

typedef struct ASI_GPS_DATA {
    ASI_DATE_TIME Datetime;
    double Latitude;  /* degrees, north positive */
    double Longitude; /* degrees, east positive */
    int Altitude;     /* metres */
    int SatelliteNum;
    char Unused[64];
} ASI_GPS_DATA;

/* Discovery */
ASICAMERA_API int ASIGetNumOfConnectedCameras(void);
ASICAMERA_API ASI_BOOL ASICameraCheck(int iVID, int iPID);
ASICAMERA_API ASI_ERROR_CODE ASIGetCameraProperty(ASI_CAMERA_INFO *pASICameraInfo, int iCameraIndex);
ASICAMERA_API char *ASIGetSDKVersion(void);
ASICAMERA_API ASI_ERROR_CODE ASIGetCameraPropertyByID(int iCameraID, ASI_CAMERA_INFO *pASICameraInfo);

/* Lifecycle, identity and modes */
ASICAMERA_API ASI_ERROR_CODE ASIOpenCamera(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIInitCamera(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASICloseCamera(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIGetID(int iCameraID, ASI_ID *pID);
ASICAMERA_API ASI_ERROR_CODE ASISetID(int iCameraID, ASI_ID ID);
ASICAMERA_API ASI_ERROR_CODE ASIGetSerialNumber(int iCameraID, ASI_SN *pSN);
ASICAMERA_API ASI_ERROR_CODE ASIGetCameraSupportMode(int iCameraID, ASI_SUPPORTED_MODE *pSupportedMode);
ASICAMERA_API ASI_ERROR_CODE ASIGetCameraMode(int iCameraID, ASI_CAMERA_MODE *mode);
ASICAMERA_API ASI_ERROR_CODE ASISetCameraMode(int iCameraID, ASI_CAMERA_MODE mode);

/* Controls */
ASICAMERA_API ASI_ERROR_CODE ASIGetNumOfControls(int iCameraID, int *piNumberOfControls);
ASICAMERA_API ASI_ERROR_CODE ASIGetControlCaps(int iCameraID, int iControlIndex,
                                               ASI_CONTROL_CAPS *pControlCaps);
ASICAMERA_API ASI_ERROR_CODE ASIGetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long *plValue,
                                                ASI_BOOL *pbAuto);
ASICAMERA_API ASI_ERROR_CODE ASISetControlValue(int iCameraID, ASI_CONTROL_TYPE ControlType, long lValue,
                                                ASI_BOOL bAuto);
ASICAMERA_API ASI_ERROR_CODE ASIGetGainOffset(int iCameraID, int *pOffset_HighestDR, int *pOffset_UnityGain,
                                              int *pGain_LowestRN, int *pOffset_LowestRN);
ASICAMERA_API ASI_ERROR_CODE ASIGetLMHGainOffset(int iCameraID, int *pLGain, int *pMGain, int *pHGain,
                                                 int *pHOffset);

/* Region of interest */
ASICAMERA_API ASI_ERROR_CODE ASISetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin,
                                             ASI_IMG_TYPE Img_type);
ASICAMERA_API ASI_ERROR_CODE ASIGetROIFormat(int iCameraID, int *piWidth, int *piHeight, int *piBin,
                                             ASI_IMG_TYPE *pImg_type);
ASICAMERA_API ASI_ERROR_CODE ASISetStartPos(int iCameraID, int iStartX, int iStartY);
ASICAMERA_API ASI_ERROR_CODE ASIGetStartPos(int iCameraID, int *piStartX, int *piStartY);

/* Snapshot exposure */
ASICAMERA_API ASI_ERROR_CODE ASIStartExposure(int iCameraID, ASI_BOOL bIsDark);
ASICAMERA_API ASI_ERROR_CODE ASIStopExposure(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIGetExpStatus(int iCameraID, ASI_EXPOSURE_STATUS *pExpStatus);
ASICAMERA_API ASI_ERROR_CODE ASIGetDataAfterExp(int iCameraID, unsigned char *pBuffer, long lBuffSize);
ASICAMERA_API ASI_ERROR_CODE ASIGetDataAfterExpGPS(int iCameraID, unsigned char *pBuffer, long lBuffSize,
                                                   ASI_GPS_DATA *gpsData);

/* Video capture */
ASICAMERA_API ASI_ERROR_CODE ASIStartVideoCapture(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIStopVideoCapture(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIGetVideoData(int iCameraID, unsigned char *pBuffer, long lBuffSize,
                                             int iWaitms);
ASICAMERA_API ASI_ERROR_CODE ASIGetVideoDataGPS(int iCameraID, unsigned char *pBuffer, long lBuffSize,
                                                int iWaitms, ASI_GPS_DATA *gpsData);
ASICAMERA_API ASI_ERROR_CODE ASIGetDroppedFrames(int iCameraID, int *piDropFrames);

/* Guiding, dark subtraction, triggers and GPS */
ASICAMERA_API ASI_ERROR_CODE ASIEnableDarkSubtract(int iCameraID, char *pcBMPPath);
ASICAMERA_API ASI_ERROR_CODE ASIDisableDarkSubtract(int iCameraID);
ASICAMERA_API ASI_ERROR_CODE ASIPulseGuideOn(int iCameraID, ASI_GUIDE_DIRECTION direction);
ASICAMERA_API ASI_ERROR_CODE ASIPulseGuideOff(int iCameraID, ASI_GUIDE_DIRECTION direction);
ASICAMERA_API ASI_ERROR_CODE ASISendSoftTrigger(int iCameraID, ASI_BOOL bStart);
ASICAMERA_API ASI_ERROR_CODE ASISetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin, ASI_BOOL bPinHigh,
                                                       long lDelay, long lDuration);
ASICAMERA_API ASI_ERROR_CODE ASIGetTriggerOutputIOConf(int iCameraID, ASI_TRIG_OUTPUT pin, ASI_BOOL *bPinHigh,
                                                       long *lDelay, long *lDuration);
ASICAMERA_API ASI_ERROR_CODE ASIGPSGetData(int iCameraID, ASI_GPS_DATA *startLineGPSData,
                                           ASI_GPS_DATA *endLineGPSData);

#ifdef __cplusplus
} /* extern "C" */

/* The record layouts, asserted per data model: LLP64 (64-bit Windows, 32-bit long) gives the
 * module's tables exactly; LP64 (64-bit Linux and macOS) widens the long fields to 8 bytes. */
#if defined(_WIN64)
static_assert(sizeof(long) == 4);
static_assert(sizeof(ASI_CAMERA_INFO) == 240);
static_assert(offsetof(ASI_CAMERA_INFO, CameraID) == 64);
static_assert(offsetof(ASI_CAMERA_INFO, MaxHeight) == 68);
static_assert(offsetof(ASI_CAMERA_INFO, MaxWidth) == 72);
static_assert(offsetof(ASI_CAMERA_INFO, IsColorCam) == 76);
static_assert(offsetof(ASI_CAMERA_INFO, BayerPattern) == 80);
static_assert(offsetof(ASI_CAMERA_INFO, SupportedBins) == 84);
static_assert(offsetof(ASI_CAMERA_INFO, SupportedVideoFormat) == 148);
static_assert(offsetof(ASI_CAMERA_INFO, PixelSize) == 184);
static_assert(offsetof(ASI_CAMERA_INFO, MechanicalShutter) == 192);
static_assert(offsetof(ASI_CAMERA_INFO, ST4Port) == 196);
static_assert(offsetof(ASI_CAMERA_INFO, IsCoolerCam) == 200);
static_assert(offsetof(ASI_CAMERA_INFO, IsUSB3Host) == 204);
static_assert(offsetof(ASI_CAMERA_INFO, IsUSB3Camera) == 208);
static_assert(offsetof(ASI_CAMERA_INFO, ElecPerADU) == 212);
static_assert(offsetof(ASI_CAMERA_INFO, BitDepth) == 216);
static_assert(offsetof(ASI_CAMERA_INFO, IsTriggerCam) == 220);
static_assert(offsetof(ASI_CAMERA_INFO, Unused) == 224);
static_assert(sizeof(ASI_CONTROL_CAPS) == 248);
static_assert(offsetof(ASI_CONTROL_CAPS, Description) == 64);
static_assert(offsetof(ASI_CONTROL_CAPS, MaxValue) == 192);
static_assert(offsetof(ASI_CONTROL_CAPS, MinValue) == 196);
static_assert(offsetof(ASI_CONTROL_CAPS, DefaultValue) == 200);
static_assert(offsetof(ASI_CONTROL_CAPS, IsAutoSupported) == 204);
static_assert(offsetof(ASI_CONTROL_CAPS, IsWritable) == 208);
static_assert(offsetof(ASI_CONTROL_CAPS, ControlType) == 212);
static_assert(offsetof(ASI_CONTROL_CAPS, Unused) == 216);
#elif defined(__LP64__)
static_assert(sizeof(long) == 8);
static_assert(sizeof(ASI_CAMERA_INFO) == 248);
static_assert(offsetof(ASI_CAMERA_INFO, CameraID) == 64);
static_assert(offsetof(ASI_CAMERA_INFO, MaxHeight) == 72);
static_assert(offsetof(ASI_CAMERA_INFO, MaxWidth) == 80);
static_assert(offsetof(ASI_CAMERA_INFO, IsColorCam) == 88);
static_assert(offsetof(ASI_CAMERA_INFO, BayerPattern) == 92);
static_assert(offsetof(ASI_CAMERA_INFO, SupportedBins) == 96);
static_assert(offsetof(ASI_CAMERA_INFO, SupportedVideoFormat) == 160);
static_assert(offsetof(ASI_CAMERA_INFO, PixelSize) == 192);
static_assert(offsetof(ASI_CAMERA_INFO, MechanicalShutter) == 200);
static_assert(offsetof(ASI_CAMERA_INFO, ST4Port) == 204);
static_assert(offsetof(ASI_CAMERA_INFO, IsCoolerCam) == 208);
static_assert(offsetof(ASI_CAMERA_INFO, IsUSB3Host) == 212);
static_assert(offsetof(ASI_CAMERA_INFO, IsUSB3Camera) == 216);
static_assert(offsetof(ASI_CAMERA_INFO, ElecPerADU) == 220);
static_assert(offsetof(ASI_CAMERA_INFO, BitDepth) == 224);
static_assert(offsetof(ASI_CAMERA_INFO, IsTriggerCam) == 228);
static_assert(offsetof(ASI_CAMERA_INFO, Unused) == 232);
static_assert(sizeof(ASI_CONTROL_CAPS) == 264);
static_assert(offsetof(ASI_CONTROL_CAPS, Description) == 64);
static_assert(offsetof(ASI_CONTROL_CAPS, MaxValue) == 192);
static_assert(offsetof(ASI_CONTROL_CAPS, MinValue) == 200);
static_assert(offsetof(ASI_CONTROL_CAPS, DefaultValue) == 208);
static_assert(offsetof(ASI_CONTROL_CAPS, IsAutoSupported) == 216);
static_assert(offsetof(ASI_CONTROL_CAPS, IsWritable) == 220);
static_assert(offsetof(ASI_CONTROL_CAPS, ControlType) == 224);
static_assert(offsetof(ASI_CONTROL_CAPS, Unused) == 228);
#endif
static_assert(sizeof(ASI_BOOL) == 4 && sizeof(ASI_IMG_TYPE) == 4 && sizeof(ASI_CONTROL_TYPE) == 4);
static_assert(sizeof(ASI_ID) == 8);
static_assert(sizeof(ASI_SUPPORTED_MODE) == 64);
static_assert(sizeof(ASI_GPS_DATA) == 184);
static_assert(offsetof(ASI_GPS_DATA, Latitude) == 96);
static_assert(offsetof(ASI_GPS_DATA, Longitude) == 104);
static_assert(offsetof(ASI_GPS_DATA, Altitude) == 112);
static_assert(offsetof(ASI_GPS_DATA, SatelliteNum) == 116);
static_assert(offsetof(ASI_GPS_DATA, Unused) == 120);
#endif /* __cplusplus */

#endif /* ASICAMERA2_H */
