/* vesk streaming audio: audio to keypoint frames. The calls of this header keep their own
 * per-thread last error, so an audio failure never overwrites a render context's error text. */
#ifndef VESK_VESK_A2X_H
#define VESK_VESK_A2X_H

#include "vesk/vesk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A streaming session: mono 16 kHz float audio in, one keypoint frame per 640 samples out. */
typedef struct vesk_a2x vesk_a2x;

/* Opens the bundle's streaming audio models ($W2V_ONNX names the shared speech encoder). threads:
 * intra-op threads, the worker pool's size when < 1 or not below it. NULL on failure. */
VESK_EXPORT vesk_a2x* vesk_a2x_create(const char* bundle_dir, int threads);
/* Frees the session (not the process-wide encoders). NULL is ignored. */
VESK_EXPORT void vesk_a2x_destroy(vesk_a2x* a);
/* The calling thread's last error of the vesk_a2x_ calls: "" when the most recent one succeeded. */
VESK_EXPORT const char* vesk_a2x_last_error(void);

/* Appends n samples (n < 1 appends nothing); 1, or 0 for a NULL session or samples. */
VESK_EXPORT int vesk_a2x_push(vesk_a2x* a, const float* samples, int n);
/* Marks the end of the utterance's audio. */
VESK_EXPORT void vesk_a2x_finish(vesk_a2x* a);
/* After finish: ceil(samples / 640), the frames the utterance yields; -1 before. */
VESK_EXPORT int vesk_a2x_total(vesk_a2x* a);
/* Frames that can be pulled now (computes up to one step ahead). */
VESK_EXPORT int vesk_a2x_avail(vesk_a2x* a);
/* Up to max frames: per frame the target row index (si), its 63 target values (xs) and the target
 * plus the audio's offset (xd). Any buffer may be NULL. Returns the frames written. */
VESK_EXPORT int vesk_a2x_pull(vesk_a2x* a, int* si, float* xs, float* xd, int max);
/* As vesk_a2x_pull, plus one width value per frame (0 where the encoder has none). */
VESK_EXPORT int vesk_a2x_pull_wn(vesk_a2x* a, int* si, float* xs, float* xd, float* wn, int max);
/* Starts the next utterance: target rows walk from start (< 0: where the walk stood) in direction
 * dir (negative: -1, else +1), wrapping (wrap != 0) or bouncing. Returns the direction, 0 on error. */
VESK_EXPORT int vesk_a2x_reset(vesk_a2x* a, int start, int dir, int wrap);
/* Rows of the identity's target table; 0 for NULL. */
VESK_EXPORT int vesk_a2x_nt(vesk_a2x* a);
/* 1 when the bundle's encoder gives a width value per frame, else 0. */
VESK_EXPORT int vesk_a2x_width(vesk_a2x* a);
/* Stores the flag; the session does not use it. */
VESK_EXPORT void vesk_a2x_set_eager(vesk_a2x* a, int eager);

/* Whole-run offsets of n samples with the 8 s encoder: ceil(n / 640) rows of 63 floats into out.
 * Frames written; 0 for n < 1; -2 when cap is smaller than the frame count; -1 on failure. */
VESK_EXPORT int vesk_a2x_deltas(vesk_a2x* a, const float* audio, int n, float* out, int cap);
/* As vesk_a2x_deltas, also the width values into wn (cap slots); -3 when the encoder has none. */
VESK_EXPORT int vesk_a2x_deltas_wn(vesk_a2x* a, const float* audio, int n, float* out, float* wn, int cap);

/* Loads the shared 8 s speech encoder now (path NULL or "": $W2V_ONNX). 1 loaded, 0 otherwise. */
VESK_EXPORT int vesk_a2x_preload_w2v(const char* path);
/* 1: the 8 s encoder is loaded on first need. */
VESK_EXPORT int vesk_a2x_w2v8_lazy(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VESK_VESK_A2X_H */
