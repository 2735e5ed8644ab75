#!/usr/bin/python3
"""Hand-weighted audio models for the motion and fca paths, with every table they read.

There are no trained models for these paths, so the networks below are small graphs with set
weights that still do the job in a recognisable way: the loudness of the speech opens the mouth.
Only the lip keypoints follow the audio (rows 6, 12, 14, 17, 19, 20 of the 21; 17..20 trace the lip
outline), and they move the way a mouth opens: the lower lip drops, the upper lip lifts a little,
the corners draw in.

    python3 audio_motion.py motion OUT [--nt N] [--s-bridge X] [--delta-pitch D] [--size tiny|full] [--dynamic]
    python3 audio_motion.py fca OUT [--dynamic]

motion writes the model directory of the motion model (meta.json, the tables, hubert_student.onnx,
lmdm.onnx, stitch.onnx, xs_target.bin). fca writes fca_stream.onnx and audio_encoder_8s.onnx, a
cheap 8 s encoder of the shared kind (input_values [1, 128000] -> audio_emb [12, 200, 768]).
The identity generator (vesk_bundlegen.py --audio) calls writeMotion and writeFca with that
identity's target keypoints and mouth opening.

--dynamic declares the networks' inputs and outputs with free dimensions, as exported models often
are (a batch, a time axis: mel [B, 80, T] -> feat [B, T, 1024], input_values [batch, seq] -> audio_emb
[layers, frames, channels]); each such input is checked to have a batch of one, so a model fed in
another shape fails. The weights and what the networks compute are the same as without it.

--size full gives the three networks realistic sizes and costs while they do the same job (about
225 MB, seconds per 10 s of audio on one core; for benchmarks, not for the tests):

    hubert_student   two convolutions over time on the mel block (80 -> 512, kernel 2: 21 -> 20
                     frames; 512 -> 768, kernel 3), 4 pre-norm transformer layers (width 768, 12
                     heads, feed-forward 3072, GELU), a final norm and a projection to 1024: ~30 M
                     weights, ~1.2 GFLOP per feature window.
    lmdm             a denoising transformer sampled from fixed noise in 10 steps inside the graph
                     (the steps share weights): conditioning rows, motion state and a learned
                     position per frame projected to width 512 (1103, 265 -> 512), 8 pre-norm
                     layers (8 heads, feed-forward 2048), projection back to 265: ~26 M weights,
                     ~40 GFLOP per window.
    stitch           an MLP on both keypoint sets (126 -> 128 -> 128 -> 64 -> 63, ReLU).

The weights are random (scaled by fan-in, residual branches by depth, so activations stay in
range); the small networks' function is kept as a path of each graph, and the large part's output
joins it with a small bounded weight: 0.02 x its projection on the student's features other than
the loudness, 1e-3 x tanh on lmdm's motion, 1e-4 x tanh on stitch's keypoints. So the mouth still
opens with the voice, and what the large parts compute reaches the output.

Motion model, stage by stage:

    hubert_student   mel [1, 80, 21] -> feat [1, 20, 1024]. Loudness per STFT frame is
                     log(mean_m exp(logmel) + 1e-6); neighbouring frames are averaged (21 -> 20
                     frames) and normalised; feature d = A[d] * loudness_n + B[d]. Dimension 0 is the
                     normalised loudness itself, so after the feature scales and means it reads as
                     the loudness in log units.
    lmdm             kp [1, 265], aud_cond [1, 80, 1103] -> pred [1, 80, 265]. open(t) =
                     sigmoid(K (cond[t, 0] - L0)), smoothed over three frames; the expression part
                     is the state's expression plus open(t) times the lip directions; the pose part
                     relaxes half way from the state to the rest pose and nods slightly with open.
    stitch           kp_source [1, 63], kp_driving [1, 63] -> out [1, 21, 3]: the driven set with
                     its non-lip keypoints pulled a quarter of the way back to the source set.

fca: the encoder frames the normalised window into 200 frames of 640 samples and takes two log
energies per frame (the signal and its first difference, both 0 for silence), spread over 12 x 768
by a fixed projection. fca_stream projects each of the 7 window frames back onto the loudness axis
(the voiced mean has already been removed, so this is loudness relative to the utterance's voiced
level), weights them (one frame back, four ahead), turns the result into an opening in [0, 1],
smooths it through the 384-value hidden state and emits the opening times the lip directions,
blended with the previous output.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys

import numpy as np
from onnx import helper

import onnxgraph

KP_ROWS = 21
LIP_ROWS = (6, 12, 14, 17, 19, 20)
MOTION_DIM = 265
EXPR_AT = 202  # expression offsets in the motion vector
COND_DIM = 1103
FEAT_DIM = 1024
N_MEL = 80
N_BINS = 257
N_EMO = 4
DESC = 328  # keypoint description row

# Keypoints of the demo face in face-local units (head half-height 1, y down); see the rows in the
# module's docstring. The crop shows the head at 2 / 2.7 crop units per face unit.
_LOCAL = np.array([
    (-0.33, -0.42, 0.05), (0.33, -0.42, 0.05),
    (-0.48, -0.18, 0.0), (-0.18, -0.18, 0.05), (0.18, -0.18, 0.05), (0.48, -0.18, 0.0),
    (0.0, 0.465, 0.12),
    (-0.33, -0.255, 0.06), (0.33, -0.255, 0.06),
    (0.0, 0.20, 0.30), (-0.09, 0.24, 0.2), (0.09, 0.24, 0.2),
    (0.0, 0.535, 0.12),
    (0.0, 0.93, 0.05),
    (0.0, 0.5725, 0.12),
    (-0.60, 0.25, -0.05), (0.60, 0.25, -0.05),
    (-0.27, 0.50, 0.08), (0.0, 0.415, 0.12), (0.27, 0.50, 0.08), (0.0, 0.61, 0.12),
], dtype=np.float64)
CANONICAL = (_LOCAL * (2.0 / 2.7) + np.array([0.0, 0.05, 0.0])).astype(np.float32)

# Lip keypoint movement at full opening, crop units (x, y, z).
LIP_DIRS = {
    6: (0.0, -0.012, 0.0),
    12: (0.0, 0.050, 0.0),
    14: (0.0, 0.042, 0.0),
    17: (0.010, 0.008, 0.0),
    19: (-0.010, 0.008, 0.0),
    20: (0.0, 0.045, 0.0),
}


def lipDirection(dirs: dict | None = None) -> np.ndarray:
    """63 floats: the keypoint movement at full opening (LIP_DIRS unless dirs is given)."""
    d = np.zeros(63, np.float32)
    for r, v in (LIP_DIRS if dirs is None else dirs).items():
        d[3 * r:3 * r + 3] = v
    return d


def lipMask() -> np.ndarray:
    m = np.zeros(63, np.float32)
    for r in LIP_ROWS:
        m[3 * r:3 * r + 3] = 1.0
    return m


class Graph(onnxgraph.Graph):
    """A graph whose initializers are numbered with its nodes ("c4", "t5" from node "Add_5")."""

    def init(self, arr, dtype=np.float32) -> str:
        self.n += 1
        return self.tensor(f"c{self.n}", arr, dtype)


def batchOfOne(g: Graph, x: str) -> str:
    """x unchanged, once its first dimension is known to be 1 (Squeeze fails otherwise)."""
    return g.op("Unsqueeze", [g.op("Squeeze", [x, g.init([0], np.int64)]), g.init([0], np.int64)])


# ---- realistic-size blocks (--size full) --------------------------------------------------------------

class Layers:
    """Random weights for the realistic-size networks, scaled by fan-in."""

    def __init__(self, g: Graph, rng):
        self.g = g
        self.rng = rng

    def weight(self, shape, scale: float = 1.0) -> str:
        fan_in = shape[0] if len(shape) == 2 else int(np.prod(shape[1:]))
        w = self.rng.standard_normal(shape, dtype=np.float32) * np.float32(scale / math.sqrt(fan_in))
        return self.g.init(w)

    def linear(self, x: str, n_in: int, n_out: int) -> str:
        y = self.g.op("MatMul", [x, self.weight((n_in, n_out))])
        return self.g.op("Add", [y, self.g.init(np.zeros(n_out, np.float32))])

    def norm(self, x: str, dim: int) -> str:
        return self.g.op("LayerNormalization", [x, self.g.init(np.ones(dim, np.float32)),
                                                self.g.init(np.zeros(dim, np.float32))], axis=-1, epsilon=1e-5)

    def gelu(self, x: str) -> str:
        g = self.g
        e = g.op("Erf", [g.op("Mul", [x, g.init(1.0 / math.sqrt(2.0))])])
        return g.op("Mul", [g.op("Mul", [x, g.init(0.5)]), g.op("Add", [e, g.init(1.0)])])


def transformerLayer(L: Layers, frames: int, dim: int, heads: int, ff: int, depth: int):
    """The weights of one pre-norm layer, and a function that applies it to [1, frames, dim]:
    self-attention over the frames, then a feed-forward, each added to its input."""
    g = L.g
    dh = dim // heads
    res = 1.0 / math.sqrt(2.0 * depth)  # residual branches scaled by depth
    w = {
        "qkv": L.weight((dim, 3 * dim)), "qkv_b": g.init(np.zeros(3 * dim, np.float32)),
        "o": L.weight((dim, dim), res), "o_b": g.init(np.zeros(dim, np.float32)),
        "f1": L.weight((dim, ff)), "f1_b": g.init(np.zeros(ff, np.float32)),
        "f2": L.weight((ff, dim), res), "f2_b": g.init(np.zeros(dim, np.float32)),
        "n1g": g.init(np.ones(dim, np.float32)), "n1b": g.init(np.zeros(dim, np.float32)),
        "n2g": g.init(np.ones(dim, np.float32)), "n2b": g.init(np.zeros(dim, np.float32)),
        "split": g.init([dim, dim, dim], np.int64),
        "heads": g.init([1, frames, heads, dh], np.int64), "flat": g.init([1, frames, dim], np.int64),
        "scale": g.init(1.0 / math.sqrt(dh)),
    }

    def apply(x: str) -> str:
        h = g.op("LayerNormalization", [x, w["n1g"], w["n1b"]], axis=-1, epsilon=1e-5)
        qkv = g.op("Add", [g.op("MatMul", [h, w["qkv"]]), w["qkv_b"]])
        g.n += 1
        q, k, v = f"q{g.n}", f"k{g.n}", f"v{g.n}"
        g.nodes.append(helper.make_node("Split", [qkv, w["split"]], [q, k, v], name=f"Split_{g.n}", axis=2))
        qh = g.op("Transpose", [g.op("Reshape", [q, w["heads"]])], perm=[0, 2, 1, 3])  # [1, H, T, dh]
        kh = g.op("Transpose", [g.op("Reshape", [k, w["heads"]])], perm=[0, 2, 3, 1])  # [1, H, dh, T]
        vh = g.op("Transpose", [g.op("Reshape", [v, w["heads"]])], perm=[0, 2, 1, 3])
        att = g.op("Softmax", [g.op("Mul", [g.op("MatMul", [qh, kh]), w["scale"]])], axis=-1)
        ctx = g.op("Reshape", [g.op("Transpose", [g.op("MatMul", [att, vh])], perm=[0, 2, 1, 3]), w["flat"]])
        x = g.op("Add", [x, g.op("Add", [g.op("MatMul", [ctx, w["o"]]), w["o_b"]])])
        h = g.op("LayerNormalization", [x, w["n2g"], w["n2b"]], axis=-1, epsilon=1e-5)
        f = L.gelu(g.op("Add", [g.op("MatMul", [h, w["f1"]]), w["f1_b"]]))
        return g.op("Add", [x, g.op("Add", [g.op("MatMul", [f, w["f2"]]), w["f2_b"]])])

    return apply


# ---- the motion model's front end, mirrored in numpy to place the loudness scale ----------------

def hann(n: int = 512) -> np.ndarray:
    return (0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / n)).astype(np.float32)


def melMatrix() -> np.ndarray:
    """Triangular mel bands over 0..8 kHz, bin-major (257 x 80), each band summing to 1."""
    def mel(f):
        return 2595.0 * np.log10(1.0 + f / 700.0)

    def hz(m):
        return 700.0 * (10.0 ** (m / 2595.0) - 1.0)

    edges = hz(np.linspace(mel(0.0), mel(8000.0), N_MEL + 2))
    freqs = np.arange(N_BINS) * 8000.0 / 256.0
    w = np.zeros((N_BINS, N_MEL), np.float64)
    for m in range(N_MEL):
        lo, c, hi = edges[m], edges[m + 1], edges[m + 2]
        up = (freqs - lo) / max(c - lo, 1e-9)
        dn = (hi - freqs) / max(hi - c, 1e-9)
        w[:, m] = np.maximum(0.0, np.minimum(up, dn))
        if w[:, m].sum() == 0.0:  # a band narrower than one bin takes its nearest bin
            w[int(round(c * 256.0 / 8000.0)), m] = 1.0
        w[:, m] /= w[:, m].sum()
    return w.astype(np.float32)


def loudness(samples: np.ndarray, window: np.ndarray, binmat: np.ndarray) -> np.ndarray:
    """Per STFT frame (hop 320, 512 points), log(mean_m exp(logmel) + 1e-6)."""
    x = np.pad(samples.astype(np.float64), 256, mode="reflect")
    out = []
    for t in range((len(x) - 512) // 320 + 1):
        mag = np.abs(np.fft.rfft(x[320 * t:320 * t + 512] * window))
        logmel = np.log(mag @ binmat + 1e-8)
        out.append(math.log(np.exp(logmel).mean() + 1e-6))
    return np.array(out)


def speechLike(n: int, seed: int = 1) -> np.ndarray:
    """Voiced harmonics under a syllable envelope, with pauses: the same kind of signal the tests use."""
    t = np.arange(n) / 16000.0
    f0 = 120.0 + 20.0 * np.sin(2 * np.pi * 0.7 * t)
    ph = 2 * np.pi * np.cumsum(f0) / 16000.0
    v = sum(np.sin(k * ph) / k for k in range(1, 8))
    env = np.maximum(0.0, np.sin(2 * np.pi * 3.0 * t)) ** 2 * (np.sin(2 * np.pi * 0.25 * t) > -0.3)
    rng = np.random.default_rng(seed)
    return (0.25 * v * env + 1e-4 * rng.standard_normal(n)).astype(np.float32)


def calibrate(window: np.ndarray, binmat: np.ndarray) -> tuple[float, float, float]:
    """Loudness of silence and of voiced speech: the mean and scale of the student's normalisation
    and the threshold at which the mouth is half open."""
    speech = loudness(speechLike(16000 * 4), window, binmat)
    quiet = float(np.quantile(speech, 0.1))  # the noise floor of the pauses
    loud = float(np.quantile(speech, 0.9))
    mu = 0.5 * (quiet + loud)
    sig = max(0.5 * (loud - quiet), 1.0)
    l0 = quiet + 0.45 * (loud - quiet)
    return float(mu), float(sig), float(l0)


# ---- keypoint descriptions ------------------------------------------------------------------------

def angleLogits(deg: float) -> np.ndarray:
    """66 bins whose softmax expectation (bin i = 3 i - 97.5 degrees) is close to deg."""
    centre = (deg + 97.5) / 3.0
    i = np.arange(66)
    return (-0.5 * ((i - centre) / 1.2) ** 2).astype(np.float32)


def descRow(expr: np.ndarray, pitch: float, yaw: float, roll: float, scale: float, tx: float, ty: float) -> np.ndarray:
    q = np.zeros(DESC, np.float32)
    q[0:63] = expr
    q[63:126] = CANONICAL.reshape(-1)
    q[126:192] = angleLogits(pitch)
    q[192:258] = angleLogits(roll)
    q[258] = scale
    q[259] = tx
    q[260] = ty
    q[262:328] = angleLogits(yaw)
    return q


def softmaxAngle(logits: np.ndarray) -> float:
    e = np.exp(logits.astype(np.float64) - logits.max())
    p = e / e.sum()
    return float((p * np.arange(66)).sum() * 3.0 - 97.5)


def rotation(a1: float, a2: float, a3: float) -> np.ndarray:
    a, b, c = (math.radians(v) for v in (a1, a2, a3))
    ca, sa, cb, sb, cc, sc = math.cos(a), math.sin(a), math.cos(b), math.sin(b), math.cos(c), math.sin(c)
    return np.array([[cb * cc, cb * sc, -sb],
                     [sa * sb * cc - sc * ca, ca * cc + sa * sb * sc, sa * cb],
                     [sa * sc + ca * sb * cc, ca * sb * sc - cc * sa, ca * cb]])


def posedKeypoints(q: np.ndarray) -> np.ndarray:
    r = rotation(softmaxAngle(q[126:192]), softmaxAngle(q[262:328]), softmaxAngle(q[192:258]))
    can = q[63:126].reshape(21, 3).astype(np.float64)
    x = q[258] * (can @ r + q[0:63].reshape(21, 3)) + np.array([q[259], q[260], 0.0])
    return x.astype(np.float32)


def motionState(q: np.ndarray) -> np.ndarray:
    """A description row in the motion vector's layout."""
    return np.concatenate([[q[258] - 1.0], q[126:192], q[262:328], q[192:258], q[259:262], q[0:63]]).astype(np.float32)


