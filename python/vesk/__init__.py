"""vesk: a talking-head engine's native core, from Python.

Open an identity bundle with Context, open a live utterance Session on it, push 16 kHz mono speech
and pull finished RGB24 frames at 25 per second:

    with vesk.Context("bundle") as ctx, vesk.Session(ctx) as s:
        s.wait_ready()
        s.push(pcm16)          # as the speech arrives
        s.end()
        for frame, info in s.frames(realtime=True): ...

Everything goes through the library's C interface (libvesk_core.so, found through $VESK_LIBRARY,
then beside this package, then the source tree's build/release). Every failure is a VeskError
subclass carrying the library's own text. Frames handed out are the caller's own arrays unless a
call says it returns a view.
"""

from ._core import (
    FPS,
    SAMPLE_RATE,
    SAMPLES_PER_FRAME,
    Context,
    FrameInfo,
    FrameKind,
    RenderStatus,
    Session,
    SessionState,
    Stats,
    Stream,
    host_kp_rows,
    resolve_bundle,
    resolve_member,
    stream,
    to_float32,
    to_pcm16,
)
from ._lib import (
    A2XError,
    ClosedError,
    ContextError,
    LibraryNotFoundError,
    MotionError,
    SessionError,
    StreamError,
    VeskError,
    library_path,
)
from .audio import A2X, KeypointFrames, Motion

__all__ = [
    "A2X",
    "A2XError",
    "ClosedError",
    "Context",
    "ContextError",
    "FPS",
    "FrameInfo",
    "FrameKind",
    "KeypointFrames",
    "LibraryNotFoundError",
    "Motion",
    "MotionError",
    "RenderStatus",
    "SAMPLE_RATE",
    "SAMPLES_PER_FRAME",
    "Session",
    "SessionError",
    "SessionState",
    "Stats",
    "Stream",
    "StreamError",
    "VeskError",
    "host_kp_rows",
    "library_path",
    "resolve_bundle",
    "resolve_member",
    "stream",
    "to_float32",
    "to_pcm16",
]
