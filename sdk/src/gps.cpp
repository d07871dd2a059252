// The scene clock as GPS time stamps.
#include "gps.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace asisim {

namespace {

// Proleptic Gregorian calendar from days since 1970-01-01 (H. Hinnant's algorithm).
void civil_from_days(int64_t z, int *year, int *month, int *day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe + era * 400 + (m <= 2));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

// The scene clock starts on a clear night: 2026-03-20 21:00:00 UTC.
constexpr int64_t kSceneEpochUnix = 1774040400;

} // namespace

GpsFix gps_fix_at(double scene_time) {
    GpsFix g;
    const double t = std::max(0.0, scene_time);
    const auto whole = static_cast<int64_t>(std::floor(t));
    const auto micros = static_cast<int64_t>(std::floor((t - static_cast<double>(whole)) * 1e6));
    const int64_t unix_s = kSceneEpochUnix + whole;
    const int64_t days = unix_s / 86400;
    const int64_t secs = unix_s % 86400;
    civil_from_days(days, &g.year, &g.month, &g.day);
    g.hour = static_cast<int>(secs / 3600);
    g.minute = static_cast<int>(secs / 60 % 60);
    g.second = static_cast<int>(secs % 60);
    g.msecond = static_cast<int>(micros / 1000);
    g.usecond = static_cast<int>(micros % 1000);
    // An observatory site; a receiver in the field would report its own.
    g.latitude = 51.4769;
    g.longitude = -0.0005;
    g.altitude = 46;
    g.satellites = 9;
    return g;
}

} // namespace asisim
