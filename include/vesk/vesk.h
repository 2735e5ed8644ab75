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
 *     vesk_last_error(); utterance sessions, whole-run streams and the streaming audio calls use
 *     their own (see vesk_a2x.h).
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

/* ---- Render context ---------------------------------------------------------------------------
 * One opened identity bundle: manifest, identity members, drive tables, driver video (decoded on a
 * thread of its own), paste stage and, from the first render on, the director renderer. Calls on one
 * context must not overlap in time. An utterance session must be destroyed before its context. */
typedef struct vesk_ctx vesk_ctx;

/* Opens the bundle at bundle_dir (a directory or an IMX container) to render with the director
 * model_key ("b1" opens model_b1.onnx). threads < 1 leaves the pool size to the core; ep NULL or ""
 * selects the ONNX Runtime CPU provider. NULL on failure, with the reason in vesk_last_error(). */
VESK_EXPORT vesk_ctx* vesk_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);
/* Stops the driver thread and frees everything; NULL is ignored. */
VESK_EXPORT void vesk_destroy(vesk_ctx* ctx);

/* Sizes of the bundle; 0 for NULL. These set no error. */
VESK_EXPORT int vesk_nt(vesk_ctx* ctx);           /* source frames */
VESK_EXPORT int vesk_width(vesk_ctx* ctx);        /* canvas width in pixels */
VESK_EXPORT int vesk_height(vesk_ctx* ctx);       /* canvas height in pixels */
VESK_EXPORT int vesk_crop(vesk_ctx* ctx);         /* side of the square face crop */
VESK_EXPORT int vesk_drive_frames(vesk_ctx* ctx); /* frames of the idle drive loop */

/* ---- Single frames ----------------------------------------------------------------------------
 * A crop is 3 planes (R, G, B) of crop x crop floats in 0..1, owned by the context and valid until
 * the next render on it. Frames are RGB24 (W x H x 3) or RGBA (W x H x 4). 0 <= si < vesk_nt(). */

/* Renders source frame si driven by the keypoints xd (xs: si's own). NULL on failure. */
VESK_EXPORT const float* vesk_render_kp_crop(vesk_ctx* ctx, int si, const float* xs, const float* xd);
/* Renders drive frame `frame` (0 <= frame < vesk_drive_frames()). NULL on failure. */
VESK_EXPORT const float* vesk_render_drive_crop(vesk_ctx* ctx, int frame);
/* Decodes driver frame si into out (out_len >= W*H*3) and pastes crop onto it. 1, or 0 on failure. */
VESK_EXPORT int vesk_paste_crop(vesk_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_len);
/* Pastes the context's last crop onto driver frame si in the context's frame scratch and returns it
 * (valid until the next call that writes the scratch). NULL before any render. */
VESK_EXPORT const uint8_t* vesk_paste_last(vesk_ctx* ctx, int si);
/* Render and paste in one call, written as RGBA with alpha 255 (out_len >= W*H*4). 1, or 0. */
VESK_EXPORT int vesk_render_kp_rgba(vesk_ctx* ctx, int si, const float* xs, const float* xd, uint8_t* out,
                                    size_t out_len);
VESK_EXPORT int vesk_render_drive_rgba(vesk_ctx* ctx, int frame, uint8_t* out, size_t out_len);
/* The raw driver frame si (RGB24) in the driver's ring: valid until 12 further driver frames are
 * taken. NULL on failure. */
VESK_EXPORT const uint8_t* vesk_target_frame(vesk_ctx* ctx, int si);

/* ---- Warp prior rows --------------------------------------------------------------------------
 * Rows of a bundle's HEVC warp prior without a render context: 3 planes of crop x crop halves. */
typedef struct vesk_prior vesk_prior;

