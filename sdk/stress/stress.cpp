// Drives the simulated library from many threads at once: opening, initialising and closing the
// same cameras, changing their format, starting, stopping and reading video, taking snapshots,
// unplugging and plugging them and resetting the whole set. Built with ThreadSanitizer by
// `make tsan`; any data race is reported by the sanitizer.
//
// It checks what it can see from outside as well: every call returns one of the SDK's codes, and
// every frame read is exactly one of the sizes the camera can be set to. Exit status 0 when all
// held, 1 otherwise.
//
//   stress [seconds] [threads]
#include <ASICamera2.h>
#include <asisim.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kCameras = 2;
constexpr long kFull[kCameras][2] = {{1280, 960}, {1304, 976}}; // power-on format: full sensor, RAW8
struct Format {
    int width, height, bin;
    ASI_IMG_TYPE type;
};
constexpr Format kFormats[] = {
    {320, 240, 1, ASI_IMG_RAW16}, {640, 480, 1, ASI_IMG_RAW16}, {160, 120, 2, ASI_IMG_RAW8}};
constexpr unsigned char kSentinel = 0xA5;

std::atomic<bool> g_stop{false};
std::atomic<long> g_calls{0}, g_frames{0}, g_snapshots{0};
std::atomic<int> g_failures{0};
std::atomic<long> g_read_codes[ASI_ERROR_END + 1];

void fail(const char *what, long value) {
    if (g_failures.fetch_add(1) < 20)
        std::fprintf(stderr, "stress: %s (%ld)\n", what, value);
}

void check(int rc, const char *what) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    if (rc < ASI_SUCCESS || rc > ASI_ERROR_END)
        fail(what, rc);
}

bool size_allowed(int camera, size_t n) {
    if (n == static_cast<size_t>(kFull[camera][0] * kFull[camera][1]))
        return true;
    for (const Format &f : kFormats)
        if (n == static_cast<size_t>(f.width) * static_cast<size_t>(f.height) *
                     (f.type == ASI_IMG_RAW16 ? 2u : 1u))
            return true;
    return false;
}

size_t largest_frame() {
    size_t n = 0;
    for (const auto &full : kFull)
        n = std::max(n, static_cast<size_t>(full[0] * full[1]));
    for (const Format &f : kFormats)
        n = std::max(n, static_cast<size_t>(f.width) * static_cast<size_t>(f.height) * 2u);
    return n;
}

// Reads a frame into a buffer filled with a sentinel: the bytes written are those before the
// sentinel tail (64 sentinel bytes in a row never occur in a frame).
void read_frame(std::mt19937 &rng, int camera, std::vector<unsigned char> &buf) {
    static constexpr int kWaits[] = {0, 20, 200, -1};
    std::memset(buf.data(), kSentinel, buf.size());
    const int rc =
        ASIGetVideoData(camera, buf.data(), static_cast<long>(buf.size()), kWaits[rng() % std::size(kWaits)]);
    check(rc, "ASIGetVideoData code");
    if (rc >= ASI_SUCCESS && rc <= ASI_ERROR_END)
        g_read_codes[rc].fetch_add(1, std::memory_order_relaxed);
    if (rc != ASI_SUCCESS)
        return;
    size_t written = buf.size();
    while (written > 0 && buf[written - 1] == kSentinel)
        --written;
    bool ok = false;
    for (size_t back = 0; back <= 64 && back <= written && !ok; ++back)
        ok = size_allowed(camera, written + back) && written + back <= buf.size();
    if (!ok)
        fail("frame of an impossible size", static_cast<long>(written));
    g_frames.fetch_add(1, std::memory_order_relaxed);
}

