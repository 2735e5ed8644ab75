"""The teeth members of an identity: the reference bank of the face's own mouth and its lip outline.

tessera_bank.v1.mp4   one frame per donor: the stored band patch of a face crop, cut at the mouth
                      window, lossless H.264 RGB (libx264rgb, qp 0), decoded as gbrp
tessera_bank.v1.json  the sidecar: format, geometry stamp, n_donors, track_order, per-donor cent
                      and aperture, c_canon, codec and pixel format
lip_template.v1.json  the lip outline as a polygon on the compose canvas, with or without an
                      anchor-linear lip_map

The compose mask ("pi") is computed here as the engine computes it (tessera UnifiedPi): lip and
teeth-gate ellipses from the lip keypoints, smoothstep edges, bytes >= 128 for the centroid.

The bank is measured in the "v1" corpus frame, not in the director's "v2": v2 and v3 differ only in
pad_x, and widening an ellipse centred on the lips moves no centroid of a mouth that is symmetric
about its own centre, so a bank measured in v2 could never be told from one measured in v3 (the
engine's corpus match would rightly refuse it as ambiguous). v1's lower centre sets it apart by
about 3 % of the canvas.
"""

from __future__ import annotations

import json
import math

import numpy as np

import face
import members

BANK_FRAME = "v1"
CORPUS = {"v1": (0.05, 0.08, 0.015), "v2": (0.10, 0.08, 0.074), "v3": (0.14, 0.08, 0.074)}
TRACK = "tessera_bank.v1.mp4"
SIDECAR = "tessera_bank.v1.json"
LIP_TEMPLATE = "lip_template.v1.json"
STAMP_KEYS = ("canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h", "pad",
              "band_r0", "band_r1", "band_c0", "band_c1", "shift_margin")
TEMPLATE_ANCHORS = (17, 18, 19, 20)  # left corner, upper lip top, right corner, lower lip bottom


def _smooth(t: np.ndarray) -> np.ndarray:
    u = np.minimum(t, 1.0)
    return np.where(t >= 0.0, u * u * (3.0 - 2.0 * u), 0.0)


def _ellipse(n: int, cx: float, cy: float, rx: float, ry: float) -> np.ndarray:
    g = (np.arange(n) * 2.0 / (n - 1) - 1.0).astype(np.float32).astype(np.float64) if n > 1 else np.full(1, -1.0)
    s = math.sqrt(rx * ry) * 256.0
    d = np.sqrt(((g[None, :] - cx) / rx) ** 2 + ((g[:, None] - cy) / ry) ** 2)
    return _smooth((1.0 - d) * s / 10.0)


def piU8(kp: np.ndarray, n: int, geom: tuple[float, float, float], gate_scale: float,
         rows=face.LIP_ROWS) -> np.ndarray:
    """The compose mask bytes of one frame (n x n)."""
    lips = kp[list(rows), :2].astype(np.float64)
    mx, my = lips.mean(axis=0)
    ex, ey = np.abs(lips - [mx, my]).max(axis=0)
    pad_x, pad_y, down = (float(np.float32(v)) for v in geom)
    lip = _ellipse(n, mx, my + down, max(ex + pad_x, 0.1), max(ey + pad_y, 0.1))
    g = float(_smooth(np.array((ey - 0.02) / 0.01)))
    scale = float(np.float32(gate_scale))
    gate = _ellipse(n, mx, my, max(ex, 0.004) * scale, max(ey, 0.004) * scale) * g
    return np.rint(np.clip(np.maximum(lip, gate), 0.0, 1.0) * 255.0).astype(np.uint8)


def centroid(mask: np.ndarray) -> tuple[float, float]:
    ys, xs = np.nonzero(mask >= 128)
    if len(xs) == 0:
        raise ValueError("the compose mask is empty")
    return float(xs.mean()), float(ys.mean())


def canonicalCentroid(kps: np.ndarray, n: int, geom, gate_scale: float) -> tuple[float, float]:
    cs = np.array([centroid(piU8(kp, n, geom, gate_scale)) for kp in kps])
    return float(cs[:, 0].mean()), float(cs[:, 1].mean())


def checkCorpusMatch(kps: np.ndarray, n: int, gate_scale: float, c_canon: tuple[float, float]):
    """The engine's corpus match on these keypoints must name BANK_FRAME without doubt."""
    dist = {k: math.hypot(*np.subtract(canonicalCentroid(kps, n, g, gate_scale), c_canon)) for k, g in CORPUS.items()}
    ranked = sorted(dist, key=dist.get)
    if ranked[0] != BANK_FRAME or dist[ranked[0]] > 8.0 or dist[ranked[1]] - dist[ranked[0]] < 3.0 + 0.25:
        raise ValueError("the teeth bank's frame is not identifiable on this canvas: " +
                         ", ".join(f"{k}={dist[k]:.2f}px" for k in ranked) + " (use a larger --crop)")


