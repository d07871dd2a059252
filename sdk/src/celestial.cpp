// Pointings of the simulated cameras and the spherical astronomy of the real sky.
#include "celestial.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <numbers>

namespace asisim {

namespace {

constexpr double kDeg = std::numbers::pi / 180.0;

// A plain decimal number at *p ("-12", "56.75", ".5"; no exponent, hexadecimal, inf or nan, which
// strtod would take), moving *p past it.
bool decimal(const char **p, double *out) {
    const char *q = *p;
    if (*q == '+' || *q == '-')
        ++q;
    int digits = 0;
    for (; *q >= '0' && *q <= '9'; ++q)
        ++digits;
    if (*q == '.')
        for (++q; *q >= '0' && *q <= '9'; ++q)
            ++digits;
    if (digits == 0)
        return false;
    *out = std::strtod(*p, nullptr);
    *p = q;
    return std::isfinite(*out);
}

// Comma-separated decimal numbers, spaces allowed around the commas.
bool parse_doubles(const char *text, double *out, int want_min, int want_max, int *got) {
    int n = 0;
    const char *p = text;
    while (n < want_max) {
        while (*p == ' ')
            ++p;
        if (!decimal(&p, &out[n++]))
            return false;
        while (*p == ' ')
            ++p;
        if (*p != ',')
            break;
        ++p;
    }
    *got = n;
    return *p == '\0' && n >= want_min;
}

// "YYYY-MM-DD", a real day of the Gregorian calendar from 1000 to 3000.
bool calendar_date(const char *text, int *year, int *month, int *day) {
    auto digits = [](const char *t, int n, int *v) {
        *v = 0;
        for (int i = 0; i < n; ++i) {
            if (t[i] < '0' || t[i] > '9')
                return false;
            *v = *v * 10 + (t[i] - '0');
        }
        return true;
    };
    if (std::strlen(text) != 10 || text[4] != '-' || text[7] != '-' || !digits(text, 4, year) ||
        !digits(text + 5, 2, month) || !digits(text + 8, 2, day))
        return false;
    static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    return *year >= 1000 && *year <= 3000 && *month >= 1 && *month <= 12 && *day >= 1 &&
           *day <= (*month == 2 && !leap ? 28 : kDays[*month - 1]);
}

// Right ascension in [0, 360), unchanged when it already is (so a value reads back exactly).
double wrap_degrees(double ra) {
    if (ra >= 0.0 && ra < 360.0)
        return ra;
    const double r = std::fmod(std::fmod(ra, 360.0) + 360.0, 360.0);
    return r >= 360.0 ? 0.0 : r;
}

bool valid_pointing(double ra, double dec, double angle) {
    return std::isfinite(ra) && std::isfinite(dec) && std::isfinite(angle) && dec >= -90.0 && dec <= 90.0 &&
           std::abs(ra) <= 1e6 && std::abs(angle) <= 1e6;
}

// The pointing every camera starts with: ASISIM_POINTING, read once.
const Pointing &start_pointing() {
    static const Pointing value = [] {
        Pointing p;
        const char *text = std::getenv("ASISIM_POINTING");
        if (text == nullptr || *text == '\0')
            return p;
        double v[3] = {0.0, 0.0, 0.0};
        int n = 0;
        if (!parse_doubles(text, v, 2, 3, &n) || !valid_pointing(v[0], v[1], v[2])) {
            std::fprintf(stderr,
                         "asisim: ASISIM_POINTING \"%s\" is not \"ra,dec\" or \"ra,dec,angle\" in degrees; "
                         "the cameras keep the procedural sky\n",
                         text);
            return p;
        }
        p.set = true;
        p.ra_deg = wrap_degrees(v[0]);
        p.dec_deg = v[1];
        p.angle_deg = v[2];
        return p;
    }();
    return value;
}

struct Store {
    std::mutex mutex;
    std::map<int, Pointing> by_camera;
    Pointing &of(int id) { return by_camera.try_emplace(id, start_pointing()).first->second; }
};

// Never destroyed: a video thread may still take its frame's pointing while the process exits.
Store &store() {
    static Store &s = *new Store;
    return s;
}

// The Julian epoch of the moment the library first asked for the date: the real "now" the
// simulated date is measured against.
double load_epoch() {
    static const double value = [] {
        const auto now = std::chrono::system_clock::now();
        const double unix_s = std::chrono::duration<double>(now.time_since_epoch()).count();
        return 2000.0 + (unix_s / 86400.0 + 2440587.5 - 2451545.0) / 365.25;
    }();
    return value;
}

double default_epoch() {
    static const double value = [] {
        if (const char *text = std::getenv("ASISIM_DATE"); text != nullptr && *text != '\0') {
            int y = 0, m = 0, d = 0;
            if (calendar_date(text, &y, &m, &d))
                return julian_epoch(y, m, d, 0.0);
            const char *p = text;
            double e = 0.0;
            if (decimal(&p, &e) && *p == '\0' && e >= 1000.0 && e <= 3000.0)
                return e;
            std::fprintf(
                stderr,
                "asisim: ASISIM_DATE \"%s\" is neither a date YYYY-MM-DD nor a Julian epoch from 1000 to "
                "3000; using today\n",
                text);
        }
        return load_epoch();
    }();
    return value;
}

std::atomic<double> g_epoch{0.0}; // 0: the default

} // namespace

Pointing pointing(int camera_id) {
    Store &s = store();
    std::lock_guard lock(s.mutex);
    return s.of(camera_id);
}

bool set_pointing(int camera_id, double ra_deg, double dec_deg, double angle_deg) {
    if (!valid_pointing(ra_deg, dec_deg, angle_deg))
        return false;
    Store &s = store();
    std::lock_guard lock(s.mutex);
    Pointing &p = s.of(camera_id);
    p.set = true;
    p.ra_deg = wrap_degrees(ra_deg);
    p.dec_deg = dec_deg;
    p.angle_deg = angle_deg;
    p.drift_anchored = false; // a slew: the drift starts again from the new place
    return true;
}

void clear_pointing(int camera_id) {
    Store &s = store();
    std::lock_guard lock(s.mutex);
    Pointing &p = s.of(camera_id);
    p.set = false;
    p.drift_anchored = false;
}

bool set_telescope(int camera_id, double focal_mm, double aperture_mm) {
    if (!(focal_mm == 0.0 || (focal_mm >= 10.0 && focal_mm <= 20000.0)) ||
        !(aperture_mm == 0.0 || (aperture_mm >= 5.0 && aperture_mm <= 2000.0)))
        return false; // also refuses NaN
    Store &s = store();
    std::lock_guard lock(s.mutex);
    Pointing &p = s.of(camera_id);
    p.focal_mm = focal_mm;
    p.aperture_mm = aperture_mm;
    return true;
}

void set_tracking(int camera_id, bool on) {
    Store &s = store();
    std::lock_guard lock(s.mutex);
    Pointing &p = s.of(camera_id);
    if (p.tracking != on)
        p.drift_anchored = false;
    p.tracking = on;
}

void reset_pointings() {
    Store &s = store();
    std::lock_guard lock(s.mutex);
    s.by_camera.clear();
}

Pointing pointing_for_frame(int camera_id, double start_s) {
    Store &s = store();
    std::lock_guard lock(s.mutex);
    Pointing &p = s.of(camera_id);
    if (p.set && !p.tracking && !p.drift_anchored) {
        p.drift_anchored = true;
        p.drift_anchor_s = start_s;
    }
    return p;
}

double julian_epoch(int year, int month, int day, double hours) {
    // Julian day number of the civil date (Fliegel and Van Flandern), then J2000.0 = JD 2451545.0.
    const int a = (14 - month) / 12;
    const int y = year + 4800 - a, m = month + 12 * a - 3;
    const long jdn = day + (153 * m + 2) / 5 + 365L * y + y / 4 - y / 100 + y / 400 - 32045;
    const double jd = double(jdn) - 0.5 + hours / 24.0;
    return 2000.0 + (jd - 2451545.0) / 365.25;
}

double epoch_at_start() {
    const double e = g_epoch.load(std::memory_order_relaxed);
    return e != 0.0 ? e : default_epoch();
}

double date_offset_seconds() {
    const double e = epoch_at_start();
    return e == load_epoch() ? 0.0 : (e - load_epoch()) * 365.25 * 86400.0;
}

bool set_epoch(double julian_epoch_value) {
    if (!(julian_epoch_value == 0.0 || (julian_epoch_value >= 1000.0 && julian_epoch_value <= 3000.0)))
        return false;
    g_epoch.store(julian_epoch_value, std::memory_order_relaxed);
    return true;
}

void reset_epoch() {
    g_epoch.store(0.0, std::memory_order_relaxed);
}

Vec3 unit_vector(double ra, double dec) {
    const double c = std::cos(dec);
    return {c * std::cos(ra), c * std::sin(ra), std::sin(dec)};
}

double dot(const Vec3 &a, const Vec3 &b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Tangent::Tangent(double ra0, double dec0) : ra0_(ra0), sin_dec0_(std::sin(dec0)), cos_dec0_(std::cos(dec0)) {}

bool Tangent::project(double ra, double dec, double *xi, double *eta) const {
    const double sd = std::sin(dec), cd = std::cos(dec);
    const double dra = ra - ra0_;
    const double sa = std::sin(dra), ca = std::cos(dra);
    const double denom = sin_dec0_ * sd + cos_dec0_ * cd * ca; // cosine of the distance
    if (denom <= 1e-6)
        return false;
    *xi = cd * sa / denom;
    *eta = (cos_dec0_ * sd - sin_dec0_ * cd * ca) / denom;
    return true;
}

void apply_proper_motion(double *ra, double *dec, double pm_ra_cosdec, double pm_dec, double years) {
    // Move along the great circle through the star in the direction of its motion: exact for a
    // constant space motion's direction, which the catalogue's linear motion is.
    const double mu = std::sqrt(pm_ra_cosdec * pm_ra_cosdec + pm_dec * pm_dec);
    if (mu == 0.0 || years == 0.0)
        return;
    const double angle = mu * years;
    const double pa = std::atan2(pm_ra_cosdec, pm_dec); // north through east
    const double sd = std::sin(*dec), cd = std::cos(*dec);
    const double new_sd = sd * std::cos(angle) + cd * std::sin(angle) * std::cos(pa);
    const double new_dec = std::asin(std::clamp(new_sd, -1.0, 1.0));
    const double dra = std::atan2(std::sin(pa) * std::sin(angle) * cd, std::cos(angle) - sd * new_sd);
    *ra += dra;
    *dec = new_dec;
}

double galactic_latitude(double ra, double dec) {
    // The north galactic pole in J2000: RA 192.85948, Dec 27.12825 degrees.
    static const Vec3 pole = unit_vector(192.85948 * kDeg, 27.12825 * kDeg);
    return std::asin(std::clamp(dot(unit_vector(ra, dec), pole), -1.0, 1.0));
}

} // namespace asisim
