/* asisim.h - control API of the simulated ASICamera2 library.
 *
 * Lets tests and users reset the simulated cameras, script SDK results, read the call journal,
 * speed up simulated time, unplug cameras, turn the sensor model's effects off for an ideal
 * sensor, put a flat panel or a dusk sky in front of a camera and set the mount's errors. Exported from
 * libASICamera2 beside the 42 SDK functions; the orvik module never calls it.
 */
#ifndef ASISIM_H
#define ASISIM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ASISIM_API __declspec(dllexport)
#else
#define ASISIM_API __attribute__((visibility("default")))
#endif

/* Power-on state with the named cameras (exact model names separated by commas), or the
 * load-time set for NULL or "": all closed, scripts and journal cleared, the load-time time
 * scale (ASISIM_TIME_SCALE, else 1), every effect on, every camera under the load-time light
 * (ASISIM_LIGHT, else the night sky), the mount's default settings. 0, or -1 for an unknown name (nothing
 * changes). */
ASISIM_API int asisim_reset(const char *cameras);
/* asisim_reset with the seed of the new power-on: the same seed, the same calls and the same
 * starting state (cooler, clock: see the state folder) give the same image bytes. asisim_reset
 * takes ASISIM_SEED's seed (read when the library is loaded), or draws a fresh one without it.
 * asisim_seed: the seed of the present power-on, drawn or given, to repeat a run with. */
ASISIM_API int asisim_reset_seeded(const char *cameras, unsigned long long seed);
ASISIM_API unsigned long long asisim_seed(void);
/* One set of simulated cameras per machine (per user). A camera that one process has open is
 * refused to every other (ASIOpenCamera: the camera-removed code) until the first closes it or
 * ends, by a crash too; its temperature, cooler setting and clock outlive the process while the
 * camera stays powered. The state lives in a folder: ASISIM_STATE_DIR, else
 * $XDG_RUNTIME_DIR/asisim, else /tmp/asisim-<uid>; asisim_state_dir() names it ("" when none
 * could be made: each process then has cameras of its own). asisim_reset powers on the cameras
 * it connects (those no other process holds).
 * asisim_power_cycle: power goes off and on for every camera of the folder: this process's
 * cameras come back closed at power-on, every camera no other process holds forgets its state.
 * Returns the number of cameras left alone because another process holds them.
 * asisim_machine_state: every camera of the folder as JSON (who holds it, its saved state),
 * copied zero-terminated and cut to fit; returns the full length. */
ASISIM_API int asisim_power_cycle(void);
ASISIM_API const char *asisim_state_dir(void);
ASISIM_API int asisim_machine_state(char *buf, size_t buflen);
/* Queues a result for the next call of the SDK function `function`: it returns `code` and leaves
 * the cameras alone; with code 0 and data, `data` (a C struct of the function's outputs in
 * parameter order; image bytes for the image reads) fills its outputs. 0, or -1 for an unknown
 * function or a size that does not fit. */
ASISIM_API int asisim_script(const char *function, int code, const void *data, size_t size);
ASISIM_API void asisim_clear_scripts(void);
/* The journal: one text line per SDK call, the newest 4096 kept. asisim_journal_entry copies line
 * `index` (0 the oldest, -1 the newest) zero-terminated and cut to fit, and returns its full
 * length, or -1 for an index out of range. */
ASISIM_API int asisim_journal_count(void);
ASISIM_API int asisim_journal_entry(int index, char *buf, size_t buflen);
ASISIM_API void asisim_journal_clear(void);
/* Simulated seconds per real second; 0 or below is ignored. */
ASISIM_API void asisim_set_time_scale(double factor);
/* The simulated seconds per real second in force (ASISIM_TIME_SCALE at load, or the last set). */
ASISIM_API double asisim_time_scale(void);
/* The camera disappears (its calls get the camera-removed code) / comes back closed. 0, or -1 for
 * an unknown ID. */
ASISIM_API int asisim_unplug(int camera_id);
ASISIM_API int asisim_plug(int camera_id);
/* Name of the catalogue's model at `index` (0, 1, ...), or NULL past the last one. */
ASISIM_API const char *asisim_model_name(int index);