# ---- motion networks ------------------------------------------------------------------------------

def studentGraph(path: str, mu: float, sig: float, rng, full: bool = False,
                 dynamic: bool = False) -> tuple[np.ndarray, np.ndarray]:
    a = rng.uniform(-0.6, 0.6, FEAT_DIM).astype(np.float32)
    b = rng.uniform(-0.2, 0.2, FEAT_DIM).astype(np.float32)
    a[0], b[0] = 1.0, 0.0
    g = Graph("hubert_student")
    x = g.input("mel", ["B", N_MEL, "T"] if dynamic else [1, N_MEL, 21])
    if dynamic:
        x = batchOfOne(g, x)
    e = g.op("Exp", [x])
    m = g.op("ReduceMean", [e], axes=[1], keepdims=0)  # [1, 21]
    lo = g.op("Log", [g.op("Add", [m, g.init(1e-6)])])
    s0 = g.op("Slice", [lo, g.init([0], np.int64), g.init([20], np.int64), g.init([1], np.int64)])
    s1 = g.op("Slice", [lo, g.init([1], np.int64), g.init([21], np.int64), g.init([1], np.int64)])
    pair = g.op("Mul", [g.op("Add", [s0, s1]), g.init(0.5)])
    ln = g.op("Div", [g.op("Sub", [pair, g.init(mu)]), g.init(sig)])
    col = g.op("Unsqueeze", [ln, g.init([2], np.int64)])  # [1, 20, 1]
    y = g.op("MatMul", [col, g.init(a.reshape(1, FEAT_DIM))])
    if not full:
        g.op("Add", [y, g.init(b)], out="feat")
    else:
        L = Layers(g, np.random.default_rng(101))
        c = L.gelu(g.op("Conv", [x, L.weight((512, N_MEL, 2)), g.init(np.zeros(512, np.float32))]))  # [1, 512, 20]
        c = L.gelu(g.op("Conv", [c, L.weight((768, 512, 3)), g.init(np.zeros(768, np.float32))], pads=[1, 1]))
        h = g.op("Transpose", [c], perm=[0, 2, 1])  # [1, 20, 768]
        for _ in range(4):
            h = transformerLayer(L, 20, 768, 12, 3072, 4)(h)
        hid = L.linear(L.norm(h, 768), 768, FEAT_DIM)
        keep = np.full(FEAT_DIM, 0.02, np.float32)
        keep[0] = 0.0  # the loudness stays exact
        g.op("Add", [g.op("Add", [y, g.init(b)]), g.op("Mul", [hid, g.init(keep)])], out="feat")
    g.output("feat", ["B", "T", FEAT_DIM] if dynamic else [1, 20, FEAT_DIM])
    g.save(path)
    # The tables undo the normalisation of dimension 0; the others get plausible scales.
    fstd = rng.uniform(0.5, 1.5, FEAT_DIM).astype(np.float32)
    fmean = rng.uniform(-0.3, 0.3, FEAT_DIM).astype(np.float32)
    fstd[0], fmean[0] = sig, mu
    return fmean, fstd


