// Times render_frame at full resolution, on one thread, for every catalogue model and image type.
// Built and run by bench_synthesis.py; prints one line per case:
//   model<TAB>type<TAB>frames/s rendered<TAB>frames/s promised by the timing model<TAB>
//   frames/s of a plain memcpy of the frame (the baseline: what delivering it costs anyway)
// Arguments: seconds per case, model name (or ""), image type name (or ""), bin (default 1).
#include "catalogue.h"
#include "synthesis.h"
#include "timing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// CPU seconds of the calling thread: what rendering costs, however busy the machine is (other
// processes sharing the cores would make wall-clock figures swing by a factor of two).
double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

} // namespace

int main(int argc, char **argv) {
    using namespace asisim;
    const double budget_s = argc > 1 ? std::atof(argv[1]) : 1.0;
    const char *only = argc > 2 && argv[2][0] ? argv[2] : nullptr;
    const char *only_type = argc > 3 && argv[3][0] ? argv[3] : nullptr;
    const int bin = argc > 4 ? std::atoi(argv[4]) : 1;
    const ASI_IMG_TYPE types[] = {ASI_IMG_RAW8, ASI_IMG_RAW16, ASI_IMG_Y8, ASI_IMG_RGB24};
    const char *names[] = {"RAW8", "RGB24", "RAW16", "Y8"};
    for (const CameraModel &m : catalogue()) {
        if (only && std::strcmp(only, m.name) != 0)
            continue;
        for (ASI_IMG_TYPE type : types) {
            if ((type == ASI_IMG_RGB24 && !m.color) ||
                (only_type && std::strcmp(only_type, names[type]) != 0))
                continue;
            FrameRequest req;
            req.model = &m;
            if (bin < 1 || bin > m.max_bin)
                continue;
            req.width = m.width / bin / 8 * 8;
            req.height = m.height / bin / 2 * 2;
            req.bin = bin;
            req.img_type = type;
            req.exposure_s = 0.001;
            req.gain = m.unity_gain;
            req.offset = 20;
            req.seed = 7;
            std::vector<uint8_t> out(frame_bytes(req));
            ReadoutSettings rs;
            rs.model = &m;
            rs.width = req.width;
            rs.height = req.height;
            rs.bin = bin;
            rs.img_type = type;
            rs.bandwidth_percent = 100;
            rs.high_speed = true;
            const double promised = 1.0 / readout_seconds(rs);
            render_frame(req, out.data()); // warm the caches (star tiles, hot pixels, noise tables)
            const double start = cpu_seconds();
            int frames = 0;
            double elapsed = 0.0;
            do {
                req.frame_index = uint64_t(++frames);
                req.field_dx_px = 0.01 * frames;
                render_frame(req, out.data());
                elapsed = cpu_seconds() - start;
            } while (elapsed < budget_s || frames < 3);
            // Baseline: copying the frame once, as every frame read does.
            std::vector<uint8_t> copy(out.size());
            int copies = 0;
            const double copy_start = cpu_seconds();
            double copy_elapsed = 0.0;
            do {
                out[size_t(copies) % out.size()] ^= 1; // keep the copies from being folded away
                std::memcpy(copy.data(), out.data(), out.size());
                ++copies;
                copy_elapsed = cpu_seconds() - copy_start;
            } while (copy_elapsed < budget_s / 4 || copies < 3);
            std::printf("%s\t%s\t%.1f\t%.1f\t%.1f\n", m.name, names[type], frames / elapsed, promised,
                        copies / copy_elapsed + 0.0 * copy[0]);
            std::fflush(stdout);
        }
    }
    return 0;
}
