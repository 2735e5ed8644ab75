"""Finding libvesk_core.so, the C prototypes, errors and the guard every native handle sits behind.

Only the C interface of the library is used (vesk.h, vesk_a2x.h); nothing here knows a C++ symbol.
ctypes releases the GIL for the length of every call, so a call that waits in the library (a render,
a session's destroy) never stalls the interpreter's other threads.
"""

from __future__ import annotations

import ctypes
import os
import threading
from ctypes import POINTER, c_char_p, c_double, c_float, c_int, c_int32, c_int64, c_size_t, c_void_p
from typing import Callable, List, Optional, TypeVar

LIBRARY_NAME = "libvesk_core.so"


class VeskError(RuntimeError):
    """A failure of the library or of the binding. The message is the library's last-error text."""


class LibraryNotFoundError(VeskError):
    """libvesk_core.so was found in none of the places the binding looks."""


class ClosedError(VeskError):
    """A call on a handle that was closed (by close(), a with block, or its owner closing first)."""


class ContextError(VeskError):
    """Bundle, render context and single-frame calls (vesk_last_error)."""


class SessionError(VeskError):
    """Utterance session calls (vesk_utt_last_error)."""


class StreamError(VeskError):
    """Whole-run stream calls (vesk_stream_last_error)."""


class A2XError(VeskError):
    """Streaming audio-to-keypoint calls (vesk_a2x_last_error)."""


class MotionError(VeskError):
    """Audio-to-motion calls (vesk_motion_last_error)."""


class vesk_utt_opts(ctypes.Structure):
    _fields_ = [
        ("motion_dir", c_char_p),
        ("threads", c_int32),
        ("motion_ep", c_char_p),
        ("steady_model", c_char_p),
        ("eager", c_int32),
        ("end_silence_s", c_double),
        ("ramp_frames", c_int32),
        ("interrupt_ramp_frames", c_int32),
    ]


class vesk_utt_frame_info(ctypes.Structure):
    _fields_ = [("seq", c_int64), ("kind", c_int32), ("si", c_int32), ("index", c_int32)]


class vesk_utt_stats(ctypes.Structure):
    _fields_ = [
        ("frames", c_int64),
        ("speech_frames", c_int64),
        ("utterances", c_int64),
        ("first_frame_ms", c_double),
        ("render_ms", c_double),
        ("state", c_int32),
    ]


STREAM_FRAME_FN = ctypes.CFUNCTYPE(None, c_void_p, c_int, c_void_p, c_int, c_int)

_P = c_void_p  # every handle and buffer crosses as a plain address

# name: (result, arguments)
_PROTOTYPES = {
    "vesk_last_error": (c_char_p, []),
    "vesk_host_kp_rows": (c_int, []),
    "vesk_bundle_resolve_handle": (c_int, [c_char_p, c_char_p, c_size_t]),
    "vesk_bundle_resolve_member": (c_int, [c_char_p, c_char_p, c_char_p, c_size_t]),
    "vesk_create": (_P, [c_char_p, c_char_p, c_int, c_char_p]),
    "vesk_destroy": (None, [_P]),
    "vesk_nt": (c_int, [_P]),
    "vesk_width": (c_int, [_P]),
    "vesk_height": (c_int, [_P]),
    "vesk_crop": (c_int, [_P]),
    "vesk_drive_frames": (c_int, [_P]),
    "vesk_render_kp_crop": (_P, [_P, c_int, _P, _P]),
    "vesk_render_drive_crop": (_P, [_P, c_int]),
    "vesk_paste_crop": (c_int, [_P, c_int, _P, _P, c_size_t]),
    "vesk_paste_last": (_P, [_P, c_int]),
    "vesk_render_kp_rgba": (c_int, [_P, c_int, _P, _P, _P, c_size_t]),
    "vesk_render_drive_rgba": (c_int, [_P, c_int, _P, c_size_t]),
    "vesk_target_frame": (_P, [_P, c_int]),
    "vesk_utt_create": (_P, [_P, POINTER(vesk_utt_opts)]),
    "vesk_utt_destroy": (None, [_P]),
    "vesk_utt_last_error": (c_char_p, []),
    "vesk_utt_ready": (c_int, [_P]),
    "vesk_utt_push_audio": (c_int, [_P, _P, c_int]),
    "vesk_utt_end_utterance": (None, [_P]),
    "vesk_utt_interrupt": (None, [_P]),
    "vesk_utt_frames_available": (c_int, [_P]),
    "vesk_utt_pull_frame": (c_int, [_P, _P, c_size_t, _P]),
    "vesk_utt_get_stats": (None, [_P, POINTER(vesk_utt_stats)]),
    "vesk_utt_render_status": (c_int, [_P, c_char_p, c_int, POINTER(c_int64)]),
    "vesk_stream_create": (_P, [c_char_p, c_char_p, c_int, c_int, c_float]),
    "vesk_stream_run": (c_int, [_P, _P, c_int, STREAM_FRAME_FN, _P]),
    "vesk_stream_width": (c_int, [_P]),
    "vesk_stream_height": (c_int, [_P]),
    "vesk_stream_destroy": (None, [_P]),
    "vesk_stream_last_error": (c_char_p, []),
    "vesk_a2x_create": (_P, [c_char_p, c_int]),
    "vesk_a2x_destroy": (None, [_P]),
    "vesk_a2x_last_error": (c_char_p, []),
    "vesk_a2x_push": (c_int, [_P, _P, c_int]),
    "vesk_a2x_finish": (None, [_P]),
    "vesk_a2x_total": (c_int, [_P]),
    "vesk_a2x_avail": (c_int, [_P]),
    "vesk_a2x_pull_wn": (c_int, [_P, _P, _P, _P, _P, c_int]),
    "vesk_a2x_reset": (c_int, [_P, c_int, c_int, c_int]),
    "vesk_a2x_nt": (c_int, [_P]),
    "vesk_a2x_width": (c_int, [_P]),
    "vesk_a2x_deltas": (c_int, [_P, _P, c_int, _P, c_int]),
    "vesk_a2x_deltas_wn": (c_int, [_P, _P, c_int, _P, _P, c_int]),
    "vesk_motion_create": (_P, [c_char_p, c_int, c_char_p]),
    "vesk_motion_destroy": (None, [_P]),
    "vesk_motion_last_error": (c_char_p, []),
    "vesk_motion_push": (c_int, [_P, _P, c_int]),
    "vesk_motion_finish": (c_int, [_P]),
    "vesk_motion_avail": (c_int, [_P]),
    "vesk_motion_pull": (c_int, [_P, _P, _P, _P, c_int]),
    "vesk_motion_reset": (None, [_P, c_int, c_int, c_int]),
    "vesk_motion_set_eager": (None, [_P, c_int]),
    "vesk_motion_total": (c_int, [_P]),
    "vesk_motion_nt": (c_int, [_P]),
}