def lmdmGraph(path: str, init: np.ndarray, l0: float, gain: float, lips: np.ndarray, full: bool = False,
              dynamic: bool = False):
    keep = np.full(MOTION_DIM, 0.5, np.float32)
    keep[EXPR_AT:] = 1.0
    rest = (init * (1.0 - keep)).astype(np.float32)
    direc = np.zeros(MOTION_DIM, np.float32)
    direc[EXPR_AT:] = lips
    direc[200] = 0.004  # a slight nod (translation y) with the opening
    g = Graph("lmdm")
    kp = g.input("kp", ["B", MOTION_DIM] if dynamic else [1, MOTION_DIM])
    cond = g.input("aud_cond", ["B", "T", COND_DIM] if dynamic else [1, 80, COND_DIM])
    if dynamic:
        kp, cond = batchOfOne(g, kp), batchOfOne(g, cond)
    a = g.op("Slice", [cond, g.init([0], np.int64), g.init([1], np.int64), g.init([2], np.int64)])  # [1, 80, 1]
    z = g.op("Mul", [g.op("Sub", [a, g.init(l0)]), g.init(gain)])
    op = g.op("Sigmoid", [z])
    row = g.op("Transpose", [op], perm=[0, 2, 1])  # [1, 1, 80]
    sm = g.op("Conv", [row, g.init(np.array([0.25, 0.5, 0.25], np.float32).reshape(1, 1, 3))], pads=[1, 1])
    col = g.op("Transpose", [sm], perm=[0, 2, 1])  # [1, 80, 1]
    moved = g.op("Mul", [col, g.init(direc.reshape(1, 1, MOTION_DIM))])
    base = g.op("Add", [g.op("Mul", [kp, g.init(keep)]), g.init(rest)])  # [1, 265]
    base3 = g.op("Unsqueeze", [base, g.init([1], np.int64)])
    if not full:
        g.op("Add", [base3, moved], out="pred")
    else:
        # Denoising from fixed noise in STEPS steps; each step predicts the clean motion from the
        # noisy one and the conditioning, and moves part of the way to it.
        steps, dim, depth = 10, 512, 8
        L = Layers(g, np.random.default_rng(102))
        ctx = g.op("Add", [L.linear(cond, COND_DIM, dim),
                           g.op("Unsqueeze", [L.linear(kp, MOTION_DIM, dim), g.init([1], np.int64)])])
        ctx = g.op("Add", [ctx, g.init(0.02 * L.rng.standard_normal((1, 80, dim), dtype=np.float32))])
        layers = [transformerLayer(L, 80, dim, 8, 2048, depth) for _ in range(depth)]
        w_in, b_in = L.weight((MOTION_DIM, dim)), g.init(np.zeros(dim, np.float32))
        w_out, b_out = L.weight((dim, MOTION_DIM)), g.init(np.zeros(MOTION_DIM, np.float32))
        norm_g, norm_b = g.init(np.ones(dim, np.float32)), g.init(np.zeros(dim, np.float32))
        x = g.init(L.rng.standard_normal((1, 80, MOTION_DIM), dtype=np.float32))
        sigma = np.linspace(1.0, 0.0, steps + 1)
        for s_ in range(steps):
            t_emb = g.init(0.02 * L.rng.standard_normal((1, 1, dim), dtype=np.float32))
            h = g.op("Add", [g.op("Add", [g.op("MatMul", [x, w_in]), b_in]), g.op("Add", [ctx, t_emb])])
            for layer in layers:
                h = layer(h)
            h = g.op("LayerNormalization", [h, norm_g, norm_b], axis=-1, epsilon=1e-5)
            clean = g.op("Add", [g.op("MatMul", [h, w_out]), b_out])
            nxt = float(sigma[s_ + 1])
            x = g.op("Add", [g.op("Mul", [clean, g.init(1.0 - nxt)]), g.op("Mul", [x, g.init(nxt)])])
        tiny = g.op("Add", [base3, moved])
        g.op("Add", [tiny, g.op("Mul", [g.op("Tanh", [x]), g.init(1e-3)])], out="pred")
    g.output("pred", ["B", "T", MOTION_DIM] if dynamic else [1, 80, MOTION_DIM])
    g.save(path)
    return direc


