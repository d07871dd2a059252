"""Docstrings of the 42 operations, character for character.

Docstrings are written here line by line: "blank" is an empty line, "(N) text" a line indented N
spaces, and "(4) end" the closing four spaces without a line break.
"""

import re

import pytest

from functable import NAMES

# Every operation (handle_error_code, which has no docstring, aside), in namespace order.
ORDER = [name for name in NAMES if name != "handle_error_code"]

RAISES = '(4) "Raises:" / (8) "AsiException: Raised if the operation is unsuccessful." / (4) end'
CAM = '(4) "Args:" / (8) "camera_id (int): The camera ID."'
LIFE = 'blank / (4) "{}" / blank / (4) "Raises:" / (8) "AsiException" / blank / ' + CAM + " / (4) end"
C = 21  # continuation indent of camera_check's arguments
IMAGE = CAM + ' / (8) "buffer_size (int): The size of the buffer to store the image data."'
WAIT = '(8) "wait_ms (int): Time to wait for an image in milliseconds (-1 for infinite wait)."'
VIDEO_RAISES = ('(4) "Raises:" / (8) "AsiException: Raised if the operation is unsuccessful or timeout occurs."'
                ' / (4) end')
GUIDE = ('"{}" / blank / ' + CAM + ' / (8) "direction (GuideDirection): The guiding direction (e.g., NORTH, '
         'SOUTH, etc.)." / blank / ' + RAISES)
PIN = '(8) "pin (int): Trigger output pin (e.g., PINA or PINB)."'

