// The control API: reset, scripted results, the journal, the time scale, unplug and plug, the
// catalogue's model names, the effects, the light sources and the mount's settings.
#include "boundary.h"
#include "catalogue.h"
#include "celestial.h"
#include "effects.h"
#include "journal.h"
#include "kernels.h"
#include "machine.h"
#include "mount.h"
#include "optics.h"
#include "registry.h"
#include "scripts.h"
#include "sensor.h"
#include "sky.h"
#include "starcatalog.h"
#include "starfiles.h"
#include "synthesis.h"
#include "timing.h"

#include <asisim.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

using namespace asisim;

namespace {

int reset(const char *cameras, const uint64_t *seed) {
    if (!Registry::instance().reset(cameras, seed))
        return -1;
    scripts::clear();
    journal::clear();
    sim_clock::set_scale(sim_clock::load_time_scale());
    reset_effects();
    reset_light_sources();
    reset_mount_parameters();
    reset_pointings();
    reset_epoch();
    reset_deep_catalogue();
    Registry::instance().notify_clock_change();
    return 0;
}

} // namespace

extern "C" {

int asisim_reset(const char *cameras) {
    return guarded<int>(-1, [&]() -> int { return reset(cameras, nullptr); });
}

int asisim_reset_seeded(const char *cameras, unsigned long long seed) {
    return guarded<int>(-1, [&]() -> int {
        const uint64_t s = seed;
        return reset(cameras, &s);
    });
}

unsigned long long asisim_seed(void) {
    return guarded<unsigned long long>(0ULL,
                                       [&]() -> unsigned long long { return Registry::instance().seed(); });
}

int asisim_power_cycle(void) {
    return guarded<int>(-1, [&]() -> int {
        std::vector<std::string> held;
        Registry::instance().power_cycle(&held);
        Registry::instance().notify_clock_change();
        return static_cast<int>(held.size());
    });
}

const char *asisim_state_dir(void) {
    return guarded<const char *>(static_cast<const char *>(nullptr),
                                 [&]() -> const char * { return machine::state_dir().c_str(); });
}

int asisim_machine_state(char *buf, size_t buflen) {
    return guarded<int>(-1, [&]() -> int {
        const std::string text = machine::describe_json();
        if (buf && buflen > 0) {
            const size_t n = std::min(buflen - 1, text.size());
            std::memcpy(buf, text.data(), n);
            buf[n] = '\0';
        }
        return static_cast<int>(std::min<size_t>(text.size(), 0x7fffffff));
    });
}

int asisim_script(const char *function, int code, const void *data, size_t size) {
    return guarded<int>(-1, [&]() -> int {
        Fn fn;
        if (!find_function(function, &fn))
            return -1;
        return scripts::push(fn, code, data, size) ? 0 : -1;
    });
}

void asisim_clear_scripts(void) {
    guarded_void([&] { scripts::clear(); });
}

int asisim_journal_count(void) {
    return guarded<int>(0, [&]() -> int { return journal::count(); });
}

int asisim_journal_entry(int index, char *buf, size_t buflen) {
    return guarded<int>(-1, [&]() -> int {
        std::string text;
        if (!journal::line(index, &text))
            return -1;
        if (buf && buflen > 0) {
            const size_t n = std::min(text.size(), buflen - 1);
            std::memcpy(buf, text.data(), n);
            buf[n] = '\0';
        }
        return static_cast<int>(std::min<size_t>(text.size(), 0x7fffffff));
    });
}

void asisim_journal_clear(void) {
    guarded_void([&] { journal::clear(); });
}

void asisim_set_time_scale(double factor) {
    guarded_void([&] {
        sim_clock::set_scale(factor);
        // Waiters computed their real deadlines at the old speed.
        Registry::instance().notify_clock_change();
    });
}

double asisim_time_scale(void) {
    return sim_clock::scale();
}

int asisim_unplug(int camera_id) {
    return guarded<int>(-1, [&]() -> int { return Registry::instance().unplug(camera_id) ? 0 : -1; });
}

int asisim_plug(int camera_id) {
    return guarded<int>(-1, [&]() -> int { return Registry::instance().plug(camera_id) ? 0 : -1; });
}

const char *asisim_model_name(int index) {
    return guarded<const char *>(static_cast<const char *>(nullptr), [&]() -> const char * {
        const auto models = catalogue();
        if (index < 0 || static_cast<size_t>(index) >= models.size())
            return nullptr;
        return models[static_cast<size_t>(index)].name;
    });
}

namespace {

// Bits of the effect called `name` ("all": every one); 0 for an unknown name.
uint32_t effect_bits(const char *name) {
    if (name == nullptr)
        return 0;
    uint32_t all = 0;
    for (const EffectInfo &e : effect_table()) {
        if (std::strcmp(name, e.name) == 0)
            return e.bit;
        all |= e.bit;
    }
    return std::strcmp(name, "all") == 0 ? all : 0;
}

} // namespace

int asisim_set_effect(const char *name, int enabled) {
    return guarded<int>(-1, [&]() -> int {
        const uint32_t bits = effect_bits(name);
        if (bits == 0)
            return -1;
        set_effects(bits, enabled != 0);
        return 0;
    });
}

int asisim_effect_enabled(const char *name) {
    return guarded<int>(-1, [&]() -> int {
        const uint32_t bits = effect_bits(name);
        if (bits == 0)
            return -1;
        return (effects() & bits) == bits ? 1 : 0;
    });
}

const char *asisim_effect_name(int index) {
    return guarded<const char *>(static_cast<const char *>(nullptr), [&]() -> const char * {
        const auto table = effect_table();
        if (index < 0 || static_cast<size_t>(index) >= table.size())
            return nullptr;
        return table[static_cast<size_t>(index)].name;
    });
}

int asisim_set_light(int camera_id, int source, double level) {
    return guarded<int>(-1, [&]() -> int {
        if (!Registry::instance().by_id(camera_id))
            return -1;
        return set_light_source(camera_id, source, level) ? 0 : -1;
    });
}

int asisim_set_mount(const char *name, double value) {
    return guarded<int>(-1, [&]() -> int { return set_mount_parameter(name, value) ? 0 : -1; });
}

int asisim_get_mount(const char *name, double *value) {
    return guarded<int>(-1, [&]() -> int { return get_mount_parameter(name, value) ? 0 : -1; });
}

const char *asisim_mount_parameter_name(int index) {
    return guarded<const char *>(static_cast<const char *>(nullptr), [&]() -> const char * {
        const auto table = mount_parameter_table();
        if (index < 0 || static_cast<size_t>(index) >= table.size())
            return nullptr;
        return table[static_cast<size_t>(index)].name;
    });
}

int asisim_point(int camera_id, double ra_deg, double dec_deg, double angle_deg) {
    return guarded<int>(-1, [&]() -> int {
        if (!Registry::instance().by_id(camera_id))
            return -1;
        return set_pointing(camera_id, ra_deg, dec_deg, angle_deg) ? 0 : -1;
    });
}

int asisim_unpoint(int camera_id) {
    return guarded<int>(-1, [&]() -> int {
        if (!Registry::instance().by_id(camera_id))
            return -1;
        clear_pointing(camera_id);
        return 0;
    });
}

int asisim_set_telescope(int camera_id, double focal_mm, double aperture_mm) {
    return guarded<int>(-1, [&]() -> int {
        if (!Registry::instance().by_id(camera_id))
            return -1;
        return set_telescope(camera_id, focal_mm, aperture_mm) ? 0 : -1;
    });
}

int asisim_set_tracking(int camera_id, int on) {
    return guarded<int>(-1, [&]() -> int {
        if (!Registry::instance().by_id(camera_id))
            return -1;
        set_tracking(camera_id, on != 0);
        return 0;
    });
}

int asisim_get_pointing(int camera_id, asisim_pointing_t *out) {
    return guarded<int>(-1, [&]() -> int {
        if (out == nullptr || !Registry::instance().by_id(camera_id))
            return -1;
        const Pointing p = pointing(camera_id);
        *out = asisim_pointing_t{};
        out->pointed = p.set ? 1 : 0;
        out->tracking = p.tracking ? 1 : 0;
        if (p.set) {
            out->ra_deg = p.ra_deg;
            out->dec_deg = p.dec_deg;
            out->angle_deg = p.angle_deg;
        }
        out->focal_mm = p.focal_mm > 0.0 ? p.focal_mm : optics().focal_mm;
        out->aperture_mm = p.aperture_mm > 0.0 ? p.aperture_mm : optics().aperture_mm;
        return 0;
    });
}

int asisim_get_distortion(int camera_id, double *per_pixel2) {
    const std::shared_ptr<Camera> cam =
        per_pixel2 == nullptr ? nullptr : Registry::instance().by_id(camera_id);
    if (!cam)
        return -1;
    *per_pixel2 = radial_distortion(cam->model(), effects());
    return 0;
}

int asisim_star_position(int camera_id, double ra_deg, double dec_deg, double *x, double *y) {
    const std::shared_ptr<Camera> cam =
        x == nullptr || y == nullptr ? nullptr : Registry::instance().by_id(camera_id);
    if (!cam)
        return -1;
    const Pointing p = pointing(camera_id);
    if (!p.set)
        return -1;
    const CameraModel &m = cam->model();
    FieldRequest f{};
    f.ra_deg = p.ra_deg;
    f.dec_deg = p.dec_deg;
    f.angle_deg = p.angle_deg;
    f.scale_arcsec = pixel_scale_arcsec(m, p.focal_mm);
    f.cx = m.width / 2.0;
    f.cy = m.height / 2.0;
    double sx = 0.0, sy = 0.0;
    if (!field_position(f, ra_deg, dec_deg, &sx, &sy))
        return -1;
    // The optics' pincushion about the sensor's centre, as the frames draw it.
    const double ux = sx - f.cx, uy = sy - f.cy;
    const double radial = 1.0 + radial_distortion(m, effects()) * (ux * ux + uy * uy);
    *x = f.cx + ux * radial;
    *y = f.cy + uy * radial;
    return 0;
}

int asisim_sensor_response(int camera_id, int gain, asisim_sensor_response_t *out) {
    return guarded<int>(-1, [&]() -> int {
        const std::shared_ptr<Camera> cam = out == nullptr ? nullptr : Registry::instance().by_id(camera_id);
        if (!cam)
            return -1;
        const CameraModel &m = cam->model();
        *out = asisim_sensor_response_t{electrons_per_adu(m, gain), m.full_well_e, m.bit_depth};
        return 0;
    });
}

int asisim_set_date(double julian_epoch) {
    return guarded<int>(-1, [&]() -> int { return set_epoch(julian_epoch) ? 0 : -1; });
}

double asisim_get_date(void) {
    return guarded<double>(std::numeric_limits<double>::quiet_NaN(),
                           [&]() -> double { return epoch_at_start(); });
}

double asisim_date_offset(void) {
    return date_offset_seconds();
}

long asisim_set_star_catalog(const char *path) {
    return guarded<long>(-1L, [&]() -> long {
        std::string error;
        const long n = set_deep_catalogue(path, &error);
        if (n < 0)
            std::fprintf(stderr, "asisim: %s\n", error.c_str());
        return n;
    });
}

void asisim_star_catalog_info(long *bundled, long *deep, double *filler_from_mag) {
    guarded_void([&] {
        long b = 0, d = 0;
        double f = 0.0;
        catalogue_counts(&b, &d, &f);
        if (bundled)
            *bundled = b;
        if (deep)
            *deep = d;
        if (filler_from_mag)
            *filler_from_mag = f;
    });
}

const char *asisim_simd_path(void) {
    return guarded<const char *>(static_cast<const char *>(nullptr),
                                 [&]() -> const char * { return simd_path_name(); });
}

} // extern "C"
