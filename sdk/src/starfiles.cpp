// Reading the star catalogues and the deep-sky objects from their files.
#include "starfiles.h"

#include "celestial.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>

namespace asisim {

namespace {

constexpr size_t kHeaderBytes = 32;
constexpr size_t kRecordBytes = 16;

template <class T> T read_le(const unsigned char *p) {
    T v;
    std::memcpy(&v, p, sizeof v); // the library is built for little-endian machines only
    return v;
}
static_assert(std::endian::native == std::endian::little);

std::shared_ptr<StarCatalogue> load(const std::string &path, std::string *error) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot open " + path;
        return nullptr;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> closer(f, std::fclose);
    unsigned char head[32];
    if (std::fread(head, 1, sizeof head, f) != sizeof head || std::memcmp(head, "ASISTARS", 8) != 0 ||
        read_le<uint32_t>(head + 8) != 1) {
        *error = path + " is not a star catalogue of format 1";
        return nullptr;
    }
    const uint32_t count = read_le<uint32_t>(head + 12);
    const double epoch = read_le<double>(head + 16);
    const float limit = read_le<float>(head + 24);
    if (std::fseek(f, 0, SEEK_END) != 0 ||
        std::ftell(f) != long(kHeaderBytes + size_t(count) * kRecordBytes) ||
        !(epoch >= 1000.0 && epoch <= 3000.0) || !(limit >= -2.0f && limit <= 30.0f)) {
        *error = path + " is truncated or its header is wrong";
        return nullptr;
    }
    std::fseek(f, long(kHeaderBytes), SEEK_SET);
    std::vector<StarRecord> raw(count);
    if (count > 0 && std::fread(raw.data(), kRecordBytes, count, f) != count) {
        *error = "cannot read " + path;
        return nullptr;
    }
    auto cat = std::make_shared<StarCatalogue>();
    cat->epoch = epoch;
    cat->limit_mag = limit;
    // Counting sort into cells.
    const Grid &g = catalogue_grid();
    std::vector<uint32_t> cell(count);
    cat->first.assign(size_t(g.size()) + 1, 0);
    for (uint32_t i = 0; i < count; ++i) {
        const StarRecord &r = raw[i];
        if (r.dec < -2147483647) { // outside the sphere: clamp, the rest of the record stands
            raw[i].dec = -2147483647;
        }
        cell[i] = g.cell_of(record_ra(raw[i]), record_dec(raw[i]));
        ++cat->first[size_t(cell[i]) + 1];
    }
    for (size_t c = 0; c < g.size(); ++c)
        cat->first[c + 1] += cat->first[c];
    cat->stars.resize(count);
    std::vector<uint32_t> fill(cat->first.begin(), cat->first.end() - 1);
    for (uint32_t i = 0; i < count; ++i)
        cat->stars[fill[cell[i]]++] = raw[i];
    return cat;
}

// Removes the deep catalogue's copies of the bundled catalogue's stars: within 5 arcseconds at
// the deep catalogue's epoch and within 1.5 magnitudes.
void drop_duplicates(StarCatalogue *deep, const StarCatalogue &bundled) {
    const Grid &g = catalogue_grid();
    const double max_sep = std::cos(5.0 / 206264.806);
    std::vector<StarRecord> kept;
    std::vector<uint32_t> first(deep->first.size(), 0);
    kept.reserve(deep->stars.size());
    for (uint32_t c = 0; c < g.size(); ++c) {
        first[c] = uint32_t(kept.size());
        for (uint32_t i = deep->first[c]; i < deep->first[c + 1]; ++i) {
            const StarRecord &d = deep->stars[i];
            double ra = 0, dec = 0;
            position_at(d, deep->epoch, deep->epoch, &ra, &dec);
            const Vec3 v = unit_vector(ra, dec);
            bool twin = false;
            g.cells_near(ra, dec, 10.0 / 206264.806, [&](uint32_t bc) {
                for (uint32_t k = bundled.first[bc]; !twin && k < bundled.first[bc + 1]; ++k) {
                    const StarRecord &b = bundled.stars[k];
                    double bra = 0, bdec = 0;
                    position_at(b, bundled.epoch, deep->epoch, &bra, &bdec);
                    twin = dot(v, unit_vector(bra, bdec)) > max_sep && std::abs(b.mag - d.mag) < 1500;
                }
            });
            if (!twin)
                kept.push_back(d);
        }
    }
    first[g.size()] = uint32_t(kept.size());
    deep->stars = std::move(kept);
    deep->first = std::move(first);
}

std::string library_dir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&catalogue_grid), &info) == 0 || info.dli_fname == nullptr)
        return ".";
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The deep catalogue files the environment names, or the ones in the user's data folder.
std::vector<std::string> default_deep_paths() {
    std::vector<std::string> paths;
    if (const char *env = std::getenv("ASISIM_STAR_CATALOG"); env != nullptr) {
        std::string list = env;
        size_t start = 0;
        while (start <= list.size()) {
            const size_t end = std::min(list.find(':', start), list.size());
            if (end > start)
                paths.push_back(list.substr(start, end - start));
            start = end + 1;
        }
        return paths;
    }
    std::string dir;
    if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/')
        dir = std::string(xdg) + "/asisim";
    else if (const char *home = std::getenv("HOME"); home != nullptr && *home == '/')
        dir = std::string(home) + "/.local/share/asisim";
    else
        return paths;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 6 && name.compare(name.size() - 6, 6, ".stars") == 0)
                paths.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Joins several deep catalogues into one (the first one's epoch; positions moved to it).
std::shared_ptr<StarCatalogue> load_all(const std::vector<std::string> &paths, std::string *error) {
    std::shared_ptr<StarCatalogue> joined;
    for (const std::string &p : paths) {
        auto c = load(p, error);
        if (!c)
            return nullptr;
        if (!joined) {
            joined = std::move(c);
            continue;
        }
        std::vector<StarRecord> all = joined->stars;
        all.insert(all.end(), c->stars.begin(), c->stars.end());
        joined->limit_mag = std::max(joined->limit_mag, c->limit_mag);
        // Re-sort by cell.
        const Grid &g = catalogue_grid();
        std::vector<uint32_t> first(size_t(g.size()) + 1, 0);
        for (const StarRecord &r : all)
            ++first[size_t(g.cell_of(record_ra(r), record_dec(r))) + 1];
        for (size_t k = 0; k < g.size(); ++k)
            first[k + 1] += first[k];
        std::vector<StarRecord> sorted(all.size());
        std::vector<uint32_t> fill(first.begin(), first.end() - 1);
        for (const StarRecord &r : all)
            sorted[fill[g.cell_of(record_ra(r), record_dec(r))]++] = r;
        joined->stars = std::move(sorted);
        joined->first = std::move(first);
    }
    return joined;
}

struct Catalogues {
    std::mutex mutex;
    bool bundled_loaded = false, deep_loaded = false;
    bool deep_replaced = false; // set through the control API, not the default
    std::shared_ptr<const StarCatalogue> bundled, deep;
};

Catalogues &catalogues() {
    static Catalogues &c = *new Catalogues;
    return c;
}

} // namespace

