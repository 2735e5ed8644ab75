/* vesk teeth members: whether a bundle carries the four members of the teeth pass, and the members
 * themselves, loaded and cross-checked, ready to attach to an utterance session.
 *
 * Rules of these calls:
 *  1. They do not touch any family's last-error text. The calls that can fail take a caller's
 *     buffer err of err_len bytes: when err is not NULL and err_len >= 1 the message is copied
 *     (at most err_len - 1 bytes), the rest of the buffer zero-filled and err[err_len - 1] set to 0.
 *  2. Every string or array returned points into its handle and stays valid until the handle is
 *     closed (the path of vesk_tessera_carriage_path until the next such call on that handle).
 *  3. A NULL handle gives 0, NULL or "" as each call states; close calls accept NULL.
 */
#ifndef VESK_VESK_TESSERA_H
#define VESK_VESK_TESSERA_H

#include "vesk/vesk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The member slots: 4, keyed "bank_track", "bank_sidecar", "head_weights", "head_config". */
VESK_EXPORT int vesk_tessera_slot_count(void);
/* The key of slot index (0..3), or NULL outside. */
VESK_EXPORT const char* vesk_tessera_slot_key(int index);

/* ---- Carriage: which members a bundle carries ------------------------------------------------ */
typedef struct vesk_tessera_carriage vesk_tessera_carriage;

/* Looks at the bundle (directory or IMX container). NULL only for a NULL directory or when memory
 * runs out; an unusable bundle gives a handle that is not complete, declares nothing and lists no
 * missing slot. */
VESK_EXPORT vesk_tessera_carriage* vesk_tessera_carriage_open(const char* bundle_dir);
VESK_EXPORT void vesk_tessera_carriage_close(vesk_tessera_carriage* c);
/* 1 when all four members open for reading, else 0. */
VESK_EXPORT int vesk_tessera_carriage_complete(const vesk_tessera_carriage* c);
/* 1 when the manifest carries a "tessera" object, else 0. */
VESK_EXPORT int vesk_tessera_carriage_declared(const vesk_tessera_carriage* c);
/* The resolved path of a slot's member; "" for a NULL argument or an unknown slot key. */
VESK_EXPORT const char* vesk_tessera_carriage_path(vesk_tessera_carriage* c, const char* slot_key);
/* Missing slots, in slot order: their count, and the i-th key (NULL out of range). */
VESK_EXPORT int vesk_tessera_carriage_missing_count(const vesk_tessera_carriage* c);
VESK_EXPORT const char* vesk_tessera_carriage_missing(const vesk_tessera_carriage* c, int i);

/* ---- Members: the loaded teeth members ------------------------------------------------------- */
typedef struct vesk_tessera_members vesk_tessera_members;

/* Loads and cross-checks the members; NULL on failure with the reason in err. */
VESK_EXPORT vesk_tessera_members* vesk_tessera_members_open(const char* bundle_dir, char* err, int err_len);
VESK_EXPORT void vesk_tessera_members_close(vesk_tessera_members* m);

/* Donor patches in the bank (1..1024); 0 for NULL. */
VESK_EXPORT int vesk_tessera_members_n_donors(const vesk_tessera_members* m);
/* (x, y) per donor in donor order: 2 * n_donors values; NULL when empty. */
VESK_EXPORT const double* vesk_tessera_members_cent(const vesk_tessera_members* m);
/* The bank's canonical centroid (x, y). */
VESK_EXPORT const double* vesk_tessera_members_c_canon(const vesk_tessera_members* m);
/* One aperture per donor; NULL when empty. */
VESK_EXPORT const double* vesk_tessera_members_aperture(const vesk_tessera_members* m);
/* The 12 values of the geometry stamp: canvas_w, canvas_h, window_x0, window_y0, window_w,
 * window_h, pad, band_r0, band_r1, band_c0, band_c1, shift_margin. */
VESK_EXPORT const int32_t* vesk_tessera_members_stamp(const vesk_tessera_members* m);
/* The whole head weights file and its length in bytes; NULL / 0 when empty. */
VESK_EXPORT const uint8_t* vesk_tessera_members_head_pt(const vesk_tessera_members* m);
VESK_EXPORT int vesk_tessera_members_head_pt_len(const vesk_tessera_members* m);
/* Texts of the members and the description of the bank track; "" for NULL. */
VESK_EXPORT const char* vesk_tessera_members_head_json(const vesk_tessera_members* m);
VESK_EXPORT const char* vesk_tessera_members_manifest_json(const vesk_tessera_members* m);
VESK_EXPORT const char* vesk_tessera_members_bank_track_path(const vesk_tessera_members* m);
VESK_EXPORT const char* vesk_tessera_members_bank_container(const vesk_tessera_members* m);
VESK_EXPORT const char* vesk_tessera_members_bank_codec(const vesk_tessera_members* m);
VESK_EXPORT const char* vesk_tessera_members_bank_pix_fmt(const vesk_tessera_members* m);
VESK_EXPORT const char* vesk_tessera_members_bank_packing(const vesk_tessera_members* m);
/* One donor's stored patch: band_h rows of band_w RGB24 pixels; band_bytes covers all donors. */
VESK_EXPORT int vesk_tessera_members_band_w(const vesk_tessera_members* m);
VESK_EXPORT int vesk_tessera_members_band_h(const vesk_tessera_members* m);
VESK_EXPORT int64_t vesk_tessera_members_band_bytes(const vesk_tessera_members* m);
/* Copies a decoded bank track (band_bytes, frames in track order) into band in donor order.
 * 0 on success; 1 on failure with the reason in err. */
VESK_EXPORT int vesk_tessera_members_reorder(const vesk_tessera_members* m, const uint8_t* track, uint8_t* band,
                                             char* err, int err_len);

/* ---- Runs: a whole batch of frames through the teeth pass ------------------------------------ */

/* Runs count frames through one teeth pass and writes the count finished mouth windows.
 *   bank: n * band_h * band_w * 3 bytes in donor order (as vesk_tessera_members_reorder writes);
 *   cent: 2 n; c_canon: 2; aperture: n; stamp: the 12 stamp values (vesk_tessera_members_stamp);
 *   head_pt / head_pt_len: the head weights file; head_json: its configuration text;
 *   frames: count canvases of canvas_w * canvas_h RGB24; masks: count canvases of one byte per pixel;
 *   shifts: 2 per frame (dy, dx), or NULL; a frame whose dy is -10000 has its shift derived from its mask;
 *   windows_out: count * window_w * window_h * 3 bytes, RGB24 windows for the unshifted window place;
 *   skipped_out: count flags, 1 where the frame's mouth could not be placed (its window is left as it was).
 * Returns 0 on success, 1 on failure with the reason in err. count 0 writes nothing. */
VESK_EXPORT int vesk_tessera_run_shift(const uint8_t* bank, int n, const double* cent, const double* c_canon,
                                       const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                                       int head_pt_len, const char* head_json, const uint8_t* frames,
                                       const uint8_t* masks, const int32_t* shifts, int count, uint8_t* windows_out,
                                       int32_t* skipped_out, char* err, int err_len);
/* vesk_tessera_run_shift with every shift derived from its mask. */
VESK_EXPORT int vesk_tessera_run(const uint8_t* bank, int n, const double* cent, const double* c_canon,
                                 const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                                 const char* head_json, const uint8_t* frames, const uint8_t* masks, int count,
                                 uint8_t* windows_out, int32_t* skipped_out, char* err, int err_len);

#ifdef __cplusplus
}
#endif

#endif /* VESK_VESK_TESSERA_H */
