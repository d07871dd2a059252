// The night sky over a camera's field: airmass, sky brightness, its gradient and passing clouds.
//
// The sky's brightness at a place (altitude, azimuth) is a natural part (airglow, brighter toward
// the horizon as the airmass grows, fading through the first hours of the night) and a
// light-pollution dome (brighter toward the horizon and toward the nearest town, dimming when the
// town's lights go out around midnight). The field rises and sets with the hours, so its sky and
// its airmass change, and the gradient across it (evaluated on the sky, around the field) turns
// on the sensor as the field's parallactic angle turns. The Sun goes round the site every 24 hours
// of the clock: dawn brightens the sky from 7.2 hours on, the day's sky is as bright as at
// sunrise, and dusk darkens it again for the next night, 24 hours after the first; now and then a
// thin cloud dims the stars and, lit by the town, brightens the sky.
#include "night.h"

#include "effects.h"
#include "hash.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace asisim {

namespace {

constexpr double kDeg = std::numbers::pi / 180.0;
constexpr double kSiderealDegPerS = 360.0 / 86164.0905;
constexpr double kExtinctionMagPerAirmass = 0.2;
constexpr double kGradientPerDegree = 0.05; // the sky's gradient at the start of the night
constexpr double kAstronomicalDawnH = 7.2;  // scene hours at which the sun reaches -18 degrees
constexpr double kDayS = 86400.0;
constexpr double kNoonBeforeS = -9.0 * 3600.0; // the night's first noon, 12:00 UTC, on the scene clock
// Every night is an equinox night (the Sun on the celestial equator), so that each one is as long
// and as dark as the first whatever the simulated date: the Sun's hour angle at the scene clock's
// zero puts it at -18 degrees 7.2 hours later, at 45 degrees north.
constexpr double kTwilightDeg = -18.0;
constexpr double kCloudSkyGain = 1.5; // sky brightening per unit of light a cloud takes away

// Airmass at an altitude (Kasten and Young), the field kept 5 degrees above the horizon.
double airmass(double alt_deg) {
    const double a = std::max(alt_deg, 5.0);
    return 1.0 / (std::sin(a * kDeg) + 0.50572 * std::pow(a + 6.07995, -1.6364));
}

struct Horizontal {
    double alt_deg, az_deg;
};

Horizontal horizontal(double dec_deg, double hour_angle_deg) {
    const double phi = kSiteLatitudeDeg * kDeg, d = dec_deg * kDeg, h = hour_angle_deg * kDeg;
    const double sin_alt = std::sin(phi) * std::sin(d) + std::cos(phi) * std::cos(d) * std::cos(h);
    const double east = -std::cos(d) * std::sin(h);
    const double north = std::sin(d) * std::cos(phi) - std::cos(d) * std::cos(h) * std::sin(phi);
    return {std::asin(std::clamp(sin_alt, -1.0, 1.0)) / kDeg, std::atan2(east, north) / kDeg};
}

struct Site {
    double dec_deg, start_ha_deg, town_az_deg;
};

Site site_of(uint64_t seed) {
    const uint64_t h = hash_combine(seed, 0x6E69676874ull); // "night"
    return {20.0 + 40.0 * unit_from(mix64(h)), -15.0 * (3.0 + 2.0 * unit_from(mix64(h + 1))),
            360.0 * unit_from(mix64(h + 2))};
}

// Which night a scene time belongs to (0: the first), counted from noon to noon.
double night_index(double t_s) {
    return std::max(0.0, std::floor((t_s - kNoonBeforeS) / kDayS));
}

// Seconds since the start of its own night (21:00 UTC; the first night's are the clock's own).
double night_seconds(double t_s) {
    return t_s - night_index(t_s) * kDayS;
}

// The Sun's altitude at the site at scene time t (seconds), degrees.
double sun_altitude(double t_s) {
    static const double dawn_ha_deg =
        -std::acos(std::sin(kTwilightDeg * kDeg) / std::cos(kSiteLatitudeDeg * kDeg)) / kDeg;
    const double ha_deg = dawn_ha_deg + 15.0 * (night_seconds(t_s) / 3600.0 - kAstronomicalDawnH);
    return std::asin(std::cos(kSiteLatitudeDeg * kDeg) * std::cos(ha_deg * kDeg)) / kDeg;
}

// Relative sky brightness at a place and time, without twilight and clouds: `t_h` hours into its
// night (negative in the evening before it).
double sky_at(const Horizontal &p, double town_az_deg, double t_h) {
    const double x = airmass(p.alt_deg);
    const double airglow = 1.0 + 0.35 * std::exp(-std::max(t_h, -2.0) / 2.0);
    const double natural = 0.35 * x * std::pow(10.0, -0.4 * kExtinctionMagPerAirmass * (x - 1.0)) * airglow;
    const double lights = 1.0 - 0.25 * std::clamp(t_h - 3.0, 0.0, 1.0);
    const double toward_town = 0.5 + 0.5 * std::cos((p.az_deg - town_az_deg) * kDeg);
    const double dome =
        0.65 * (1.0 + 2.0 * std::exp(-(std::max(p.alt_deg, 5.0) - 15.0) / 15.0) * toward_town);
    return natural + dome * lights;
}

// Sky at the field and its relative gradient per degree along right ascension and declination.
struct SkySample {
    double level, grad_ra, grad_dec, alt_deg;
};

SkySample sample(const Site &s, double t_s) {
    const double ha = std::fmod(s.start_ha_deg + kSiderealDegPerS * t_s, 360.0);
    const double t_h = night_seconds(t_s) / 3600.0;
    constexpr double kStep = 0.5; // degrees on the sky
    const Horizontal here = horizontal(s.dec_deg, ha);
    const double level = sky_at(here, s.town_az_deg, t_h);
    // A step east on the sky is a smaller hour angle, by the step over cos(dec).
    const double east =
        sky_at(horizontal(s.dec_deg, ha - kStep / std::cos(s.dec_deg * kDeg)), s.town_az_deg, t_h);
    const double north = sky_at(horizontal(s.dec_deg + kStep, ha), s.town_az_deg, t_h);
    return {level, (east - level) / kStep / level, (north - level) / kStep / level, here.alt_deg};
}

// Twilight sky over the site's sky, by the sun's altitude: about a magnitude per degree.
double twilight(double sun_alt_deg, double site_sky_mag) {
    if (sun_alt_deg <= -20.0)
        return 0.0;
    const double below = -6.0 - sun_alt_deg;
    const double mag = below >= 0.0 ? 11.5 + 1.05 * below : 11.5 + 0.8 * below;
    return std::pow(10.0, -0.4 * (mag - site_sky_mag));
}

// Extinction by passing clouds, magnitudes: one or two thin clouds between 2 and 6.5 hours into
// each night (each night after the first has its own), each 0.15 to 0.6 magnitudes deep at its
// middle and 10 to 25 minutes across.
double cloud_mag(uint64_t seed, double t_s) {
    const double night = night_index(t_s);
    const uint64_t sky =
        night == 0.0 ? seed : hash_combine(seed, static_cast<uint64_t>(std::fmod(night, 1e15)));
    const uint64_t h = hash_combine(sky, 0x636C6F7564ull); // "cloud"
    t_s = night_seconds(t_s);
    const int count = 1 + int(unit_from(mix64(h)) < 0.5);
    double mag = 0.0;
    for (int i = 0; i < count; ++i) {
        const uint64_t c = mix64(h + uint64_t(1 + 4 * i));
        const double middle = 3600.0 * (2.0 + 4.5 * unit_from(c));
        const double half_width = 60.0 * (10.0 + 15.0 * unit_from(mix64(c + 1)));
        const double depth = 0.15 + 0.45 * unit_from(mix64(c + 2));
        const double u = (t_s - middle) / half_width;
        if (std::abs(u) < 6.0)
            mag += depth * std::exp(-u * u);
    }
    return mag;
}

} // namespace

