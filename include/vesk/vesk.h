/* vesk: the native core of a real-time talking-head engine.
 *
 * A host opens an identity bundle (a directory, or an IMX container that is unwrapped on first
 * use), pushes speech audio and pulls finished video frames at 25 frames per second.
 *
 * Rules of this interface:
 *  1. Every call has C linkage and the prefix vesk_. No call lets an exception escape.
 *  2. Failure is reported by the return value (NULL, 0 or -1, as each call states) and by a
 *     per-thread last-error text of the call's family. Every call empties its family's text at
 *     entry; a failing call stores "<call name>: <reason>". The pointer returned by the family's
 *     last-error query stays valid until the same thread's next call into the library.
 *  3. Families and their last-error queries: bundle, render context, single frames and priors use
 *     vesk_last_error(); the streaming audio calls use their own (see vesk_a2x.h).
 *  4. Handles are opaque. The host owns every handle it creates and frees it with the matching
 *     destroy call, which accepts NULL.
 *  5. Buffers are owned by whoever allocated them; the library never frees host memory, and the
 *     host never frees a pointer the library returns.
 *  6. Keypoint sets are vesk_host_kp_rows() rows of (x, y, z) floats, row-major.
 */
#ifndef VESK_VESK_H
#define VESK_VESK_H

#include <stddef.h>
#include <stdint.h>

#if defined(VESK_BUILDING_CORE)
#define VESK_EXPORT __attribute__((visibility("default")))
#else
#define VESK_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The calling thread's last error of this family: "" when its most recent call succeeded. */
VESK_EXPORT const char* vesk_last_error(void);

/* Rows of a host keypoint set: 21 (21 x 3 floats, 252 bytes). */
VESK_EXPORT int vesk_host_kp_rows(void);

/* Resolves a bundle path to the directory to use, unwrapping an IMX container once into its cache.
 * Writes the directory and its terminating zero into dst. Returns 1 on success; -1 on failure
 * (NULL argument or dst_len 0: no error text; otherwise the reason in vesk_last_error and dst ""). */
VESK_EXPORT int vesk_bundle_resolve_handle(const char* path, char* dst, size_t dst_len);

/* Resolves the path of one bundle member (legacy name first, unified-layout alias second) without
 * opening anything else. Returns 1 when the path was written and the file exists, 0 when it was
 * written but the file does not exist, -1 when an argument is NULL, dst_len is 0, the path does not
 * fit (dst is then "") or the bundle path cannot be resolved. Stores no error text. */
VESK_EXPORT int vesk_bundle_resolve_member(const char* bundle, const char* member, char* dst, size_t dst_len);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VESK_VESK_H */
