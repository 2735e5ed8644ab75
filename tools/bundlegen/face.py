"""The demo identity: a procedurally drawn face on a textured background.

The scene is a continuous function of canvas coordinates, so the driver frame (sampled on the
canvas pixel grid) and the face crop (sampled through the crop's paste matrix) are two samplings of
the same picture: pasting an unchanged crop back through M lands on the frame without a seam, up to
resampling.

Face-local units: the head's half-height is 1, x points right, y points down, the origin is the
head centre. Keypoint rows (21 x (x, y, z)):

    0, 1    left / right brow centre
    2, 3    left eye outer / inner corner      4, 5   right eye inner / outer corner
    6       upper lip, inner edge (centre)
    7, 8    left / right upper eyelid (moves with blinks)
    9       nose tip                           10, 11 left / right nostril
    12      lower lip, inner edge (centre)
    13      chin
    14      lower lip, middle of its body
    15, 16  left / right cheek
    17..20  lip outline: left corner, upper lip top, right corner, lower lip bottom

Rows 6, 12, 14, 17, 19, 20 are the ones audio models move; 17..20 trace the outline.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

KP_ROWS = 21
LIP_ROWS = (6, 12, 14, 17, 19, 20)
UPPER_LIP_ROWS = (6, 18)
LOWER_LIP_ROWS = (12, 14, 20)

# Mouth geometry (face-local units).
MOUTH_Y = 0.50
MOUTH_W = 0.27
UPPER_LIP_H = 0.085
LOWER_LIP_H = 0.11
MOUTH_GAP = 0.035  # half-opening of the source mouth at its centre: a dark band with teeth showing

# How the keypoints of a fully open mouth move (face-local units): the lower lip drops with the
# jaw, the upper lip lifts a little, the chin follows, the corners draw in and down. The audio
# models of an identity scale their lip output by these (see mouthOpening).
MOUTH_OPEN_MOVES = {
    6: (0.0, -0.015, 0.0),
    18: (0.0, -0.010, 0.0),
    12: (0.0, 0.090, 0.0),
    14: (0.0, 0.080, 0.0),
    20: (0.0, 0.075, 0.0),
    13: (0.0, 0.045, 0.0),
    17: (0.012, 0.015, 0.0),
    19: (-0.012, 0.015, 0.0),
}


@dataclass
class Look:
    skin: np.ndarray
    hair: np.ndarray
    lip: np.ndarray
    iris: np.ndarray
    bg_a: np.ndarray
    bg_b: np.ndarray
    bg_lattice: np.ndarray  # value-noise lattice for the background texture
    bg_lattice2: np.ndarray


def makeLook(seed: int) -> Look:
    rng = np.random.default_rng(seed)
    skin = np.array([0.80, 0.62, 0.50]) * rng.uniform(0.85, 1.08) + rng.uniform(-0.04, 0.04, 3)
    hair = np.array([0.20, 0.14, 0.10]) * rng.uniform(0.5, 1.6)
    lip = np.array([0.72, 0.33, 0.35]) + rng.uniform(-0.05, 0.05, 3)
    iris = rng.uniform(0.15, 0.55, 3)
    hue = rng.uniform(0, 2 * math.pi)
    bg_a = 0.45 + 0.2 * np.array([math.cos(hue), math.cos(hue + 2.1), math.cos(hue + 4.2)])
    bg_b = bg_a * 0.55 + 0.1
    return Look(skin=np.clip(skin, 0, 1), hair=np.clip(hair, 0, 1), lip=np.clip(lip, 0, 1),
                iris=iris, bg_a=bg_a, bg_b=bg_b,
                bg_lattice=rng.random((12, 20)).astype(np.float32),
                bg_lattice2=rng.random((40, 64)).astype(np.float32))


@dataclass
class Pose:
    hx: float  # head centre, canvas pixels
    hy: float
    roll: float  # radians
    radius: float  # head half-height, canvas pixels
    eye_open: float  # 1 open, 0 closed
    mouth_open: float = 0.0  # share of MOUTH_OPEN_MOVES the drawn mouth is opened by (teeth bank donors)


def poses(nt: int, width: int, height: int, blinks: bool) -> list[Pose]:
    """A slow sway and bob that loops over nt frames, with an optional blink. The head moves by
    whole pixels and does not roll (see Scene)."""
    radius = 0.30 * min(height, width * 0.75)
    out = []
    for i in range(nt):
        ph = 2 * math.pi * i / nt
        eye = 1.0
        if blinks and nt >= 8:
            c = int(nt * 0.6)
            d = abs(i - c)
            eye = {0: 0.05, 1: 0.45}.get(d, 1.0)
        out.append(Pose(hx=float(round(width * 0.5 + 0.035 * width * math.sin(ph))),
                        hy=float(round(height * 0.52 + 0.012 * height * math.sin(2 * ph + 0.7))),
                        roll=0.0, radius=radius, eye_open=eye))
    return out


def cropMatrix(pose: Pose, crop: int, width: int, height: int) -> np.ndarray:
    """2x3 matrix mapping crop pixels to canvas pixels. The crop follows most of the head's travel
    (not its roll), so the keypoints move a little inside the crop, as a face tracker's would."""
    side = 2.7 * pose.radius
    k = side / crop
    cx = width * 0.5 + 0.7 * (pose.hx - width * 0.5)
    cy = height * 0.52 + 0.7 * (pose.hy - height * 0.52) + 0.05 * pose.radius
    c0 = (crop - 1) * 0.5
    return np.array([[k, 0.0, cx - k * c0], [0.0, k, cy - k * c0]], dtype=np.float64)