/* ahead < 1 means 2; history < 0 means 0. NULL on failure (vesk_last_error()). */
VESK_EXPORT vesk_prior* vesk_prior_open(const char* bundle_dir, int ahead, int history);
/* Bytes of one row; 0 for NULL. Sets no error. */
VESK_EXPORT size_t vesk_prior_row_bytes(const vesk_prior* prior);
/* Decodes row si into out (cap >= vesk_prior_row_bytes()). 1, or 0 on failure. */
VESK_EXPORT int vesk_prior_row(vesk_prior* prior, int si, uint8_t* out, size_t cap);
/* The prior's source name; "" for NULL. Sets no error. */
VESK_EXPORT const char* vesk_prior_backend(const vesk_prior* prior);
/* Stops the decode thread and frees the handle; NULL is accepted. */
VESK_EXPORT void vesk_prior_close(vesk_prior* prior);

/* ---- Utterance sessions ------------------------------------------------------------------------
 * The main loop: push speech audio (16-bit mono PCM at 16 kHz) as it arrives, pull finished RGB24
 * frames of the canvas (vesk_width x vesk_height x 3 bytes) at 25 per second. Between utterances
 * the session plays the driver video; after speech it eases the face back over a few ramp frames.
 * Pushes and pulls never wait on model work. Errors: vesk_utt_last_error(). The context must
 * outlive the session and is not to be used by the host while the session exists. */
typedef struct vesk_utt vesk_utt;

typedef struct vesk_utt_opts {
  const char* motion_dir;        /* audio model directory or bundle; required */
  int32_t threads;               /* intra-op threads of the audio model; < 1: the context's */
  const char* motion_ep;         /* execution provider of the motion model; may be NULL */
  const char* steady_model;      /* key of the chunk renderer; "-" none; NULL or "": "b24_fp32" */
  int32_t eager;                 /* eager setting of the audio model; -2 hybrid; < 1: see docs */
  double end_silence_s;          /* an utterance ends after this much silence; 0: 0.6; < 0: never */
  int32_t ramp_frames;           /* ramp after an utterance ends; < 1: 6 */
  int32_t interrupt_ramp_frames; /* ramp after an interrupt; < 1: 4 */
} vesk_utt_opts;

/* Frame kinds. */
#define VESK_UTT_IDLE 0
#define VESK_UTT_SPEECH 1
#define VESK_UTT_RAMP 2

typedef struct vesk_utt_frame_info {
  int64_t seq;   /* order in which the session queued its frames, from 0 */
  int32_t kind;  /* VESK_UTT_IDLE, VESK_UTT_SPEECH or VESK_UTT_RAMP */
  int32_t si;    /* driver frame the frame was built on */
  int32_t index; /* frame of the utterance (speech), else -1 */
} vesk_utt_frame_info;

typedef struct vesk_utt_stats {
  int64_t frames;        /* frames pulled */
  int64_t speech_frames; /* pulled speech frames */
  int64_t utterances;    /* utterances whose first speech frame was queued */
  double first_frame_ms; /* latest utterance: first push to first speech frame queued */
  double render_ms;      /* moving average of the per-frame render time */
  int32_t state;         /* 0 idle, 1 starting, 2 speaking, 3 ramp */
} vesk_utt_stats;

/* NULL on failure. The audio model loads in the background: poll vesk_utt_ready(). */
VESK_EXPORT vesk_utt* vesk_utt_create(vesk_ctx* ctx, const vesk_utt_opts* opts);
/* vesk_utt_create with every option but motion_dir zero. */
VESK_EXPORT vesk_utt* vesk_utt_open(vesk_ctx* ctx, const char* motion_dir);
/* Stops and joins the session's threads; NULL is accepted. */
VESK_EXPORT void vesk_utt_destroy(vesk_utt* utt);
VESK_EXPORT const char* vesk_utt_last_error(void);
/* 1 loaded, 0 loading, -1 for NULL or a failed load (then the last error holds the model's text). */
VESK_EXPORT int vesk_utt_ready(vesk_utt* utt);
/* Appends count samples; 1, or 0 for bad arguments. */
VESK_EXPORT int vesk_utt_push_audio(vesk_utt* utt, const int16_t* pcm, int count);
/* The current utterance's audio is complete. */
VESK_EXPORT void vesk_utt_end_utterance(vesk_utt* utt);
/* Abandons the current utterance at once: undelivered frames are dropped. */
VESK_EXPORT void vesk_utt_interrupt(vesk_utt* utt);
VESK_EXPORT int vesk_utt_frames_available(vesk_utt* utt);
/* Copies the next frame into dst; 1, or 0 when none is ready or dst_len is too small (the frame
 * stays queued). info may be NULL. */
