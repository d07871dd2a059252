// Catalogue stars and procedural filler at a frame's pointing.
//
// Catalogues are read whole at their first use and sorted into cells of an equal-area-ish grid
// (declination bands, each cut into right-ascension cells about as wide as the band is high), so
// a frame looks only at the cells its field touches. Filler stars live on a finer grid of the same
// kind: each cell's stars of each magnitude step come from a hash of the cell and the step, so the
// same field always shows the same faint stars, at counts per magnitude that follow the galactic
// latitude of the cell.
#include "starcatalog.h"

#include "celestial.h"
#include "hash.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <limits>
#include <memory>
#include <mutex>
#include <numbers>

namespace asisim {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;
constexpr double kMasToRad = kDeg / 3.6e6;
constexpr double kFillerFaintest = 21.0;
constexpr size_t kHeaderBytes = 32;
constexpr size_t kRecordBytes = 16;
constexpr int16_t kUnknownBv = -32768;

// Declination bands of `band_deg`, each cut into cells about as wide on the sky as it is high.
class Grid {
  public:
    explicit Grid(double band_deg) : band_(band_deg * kDeg) {
        bands_ = int(std::lround(180.0 / band_deg));
        first_.resize(size_t(bands_) + 1);
        cells_.resize(size_t(bands_));
        for (int b = 0; b < bands_; ++b) {
            const double mid = -kPi / 2 + (b + 0.5) * band_;
            cells_[size_t(b)] = std::max(1, int(std::lround(2.0 * kPi * std::cos(mid) / band_)));
            first_[size_t(b) + 1] = first_[size_t(b)] + uint32_t(cells_[size_t(b)]);
        }
    }
    uint32_t size() const { return first_.back(); }
    int band_of(double dec) const {
        return std::clamp(int(std::floor((dec + kPi / 2) / band_)), 0, bands_ - 1);
    }
    uint32_t cell_of(double ra, double dec) const {
        const int b = band_of(dec);
        const int n = cells_[size_t(b)];
        double u = std::fmod(ra, 2.0 * kPi);
        if (u < 0)
            u += 2.0 * kPi;
        return first_[size_t(b)] + uint32_t(std::min(n - 1, int(u / (2.0 * kPi) * n)));
    }
    // Band and index within the band of a cell, and its bounds.
    void bounds(uint32_t cell, double *ra_lo, double *ra_hi, double *dec_lo, double *dec_hi) const {
        const int b = int(std::upper_bound(first_.begin(), first_.end(), cell) - first_.begin()) - 1;
        const int n = cells_[size_t(b)];
        const uint32_t i = cell - first_[size_t(b)];
        *ra_lo = 2.0 * kPi * double(i) / n;
        *ra_hi = 2.0 * kPi * double(i + 1) / n;
        *dec_lo = -kPi / 2 + b * band_;
        *dec_hi = *dec_lo + band_;
    }
    // Calls f(cell) for every cell that may hold a point within `radius` of (ra, dec).
    template <class F> void cells_near(double ra, double dec, double radius, F &&f) const {
        const double lo = std::max(-kPi / 2, dec - radius), hi = std::min(kPi / 2, dec + radius);
        for (int b = band_of(lo); b <= band_of(hi); ++b) {
            const int n = cells_[size_t(b)];
            const double b_lo = -kPi / 2 + b * band_, b_hi = b_lo + band_;
            // The widest RA reach of the cap within this band.
            const double near_pole = std::max(std::abs(std::max(b_lo, lo)), std::abs(std::min(b_hi, hi)));
            const double c = std::cos(near_pole);
            int first = 0, count = n;
            if (c > 1e-9 && std::sin(radius) < c && near_pole + radius < kPi / 2) {
                const double half = std::asin(std::sin(radius) / c) + 1e-9;
                const double per = 2.0 * kPi / n;
                double u = std::fmod(ra - half, 2.0 * kPi);
                if (u < 0)
                    u += 2.0 * kPi;
                first = int(u / per);
                count = std::min(n, int(std::ceil((2.0 * half) / per)) + 2);
            }
            for (int k = 0; k < count; ++k)
                f(first_[size_t(b)] + uint32_t((first + k) % n));
        }
    }