def stitchGraph(path: str, full: bool = False, dynamic: bool = False):
    pull = (0.25 * (1.0 - lipMask())).astype(np.float32)
    g = Graph("stitch")
    s = g.input("kp_source", ["B", 63] if dynamic else [1, 63])
    d = g.input("kp_driving", ["B", 63] if dynamic else [1, 63])
    if dynamic:
        s, d = batchOfOne(g, s), batchOfOne(g, d)
    y = g.op("Add", [d, g.op("Mul", [g.op("Sub", [s, d]), g.init(pull)])])
    if full:
        L = Layers(g, np.random.default_rng(103))
        h = g.op("Concat", [s, d], axis=1)  # [1, 126]
        for n_in, n_out in ((126, 128), (128, 128), (128, 64)):
            h = g.op("Relu", [L.linear(h, n_in, n_out)])
        y = g.op("Add", [y, g.op("Mul", [g.op("Tanh", [L.linear(h, 64, 63)]), g.init(1e-4)])])
    g.op("Reshape", [y, g.init([1, 21, 3], np.int64)], out="out")
    g.output("out", ["B", 21, 3] if dynamic else [1, 21, 3])
    g.save(path)


def writeMotion(out: str, nt: int, s_bridge: float, delta_pitch: float, full: bool = False, seed: int = 7,
                targets: np.ndarray | None = None, opening: dict | None = None, dynamic: bool = False):
    """full: realistic-size networks around the same path; targets: NT x 63 target keypoints for
    xs_target.bin (default: the posed descriptions); opening: {row: (dx, dy, dz)} at full opening
    (default LIP_DIRS); only the rows the motion model moves (LIP_ROWS) are kept; dynamic: the
    networks declared with free dimensions (see --dynamic)."""
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(seed)

    def put(name: str, arr: np.ndarray):
        np.asarray(arr, np.float32).tofile(os.path.join(out, name))

    window = hann()
    binmat = melMatrix()
    mu, sig, l0 = calibrate(window, binmat)
    put("hubert_stft_window.bin", window)
    put("hubert_stft_binmat.bin", binmat.reshape(-1))
    fmean, fstd = studentGraph(os.path.join(out, "hubert_student.onnx"), mu, sig, rng, full, dynamic)
    put("hubert_fmean.bin", fmean)
    put("hubert_fstd.bin", fstd)
    put("emo.bin", rng.uniform(-0.5, 0.5, (N_EMO, 8)))
    put("ch_sc.bin", rng.uniform(0.9, 1.1, 63))
    put("ch_eye_open.bin", [0.3, 0.3])
    put("ch_eye_ball.bin", np.zeros(6))

    ch = descRow(np.zeros(63, np.float32), 0.0, 0.0, 0.0, 1.0, 0.0, 0.0)
    put("ch_xs_info.bin", ch)
    src = []
    for i in range(nt):
        ph = 2 * math.pi * i / max(nt, 1)
        expr = np.zeros(63, np.float32)
        src.append(descRow(expr, 1.5 * math.sin(2 * ph), 3.0 * math.sin(ph), 0.0,
                           1.0 if i == 0 else 1.0 + 0.01 * math.sin(ph), 0.02 * math.sin(ph), 0.005 * math.cos(ph)))
    src = np.stack(src)
    put("src_xs_info.bin", src.reshape(-1))
    if targets is None:
        targets = np.stack([posedKeypoints(q) for q in src])
    elif np.asarray(targets).size != nt * 63:
        raise ValueError(f"motion targets hold {np.asarray(targets).size} floats, expected {nt} x 63")
    put("xs_target.bin", np.asarray(targets).reshape(-1))

    init = motionState(ch)
    lips = lipDirection(None if opening is None else {r: v for r, v in opening.items() if r in LIP_ROWS})
    direc = lmdmGraph(os.path.join(out, "lmdm.onnx"), init, l0, 5.0 / sig, lips, full, dynamic)
    lo = init - 1.0
    hi = init + 1.0
    lo[EXPR_AT:] = init[EXPR_AT:] + np.minimum(direc[EXPR_AT:], 0.0) - 0.01
    hi[EXPR_AT:] = init[EXPR_AT:] + np.maximum(direc[EXPR_AT:], 0.0) + 0.01
    put("v_min_max.bin", np.concatenate([lo, hi]))
    stitchGraph(os.path.join(out, "stitch.onnx"), full, dynamic)
    meta = {"nt": nt, "n_src": nt, "n_emo": N_EMO, "s_bridge": s_bridge, "delta_pitch": delta_pitch,
            "networks": "full" if full else "tiny", "loudness": {"silence_to_speech_mid": mu, "half_open": l0}}
    with open(os.path.join(out, "meta.json"), "w") as f:
        json.dump(meta, f, indent=1)


