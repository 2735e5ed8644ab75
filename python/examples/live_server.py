#!/usr/bin/python3
"""A live talking head in the browser: an aiohttp server that streams an utterance session over a
WebSocket, JPEG frames and the PCM under them, to a page with a text box that speaks (espeak-ng)
and a button that interrupts.

    live_server.py BUNDLE [--host 127.0.0.1] [--port 8080] [--threads N]

One session serves every page open on the server; each page sees the same face. The session's
frames are pulled on a 25 fps clock on a worker thread (a pull copies the frame, which for 1080p
is worth keeping off the event loop); speech is pushed in 40 ms chunks on the same clock, as a
text-to-speech engine streaming in real time would.

WebSocket messages, server to page (binary, little-endian): b"J", frame kind (0 idle, 1 speech,
2 ramp), 2 bytes zero, uint32 sequence number, then the JPEG; b"A", 3 bytes zero, uint32 sequence
number, then the frame's 640 samples of 16 kHz mono int16 (silence for idle and ramp frames).
Page to server (text, JSON): {"say": "text"} or {"interrupt": true}.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import json
import os
import struct
import sys
import tempfile
import threading
from typing import Deque, Optional, Tuple

import av
import numpy as np
from aiohttp import WSMsgType, web

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vesk  # noqa: E402
from speak import read_speech  # noqa: E402

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>vesk live</title>
<style>body{font-family:sans-serif;margin:1em} img{max-width:100%;background:#222}
#bar{margin:.5em 0} #text{width:40em}</style></head>
<body>
<img id="face" alt="face">
<div id="bar"><input id="text" value="Hello, I am speaking from the browser.">
<button id="say">Say</button> <button id="stop">Interrupt</button></div>
<div id="status">connecting</div>
<script>
// What the page has seen, for people and for the headless test.
window.vesk = {frames: 0, speech: 0, ramp: 0, idle: 0, lastKind: -1, lastSeq: -1, distinct: 0, open: false};
const kinds = ["idle", "speech", "ramp"];
const seen = new Set();
const face = document.getElementById("face");
const ws = new WebSocket(`ws://${location.host}/ws`);
ws.binaryType = "arraybuffer";
let audio = null, playAt = 0, lastUrl = null;
function startAudio() {
  if (!audio) { audio = new AudioContext({sampleRate: 16000}); playAt = 0; }
  audio.resume();
}
ws.onopen = () => { window.vesk.open = true; document.getElementById("status").textContent = "live"; };
ws.onmessage = (ev) => {
  const view = new DataView(ev.data);
  const type = String.fromCharCode(view.getUint8(0));
  const seq = view.getUint32(4, true);
  if (type === "J") {
    const kind = view.getUint8(1);
    const jpeg = new Uint8Array(ev.data, 8);
    let h = 0;
    for (let i = 0; i < jpeg.length; i += 7) h = (h * 31 + jpeg[i]) | 0;
    seen.add(h + ":" + jpeg.length);
    const v = window.vesk;
    v.frames++; v[kinds[kind]]++; v.lastKind = kind; v.lastSeq = seq; v.distinct = seen.size;
    const url = URL.createObjectURL(new Blob([jpeg], {type: "image/jpeg"}));
    face.src = url;
    if (lastUrl) URL.revokeObjectURL(lastUrl);
    lastUrl = url;
    document.getElementById("status").textContent =
        `frame ${seq} ${kinds[kind]}, speech frames ${v.speech}`;
  } else if (type === "A" && audio && audio.state === "running") {
    const pcm = new Int16Array(ev.data.slice(8));
    const buf = audio.createBuffer(1, pcm.length, 16000);
    const ch = buf.getChannelData(0);
    for (let i = 0; i < pcm.length; i++) ch[i] = pcm[i] / 32768;
    const src = audio.createBufferSource();
    src.buffer = buf;
    src.connect(audio.destination);
    playAt = Math.max(playAt, audio.currentTime + 0.05);
    src.start(playAt);
    playAt += buf.duration;
  }
};
document.getElementById("say").onclick = () => {
  startAudio();
  ws.send(JSON.stringify({say: document.getElementById("text").value}));
};
document.getElementById("stop").onclick = () => ws.send(JSON.stringify({interrupt: true}));
</script></body></html>
"""


