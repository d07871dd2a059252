// The set of connected simulated cameras.
//
// Built at load time from ASISIM_CAMERAS (model names separated by commas; unset: the default
// pair; a name not in the catalogue: no cameras, with a message on stderr), rebuilt by the
// control API's reset. Camera IDs are positions in the set, so they equal the indices after every
// reset; unplugging hides a camera from the index list but keeps its ID.
//
// Each power-on (the load, every reset) has a seed for what is drawn anew on every run (noise,
// sky, mount): ASISIM_SEED, read at load, or a reset's own seed, makes runs repeat; without one
// every power-on draws a fresh seed. What belongs to a camera itself (its fixed pattern, hot
// pixels, serial number) comes from its model and position alone.
#pragma once

#include "camera.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace asisim {

class Registry {
  public:
    static Registry &instance();
    ~Registry();

    // Null when no camera has that ID.
    std::shared_ptr<Camera> by_id(int id);
    // The index-th connected (plugged) camera, null when there is none.
    std::shared_ptr<Camera> by_index(int index);
    int connected_count();
    // Any camera of that USB product ID in the catalogue?
    static bool known_product(int vid, int pid);

    // Power-on state with the named cameras (comma-separated exact catalogue names); null or
    // empty: the load-time set. The seed of the new power-on is `seed` when given, else
    // ASISIM_SEED's, else a fresh one. False, changing nothing, when a name is unknown.
    bool reset(const char *names, const uint64_t *seed = nullptr);
    // The seed of the present power-on.
    uint64_t seed();
    // Power to every simulated camera of the machine goes off and on: this process's cameras
    // come back closed at power-on (a fresh seed, unless one is fixed), every camera that no
    // other process holds forgets its temperature, cooler and clock. The keys of the cameras
    // other processes hold, which keep theirs, go to `held`.
    void power_cycle(std::vector<std::string> *held);
    bool unplug(int id);
    bool plug(int id);
    void notify_clock_change();

  private:
    Registry();
    // False, with the first name not in the catalogue in `unknown` (when given), if one is not.
    static bool parse(const std::string &names, std::vector<const CameraModel *> *out,
                      std::string *unknown = nullptr);
    // The set becomes these cameras; with `power_on` their machine-wide state is powered off too.
    void replace(const std::vector<const CameraModel *> &models, uint64_t seed, bool power_on);
    std::vector<std::shared_ptr<Camera>> snapshot();
    // The seed a power-on without a seed of its own takes.
    uint64_t default_seed() const;

    std::mutex mutex_;
    std::vector<std::shared_ptr<Camera>> cameras_;
    std::vector<const CameraModel *> load_time_;
    std::optional<uint64_t> env_seed_; // ASISIM_SEED
    uint64_t seed_ = 0;
};

} // namespace asisim
