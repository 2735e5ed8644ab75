/* vesk streaming audio: audio to keypoint frames. The calls of this header keep their own
 * per-thread last error, so an audio failure never overwrites a render context's error text. */
#ifndef VESK_VESK_A2X_H
#define VESK_VESK_A2X_H

#include "vesk/vesk.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VESK_VESK_A2X_H */
