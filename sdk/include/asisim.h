/* asisim.h - control API of the simulated ASICamera2 library.
 *
 * Lets tests and users reset the simulated cameras, script SDK results, read the call journal,
 * speed up simulated time and unplug cameras. Exported from libASICamera2 beside the 42 SDK
 * functions; the orvik module never calls it.
 */
#ifndef ASISIM_H
#define ASISIM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ASISIM_API __attribute__((visibility("default")))

ASISIM_API int asisim_reset(const char *cameras);
ASISIM_API int asisim_script(const char *function, int code, const void *data, size_t size);
ASISIM_API void asisim_clear_scripts(void);
ASISIM_API int asisim_journal_count(void);
ASISIM_API int asisim_journal_entry(int index, char *buf, size_t buflen);
ASISIM_API void asisim_journal_clear(void);
ASISIM_API void asisim_set_time_scale(double factor);
ASISIM_API int asisim_unplug(int camera_id);
ASISIM_API int asisim_plug(int camera_id);
/* Name of the catalogue's model at `index` (0, 1, ...), or NULL past the last one. */
ASISIM_API const char *asisim_model_name(int index);

#ifdef __cplusplus
}
#endif

#endif /* ASISIM_H */