void snapshot(int camera, std::vector<unsigned char> &buf) {
    check(ASIStartExposure(camera, ASI_FALSE), "ASIStartExposure code");
    ASI_EXPOSURE_STATUS status = ASI_EXP_WORKING;
    for (int i = 0; i < 200 && status == ASI_EXP_WORKING; ++i) {
        if (ASIGetExpStatus(camera, &status) != ASI_SUCCESS)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int rc = ASIGetDataAfterExp(camera, buf.data(), static_cast<long>(buf.size()));
    check(rc, "ASIGetDataAfterExp code");
    if (rc == ASI_SUCCESS)
        g_snapshots.fetch_add(1, std::memory_order_relaxed);
}

void worker(unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> buf(largest_frame() + 4096);
    while (!g_stop.load()) {
        const int camera = static_cast<int>(rng() % kCameras);
        switch (rng() % 16) {
        case 0:
        case 1:
            // Open and initialised in a small format (the power-on one is the full sensor).
            check(ASIOpenCamera(camera), "ASIOpenCamera code");
            check(ASIInitCamera(camera), "ASIInitCamera code");
            check(ASISetROIFormat(camera, 320, 240, 1, ASI_IMG_RAW16), "ASISetROIFormat code");
            break;
        case 2:
            check(ASIInitCamera(camera), "ASIInitCamera code");
            break;
        case 3:
            check(ASICloseCamera(camera), "ASICloseCamera code");
            break;
        case 4: {
            const Format &f = kFormats[rng() % std::size(kFormats)];
            check(ASISetROIFormat(camera, f.width, f.height, f.bin, f.type), "ASISetROIFormat code");
            check(ASISetStartPos(camera, static_cast<int>(rng() % 32) * 2, static_cast<int>(rng() % 32) * 2),
                  "ASISetStartPos code");
            break;
        }
        case 5:
            check(ASISetControlValue(camera, ASI_EXPOSURE, rng() % 2 ? 100 : 2000, ASI_FALSE),
                  "ASISetControlValue code");
            break;
        case 6:
        case 7:
            check(ASIStartVideoCapture(camera), "ASIStartVideoCapture code");
            break;
        case 8:
            check(ASIStopVideoCapture(camera), "ASIStopVideoCapture code");
            break;
        case 9:
        case 10:
        case 11:
            read_frame(rng, camera, buf);
            break;
        case 12:
        case 13:
            // A short capture of its own: start, a few reads, mostly a stop.
            check(ASIStartVideoCapture(camera), "ASIStartVideoCapture code");
            for (auto n = 1 + rng() % 5; n > 0; --n)
                read_frame(rng, camera, buf);
            if (rng() % 10 < 7)
                check(ASIStopVideoCapture(camera), "ASIStopVideoCapture code");
            break;
        default:
            snapshot(camera, buf);
            break;
        }
    }
}

void connector(unsigned seed) {
    std::mt19937 rng(seed);
    while (!g_stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 250));
        if (rng() % 10 == 0) {
            if (asisim_reset(nullptr) != 0)
                fail("asisim_reset", -1);
            asisim_set_time_scale(20);
        } else {
            const int camera = static_cast<int>(rng() % kCameras);
            asisim_unplug(camera);
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
            asisim_plug(camera);
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 6;
    // The camera set is read at the library's first call.
    setenv("ASISIM_CAMERAS", "ZWO ASI120MM Mini,ZWO ASI224MC", 1);
    asisim_set_time_scale(20);

    std::vector<std::thread> running;
    for (int i = 0; i < threads; ++i)
        running.emplace_back(worker, static_cast<unsigned>(i + 1));
    running.emplace_back(connector, 1000u);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    g_stop.store(true);
    // Reads waiting without limit end when their camera goes.
    std::atomic<bool> joined{false};
    std::thread unplugger([&] {
        while (!joined.load()) {
            for (int c = 0; c < kCameras; ++c)
                asisim_unplug(c);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (std::thread &t : running)
        t.join();
    joined.store(true);
    unplugger.join();
    asisim_reset(nullptr);

    std::printf("stress: %ld calls, %ld frames, %ld snapshots, %d failures\n", g_calls.load(),
                g_frames.load(), g_snapshots.load(), g_failures.load());
    std::printf("stress: frame reads by code:");
    for (int c = 0; c <= ASI_ERROR_END; ++c)
        if (const long n = g_read_codes[c].load())
            std::printf(" %d:%ld", c, n);
    std::printf("\n");
    if (g_frames.load() == 0 || g_snapshots.load() == 0)
        fail("no frame or no snapshot came through", 0);
    return g_failures.load() == 0 ? 0 : 1;
}
