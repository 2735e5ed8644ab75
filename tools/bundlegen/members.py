"""Bundle member formats: binary tables, the manifest, the videos, the IMX v2 container."""

from __future__ import annotations

import json
import os
import shutil
import struct
import subprocess

import numpy as np

FORMAT = "vesk-bundle-v0"
POOLED_HALVES = 64 * 32 * 32
FS_RED_HALVES = 64 * 64 * 64

# Legacy member name -> unified-layout name.
ALIASES = {
    "P.f16": "source_frames.f16",
    "P_hevc.mov": "source_frames.hevc",
    "a2x_enc_stream.onnx": "audio_motion_encoder.onnx",
    "a2x_dec.onnx": "audio_motion_decoder.onnx",
    "M.f32": "paste_transform.f32",
    "mask_512.u8": "paste_mask.u8",
    "pooled64.f16": "pooled_features.f16",
    "fs_red.f16": "feature_synth.f16",
    "xs_target.bin": "target_keypoints.bin",
}
_DRIVE = {"xs": "source_keypoints", "xd": "driven_keypoints", "si": "source_index"}


def unifiedName(name: str) -> str:
    """The unified-layout alias of a legacy member name (the name itself when it has none)."""
    if name in ALIASES:
        return ALIASES[name]
    if name.startswith("model_b") and name.endswith(".onnx") and len(name) > len("model_b.onnx"):
        x = name[len("model_b"):-len(".onnx")]
        head, sep, tail = x.partition("_")
        return "render_model.batch" + head + ("." + tail if tail else "") + ".onnx"
    if name.startswith("drive/"):
        rest = name[len("drive/"):]
        dot = rest.find(".")
        stem, ext = (rest, "") if dot < 0 else (rest[:dot], rest[dot:])
        return "idle_loop/" + _DRIVE.get(stem, stem) + ext
    return name


class Writer:
    """Writes members into a bundle directory under legacy or unified names."""

    def __init__(self, root: str, unified: bool):
        self.root = root
        self.unified = unified
        self.written: list[str] = []

    def name(self, legacy: str) -> str:
        return unifiedName(legacy) if self.unified else legacy

    def path(self, legacy: str) -> str:
        p = os.path.join(self.root, self.name(legacy))
        os.makedirs(os.path.dirname(p), exist_ok=True)
        self.written.append(self.name(legacy))
        return p

    def bytes(self, legacy: str, data: bytes):
        with open(self.path(legacy), "wb") as f:
            f.write(data)

    def array(self, legacy: str, arr: np.ndarray, dtype: str):
        self.bytes(legacy, np.ascontiguousarray(arr, dtype=np.dtype(dtype)).tobytes())


# Half-precision value of each byte level, i / 255 rounded to nearest even: the table the HEVC prior
# decoder uses, so a raw P.f16 and a decoded P_hevc.mov hold the same numbers up to the codec.
UNIT_TABLE = (np.arange(256, dtype=np.float32) / np.float32(255.0)).astype("<f2")


def priorFrame(crop_rgb: np.ndarray) -> np.ndarray:
    """crop x crop x 3 bytes -> 3 x crop x crop halves (R, G, B planes)."""
    return UNIT_TABLE[crop_rgb.transpose(2, 0, 1)]


def pooledFeatures(crop_rgb: np.ndarray, proj: np.ndarray) -> np.ndarray:
    """64 x 32 x 32 appearance features: the crop pooled to 32 x 32 and projected to 64 channels."""
    s = crop_rgb.shape[0]
    cell = s // 32
    img = crop_rgb[: cell * 32, : cell * 32].reshape(32, cell, 32, cell, 3)
    pooled = img.sum(axis=(1, 3), dtype=np.uint32).astype(np.float32) / np.float32(255.0 * cell * cell)  # 32 x 32 x 3
    feats = np.concatenate([pooled, np.ones((32, 32, 1), np.float32)], axis=2) @ proj.T  # 32 x 32 x 64
    return np.tanh(feats).transpose(2, 0, 1).astype("<f2")


def fsRed(crop_rgb: np.ndarray, block: int) -> np.ndarray:
    """64 x 64 x 64 halves: the crop, box-filtered to 64 block pixels a side, in space-to-depth
    order (channel c b^2 + i b + j holds colour c at offset (i, j) of each block, DepthToSpace CRD);
    channels from 3 b^2 on are zero."""
    s = crop_rgb.shape[0]
    res = 64 * block
    if s % res:
        raise ValueError(f"fs_red needs a crop that is a multiple of {res}, not {s}")
    f = s // res
    img = crop_rgb.astype(np.float32).reshape(res, f, res, f, 3).mean(axis=(1, 3)) / 255.0  # res x res x 3
    out = np.zeros((64, 64, 64), np.float32)
    t = img.reshape(64, block, 64, block, 3).transpose(4, 1, 3, 0, 2)  # c, i, j, h, w
    out[: 3 * block * block] = t.reshape(3 * block * block, 64, 64)
    return out.astype("<f2")