# ---- fca --------------------------------------------------------------------------------------------

ENC_LAYERS = 12
ENC_FRAMES = 200
ENC_CH = 768
FCA_LAYERS = (4, 5, 6, 7, 8, 9)
FCA_WEIGHTS = np.array([0.10, 0.30, 0.20, 0.15, 0.10, 0.10, 0.05], np.float32)  # offsets -1..5


def encoderGraph(path: str, rng, dynamic: bool = False) -> np.ndarray:
    """Returns the projection [2, 12, 768] (loudness, difference loudness)."""
    proj = rng.uniform(-0.05, 0.05, (2, ENC_LAYERS, ENC_CH)).astype(np.float32)
    proj[0] += 0.08  # the loudness axis dominates every layer
    g = Graph("audio_encoder_8s")
    x = g.input("input_values", ["batch", "seq"] if dynamic else [1, 128000])
    if dynamic:
        x = batchOfOne(g, x)
    fr = g.op("Reshape", [x, g.init([ENC_FRAMES, 640], np.int64)])
    floor = math.log(1e-4)

    def logEnergy(v: str) -> str:
        e = g.op("ReduceMean", [g.op("Mul", [v, v])], axes=[1], keepdims=1)  # [200, 1]
        return g.op("Sub", [g.op("Log", [g.op("Add", [e, g.init(1e-4)])]), g.init(floor)])

    d = g.op("Sub", [g.op("Slice", [fr, g.init([1], np.int64), g.init([640], np.int64), g.init([1], np.int64)]),
                     g.op("Slice", [fr, g.init([0], np.int64), g.init([639], np.int64), g.init([1], np.int64)])])
    f2 = g.op("Concat", [logEnergy(fr), logEnergy(d)], axis=1)  # [200, 2]
    y = g.op("MatMul", [f2, g.init(proj.reshape(2, -1))])  # [200, 9216]
    y3 = g.op("Reshape", [y, g.init([ENC_FRAMES, ENC_LAYERS, ENC_CH], np.int64)])
    g.op("Transpose", [y3], out="audio_emb", perm=[1, 0, 2])
    g.output("audio_emb", ["layers", "frames", "channels"] if dynamic else [ENC_LAYERS, ENC_FRAMES, ENC_CH])
    g.save(path)
    return proj


