// The set of connected simulated cameras.
//
// Built at load time from ASISIM_CAMERAS (model names separated by commas; unset: the default
// pair; a name not in the catalogue: no cameras, with a message on stderr), rebuilt by the control API's reset. Camera IDs are positions in the set, so they equal
// the indices after every reset; unplugging hides a camera from the index list but keeps its ID.
#pragma once

#include "camera.h"

#include <memory>
#include <mutex>
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
    // empty: the load-time set. False, changing nothing, when a name is unknown.
    bool reset(const char *names);
    bool unplug(int id);
    bool plug(int id);
    void notify_clock_change();

  private:
    Registry();
    // False, with the first name not in the catalogue in `unknown` (when given), if one is not.
    static bool parse(const std::string &names, std::vector<const CameraModel *> *out,
                      std::string *unknown = nullptr);
    void replace(const std::vector<const CameraModel *> &models);

    std::mutex mutex_;
    std::vector<std::shared_ptr<Camera>> cameras_;
    std::vector<const CameraModel *> load_time_;
};

} // namespace asisim
