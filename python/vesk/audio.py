"""The audio model families on their own, for hosts that drive a renderer of their own: streaming
audio to keypoints (A2X, a bundle's a2x members) and audio to motion (Motion, a motion model
directory). Audio is 16 kHz mono; one keypoint frame per 640 samples.

Threads: one model is used by one thread at a time; the binding serialises the calls of each model,
so any thread may call. close() from any thread waits for a call in flight.
"""

from __future__ import annotations

import contextlib
import os
import threading
import weakref
from dataclasses import dataclass
from typing import Iterator, Optional, Union

import numpy as np

from ._core import ArrayLike, _addr, default_w2v, resolve_bundle, to_float32
from ._lib import A2XError, Handle, MotionError, Native, encode, fail, lib


@dataclass(frozen=True)
class KeypointFrames:
    si: np.ndarray  #: (n,) int32 source (target row) index per frame
    xs: np.ndarray  #: (n, 21, 3) float32 target keypoints
    xd: np.ndarray  #: (n, 21, 3) float32 target plus the audio's offset
    wn: Optional[np.ndarray] = None  #: (n,) float32 width values, where the model has them

    def __len__(self) -> int:
        return int(self.si.size)


def _frames(n: int) -> tuple:
    return np.empty(n, np.int32), np.empty((n, 21, 3), np.float32), np.empty((n, 21, 3), np.float32)


class _Model(Handle):
    _error: type
    _query: str

    def _open(self, ptr: int, destroy: object, name: str) -> None:
        self._native = Native(ptr, destroy, name)  # type: ignore[arg-type]
        self._finalizer = weakref.finalize(self, self._native.close)
        self._lock = threading.Lock()

    def _enter(self) -> int:
        ptr = self._native.enter()
        self._lock.acquire()
        return ptr

    def _leave(self) -> None:
        self._lock.release()
        self._native.leave()

    @contextlib.contextmanager
    def _held(self) -> Iterator[int]:
        """The native handle, held for one call: other threads' calls and close() wait."""
        ptr = self._enter()
        try:
            yield ptr
        finally:
            self._leave()

    def _raise(self, fallback: str) -> None:
        raise fail(self._error, self._query, fallback)

    def _raise_pending(self) -> None:
        # A call that returned nothing may have failed: the model's last error says which.
        err = fail(self._error, self._query, "")
        if str(err):
            raise err


