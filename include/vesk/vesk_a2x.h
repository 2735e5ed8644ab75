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
/* Kept for hosts that set it: stores the flag, which the session never reads (frames are ready as
 * soon as their look-ahead is). */
VESK_EXPORT void vesk_a2x_set_eager(vesk_a2x* a, int eager);

/* Whole-run offsets of n samples with the 8 s encoder: ceil(n / 640) rows of 63 floats into out.
 * Frames written; 0 for n < 1; -2 when cap is smaller than the frame count; -1 on failure. */
VESK_EXPORT int vesk_a2x_deltas(vesk_a2x* a, const float* audio, int n, float* out, int cap);
/* As vesk_a2x_deltas, also the width values into wn (cap slots); -3 when the encoder has none. */
VESK_EXPORT int vesk_a2x_deltas_wn(vesk_a2x* a, const float* audio, int n, float* out, float* wn, int cap);

/* Loads the shared 8 s speech encoder now (path NULL or "": $W2V_ONNX). 1 loaded, 0 otherwise. */
VESK_EXPORT int vesk_a2x_preload_w2v(const char* path);
/* Always 1, kept for hosts that ask: the 8 s encoder is loaded on first need. */
VESK_EXPORT int vesk_a2x_w2v8_lazy(void);

/* ---- Audio to motion ----------------------------------------------------------------------------
 * A motion session turns 16 kHz float audio into keypoint frames with the three networks of a motion
 * model directory (hubert_student.onnx, lmdm.onnx, stitch.onnx and their tables). It computes lazily:
 * push only stores audio; avail, pull and finish do the work. Before finish a frame comes out only
 * once the motion table holds it with 11 rows of margin, and frames may be computed ahead on
 * zero-padded audio when too few are ready (see vesk_motion_set_eager); after finish exactly
 * ceil(samples / 640) frames come out in all. One session is used by one thread at a time. Failures
 * are reported through vesk_motion_last_error(). */
typedef struct vesk_motion vesk_motion;

/* Opens the model directory. threads < 1 takes the core's pool size; ep NULL or "" is the CPU
 * provider, "coreml" (optionally ":cpu", ":gpu", ":ane") the CoreML provider where the runtime has it.
 * NULL on failure. The session starts reset (start 0, direction +1, wrap on). */
VESK_EXPORT vesk_motion* vesk_motion_create(const char* motion_dir, int threads, const char* ep);
VESK_EXPORT void vesk_motion_destroy(vesk_motion* m);
VESK_EXPORT const char* vesk_motion_last_error(void);
/* Appends n samples. 1; 0 for a NULL argument, n < 0 or after finish. */
VESK_EXPORT int vesk_motion_push(vesk_motion* m, const float* samples, int n);
/* Marks the end of the audio and computes every remaining frame. 1; 0 on failure. */
VESK_EXPORT int vesk_motion_finish(vesk_motion* m);
/* Frames that vesk_motion_pull can return now without more audio; 0 on failure. */
VESK_EXPORT int vesk_motion_avail(vesk_motion* m);
/* Writes up to max frames: per frame the source index (si), the 63 target values (xs) and the 63
 * driven values (xd). Returns the number written; 0 on failure. */
VESK_EXPORT int vesk_motion_pull(vesk_motion* m, int* si, float* xs, float* xd, int max);
/* Clears the stream for a new utterance: start clamped to [0, nt - 1], dir < 0 walks backwards, wrap
 * 0 bounces at the ends of the source frames instead of wrapping. */
VESK_EXPORT void vesk_motion_reset(vesk_motion* m, int start, int dir, int wrap);
/* eager > 0: keep at least that many frames ready while live (computing ahead on zero-padded audio
 * when needed); eager <= 0: as many as one motion window takes to compute, 1 to 8. */
VESK_EXPORT void vesk_motion_set_eager(vesk_motion* m, int eager);
/* Total frames after finish; -1 before (and for NULL). */
VESK_EXPORT int vesk_motion_total(vesk_motion* m);
/* Source frames of the model directory; 0 for NULL. */
VESK_EXPORT int vesk_motion_nt(vesk_motion* m);

/* ---- Whole-run fca deltas ----------------------------------------------------------------------
 * One complete utterance in, one 63-float keypoint offset per video frame out, from an 8 s speech
 * encoder (given by path) and an fca_stream.onnx network. Failures are reported through
 * vesk_fca_last_error(). */
typedef struct vesk_fca vesk_fca;

/* threads < 1 takes the core's pool size. NULL on failure. */
VESK_EXPORT vesk_fca* vesk_fca_create(const char* encoder_path, const char* fca_path, int threads);
/* Writes N = ceil(n / 640) rows of 63 floats to out and returns N; 0 for n < 1; -1 when cap < N
 * (nothing written) or on failure (out may be partly written). */
VESK_EXPORT int vesk_fca_deltas(vesk_fca* f, const float* audio, int n, float* out, int cap);
VESK_EXPORT void vesk_fca_destroy(vesk_fca* f);
VESK_EXPORT const char* vesk_fca_last_error(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VESK_VESK_A2X_H */
