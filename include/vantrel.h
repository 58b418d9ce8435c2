/*
 * libVantrel-64: access to vehicle-network measurement data (ASAM MDF 3.x/4.x,
 * SQLite measurement databases, MAT v5 and CSV output).
 *
 * Every function declared here has C linkage. Texts come in a narrow form
 * (char const*, the current C locale's multibyte text) and a wide form with
 * the suffix W (wchar_t const*, UTF-32). The library is single-threaded: call
 * it from one thread at a time.
 */
#ifndef VANTREL_H
#define VANTREL_H

#include <stddef.h>
#include <wchar.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#define VANTREL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Flags a host may set before calling ---------------------------- */

/* Dates (MAT and MDF headers, CSV) in local time instead of UTC. */
VANTREL_API extern bool g_bUseLocalTime;

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_H */