def featherMask(crop: int) -> np.ndarray:
    """crop x crop bytes: 255 over the face, falling smoothly to 0 at the crop border."""
    idx = np.arange(crop, dtype=np.float64)
    edge = np.minimum(idx, crop - 1 - idx) / (0.14 * crop)
    t = np.clip(np.minimum(edge[None, :], edge[:, None]), 0.0, 1.0)
    a = t * t * (3.0 - 2.0 * t)
    return np.rint(a * 255.0).astype(np.uint8)


def manifest(fields: dict) -> str:
    return json.dumps(fields, indent=2) + "\n"


class Ffmpeg:
    """One ffmpeg encoder fed raw RGB24 frames on its standard input."""

    live: list["Ffmpeg"] = []  # encoders not yet closed, for clean-up after a failure

    def __init__(self, args: list[str], width: int, height: int):
        cmd = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
               "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{width}x{height}", "-r", "25", "-i", "pipe:0"]
        self.proc = subprocess.Popen(cmd + args, stdin=subprocess.PIPE, stderr=subprocess.PIPE)
        self.args = args
        Ffmpeg.live.append(self)

    def put(self, rgb: np.ndarray):
        try:
            self.proc.stdin.write(np.ascontiguousarray(rgb).tobytes())
        except BrokenPipeError:
            self.close()  # raises with ffmpeg's own message
            raise

    def close(self):
        if self in Ffmpeg.live:
            Ffmpeg.live.remove(self)
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        err = self.proc.stderr.read().decode(errors="replace")
        if self.proc.wait() != 0:
            raise RuntimeError(f"ffmpeg failed ({' '.join(self.args)}): {err.strip()}")

    def kill(self):
        if self in Ffmpeg.live:
            Ffmpeg.live.remove(self)
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def _need(tool: str):
    if shutil.which(tool) is None:
        raise RuntimeError(f"{tool} is not on PATH; the video members are encoded with it")


# Deterministic output: no encoder or muxer version strings, fixed colour tagging (BT.601, limited
# range: the matrix both frame decoders convert with).
_BITEXACT = ["-map_metadata", "-1", "-fflags", "+bitexact", "-flags:v", "+bitexact",
             "-colorspace", "smpte170m", "-color_primaries", "smpte170m", "-color_trc", "smpte170m",
             "-color_range", "tv"]
_TO_601 = ["-vf", "scale=out_color_matrix=bt601:out_range=tv:flags=bicubic+accurate_rnd+full_chroma_int"]


def driverMp4(path: str, width: int, height: int) -> Ffmpeg:
    """H.264 yuv420p driver video."""
    _need("ffmpeg")
    return Ffmpeg(_TO_601 + ["-c:v", "libx264", "-preset", "veryfast", "-crf", "16", "-pix_fmt", "yuv420p",
                             "-threads", "2", "-x264-params", "log-level=error"] + _BITEXACT +
                  ["-movflags", "+faststart", "-f", "mp4", path], width, height)


def driverJpegs(directory: str, width: int, height: int) -> Ffmpeg:
    """frame_%06d.jpg from 0."""
    _need("ffmpeg")
    os.makedirs(directory, exist_ok=True)
    return Ffmpeg(["-c:v", "mjpeg", "-q:v", "2", "-pix_fmt", "yuvj444p", "-start_number", "0"] + _BITEXACT[:6] +
                  ["-f", "image2", os.path.join(directory, "frame_%06d.jpg")], width, height)


def priorHevc(path: str, crop: int) -> Ffmpeg:
    """HEVC 4:4:4 8-bit (yuv444p) warp prior, one frame per source frame."""
    _need("ffmpeg")
    return Ffmpeg(_TO_601 + ["-c:v", "libx265", "-preset", "ultrafast", "-pix_fmt", "yuv444p",
                             "-x265-params", "log-level=error:crf=8:pools=2:frame-threads=1",
                             "-tag:v", "hvc1"] + _BITEXACT + ["-f", "mov", path], crop, crop)


def packImx(directory: str, out_path: str):
    """IMX v2 container of every file under directory, in sorted member-name order, uncompressed:
    the table of contents first, the payloads after it."""
    members = []
    for dirpath, _, files in os.walk(directory):
        for f in files:
            full = os.path.join(dirpath, f)
            name = os.path.relpath(full, directory).replace(os.sep, "/")
            members.append((name.encode(), full, os.path.getsize(full)))
    members.sort(key=lambda m: m[0])
    if len(members) > 0xFFFF:
        raise ValueError("too many members for one container")
    toc = sum(2 + len(n) + 16 for n, _, _ in members)
    head = bytearray(b"IMX\0" + struct.pack("<HH", 2, len(members)))
    off = 8 + toc
    for n, _, size in members:
        head += struct.pack("<H", len(n)) + n + struct.pack("<QQ", off, size)
        off += size
    tmp = out_path + ".part"
    with open(tmp, "wb") as out:
        out.write(head)
        for _, full, _ in members:
            with open(full, "rb") as src:
                shutil.copyfileobj(src, out, 1 << 20)
    os.replace(tmp, out_path)
