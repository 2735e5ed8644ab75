"""Render contexts, utterance sessions and the whole-run stream."""

from __future__ import annotations

import ctypes
import enum
import os
import queue
import threading
import time
import weakref
from dataclasses import dataclass
from typing import Any, Iterator, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._lib import (
    STREAM_FRAME_FN,
    ClosedError,
    ContextError,
    Handle,
    Native,
    SessionError,
    StreamError,
    VeskError,
    encode,
    fail,
    lib,
    text,
    vesk_utt_frame_info,
    vesk_utt_opts,
    vesk_utt_stats,
)

#: Samples per second of every audio input.
SAMPLE_RATE = 16000
#: Video frames per second of every frame output.
FPS = 25
#: Samples of audio per video frame.
SAMPLES_PER_FRAME = SAMPLE_RATE // FPS

ArrayLike = Union[npt.ArrayLike, bytes]


def host_kp_rows() -> int:
    """Rows of a keypoint set (21): a set is 21 x 3 floats."""
    return int(lib().vesk_host_kp_rows())


def resolve_bundle(path: Union[str, os.PathLike]) -> str:
    """The directory to use for a bundle path, unwrapping an IMX container once into its cache."""
    buf = ctypes.create_string_buffer(4096)
    if lib().vesk_bundle_resolve_handle(os.fsencode(path), buf, len(buf)) != 1:
        raise fail(ContextError, "vesk_last_error", f"vesk_bundle_resolve_handle: cannot resolve {os.fspath(path)}")
    return os.fsdecode(buf.value)


def resolve_member(bundle: Union[str, os.PathLike], member: str) -> Optional[str]:
    """The path of one bundle member (legacy name, then unified alias), or None when it does not exist."""
    buf = ctypes.create_string_buffer(4096)
    r = lib().vesk_bundle_resolve_member(os.fsencode(bundle), member.encode(), buf, len(buf))
    if r < 0:
        raise ContextError(f"vesk_bundle_resolve_member: cannot resolve {member} in {os.fspath(bundle)}")
    return os.fsdecode(buf.value) if r == 1 else None


def default_w2v(bundle_dir: str) -> None:
    """Points $W2V_ONNX at the bundle's shared speech encoder when it is unset and the bundle holds one,
    as the command line does, so that a bundle's own streaming audio model finds its encoder. The
    library reads the variable when a model is built, so this must happen before the session opens."""
    if not os.environ.get("W2V_ONNX"):
        w2v = os.path.join(bundle_dir, "w2v.onnx")
        if os.path.isfile(w2v):
            os.environ["W2V_ONNX"] = w2v


def to_pcm16(audio: ArrayLike) -> np.ndarray:
    """Mono audio as contiguous int16: int16 is taken as is, floats in [-1, 1] are scaled by 32768
    (the inverse of the library's 2^-15), rounded and clipped."""
    a = np.frombuffer(audio, dtype=np.int16) if isinstance(audio, (bytes, bytearray)) else np.asarray(audio)
    if a.ndim != 1:
        raise ValueError(f"audio must be one channel (a 1-D array), got shape {a.shape}")
    if a.dtype == np.int16:
        return np.ascontiguousarray(a)
    if a.dtype.kind == "f":
        return np.clip(np.rint(a.astype(np.float64) * 32768.0), -32768, 32767).astype(np.int16)
    raise TypeError(f"audio must be int16 or float samples, got {a.dtype}")


def to_float32(audio: ArrayLike) -> np.ndarray:
    """Mono audio as contiguous float32 in [-1, 1]: int16 is scaled by 2^-15, floats are taken as is."""
    a = np.frombuffer(audio, dtype=np.int16) if isinstance(audio, (bytes, bytearray)) else np.asarray(audio)
    if a.ndim != 1:
        raise ValueError(f"audio must be one channel (a 1-D array), got shape {a.shape}")
    if a.dtype == np.int16:
        return a.astype(np.float32) * np.float32(1.0 / 32768.0)
    if a.dtype.kind == "f":
        return np.ascontiguousarray(a, dtype=np.float32)
    raise TypeError(f"audio must be int16 or float samples, got {a.dtype}")


def _addr(a: np.ndarray) -> int:
    return a.__array_interface__["data"][0]