def fcaGraph(path: str, proj: np.ndarray, lips: np.ndarray, dynamic: bool = False):
    a = proj[0, list(FCA_LAYERS)].mean(axis=0).astype(np.float64)
    b = proj[1, list(FCA_LAYERS)].mean(axis=0).astype(np.float64)
    m = np.stack([a, b])
    u = (m.T @ np.linalg.inv(m @ m.T))[:, 0].astype(np.float32)  # u . a = 1, u . b = 0
    g = Graph("fca_stream")
    cond = g.input("cond", ["B", 7 * ENC_CH] if dynamic else [1, 7 * ENC_CH])
    prev = g.input("prev", ["B", 63] if dynamic else [1, 63])
    h = g.input("h", ["B", "L", 384] if dynamic else [1, 1, 384])
    if dynamic:
        cond, prev, h = batchOfOne(g, cond), batchOfOne(g, prev), batchOfOne(g, h)
    win = g.op("Reshape", [cond, g.init([7, ENC_CH], np.int64)])
    r7 = g.op("MatMul", [win, g.init(u.reshape(ENC_CH, 1))])  # [7, 1] relative loudness per frame
    r = g.op("MatMul", [g.init(FCA_WEIGHTS.reshape(1, 7)), r7])  # [1, 1]
    op = g.op("Sigmoid", [g.op("Mul", [g.op("Add", [r, g.init(2.5)]), g.init(1.5)])])
    op3 = g.op("Unsqueeze", [op, g.init([0], np.int64)])  # [1, 1, 1]
    hn = g.op("Add", [g.op("Mul", [h, g.init(0.4)]), g.op("Mul", [op3, g.init(np.full((1, 1, 384), 0.6, np.float32))])],
              out="hn")
    s = g.op("ReduceMean", [hn], axes=[2], keepdims=0)  # [1, 1]
    g.op("Add", [g.op("Mul", [s, g.init((0.8 * lips).reshape(1, 63))]), g.op("Mul", [prev, g.init(0.2)])],
         out="m")
    g.output("m", ["B", 63] if dynamic else [1, 63])
    g.output("hn", ["B", "L", 384] if dynamic else [1, 1, 384])
    g.save(path)