def _build_tree_candidates() -> List[str]:
    here = os.path.dirname(os.path.abspath(__file__))
    out = [os.path.join(here, "..", "..", "build", "release", LIBRARY_NAME)]
    try:  # an installed copy remembers the source tree it was installed from
        from ._build_tree import BUILD_TREE  # type: ignore[import-not-found]

        out.append(os.path.join(BUILD_TREE, LIBRARY_NAME))
    except ImportError:
        pass
    return [os.path.normpath(p) for p in out]


def library_path() -> str:
    """The libvesk_core.so the binding loads: $VESK_LIBRARY, else the copy beside this package, else
    the default build tree (build/release of the source tree). Raises LibraryNotFoundError naming all
    three when none is there."""
    env = os.environ.get("VESK_LIBRARY", "")
    if env:
        if os.path.isfile(env):
            return env
        raise LibraryNotFoundError(f"VESK_LIBRARY names {env}, which is not a file")
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)
    if os.path.isfile(beside):
        return beside
    tree = _build_tree_candidates()
    for p in tree:
        if os.path.isfile(p):
            return p
    raise LibraryNotFoundError(
        f"{LIBRARY_NAME} not found: VESK_LIBRARY is not set, there is none beside the package ({beside}) "
        f"and none in the default build tree ({' or '.join(tree)}); build it with "
        "`cmake --preset release && cmake --build --preset release --target vesk_core` or set VESK_LIBRARY"
    )


_lib: Optional[ctypes.CDLL] = None
_lib_lock = threading.Lock()


def lib() -> ctypes.CDLL:
    """The loaded library, loaded on first use with every prototype declared."""
    global _lib
    if _lib is not None:
        return _lib
    with _lib_lock:
        if _lib is None:
            path = library_path()
            try:
                handle = ctypes.CDLL(path)
            except OSError as e:
                raise LibraryNotFoundError(f"cannot load {path}: {e}") from e
            for name, (res, args) in _PROTOTYPES.items():
                fn = getattr(handle, name)
                fn.restype = res
                fn.argtypes = args
            _lib = handle
    return _lib


def text(raw: Optional[bytes]) -> str:
    return raw.decode("utf-8", "replace") if raw else ""


def fail(cls: type, query: str, fallback: str) -> VeskError:
    """The exception for a failed call: the family's last-error text (read on the failing thread,
    before any other call), or `fallback` when the call stores none."""
    msg = text(getattr(lib(), query)())
    return cls(msg or fallback)


def encode(s: Optional[str]) -> Optional[bytes]:
    return None if s is None else os.fsencode(s)


class Native:
    """One native handle and its destroy call.

    Calls bracket themselves with enter()/leave(); close() marks the handle closed, waits for the calls
    in flight on other threads to return, closes the handles that depend on this one (a session on a
    context) and only then destroys it, once. So closing from any thread, in any order, or from the
    garbage collector never frees a handle under a running call or before its dependants.
    """

    __slots__ = ("ptr", "name", "_destroy", "_cond", "_busy", "_closed", "dependants", "__weakref__")

    def __init__(self, ptr: int, destroy: Callable[[int], None], name: str) -> None:
        self.ptr = ptr
        self.name = name
        self._destroy = destroy
        self._cond = threading.Condition()
        self._busy = 0
        self._closed = False
        self.dependants: List["Native"] = []

    @property
    def closed(self) -> bool:
        return self._closed

    def enter(self) -> int:
        with self._cond:
            if self._closed:
                raise ClosedError(f"{self.name} is closed")
            self._busy += 1
            return self.ptr

    def leave(self) -> None:
        with self._cond:
            self._busy -= 1
            if self._busy == 0:
                self._cond.notify_all()

    def open_dependants(self) -> List["Native"]:
        with self._cond:
            self.dependants = [d for d in self.dependants if not d.closed]
            return list(self.dependants)

    def close(self) -> None:
        for d in self.open_dependants():
            d.close()
        with self._cond:
            if self._closed:
                return
            self._closed = True
            while self._busy:
                self._cond.wait()
            ptr, self.ptr = self.ptr, 0
        self._destroy(ptr)


_H = TypeVar("_H", bound="Handle")


class Handle:
    """What every object over one Native handle shares: close(), `closed` and the context-manager
    protocol (leaving the with-block closes it)."""

    _native: Native

    def close(self) -> None:
        self._native.close()

    @property
    def closed(self) -> bool:
        return self._native.closed

    def __enter__(self: _H) -> _H:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