/* Effects of the sensor and optics model (fixed pattern, amplifier glow, dust, the read-noise step
 * at the conversion-gain switch, ...), all on at power-on. asisim_set_effect turns the effect
 * `name` on (enabled != 0) or off for every camera; "all" names every effect at once, so
 * asisim_set_effect("all", 0) gives an ideal sensor. 0, or -1 for an unknown name.
 * asisim_effect_enabled: 1 on, 0 off, -1 unknown. asisim_effect_name: the name of effect `index`
 * (0, 1, ...), or NULL past the last one. asisim_reset turns every effect on again. */
ASISIM_API int asisim_set_effect(const char *name, int enabled);
ASISIM_API int asisim_effect_enabled(const char *name);
ASISIM_API const char *asisim_effect_name(int index);

/* The light in front of a camera's telescope, for calibration frames.
 * ASISIM_LIGHT_SKY: the night sky; `level` is its brightness in magnitudes per square arcsecond
 *   (5 to 25; 0 for the site's sky). About 11 is the sky at dusk, bright enough for sky flats.
 * ASISIM_LIGHT_PANEL: a uniform flat panel over the aperture; `level` is its brightness as
 *   photoelectrons per second in an unbinned pixel at the sensor's centre (a mono pixel, or a
 *   green one of a colour sensor), 0 to 1e9. No stars; vignetting, dust and PRNU show.
 * 0, or -1 for an unknown camera ID, source or a level out of range (nothing changes).
 * asisim_reset puts every camera back under the load-time light (ASISIM_LIGHT: "night",
 * "panel:E" or "sky:MAG"; else the night sky). */
#define ASISIM_LIGHT_SKY 0
#define ASISIM_LIGHT_PANEL 1
ASISIM_API int asisim_set_light(int camera_id, int source, double level);

/* The mount under every camera's telescope (see the simulator guide for what a guider sees):
 *   "periodic_error_arcsec"   peak to peak in right ascension, 0 to 300 (default 20)
 *   "periodic_error_period_s" the worm's turn, 10 to 7200 (default 479)
 *   "polar_error_arcmin"      polar misalignment, 0 to 600 (default 5)
 *   "dec_backlash_arcsec"     play of the declination gears, 0 to 600 (default 15)
 *   "seeing_jitter_arcsec"    seeing's centroid jitter of a 1 s exposure, one sigma per axis,
 *                             0 to 30 (default from the seeing and aperture: 0.45 at their defaults)
 *   "guide_rate"              guide pulses' speed, fraction of sidereal, 0.1 to 1 (default 0.5)
 * Defaults come from the environment (ASISIM_PE_ARCSEC, ASISIM_PE_PERIOD_S,
 * ASISIM_POLAR_ERROR_ARCMIN, ASISIM_DEC_BACKLASH_ARCSEC, ASISIM_JITTER_ARCSEC, ASISIM_GUIDE_RATE)
 * where it sets them. asisim_set_mount sets one for every camera: 0, or -1 for an unknown name or
 * a value out of range (nothing changes). asisim_get_mount: 0 and the value, or -1 for an unknown
 * name. asisim_mount_parameter_name: the name of setting `index` (0, 1, ...), or NULL past the
 * last one. asisim_reset restores the defaults. */
ASISIM_API int asisim_set_mount(const char *name, double value);
ASISIM_API int asisim_get_mount(const char *name, double *value);
ASISIM_API const char *asisim_mount_parameter_name(int index);

/* The real sky. A camera pointed at (ra_deg, dec_deg), J2000 degrees, sees the stars of the
 * bundled Hipparcos catalogue (and of a deeper catalogue where one is installed) at that place,
 * turned by the position angle `angle_deg` (of the sensor's +y axis, from north through east;
 * at 0 north runs along +y and east along +x), with procedural stars fainter than the
 * catalogues. Unpointed cameras keep the procedural sky. The mount tracks at the sidereal rate
 * (its periodic error, drift and guide pulses on top); with tracking off the sky drifts west and
 * stars trail. Every camera starts at ASISIM_POINTING ("ra,dec" or "ra,dec,angle") when set.
 * Each returns 0, or -1 for an unknown camera ID or a value out of range (nothing changes);
 * asisim_reset unpoints every camera, turns tracking on and the telescopes back to the defaults. */
