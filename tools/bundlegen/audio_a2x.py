#!/usr/bin/python3
"""Writes small, hand-weighted audio models and bundle members for the streaming audio tests.

There are no trained models in this repository, so this module builds stand-ins with the exact
tensor contracts the library serves, cheap enough for tests on two cores, and with one meaningful
path through them: the loudness of the speech opens the mouth.

  frontend  trunk: Conv(8 band filters, 160 taps, hop 80) -> square -> 1x1 mix to 640 channels ->
            log(1 + e) -> float16 [1, 640, LT]. Position p covers samples [80p, 80p + 160).
            head: [N, 640] -> tanh(. W1 + b1) -> . W2 + b2 -> [N, 12, 768]; hidden unit 0 is the
            low-band minus high-band log energy (voice against noise or silence, after each
            window's normalisation), and it is written into channel 0 of every layer.
            The 8 s encoder is the same trunk over 128000 samples (LT 1599), linearly resampled to
            200 frames at positions i * 1598 / 199 (the resampling the short-window frontend
            applies to its own trunk), followed by the same head; so both frontends give the same
            features at a frame, up to each window's own normalisation.
  encoder   feat -> (sum of channel 0 over the layers on unit 0, small mixes elsewhere) + pos_window,
            then `layers` residual attention layers over the band mask. The attention kernel is
            relu(1 + q.k / sqrt(h) + attn) normalised by its row sum, both from one matrix product, so
            a frame's row does not depend on where its band starts (masked terms are exact zeros).
  decoder   z = tanh(ctx Wc + h Wh + prev Wp + b); m = z Wm; h_out = z. Unit 0 carries the
            smoothed loudness; Wm moves the lip rows with it.

Usage: audio_a2x.py OUT_DIR  (writes OUT_DIR/w2v_pair, w2v_legacy, w2v_only, w2v_dyn, bundle, bundle_wn and
the variants bundle_dec_layout, bundle_ctx_f16, bundle_ctx_f64)

The identity generator (vesk_bundlegen.py --audio) imports this module: writeIdentityA2x puts the
same models into an identity bundle, with the lip moves mapped onto that identity's keypoint rows
(see face.py) and writeSpeechEncoders puts the shared speech encoders beside them.
"""

import json
import os
import sys

import numpy as np
from onnx import TensorProto, helper

from onnxgraph import initializer as init, model as make_model, save

LAYERS_W2V = 12
CH_W2V = 768
TRUNK_CH = 640
BANDS = 8
TAPS = 160
HOP = 80
HIDDEN = 16
H = 32
WINDOW = 2
LEFT = 4
ENC_LAYERS = 2
POS_ROWS = 400
NT = 50
KP = 63

# Lip rows of the 21 keypoints (outline 17..20) and the jaw rows that follow the opening.
# Each entry: row, axis (0 x, 1 y), gain on the loudness unit.
LIP_MOVES = [(17, 1, -1.0), (18, 1, -0.7), (19, 1, 1.0), (20, 1, 0.7), (6, 1, 0.4), (12, 1, 0.4), (14, 1, 0.4)]


def rng():
    return np.random.default_rng(20240607)


