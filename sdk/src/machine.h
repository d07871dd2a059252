// One set of simulated cameras per machine (per user): what ties the processes together.
//
// Each camera (a model at a position of the set) has two files in the state folder
// (ASISIM_STATE_DIR, else $XDG_RUNTIME_DIR/asisim, else /tmp/asisim-<uid>):
//
//   <key>.lock   holds a POSIX record lock (fcntl) while a process has the camera open. The kernel
//                drops it when the process closes it or ends, by a crash or SIGKILL too, so a
//                camera is never left claimed by a process that is gone. Lock files are never
//                removed: a process waiting on one inode while another locks a new one would let
//                two processes have the camera.
//   <key>.state  what outlives the process while the camera stays powered: the sensor's
//                temperature, the cooler's setting and target, the camera's clock. Written to a
//                temporary file and renamed into place, so a reader sees the old state or the new
//                one, never half of either, and a writer that crashes leaves the old one; a line
//                of checksum finds a damaged file, which then counts as no state (power-on).
//
// A process holds the claim of a camera from its open until its close; record locks belong to
// the process, so one table per process counts the claims of its camera objects (a reset may
// make a new object for a camera before the old one has let go). A child made by fork() holds
// none of its parent's locks, and the table knows it.
#pragma once

#include "catalogue.h"

#include <cstdint>
#include <string>
#include <vector>

namespace asisim::machine {

// The state folder, made on first use (mode 0700); empty when none could be had, in which case
// cameras belong to their process alone (as a message on stderr says once).
const std::string &state_dir();

// The name of a camera's files: its position and model.
std::string camera_key(const CameraModel &model, int index);

// Claims the camera for this process: true when it holds it now (also when it held it already,
// or when there is no state folder), false when another process does.
bool claim(const std::string &key);
// Gives back one claim; the last one lets the camera go.
void release(const std::string &key);

// The largest clock a camera keeps: 115,740,740 days (some 317,000 years), a whole number of
// days so that it stops at the start of a night. The clock stops there (every camera clamps its
// clock to it), so that every state a camera writes is one the next process reads back.
inline constexpr double kClockLimitS = 115740740.0 * 86400.0;
// A scene clock held within 0 and the limit (0 for NaN).
inline double clamp_clock(double t) {
    return t > 0.0 ? (t < kClockLimitS ? t : kClockLimitS) : 0.0;
}

// What a camera keeps between processes.
struct SavedState {
    std::string model;
    double temperature_c = 0.0; // the sensor, when saved
    double warm_c = 0.0;        // its temperature with the cooler off, when saved
    double ambient_c = 0.0;
    bool cooler_on = false;
    long target_c = 0;
    double clock_s = 0.0; // the camera's own clock (its scene time)
    uint64_t frames = 0;  // frames it has taken
    double saved_unix_s = 0.0;
    uint64_t token = 0; // different for every save
};

enum class Load { None, Loaded, Damaged };
Load load(const std::string &key, SavedState *out);
// Writes the state (setting its time and token); false when it could not be written.
bool save(const std::string &key, SavedState *state);
// The camera loses power: its saved state goes, unless another process holds it. False when
// another process holds it.
bool power_off(const std::string &key);
// Power off for every camera of the folder (leftovers of crashed writers go too); the keys of
// cameras that other processes hold, which keep their state, go to `held`.
void power_off_all(std::vector<std::string> *held);
// Every camera of the folder as JSON: an object with the folder and a list of cameras, each with
// its key, who holds it (this process, another's ID, nobody) and its saved state, if any, with
// the temperature worked out to now.
std::string describe_json();
// Seconds since 1970 by the system's clock: the time between processes.
double unix_now();

} // namespace asisim::machine
