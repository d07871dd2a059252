#include "registry.h"

#include "hash.h"
#include "machine.h"
#include "synthesis.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <unistd.h>

namespace asisim {

namespace {

// Seed of the camera at a position: the same model at the same position is the same camera (fixed
// pattern, hot pixels, serial number) after every power-on.
uint64_t camera_seed(const CameraModel &m, int index) {
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (const char *p = m.name; *p; ++p) {
        h ^= static_cast<unsigned char>(*p);
        h *= 1099511628211ull;
    }
    return h ^ (static_cast<uint64_t>(index) + 1) * 0x9E3779B97F4A7C15ull;
}

// Seed of one camera for one power-on. Power-on seed 0 gives the camera's own seed (mix64(0) is 0).
uint64_t run_seed(uint64_t camera, uint64_t power_on) {
    return camera ^ mix64(power_on);
}

// A seed nobody has drawn before: the system's entropy source, mixed with the time and the
// process ID in case that source is deterministic (as it may be on some platforms).
uint64_t fresh_seed() {
    uint64_t s = 0;
    try {
        std::random_device rd;
        s = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
    }
    s = hash_combine(s, static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
    s = hash_combine(s, static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return hash_combine(s, static_cast<uint64_t>(::getpid()));
}

// ASISIM_SEED: a decimal number from 0 to 2^64 - 1. Anything else is reported on stderr and
// ignored (the runs do not repeat), rather than silently seeding with part of it.
std::optional<uint64_t> seed_from_env() {
    const char *env = std::getenv("ASISIM_SEED");
    if (!env || !*env)
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(env, &end, 10);
    if (errno != 0 || *end != '\0' || *env == '-' || *env == '+' || *env == ' ') {
        std::fprintf(stderr,
                     "asisim: ASISIM_SEED is \"%s\", not a number from 0 to 18446744073709551615; "
                     "every run draws its own seed\n",
                     env);
        return std::nullopt;
    }
    return static_cast<uint64_t>(v);
}

std::string trimmed(const std::string &s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

} // namespace

// Renders a few tiny frames through every path of the synthesis so that the function-local
// statics it keeps (caches, tables) exist before the registry does. Statics are destroyed in the
// reverse order of their construction, so at exit the registry, which stops the video threads,
// goes first and no thread renders with a destroyed cache.
bool prime_synthesis() {
    const CameraModel &color = *find_model("ZWO ASI294MC Pro");
    DarkFrame dark;
    dark.width = 8;
    dark.height = 2;
    dark.data.assign(16, 1);
    uint8_t out[8 * 2 * 3];
    for (ASI_IMG_TYPE type : {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_RGB24, ASI_IMG_Y8}) {
        FrameRequest req;
        req.model = &color;
        req.width = 8;
        req.height = 2;
        req.img_type = type;
        req.exposure_s = 0.001;
        req.dark_frame = type == ASI_IMG_RAW8 ? &dark : nullptr;
        req.mono_bin = type == ASI_IMG_Y8;
        if (frame_bytes(req) <= sizeof out)
            render_frame(req, out);
    }
    return true;
}

Registry &Registry::instance() {
    static const bool primed = prime_synthesis();
    (void)primed;
    static Registry r;
    return r;
}

Registry::Registry() : env_seed_(seed_from_env()) {
    const char *env = std::getenv("ASISIM_CAMERAS");
    // Unset: the default pair; empty: no cameras. A name outside the catalogue (a typo) connects
    // no camera at all rather than a set the user did not ask for, and says so: the library has
    // no other way to report it, and a program that finds no cameras then shows why.
    std::string unknown;
    if (!env) {
        load_time_ = {find_model("ZWO ASI294MC Pro"), find_model("ZWO ASI120MM Mini")};
    } else if (!parse(env, &load_time_, &unknown)) {
        load_time_.clear();
        std::fprintf(stderr,
                     "asisim: ASISIM_CAMERAS names \"%s\", which is not a simulated camera model; "
                     "no cameras are connected\n",
                     unknown.c_str());
    }
    // Loading the library connects the cameras as they are: powered, perhaps still cold from the
    // process before.
    replace(load_time_, default_seed(), false);
}

uint64_t Registry::default_seed() const {
    return env_seed_ ? *env_seed_ : fresh_seed();
}

uint64_t Registry::seed() {
    std::lock_guard lock(mutex_);
    return seed_;
}

Registry::~Registry() {
    // Library unload: every background thread stops before the code it runs goes away.
    std::vector<std::shared_ptr<Camera>> old;
    {
        std::lock_guard lock(mutex_);
        old.swap(cameras_);
    }
    for (auto &c : old)
        c->shut_down();
}

bool Registry::parse(const std::string &names, std::vector<const CameraModel *> *out, std::string *unknown) {
    std::vector<const CameraModel *> models;
    if (!names.empty()) {
        size_t pos = 0;
        for (;;) {
            const size_t comma = names.find(',', pos);
            const std::string name =
                trimmed(names.substr(pos, comma == std::string::npos ? comma : comma - pos));
            const CameraModel *m = find_model(name);
            if (!m) {
                if (unknown)
                    *unknown = name;
                return false;
            }
            models.push_back(m);
            if (comma == std::string::npos)
                break;
            pos = comma + 1;
        }
    }
    *out = std::move(models);
    return true;
}

void Registry::replace(const std::vector<const CameraModel *> &models, uint64_t seed, bool power_on) {
    std::vector<std::shared_ptr<Camera>> fresh;
    for (size_t i = 0; i < models.size(); ++i) {
        const uint64_t own = camera_seed(*models[i], static_cast<int>(i));
        fresh.push_back(std::make_shared<Camera>(*models[i], static_cast<int>(i), own, run_seed(own, seed)));
    }
    std::vector<std::shared_ptr<Camera>> old;
    {
        std::lock_guard lock(mutex_);
        old.swap(cameras_);
        cameras_ = std::move(fresh);
        seed_ = seed;
    }
    // Old cameras stop outside the registry lock; a call still holding one sees it removed.
    for (auto &c : old)
        c->shut_down();
    // A power-on: the new cameras start warm, cooler off, clock at zero, unless another process
    // has one of them (then it stays as that process has it).
    if (power_on)
        for (auto &c : snapshot())
            machine::power_off(c->key());
}

std::vector<std::shared_ptr<Camera>> Registry::snapshot() {
    std::lock_guard lock(mutex_);
    return cameras_;
}

void Registry::power_cycle(std::vector<std::string> *held) {
    std::vector<const CameraModel *> models;
    for (auto &c : snapshot())
        models.push_back(&c->model());
    replace(models, default_seed(), true);
    machine::power_off_all(held);
}

std::shared_ptr<Camera> Registry::by_id(int id) {
    std::lock_guard lock(mutex_);
    if (id < 0 || static_cast<size_t>(id) >= cameras_.size())
        return nullptr;
    return cameras_[static_cast<size_t>(id)];
}

std::shared_ptr<Camera> Registry::by_index(int index) {
    std::lock_guard lock(mutex_);
    if (index < 0)
        return nullptr;
    for (auto &c : cameras_)
        if (c->plugged() && index-- == 0)
            return c;
    return nullptr;
}

int Registry::connected_count() {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (auto &c : cameras_)
        n += c->plugged() ? 1 : 0;
    return n;
}

bool Registry::known_product(int vid, int pid) {
    if (vid != 0x03C3)
        return false;
    for (const CameraModel &m : catalogue())
        if (m.usb_pid == pid)
            return true;
    return false;
}

bool Registry::reset(const char *names, const uint64_t *seed) {
    std::vector<const CameraModel *> models;
    if (!names || !*names)
        models = load_time_;
    else if (!parse(names, &models))
        return false;
    replace(models, seed ? *seed : default_seed(), true);
    return true;
}

bool Registry::unplug(int id) {
    auto c = by_id(id);
    if (!c)
        return false;
    c->unplug();
    return true;
}

bool Registry::plug(int id) {
    auto c = by_id(id);
    if (!c)
        return false;
    c->plug();
    return true;
}

void Registry::notify_clock_change() {
    for (auto &c : snapshot())
        c->notify_clock_change();
}

} // namespace asisim