def localKeypoints(eye_open: float, mouth_open: float = 0.0) -> np.ndarray:
    """The 21 keypoints in face-local units; mouth_open in [0, 1] moves the lip rows by that share
    of MOUTH_OPEN_MOVES (the drawn face itself always has the slightly open source mouth)."""
    g, my, w = MOUTH_GAP, MOUTH_Y, MOUTH_W
    lid = -0.18 - 0.075 * eye_open
    kp = [
        (-0.33, -0.42, 0.05), (0.33, -0.42, 0.05),
        (-0.48, -0.18, 0.0), (-0.18, -0.18, 0.05), (0.18, -0.18, 0.05), (0.48, -0.18, 0.0),
        (0.0, my - g, 0.12),
        (-0.33, lid, 0.06), (0.33, lid, 0.06),
        (0.0, 0.20, 0.30), (-0.09, 0.24, 0.2), (0.09, 0.24, 0.2),
        (0.0, my + g, 0.12),
        (0.0, 0.93, 0.05),
        (0.0, my + (g + LOWER_LIP_H) * 0.5, 0.12),
        (-0.60, 0.25, -0.05), (0.60, 0.25, -0.05),
        (-w, my, 0.08), (0.0, my - UPPER_LIP_H, 0.12), (w, my, 0.08), (0.0, my + LOWER_LIP_H, 0.12),
    ]
    out = np.array(kp, dtype=np.float64)
    if mouth_open:
        for row, d in MOUTH_OPEN_MOVES.items():
            out[row] += mouth_open * np.asarray(d)
    return out


def cropKeypoints(pose: Pose, m: np.ndarray, crop: int, mouth_open: float = 0.0) -> np.ndarray:
    """The 21 keypoints in the crop's normalised space (-1 first pixel centre, +1 last)."""
    loc = localKeypoints(pose.eye_open, mouth_open)
    c, s = math.cos(pose.roll), math.sin(pose.roll)
    X = pose.hx + pose.radius * (c * loc[:, 0] - s * loc[:, 1])
    Y = pose.hy + pose.radius * (s * loc[:, 0] + c * loc[:, 1])
    a, _, tx = m[0]
    _, e, ty = m[1]
    u = (X - tx) / a
    v = (Y - ty) / e
    out = np.empty((KP_ROWS, 3), dtype=np.float32)
    out[:, 0] = 2.0 * u / (crop - 1) - 1.0
    out[:, 1] = 2.0 * v / (crop - 1) - 1.0
    out[:, 2] = loc[:, 2]
    return out