  private:
    double band_;
    int bands_;
    std::vector<int> cells_;
    std::vector<uint32_t> first_;
};

// The grids and the catalogues are never destroyed: a video thread may still be rendering a
// frame while the process exits.
const Grid &catalogue_grid() {
    static const Grid &g = *new Grid(0.5);
    return g;
}

const Grid &filler_grid() {
    static const Grid &g = *new Grid(1.0 / 6.0);
    return g;
}

struct Record {
    uint32_t ra;
    int32_t dec;
    int16_t pm_ra, pm_dec, mag, bv;
};
static_assert(sizeof(Record) == kRecordBytes);

double record_ra(const Record &r) {
    return double(r.ra) * (2.0 * kPi / 4294967296.0);
}
double record_dec(const Record &r) {
    return double(r.dec) * (kPi / 2.0 / 2147483647.0);
}

struct Catalogue {
    double epoch = 2000.0;
    double limit_mag = 0.0;
    std::vector<Record> stars;   // sorted by cell
    std::vector<uint32_t> first; // per cell of catalogue_grid(), plus the end
};

template <class T> T read_le(const unsigned char *p) {
    T v;
    std::memcpy(&v, p, sizeof v); // the library is built for little-endian machines only
    return v;
}
static_assert(std::endian::native == std::endian::little);

std::shared_ptr<Catalogue> load(const std::string &path, std::string *error) {
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
    std::vector<Record> raw(count);
    if (count > 0 && std::fread(raw.data(), kRecordBytes, count, f) != count) {
        *error = "cannot read " + path;
        return nullptr;
    }
    auto cat = std::make_shared<Catalogue>();
    cat->epoch = epoch;
    cat->limit_mag = limit;
    // Counting sort into cells.
    const Grid &g = catalogue_grid();
    std::vector<uint32_t> cell(count);
    cat->first.assign(size_t(g.size()) + 1, 0);
    for (uint32_t i = 0; i < count; ++i) {
        const Record &r = raw[i];
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

// Position of a record at a Julian epoch (radians).
void position_at(const Record &r, double from_epoch, double epoch, double *ra, double *dec) {
    *ra = record_ra(r);
    *dec = record_dec(r);
    apply_proper_motion(ra, dec, r.pm_ra * kMasToRad, r.pm_dec * kMasToRad, epoch - from_epoch);
}

// Removes the deep catalogue's copies of the bundled catalogue's stars: within 5 arcseconds at
// the deep catalogue's epoch and within 1.5 magnitudes.
void drop_duplicates(Catalogue *deep, const Catalogue &bundled) {
    const Grid &g = catalogue_grid();
    const double max_sep = std::cos(5.0 / 206264.806);
    std::vector<Record> kept;
    std::vector<uint32_t> first(deep->first.size(), 0);
    kept.reserve(deep->stars.size());
    for (uint32_t c = 0; c < g.size(); ++c) {
        first[c] = uint32_t(kept.size());
        for (uint32_t i = deep->first[c]; i < deep->first[c + 1]; ++i) {
            const Record &d = deep->stars[i];
            double ra = 0, dec = 0;
            position_at(d, deep->epoch, deep->epoch, &ra, &dec);
            const Vec3 v = unit_vector(ra, dec);
            bool twin = false;
            g.cells_near(ra, dec, 10.0 / 206264.806, [&](uint32_t bc) {
                for (uint32_t k = bundled.first[bc]; !twin && k < bundled.first[bc + 1]; ++k) {
                    const Record &b = bundled.stars[k];
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
    if (dladdr(reinterpret_cast<void *>(&field_stars), &info) == 0 || info.dli_fname == nullptr)
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
std::shared_ptr<Catalogue> load_all(const std::vector<std::string> &paths, std::string *error) {
    std::shared_ptr<Catalogue> joined;
    for (const std::string &p : paths) {
        auto c = load(p, error);
        if (!c)
            return nullptr;
        if (!joined) {
            joined = std::move(c);
            continue;
        }
        std::vector<Record> all = joined->stars;
        all.insert(all.end(), c->stars.begin(), c->stars.end());
        joined->limit_mag = std::max(joined->limit_mag, c->limit_mag);
        // Re-sort by cell.
        const Grid &g = catalogue_grid();
        std::vector<uint32_t> first(size_t(g.size()) + 1, 0);
        for (const Record &r : all)
            ++first[size_t(g.cell_of(record_ra(r), record_dec(r))) + 1];
        for (size_t k = 0; k < g.size(); ++k)
            first[k + 1] += first[k];
        std::vector<Record> sorted(all.size());
        std::vector<uint32_t> fill(first.begin(), first.end() - 1);
        for (const Record &r : all)
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
    std::shared_ptr<const Catalogue> bundled, deep;
};

Catalogues &catalogues() {
    static Catalogues &c = *new Catalogues;
    return c;
}

void current(std::shared_ptr<const Catalogue> *bundled, std::shared_ptr<const Catalogue> *deep) {
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

// Stars per square degree brighter than V magnitude m: log10 at galactic latitudes 0, 10, 30 and
// 90 degrees for m = 6, 8, ..., 22 (after the counts in Allen's Astrophysical Quantities, and
// the Besancon model's shape toward faint magnitudes), interpolated in both.
constexpr double kCountMag[] = {6, 8, 10, 12, 14, 16, 18, 20, 22};
constexpr double kCountLat[] = {0, 10, 30, 90};
constexpr double kLogCount[4][9] = {
    {-0.4, 0.4, 1.2, 2.0, 2.8, 3.5, 4.2, 4.8, 5.3},
    {-0.6, 0.1, 0.9, 1.7, 2.4, 3.1, 3.7, 4.3, 4.7},
    {-0.9, -0.2, 0.6, 1.3, 2.0, 2.6, 3.2, 3.7, 4.1},
    {-1.2, -0.5, 0.3, 0.9, 1.5, 2.0, 2.5, 3.0, 3.4},
};

double interpolate(const double *xs, int n, double x, int *i) {
    x = std::clamp(x, xs[0], xs[n - 1]);
    int k = 0;
    while (k < n - 2 && x > xs[k + 1])
        ++k;
    *i = k;
    return (x - xs[k]) / (xs[k + 1] - xs[k]);
}

// A Poisson draw of mean `mean` from a uniform source.
template <class Next> uint32_t poisson(double mean, Next &next) {
    if (mean < 30.0) {
        const double limit = std::exp(-mean);
        double p = next();
        uint32_t k = 0;
        while (p > limit && k < 1000) {
            p *= next();
            ++k;
        }
        return k;
    }
    const double u1 = 1.0 - next(), u2 = next();
    const double g = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
    return uint32_t(std::max(0.0, std::round(mean + std::sqrt(mean) * g)));
}

// Projects (ra, dec) into sensor pixels; false when outside the wanted box.
struct Projector {
    Tangent tangent;
    double cos_a, sin_a, inv_scale; // rotation, radians to pixels
    const FieldRequest &req;
    Projector(const FieldRequest &r)
        : tangent(r.ra_deg * kDeg, r.dec_deg * kDeg), cos_a(std::cos(r.angle_deg * kDeg)),
          sin_a(std::sin(r.angle_deg * kDeg)), inv_scale(206264.806 / r.scale_arcsec), req(r) {}
    bool place(double ra, double dec, double *x, double *y) const {
        double xi = 0, eta = 0;
        if (!tangent.project(ra, dec, &xi, &eta))
            return false;
        *x = req.cx + (xi * cos_a - eta * sin_a) * inv_scale;
        *y = req.cy + (xi * sin_a + eta * cos_a) * inv_scale;
        return *x >= req.x_lo && *x <= req.x_hi && *y >= req.y_lo && *y <= req.y_hi;
    }
};

void catalogue_stars(const Catalogue &cat, const Projector &pr, double radius, double faint,
                     double bright_cut, std::vector<PlacedStar> *out) {
    const FieldRequest &req = pr.req;
    // Proper motion carries a star at most ~10"/yr: widen the search for it.
    const double margin = std::min(1.0, std::abs(req.epoch - cat.epoch) * 11.0 / 206264.806);
    catalogue_grid().cells_near(req.ra_deg * kDeg, req.dec_deg * kDeg, radius + margin, [&](uint32_t c) {
        for (uint32_t i = cat.first[c]; i < cat.first[c + 1]; ++i) {
            const Record &r = cat.stars[i];
            const double mag = r.mag / 1000.0;
            if (mag > faint || mag < bright_cut)
                continue;
            double ra = 0, dec = 0, x = 0, y = 0;
            position_at(r, cat.epoch, req.epoch, &ra, &dec);
            if (pr.place(ra, dec, &x, &y))
                out->push_back(
                    {x, y, float(mag),
                     r.bv == kUnknownBv ? std::numeric_limits<float>::quiet_NaN() : float(r.bv / 1000.0)});
        }
    });
}

} // namespace

double star_density(double mag, double b) {
    int im = 0, ib = 0;
    const double fm = interpolate(kCountMag, 9, mag, &im);
    const double fb = interpolate(kCountLat, 4, std::abs(b) / kDeg, &ib);
    auto at = [&](int lat) {
        return kLogCount[lat][im] + fm * (kLogCount[lat][im + 1] - kLogCount[lat][im]);
    };
    return std::pow(10.0, at(ib) + fb * (at(ib + 1) - at(ib)));
}

void field_stars(const FieldRequest &req, std::vector<PlacedStar> *out, double *unresolved_per_arcsec2) {
    *unresolved_per_arcsec2 = 0.0;
    std::shared_ptr<const Catalogue> bundled, deep;
    current(&bundled, &deep);
    const Projector pr(req);
    // The sky radius that covers the box, from the farthest corner.
    double far = 0.0;
    for (double x : {req.x_lo, req.x_hi})
        for (double y : {req.y_lo, req.y_hi})
            far = std::max(far, (x - req.cx) * (x - req.cx) + (y - req.cy) * (y - req.cy));
    const double radius =
        std::min(std::atan(std::sqrt(far) * req.scale_arcsec / 206264.806), 89.0 * kDeg) + 1e-4;
    const double faint = std::min(req.faint_mag, kFillerFaintest);

    double filler_from = -10.0;
    if (bundled) {
        catalogue_stars(*bundled, pr, radius, faint, -100.0, out);
        filler_from = bundled->limit_mag;
    }
    if (deep) {
        catalogue_stars(*deep, pr, radius, faint, -100.0, out);
        filler_from = std::max(filler_from, deep->limit_mag);
    }

    // Filler: per cell and whole magnitude step, from the step that holds the catalogues' limit.
    const Grid &g = filler_grid();
    const int first_step = int(std::floor(std::max(filler_from, 0.0)));
    g.cells_near(req.ra_deg * kDeg, req.dec_deg * kDeg, radius, [&](uint32_t c) {
        double ra_lo = 0, ra_hi = 0, dec_lo = 0, dec_hi = 0;
        g.bounds(c, &ra_lo, &ra_hi, &dec_lo, &dec_hi);
        const double area_deg2 = (ra_hi - ra_lo) * (std::sin(dec_hi) - std::sin(dec_lo)) / (kDeg * kDeg);
        const double b = galactic_latitude(0.5 * (ra_lo + ra_hi), 0.5 * (dec_lo + dec_hi));
        for (int step = first_step; step < int(kFillerFaintest) && step < faint; ++step) {
            uint64_t h = hash_combine(hash_combine(0x66696C6Cull, c), uint64_t(step));
            auto next = [&h] {
                h = mix64(h + 0x9E3779B97F4A7C15ull);
                return unit_from(h);
            };
            const double n_lo = star_density(step, b), n_hi = star_density(step + 1, b);
            const uint32_t count = poisson((n_hi - n_lo) * area_deg2, next);
            const double slope = std::log10(std::max(n_hi / std::max(n_lo, 1e-12), 1.0001)); // per magnitude
            for (uint32_t k = 0; k < count; ++k) {
                const double ra = ra_lo + next() * (ra_hi - ra_lo);
                const double dec =
                    std::asin(std::sin(dec_lo) + next() * (std::sin(dec_hi) - std::sin(dec_lo)));
                // Magnitudes within the step follow its count's slope.
                const double mag = step + std::log10(1.0 + next() * (std::pow(10.0, slope) - 1.0)) / slope;
                const double bv = 0.3 + 1.2 * next() * next() + 0.2 * next();
                double x = 0, y = 0;
                if (mag < filler_from || mag > faint || !pr.place(ra, dec, &x, &y))
                    continue;
                out->push_back({x, y, float(mag), float(bv)});
            }
        }
    });

    // The filler's light below the faintest placed step, spread evenly: the unresolved glow.
    const double b0 = galactic_latitude(req.ra_deg * kDeg, req.dec_deg * kDeg);
    double glow = 0.0;
    for (int step = std::max(first_step, int(std::ceil(faint))); step < int(kFillerFaintest); ++step)
        glow += (star_density(step + 1, b0) - star_density(step, b0)) * std::pow(10.0, -0.4 * (step + 0.5));
    *unresolved_per_arcsec2 = glow / (3600.0 * 3600.0);
}

namespace {

struct DeepSkyObject {
    uint32_t ra;
    int32_t dec;
    float major, minor, pa, mag;
    uint8_t kind, pad[3];
};
static_assert(sizeof(DeepSkyObject) == 28);

// The bundled deep-sky objects, read at their first use; never destroyed (see catalogues()).
const std::vector<DeepSkyObject> &deep_sky() {
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

} // namespace

void field_objects(const FieldRequest &req, std::vector<PlacedObject> *out) {
    const auto &objects = deep_sky();
    if (objects.empty())
        return;
    const Projector pr(req);
    const Vec3 centre = unit_vector(req.ra_deg * kDeg, req.dec_deg * kDeg);
    double far = 0.0;
    for (double x : {req.x_lo, req.x_hi})
        for (double y : {req.y_lo, req.y_hi})
            far = std::max(far, (x - req.cx) * (x - req.cx) + (y - req.cy) * (y - req.cy));
    const double radius = std::min(std::atan(std::sqrt(far) * req.scale_arcsec / 206264.806), 80.0 * kDeg);
    const double to_px = 60.0 / req.scale_arcsec;
    for (const DeepSkyObject &o : objects) {
        Record r{};
        r.ra = o.ra;
        r.dec = o.dec;
        const double ra = record_ra(r), dec = record_dec(r);
        const double reach = radius + double(o.major) / 60.0 * kDeg; // the whole object may show
        if (dot(centre, unit_vector(ra, dec)) < std::cos(std::min(reach, 89.0 * kDeg)))
            continue;
        double x = 0, y = 0, xi = 0, eta = 0;
        if (!pr.tangent.project(ra, dec, &xi, &eta))
            continue;
        x = req.cx + (xi * pr.cos_a - eta * pr.sin_a) * pr.inv_scale;
        y = req.cy + (xi * pr.sin_a + eta * pr.cos_a) * pr.inv_scale;
        const double half = double(o.major) * to_px; // a generous reach: the full diameter
        if (x < req.x_lo - half || x > req.x_hi + half || y < req.y_lo - half || y > req.y_hi + half)
            continue;
        out->push_back({x, y, double(o.major) * to_px, double(o.minor) * to_px,
                        double(o.pa) * kDeg - req.angle_deg * kDeg, o.mag, int(o.kind)});
    }
}

long set_deep_catalogue(const char *path, std::string *error) {
    std::shared_ptr<const Catalogue> bundled, deep_now;
    current(&bundled, &deep_now);
    std::shared_ptr<Catalogue> deep;
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
    std::shared_ptr<const Catalogue> b, d;
    current(&b, &d);
    *bundled = b ? long(b->stars.size()) : 0;
    *deep = d ? long(d->stars.size()) : 0;
    *filler_from_mag = std::max(b ? b->limit_mag : 0.0, d ? d->limit_mag : 0.0);
}

} // namespace asisim