void loaded_catalogues(std::shared_ptr<const StarCatalogue> *bundled,
                       std::shared_ptr<const StarCatalogue> *deep) {
    Catalogues &c = catalogues();
    std::lock_guard lock(c.mutex);
    if (!c.bundled_loaded) {
        c.bundled_loaded = true;
        std::string error;
        const char *env = std::getenv("ASISIM_HIPPARCOS");
        const std::string path =
            env != nullptr && *env != '\0' ? std::string(env) : library_dir() + "/hipparcos.stars";
        c.bundled = load(path, &error);
        if (!c.bundled)
            std::fprintf(stderr, "asisim: %s; the real sky has procedural stars only\n", error.c_str());
    }
    if (!c.deep_loaded) {
        c.deep_loaded = true;
        const auto paths = default_deep_paths();
        if (!paths.empty()) {
            std::string error;
            auto loaded = load_all(paths, &error);
            if (!loaded)
                std::fprintf(stderr, "asisim: %s; no deep star catalogue\n", error.c_str());
            else if (c.bundled)
                drop_duplicates(loaded.get(), *c.bundled);
            c.deep = std::move(loaded);
        }
    }
    *bundled = c.bundled;
    *deep = c.deep;
}

// Never destroyed (see catalogues()).
const std::vector<DeepSkyObject> &deep_sky_objects() {
    static const std::vector<DeepSkyObject> &objects = *[] {
        auto *list = new std::vector<DeepSkyObject>;
        const char *env = std::getenv("ASISIM_DEEPSKY");
        const std::string path =
            env != nullptr && *env != '\0' ? std::string(env) : library_dir() + "/deepsky.dso";
        FILE *f = std::fopen(path.c_str(), "rb");
        if (f == nullptr)
            return list;
        std::unique_ptr<FILE, int (*)(FILE *)> closer(f, std::fclose);
        unsigned char head[16];
        if (std::fread(head, 1, sizeof head, f) != sizeof head || std::memcmp(head, "ASISDSO1", 8) != 0) {
            std::fprintf(stderr, "asisim: %s is not a deep-sky object file\n", path.c_str());
            return list;
        }
        const uint32_t count = read_le<uint32_t>(head + 8);
        if (std::fseek(f, 0, SEEK_END) != 0 ||
            std::ftell(f) != long(16 + size_t(count) * sizeof(DeepSkyObject))) {
            std::fprintf(stderr, "asisim: %s is truncated\n", path.c_str());
            return list;
        }
        std::fseek(f, 16, SEEK_SET);
        list->resize(count);
        if (count > 0 && std::fread(list->data(), sizeof(DeepSkyObject), count, f) != count)
            list->clear();
        // Nonsense sizes or magnitudes would draw nonsense: keep what is sane.
        std::erase_if(*list, [](const DeepSkyObject &o) {
            return !(o.major > 0.0f && o.major < 600.0f && o.minor > 0.0f && o.minor <= o.major * 1.01f &&
                     std::isfinite(o.pa) && o.mag > -5.0f && o.mag < 30.0f);
        });
        return list;
    }();
    return objects;
}