class Weights:
    """Every weight of the frontend, the encoder and the decoder. lip_moves: (row, axis, gain)
    entries that put the loudness unit onto keypoint coordinates; the draws do not depend on them,
    so two Weights with different moves share the frontend and the encoder exactly."""

    def __init__(self, lip_moves=LIP_MOVES, loudness_unit=(0.8, 0.3, 0.0)):
        r = rng()
        t = np.arange(TAPS) + 0.5
        hann = np.sin(np.pi * t / TAPS) ** 2
        freqs = np.geomspace(150.0, 3400.0, BANDS)
        filt = np.stack([hann * np.cos(2 * np.pi * f * t / 16000.0) for f in freqs])
        filt /= np.sqrt((filt ** 2).sum(axis=1, keepdims=True))  # unit gain on white noise
        self.filters = filt.reshape(BANDS, 1, TAPS)
        # Channels 0..319 mix the low bands (where voiced speech lies), 320..639 the high ones. After
        # each window's normalisation noise fills both alike; voice fills the low ones, silence neither.
        mix = r.uniform(0.5, 1.5, size=(TRUNK_CH, BANDS))
        half = TRUNK_CH // 2
        mix[:half, BANDS // 2:] = 0.0
        mix[half:, :BANDS // 2 + 1] = 0.0
        self.mix = (mix / mix.sum(axis=1, keepdims=True)).reshape(TRUNK_CH, BANDS, 1)
        w1 = r.normal(0.0, 0.05, size=(TRUNK_CH, HIDDEN))
        w1[:half, 0] = 3.0 / half
        w1[half:, 0] = -3.0 / half
        b1 = r.normal(0.0, 0.05, size=HIDDEN)
        b1[0] = -0.5
        w2 = r.normal(0.0, 0.02, size=(HIDDEN, LAYERS_W2V * CH_W2V))
        w2[0, :] = 0.0
        w2[:, 0::CH_W2V] = 0.0
        w2[0, 0::CH_W2V] = 1.0
        self.w1, self.b1, self.w2 = w1, b1, w2
        self.b2 = r.normal(0.0, 0.01, size=LAYERS_W2V * CH_W2V)
        self.b2[0::CH_W2V] = 0.0
        # Encoder.
        win = r.normal(0.0, 0.002, size=(LAYERS_W2V * CH_W2V, H))
        win[:, 0] = 0.0
        win[0::CH_W2V, 0] = 1.0 / LAYERS_W2V
        self.win = win
        self.layers = []
        for _ in range(ENC_LAYERS):
            wq = r.normal(0.0, 0.3, size=(H, H))
            wk = r.normal(0.0, 0.3, size=(H, H))
            wv = np.eye(H) + r.normal(0.0, 0.05, size=(H, H))
            wo = 0.5 * np.eye(H) + r.normal(0.0, 0.02, size=(H, H))
            self.layers.append((wq, wk, wv, wo))
        self.wwn = r.normal(0.0, 0.1, size=(H, 1))
        self.wwn[0, 0] = 1.0
        # Decoder.
        wc = r.normal(0.0, 0.05, size=(H, H))
        wc[0, :] = 0.0
        wc[:, 0] = 0.0
        wh = 0.3 * np.eye(H) + r.normal(0.0, 0.02, size=(H, H))
        wh[0, :] = 0.0
        wh[:, 0] = 0.0
        # Loudness unit: z0 = tanh(a ctx0 + c z0(previous frame) + b).
        wc[0, 0], wh[0, 0], bias0 = loudness_unit
        wp = r.normal(0.0, 0.01, size=(KP, H))
        wp[:, 0] = 0.0
        wm = r.normal(0.0, 0.02, size=(H, KP))
        wm[0, :] = 0.0
        for row, axis, gain in lip_moves:
            wm[0, row * 3 + axis] = gain
        self.wc, self.wh, self.wp, self.wm = wc, wh, wp, wm
        self.bdec = r.normal(0.0, 0.02, size=H)
        self.bdec[0] = bias0


def trunk_nodes(w, inits, x_name, n_samples, out_name):
    """[1, n] audio -> float16 [1, 640, LT]."""
    inits += [init("trunk_axis1", [1], np.int64), init("trunk_filters", w.filters),
              init("trunk_mix", w.mix), init("trunk_one", [1.0])]
    return [
        helper.make_node("Unsqueeze", [x_name, "trunk_axis1"], ["trunk_x3"]),
        helper.make_node("Conv", ["trunk_x3", "trunk_filters"], ["trunk_bands"], kernel_shape=[TAPS], strides=[HOP]),
        helper.make_node("Mul", ["trunk_bands", "trunk_bands"], ["trunk_energy"]),
        helper.make_node("Conv", ["trunk_energy", "trunk_mix"], ["trunk_mixed"], kernel_shape=[1]),
        helper.make_node("Add", ["trunk_mixed", "trunk_one"], ["trunk_mixed1"]),
        helper.make_node("Log", ["trunk_mixed1"], ["trunk_log"]),
        helper.make_node("Cast", ["trunk_log"], [out_name], to=TensorProto.FLOAT16),
    ]


def head_nodes(w, inits, x_name, out_name):
    """[N, 640] -> [N, 12, 768]."""
    inits += [init("head_w1", w.w1), init("head_b1", w.b1), init("head_w2", w.w2), init("head_b2", w.b2),
              init("head_shape", [-1, LAYERS_W2V, CH_W2V], np.int64)]
    return [
        helper.make_node("MatMul", [x_name, "head_w1"], ["head_a"]),
        helper.make_node("Add", ["head_a", "head_b1"], ["head_ab"]),
        helper.make_node("Tanh", ["head_ab"], ["head_t"]),
        helper.make_node("MatMul", ["head_t", "head_w2"], ["head_o"]),
        helper.make_node("Add", ["head_o", "head_b2"], ["head_ob"]),
        helper.make_node("Reshape", ["head_ob", "head_shape"], [out_name]),
    ]


def build_trunk(w, dynamic_lt=False):
    # The dynamic variant declares a free input length, so its output length is known only by running it.
    inits = []
    nodes = trunk_nodes(w, inits, "input_values", 32000, "hidden16")
    lt = "LT" if dynamic_lt else (32000 - TAPS) // HOP + 1
    n_in = "N" if dynamic_lt else 32000
    return make_model(nodes, [helper.make_tensor_value_info("input_values", TensorProto.FLOAT, [1, n_in])],
                      [helper.make_tensor_value_info("hidden16", TensorProto.FLOAT16, [1, TRUNK_CH, lt])],
                      inits, "w2v_trunk")


def build_head(w):
    inits = []
    nodes = head_nodes(w, inits, "x", "emb")
    return make_model(nodes, [helper.make_tensor_value_info("x", TensorProto.FLOAT, [8, TRUNK_CH])],
                      [helper.make_tensor_value_info("emb", TensorProto.FLOAT, [8, LAYERS_W2V, CH_W2V])],
                      inits, "w2v_head")


def resample_table():
    lt = (128000 - TAPS) // HOP + 1
    x = np.arange(200, dtype=np.float64) * (1598.0 / 199.0)
    p = np.floor(x).astype(np.int64)
    f = x - p
    q = np.minimum(p + 1, lt - 1)
    return p, q, f


def build_w2v8(w):
    inits = []
    nodes = trunk_nodes(w, inits, "input_values", 128000, "t16")
    p, q, f = resample_table()
    inits += [init("rs_p", p, np.int64), init("rs_q", q, np.int64), init("rs_f", f), init("rs_g", 1.0 - f),
              init("rs_shape", [TRUNK_CH, -1], np.int64)]
    nodes += [
        helper.make_node("Cast", ["t16"], ["t32"], to=TensorProto.FLOAT),
        helper.make_node("Reshape", ["t32", "rs_shape"], ["t2"]),
        helper.make_node("Gather", ["t2", "rs_p"], ["tp"], axis=1),
        helper.make_node("Gather", ["t2", "rs_q"], ["tq"], axis=1),
        helper.make_node("Mul", ["tp", "rs_g"], ["tpg"]),
        helper.make_node("Mul", ["tq", "rs_f"], ["tqf"]),
        helper.make_node("Add", ["tpg", "tqf"], ["tmix"]),
        helper.make_node("Transpose", ["tmix"], ["frames"], perm=[1, 0]),
    ]
    nodes += head_nodes(w, inits, "frames", "emb200")
    nodes.append(helper.make_node("Transpose", ["emb200"], ["audio_emb"], perm=[1, 0, 2]))
    return make_model(nodes, [helper.make_tensor_value_info("input_values", TensorProto.FLOAT, [1, 128000])],
                      [helper.make_tensor_value_info("audio_emb", TensorProto.FLOAT, [LAYERS_W2V, 200, CH_W2V])],
                      inits, "w2v8")


def build_encoder(w, with_wn, ctx_type=TensorProto.FLOAT):
    # ctx_type: the element type the context output is cast to and declared with (tests of refusals).
    inits = [init("enc_fshape", [1, -1, LAYERS_W2V * CH_W2V], np.int64), init("enc_win", w.win),
             init("enc_hshape", [-1, H], np.int64), init("enc_sq01", [0, 1], np.int64),
             init("enc_scale", [1.0 / np.sqrt(H)]), init("enc_one", [1.0]), init("enc_eps", [1e-6]),
             init("enc_s0", [0], np.int64), init("enc_s1", [1], np.int64),
             init("enc_c0", [0], np.int64), init("enc_ch", [H], np.int64), init("enc_ch1", [H + 1], np.int64), init("enc_oshape", [1, -1, H], np.int64)]
    nodes = [
        helper.make_node("Reshape", ["feat", "enc_fshape"], ["f2"]),
        helper.make_node("MatMul", ["f2", "enc_win"], ["x0a"]),
        helper.make_node("Add", ["x0a", "pos_window"], ["x0b"]),
        helper.make_node("Reshape", ["x0b", "enc_hshape"], ["x0"]),
        helper.make_node("Squeeze", ["attn", "enc_sq01"], ["mask"]),
        helper.make_node("Shape", ["x0"], ["xshape"]),
        helper.make_node("Slice", ["xshape", "enc_s0", "enc_s1"], ["nrows"]),
        helper.make_node("Concat", ["nrows", "enc_s1"], ["ones_shape"], axis=0),
        helper.make_node("ConstantOfShape", ["ones_shape"], ["ones"],
                         value=helper.make_tensor("one", TensorProto.FLOAT, [1], [1.0])),
    ]
    x = "x0"
    for li, (wq, wk, wv, wo) in enumerate(w.layers):
        p = f"l{li}_"
        inits += [init(p + "wq", wq), init(p + "wk", wk), init(p + "wv", wv), init(p + "wo", wo)]
        nodes += [
            helper.make_node("MatMul", [x, p + "wq"], [p + "q"]),
            helper.make_node("MatMul", [x, p + "wk"], [p + "k"]),
            helper.make_node("MatMul", [x, p + "wv"], [p + "v"]),
            helper.make_node("Transpose", [p + "k"], [p + "kt"], perm=[1, 0]),
            helper.make_node("MatMul", [p + "q", p + "kt"], [p + "s"]),
            helper.make_node("Mul", [p + "s", "enc_scale"], [p + "ss"]),
            helper.make_node("Add", [p + "ss", "enc_one"], [p + "s1"]),
            helper.make_node("Add", [p + "s1", "mask"], [p + "sm"]),
            helper.make_node("Relu", [p + "sm"], [p + "wgt"]),
            # One product gives the weighted values and the row sums (a ones column beside the
            # values), so both sum over the band in the same order whatever its height.
            helper.make_node("Concat", [p + "v", "ones"], [p + "v1"], axis=1),
            helper.make_node("MatMul", [p + "wgt", p + "v1"], [p + "nd"]),
            helper.make_node("Slice", [p + "nd", "enc_c0", "enc_ch", "enc_s1"], [p + "num"]),
            helper.make_node("Slice", [p + "nd", "enc_ch", "enc_ch1", "enc_s1"], [p + "den"]),
            helper.make_node("Add", [p + "den", "enc_eps"], [p + "den1"]),
            helper.make_node("Div", [p + "num", p + "den1"], [p + "att"]),
            helper.make_node("MatMul", [p + "att", p + "wo"], [p + "o"]),
            helper.make_node("Add", [x, p + "o"], [p + "x"]),
        ]
        x = p + "x"
    if ctx_type == TensorProto.FLOAT:
        nodes.append(helper.make_node("Reshape", [x, "enc_oshape"], ["ctx"]))
    else:
        nodes += [helper.make_node("Reshape", [x, "enc_oshape"], ["ctx32"]),
                  helper.make_node("Cast", ["ctx32"], ["ctx"], to=ctx_type)]
    outputs = [helper.make_tensor_value_info("ctx", ctx_type, [1, "n", H])]
    if with_wn:
        inits += [init("enc_wwn", w.wwn), init("enc_wnshape", [1, -1], np.int64)]
        nodes += [helper.make_node("MatMul", [x, "enc_wwn"], ["wn1"]),
                  helper.make_node("Reshape", ["wn1", "enc_wnshape"], ["wn"])]
        outputs.append(helper.make_tensor_value_info("wn", TensorProto.FLOAT, [1, "n"]))
    inputs = [helper.make_tensor_value_info("feat", TensorProto.FLOAT, [1, "n", LAYERS_W2V, CH_W2V]),
              helper.make_tensor_value_info("pos_window", TensorProto.FLOAT, [1, "n", H]),
              helper.make_tensor_value_info("attn", TensorProto.FLOAT, [1, 1, "n", "n"])]
    return make_model(nodes, inputs, outputs, inits, "a2x_enc_stream")


def build_decoder(w, other_layout=False):
    # other_layout: "m" as [63] and "h_out" as [b, h] (a free first dimension), the same values.
    inits = [init("dec_wc", w.wc), init("dec_wh", w.wh), init("dec_wp", w.wp), init("dec_wm", w.wm),
             init("dec_b", w.bdec), init("dec_h2", [1, H], np.int64), init("dec_h3", [1, 1, H], np.int64)]
    nodes = [
        helper.make_node("Reshape", ["h", "dec_h2"], ["hh"]),
        helper.make_node("MatMul", ["ctx_t", "dec_wc"], ["a"]),
        helper.make_node("MatMul", ["hh", "dec_wh"], ["b"]),
        helper.make_node("MatMul", ["prev", "dec_wp"], ["c"]),
        helper.make_node("Add", ["a", "b"], ["ab"]),
        helper.make_node("Add", ["ab", "c"], ["abc"]),
        helper.make_node("Add", ["abc", "dec_b"], ["pre"]),
        helper.make_node("Tanh", ["pre"], ["z"]),
        helper.make_node("MatMul", ["z", "dec_wm"], ["m"]),
        helper.make_node("Reshape", ["z", "dec_h3"], ["h_out"]),
    ]
    inputs = [helper.make_tensor_value_info("ctx_t", TensorProto.FLOAT, [1, H]),
              helper.make_tensor_value_info("prev", TensorProto.FLOAT, [1, KP]),
              helper.make_tensor_value_info("h", TensorProto.FLOAT, [1, 1, H])]
    outputs = [helper.make_tensor_value_info("m", TensorProto.FLOAT, [1, KP]),
               helper.make_tensor_value_info("h_out", TensorProto.FLOAT, [1, 1, H])]
    if other_layout:
        inits.append(init("dec_kp", [KP], np.int64))
        nodes[-2:] = [helper.make_node("MatMul", ["z", "dec_wm"], ["m2"]),
                      helper.make_node("Reshape", ["m2", "dec_kp"], ["m"]),
                      helper.make_node("Reshape", ["z", "dec_h2"], ["h_out"])]
        outputs = [helper.make_tensor_value_info("m", TensorProto.FLOAT, [KP]),
                   helper.make_tensor_value_info("h_out", TensorProto.FLOAT, ["b", H])]
    return make_model(nodes, inputs, outputs, inits, "a2x_dec")


def neutral_face():
    """21 keypoints (x, y, z) of a front-facing face, with the lips at rows 17..20."""
    kp = np.zeros((21, 3))
    kp[:, 0] = np.linspace(-0.6, 0.6, 21)
    kp[:, 1] = -0.2 + 0.05 * np.cos(np.arange(21))
    kp[6] = [0.0, 0.55, 0.02]    # chin
    kp[12] = [-0.3, 0.45, 0.0]   # jaw left
    kp[14] = [0.3, 0.45, 0.0]    # jaw right
    kp[17] = [0.0, 0.25, 0.05]   # upper lip
    kp[18] = [0.0, 0.28, 0.05]   # upper inner lip
    kp[19] = [0.0, 0.35, 0.05]   # lower lip
    kp[20] = [0.0, 0.32, 0.05]   # lower inner lip
    return kp


def positionalRows() -> np.ndarray:
    i = np.arange(POS_ROWS)[:, None]
    c = np.arange(H)[None, :]
    return 0.05 * np.sin(i / (10000.0 ** (c / H)) + (c % 2) * np.pi / 2)


def writeA2xModels(out, w, with_wn, meta, norm, enc_name="a2x_enc_stream.onnx", dec_name="a2x_dec.onnx",
                   ctx_type=TensorProto.FLOAT, dec_layout=False):
    """The streaming a2x members but the target table: encoder, decoder, meta, positions, norm
    (63 means then 63 scales). The model names may be the unified-layout aliases; ctx_type and
    dec_layout give the variants of build_encoder and build_decoder."""
    os.makedirs(out, exist_ok=True)
    save(build_encoder(w, with_wn, ctx_type), os.path.join(out, enc_name))
    save(build_decoder(w, dec_layout), os.path.join(out, dec_name))
    with open(os.path.join(out, "a2x_meta.json"), "w") as f:
        json.dump(meta, f, indent=1)
    positionalRows().astype("<f4").tofile(os.path.join(out, "a2x_pos.f32"))
    np.asarray(norm).astype("<f4").tofile(os.path.join(out, "a2x_norm.f32"))


def write_bundle(out, w, with_wn, meta, **variant):
    mean = np.zeros(KP)
    scale = np.full(KP, 0.01)
    for row, axis, gain in LIP_MOVES:
        # Mouth closed at the silent value of the loudness unit (about -0.8).
        mean[row * 3 + axis] = 0.8 * gain * 0.05
        scale[row * 3 + axis] = 0.05
    writeA2xModels(out, w, with_wn, meta, np.concatenate([mean, scale]), **variant)
    face = neutral_face()
    t = np.arange(NT)[:, None, None]
    rows = face[None] + 0.01 * np.sin(0.3 * t + np.arange(21)[None, :, None])
    rows.reshape(NT, KP).astype("<f4").tofile(os.path.join(out, "xs_target.bin"))


# The frontend pair under the names the library looks for beside W2V_ONNX.
PAIR_NAMES = ("audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx")


def writeSpeechEncoders(out, w, pair_names=PAIR_NAMES, dynamic_lt=False):
    """w2v.onnx (the 8 s encoder) and, unless pair_names is None, the short-window pair."""
    os.makedirs(out, exist_ok=True)
    save(build_w2v8(w), os.path.join(out, "w2v.onnx"))
    if pair_names:
        save(build_trunk(w, dynamic_lt=dynamic_lt), os.path.join(out, pair_names[0]))
        save(build_head(w), os.path.join(out, pair_names[1]))


# The identity's loudness unit: a steeper, smoother unit than the stand-alone decoder's, so that
# digital silence and a noise floor read as a closed mouth and voiced syllables as an open one.
IDENTITY_LOUDNESS_UNIT = (2.0, 0.8, -1.8)
# Its value over silence and over loud voiced speech (the 90th percentile), measured on these
# weights through the library's whole-run call: the two ends the lip moves are scaled between.
LOUDNESS_SILENT = -0.999
LOUDNESS_LOUD = 0.998


def writeIdentityA2x(out, opening, enc_name="a2x_enc_stream.onnx", dec_name="a2x_dec.onnx"):
    """The streaming a2x members of an identity bundle but its target table (the identity's own
    xs_target.bin). opening: {row: (dx, dy, dz)}, the lip displacement at full opening in the
    bundle's keypoint units. A coordinate's delta is opening x (u - silent) / (loud - silent) for the
    loudness unit u; the coordinates outside opening keep a negligible scale. Returns the weights
    (their frontend is the stand-alone one: writeSpeechEncoders writes it)."""
    moves = []
    mean = np.zeros(KP)
    scale = np.full(KP, 1e-4)
    span = LOUDNESS_LOUD - LOUDNESS_SILENT
    for row, d in sorted(opening.items()):
        for axis, v in enumerate(d):
            if v == 0.0:
                continue
            gain = 1.0 if v > 0 else -1.0
            moves.append((row, axis, gain))
            k = row * 3 + axis
            scale[k] = abs(v) / span
            mean[k] = -gain * scale[k] * LOUDNESS_SILENT
    w = Weights(moves, IDENTITY_LOUDNESS_UNIT)
    meta = {"h": H, "window": WINDOW, "left": LEFT, "layers": ENC_LAYERS, "silence_prime": 0}
    writeA2xModels(out, w, False, meta, np.concatenate([mean, scale]), enc_name, dec_name)
    return w


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: audio_a2x.py OUT_DIR")
    out = sys.argv[1]
    w = Weights()
    dirs = {"w2v_pair": PAIR_NAMES, "w2v_legacy": ("w2v_trunk32.onnx", "w2v_head32.onnx"), "w2v_only": None,
            "w2v_dyn": PAIR_NAMES}
    for d, names in dirs.items():
        writeSpeechEncoders(os.path.join(out, d), w, names, dynamic_lt=d == "w2v_dyn")
    meta = {"h": H, "window": WINDOW, "left": LEFT, "layers": ENC_LAYERS, "silence_prime": 0}
    write_bundle(os.path.join(out, "bundle"), w, False, meta)
    write_bundle(os.path.join(out, "bundle_wn"), w, True, meta)  # meta lacks "width" on purpose
    # The same models with the decoder's outputs in another layout, and encoders whose context
    # output is not float32 (to be refused).
    write_bundle(os.path.join(out, "bundle_dec_layout"), w, False, meta, dec_layout=True)
    write_bundle(os.path.join(out, "bundle_ctx_f16"), w, False, meta, ctx_type=TensorProto.FLOAT16)
    write_bundle(os.path.join(out, "bundle_ctx_f64"), w, True, meta, ctx_type=TensorProto.DOUBLE)


if __name__ == "__main__":
    main()
