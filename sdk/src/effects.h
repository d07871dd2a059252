// Switches of the sensor and optics model, and the light in front of each camera's telescope.
//
// Every effect a real camera shows beyond an ideal sensor (fixed pattern, glow, dust, the
// conversion-gain step, ...) is one bit here, on at power-on; tests that want an ideal sensor turn
// them off through the control API. The light source says what each camera looks at: the night
// sky (optionally at another brightness, e.g. at dusk for sky flats) or a uniform flat panel.
#pragma once

#include <cstdint>
#include <span>

namespace asisim {

enum Effect : uint32_t {
    kEffectBiasPattern = 1u << 0,      // per-pixel bias pattern, row and column banding
    kEffectPrnu = 1u << 1,             // pixel response non-uniformity
    kEffectAmpGlow = 1u << 2,          // amplifier glow at the sensor's corners
    kEffectDust = 1u << 3,             // dust shadows on the sensor window
    kEffectSkyGradient = 1u << 4,      // light-pollution gradient across the sky
    kEffectConversionGain = 1u << 5,   // read-noise step at the high-conversion-gain switch
    kEffectHotPixels = 1u << 6,        // hot and warm pixels
    kEffectThermal = 1u << 7,          // warm-up and ambient drift of the sensor temperature
    kEffectSaturation = 1u << 8,       // non-linearity near full well, blooming
    kEffectPoisson = 1u << 9,          // Poisson (skewed) shot noise at low signal
    kEffectStarProfile = 1u << 10,     // Moffat-like wings, off-axis distortion
    kEffectExtendedObjects = 1u << 11, // galaxies and a nebula
    kEffectFrameJitter = 1u << 12,     // jitter of video frame intervals
    kEffectCosmicRays = 1u << 13,      // cosmic-ray hits in every frame
    kEffectRtsPixels = 1u << 14,       // random-telegraph pixels flickering between two levels
    kEffectRowNoise = 1u << 15,        // row offsets drawn afresh for every frame
    kEffectTrails = 1u << 16,          // satellite and aircraft trails across light frames
    kEffectNightSky = 1u << 17,        // sky brightness and transparency over the night: airmass, dawn
    kEffectClouds = 1u << 18,          // thin clouds passing now and then
};

struct EffectInfo {
    const char *name;
    Effect bit;
};

// Every effect with its control-API name, in documentation order.
std::span<const EffectInfo> effect_table();
// Mask of the effects that are on.
uint32_t effects();
inline bool effect_on(uint32_t mask, Effect e) {
    return (mask & e) != 0;
}
void set_effects(uint32_t mask, bool on);
void reset_effects();

enum class Light : int { sky = 0, panel = 1 };

// What one camera's telescope looks at. Sky: level is the sky brightness in magnitudes per square
// arcsecond (0: the site's, from ASISIM_SKY_MAG). Panel: level is photoelectrons per second in an
// unbinned pixel at the centre of a mono sensor (a green pixel of a colour one).
struct LightSource {
    Light kind = Light::sky;
    double level = 0.0;
};

// A camera without a light of its own looks at the load-time light (ASISIM_LIGHT, else the sky).
LightSource light_source(int camera_id);
// False for a value out of range (sky 5..25 mag, panel 0..1e9 e-/s) or an unknown kind.
bool set_light_source(int camera_id, int kind, double level);
// Every camera back to the load-time light.
void reset_light_sources();

} // namespace asisim