class A2X(_Model):
    """A streaming audio-to-keypoint session on a bundle's a2x members. Sets $W2V_ONNX to the bundle's
    w2v.onnx when it is unset (the shared speech encoder the model reads)."""

    _error = A2XError
    _query = "vesk_a2x_last_error"

    def __init__(self, bundle: Union[str, os.PathLike], threads: int = 0) -> None:
        bdir = resolve_bundle(bundle)
        default_w2v(bdir)
        ptr = lib().vesk_a2x_create(os.fsencode(bdir), int(threads))
        if not ptr:
            self._raise("vesk_a2x_create failed")
        self._open(ptr, lib().vesk_a2x_destroy, "a2x session")
        self.nt: int = lib().vesk_a2x_nt(ptr)
        self.has_width: bool = lib().vesk_a2x_width(ptr) == 1

    def push(self, audio: ArrayLike) -> None:
        """Appends samples (float in [-1, 1] or int16)."""
        a = to_float32(audio)
        with self._held() as ptr:
            if lib().vesk_a2x_push(ptr, _addr(a), int(a.size)) != 1:
                self._raise("vesk_a2x_push failed")

    def finish(self) -> None:
        """Marks the end of the utterance's audio."""
        with self._held() as ptr:
            lib().vesk_a2x_finish(ptr)

    @property
    def total(self) -> Optional[int]:
        """Frames the utterance yields, once finished; None before."""
        with self._held() as ptr:
            t = lib().vesk_a2x_total(ptr)
        return None if t < 0 else int(t)

    def avail(self) -> int:
        """Frames that can be pulled now."""
        with self._held() as ptr:
            return int(lib().vesk_a2x_avail(ptr))

    def pull(self, max_frames: Optional[int] = None) -> KeypointFrames:
        """Up to max_frames (default: all available) keypoint frames."""
        with self._held() as ptr:
            n = max(0, lib().vesk_a2x_avail(ptr) if max_frames is None else int(max_frames))
            si, xs, xd = _frames(n)
            wn = np.empty(n, np.float32)
            got = lib().vesk_a2x_pull_wn(ptr, _addr(si), _addr(xs), _addr(xd), _addr(wn), n) if n else 0
            if got == 0:
                self._raise_pending()
        return KeypointFrames(si[:got], xs[:got], xd[:got], wn[:got] if self.has_width else None)

    def reset(self, start: int = -1, direction: int = 1, wrap: bool = True) -> int:
        """Starts the next utterance, target rows walking from `start` (< 0: where the walk stood) in
        `direction`, wrapping or bouncing at the ends. Returns the direction."""
        with self._held() as ptr:
            d = lib().vesk_a2x_reset(ptr, int(start), int(direction), 1 if wrap else 0)
            if d == 0:
                self._raise("vesk_a2x_reset failed")
        return int(d)

    def deltas(self, audio: ArrayLike) -> KeypointFrames:
        """Whole-run keypoint offsets of one utterance with the 8 s encoder: xd holds the offsets
        (ceil(n / 640) frames); si and xs are empty."""
        a = to_float32(audio)
        n = -(-a.size // 640)
        out = np.empty((n, 21, 3), np.float32)
        wn = np.empty(n, np.float32)
        with self._held() as ptr:
            if self.has_width:
                r = lib().vesk_a2x_deltas_wn(ptr, _addr(a), int(a.size), _addr(out), _addr(wn), n)
            else:
                r = lib().vesk_a2x_deltas(ptr, _addr(a), int(a.size), _addr(out), n)
            if r < 0:
                self._raise("vesk_a2x_deltas failed")
        empty_i, empty_f = np.empty(0, np.int32), np.empty((0, 21, 3), np.float32)
        return KeypointFrames(empty_i, empty_f, out[:r], wn[:r] if self.has_width else None)


class Motion(_Model):
    """An audio-to-motion session on a motion model directory. It computes lazily: push only stores
    audio; avail(), pull() and finish() do the work."""

    _error = MotionError
    _query = "vesk_motion_last_error"

    def __init__(self, motion_dir: Union[str, os.PathLike], threads: int = 0, ep: Optional[str] = None) -> None:
        ptr = lib().vesk_motion_create(os.fsencode(motion_dir), int(threads), encode(ep))
        if not ptr:
            self._raise("vesk_motion_create failed")
        self._open(ptr, lib().vesk_motion_destroy, "motion session")
        self.nt: int = lib().vesk_motion_nt(ptr)

    def push(self, audio: ArrayLike) -> None:
        a = to_float32(audio)
        with self._held() as ptr:
            if lib().vesk_motion_push(ptr, _addr(a), int(a.size)) != 1:
                self._raise("vesk_motion_push: refused (after finish?)")

    def finish(self) -> None:
        """Marks the end of the audio and computes every remaining frame."""
        with self._held() as ptr:
            if lib().vesk_motion_finish(ptr) != 1:
                self._raise("vesk_motion_finish failed")

    def avail(self) -> int:
        with self._held() as ptr:
            n = lib().vesk_motion_avail(ptr)
            if n == 0:
                self._raise_pending()
        return int(n)

    def pull(self, max_frames: Optional[int] = None) -> KeypointFrames:
        """Up to max_frames (default: all available) keypoint frames."""
        n = self.avail() if max_frames is None else int(max_frames)
        si, xs, xd = _frames(max(n, 0))
        if n <= 0:
            return KeypointFrames(si, xs, xd)
        with self._held() as ptr:
            got = lib().vesk_motion_pull(ptr, _addr(si), _addr(xs), _addr(xd), n)
            if got == 0:
                self._raise_pending()
        return KeypointFrames(si[:got], xs[:got], xd[:got])

    def reset(self, start: int = 0, direction: int = 1, wrap: bool = True) -> None:
        """Clears the stream for a new utterance."""
        with self._held() as ptr:
            lib().vesk_motion_reset(ptr, int(start), int(direction), 1 if wrap else 0)

    def set_eager(self, eager: int) -> None:
        with self._held() as ptr:
            lib().vesk_motion_set_eager(ptr, int(eager))

    @property
    def total(self) -> Optional[int]:
        """Frames in all, once finished; None before."""
        with self._held() as ptr:
            t = lib().vesk_motion_total(ptr)
        return None if t < 0 else int(t)
