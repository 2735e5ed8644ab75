#!/usr/bin/python3
"""A bundle's identity speaking an audio file, written as an MP4 (H.264 + AAC) through PyAV.

    speak.py BUNDLE SPEECH.wav OUT.mp4 [--idle SECONDS] [--threads N] [--model KEY]

A live host: it opens an utterance session, plays a second of idle video, pushes the speech in
40 ms chunks in real time while pulling one frame per 25 fps tick, ends the utterance and pulls
until the ramp back to idle is out and another second of idle has passed. Every pulled frame is in
the video; each carries its own 40 ms of the speech (silence for idle and ramp frames), so the two
tracks are of equal length and in sync by construction. Any audio file PyAV decodes is read, averaged
to mono and resampled to 16 kHz.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from fractions import Fraction

import av
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import vesk  # noqa: E402  (the package beside this folder unless one is installed)


def read_speech(path: str) -> np.ndarray:
    """The file's first audio stream as 16 kHz mono int16."""
    resampler = av.AudioResampler(format="s16", layout="mono", rate=vesk.SAMPLE_RATE)
    chunks = []
    with av.open(path) as f:
        for frame in f.decode(audio=0):
            for out in resampler.resample(frame):
                chunks.append(out.to_ndarray().reshape(-1))
    for out in resampler.resample(None):
        chunks.append(out.to_ndarray().reshape(-1))
    if not chunks:
        raise SystemExit(f"speak.py: {path}: no audio")
    return np.concatenate(chunks).astype(np.int16)


class Mp4:
    """H.264 video at 25 fps and an AAC track, fed one frame and its 640 samples at a time."""

    def __init__(self, path: str, width: int, height: int) -> None:
        self.out = av.open(path, "w")
        self.video = self.out.add_stream("libx264", rate=vesk.FPS)
        self.video.width, self.video.height, self.video.pix_fmt = width, height, "yuv420p"
        self.video.options = {"preset": "veryfast", "crf": "20"}
        self.audio = self.out.add_stream("aac", rate=vesk.SAMPLE_RATE)
        self.audio.layout = "mono"
        self.audio.bit_rate = 48000
        self.frames = 0

    def add(self, rgb: np.ndarray, pcm: np.ndarray) -> None:
        vf = av.VideoFrame.from_ndarray(rgb, format="rgb24")
        vf.pts, vf.time_base = self.frames, Fraction(1, vesk.FPS)
        self.out.mux(self.video.encode(vf))
        af = av.AudioFrame.from_ndarray(pcm.reshape(1, -1), format="s16", layout="mono")
        af.sample_rate = vesk.SAMPLE_RATE
        af.pts, af.time_base = self.frames * vesk.SAMPLES_PER_FRAME, Fraction(1, vesk.SAMPLE_RATE)
        self.out.mux(self.audio.encode(af))
        self.frames += 1

    def close(self) -> None:
        self.out.mux(self.video.encode(None))
        self.out.mux(self.audio.encode(None))
        self.out.close()


def speak(bundle: str, speech_path: str, out_path: str, idle_s: float = 1.0, threads: int = 0, model: str = "b1") -> None:
    pcm = read_speech(speech_path)
    step = vesk.SAMPLES_PER_FRAME
    idle_frames = round(idle_s * vesk.FPS)
    silence = np.zeros(step, np.int16)
    t0 = time.monotonic()
    with vesk.Context(bundle, model=model, threads=threads) as ctx, vesk.Session(ctx, threads=threads) as session:
        session.wait_ready()
        mp4 = Mp4(out_path, ctx.width, ctx.height)
        pushed = 0  # samples of speech pushed
        ended = False
        idle_after = 0
        spoke = False
        late = 0
        tick = time.monotonic()
        try:
            while idle_after < idle_frames:
                # The speech arrives in real time once the idle lead is on screen.
                if mp4.frames >= idle_frames and pushed < pcm.size:
                    session.push(pcm[pushed : pushed + step])
                    pushed += step
                elif pushed >= pcm.size and not ended:
                    session.end()
                    ended = True
                    ended_at = time.monotonic()
                if ended and not spoke and time.monotonic() - ended_at > 10.0:
                    raise SystemExit("speak.py: no speech frame came within 10 s of the speech's end")
                got = session.pull()
                if got is None:
                    late += 1  # a display would show the last frame again
                else:
                    frame, info = got
                    if info.kind == vesk.FrameKind.SPEECH:
                        chunk = pcm[info.index * step : (info.index + 1) * step]
                        audio = np.concatenate([chunk, silence[: step - chunk.size]])
                    else:
                        audio = silence
                    mp4.add(frame, audio)
                    spoke = spoke or info.kind == vesk.FrameKind.SPEECH
                    idle_after = idle_after + 1 if spoke and info.kind == vesk.FrameKind.IDLE else 0
                tick += 1.0 / vesk.FPS
                time.sleep(max(0.0, tick - time.monotonic()))
        finally:
            mp4.close()
        st = session.stats
    print(
        f"speak.py: wrote {out_path}: {mp4.frames} frames {ctx.width}x{ctx.height}, {pcm.size / vesk.SAMPLE_RATE:.2f} s "
        f"of speech; speech frames {st.speech_frames}, late ticks {late}, first_frame_ms {st.first_frame_ms:.1f}, "
        f"render_ms {st.render_ms:.1f}; in {time.monotonic() - t0:.2f} s",
        file=sys.stderr,
    )


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("bundle")
    p.add_argument("speech")
    p.add_argument("out")
    p.add_argument("--idle", type=float, default=1.0, help="seconds of idle video before and after (default 1)")
    p.add_argument("--threads", type=int, default=0)
    p.add_argument("--model", default="b1")
    a = p.parse_args()
    try:
        speak(a.bundle, a.speech, a.out, a.idle, a.threads, a.model)
    except vesk.VeskError as e:
        raise SystemExit(f"speak.py: {e}")


if __name__ == "__main__":
    main()
