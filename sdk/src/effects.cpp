#include "effects.h"

#include <array>
#include <atomic>
#include <cmath>
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
    return found == l.by_camera.end() ? LightSource{} : found->second;
}

bool set_light_source(int camera_id, int kind, double level) {
    LightSource s;
    if (kind == int(Light::sky)) {
        if (!(level == 0.0 || (level >= 5.0 && level <= 25.0))) // also refuses NaN
            return false;
    } else if (kind == int(Light::panel)) {
        if (!(level >= 0.0 && level <= 1e9))
            return false;
    } else {
        return false;
    }
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
