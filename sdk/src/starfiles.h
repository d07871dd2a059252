// The star catalogues' files (mapped, not copied) and the deep-sky objects' file, read at their
// first use and kept for the life of the process (a video thread may still be rendering a frame while the
// process exits). The file formats are described in starcatalog.h.
#pragma once

#include "celestial.h"
#include "skygrid.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

namespace asisim {

// The grid the catalogues' stars are sorted into (half-degree bands).
const Grid &catalogue_grid();

inline constexpr int16_t kUnknownBv = -32768; // a record's B-V when the catalogue has none

struct StarRecord {
    uint32_t ra;
    int32_t dec;
    int16_t pm_ra, pm_dec, mag, bv;
};
static_assert(sizeof(StarRecord) == 16);

inline double record_ra(const StarRecord &r) {
    return double(r.ra) * (2.0 * std::numbers::pi / 4294967296.0);
}
inline double record_dec(const StarRecord &r) {
    // -2^31 lies outside the sphere: it stands for the pole, the rest of the record stands.
    return double(std::max(r.dec, -2147483647)) * (std::numbers::pi / 2.0 / 2147483647.0);
}

// A catalogue's records stay where they were read (a file's mapping, read-only, or the records
// of joined files); the index sorts them by cell, 4 bytes a star.
struct StarCatalogue {
    double epoch = 2000.0;
    double limit_mag = 0.0;
    std::shared_ptr<const void> storage; // keeps `records` alive: a mapping or a vector
    const StarRecord *records = nullptr;
    std::vector<uint32_t> order; // record numbers sorted by cell
    std::vector<uint32_t>
        first; // per cell of catalogue_grid(), the start of its run in `order`, plus the end
    const StarRecord &star(uint32_t i) const { return records[order[i]]; }
    size_t size() const { return order.size(); }
};

// The largest catalogue read: 2^27 stars, a 2 GiB file.
inline constexpr uint32_t kMaxCatalogueStars = 1u << 27;

// Position of a record at a Julian epoch (radians), from the catalogue's epoch `from_epoch`.
inline void position_at(const StarRecord &r, double from_epoch, double epoch, double *ra, double *dec) {
    constexpr double kMasToRad = std::numbers::pi / 180.0 / 3.6e6;
    *ra = record_ra(r);
    *dec = record_dec(r);
    apply_proper_motion(ra, dec, r.pm_ra * kMasToRad, r.pm_dec * kMasToRad, epoch - from_epoch);
}

// The bundled catalogue and the deep one (either null when missing), loaded at the first call.
void loaded_catalogues(std::shared_ptr<const StarCatalogue> *bundled,
                       std::shared_ptr<const StarCatalogue> *deep);

struct DeepSkyObject {
    uint32_t ra;
    int32_t dec;
    float major, minor, pa, mag;
    uint8_t kind, pad[3];
};
static_assert(sizeof(DeepSkyObject) == 28);

// The bundled deep-sky objects (deepsky.dso beside the library, or ASISIM_DEEPSKY), the sane
// ones, read at their first use.
const std::vector<DeepSkyObject> &deep_sky_objects();

// Replaces the deep catalogue: a file path, "" for none (the bundled one alone), or null for the
// default (environment or data folder). Number of stars of the new deep catalogue, or -1 when the
// file is missing or malformed (nothing changes); `error` tells why.
long set_deep_catalogue(const char *path, std::string *error);
// Back to the default deep catalogue (loaded again at its next use only if it was replaced).
void reset_deep_catalogue();
// Stars in the bundled and the deep catalogue, and the magnitude below which filler begins.
void catalogue_counts(long *bundled, long *deep, double *filler_from_mag);

} // namespace asisim