class Speaker:
    """The session and what it is saying: utterances waiting to be pushed, the one being pushed and
    the ones whose frames are coming, so that each speech frame can carry its own samples."""

    def __init__(self, bundle: str, threads: int) -> None:
        self.ctx = vesk.Context(bundle, threads=threads)
        self.session = vesk.Session(self.ctx, threads=threads)
        self.lock = threading.Lock()
        self.waiting: Deque[np.ndarray] = collections.deque()  # said, not yet pushed
        self.pushing: Optional[np.ndarray] = None
        self.pushed = 0
        self.spoken: Deque[np.ndarray] = collections.deque()  # pushed, frames to come
        self.current: Optional[np.ndarray] = None  # the utterance whose frames are coming out
        self.jpeg = av.CodecContext.create("mjpeg", "w")
        self.jpeg.width, self.jpeg.height = self.ctx.width, self.ctx.height
        self.jpeg.pix_fmt = "yuvj420p"
        self.jpeg.time_base = "1/25"
        self.jpeg.options = {"qscale": "4"}

    def say(self, pcm: np.ndarray) -> None:
        with self.lock:
            self.waiting.append(pcm)

    def interrupt(self) -> None:
        with self.lock:
            self.waiting.clear()
            self.pushing = None
            self.spoken.clear()
            self.current = None
            self.session.interrupt()

    def tick(self) -> Optional[Tuple[bytes, bytes]]:
        """One 25 fps tick, on a worker thread: the next 40 ms of speech in, the next frame out."""
        step = vesk.SAMPLES_PER_FRAME
        with self.lock:
            if self.pushing is None and self.waiting:
                self.pushing, self.pushed = self.waiting.popleft(), 0
                self.spoken.append(self.pushing)
            if self.pushing is not None:
                self.session.push(self.pushing[self.pushed : self.pushed + step])
                self.pushed += step
                if self.pushed >= self.pushing.size:
                    self.session.end()
                    self.pushing = None
            got = self.session.pull()
            if got is None:
                return None
            frame, info = got
            pcm = np.zeros(step, np.int16)
            if info.kind == vesk.FrameKind.SPEECH:
                if info.index == 0 and self.spoken:
                    self.current = self.spoken.popleft()
                if self.current is not None:
                    chunk = self.current[info.index * step : (info.index + 1) * step]
                    pcm[: chunk.size] = chunk
        vf = av.VideoFrame.from_ndarray(frame, format="rgb24").reformat(format="yuvj420p")
        jpeg = b"".join(bytes(p) for p in self.jpeg.encode(vf))
        seq = struct.pack("<I", info.seq & 0xFFFFFFFF)
        return b"J" + bytes([int(info.kind), 0, 0]) + seq + jpeg, b"A\0\0\0" + seq + pcm.tobytes()

    def close(self) -> None:
        self.session.close()
        self.ctx.close()


async def speech_of(text: str) -> np.ndarray:
    """The text spoken by espeak-ng, as 16 kHz mono int16."""
    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "say.wav")
        proc = await asyncio.create_subprocess_exec("espeak-ng", "-w", wav, "--", text)
        if await proc.wait() != 0:
            raise RuntimeError("espeak-ng failed")
        return await asyncio.get_running_loop().run_in_executor(None, read_speech, wav)


async def pump(app: web.Application) -> None:
    speaker: Speaker = app["speaker"]
    loop = asyncio.get_running_loop()
    tick = loop.time()
    while True:
        got = await loop.run_in_executor(None, speaker.tick)
        if got is not None:
            for ws in set(app["sockets"]):
                try:
                    for msg in got:
                        await ws.send_bytes(msg)
                except ConnectionResetError:
                    app["sockets"].discard(ws)
        tick += 1.0 / vesk.FPS
        await asyncio.sleep(max(0.0, tick - loop.time()))


async def page(_request: web.Request) -> web.Response:
    return web.Response(text=PAGE, content_type="text/html")


async def socket(request: web.Request) -> web.WebSocketResponse:
    ws = web.WebSocketResponse()
    await ws.prepare(request)
    app = request.app
    app["sockets"].add(ws)
    try:
        async for msg in ws:
            if msg.type != WSMsgType.TEXT:
                continue
            cmd = json.loads(msg.data)
            if cmd.get("interrupt"):
                app["speaker"].interrupt()
                print("live_server: interrupted", file=sys.stderr, flush=True)
            elif cmd.get("say"):
                pcm = await speech_of(str(cmd["say"]))
                app["speaker"].say(pcm)
                print(f"live_server: saying {pcm.size / vesk.SAMPLE_RATE:.2f} s", file=sys.stderr, flush=True)
    finally:
        app["sockets"].discard(ws)
    return ws


async def start(app: web.Application) -> None:
    await asyncio.get_running_loop().run_in_executor(None, app["speaker"].session.wait_ready)
    app["pump"] = asyncio.create_task(pump(app))


async def stop(app: web.Application) -> None:
    app["pump"].cancel()
    for ws in set(app["sockets"]):
        await ws.close()
    app["speaker"].close()


def make_app(bundle: str, threads: int = 0) -> web.Application:
    app = web.Application()
    app["speaker"] = Speaker(bundle, threads)
    app["sockets"] = set()
    app.router.add_get("/", page)
    app.router.add_get("/ws", socket)
    app.on_startup.append(start)
    app.on_shutdown.append(stop)
    return app


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("bundle")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=8080)
    p.add_argument("--threads", type=int, default=0)
    a = p.parse_args()
    web.run_app(make_app(a.bundle, a.threads), host=a.host, port=a.port, print=lambda m: print(m, flush=True))


if __name__ == "__main__":
    main()
