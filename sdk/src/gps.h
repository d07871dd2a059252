// GPS time stamps of the cameras that carry a receiver: the scene clock read as a UTC date and
// time at a fixed site.
#pragma once

namespace asisim {

// A GPS time stamp and position.
struct GpsFix {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msecond = 0, usecond = 0;
    double latitude = 0.0, longitude = 0.0;
    int altitude = 0, satellites = 0;
};

// The receiver's fix at a scene time: seconds of a camera's scene clock, which starts on a clear
// night, 2026-03-20 21:00:00 UTC.
GpsFix gps_fix_at(double scene_time);

} // namespace asisim