ASISIM_API int asisim_point(int camera_id, double ra_deg, double dec_deg, double angle_deg);
ASISIM_API int asisim_unpoint(int camera_id);
/* The telescope in front of one camera: focal length (10 to 20000 mm) and aperture (5 to 2000 mm);
 * 0 for either keeps ASISIM_FOCAL_MM / ASISIM_APERTURE_MM. */
ASISIM_API int asisim_set_telescope(int camera_id, double focal_mm, double aperture_mm);
ASISIM_API int asisim_set_tracking(int camera_id, int on);

/* A camera's pointing and telescope as the simulator uses them (defaults filled in). */
typedef struct asisim_pointing_t {
    int pointed; /* 0: the procedural sky; the position fields are then 0 */
    int tracking;
    double ra_deg, dec_deg, angle_deg;
    double focal_mm, aperture_mm;
} asisim_pointing_t;
/* 0, or -1 for an unknown camera ID. */
ASISIM_API int asisim_get_pointing(int camera_id, asisim_pointing_t *out);

/* The optics' pincushion: a star whose undistorted image lies r unbinned pixels from the
 * sensor's centre (width / 2, height / 2) lands r (1 + k r^2) from it; k in 1 / pixel^2 (0 with
 * the "star_profile" effect off). 0, or -1 for an unknown camera ID. */
ASISIM_API int asisim_get_distortion(int camera_id, double *per_pixel2);
/* Where a star at (ra_deg, dec_deg), J2000 without proper motion, lands on a pointed camera's
 * sensor behind a mount that tracks perfectly: unbinned sensor pixels, pixel (i, j) spanning
 * [i, i + 1) x [j, j + 1), the pincushion included. 0, or -1 for an unknown or unpointed camera
 * or a direction 90 degrees or more from the pointing. */
ASISIM_API int asisim_star_position(int camera_id, double ra_deg, double dec_deg, double *x, double *y);

/* How a simulated camera's sensor turns charge into values at a gain setting, as its images
 * follow it: electrons per ADU at the ADC's bit depth (the model's figure at gain 0, 1 at its
 * unity gain, 0.1 dB per step above), the pixels' full well in electrons and the ADC's bits.
 * 0, or -1 for an unknown camera ID. */
typedef struct asisim_sensor_response_t {
    double electrons_per_adu;
    double full_well_e;
    int adc_bits;
} asisim_sensor_response_t;
ASISIM_API int asisim_sensor_response(int camera_id, int gain, asisim_sensor_response_t *out);

/* The simulated date, a Julian epoch (2026.5 is mid-2026), at the start of every camera's scene
 * clock; proper motions carry the stars to it. 0 returns to the default: ASISIM_DATE
 * ("YYYY-MM-DD" or an epoch) or the day the library was loaded. 0, or -1 out of 1000 to 3000.
 * asisim_reset returns to the default. */
ASISIM_API int asisim_set_date(double julian_epoch);
ASISIM_API double asisim_get_date(void);
/* Seconds from the real date to the simulated one: the simulated date less the moment the library
 * was loaded, 0 while the date is the default day of an unset ASISIM_DATE. A frame's time is the
 * real time moved by it, so that its header's date is the simulated one. */
ASISIM_API double asisim_date_offset(void);

/* The deep star catalogue (the file format is in docs/simulator.md): a path, "" for none (the
 * bundled Hipparcos stars alone), or NULL for the default (ASISIM_STAR_CATALOG, paths separated
 * by ':', or the *.stars files in $XDG_DATA_HOME/asisim). Returns its number of stars, or -1
 * for a missing or malformed file (nothing changes). asisim_reset returns to the default. */
ASISIM_API long asisim_set_star_catalog(const char *path);
/* Stars in the bundled and the deep catalogue, and the magnitude from which procedural stars
 * fill in; any pointer may be NULL. */
ASISIM_API void asisim_star_catalog_info(long *bundled, long *deep, double *filler_from_mag);

/* The kernels frames are made with: "scalar", "sse2" or "avx2", the widest the processor has
 * unless ASISIM_SIMD (read when the library is loaded) names a narrower one. Every path gives
 * the same bytes. */
ASISIM_API const char *asisim_simd_path(void);

#ifdef __cplusplus
}
#endif

#endif /* ASISIM_H */