def _out(out: Optional[np.ndarray], shape: Tuple[int, ...], dtype: Any, what: str) -> np.ndarray:
    if out is None:
        return np.empty(shape, dtype)
    if out.shape != shape or out.dtype != dtype or not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError(f"{what}: out must be a writable C-contiguous {np.dtype(dtype)} array of shape {shape}")
    return out


class Context(Handle):
    """One opened identity bundle (a directory or an IMX container) rendering with one director model.

    Threads: the calls of one context never overlap; the binding serialises them, so any thread may
    call. While an utterance Session is open on the context the session owns it and every call here
    raises ContextError. close() (or leaving a with block, or the collector) closes any session still
    open on the context first, waiting for calls in flight on other threads.
    """

    def __init__(
        self, bundle: Union[str, os.PathLike], model: str = "b1", threads: int = 0, ep: Optional[str] = None
    ) -> None:
        ptr = lib().vesk_create(os.fsencode(bundle), model.encode(), int(threads), encode(ep))
        if not ptr:
            raise fail(ContextError, "vesk_last_error", "vesk_create failed")
        self._native = Native(ptr, lib().vesk_destroy, "render context")
        self._finalizer = weakref.finalize(self, self._native.close)
        self._lock = threading.Lock()
        L = lib()
        self.nt: int = L.vesk_nt(ptr)
        self.width: int = L.vesk_width(ptr)
        self.height: int = L.vesk_height(ptr)
        self.crop: int = L.vesk_crop(ptr)
        self.drive_frames: int = L.vesk_drive_frames(ptr)
        self.model = model
        self.bundle = resolve_bundle(bundle)

    # -- lifetime --------------------------------------------------------------------------------
    def close(self) -> None:
        """Closes the sessions on this context, then the context. Idempotent."""
        self._native.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{self.width}x{self.height}, crop {self.crop}, nt {self.nt}"
        return f"<vesk.Context {self.bundle!r} model={self.model!r} {state}>"

    # -- calls ------------------------------------------------------------------------------------
    def _enter(self) -> int:
        if self._native.open_dependants():
            raise ContextError("the render context is in use by an utterance session: close the session first")
        ptr = self._native.enter()
        self._lock.acquire()
        return ptr

    def _leave(self) -> None:
        self._lock.release()
        self._native.leave()

    def _kp(self, kp: npt.ArrayLike, what: str) -> np.ndarray:
        a = np.ascontiguousarray(kp, dtype=np.float32)
        if a.size != 63:
            raise ValueError(f"{what} must hold 21 x 3 floats, got {a.size}")
        return a

    def _crop_array(self, ptr: int, view: bool) -> np.ndarray:
        n = 3 * self.crop * self.crop
        a = np.ctypeslib.as_array((ctypes.c_float * n).from_address(ptr)).reshape(3, self.crop, self.crop)
        return a if view else a.copy()

    def render(self, si: int, kp_source: npt.ArrayLike, kp_driving: npt.ArrayLike, *, view: bool = False) -> np.ndarray:
        """Renders source frame si driven by kp_driving (kp_source: si's own keypoints, 21 x 3 floats
        each). Returns the face crop as (3, crop, crop) float32 planes (R, G, B) in 0..1, a copy. With
        view=True it is a read-only view of the context's own crop instead, with no copy: valid only
        until the next render on this context and never after close()."""
        xs = self._kp(kp_source, "kp_source")
        xd = self._kp(kp_driving, "kp_driving")
        ptr = self._enter()
        try:
            crop = lib().vesk_render_kp_crop(ptr, int(si), _addr(xs), _addr(xd))
            if not crop:
                raise fail(ContextError, "vesk_last_error", "vesk_render_kp_crop failed")
            a = self._crop_array(crop, view)
        finally:
            self._leave()
        if view:
            a.flags.writeable = False
        return a

    def render_drive(self, frame: int, *, view: bool = False) -> np.ndarray:
        """Renders frame `frame` of the idle drive loop; as render()."""
        ptr = self._enter()
        try:
            crop = lib().vesk_render_drive_crop(ptr, int(frame))
            if not crop:
                raise fail(ContextError, "vesk_last_error", "vesk_render_drive_crop failed")
            a = self._crop_array(crop, view)
        finally:
            self._leave()
        if view:
            a.flags.writeable = False
        return a

    def paste(self, si: int, crop: npt.ArrayLike, *, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Pastes a (3, crop, crop) float32 crop onto driver frame si: an (H, W, 3) uint8 frame, written
        into `out` when given (so that a loop allocates nothing)."""
        c = np.ascontiguousarray(crop, dtype=np.float32)
        if c.shape != (3, self.crop, self.crop):
            raise ValueError(f"crop must have shape (3, {self.crop}, {self.crop}), got {c.shape}")
        o = _out(out, (self.height, self.width, 3), np.uint8, "paste")
        ptr = self._enter()
        try:
            if lib().vesk_paste_crop(ptr, int(si), _addr(c), _addr(o), o.nbytes) != 1:
                raise fail(ContextError, "vesk_last_error", "vesk_paste_crop failed")
        finally:
            self._leave()
        return o

    def paste_last(self, si: int) -> np.ndarray:
        """Pastes the context's last rendered crop onto driver frame si: an (H, W, 3) uint8 copy."""
        return self._copy_frame(lib().vesk_paste_last, si, "vesk_paste_last: nothing rendered yet")

    def frame(self, si: int) -> np.ndarray:
        """The raw driver frame si as an (H, W, 3) uint8 copy."""
        return self._copy_frame(lib().vesk_target_frame, si, "vesk_target_frame failed")

    def _copy_frame(self, call, si: int, fallback: str) -> np.ndarray:
        # The library's frame buffer is reused by the context's next call, so it is copied while the
        # context is held.
        ptr = self._enter()
        try:
            f = call(ptr, int(si))
            if not f:
                raise fail(ContextError, "vesk_last_error", fallback)
            o = np.empty((self.height, self.width, 3), np.uint8)
            ctypes.memmove(_addr(o), f, o.nbytes)
        finally:
            self._leave()
        return o

    def render_rgba(
        self, si: int, kp_source: npt.ArrayLike, kp_driving: npt.ArrayLike, *, out: Optional[np.ndarray] = None
    ) -> np.ndarray:
        """render() and paste() in one call: an (H, W, 4) uint8 frame with alpha 255."""
        xs = self._kp(kp_source, "kp_source")
        xd = self._kp(kp_driving, "kp_driving")
        o = _out(out, (self.height, self.width, 4), np.uint8, "render_rgba")
        ptr = self._enter()
        try:
            if lib().vesk_render_kp_rgba(ptr, int(si), _addr(xs), _addr(xd), _addr(o), o.nbytes) != 1:
                raise fail(ContextError, "vesk_last_error", "vesk_render_kp_rgba failed")
        finally:
            self._leave()
        return o

    def render_drive_rgba(self, frame: int, *, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Frame `frame` of the idle drive loop rendered and pasted: an (H, W, 4) uint8 frame."""
        o = _out(out, (self.height, self.width, 4), np.uint8, "render_drive_rgba")
        ptr = self._enter()
        try:
            if lib().vesk_render_drive_rgba(ptr, int(frame), _addr(o), o.nbytes) != 1:
                raise fail(ContextError, "vesk_last_error", "vesk_render_drive_rgba failed")
        finally:
            self._leave()
        return o


class FrameKind(enum.IntEnum):
    IDLE = 0
    SPEECH = 1
    RAMP = 2


class SessionState(enum.IntEnum):
    IDLE = 0
    STARTING = 1
    SPEAKING = 2
    RAMP = 3


@dataclass(frozen=True)
class FrameInfo:
    seq: int  #: order in which the session queued its frames, from 0
    kind: FrameKind
    si: int  #: driver frame the frame was built on
    index: int  #: frame of the utterance for speech frames, else -1


@dataclass(frozen=True)
class Stats:
    frames: int  #: frames pulled
    speech_frames: int  #: pulled speech frames
    utterances: int  #: utterances whose first speech frame was queued
    first_frame_ms: float  #: latest utterance: first push to first speech frame queued
    render_ms: float  #: moving average of the per-frame render time
    state: SessionState


@dataclass(frozen=True)
class RenderStatus:
    degraded: bool  #: a render failure has degraded the session
    failures: int  #: render failures counted
    text: str  #: the last failure's description, "" when none


class Session(Handle):
    """An utterance session on a render context: push 16 kHz mono speech as it arrives, pull finished
    RGB24 frames of the canvas at 25 per second.

    The session keeps its context alive and owns it while open (the context's own calls raise until the
    session is closed). The audio model loads in the background: poll ready() or call wait_ready().

    Threads: push(), end(), interrupt(), pull() and the queries may come from any threads at once (a
    producer pushing on one, a display pulling on another); none of them waits on model work. close()
    may come from any thread: it marks the session closed, waits for the calls in flight to return and
    then stops the session's threads; calls after it raise ClosedError.
    """

    def __init__(
        self,
        ctx: Context,
        motion_dir: Optional[Union[str, os.PathLike]] = None,
        *,
        threads: int = 0,
        motion_ep: Optional[str] = None,
        steady_model: Optional[str] = None,
        eager: int = 0,
        end_silence_s: float = 0.0,
        ramp_frames: int = 0,
        interrupt_ramp_frames: int = 0,
    ) -> None:
        model_dir = os.fspath(motion_dir) if motion_dir is not None else ctx.bundle
        default_w2v(model_dir)
        opts = vesk_utt_opts(
            motion_dir=os.fsencode(model_dir),
            threads=int(threads),
            motion_ep=encode(motion_ep),
            steady_model=encode(steady_model),
            eager=int(eager),
            end_silence_s=float(end_silence_s),
            ramp_frames=int(ramp_frames),
            interrupt_ramp_frames=int(interrupt_ramp_frames),
        )
        cptr = ctx._enter()
        try:
            ptr = lib().vesk_utt_create(cptr, ctypes.byref(opts))
            if not ptr:
                raise fail(SessionError, "vesk_utt_last_error", "vesk_utt_create failed")
            self._native = Native(ptr, lib().vesk_utt_destroy, "utterance session")
            ctx._native.dependants.append(self._native)
        finally:
            ctx._leave()
        self._finalizer = weakref.finalize(self, self._native.close)
        self.context = ctx  # held so that the collector can never free the context first
        self.width = ctx.width
        self.height = ctx.height
        self.frame_bytes = ctx.width * ctx.height * 3
        self._spare: List[np.ndarray] = []

    # -- lifetime --------------------------------------------------------------------------------
    def close(self) -> None:
        """Stops and frees the session; the context becomes usable again. Idempotent."""
        self._native.close()

    def __repr__(self) -> str:
        return f"<vesk.Session {self.width}x{self.height}{' closed' if self.closed else ''}>"

    # -- audio in ---------------------------------------------------------------------------------
    def ready(self) -> bool:
        """True once the audio model has loaded; raises SessionError with the model's text when it
        failed to load (the session keeps delivering idle frames and discards pushed audio)."""
        ptr = self._native.enter()
        try:
            r = lib().vesk_utt_ready(ptr)
            if r < 0:
                raise fail(SessionError, "vesk_utt_last_error", "vesk_utt_ready: the audio model failed to load")
        finally:
            self._native.leave()
        return r == 1

    def wait_ready(self, timeout: float = 60.0) -> None:
        """Waits for ready(); TimeoutError after `timeout` seconds."""
        until = time.monotonic() + timeout
        while not self.ready():
            if time.monotonic() > until:
                raise TimeoutError(f"the audio model did not load within {timeout} s")
            time.sleep(0.005)

    def push(self, pcm: ArrayLike) -> None:
        """Appends mono 16 kHz speech: an int16 array (or its bytes), or floats in [-1, 1], converted.
        The samples are copied before the call returns."""
        a = to_pcm16(pcm)
        if a.size == 0:
            return
        if a.size > 0x7FFFFFFF:
            raise ValueError("push: more than 2^31 - 1 samples in one call")
        ptr = self._native.enter()
        try:
            if lib().vesk_utt_push_audio(ptr, _addr(a), int(a.size)) != 1:
                raise fail(SessionError, "vesk_utt_last_error", "vesk_utt_push_audio failed")
        finally:
            self._native.leave()

    def end(self) -> None:
        """The current utterance's audio is complete: its last frames and the ramp back follow."""
        ptr = self._native.enter()
        try:
            lib().vesk_utt_end_utterance(ptr)
        finally:
            self._native.leave()

    def interrupt(self) -> None:
        """Abandons the current utterance at once: frames not yet pulled are dropped."""
        ptr = self._native.enter()
        try:
            lib().vesk_utt_interrupt(ptr)
        finally:
            self._native.leave()

    # -- frames out -------------------------------------------------------------------------------
    @property
    def frames_available(self) -> int:
        ptr = self._native.enter()
        try:
            return int(lib().vesk_utt_frames_available(ptr))
        finally:
            self._native.leave()

    def pull(self, out: Optional[np.ndarray] = None) -> Optional[Tuple[np.ndarray, FrameInfo]]:
        """The next finished frame as ((H, W, 3) uint8, FrameInfo), or None when none is ready.

        The frame is copied once, by the library, into an array the caller owns: a new one, or `out`
        when given (a writable C-contiguous (H, W, 3) uint8 array), which saves the allocation in a
        loop that displays each frame before pulling the next."""
        if out is None:
            buf = self._spare.pop() if self._spare else np.empty((self.height, self.width, 3), np.uint8)
        else:
            buf = _out(out, (self.height, self.width, 3), np.uint8, "pull")
        info = vesk_utt_frame_info()
        ptr = self._native.enter()
        try:
            ok = lib().vesk_utt_pull_frame(ptr, _addr(buf), self.frame_bytes, ctypes.addressof(info))
        finally:
            self._native.leave()
        if ok != 1:
            if out is None:
                self._spare.append(buf)  # no frame: keep the buffer for the next try
            return None
        return buf, FrameInfo(int(info.seq), FrameKind(info.kind), int(info.si), int(info.index))

    def frames(
        self, *, timeout: Optional[float] = 10.0, realtime: bool = False
    ) -> Iterator[Tuple[np.ndarray, FrameInfo]]:
        """Every frame as it comes, as pull() gives them. With realtime=True one frame per 40 ms tick at
        most, as a display takes them. Ends when the session is closed; raises TimeoutError when no
        frame came for `timeout` seconds (None: wait for ever)."""
        last = time.monotonic()
        tick = last
        while not self.closed:
            try:
                got = self.pull()
            except ClosedError:
                return
            now = time.monotonic()
            if got is None:
                if timeout is not None and now - last > timeout:
                    raise TimeoutError(f"no frame for {timeout} s")
                time.sleep(0.001)
                continue
            last = now
            yield got
            if realtime:
                tick = max(tick + 1.0 / FPS, time.monotonic() - 1.0 / FPS)
                delay = tick - time.monotonic()
                if delay > 0:
                    time.sleep(delay)

    # -- state ------------------------------------------------------------------------------------
    @property
    def stats(self) -> Stats:
        s = vesk_utt_stats()
        ptr = self._native.enter()
        try:
            lib().vesk_utt_get_stats(ptr, ctypes.byref(s))
        finally:
            self._native.leave()
        return Stats(
            int(s.frames),
            int(s.speech_frames),
            int(s.utterances),
            float(s.first_frame_ms),
            float(s.render_ms),
            SessionState(s.state),
        )

    @property
    def render_status(self) -> RenderStatus:
        buf = ctypes.create_string_buffer(1024)
        failures = ctypes.c_int64(0)
        ptr = self._native.enter()
        try:
            r = lib().vesk_utt_render_status(ptr, buf, len(buf), ctypes.byref(failures))
        finally:
            self._native.leave()
        return RenderStatus(r < 0, int(failures.value), text(buf.value))


_END = object()


class Stream(Handle):
    """The whole-run stream of a bundle: one complete utterance in, every frame of it out, in order.

    The bundle holds fca_stream.onnx and its 8 s speech encoder. Threads: one run at a time; run()
    renders on a thread of its own and hands frames over through a short queue, so a slow consumer
    holds the renderer back rather than piling frames up. close() from any thread waits for a run in
    flight to finish (its remaining frames are dropped uncopied).
    """

    def __init__(
        self,
        bundle: Union[str, os.PathLike],
        *,
        encoder: Optional[Union[str, os.PathLike]] = None,
        threads: int = 0,
        skip: int = 0,
        scale: float = 1.0,
    ) -> None:
        bdir = resolve_bundle(bundle)
        enc = os.fspath(encoder) if encoder is not None else default_stream_encoder(bdir)
        ptr = lib().vesk_stream_create(os.fsencode(bdir), os.fsencode(enc), int(threads), int(skip), float(scale))
        if not ptr:
            raise fail(StreamError, "vesk_stream_last_error", "vesk_stream_create failed")
        self._native = Native(ptr, lib().vesk_stream_destroy, "stream")
        self._finalizer = weakref.finalize(self, self._native.close)
        self.width: int = lib().vesk_stream_width(ptr)
        self.height: int = lib().vesk_stream_height(ptr)
        self._cancel = threading.Event()

    def close(self) -> None:
        self._cancel.set()
        self._native.close()

    def run(self, audio: ArrayLike, *, depth: int = 4) -> Iterator[np.ndarray]:
        """Frames of `audio` (16 kHz mono, int16 or floats in [-1, 1]) as (H, W, 3) uint8 arrays, in
        order; each is the caller's own copy. The library cannot stop a run half way: closing the
        generator early waits for the run to finish, its remaining frames dropped uncopied."""
        samples = to_float32(audio)
        q: "queue.Queue[Any]" = queue.Queue(maxsize=max(1, depth))
        cancel = threading.Event()
        outcome: List[Any] = []

        def put(item: Any) -> None:
            while not (cancel.is_set() or self._cancel.is_set()):
                try:
                    q.put(item, timeout=0.05)
                    return
                except queue.Full:
                    continue

        def on_frame(_user: Optional[int], _index: int, frame: int, width: int, height: int) -> None:
            if cancel.is_set() or self._cancel.is_set():
                return
            a = np.empty((height, width, 3), np.uint8)
            ctypes.memmove(_addr(a), frame, a.nbytes)
            put(a)

        cb = STREAM_FRAME_FN(on_frame)

        def work(ptr: int) -> None:
            try:
                n = lib().vesk_stream_run(ptr, _addr(samples), int(samples.size), cb, None)
                # the family's text is per thread: read it here, on the thread that failed
                outcome.append(fail(StreamError, "vesk_stream_last_error", "vesk_stream_run failed") if n < 0 else n)
            except BaseException as e:  # a ctypes failure; carried to the consumer
                outcome.append(e)
            finally:
                self._native.leave()
                put(_END)

        def frames() -> Iterator[np.ndarray]:
            ptr = self._native.enter()
            t = threading.Thread(target=work, args=(ptr,), name="vesk-stream", daemon=True)
            t.start()
            try:
                while True:
                    item = q.get()
                    if item is _END:
                        break
                    yield item
                t.join()
                if outcome and isinstance(outcome[0], BaseException):
                    raise outcome[0]
            finally:
                cancel.set()
                t.join()

        return frames()


def default_stream_encoder(bundle_dir: str) -> str:
    """The whole-run stream's 8 s speech encoder, as the command line picks it: the bundle's
    audio_encoder_8s.onnx, else $W2V_ONNX, else the bundle's w2v.onnx."""
    own = os.path.join(bundle_dir, "audio_encoder_8s.onnx")
    if os.path.isfile(own):
        return own
    return os.environ.get("W2V_ONNX") or os.path.join(bundle_dir, "w2v.onnx")


def stream(
    bundle: Union[str, os.PathLike],
    audio: ArrayLike,
    *,
    encoder: Optional[Union[str, os.PathLike]] = None,
    threads: int = 0,
    skip: int = 0,
    scale: float = 1.0,
) -> Iterator[np.ndarray]:
    """Every frame of one utterance rendered by the whole-run stream, as (H, W, 3) uint8 arrays in
    order. The stream is opened at once (so a bad bundle raises here) and closed when the generator
    ends or is closed."""
    s = Stream(bundle, encoder=encoder, threads=threads, skip=skip, scale=scale)

    def frames() -> Iterator[np.ndarray]:
        try:
            yield from s.run(audio)
        finally:
            s.close()

    return frames()


__all__ = [
    "Context",
    "FrameInfo",
    "FrameKind",
    "FPS",
    "RenderStatus",
    "SAMPLE_RATE",
    "SAMPLES_PER_FRAME",
    "Session",
    "SessionState",
    "Stats",
    "Stream",
    "VeskError",
    "host_kp_rows",
    "resolve_bundle",
    "resolve_member",
    "stream",
]
