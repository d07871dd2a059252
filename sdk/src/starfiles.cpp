// Reading the star catalogues and the deep-sky objects from their files.
#include "starfiles.h"

#include "celestial.h"
#include "files.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Sorts a catalogue's records into the cells of catalogue_grid() (a counting sort of their
// numbers; the cell of each is worked out twice rather than kept, 4 bytes a star fewer).
void index_by_cell(StarCatalogue *cat, uint32_t count) {
    const Grid &g = catalogue_grid();
    auto cell = [&](uint32_t i) {
        return g.cell_of(record_ra(cat->records[i]), record_dec(cat->records[i]));
    };
    cat->first.assign(size_t(g.size()) + 1, 0);
    for (uint32_t i = 0; i < count; ++i)
        ++cat->first[size_t(cell(i)) + 1];
    for (size_t c = 0; c < g.size(); ++c)
        cat->first[c + 1] += cat->first[c];
    cat->order.resize(count);
    std::vector<uint32_t> fill(cat->first.begin(), cat->first.end() - 1);
    for (uint32_t i = 0; i < count; ++i)
        cat->order[fill[cell(i)]++] = i;
}

std::shared_ptr<StarCatalogue> load(const std::string &path, std::string *error) {
    // A FIFO or a device would block the read for ever: regular files only.
    const int fd = open_regular(path, O_RDONLY, true);
    if (fd < 0) {
        *error = errno == kNotRegular ? path + " is not a regular file" : "cannot open " + path;
        return nullptr;
    }
    struct stat st{};
    const bool sized = ::fstat(fd, &st) == 0;
    unsigned char head[kHeaderBytes];
    const bool headed = sized && ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head);
    if (!headed || std::memcmp(head, "ASISTARS", 8) != 0 || read_le<uint32_t>(head + 8) != 1) {
        ::close(fd);
        *error = path + " is not a star catalogue of format 1";
        return nullptr;
    }
    const uint32_t count = read_le<uint32_t>(head + 12);
    const double epoch = read_le<double>(head + 16);
    const float limit = read_le<float>(head + 24);
    // The header's count must match the file's size, and stay within what is read at all.
    const uint64_t bytes = uint64_t(kHeaderBytes) + uint64_t(count) * kRecordBytes;
    if (uint64_t(st.st_size) != bytes || !(epoch >= 1000.0 && epoch <= 3000.0) ||
        !(limit >= -2.0f && limit <= 30.0f)) {
        ::close(fd);
        *error = path + " is truncated or its header is wrong";
        return nullptr;
    }
    if (count > kMaxCatalogueStars) {
        ::close(fd);
        *error = path + " has " + std::to_string(count) + " stars, more than the " +
                 std::to_string(kMaxCatalogueStars) + " a catalogue may have";
        return nullptr;
    }
    // Mapped read-only: the pages are the file's own, read as the sky needs them.
    void *map = ::mmap(nullptr, size_t(bytes), PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        *error = "cannot read " + path;
        return nullptr;
    }
    auto cat = std::make_shared<StarCatalogue>();
    cat->epoch = epoch;
    cat->limit_mag = limit;
    cat->storage = std::shared_ptr<const void>(map, [bytes](void *p) { ::munmap(p, size_t(bytes)); });
    cat->records =
        reinterpret_cast<const StarRecord *>(static_cast<const unsigned char *>(map) + kHeaderBytes);
    index_by_cell(cat.get(), count);
    return cat;
}

// Removes the deep catalogue's copies of the bundled catalogue's stars: within 5 arcseconds at
// the deep catalogue's epoch and within 1.5 magnitudes. Searched from the bundled catalogue's
// side (it is the small one), with cheap tests in the records' own units first.
void drop_duplicates(StarCatalogue *deep, const StarCatalogue &bundled) {
    const Grid &g = catalogue_grid();
    const double max_sep = std::cos(5.0 / 206264.806);
    constexpr double kDecUnits = 2147483647.0 / (std::numbers::pi / 2.0); // record units a radian
    const double near_units = 6.0 / 206264.806 * kDecUnits;
    std::vector<bool> twin(deep->size(), false); // by position in deep->order
    for (uint32_t k = 0; k < bundled.size(); ++k) {
        const StarRecord &b = bundled.star(k);
        double bra = 0, bdec = 0;
        position_at(b, bundled.epoch, deep->epoch, &bra, &bdec);
        const Vec3 v = unit_vector(bra, bdec);
        const double bdec_units = bdec * kDecUnits;
        g.cells_near(bra, bdec, 10.0 / 206264.806, [&](uint32_t c) {
            for (uint32_t i = deep->first[c]; i < deep->first[c + 1]; ++i) {
                const StarRecord &d = deep->star(i);
                if (twin[i] || std::abs(b.mag - d.mag) >= 1500 ||
                    std::abs(double(d.dec) - bdec_units) > near_units)
                    continue;
                twin[i] = dot(v, unit_vector(record_ra(d), record_dec(d))) > max_sep;
            }
        });
    }
    // The kept records, in place: each is written at or before where it was read.
    uint32_t kept = 0;
    for (uint32_t c = 0; c < g.size(); ++c) {
        const uint32_t begin = deep->first[c], end = deep->first[c + 1];
        deep->first[c] = kept;
        for (uint32_t i = begin; i < end; ++i)
            if (!twin[i])
                deep->order[kept++] = deep->order[i];
    }
    deep->first[g.size()] = kept;
    deep->order.resize(kept);
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

// Joins several deep catalogues into one (the first one's epoch; positions moved to it), their
// records copied side by side.
std::shared_ptr<StarCatalogue> load_all(const std::vector<std::string> &paths, std::string *error) {
    std::vector<std::shared_ptr<StarCatalogue>> parts;
    uint64_t total = 0;
    for (const std::string &p : paths) {
        auto c = load(p, error);
        if (!c)
            return nullptr;
        total += c->size();
        parts.push_back(std::move(c));
    }
    if (parts.size() <= 1)
        return parts.empty() ? nullptr : parts.front();
    if (total > kMaxCatalogueStars) {
        *error = "the deep catalogues have " + std::to_string(total) + " stars together, more than the " +
                 std::to_string(kMaxCatalogueStars) + " a catalogue may have";
        return nullptr;
    }
    auto joined = std::make_shared<StarCatalogue>();
    joined->epoch = parts.front()->epoch;
    auto all = std::make_shared<std::vector<StarRecord>>();
    all->reserve(size_t(total));
    for (const auto &c : parts) {
        joined->limit_mag = std::max(joined->limit_mag, c->limit_mag);
        for (uint32_t i = 0; i < c->size(); ++i)
            all->push_back(c->star(i));
    }
    joined->records = all->data();
    joined->storage = std::move(all);
    index_by_cell(joined.get(), uint32_t(total));
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
        const int fd = open_regular(path, O_RDONLY, true);
        FILE *f = fd < 0 ? nullptr : ::fdopen(fd, "rb");
        if (f == nullptr) {
            if (fd >= 0)
                ::close(fd);
            else if (errno == kNotRegular)
                std::fprintf(stderr, "asisim: %s is not a regular file\n", path.c_str());
            return list;
        }
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
    const long count = deep ? long(deep->size()) : 0;
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
    *bundled = b ? long(b->size()) : 0;
    *deep = d ? long(d->size()) : 0;
    *filler_from_mag = std::max(b ? b->limit_mag : 0.0, d ? d->limit_mag : 0.0);
}

} // namespace asisim
