// The 42 camera operations in namespace order: name, parameters with their kinds and annotation
// texts, return annotation, docstring (character for character) and the C entry point.
#include "function.h"
#include "operation.h"

#include <iterator>

namespace orvik {
namespace {

constexpr ParamSpec integer(const char *name) {
    return {name, ParamKind::Integer, "int"};
}
constexpr ParamSpec boolean(const char *name) {
    return {name, ParamKind::Boolean, "bool"};
}
constexpr ParamSpec text(const char *name) {
    return {name, ParamKind::Text, "str"};
}
constexpr ParamSpec enumeration(const char *name, const char *annotation) {
    return {name, ParamKind::Enumeration, annotation};
}
constexpr ParamSpec record(const char *name, const char *annotation, RecordKind kind) {
    return {name, ParamKind::Record, annotation, kind};
}
constexpr ParamSpec camera_id = integer("camera_id");

// Shared docstring pieces.
#define CAMERA_ID_ARG "        camera_id (int): The camera ID.\n"
#define RAISES "\n    Raises:\n        AsiException: Raised if the operation is unsuccessful.\n    "
#define RAISES_TIMEOUT                                                                                       \
    "\n    Raises:\n        AsiException: Raised if the operation is unsuccessful or timeout occurs.\n    "
#define CAMERA_ONLY_DOC(summary) summary "\n\n    Args:\n" CAMERA_ID_ARG RAISES
#define LIFECYCLE_DOC(summary)                                                                               \
    "\n    " summary "\n\n    Raises:\n        AsiException\n\n    Args:\n" CAMERA_ID_ARG "    "
#define IMAGE_ARGS                                                                                           \
    "\n\n    Args:\n" CAMERA_ID_ARG                                                                          \
    "        buffer_size (int): The size of the buffer to store the image data.\n"
#define VIDEO_ARGS                                                                                           \
    IMAGE_ARGS "        wait_ms (int): Time to wait for an image in milliseconds (-1 for infinite wait).\n"
#define GUIDE_DOC(summary)                                                                                   \
    summary "\n\n    Args:\n" CAMERA_ID_ARG                                                                  \
            "        direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, etc.).\n" RAISES
#define PIN_ARG "        pin (int): Trigger output pin (e.g., PINA or PINB).\n"
#define CONTINUATION "                     "

#define OP(name) ops::name

const FunctionSpec kOperations[] = {
    // Discovery and camera properties
    {"get_number_of_connected_cameras",
     {},
     "int",
     "Get the count of connected ASI cameras.\n\n    Returns:\n        int: Count of connected cameras.\n   "
     " ",
     OP(get_number_of_connected_cameras)},
    {"camera_check",
     {integer("i_vid"), integer("i_pid")},
     "int",
     "Usage: Check if the device is ASI Camera\n\n    Args:\n"
     "        i_vid (int): VID (vendor id) of the device.\n" CONTINUATION
     "This is a unique identifier assigned to ZWO (the company that makes\n" CONTINUATION
     "ASI cameras). ZWO's USB Vendor ID is 0x03C3\n"
     "        i_pid (int): PID (product id) of the device.\n" CONTINUATION
     "This is a unique identifier for each specific product or model from ZWO.\n" CONTINUATION
     "Each ASI camera model will have a different PID.\n" CONTINUATION
     "For example, the ZWO ASI120MM camera might have a specific PID different\n" CONTINUATION
     "from the ASI294MC model\n\n    Return:\n        Whether the device is an ASI Camera.\n    ",
     OP(camera_check)},
    {"get_camera_property",
     {integer("camera_index")},
     "CameraInfo",
     "\n    Get camera properties by camera index.\n\n    Args:\n        camera_index (int): Index of the "
     "camera.\n\n"
     "    Raises:\n        AsiException\n\n    Returns CameraInfo: the camera info.\n\n    ",
     OP(get_camera_property)},
    {"get_sdk_version",
     {},
     "str",
     "Get the SDK version of the ZWO ASI camera.\n\n    Returns:\n        str: The SDK version "
     "string.\n" RAISES,
     OP(get_sdk_version)},
    {"get_camera_property_by_id",
     {camera_id},
     "CameraInfo",
     "\n    Get camera properties by camera ID.\n\n    Args:\n"
     "        camera_id (int): The camera ID from the CameraInfo object.\n\n"
     "    Raises:\n        AsiException\n\n\n    Returns CameraInfo: the camera info.\n\n    ",
     OP(get_camera_property_by_id)},

    // Camera lifecycle, identity and modes
    {"open_camera", {camera_id}, "None", LIFECYCLE_DOC("Open a camera for use."), OP(open_camera)},
    {"init_camera",
     {camera_id},
     "None",
     LIFECYCLE_DOC("Initialize the camera for capturing images."),
     OP(init_camera)},
    {"close_camera", {camera_id}, "None", LIFECYCLE_DOC("Close the camera."), OP(close_camera)},
    {"get_id",
     {integer("i_camera_id")},
     "Id",
     "Retrieve the camera ID from the camera's flash memory.\n\n    Args:\n        i_camera_id (int): The "
     "camera ID.\n\n"
     "    Returns:\n        Id: The camera ID.\n" RAISES,
     OP(get_id)},
    {"set_id",
     {camera_id, record("serial_number", "Id", RecordKind::Id)},
     "None",
     "Write a new camera ID to the camera's flash memory.\n\n    Args:\n" CAMERA_ID_ARG
     "\n        serial_number (Id): The camera serial number\n" RAISES,
     OP(set_id)},
    {"get_serial_number",
     {camera_id},
     "Id",
     "Get the serial number of the camera.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        Id: The camera serial number id.\n" RAISES,
     OP(get_serial_number)},
    {"get_camera_support_mode",
     {camera_id},
     "list[CameraMode]",
     "Get the supported camera modes for the camera.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        SupportedMode: The supported mode that contains a list of supported camera "
     "modes.\n" RAISES,
     OP(get_camera_support_mode)},
    {"get_camera_mode",
     {camera_id},
     "CameraMode",
     "Get the current camera mode.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        CameraMode: The current camera mode.\n" RAISES,
     OP(get_camera_mode)},
    {"set_camera_mode",
     {camera_id, enumeration("mode", "CameraMode")},
     "None",
     "Set the camera mode.\n\n    Args:\n" CAMERA_ID_ARG
     "        mode (CameraMode): The camera mode to set.\n" RAISES,
     OP(set_camera_mode)},

    // Snapshot exposure
    {"start_exposure",
     {camera_id, boolean("is_dark")},
     "None",
     "Start a camera exposure.\n\n    Args:\n" CAMERA_ID_ARG
     "        is_dark (bool): True for a dark frame exposure, False otherwise.\n" RAISES,
     OP(start_exposure)},
    {"stop_exposure",
     {camera_id},
     "None",
     CAMERA_ONLY_DOC("Stop the ongoing camera exposure."),
     OP(stop_exposure)},
    {"get_exp_status",
     {camera_id},
     "int",
     "Get the status of the camera exposure.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        ExposureStatus: The exposure status.\n" RAISES,
     OP(get_exp_status)},
    {"get_data_after_exp",
     {camera_id, integer("buffer_size")},
     "bytes",
     "Get the image data after an exposure has completed." IMAGE_ARGS
     "\n    Returns:\n        bytes: The captured image data.\n" RAISES,
     OP(get_data_after_exp)},
    {"get_data_after_exp_gps",
     {camera_id, integer("buffer_size")},
     "tuple[bytes, GpsData]",
     "Get the image data after an exposure has completed." IMAGE_ARGS
     "\n    Returns:\n        tuple(bytes, GpsData): The captured image data and the gps data.\n" RAISES,
     OP(get_data_after_exp_gps)},

    // Video capture
    {"start_video_capture",
     {camera_id},
     "None",
     CAMERA_ONLY_DOC("Start video capture."),
     OP(start_video_capture)},
    {"stop_video_capture",
     {camera_id},
     "None",
     CAMERA_ONLY_DOC("Stop video capture."),
     OP(stop_video_capture)},
    {"get_video_data",
     {camera_id, integer("buffer_size"), integer("wait_ms")},
     "bytes",
     "Get video data from the camera." VIDEO_ARGS
     "\n    Returns:\n        bytes: The captured image data.\n" RAISES_TIMEOUT,
     OP(get_video_data)},
    {"get_video_data_gps",
     {camera_id, integer("buffer_size"), integer("wait_ms")},
     "tuple[bytes, GpsData]",
     "Get video data from the camera." VIDEO_ARGS "\n    Returns:\n        tuple(bytes, GpsData): The "
     "captured image data and the gps data.\n" RAISES_TIMEOUT,
     OP(get_video_data_gps)},

    // Controls
    {"get_num_of_controls",
     {camera_id},
     "int",
     "\n    Get the number of control settings available on the camera.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Raises:\n        AsiException\n\n    Returns:\n        int: Number of controls.\n    ",
     OP(get_num_of_controls)},
    {"get_control_caps",
     {camera_id, integer("control_index")},
     "ControlCaps",
     "\n    Get the capabilities of a specific control on the camera.\n\n    Args:\n" CAMERA_ID_ARG
     "\n        control_index (int): The control index.\n\n    Raises:\n        AsiException\n\n"
     "    Returns:\n        Controlaps: THe control caps\n    ",
     OP(get_control_caps)},
    {"get_control_value",
     {camera_id, enumeration("control_type", "ControlType")},
     "tuple[int, bool]",
     "\n    Get the value of a control setting on the camera.\n\n    Args:\n" CAMERA_ID_ARG
     "        control_type (int): The control type.\n\n    Raises:\n        AsiException\n\n    Returns:\n"
     "        tuple[int, bool]: The value of the control and whether it's in auto mode.\n    ",
     OP(get_control_value)},
    {"set_control_value",
     {camera_id, enumeration("control_type", "ControlType"), integer("value"), boolean("auto_mode")},
     "None",
     "\n    Set the value of a control setting on the camera.\n\n    Args:\n" CAMERA_ID_ARG
     "        control_type (int): The control type.\n        value (long): The new control value.\n"
     "        auto_mode (bool): Whether to enable auto mode.\n\n    Raises:\n        AsiException\n\n    ",
     OP(set_control_value)},

    // Region of interest
    {"set_roi_format",
     {camera_id, integer("width"), integer("height"), integer("bin"), enumeration("img_type", "ImgType")},
     "None",
     "Set the Region of Interest (ROI) format before starting capture.\n\n    Args:\n" CAMERA_ID_ARG
     "        width (int): The width of the ROI area (must be a multiple of 8).\n"
     "        height (int): The height of the ROI area (must be a multiple of 2).\n"
     "        bin (int): The binning method (e.g., bin1=1, bin2=2).\n"
     "        img_type (ImgType): The output format type.\n" RAISES,
     OP(set_roi_format)},
    {"get_roi_format",
     {camera_id},
     "tuple[int, int, int, ImgType]",
     "Get the Region of Interest (ROI) format.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns: tuple[int, int, int, ImgType]\n"
     "        - width (int): The width of the ROI area (must be a multiple of 8).\n"
     "        - height (int): The height of the ROI area (must be a multiple of 2).\n"
     "        - bin (int): The binning method (e.g., bin1=1, bin2=2).\n"
     "        - img_type (ImgType): The output format type.\n" RAISES,
     OP(get_roi_format)},
    {"set_start_pos",
     {camera_id, integer("start_x"), integer("start_y")},
     "None",
     "Set the start position of the ROI area.\n\n    Args:\n" CAMERA_ID_ARG
     "        start_x (int): Start X coordinate.\n        start_y (int): Start Y coordinate.\n" RAISES,
     OP(set_start_pos)},
    {"get_start_pos",
     {camera_id},
     "tuple[int, int]",
     "Get the start position of the current ROI area.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        tuple[int, int]: Start X and Start Y coordinates.\n" RAISES,
     OP(get_start_pos)},

    {"get_dropped_frames",
     {camera_id},
     "int",
     "Get the number of dropped frames during video capture.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        int: The number of dropped frames.\n" RAISES,
     OP(get_dropped_frames)},

    // Dark subtraction and guiding
    {"enable_dark_subtract",
     {camera_id, text("bmp_path")},
     "None",
     "Enable dark subtract using a dark frame BMP file.\n\n    Args:\n" CAMERA_ID_ARG
     "        bmp_path (str): Path to the dark frame BMP file.\n" RAISES,
     OP(enable_dark_subtract)},
    {"disable_dark_subtract",
     {camera_id},
     "None",
     CAMERA_ONLY_DOC("Disable the dark subtract feature."),
     OP(disable_dark_subtract)},
    {"pulse_guide_on",
     {camera_id, enumeration("direction", "GuideDirection")},
     "None",
     GUIDE_DOC("Activate guiding in the specified direction using the ST4 port."),
     OP(pulse_guide_on)},
    {"pulse_guide_off",
     {camera_id, enumeration("direction", "GuideDirection")},
     "None",
     GUIDE_DOC("Deactivate guiding in the specified direction using the ST4 port."),
     OP(pulse_guide_off)},

    // Gain presets
    {"get_gain_offset",
     {camera_id},
     "tuple[int, int, int, int]",
     "Get preset gain and offset values for the camera.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        tuple[int, int, int, int]: Offset at highest dynamic range, offset at unity "
     "gain,\n"
     "                                   gain at lowest read noise, and offset at lowest read "
     "noise.\n" RAISES,
     OP(get_gain_offset)},
    {"get_lmh_gain_offset",
     {camera_id},
     "tuple[int, int, int, int]",
     "Get low, medium, and high gain and offset settings for the camera.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        tuple[int, int, int, int]: Low gain, medium gain, high gain, and high offset "
     "values.\n" RAISES,
     OP(get_lmh_gain_offset)},

    // Triggers and GPS
    {"send_soft_trigger",
     {camera_id, boolean("start")},
     "None",
     "Send a soft trigger to the camera to start or stop exposure.\n\n    Args:\n" CAMERA_ID_ARG
     "        start (bool): True to start exposure, False to stop.\n" RAISES,
     OP(send_soft_trigger)},
    {"set_trigger_output_io_conf",
     {camera_id, enumeration("pin", "TrigOutput"), boolean("pin_high"), integer("delay"),
      integer("duration")},
     "None",
     "Configure the trigger output IO.\n\n    Args:\n" CAMERA_ID_ARG PIN_ARG
     "        pin_high (bool): True to output a high signal, False for a low signal.\n"
     "        delay (int): Delay time in microseconds.\n        duration (int): Duration time in "
     "microseconds.\n" RAISES,
     OP(set_trigger_output_io_conf)},
    {"get_trigger_output_io_conf",
     {camera_id, integer("pin")},
     "tuple[bool, int, int]",
     "Get the trigger output IO configuration.\n\n    Args:\n" CAMERA_ID_ARG PIN_ARG
     "\n    Returns:\n        tuple[bool, int, int]: Pin high status, delay, and duration.\n" RAISES,
     OP(get_trigger_output_io_conf)},
    {"gps_get_data",
     {camera_id},
     "tuple[GpsData, GpsData]",
     "Get GPS data for the start and end lines.\n\n    Args:\n" CAMERA_ID_ARG
     "\n    Returns:\n        tuple[DateTime, DateTime]: GPS data for the start and end lines.\n" RAISES,
     OP(gps_get_data)},
};

static_assert(std::size(kOperations) == 42);

} // namespace

std::span<const FunctionSpec> operation_table() {
    return kOperations;
}

} // namespace orvik