def stamp(n: int, unit: float, mouth: tuple[float, float], pad: int, drop: float = 0.0) -> dict:
    """The mouth window around the mean mouth line (corner midpoint, canvas pixels) and the teeth
    band inside it, reaching `drop` face units further down for a bank of opened mouths. unit:
    canvas pixels per face unit. Each stored patch carries a margin of pad on every side, so a donor
    placed up to pad away from its recorded place still covers the whole band."""
    margin = pad
    ww = 4 * math.ceil(2 * (face.MOUTH_W + 0.08) * unit / 4)
    wh = 4 * math.ceil(2 * (face.LOWER_LIP_H + 0.06) * unit / 4)
    mouth_x, mouth_y = mouth
    x0 = int(round(mouth_x - ww / 2))
    y0 = int(round(mouth_y - wh / 2))
    if x0 - pad - margin < 0 or y0 - pad - margin < 0 or x0 + ww + pad + margin > n or y0 + wh + pad + margin > n:
        raise ValueError("the mouth window does not fit the compose canvas")
    gap = face.MOUTH_GAP + 0.025
    r0 = max(int(math.floor(mouth_y - gap * unit)) - y0, 0)
    r1 = min(int(math.ceil(mouth_y + (gap + drop) * unit)) - y0 + 1, wh)
    # Opened mouths are borrowed whole, out to the corners, so no seam crosses the parted lips.
    half = (1.0 if drop else 0.8) * face.MOUTH_W * unit
    c0 = max(int(math.floor(mouth_x - half)) - x0, 0)
    c1 = min(int(math.ceil(mouth_x + half)) - x0 + 1, ww)
    # Even patch sides keep every encoder and player happy.
    r1 -= (r1 - r0) % 2
    c1 -= (c1 - c0) % 2
    return dict(zip(STAMP_KEYS, (n, n, x0, y0, ww, wh, pad, r0, r1, c0, c1, margin)))


def patchOf(crop: np.ndarray, st: dict) -> np.ndarray:
    """The stored band patch of a crop at its recorded place (no shift)."""
    m = st["shift_margin"]
    r0 = st["window_y0"] + st["band_r0"] - m
    r1 = st["window_y0"] + st["band_r1"] + m
    c0 = st["window_x0"] + st["band_c0"] - m
    c1 = st["window_x0"] + st["band_c1"] + m
    return np.ascontiguousarray(crop[r0:r1, c0:c1])


def bankTrack(path: str, width: int, height: int) -> members.Ffmpeg:
    """Lossless H.264 RGB: every stored pixel decodes to the byte it was."""
    members._need("ffmpeg")
    return members.Ffmpeg(["-c:v", "libx264rgb", "-qp", "0", "-preset", "ultrafast", "-pix_fmt", "rgb24",
                           "-threads", "1", "-x264-params", "log-level=error"] + members._BITEXACT[:6] +
                          ["-f", "mp4", path], width, height)


def trackOrder(n: int, seed: int) -> list[int]:
    """A fixed shuffle, so a reader that ignores the order lands donors in the wrong slots."""
    order = np.random.default_rng(seed + 104729).permutation(n)
    return [int(v) for v in order]


