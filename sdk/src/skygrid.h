// Cells of the sphere: declination bands, each cut into right-ascension cells about as wide on
// the sky as the band is high (equal-area-ish), so that a frame looks only at the cells its field
// touches.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace asisim {

// Declination bands of `band_deg`, each cut into cells about as wide on the sky as it is high.
class Grid {
  public:
    explicit Grid(double band_deg) : band_(band_deg * std::numbers::pi / 180.0) {
        bands_ = int(std::lround(180.0 / band_deg));
        first_.resize(size_t(bands_) + 1);
        cells_.resize(size_t(bands_));
        for (int b = 0; b < bands_; ++b) {
            const double mid = -std::numbers::pi / 2 + (b + 0.5) * band_;
            cells_[size_t(b)] = std::max(1, int(std::lround(2.0 * std::numbers::pi * std::cos(mid) / band_)));
            first_[size_t(b) + 1] = first_[size_t(b)] + uint32_t(cells_[size_t(b)]);
        }
    }
    uint32_t size() const { return first_.back(); }
    int band_of(double dec) const {
        return std::clamp(int(std::floor((dec + std::numbers::pi / 2) / band_)), 0, bands_ - 1);
    }
    uint32_t cell_of(double ra, double dec) const {
        const int b = band_of(dec);
        const int n = cells_[size_t(b)];
        double u = std::fmod(ra, 2.0 * std::numbers::pi);
        if (u < 0)
            u += 2.0 * std::numbers::pi;
        return first_[size_t(b)] + uint32_t(std::min(n - 1, int(u / (2.0 * std::numbers::pi) * n)));
    }
    // Band and index within the band of a cell, and its bounds.
    void bounds(uint32_t cell, double *ra_lo, double *ra_hi, double *dec_lo, double *dec_hi) const {
        const int b = int(std::upper_bound(first_.begin(), first_.end(), cell) - first_.begin()) - 1;
        const int n = cells_[size_t(b)];
        const uint32_t i = cell - first_[size_t(b)];
        *ra_lo = 2.0 * std::numbers::pi * double(i) / n;
        *ra_hi = 2.0 * std::numbers::pi * double(i + 1) / n;
        *dec_lo = -std::numbers::pi / 2 + b * band_;
        *dec_hi = *dec_lo + band_;
    }
    // Calls f(cell) for every cell that may hold a point within `radius` of (ra, dec).
    template <class F> void cells_near(double ra, double dec, double radius, F &&f) const {
        const double lo = std::max(-std::numbers::pi / 2, dec - radius),
                     hi = std::min(std::numbers::pi / 2, dec + radius);
        for (int b = band_of(lo); b <= band_of(hi); ++b) {
            const int n = cells_[size_t(b)];
            const double b_lo = -std::numbers::pi / 2 + b * band_, b_hi = b_lo + band_;
            // The widest RA reach of the cap within this band.
            const double near_pole = std::max(std::abs(std::max(b_lo, lo)), std::abs(std::min(b_hi, hi)));
            const double c = std::cos(near_pole);
            int first = 0, count = n;
            if (c > 1e-9 && std::sin(radius) < c && near_pole + radius < std::numbers::pi / 2) {
                const double half = std::asin(std::sin(radius) / c) + 1e-9;
                const double per = 2.0 * std::numbers::pi / n;
                double u = std::fmod(ra - half, 2.0 * std::numbers::pi);
                if (u < 0)
                    u += 2.0 * std::numbers::pi;
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

} // namespace asisim