VESK_EXPORT int vesk_utt_pull_frame(vesk_utt* utt, void* dst, size_t dst_len, vesk_utt_frame_info* info);
VESK_EXPORT void vesk_utt_get_stats(vesk_utt* utt, vesk_utt_stats* out);
/* -1 when a render failure has degraded the session, else 0; the last failure text (len - 1 bytes
 * at most) and the failure count when the pointers are given. */
VESK_EXPORT int vesk_utt_render_status(vesk_utt* utt, char* buf, int len, int64_t* failures);

/* The teeth pass of an utterance session: every rendered crop gets the bundle's own teeth, borrowed
 * from its reference bank, before it is pasted. The pass answers one frame late, so a crop is held
 * until the next one (or an idle frame, or an interrupt) arrives. Once the pass has failed or skipped
 * a frame the session delivers no further frame (rather than one without its teeth) until the next
 * attach. The members come from the vesk_tessera_members_ calls (vesk_tessera.h).
 *   bank: n * stored height * stored width * 3 bytes in donor order; cent: 2 n; c_canon: 2;
 *   aperture: n; stamp: the 12 stamp values; head_pt/head_pt_len: the head weights file;
 *   head_json: the head configuration; manifest_json: the manifest.
 * 0 on success (replacing an earlier pass); 1 on failure, the message in err (err_len - 1 bytes at
 * most, terminated), the session going on as before. */
VESK_EXPORT int vesk_utt_tessera_attach(vesk_utt* utt, const uint8_t* bank, int n, const double* cent,
                                        const double* c_canon, const double* aperture, const int32_t* stamp,
                                        const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                        const char* manifest_json, char* err, int err_len);
/* 0 without a teeth pass (or for NULL), -1 when it has failed, else 1; the frames delivered with
 * their teeth, the frames skipped and the last skip reason or failure text (len - 1 bytes at most)
 * when the pointers are given. */
VESK_EXPORT int vesk_utt_tessera_stats(vesk_utt* utt, int64_t* emitted, int64_t* skipped, char* buf, int len);
/* 1 with a teeth pass, copying the compose-mask geometry it chose (len - 1 bytes at most); else 0
 * (also for a NULL buffer or len < 1). */
VESK_EXPORT int vesk_utt_tessera_geometry(vesk_utt* utt, char* buf, int len);
/* 1 once the pass has emitted a frame with a non-empty compose mask: the mean and the largest
 * synthesis share over those frames, and their count; else 0, writing nothing. */
VESK_EXPORT int vesk_utt_tessera_synth_w(vesk_utt* utt, double* mean, double* max, int64_t* count);

/* ---- Whole-run stream --------------------------------------------------------------------------
 * Renders one complete utterance in a single call, every frame delivered in order to a callback.
 * Errors: vesk_stream_last_error(). */
typedef struct vesk_stream vesk_stream;

/* frame: the finished RGB24 frame, reused after the callback returns. */
typedef void (*vesk_stream_frame_fn)(void* user, int index, const uint8_t* frame, int width, int height);

/* encoder_path: the 8 s speech encoder; the bundle holds fca_stream.onnx and xs_target.bin. The
 * first `skip` frames are not rendered; `scale` multiplies the audio's keypoint offsets. */
VESK_EXPORT vesk_stream* vesk_stream_create(const char* bundle_dir, const char* encoder_path, int threads, int skip,
                                            float scale);
/* audio: n float samples at 16 kHz. Frames delivered, 0 when none are left after skip, -1 on failure. */
VESK_EXPORT int vesk_stream_run(vesk_stream* s, const float* audio, int n, vesk_stream_frame_fn fn, void* user);
VESK_EXPORT int vesk_stream_width(vesk_stream* s);
VESK_EXPORT int vesk_stream_height(vesk_stream* s);
VESK_EXPORT void vesk_stream_destroy(vesk_stream* s);
VESK_EXPORT const char* vesk_stream_last_error(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VESK_VESK_H */
