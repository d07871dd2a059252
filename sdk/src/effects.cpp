#include "effects.h"

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace asisim {

namespace {

constexpr std::array kEffects = std::to_array<EffectInfo>({
    {"bias_pattern", kEffectBiasPattern},
    {"prnu", kEffectPrnu},
    {"amp_glow", kEffectAmpGlow},
    {"dust", kEffectDust},
    {"sky_gradient", kEffectSkyGradient},
    {"conversion_gain", kEffectConversionGain},
    {"hot_pixels", kEffectHotPixels},
    {"thermal", kEffectThermal},
    {"saturation", kEffectSaturation},
    {"poisson", kEffectPoisson},
    {"star_profile", kEffectStarProfile},
    {"extended_objects", kEffectExtendedObjects},
    {"frame_jitter", kEffectFrameJitter},
    {"cosmic_rays", kEffectCosmicRays},
    {"rts_pixels", kEffectRtsPixels},
    {"row_noise", kEffectRowNoise},
    {"trails", kEffectTrails},
    {"night_sky", kEffectNightSky},
    {"clouds", kEffectClouds},
});

constexpr uint32_t all_effects() {
    uint32_t m = 0;
    for (const EffectInfo &e : kEffects)
        m |= e.bit;
    return m;
}

std::atomic<uint32_t> g_effects{all_effects()};

struct Lights {
    std::mutex mutex;
    std::map<int, LightSource> by_camera;
};

Lights &lights() {
    static Lights &l = *new Lights; // read by video threads until the registry stops them
    return l;
}

bool valid_light(int kind, double level) {
    if (kind == int(Light::sky))
        return level == 0.0 || (level >= 5.0 && level <= 25.0); // also refuses NaN
    if (kind == int(Light::panel))
        return level >= 0.0 && level <= 1e9;
    return false;
}

// ASISIM_LIGHT: what every camera looks at from power-on, so a program run from a shell (a flats
// run of a capture tool) gets its light without code: "panel:E" (E photoelectrons per second),
// "sky:MAG" (the sky at that brightness, e.g. 11 at dusk) or "night". A malformed value is
// reported on stderr and leaves the night sky.
LightSource load_time_light() {
    const char *env = std::getenv("ASISIM_LIGHT");
    if (env == nullptr || *env == '\0' || std::strcmp(env, "night") == 0)
        return {};
    const char *colon = std::strchr(env, ':');
    int kind = -1;
    if (colon != nullptr && colon - env == 5 && std::strncmp(env, "panel", 5) == 0)
        kind = int(Light::panel);
    else if (colon != nullptr && colon - env == 3 && std::strncmp(env, "sky", 3) == 0)
        kind = int(Light::sky);
    char *end = nullptr;
    const double level = colon != nullptr ? std::strtod(colon + 1, &end) : 0.0;
    if (kind < 0 || end == colon + 1 || *end != '\0' || !valid_light(kind, level)) {
        std::fprintf(stderr,
                     "asisim: ASISIM_LIGHT \"%s\" is not night, panel:E (0 to 1e9 e-/s) or sky:MAG "
                     "(5 to 25); the cameras look at the night sky\n",
                     env);
        return {};
    }
    return {Light(kind), level};
}

const LightSource &default_light() {
    static const LightSource light = load_time_light();
    return light;
}

} // namespace

std::span<const EffectInfo> effect_table() {
    return {kEffects.data(), kEffects.size()};
}

uint32_t effects() {
    return g_effects.load(std::memory_order_relaxed);
}

void set_effects(uint32_t mask, bool on) {
    if (on)
        g_effects.fetch_or(mask, std::memory_order_relaxed);
    else
        g_effects.fetch_and(~mask, std::memory_order_relaxed);
}

void reset_effects() {
    g_effects.store(all_effects(), std::memory_order_relaxed);
}

LightSource light_source(int camera_id) {
    Lights &l = lights();
    std::lock_guard lock(l.mutex);
    const auto found = l.by_camera.find(camera_id);
    return found == l.by_camera.end() ? default_light() : found->second;
}

bool set_light_source(int camera_id, int kind, double level) {
    LightSource s;
    if (!valid_light(kind, level))
        return false;
    s.kind = Light(kind);
    s.level = level;
    Lights &l = lights();
    std::lock_guard lock(l.mutex);
    l.by_camera[camera_id] = s;
    return true;
}

void reset_light_sources() {
    Lights &l = lights();
    std::lock_guard lock(l.mutex);
    l.by_camera.clear();
}

} // namespace asisim