// The grids and the catalogues are never destroyed: a video thread may still be rendering a
// frame while the process exits.
const Grid &catalogue_grid() {
    static const Grid &g = *new Grid(0.5);
    return g;
}

long set_deep_catalogue(const char *path, std::string *error) {
    std::shared_ptr<const StarCatalogue> bundled, deep_now;
    loaded_catalogues(&bundled, &deep_now);
    std::shared_ptr<StarCatalogue> deep;
    if (path == nullptr) {
        const auto paths = default_deep_paths();
        if (!paths.empty() && !(deep = load_all(paths, error)))
            return -1;
    } else if (*path != '\0') {
        if (!(deep = load(path, error)))
            return -1;
    }
    if (deep && bundled)
        drop_duplicates(deep.get(), *bundled);
    const long count = deep ? long(deep->stars.size()) : 0;
    Catalogues &c = catalogues();
    std::lock_guard lock(c.mutex);
    c.deep = std::move(deep);
    c.deep_loaded = true;
    c.deep_replaced = path != nullptr;
    return count;
}

void reset_deep_catalogue() {
    Catalogues &c = catalogues();
    std::lock_guard lock(c.mutex);
    if (!c.deep_replaced)
        return;
    c.deep_replaced = false;
    c.deep_loaded = false;
    c.deep.reset();
}

void catalogue_counts(long *bundled, long *deep, double *filler_from_mag) {
    std::shared_ptr<const StarCatalogue> b, d;
    loaded_catalogues(&b, &d);
    *bundled = b ? long(b->stars.size()) : 0;
    *deep = d ? long(d->stars.size()) : 0;
    *filler_from_mag = std::max(b ? b->limit_mag : 0.0, d ? d->limit_mag : 0.0);
}

} // namespace asisim
