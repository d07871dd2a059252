"""Finding cameras: what `connected()` lists, looking one up by index or by name, and what the
SDK says about itself (`sdk_version()`, `sdk_library()`) and about USB devices
(`is_camera_product`)."""

from __future__ import annotations

import os
from dataclasses import dataclass

from velmora.brinmoor import orvik

from .errors import CameraNotFound, NoCameras
from .roi import IMAGE_TYPE_BY_MEMBER
from .simulator import is_simulated

# The 2x2 colour cell of each Bayer pattern, read row by row from the top-left pixel.
BAYER_CELL_BY_MEMBER = {
    "BAYER_RG": "RGGB",
    "BAYER_BG": "BGGR",
    "BAYER_GR": "GRBG",
    "BAYER_GB": "GBRG",
}


@dataclass(frozen=True, slots=True)
class CameraDescription:
    """One connected camera as the SDK describes it, before it is opened."""

    index: int
    """Position in the SDK's list of connected cameras (0 for the first)."""
    camera_id: int
    """The SDK's ID for the camera, which every later call names."""
    name: str
    max_width: int
    """Sensor width in unbinned pixels."""
    max_height: int
    pixel_size: float
    """Unbinned pixel size in micrometres."""
    is_color: bool
    bayer: str | None
    """The sensor's 2x2 colour cell (`RGGB`, ...) at the full frame's top-left pixel; None for
    mono sensors and for a pattern this module does not know."""
    bit_depth: int
    """ADC bits: RAW16 values are these bits shifted up to the top of 16."""
    supported_bins: tuple[int, ...]
    image_types: tuple[str, ...] | None
    """`raw8`, `raw16`, `rgb24`, `y8` as the camera offers them; None when the camera names a
    type this module does not know (the SDK alone then decides)."""
    electrons_per_adu: float
    has_cooler: bool
    has_st4_port: bool
    has_mechanical_shutter: bool
    is_usb3_camera: bool
    is_usb3_host: bool
    is_trigger_camera: bool

    @property
    def label(self) -> str:
        """The camera as messages name it: `camera 0 (ZWO ASI294MC Pro)`."""
        return f"camera {self.index} ({self.name})"

    @classmethod
    def from_info(cls, index: int, info: orvik.CameraInfo) -> CameraDescription:
        try:
            bayer = BAYER_CELL_BY_MEMBER.get(info.bayer_pattern.name) if info.is_color_camera else None
        except ValueError:
            bayer = None  # a pattern code the module does not know: the frame is treated as grey
        try:
            # Zero entries after the end marker read back as RAW8 again: each type once.
            types: tuple[str, ...] | None = tuple(
                dict.fromkeys(IMAGE_TYPE_BY_MEMBER[m.name] for m in info.supported_video_formats)
            )
        except (ValueError, KeyError):
            types = None
        return cls(
            index=index,
            camera_id=info.camera_id,
            name=info.name,
            max_width=info.max_width,
            max_height=info.max_height,
            pixel_size=info.pixel_size,
            is_color=info.is_color_camera,
            bayer=bayer,
            bit_depth=info.bit_depth,
            supported_bins=tuple(info.supported_bins),
            image_types=types,
            electrons_per_adu=info.elec_per_adu,
            has_cooler=info.is_cooler_cam,
            has_st4_port=info.st_4_port,
            has_mechanical_shutter=info.mechanical_shutter,
            is_usb3_camera=info.is_usb3_camera,
            is_usb3_host=info.is_usb3_host,
            is_trigger_camera=info.is_trigger_cam,
        )


# The USB vendor ID of the cameras' maker.
ZWO_VENDOR_ID = 0x03C3


def sdk_version() -> str:
    """The version of the SDK library in use, as it reports it (`"1, 37, 0, 0"` style)."""
    return orvik.get_sdk_version()


@dataclass(frozen=True, slots=True)
class SdkLibrary:
    """The `ASICamera2` library this process loaded."""

    path: str | None
    """The file mapped into the process; None where the system does not show it."""
    simulated: bool
    """True for the simulated cameras the package ships, False for the vendor's SDK."""
    version: str
    """As `sdk_version()` gives it."""

    @property
    def kind(self) -> str:
        return ("the simulated cameras shipped with this package" if self.simulated
                else "the vendor's library")


def sdk_library() -> SdkLibrary:
    """Which `ASICamera2` the cameras are driven by: its file, whether it is the simulated one,
    and its version."""
    return SdkLibrary(_mapped_library(), is_simulated(), sdk_version())


def _mapped_library() -> str | None:
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split(maxsplit=5)[-1].strip()
                if "libASICamera2" in os.path.basename(path):
                    return path
    except OSError:
        pass
    return None


def is_camera_product(product_id: int, vendor_id: int = ZWO_VENDOR_ID) -> bool:
    """Whether a USB product ID (of the maker's vendor ID unless another is given) belongs to a
    camera the SDK drives."""
    return bool(orvik.camera_check(vendor_id, product_id))


def connected() -> list[CameraDescription]:
    """Every connected camera, in the SDK's order (index 0 first)."""
    count = orvik.get_number_of_connected_cameras()
    return [CameraDescription.from_info(i, orvik.get_camera_property(i)) for i in range(count)]


def find(camera: int | str) -> CameraDescription:
    """The connected camera with this index, or whose name contains this text (any case).

    Raises CameraNotFound when none matches, and when a name matches several cameras.
    """
    if isinstance(camera, bool) or not isinstance(camera, (int, str)):
        raise TypeError(f"a camera is chosen by index (int) or name (str), not {camera!r}")
    count = orvik.get_number_of_connected_cameras()
    if count <= 0:
        raise NoCameras("no cameras connected")
    if isinstance(camera, int):
        if not 0 <= camera < count:
            raise CameraNotFound(
                f"no camera with index {camera}: {count} connected "
                f"(use an index from 0 to {count - 1})"
            )
        return CameraDescription.from_info(camera, orvik.get_camera_property(camera))
    cameras = connected()
    wanted = camera.casefold()
    exact = [c for c in cameras if c.name.casefold() == wanted]
    matches = exact or [c for c in cameras if wanted in c.name.casefold()]
    if len(matches) == 1:
        return matches[0]
    names = ", ".join(c.label for c in (matches or cameras))
    if not matches:
        raise CameraNotFound(f"no connected camera is named like {camera!r} (connected: {names})")
    raise CameraNotFound(f"{camera!r} names several cameras ({names}); use an index")
