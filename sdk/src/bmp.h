// Dark frames from BMP files.
#pragma once

#include "frame.h"

#include <ASICamera2.h>

namespace asisim {

// Dark-frame BMP reader: every byte of the file is hostile. Returns ASI_SUCCESS,
// ASI_ERROR_INVALID_PATH (missing or unreadable) or ASI_ERROR_INVALID_FILEFORMAT (malformed,
// truncated, oversized, lying header, or not width x height).
ASI_ERROR_CODE load_dark_bmp(const char *path, int width, int height, DarkFrame *out);

} // namespace asisim