class Bank:
    """Collects donor crops while the frames are drawn, then writes the track and the sidecar."""

    def __init__(self, crop: int, seed: int, gate_scale: float, drop: float = 0.0):
        self.n = crop
        self.drop = drop
        self.seed = seed
        self.gate_scale = gate_scale
        self.crops: list[np.ndarray] = []
        self.kps: list[np.ndarray] = []

    def add(self, crop_rgb: np.ndarray, kp: np.ndarray):
        self.crops.append(crop_rgb)
        self.kps.append(np.asarray(kp, np.float32))

    def write(self, root: str, xs_target: np.ndarray, unit: float) -> dict:
        """Writes the track and the sidecar under root; returns the stamp."""
        geom = CORPUS[BANK_FRAME]
        targets = np.asarray(xs_target, np.float32).reshape(-1, face.KP_ROWS, 3)
        c_canon = canonicalCentroid(targets, self.n, geom, self.gate_scale)
        checkCorpusMatch(targets, self.n, self.gate_scale, c_canon)
        cent = [centroid(piU8(kp, self.n, geom, self.gate_scale)) for kp in self.kps]
        # Donors and live frames sit within pad of the canonical place; an opening jaw moves the
        # centroid by a few hundredths of a face unit more.
        reach = max(max(abs(x - c_canon[0]), abs(y - c_canon[1])) for x, y in cent)
        pad = int(math.ceil(reach + 0.05 * unit)) + 1
        corners = (targets[:, 17, :2].astype(np.float64) + targets[:, 19, :2]) * 0.5
        mouth = tuple(float(v) for v in (corners.mean(axis=0) + 1.0) * ((self.n - 1) * 0.5))
        st = stamp(self.n, unit, mouth, pad, self.drop)
        n = len(self.crops)
        order = trackOrder(n, self.seed)
        bh = st["band_r1"] - st["band_r0"] + 2 * st["shift_margin"]
        bw = st["band_c1"] - st["band_c0"] + 2 * st["shift_margin"]
        enc = bankTrack(f"{root}/{TRACK}", bw, bh)
        for d in order:
            enc.put(patchOf(self.crops[d], st))
        enc.close()
        half = (self.n - 1) * 0.5
        aperture = [float((kp[12, 1] - kp[6, 1]) * half) for kp in self.kps]
        sidecar = {
            "format": "tessera_bank.v1",
            "geometry": st,
            "n_donors": n,
            "track_order": order,
            "cent": [[x, y] for x, y in cent],
            "aperture": aperture,
            "c_canon": list(c_canon),
            "pi_frame": BANK_FRAME,
            "codec": {"codec": "h264", "pix_fmt": "gbrp", "encoder": "libx264rgb qp 0"},
        }
        with open(f"{root}/{SIDECAR}", "w") as f:
            f.write(json.dumps(sidecar, indent=1) + "\n")
        return st

    def patches(self, st: dict) -> np.ndarray:
        """Donor-order patches, as a reader of the track must get them back (for tests)."""
        return np.stack([patchOf(c, st) for c in self.crops])


def outline(nv_half: int = 12) -> np.ndarray:
    """The drawn lips' outer outline in face units: the upper edge left to right, then the lower
    edge right to left, corners once each."""
    w = face.MOUTH_W

    def upper(p):
        env = max(1.0 - (p / w) ** 2, 0.0)
        return face.MOUTH_Y - face.UPPER_LIP_H * env ** 0.6 + 0.02 * math.exp(-(p / 0.04) ** 2) * env

    def lower(p):
        env = max(1.0 - (p / w) ** 2, 0.0)
        return face.MOUTH_Y + face.LOWER_LIP_H * env ** 0.6

    pts = [(w * (-1 + 2 * i / nv_half), upper(w * (-1 + 2 * i / nv_half))) for i in range(nv_half + 1)]
    pts += [(w * (-1 + 2 * i / nv_half), lower(w * (-1 + 2 * i / nv_half))) for i in range(nv_half - 1, 0, -1)]
    return np.array(pts, np.float64)


def lipTemplate(crop: int, with_map: bool) -> dict:
    """The outline relative to the anchors' centre and spread, as the engine deforms it; with_map
    adds an anchor-linear map that makes the lower edge follow the lower lip and the upper edge the
    upper lip, exact on the drawn face."""
    loc = face.localKeypoints(1.0)
    anchors = loc[list(TEMPLATE_ANCHORS), :2]
    g = anchors.mean(axis=0)
    spread = np.abs(anchors - g).max(axis=0)
    pts = outline()
    u = (pts - g) / spread
    tpl = {
        "format": "lip-template-v1",
        "edge": "outward",
        "canvas": crop,
        "feather_px": round(max(1.5, crop / 128.0), 3),
        "u_canon": [[round(float(x), 6), round(float(y), 6)] for x, y in u],
        "lip_idx": list(TEMPLATE_ANCHORS),
    }
    if with_map:
        corner_y = face.MOUTH_Y
        top = loc[18, 1]
        bottom = loc[20, 1]
        k2 = 2 * len(TEMPLATE_ANCHORS)
        W = []
        for x, y in pts:
            # Anchor vector: (17x, 17y, 18x, 18y, 19x, 19y, 20x, 20y), each relative to the centre.
            rx = [0.0] * k2
            t = x / face.MOUTH_W
            rx[0] = -0.5 * t
            rx[4] = 0.5 * t
            ry = [0.0] * k2
            if y <= corner_y:
                s, lip = (corner_y - y) / (corner_y - top), 3
            else:
                s, lip = (y - corner_y) / (bottom - corner_y), 7
            ry[1] = ry[5] = 0.5 * (1.0 - s)
            ry[lip] = s
            W.append([round(v, 9) for v in rx])
            W.append([round(v, 9) for v in ry])
        tpl["lip_map"] = {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": list(TEMPLATE_ANCHORS),
                          "canvas": crop, "W": W, "b": [0.0] * len(W)}
    return tpl


def manifestBlock(block: dict, st: dict) -> dict:
    """The manifest's tessera block (members and planes, from the head's side) with the stamp the
    bank and the manifest share and the bank track's description."""
    out = dict(block)
    out.update({"geometry": dict(st), "bank_container": "mp4", "bank_packing": "rgb24_frames"})
    return out
