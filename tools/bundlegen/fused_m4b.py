"""The fused m4b director: the one topology the fp16 convolution backend (src/render/vesk_conv.*)
runs without ONNX Runtime, at crop 512, with hand-set weights.

Inputs pooled64 [B, 64, 32, 32], P_rgb [B, 3, 512, 512], kp_driving and kp_source [B, 21, 3];
output rgb [B, 3, 512, 512]. The stages, under the output names a test asks ONNX Runtime for:

    heatmaps    a Gaussian bump exp(HEAT_COEF |q - kd_k|^2) per driving keypoint on the 32 x 32
                lattice q (grid32, the keypoint-space cell centres)
    pre_relu    1x1 conv of pooled64 ++ heatmaps (85 channels) to 96
    e0..d0      a 32 x 32 encoder-decoder: e0 at 32, 2x2 average pool, e1 at 16, pool, e2 at 8;
                d1 reads up2(e2) ++ e1 (336), d0 reads up2(d1) ++ e0 (240); every conv 3x3, ReLU
    ref_relu    3x3 conv of up2(d0), 64 x 64, 48 channels
    mask_conv   22 logits: 0 the background, 1 + k keypoint k;  occ_sig  sigmoid of one more conv
    grid_add    s.grid64 + sum_k softmax(mask)_k * offset_k, offset_0 = 0 and offset_{1+k} the
                source-minus-driving offset of keypoint k in sampling-grid units
    basisimg    coefficients of s.wmlp (255 inputs: kd - ks flattened, 63, and the 8 x 8 mean of
                e2's 192 channels; 128 ReLU; 64) times the (64, 196608) basis: 3 planes of 256 x 256
    occ512      occ_sig up 8x;  warped: GridSample(P_rgb, up8(grid_add)), bilinear, border
    composite   warped * occ512 + up2(basis image)
    corr*       3x3 convs at 256 x 256 on avg2(warped) ++ avg2(occ512) ++ basis image (7 channels);
                refined = composite + DepthToSpace(corr2, 2, CRD)
    tile*       3x3 convs on the window rows 224..479, columns 144..351 of refined ++ warped ++
                occ512 (7 channels); rgb = refined + (tile3 * s.feather) placed in the window

Every upsampling is a linear Resize with half-pixel centres. The weights carry the picture: the
heatmap channels pass through the encoder-decoder by centre taps, so the mask picks the driving
keypoint nearest each pixel and the grid moves the prior's pixels with it; the occlusion stays
near 1; basis 0 is a dark blob in the mouth that the MLP opens with the lower lip's drop; the
correction and tile networks add a few hundredths of detail.

Integer operands are Constant nodes, as the exporter writes them: every initializer is float32.
The exporter-style names of the pre weight and bias, grid32 and the basis are the ones the
backend finds by shape and counter, so they stay as written here.
"""

from __future__ import annotations

import numpy as np

import graphs
from face import KP_ROWS, LOWER_LIP_ROWS

CROP = 512
HEAT_COEF = -32.0  # exp(HEAT_COEF d^2): radius about 0.125 of the crop's half-width
KP_TO_GS = 511.0 / 512.0  # keypoint space (-1, +1 = first, last pixel centre) to sampling-grid space
TILE_Y, TILE_X, TILE_H, TILE_W = 224, 144, 256, 208
PRE_W, PRE_B, GRID32, BASIS = "onnx::Conv_313", "onnx::Conv_314", "onnx::Sub_316", "onnx::MatMul_338"


def lattice(n: int, keypoint_space: bool) -> np.ndarray:
    """[n, n, 2] x, y of the cell centres of an n x n lattice over the crop."""
    c = (np.arange(n, dtype=np.float64) + 0.5) * (CROP / n) - 0.5  # crop pixels
    t = c * 2.0 / (CROP - 1.0) - 1.0 if keypoint_space else (2.0 * c + 1.0) / CROP - 1.0
    out = np.empty((n, n, 2), np.float32)
    out[:, :, 0] = t[None, :]
    out[:, :, 1] = t[:, None]
    return out


def convW(rng, cout: int, cin: int, gain: float, k: int = 3) -> np.ndarray:
    return (rng.standard_normal((cout, cin, k, k)) * gain / np.sqrt(cin * k * k)).astype(np.float32)