DOCS = {
    "get_number_of_connected_cameras":
        '"Get the count of connected ASI cameras." / blank / (4) "Returns:" / (8) "int: Count of connected '
        'cameras." / (4) end',
    "camera_check":
        f'"Usage: Check if the device is ASI Camera" / blank / (4) "Args:" / (8) "i_vid (int): VID (vendor id) of '
        f'the device." / ({C}) "This is a unique identifier assigned to ZWO (the company that makes" / ({C}) "ASI '
        f'cameras). ZWO\'s USB Vendor ID is 0x03C3" / (8) "i_pid (int): PID (product id) of the device." / ({C}) '
        f'"This is a unique identifier for each specific product or model from ZWO." / ({C}) "Each ASI camera '
        f'model will have a different PID." / ({C}) "For example, the ZWO ASI120MM camera might have a specific '
        f'PID different" / ({C}) "from the ASI294MC model" / blank / (4) "Return:" / (8) "Whether the device is an '
        f'ASI Camera." / (4) end',
    "get_camera_property":
        'blank / (4) "Get camera properties by camera index." / blank / (4) "Args:" / (8) "camera_index (int): '
        'Index of the camera." / blank / (4) "Raises:" / (8) "AsiException" / blank / (4) "Returns CameraInfo: '
        'the camera info." / blank / (4) end',
    "get_sdk_version":
        '"Get the SDK version of the ZWO ASI camera." / blank / (4) "Returns:" / (8) "str: The SDK version '
        'string." / blank / ' + RAISES,
    "get_camera_property_by_id":
        'blank / (4) "Get camera properties by camera ID." / blank / (4) "Args:" / (8) "camera_id (int): The '
        'camera ID from the CameraInfo object." / blank / (4) "Raises:" / (8) "AsiException" / blank / blank / '
        '(4) "Returns CameraInfo: the camera info." / blank / (4) end',
    "open_camera": LIFE.format("Open a camera for use."),
    "init_camera": LIFE.format("Initialize the camera for capturing images."),
    "close_camera": LIFE.format("Close the camera."),
    "get_id":
        '"Retrieve the camera ID from the camera\'s flash memory." / blank / (4) "Args:" / (8) "i_camera_id '
        '(int): The camera ID." / blank / (4) "Returns:" / (8) "Id: The camera ID." / blank / ' + RAISES,
    "set_id":
        '"Write a new camera ID to the camera\'s flash memory." / blank / ' + CAM + ' / blank / (8) '
        '"serial_number (Id): The camera serial number" / blank / ' + RAISES,
    "get_serial_number":
        '"Get the serial number of the camera." / blank / ' + CAM + ' / blank / (4) "Returns:" / (8) "Id: The '
        'camera serial number id." / blank / ' + RAISES,
    "get_camera_support_mode":
        '"Get the supported camera modes for the camera." / blank / ' + CAM + ' / blank / (4) "Returns:" / (8) '
        '"SupportedMode: The supported mode that contains a list of supported camera modes." / blank / ' + RAISES,
    "get_camera_mode":
        '"Get the current camera mode." / blank / ' + CAM + ' / blank / (4) "Returns:" / (8) "CameraMode: The '
        'current camera mode." / blank / ' + RAISES,
    "set_camera_mode":
        '"Set the camera mode." / blank / ' + CAM + ' / (8) "mode (CameraMode): The camera mode to set." / blank / '
        + RAISES,
    "start_exposure":
        '"Start a camera exposure." / blank / ' + CAM + ' / (8) "is_dark (bool): True for a dark frame exposure, '
        'False otherwise." / blank / ' + RAISES,
    "stop_exposure": '"Stop the ongoing camera exposure." / blank / ' + CAM + " / blank / " + RAISES,
    "get_exp_status":
        '"Get the status of the camera exposure." / blank / ' + CAM + ' / blank / (4) "Returns:" / (8) '
        '"ExposureStatus: The exposure status." / blank / ' + RAISES,
    "get_data_after_exp":
        '"Get the image data after an exposure has completed." / blank / ' + IMAGE + ' / blank / (4) "Returns:" / '
        '(8) "bytes: The captured image data." / blank / ' + RAISES,
    "get_data_after_exp_gps":
        '"Get the image data after an exposure has completed." / blank / ' + IMAGE + ' / blank / (4) "Returns:" / '
        '(8) "tuple(bytes, GpsData): The captured image data and the gps data." / blank / ' + RAISES,
    "start_video_capture": '"Start video capture." / blank / ' + CAM + " / blank / " + RAISES,
    "stop_video_capture": '"Stop video capture." / blank / ' + CAM + " / blank / " + RAISES,
    "get_video_data":
        '"Get video data from the camera." / blank / ' + IMAGE + " / " + WAIT + ' / blank / (4) "Returns:" / (8) '
        '"bytes: The captured image data." / blank / ' + VIDEO_RAISES,
    "get_video_data_gps":
        '"Get video data from the camera." / blank / ' + IMAGE + " / " + WAIT + ' / blank / (4) "Returns:" / (8) '
        '"tuple(bytes, GpsData): The captured image data and the gps data." / blank / ' + VIDEO_RAISES,
    "get_num_of_controls":
        'blank / (4) "Get the number of control settings available on the camera." / blank / ' + CAM + ' / blank / '
        '(4) "Raises:" / (8) "AsiException" / blank / (4) "Returns:" / (8) "int: Number of controls." / (4) end',
    "get_control_caps":
        'blank / (4) "Get the capabilities of a specific control on the camera." / blank / ' + CAM + ' / blank / '
        '(8) "control_index (int): The control index." / blank / (4) "Raises:" / (8) "AsiException" / blank / '
        '(4) "Returns:" / (8) "Controlaps: THe control caps" / (4) end',
    "get_control_value":
        'blank / (4) "Get the value of a control setting on the camera." / blank / ' + CAM + ' / (8) '
        '"control_type (int): The control type." / blank / (4) "Raises:" / (8) "AsiException" / blank / (4) '
        '"Returns:" / (8) "tuple[int, bool]: The value of the control and whether it\'s in auto mode." / (4) end',
    "set_control_value":
        'blank / (4) "Set the value of a control setting on the camera." / blank / ' + CAM + ' / (8) '
        '"control_type (int): The control type." / (8) "value (long): The new control value." / (8) "auto_mode '
        '(bool): Whether to enable auto mode." / blank / (4) "Raises:" / (8) "AsiException" / blank / (4) end',
    "set_roi_format":
        '"Set the Region of Interest (ROI) format before starting capture." / blank / ' + CAM + ' / (8) "width '
        '(int): The width of the ROI area (must be a multiple of 8)." / (8) "height (int): The height of the ROI '
        'area (must be a multiple of 2)." / (8) "bin (int): The binning method (e.g., bin1=1, bin2=2)." / (8) '
        '"img_type (ImgType): The output format type." / blank / ' + RAISES,
    "get_roi_format":
        '"Get the Region of Interest (ROI) format." / blank / ' + CAM + ' / blank / (4) "Returns: tuple[int, int, '
        'int, ImgType]" / (8) "- width (int): The width of the ROI area (must be a multiple of 8)." / (8) "- '
        'height (int): The height of the ROI area (must be a multiple of 2)." / (8) "- bin (int): The binning '
        'method (e.g., bin1=1, bin2=2)." / (8) "- img_type (ImgType): The output format type." / blank / ' + RAISES,
    "set_start_pos":
        '"Set the start position of the ROI area." / blank / ' + CAM + ' / (8) "start_x (int): Start X '
        'coordinate." / (8) "start_y (int): Start Y coordinate." / blank / ' + RAISES,
    "get_start_pos":
        '"Get the start position of the current ROI area." / blank / ' + CAM + ' / blank / (4) "Returns:" / (8) '
        '"tuple[int, int]: Start X and Start Y coordinates." / blank / ' + RAISES,
    "get_dropped_frames":
        '"Get the number of dropped frames during video capture." / blank / ' + CAM + ' / blank / (4) "Returns:" '
        '/ (8) "int: The number of dropped frames." / blank / ' + RAISES,
    "enable_dark_subtract":
        '"Enable dark subtract using a dark frame BMP file." / blank / ' + CAM + ' / (8) "bmp_path (str): Path to '
        'the dark frame BMP file." / blank / ' + RAISES,
    "disable_dark_subtract": '"Disable the dark subtract feature." / blank / ' + CAM + " / blank / " + RAISES,
    "pulse_guide_on": GUIDE.format("Activate guiding in the specified direction using the ST4 port."),
    "pulse_guide_off": GUIDE.format("Deactivate guiding in the specified direction using the ST4 port."),
    "get_gain_offset":
        '"Get preset gain and offset values for the camera." / blank / ' + CAM + ' / blank / (4) "Returns:" / (8) '
        '"tuple[int, int, int, int]: Offset at highest dynamic range, offset at unity gain," / (35) "gain at '
        'lowest read noise, and offset at lowest read noise." / blank / ' + RAISES,
    "get_lmh_gain_offset":
        '"Get low, medium, and high gain and offset settings for the camera." / blank / ' + CAM + ' / blank / (4) '
        '"Returns:" / (8) "tuple[int, int, int, int]: Low gain, medium gain, high gain, and high offset values." / '
        "blank / " + RAISES,
    "send_soft_trigger":
        '"Send a soft trigger to the camera to start or stop exposure." / blank / ' + CAM + ' / (8) "start '
        '(bool): True to start exposure, False to stop." / blank / ' + RAISES,
    "set_trigger_output_io_conf":
        '"Configure the trigger output IO." / blank / ' + CAM + " / " + PIN + ' / (8) "pin_high (bool): True to '
        'output a high signal, False for a low signal." / (8) "delay (int): Delay time in microseconds." / (8) '
        '"duration (int): Duration time in microseconds." / blank / ' + RAISES,
    "get_trigger_output_io_conf":
        '"Get the trigger output IO configuration." / blank / ' + CAM + " / " + PIN + ' / blank / (4) "Returns:" / '
        '(8) "tuple[bool, int, int]: Pin high status, delay, and duration." / blank / ' + RAISES,
    "gps_get_data":
        '"Get GPS data for the start and end lines." / blank / ' + CAM + ' / blank / (4) "Returns:" / (8) '
        '"tuple[DateTime, DateTime]: GPS data for the start and end lines." / blank / ' + RAISES,
}


def render(notation):
    lines = []
    for item in notation.split(" / "):
        if item == "blank":
            lines.append("")
        elif item == "(4) end":
            lines.append("    ")
        else:
            match = re.fullmatch(r'(?:\((\d+)\) )?"(.*)"', item)
            assert match, item
            lines.append(" " * int(match.group(1) or 0) + match.group(2))
    return "\n".join(lines)


@pytest.mark.parametrize("name", ORDER)
def test_docstring(orvik, name):
    assert getattr(orvik, name).__doc__ == render(DOCS[name])