double field_declination_deg(uint64_t seed) {
    return site_of(seed).dec_deg;
}

NightState night_state(uint64_t seed, double t, uint32_t effects, double site_sky_mag, double field_dec_deg) {
    NightState n;
    Site site = site_of(seed);
    if (std::isfinite(field_dec_deg))
        site.dec_deg = std::clamp(field_dec_deg, -89.0, 89.0);
    const bool night = effect_on(effects, kEffectNightSky);
    const double when = night && std::isfinite(t) ? std::max(t, 0.0) : 0.0;
    const SkySample start = sample(site, 0.0);
    const SkySample now = night ? sample(site, when) : start;
    n.airmass = airmass(now.alt_deg);
    n.sun_altitude_deg = night ? sun_altitude(when) : -30.0;
    // The day's sky in a frame is as bright as at sunrise, which saturates any light exposure.
    const double dawn = night ? twilight(std::min(n.sun_altitude_deg, -2.0), site_sky_mag) : 0.0;
    n.cloud_mag =
        effect_on(effects, kEffectClouds) && std::isfinite(t) ? cloud_mag(seed, std::max(t, 0.0)) : 0.0;
    const double cloud_pass = std::pow(10.0, -0.4 * n.cloud_mag);
    const double own = now.level / start.level * (1.0 + kCloudSkyGain * (1.0 - cloud_pass));
    n.sky_factor = own + dawn;
    n.transmission =
        std::pow(10.0, -0.4 * kExtinctionMagPerAirmass * (n.airmass - airmass(start.alt_deg))) * cloud_pass;
    if (effect_on(effects, kEffectSkyGradient)) {
        // The dome's gradient at the start of the night is the documented 5 % per degree; later it
        // follows the sky, diluted by twilight.
        const double start_size = std::sqrt(start.grad_ra * start.grad_ra + start.grad_dec * start.grad_dec);
        const double scale = start_size > 0.0 ? kGradientPerDegree / start_size : 0.0;
        const double share = own / n.sky_factor;
        n.gradient_ra = scale * now.grad_ra * share;
        n.gradient_dec = scale * now.grad_dec * share;
    }
    return n;
}

} // namespace asisim
