"""File formats below the tools and beside the camera layer: FITS and SER writing.

- `FrameMetadata` (`formats.metadata`): the one record of what is known about a frame, with
  its `Pointing` when known and the observer's `Observation` when given;
- `formats.bayer`: a frame's Bayer cell from the sensor's, its start position and the flip;
- `Roi` (`formats.roi`): a frame's size, binning, image type and position;
- `formats.fits`: FITS headers (`build_header`) and a writer that streams frames to disk;
- `formats.ser`: SER videos, written as the camera's bytes arrive;
- `formats.partfile`: files that appear only when complete (`PartFile`), never replace another
  run's file, and whose part files tell a dead writer from a live one; errors that name them;
- `formats.recover`: a dead run's part file finished with its complete frames.

Nothing here talks to a camera: the package imports neither the extension module nor the
camera layer, so both the camera layer (`Frame.to_fits()`) and the tools stand on it. The FITS
writer needs Astropy (imported when a header is built).
"""

from .metadata import FrameMetadata, Observation, Pointing
from .partfile import OutputError, PartFile
from .roi import ImageType, Roi, image_type_name

__all__ = ["FrameMetadata", "ImageType", "Observation", "OutputError", "PartFile", "Pointing", "Roi",
           "image_type_name"]