def passThrough(w: np.ndarray, rows: int, col0: int = 0, k: int = 3):
    """Output channel i reads input channel col0 + i by its centre tap, for i below rows."""
    for i in range(rows):
        w[i, :, :, :] *= 0.05
        w[i, col0 + i, k // 2, k // 2] = 1.0


def weights(seed: int = 2027) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    K = KP_ROWS
    w: dict[str, np.ndarray] = {}

    pre = np.zeros((96, 85, 1, 1), np.float32)
    for k in range(K):
        pre[k, 64 + k] = 1.0
    pre[K:, :64, 0, 0] = rng.standard_normal((96 - K, 64)) * 0.25
    w[PRE_W] = pre
    w[PRE_B] = np.concatenate([np.zeros(K), rng.uniform(0.0, 0.2, 96 - K)]).astype(np.float32)

    def layer(name, cout, cin, gain, keep=0, col0=0, bias=0.05):
        wt = convW(rng, cout, cin, gain)
        if keep:
            passThrough(wt, keep, col0)
        w[f"s.{name}.conv.weight"] = wt
        b = np.full(cout, bias, np.float32)
        b[:keep] = 0.0
        w[f"s.{name}.conv.bias"] = b

    layer("e0", 96, 96, 1.2, keep=K)
    layer("e1", 144, 96, 1.2)
    layer("e2", 192, 144, 1.2)
    layer("d1", 144, 336, 1.2)
    layer("d0", 96, 240, 1.2, keep=K, col0=144)
    layer("ref", 48, 96, 1.2, keep=K)

    mask = convW(rng, 22, 48, 0.3)
    for k in range(K):
        mask[1 + k, k, 1, 1] += 7.0
    w["s.mask.weight"] = mask
    w["s.mask.bias"] = np.concatenate([[2.0], np.zeros(K)]).astype(np.float32)
    w["s.occ.weight"] = convW(rng, 1, 48, 0.5)
    w["s.occ.bias"] = np.array([5.0], np.float32)

    layer("corr.0", 24, 7, 1.0)
    layer("corr.1", 24, 24, 1.0)
    w["s.corr.2.weight"] = convW(rng, 12, 24, 0.05)
    w["s.corr.2.bias"] = np.zeros(12, np.float32)
    layer("tile.0", 32, 7, 1.0)
    layer("tile.1", 32, 32, 1.0)
    layer("tile.2", 32, 32, 1.0)
    w["s.tile.3.weight"] = convW(rng, 3, 32, 0.05)
    w["s.tile.3.bias"] = np.zeros(3, np.float32)

    w["s.grid64"] = lattice(64, keypoint_space=False)
    w[GRID32] = lattice(32, keypoint_space=True).reshape(1, 1, 32, 32, 2)
    fy = np.minimum(np.arange(TILE_H) + 0.5, TILE_H - 0.5 - np.arange(TILE_H)) / 24.0
    fx = np.minimum(np.arange(TILE_W) + 0.5, TILE_W - 0.5 - np.arange(TILE_W)) / 24.0
    ramp = lambda t: 0.5 - 0.5 * np.cos(np.pi * np.clip(t, 0.0, 1.0))  # noqa: E731
    w["s.feather"] = (ramp(fy)[:, None] * ramp(fx)[None, :]).reshape(1, 1, TILE_H, TILE_W).astype(np.float32)

    # MLP: hidden 0 is the lower lip's mean drop (driving minus source y), which opens basis 0 (the
    # dark mouth blob); the rest are small random mixtures.
    w0 = rng.standard_normal((128, 255)) * 0.02
    w0[0, :] = 0.0
    for r in LOWER_LIP_ROWS:
        w0[0, 3 * r + 1] = 8.0 / len(LOWER_LIP_ROWS)
    w["s.wmlp.0.weight"] = w0.astype(np.float32)
    w["s.wmlp.0.bias"] = np.zeros(128, np.float32)
    w2 = rng.standard_normal((64, 128)) * 0.02
    w2[0, :] = 0.0
    w2[0, 0] = 1.0
    w["s.wmlp.2.weight"] = w2.astype(np.float32)
    w["s.wmlp.2.bias"] = np.zeros(64, np.float32)

    # Basis 0: the mouth blob; the others smooth low-frequency patterns of small weight.
    yy, xx = np.meshgrid(np.arange(256) + 0.5, np.arange(256) + 0.5, indexing="ij")
    basis = np.empty((64, 3, 256, 256), np.float32)
    blob = np.exp(-(((xx - 128.0) / 22.0) ** 2 + ((yy - 176.0) / 10.0) ** 2))
    basis[0] = -0.6 * blob[None] * np.array([0.8, 1.0, 1.0])[:, None, None]
    for i in range(1, 64):
        fx_, fy_ = rng.integers(1, 5, 2)
        ph = rng.uniform(0, 2 * np.pi, 3)
        basis[i] = 0.05 * np.cos(np.pi * fx_ * xx / 256.0 + ph[:, None, None]) * np.cos(np.pi * fy_ * yy / 256.0)
    w[BASIS] = basis.reshape(64, 3 * 256 * 256)
    return w


def build(batch: int) -> "graphs.Builder":
    b = graphs.Builder("vesk_synthetic_m4b_fused")
    i64, f32 = graphs.i64, graphs.f32
    B, K = batch, KP_ROWS
    b.input("pooled64", [B, 64, 32, 32])
    b.input("P_rgb", [B, 3, CROP, CROP])
    b.input("kp_driving", [B, K, 3])
    b.input("kp_source", [B, K, 3])
    b.output("rgb", [B, 3, CROP, CROP])
    W = weights()
    # Initializers in the exporter's order: the named parameters, then the shape-found tensors.
    for name, arr in W.items():
        b.init(name, arr)

    def conv(x, wname, bname, relu, name, out=None, pad=1):
        y = b.op("Conv", [x, wname, bname], name=f"/{name}/Conv", kernel_shape=[2 * pad + 1] * 2,
                 pads=[pad] * 4, out=None if relu else out)
        return b.op("Relu", [y], name=f"/{name}/Relu", out=out) if relu else y

    def up(x, f, name, out=None):
        return b.op("Resize", [x, "", b.init(f"{name}_scales", f32([1, 1, f, f]))], name=f"/{name}/Resize",
                    mode="linear", coordinate_transformation_mode="half_pixel", out=out)

    def pool2(x, name):
        return b.op("AveragePool", [x], name=f"/{name}/AveragePool", kernel_shape=[2, 2], strides=[2, 2])

    kd2 = b.op("Slice", ["kp_driving", b.const("kd_xy_s", i64([0])), b.const("kd_xy_e", i64([2])),
                         b.const("kd_xy_a", i64([2]))], name="/kp/kd_xy")
    ks2 = b.op("Slice", ["kp_source", b.const("ks_xy_s", i64([0])), b.const("ks_xy_e", i64([2])),
                         b.const("ks_xy_a", i64([2]))], name="/kp/ks_xy")
    kd5 = b.op("Reshape", [kd2, b.const("kd5_shape", i64([B, K, 1, 1, 2]))], name="/heat/kd5")
    diff = b.op("Sub", [GRID32, kd5], name="/heat/Sub")
    d2 = b.op("ReduceSum", [b.op("Mul", [diff, diff], name="/heat/sq"), b.const("heat_axes", i64([4]))],
              name="/heat/d2", keepdims=0)
    heat = b.op("Exp", [b.op("Mul", [d2, b.init("heat_coef", f32([HEAT_COEF]))], name="/heat/scaled")],
                name="/heat/Exp")
    x = b.op("Concat", ["pooled64", heat], name="/pre/Concat", axis=1)
    pre = conv(x, PRE_W, PRE_B, True, "pre", out="pre_relu", pad=0)
    e0 = conv(pre, "s.e0.conv.weight", "s.e0.conv.bias", True, "e0", out="e0_relu")
    e1 = conv(pool2(e0, "p0"), "s.e1.conv.weight", "s.e1.conv.bias", True, "e1", out="e1_relu")
    e2 = conv(pool2(e1, "p1"), "s.e2.conv.weight", "s.e2.conv.bias", True, "e2", out="e2_relu")
    d1 = conv(b.op("Concat", [up(e2, 2.0, "u2"), e1], name="/d1/Concat", axis=1), "s.d1.conv.weight",
              "s.d1.conv.bias", True, "d1", out="d1_relu")
    d0 = conv(b.op("Concat", [up(d1, 2.0, "u1"), e0], name="/d0/Concat", axis=1), "s.d0.conv.weight",
              "s.d0.conv.bias", True, "d0", out="d0_relu")
    ref = conv(up(d0, 2.0, "u0"), "s.ref.conv.weight", "s.ref.conv.bias", True, "ref", out="ref_relu")
    mask = conv(ref, "s.mask.weight", "s.mask.bias", False, "mask", out="mask_conv")
    occ = b.op("Sigmoid", [conv(ref, "s.occ.weight", "s.occ.bias", False, "occ")], name="/occ/Sigmoid",
               out="occ_sig")

    # Grid: the softmax-weighted keypoint offsets (background 0) added onto s.grid64.
    soft = b.op("Softmax", [mask], name="/grid/Softmax", axis=1)
    sm = b.op("Reshape", [b.op("Transpose", [soft], name="/grid/nhwc", perm=[0, 2, 3, 1]),
                          b.const("grid_sm_shape", i64([B, 64 * 64, K + 1]))], name="/grid/flat")
    off = b.op("Mul", [b.op("Sub", [ks2, kd2], name="/grid/kp_offset"), b.init("grid_kp_to_gs", f32([KP_TO_GS]))],
               name="/grid/offset_gs")
    off = b.op("Pad", [off, b.const("grid_bg_pads", i64([0, 1, 0, 0, 0, 0]))], name="/grid/with_bg")
    disp = b.op("Reshape", [b.op("MatMul", [sm, off], name="/grid/MatMul"),
                            b.const("grid_disp_shape", i64([B, 64, 64, 2]))], name="/grid/disp")
    grid = b.op("Add", [disp, "s.grid64"], name="/grid/Add", out="grid_add")

    # Basis image from the keypoint motion and the bottleneck's mean.
    dk = b.op("Reshape", [b.op("Sub", ["kp_driving", "kp_source"], name="/mlp/kp_delta"),
                          b.const("mlp_dk_shape", i64([B, 3 * K]))], name="/mlp/kp_flat")
    gap = b.op("Reshape", [b.op("GlobalAveragePool", [e2], name="/mlp/gap"), b.const("mlp_gap_shape", i64([B, 192]))],
               name="/mlp/gap_flat")
    h = b.op("Relu", [b.op("Gemm", [b.op("Concat", [dk, gap], name="/mlp/Concat", axis=1), "s.wmlp.0.weight",
                                    "s.wmlp.0.bias"], name="/wmlp/0/Gemm", transB=1)], name="/wmlp/1/Relu")
    coef = b.op("Gemm", [h, "s.wmlp.2.weight", "s.wmlp.2.bias"], name="/wmlp/2/Gemm", transB=1)
    basisimg = b.op("MatMul", [coef, BASIS], name="/basis/MatMul", out="basisimg")
    bimg = b.op("Reshape", [basisimg, b.const("basis_img_shape", i64([B, 3, 256, 256]))], name="/basis/img")

    occ512 = up(occ, 8.0, "occ512", out="occ512")
    g512 = b.op("Transpose", [up(b.op("Transpose", [grid], name="/warp/grid_nchw", perm=[0, 3, 1, 2]), 8.0,
                                 "grid512")], name="/warp/grid_nhwc", perm=[0, 2, 3, 1])
    warped = b.op("GridSample", ["P_rgb", g512], name="/warp/GridSample", mode="bilinear", padding_mode="border",
                  align_corners=0, out="warped")
    composite = b.op("Add", [b.op("Mul", [warped, occ512], name="/comp/occ"), up(bimg, 2.0, "basis512")],
                     name="/comp/Add")
    cin = b.op("Concat", [pool2(warped, "cw"), pool2(occ512, "co"), bimg], name="/corr/Concat", axis=1)
    c0 = conv(cin, "s.corr.0.conv.weight", "s.corr.0.conv.bias", True, "corr0", out="corr0_relu")
    c1 = conv(c0, "s.corr.1.conv.weight", "s.corr.1.conv.bias", True, "corr1", out="corr1_relu")
    c2 = conv(c1, "s.corr.2.weight", "s.corr.2.bias", False, "corr2", out="corr2_conv")
    refined = b.op("Add", [composite, b.op("DepthToSpace", [c2], name="/corr/DepthToSpace", blocksize=2, mode="CRD")],
                   name="/corr/Add", out="refined")

    win = [b.const("tile_s", i64([TILE_Y, TILE_X])), b.const("tile_e", i64([TILE_Y + TILE_H, TILE_X + TILE_W])),
           b.const("tile_a", i64([2, 3]))]
    tin = b.op("Concat", [b.op("Slice", [refined] + win, name="/tile/refined"),
                          b.op("Slice", [warped] + win, name="/tile/warped"),
                          b.op("Slice", [occ512] + win, name="/tile/occ")], name="/tile/Concat", axis=1)
    t = conv(tin, "s.tile.0.conv.weight", "s.tile.0.conv.bias", True, "tile0")
    t = conv(t, "s.tile.1.conv.weight", "s.tile.1.conv.bias", True, "tile1")
    t = conv(t, "s.tile.2.conv.weight", "s.tile.2.conv.bias", True, "tile2", out="tile2_relu")
    t = conv(t, "s.tile.3.weight", "s.tile.3.bias", False, "tile3", out="tile3_conv")
    placed = b.op("Pad", [b.op("Mul", [t, "s.feather"], name="/tile/feather"),
                          b.const("tile_pads", i64([0, 0, TILE_Y, TILE_X, 0, 0, CROP - TILE_Y - TILE_H,
                                                   CROP - TILE_X - TILE_W]))], name="/tile/place")
    b.op("Add", [refined, placed], name="/out/Add", out="rgb")
    return b


def model(batch: int):
    return build(batch).model(f"vesk synthetic fused m4b director, batch {batch}, crop {CROP}")