def mouthOpening(pose: Pose, m: np.ndarray, crop: int) -> dict[int, tuple[float, float, float]]:
    """MOUTH_OPEN_MOVES in the crop's keypoint units: {row: (dx, dy, dz)}. The crop scales the head
    the same way in every frame, so one pose gives the opening of all of them."""
    d = cropKeypoints(pose, m, crop, 1.0).astype(np.float64) - cropKeypoints(pose, m, crop).astype(np.float64)
    return {row: tuple(float(v) for v in d[row]) for row in sorted(MOUTH_OPEN_MOVES)}


def _smooth(t: np.ndarray) -> np.ndarray:
    t = np.clip(t, 0.0, 1.0)
    return t * t * (3.0 - 2.0 * t)


def _cover(d: np.ndarray, aa: float) -> np.ndarray:
    """Coverage of a shape from a signed distance (negative inside), antialiased over aa."""
    return np.clip(0.5 - d / aa, 0.0, 1.0)


def _ell(p, q, cx, cy, rx, ry):
    """Approximate signed distance to an axis-aligned ellipse (local units)."""
    return (np.sqrt(((p - cx) / rx) ** 2 + ((q - cy) / ry) ** 2) - 1.0) * min(rx, ry)


def _lattice(lat: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Bilinear value noise over a periodic lattice; x, y in lattice cells."""
    h, w = lat.shape
    x0 = np.floor(x)
    y0 = np.floor(y)
    fx = _smooth(x - x0)
    fy = _smooth(y - y0)
    xi = x0.astype(np.int64) % w
    yi = y0.astype(np.int64) % h
    x1 = (xi + 1) % w
    y1 = (yi + 1) % h
    top = lat[yi, xi] * (1 - fx) + lat[yi, x1] * fx
    bot = lat[y1, xi] * (1 - fx) + lat[y1, x1] * fx
    return top * (1 - fy) + bot * fy


def background(look: Look, X: np.ndarray, Y: np.ndarray, width: int, height: int) -> np.ndarray:
    sx = X / width
    sy = Y / height
    n = 0.65 * _lattice(look.bg_lattice, sx * 19.0, sy * 11.0) + 0.35 * _lattice(look.bg_lattice2, X / 23.0, Y / 23.0)
    stripes = 0.5 + 0.5 * np.sin((sx * 9.0 + sy * 4.0) * 2 * math.pi)
    t = np.clip(0.55 * n + 0.25 * stripes + 0.2 * sy, 0.0, 1.0)[..., None]
    return (look.bg_a * (1 - t) + look.bg_b * t).astype(np.float32)


def drawFace(look: Look, pose: Pose, ox: float, oy: float, px: float, h: int, w: int) -> tuple[np.ndarray, np.ndarray]:
    """The face as premultiplied colour (h x w x 3) and coverage (h x w) on a grid whose sample
    (i, j) lies at canvas point (ox + j px, oy + i px). px, the sample spacing in canvas pixels,
    sets the antialiasing width. Every feature is evaluated only inside its own bounding window."""
    c, s = math.cos(pose.roll), math.sin(pose.roll)
    aa = np.float32(1.2 * px / pose.radius)
    img = np.zeros((h, w, 3), np.float32)
    cov = np.zeros((h, w), np.float32)

    def window(p0, p1, q0, q1):
        cs = np.array([[p0, q0], [p1, q0], [p0, q1], [p1, q1]])
        X = pose.hx + pose.radius * (c * cs[:, 0] - s * cs[:, 1])
        Y = pose.hy + pose.radius * (s * cs[:, 0] + c * cs[:, 1])
        j0 = max(int(math.floor((X.min() - ox) / px)) - 2, 0)
        j1 = min(int(math.ceil((X.max() - ox) / px)) + 3, w)
        i0 = max(int(math.floor((Y.min() - oy) / px)) - 2, 0)
        i1 = min(int(math.ceil((Y.max() - oy) / px)) + 3, h)
        if j0 >= j1 or i0 >= i1:
            return None
        jj = (ox + np.arange(j0, j1, dtype=np.float64) * px - pose.hx) / pose.radius
        ii = (oy + np.arange(i0, i1, dtype=np.float64) * px - pose.hy) / pose.radius
        dx = jj[None, :]
        dy = ii[:, None]
        p = (c * dx + s * dy).astype(np.float32)
        q = (-s * dx + c * dy).astype(np.float32)
        return (slice(i0, i1), slice(j0, j1)), p, q

    def layer(box, fn):
        win = window(*box)
        if win is None:
            return
        sl, p, q = win
        col, alpha = fn(p, q)
        a = np.clip(alpha, 0.0, 1.0).astype(np.float32)
        img[sl] = img[sl] * (1 - a[..., None]) + np.clip(np.asarray(col, np.float32), 0.0, 1.0) * a[..., None]
        cov[sl] = cov[sl] * (1 - a) + a

    # Neck and shoulders.
    layer((-0.4, 0.4, 0.7, 3.0), lambda p, q: (look.skin * 0.78, _cover(np.maximum(np.abs(p) - 0.36, 0.75 - q), aa)))
    layer((-1.5, 1.5, 1.2, 3.0), lambda p, q: (look.hair * 0.6 + np.array([0.15, 0.2, 0.35]),
                                               _cover(_ell(p, q, 0.0, 2.05, 1.45, 0.8), aa)))
    # Hair behind the head.
    layer((-0.9, 0.9, -1.16, 0.92), lambda p, q: (look.hair, _cover(_ell(p, q, 0.0, -0.12, 0.88, 1.02), aa)))

    # Head with soft shading and cheek colour.
    def head(p, q):
        shade = 1.0 - 0.22 * np.clip((p / 0.78) ** 2 + q ** 2, 0, 1) ** 1.5
        blush = 0.06 * np.exp(-(((np.abs(p) - 0.45) / 0.16) ** 2 + ((q - 0.22) / 0.12) ** 2))
        skin = look.skin[None, None, :] * shade[..., None] + blush[..., None] * np.array([0.5, -0.1, -0.1])
        return skin.astype(np.float32), _cover(_ell(p, q, 0.0, 0.0, 0.76, 1.0), aa)
    layer((-0.78, 0.78, -1.02, 1.02), head)
    # Hairline fringe over the forehead.
    layer((-0.8, 0.8, -1.05, -0.25),
          lambda p, q: (look.hair, _cover(np.maximum(_ell(p, q, 0.0, -0.95, 0.82, 0.42), -(q + 0.3)), aa)))
    for sx in (-1.0, 1.0):
        ex = sx * 0.33

        # Brows: thick arcs.
        def brow(p, q, ex=ex):
            arc_y = -0.42 - 0.05 * (1 - ((p - ex) / 0.19) ** 2)
            return look.hair * 0.8, _cover(np.maximum(np.abs(q - arc_y) - 0.035, np.abs(p - ex) - 0.19), aa)
        layer((ex - 0.21, ex + 0.21, -0.55, -0.33), brow)

        # Eyes: white, iris, pupil, then the upper lid closing down over them.
        def eyeLayers(p, q, ex=ex):
            eye = _ell(p, q, ex, -0.18, 0.15, 0.075)
            inside = _cover(eye, aa)
            col = np.zeros(p.shape + (3,), np.float32) + np.float32([0.95, 0.94, 0.92])
            def over(cc, al):
                nonlocal col
                col = col * (1 - al[..., None]) + np.asarray(cc, np.float32) * al[..., None]
            over(look.iris, _cover(_ell(p, q, ex, -0.18, 0.06, 0.06), aa))
            over([0.03, 0.03, 0.04], _cover(_ell(p, q, ex, -0.18, 0.028, 0.028), aa))
            lid_edge = -0.18 - 0.075 + 0.15 * (1.0 - pose.eye_open)
            over(look.skin * 0.88, _cover(q - lid_edge, aa))
            lash = _cover(np.abs(q - lid_edge) - 0.008, aa) * _cover(eye - 0.004, aa)
            over([0.1, 0.07, 0.06], lash)
            return col, inside
        layer((ex - 0.17, ex + 0.17, -0.27, -0.09), eyeLayers)

    # Nose: a shaded ridge, the tip and two nostrils.
    layer((-0.12, 0.08, -0.12, 0.22), lambda p, q: (
        look.skin * 0.7, (0.35 * np.exp(-((p + 0.03) / 0.05) ** 2) * np.clip((q + 0.1) / 0.3, 0, 1)).astype(np.float32)))
    layer((-0.1, 0.1, 0.12, 0.26), lambda p, q: (look.skin * 0.92, _cover(_ell(p, q, 0.0, 0.19, 0.09, 0.06), aa) * 0.6))
    for sx in (-1.0, 1.0):
        layer((sx * 0.075 - 0.05, sx * 0.075 + 0.05, 0.22, 0.27),
              lambda p, q, sx=sx: ([0.25, 0.12, 0.1], _cover(_ell(p, q, sx * 0.075, 0.245, 0.035, 0.018), aa)))

    # Mouth: lips around a slightly open mouth, a dark interior with upper teeth behind the lips.
    # An opened mouth (pose.mouth_open > 0) moves its lips as MOUTH_OPEN_MOVES moves their
    # keypoints, and shows the lower teeth on the dropped jaw.
    o = float(pose.mouth_open)
    mw = MOUTH_W + MOUTH_OPEN_MOVES[19][0] * o  # the corners draw in

    def mouth(p, q):
        t = np.clip(p / mw, -1.0, 1.0)
        env = np.clip(1.0 - t * t, 0.0, 1.0)
        y_uo = MOUTH_Y - UPPER_LIP_H * env ** 0.6 + 0.02 * np.exp(-(p / 0.04) ** 2) * env
        y_ui = MOUTH_Y - MOUTH_GAP * env
        y_li = MOUTH_Y + MOUTH_GAP * env
        y_lo = MOUTH_Y + LOWER_LIP_H * env ** 0.6
        if o:
            corner = MOUTH_OPEN_MOVES[17][1] * o * (1.0 - env)
            y_uo = y_uo + MOUTH_OPEN_MOVES[18][1] * o * env + corner
            y_ui = y_ui + MOUTH_OPEN_MOVES[6][1] * o * env + corner
            y_li = y_li + MOUTH_OPEN_MOVES[12][1] * o * env + corner
            y_lo = y_lo + MOUTH_OPEN_MOVES[20][1] * o * env + corner
        lips = _cover(np.maximum(np.maximum(y_uo - q, q - y_lo), np.abs(p) - mw), aa)
        col = np.zeros(p.shape + (3,), np.float32) + np.asarray(look.lip, np.float32)
        def over(cc, al):
            nonlocal col
            col = col * (1 - al[..., None]) + np.asarray(cc, np.float32) * al[..., None]
        over(look.lip * 0.7, _cover(q - y_ui, aa) * _cover(y_uo + 0.03 - q, aa * 6) * 0.5)
        hl = np.exp(-((p / 0.1) ** 2 + ((q - (MOUTH_Y + 0.065)) / 0.02) ** 2))
        over([1.0, 0.85, 0.85], (0.3 * hl).astype(np.float32))
        interior = _cover(np.maximum(y_ui - q, q - y_li), aa)
        over([0.10, 0.03, 0.04], interior)
        teeth = np.minimum(interior, _cover(np.maximum(q - (y_ui + 0.55 * MOUTH_GAP * env), np.abs(p) - 0.7 * MOUTH_W), aa))
        over([0.93, 0.91, 0.86], teeth)
        if o:
            lower = _cover(np.maximum((y_li - 0.45 * MOUTH_GAP * env * min(1.0, 2.0 * o)) - q, np.abs(p) - 0.6 * MOUTH_W), aa)
            over([0.88, 0.86, 0.81], np.minimum(interior, lower))
        return col, lips
    drop = max(MOUTH_OPEN_MOVES[20][1] * o, 0.0)
    layer((-MOUTH_W - 0.02, MOUTH_W + 0.02, MOUTH_Y - UPPER_LIP_H - 0.04, MOUTH_Y + LOWER_LIP_H + 0.03 + drop), mouth)
    return img, cov


class Scene:
    """Renders driver frames and face crops of one identity.

    The head moves by whole canvas pixels without roll, so every frame is one of a few pre-drawn
    face sprites (one per eyelid state) laid over the background at an offset; the crop is then
    resampled from the frame itself, as a face tracker would cut it."""

    # Sprite extent around the head centre, in head half-heights.
    X_EXT = 1.6
    Y_TOP = 1.25
    Y_BOT = 3.1

    def __init__(self, seed: int, width: int, height: int):
        self.look = makeLook(seed)
        self.width = width
        self.height = height
        ys, xs = np.mgrid[0:height, 0:width].astype(np.float32)
        self.bg = background(self.look, xs, ys, width, height)
        self.bg_bytes = toBytes(self.bg)
        self.sprites: dict[tuple[float, float], tuple[np.ndarray, np.ndarray]] = {}

    def _sprite(self, pose: Pose):
        key = (pose.eye_open, pose.mouth_open)
        if key not in self.sprites:
            r = pose.radius
            w = int(math.ceil(2 * self.X_EXT * r))
            h = int(math.ceil((self.Y_TOP + self.Y_BOT) * r))
            upright = Pose(hx=self.X_EXT * r, hy=self.Y_TOP * r, roll=0.0, radius=r, eye_open=pose.eye_open,
                           mouth_open=pose.mouth_open)
            self.sprites[key] = drawFace(self.look, upright, 0.0, 0.0, 1.0, h, w)
        return self.sprites[key]

    def frame(self, pose: Pose) -> np.ndarray:
        """The canvas frame as H x W x 3 bytes."""
        col, cov = self._sprite(pose)
        h, w = cov.shape
        ox = int(round(pose.hx - self.X_EXT * pose.radius))
        oy = int(round(pose.hy - self.Y_TOP * pose.radius))
        x0, y0 = max(ox, 0), max(oy, 0)
        x1, y1 = min(ox + w, self.width), min(oy + h, self.height)
        out = self.bg_bytes.copy()
        if x0 < x1 and y0 < y1:
            c = col[y0 - oy:y1 - oy, x0 - ox:x1 - ox]
            a = cov[y0 - oy:y1 - oy, x0 - ox:x1 - ox, None]
            win = self.bg[y0:y1, x0:x1] * (1 - a)
            win += c
            win *= 255.0
            win += 0.5
            np.clip(win, 0.0, 255.0, out=win)
            out[y0:y1, x0:x1] = win.astype(np.uint8)
        return out

    @staticmethod
    def crop(frame: np.ndarray, m: np.ndarray, crop: int) -> np.ndarray:
        """The face crop of a frame through m (axis-aligned), bilinear, as crop x crop x 3 bytes."""
        h, w = frame.shape[:2]
        u = np.arange(crop, dtype=np.float64)
        X = m[0, 0] * u + m[0, 2]
        Y = m[1, 1] * u + m[1, 2]
        x0 = np.clip(np.floor(X), 0, w - 1).astype(np.int64)
        y0 = np.clip(np.floor(Y), 0, h - 1).astype(np.int64)
        x1 = np.minimum(x0 + 1, w - 1)
        y1 = np.minimum(y0 + 1, h - 1)
        fx = np.clip(X - np.floor(X), 0, 1).astype(np.float32)[None, :, None]
        fy = np.clip(Y - np.floor(Y), 0, 1).astype(np.float32)[:, None, None]
        # Separable: rows first (only the band of columns the crop reads), then columns.
        c0 = int(x0.min())
        band = frame[:, c0:int(x1.max()) + 1]
        rows = band[y0].astype(np.float32)
        rows *= 1 - fy
        rows += band[y1].astype(np.float32) * fy
        out = rows[:, x0 - c0] * (1 - fx)
        out += rows[:, x1 - c0] * fx
        out += 0.5
        np.clip(out, 0, 255, out=out)
        return out.astype(np.uint8)


def toBytes(img: np.ndarray) -> np.ndarray:
    return np.clip(np.rint(img * 255.0), 0, 255).astype(np.uint8)