FCA_ENCODER = "audio_encoder_8s.onnx"


def writeFca(out: str, seed: int = 11, opening: dict | None = None, dynamic: bool = False):
    """fca_stream.onnx and the 8 s encoder it reads (FCA_ENCODER); opening as in writeMotion, every
    row kept; dynamic as in writeMotion."""
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(seed)
    proj = encoderGraph(os.path.join(out, FCA_ENCODER), rng, dynamic)
    fcaGraph(os.path.join(out, "fca_stream.onnx"), proj, lipDirection(opening), dynamic)


def main(argv: list[str]) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="what", required=True)
    pm = sub.add_parser("motion")
    pm.add_argument("out")
    pm.add_argument("--nt", type=int, default=8)
    pm.add_argument("--s-bridge", type=float, default=1.0)
    pm.add_argument("--delta-pitch", type=float, default=0.0)
    pm.add_argument("--size", choices=("tiny", "full"), default="tiny",
                    help="tiny: small graphs for the tests; full: networks of realistic size for benchmarks")
    pm.add_argument("--dynamic", action="store_true", help="declare the networks with free dimensions")
    pf = sub.add_parser("fca")
    pf.add_argument("out")
    pf.add_argument("--dynamic", action="store_true", help="declare the networks with free dimensions")
    a = p.parse_args(argv)
    if a.what == "motion":
        if a.nt < 1:
            p.error("--nt must be at least 1")
        writeMotion(a.out, a.nt, a.s_bridge, a.delta_pitch, a.size == "full", dynamic=a.dynamic)
    else:
        writeFca(a.out, dynamic=a.dynamic)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
