// The charge behind each output row: the mean photoelectrons of the sensor pixels it reads (light
// from the scene through the pixels' response and the dust, dark current, amplifier glow, hot
// pixels, cosmic rays and trails, the bend of the response near full well), binned by summing.
// Rows are made one at a time, so the frame never exists as electrons.
#pragma once

#include "events.h"
#include "frame.h"
#include "hash.h"
#include "kernels.h"
#include "sensor.h"
#include "sky.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace asisim {

// Binned pixels of at most this many sensor pixels a side.
inline constexpr int kMaxBin = 16;

// Where the sensor pixels of each output pixel lie, in unflipped output order.
struct Geometry {
    int width = 0, height = 0, bin = 1;
    bool bayer_bin = false; // colour binning that keeps the mosaic
    int64_t x0 = 0, y0 = 0; // sensor region covering the frame
    int region_width = 0, region_height = 0;
    std::vector<int32_t> cols; // width * bin region columns
    // How cols runs, for the fast paths: consecutive blocks of `bin`, same-colour pairs of a
    // Bayer sensor starting on an even column with an even width, or anything else.
    enum class Layout { blocks, bayer_pairs, gathered } layout = Layout::gathered;

    int64_t sensor_width = 0, sensor_height = 0; // the whole sensor's pixels

    // Sensor coordinate of sample i (0..bin-1) of binned coordinate b along one axis.
    int64_t sensor(int64_t b, int i) const {
        if (bayer_bin) {
            const int64_t cell = b >= 0 ? b / 2 : (b - 1) / 2;
            return 2 * bin * cell + (b & 1) + 2 * i;
        }
        return b * bin + i;
    }
    // A sensor column or row clamped onto the sensor (a region may reach past its edges).
    int64_t clamp_x(int64_t x) const { return std::clamp<int64_t>(x, 0, sensor_width - 1); }
    int64_t clamp_y(int64_t y) const { return std::clamp<int64_t>(y, 0, sensor_height - 1); }
};

Geometry make_geometry(const FrameRequest &req);

class Charge {
  public:
    // `frame_key`: the frame's own draws (cosmic rays, trails). `geo` and `ro` must outlive it.
    Charge(const FrameRequest &req, const Geometry &geo, const Readout &ro, uint64_t frame_key);
    // Mean electrons of the output row at binned row `by`: the geometry's width values, valid
    // until the next call.
    const float *mean_row(int64_t by);

  private:
    // Dust shadows on sensor row sy: each mote's chord dims the light (not the dark signal
    // `dark` that the row's values already hold).
    void shade_dust(int64_t sy, float dark, float *row) const;
    uint64_t prnu_draw(int64_t sy) const { return mix64(hash_combine(fp_->seed, uint64_t(sy))); }
    // Mean electrons of one sensor row of the region into `row`.
    void sensor_row(int64_t sy, float *row);

    const FrameRequest &req_;
    const CameraModel &m_;
    const Geometry &geo_;
    const Readout &ro_;
    std::optional<SkyScene> scene_; // none for a dark frame
    std::shared_ptr<const std::vector<HotPixel>> hot_;
    std::shared_ptr<const FixedPattern> fp_;
    std::vector<Deposit> cosmic_; // cosmic-ray charge, by row
    std::vector<Trail> trails_;   // satellites and aircraft
    std::vector<float> sensor_row_, mean_;
    std::vector<float> gain_row_; // sensor row: PRNU past the pattern table's end
    std::vector<float> glow_col_; // region columns: amplifier glow at a corner
    double glow_length_ = 1.0;
    float prnu_ = 0.0f, pattern_max_ = 0.0f;
    bool dust_ = false;
};

} // namespace asisim
