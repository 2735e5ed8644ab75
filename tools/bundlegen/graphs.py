"""Synthetic director graphs (ONNX, written through onnxgraph).

Both families warp the identity's source crop by a dense sampling grid derived from the keypoint
displacement: around each driving keypoint a Gaussian weight carries the offset to its source
keypoint, the weights normalised with a small background term, so an output pixel near a driving
keypoint samples the source near the matching source keypoint and the offsets fade out away from
the keypoints. The grid is computed on a coarse G x G lattice (G = crop / 4) and upsampled, which keeps
the per-frame work to one GridSample and one small convolution at crop resolution.

m4b family (inputs pooled64, P_rgb, kp_driving, kp_source; output rgb):

    source cone   Pad(edge) -> Conv 3x3 (second differences) -> Concat(P_rgb, diffs): 12 channels
    warp          GridSample(cone, grid) bilinear/border/align_corners=0, then Slice nodes and a
                  Mul/Sub/Add chain: I - hx Ixx - hy Iyy + hx hy Ixxyy with hx = fx (1 - fx) / 2
                  from the fractional sample position, the second-difference-corrected bilinear
                  sample that the WarpDirector kernel computes in one node
    generated     a depthwise 3x3 sharpen of the warped source
    compose       a = Clip(lip ellipse of the driving keypoints), the ellipse evaluated at a quarter
                  of the crop resolution and brought up by the head: a [1, 1, 1] gain, one cubic x2
                  Resize (half_pixel, scales from a Constant [1, 1, 2, 2]) read by one 1x1 Conv,
                  then a linear x2 Resize; rgb = a gen + (1 - a) warped

FeatSynth family (inputs fs_red, pooled, kd, ks; output rgb): the source crop is carried in fs_red
as a space-to-depth image (see members.fsRed); DepthToSpace restores it, the same grid warps it, a
linear Resize brings it to crop resolution and the same compose tail finishes it.

Either family can carry a failure gate on its driving keypoints (openMouthGate): Session::Run then
fails for every input whose mouth is opened past a threshold, and renders as usual below it.
"""

from __future__ import annotations

import numpy as np
import onnx
from onnx import TensorProto, helper

import onnxgraph
from face import KP_ROWS, LIP_ROWS, LOWER_LIP_ROWS

# Lip-ellipse geometry of the compose alpha (pad_x, pad_y, down), the "v2" corpus geometry; the
# manifest's unified block states the same numbers.
LIP_GEOM = (0.10, 0.08, 0.074)
PROP_GATE_SCALE = 1.0
# The warp's offsets are computed on a lattice of GRID_CELL x GRID_CELL pixel cells and upsampled.
GRID_CELL = 4
# Weight of "no offset" in the normalised blend of the keypoint offsets.
BACKGROUND_WEIGHT = 0.05


def kpSigmas() -> np.ndarray:
    """Gaussian radius of each keypoint's influence, normalised crop units."""
    s = np.full(KP_ROWS, 0.10, np.float32)
    for r in LIP_ROWS:
        s[r] = 0.045
    s[18] = 0.05
    s[20] = 0.05
    s[7] = s[8] = 0.04  # eyelids
    s[13] = 0.15  # chin
    return s


class Builder(onnxgraph.Graph):
    """A director graph: named initializers kept in their own type, node names "/<op>_<n>" and
    outputs named after their node."""

    def __init__(self, name: str):
        super().__init__(name, producer="vesk_bundlegen", producer_version="1")

    def init(self, name: str, arr) -> str:
        return self.tensor(name, arr, None)

    def const(self, name: str, arr) -> str:
        """A Constant node (some load-time rewrites look for Constant producers, not initializers)."""
        t = onnxgraph.initializer(name + "_value", arr, None)
        self.nodes.append(helper.make_node("Constant", [], [name], name=name, value=t))
        return name

    def nodeName(self, op_type: str) -> str:
        return f"/{op_type.lower()}_{self.n}"

    def outName(self, node_name: str) -> str:
        return node_name.strip("/").replace("/", "_") + "_out"


def i64(v) -> np.ndarray:
    return np.asarray(v, np.int64)


def f32(v) -> np.ndarray:
    return np.asarray(v, np.float32)


def identityGrid(n: int) -> np.ndarray:
    """[1, n, n, 2] sampling positions (align_corners=0) of the pixel centres themselves."""
    g = (2.0 * np.arange(n, dtype=np.float64) + 1.0) / n - 1.0
    out = np.empty((1, n, n, 2), np.float32)
    out[0, :, :, 0] = g[None, :]
    out[0, :, :, 1] = g[:, None]
    return out


def coarsePoints(g: int, crop: int) -> np.ndarray:
    """[1, g*g, 1, 2] keypoint-space positions of the coarse lattice's cell centres, row-major."""
    gs = (2.0 * np.arange(g, dtype=np.float64) + 1.0) / g - 1.0  # sampling-grid space
    k = gs * crop / (crop - 1.0)  # keypoint space: -1 and +1 are the first and last pixel centres
    out = np.empty((1, g * g, 1, 2), np.float32)
    out[0, :, 0, 0] = np.tile(k, g)
    out[0, :, 0, 1] = np.repeat(k, g)
    return out


def keypointXY(b: Builder, kp: str, tag: str) -> str:
    """[B, 21, 2]: the x, y of the 21 host rows (a graph declaring more rows ignores the rest)."""
    return b.op("Slice", [kp, b.init(f"{tag}_xy_starts", i64([0, 0])), b.init(f"{tag}_xy_ends", i64([KP_ROWS, 2])),
                          b.init(f"{tag}_xy_axes", i64([1, 2]))], name=f"/kp/{tag}_xy")


def openMouthGate(b: Builder, kd2: str, ks2: str, threshold: float) -> str:
    """The driving keypoints times a gate that is 1 while the mouth is open by less than threshold
    and makes Session::Run fail otherwise, for tests of failures that appear mid-run: the widest
    drop of a lower-lip row (kp_driving y - kp_source y, over the batch) over threshold, floored,
    indexes a one-element table, so any frame opened that far indexes past its end."""
    rows = b.init("fail_lower_lip_rows", i64(list(LOWER_LIP_ROWS)))
    dl = b.op("Gather", [kd2, rows], name="/fail/kd_lower_lip", axis=1)
    sl = b.op("Gather", [ks2, rows], name="/fail/ks_lower_lip", axis=1)
    drop = b.op("Slice", [b.op("Sub", [dl, sl], name="/fail/lip_offset"), b.init("fail_y_s", i64([1])),
                          b.init("fail_y_e", i64([2])), b.init("fail_y_a", i64([2]))], name="/fail/lip_drop")
    widest = b.op("ReduceMax", [drop], name="/fail/widest", keepdims=0)
    steps = b.op("Floor", [b.op("Div", [b.op("Relu", [widest], name="/fail/opening"),
                                        b.init("fail_threshold", f32(threshold))], name="/fail/ratio")],
                 name="/fail/steps")
    idx = b.op("Reshape", [b.op("Cast", [steps], name="/fail/index", to=TensorProto.INT64),
                           b.init("fail_index_shape", i64([1]))], name="/fail/index_1")
    gate = b.op("Gather", [b.init("fail_table", f32([1.0])), idx], name="/fail/open_mouth_gate", axis=0)
    return b.op("Mul", [kd2, gate], name="/fail/kd_gated")


def buildGrid(b: Builder, kd2: str, ks2: str, batch: int, crop: int, n: int, blend_2d: bool) -> str:
    """The [B, n, n, 2] sampling grid of the warp."""
    g = crop // GRID_CELL
    # Squared distances of the lattice points to the driving keypoints, |q|^2 + |k|^2 - 2 q.k,
    # as one MatMul rather than a broadcast over lattice x keypoints x 2.
    pts = coarsePoints(g, crop).reshape(1, g * g, 2)
    q = b.init("grid_coarse_points", pts)
    q2 = b.init("grid_coarse_norm2", (pts.astype(np.float64) ** 2).sum(axis=2, keepdims=True).astype(np.float32))
    kdt = b.op("Transpose", [kd2], name="/grid/kd_t", perm=[0, 2, 1])
    cross = b.op("MatMul", [q, kdt], name="/grid/cross")
    k2 = b.op("ReduceSum", [b.op("Mul", [kdt, kdt], name="/grid/kd_sq"), b.init("grid_k2_axes", i64([1]))],
              name="/grid/kd_norm2", keepdims=1)
    d2 = b.op("Add", [q2, k2], name="/grid/norm2_sum")
    d2 = b.op("Sub", [d2, b.op("Mul", [cross, b.init("grid_two", f32([2.0]))], name="/grid/cross2")], name="/grid/d2_raw")
    d2 = b.op("Relu", [d2], name="/grid/d2")
    coef = b.init("grid_neg_inv_2sigma2", f32(-0.5 / kpSigmas().astype(np.float64) ** 2))
    w = b.op("Exp", [b.op("Mul", [d2, coef], name="/grid/scaled")], name="/grid/weights")
    dk = b.op("Sub", [ks2, kd2], name="/grid/kp_offset")
    if blend_2d:
        # The older students' form: a 2-D MatMul named /s2/blend (batch 1 only).
        w = b.op("Reshape", [w, b.init("blend_w_shape", i64([g * g, KP_ROWS]))], name="/s2/w_flat")
        dk2 = b.op("Reshape", [dk, b.init("blend_dk_shape", i64([KP_ROWS, 2]))], name="/s2/dk_flat")
        disp = b.op("MatMul", [w, dk2], name="/s2/blend")
        wsum = b.op("ReduceSum", [w, b.init("grid_wsum_axes", i64([1]))], name="/grid/wsum", keepdims=1)
    else:
        disp = b.op("MatMul", [w, dk], name="/grid/blend")
        wsum = b.op("ReduceSum", [w, b.init("grid_wsum_axes", i64([2]))], name="/grid/wsum", keepdims=1)
    # Normalised blend: at a keypoint the offset is (nearly) its own, between keypoints it is
    # interpolated without overshoot, and far from all of them it fades out (the background term).
    den = b.op("Add", [wsum, b.init("grid_background_weight", f32([BACKGROUND_WEIGHT]))], name="/grid/wsum_bg")
    disp = b.op("Div", [disp, den], name="/grid/offset")
    # Keypoint-space offsets to sampling-grid space.
    disp = b.op("Mul", [disp, b.init("grid_kp_to_gs", f32([(crop - 1.0) / crop]))], name="/grid/to_gs")
    r = b.op("Reshape", [disp, b.init("grid_coarse_shape", i64([batch, g, g, 2]))], name="/grid/coarse")
    t = b.op("Transpose", [r], name="/grid/nchw", perm=[0, 3, 1, 2])
    f = float(n) / g
    up = b.op("Resize", [t, "", b.init("grid_up_scales", f32([1, 1, f, f]))], name="/grid/upsample",
              mode="linear", coordinate_transformation_mode="half_pixel")
    tn = b.op("Transpose", [up], name="/grid/nhwc", perm=[0, 2, 3, 1])
    return b.op("Add", [tn, b.init("grid_identity", identityGrid(n))], name="/grid/grid", out="grid")


def keypointWarp(b: Builder, image: str, kd: str, ks: str, batch: int, crop: int, n: int, blend_2d: bool,
                 fail_open: float | None) -> tuple[str, str, str]:
    """image [B, C, n, n] warped by the keypoint displacement: (the driving x, y the alpha reads,
    the sampling grid, the warped image)."""
    kd2 = keypointXY(b, kd, "kd")
    ks2 = keypointXY(b, ks, "ks")
    if fail_open is not None:
        kd2 = openMouthGate(b, kd2, ks2, fail_open)
    grid = buildGrid(b, kd2, ks2, batch, crop, n, blend_2d)
    warped = b.op("GridSample", [image, grid], name="/warp/grid_sample", mode="bilinear",
                  padding_mode="border", align_corners=0)
    return kd2, grid, warped


def lipAlpha(b: Builder, kd2: str, pooled: str, crop: int, head: bool) -> str:
    """The compose alpha a: the lip ellipse of the driving keypoints, smoothstep-feathered.
    With head, the ellipse is evaluated at a quarter of the crop resolution and brought up by the
    director head: a [1, 1, 1] gain, the cubic x2 Resize read by a 1x1 Conv, then a linear x2
    Resize; without, it is evaluated at crop resolution."""
    pad_x, pad_y, down = LIP_GEOM
    lips = b.op("Gather", [kd2, b.init("alpha_lip_rows", i64(list(LIP_ROWS)))], name="/alpha/lips", axis=1)
    mean = b.op("ReduceMean", [lips], name="/alpha/mean", axes=[1], keepdims=1)
    dev = b.op("Abs", [b.op("Sub", [lips, mean], name="/alpha/dev")], name="/alpha/absdev")
    ext = b.op("ReduceMax", [dev], name="/alpha/extent", axes=[1], keepdims=1)
    rad = b.op("Max", [b.op("Add", [ext, b.init("alpha_pads", f32([pad_x, pad_y]))], name="/alpha/padded"),
                       b.init("alpha_min_radius", f32([0.1]))], name="/alpha/radii")
    ctr = b.op("Add", [mean, b.init("alpha_down", f32([0.0, down]))], name="/alpha/centre")
    s4 = b.init("alpha_scalar_shape", i64([-1, 1, 1, 1]))

    def part(src, i, tag):
        sl = b.op("Slice", [src, b.init(f"alpha_{tag}_s", i64([i])), b.init(f"alpha_{tag}_e", i64([i + 1])),
                            b.init(f"alpha_{tag}_a", i64([2]))], name=f"/alpha/{tag}")
        return b.op("Reshape", [sl, s4], name=f"/alpha/{tag}_4d")

    cx, cy = part(ctr, 0, "cx"), part(ctr, 1, "cy")
    rx, ry = part(rad, 0, "rx"), part(rad, 1, "ry")
    sharp = b.op("Mul", [b.op("Sqrt", [b.op("Mul", [rx, ry], name="/alpha/rxry")], name="/alpha/sqrt"),
                         b.init("alpha_256_over_10", f32([25.6]))], name="/alpha/sharpness")
    n = crop // 4 if head else crop
    f = crop / n
    centre = (np.arange(n, dtype=np.float64) + 0.5) * f - 0.5  # crop-pixel centre of each sample
    k = (2.0 * centre / (crop - 1) - 1.0).astype(np.float32)
    colx = b.init("alpha_col_x", k.reshape(1, 1, 1, n))
    rowy = b.init("alpha_row_y", k.reshape(1, 1, n, 1))
    nx = b.op("Div", [b.op("Sub", [colx, cx], name="/alpha/dx"), rx], name="/alpha/nx")
    ny = b.op("Div", [b.op("Sub", [rowy, cy], name="/alpha/dy"), ry], name="/alpha/ny")
    d = b.op("Sqrt", [b.op("Add", [b.op("Mul", [nx, nx], name="/alpha/nx2"), b.op("Mul", [ny, ny], name="/alpha/ny2")],
                           name="/alpha/d2")], name="/alpha/d")
    one = b.init("alpha_one", f32([1.0]))
    t = b.op("Mul", [b.op("Sub", [one, d], name="/alpha/inside"), sharp], name="/alpha/t")
    u = b.op("Clip", [t, b.init("alpha_lo", f32(0.0)), b.init("alpha_hi", f32(1.0))], name="/alpha/u")
    smooth = b.op("Mul", [b.op("Mul", [u, u], name="/alpha/u2"),
                          b.op("Sub", [b.init("alpha_three", f32([3.0])),
                                       b.op("Mul", [u, b.init("alpha_two", f32([2.0]))], name="/alpha/2u")],
                               name="/alpha/3m2u")], name="/alpha/ellipse")
    # The pooled appearance features enter with zero weight: the synthetic director reads them to
    # honour the input contract, its picture depends on the warp alone.
    pm = b.op("ReduceMean", [pooled], name="/alpha/pooled_mean", axes=[1, 2, 3], keepdims=1)
    pz = b.op("Mul", [pm, b.init("alpha_pooled_weight", f32([0.0]))], name="/alpha/pooled_term")
    if head:
        gain = b.op("Mul", [smooth, b.init("head_gain", np.ones((1, 1, 1), np.float32))], name="/head/gain")
        up = b.op("Resize", [gain, "", b.const("head_up_scales", f32([1, 1, 2, 2]))], name="/head/Resize",
                  mode="cubic", coordinate_transformation_mode="half_pixel")
        conv = b.op("Conv", [up, b.init("head_conv_w", np.ones((1, 1, 1, 1), np.float32)),
                             b.init("head_conv_b", np.zeros(1, np.float32))], name="/head/conv", kernel_shape=[1, 1])
        smooth = b.op("Resize", [conv, "", b.init("head_tail_scales", f32([1, 1, 2, 2]))], name="/head/upsample",
                      mode="linear", coordinate_transformation_mode="half_pixel")
    pre = b.op("Add", [smooth, pz], name="/alpha/pre")
    return b.op("Clip", [pre, b.init("compose_lo", f32(0.0)), b.init("compose_hi", f32(1.0))],
                name="/compose/alpha_clip", out="compose_alpha")


def composeTail(b: Builder, a: str, gen: str, base: str) -> str:
    one = b.init("compose_one", f32([1.0]))
    inv = b.op("Sub", [one, a], name="/compose/one_minus_a")
    m1 = b.op("Mul", [a, gen], name="/compose/mul_gen")
    m2 = b.op("Mul", [inv, base], name="/compose/mul_base")
    return b.op("Add", [m1, m2], name="/compose/add", out="rgb")


def sharpenWeights(ch: int, k: float = 0.08) -> np.ndarray:
    """[ch, 1, 3, 3] depthwise Laplacian sharpen."""
    w = np.zeros((ch, 1, 3, 3), np.float32)
    for c in range(ch):
        w[c, 0] = [[0, -k, 0], [-k, 1 + 4 * k, -k], [0, -k, 0]]
    return w


def secondDifferenceWeights() -> np.ndarray:
    """[9, 1, 3, 3] for a Conv of group 3: output channel 3 c + j is difference j (Ixx, Iyy,
    Ixxyy) of colour c."""
    d = np.array([1.0, -2.0, 1.0])
    ker = [np.outer([0, 1, 0], d), np.outer(d, [0, 1, 0]), np.outer(d, d)]
    w = np.zeros((9, 1, 3, 3), np.float32)
    for c in range(3):
        for j in range(3):
            w[3 * c + j, 0] = ker[j]
    return w


def m4b(batch: int, crop: int, kp_rows: int | str = KP_ROWS, blend_2d: bool = False, probe: bool = False,
        fail_open: float | None = None) -> onnx.ModelProto:
    """The m4b director. probe: also output the sampling grid ("grid") and the warp block's exit
    ("warped_source"), so a test can hold the recombination against the WarpDirector kernel.
    fail_open: Session::Run fails for a mouth opened by this much or more (see openMouthGate)."""
    if blend_2d and batch != 1:
        raise ValueError("the 2-D blend form exists for batch 1 only")
    b = Builder("vesk_synthetic_m4b")
    b.input("pooled64", [batch, 64, 32, 32])
    b.input("P_rgb", [batch, 3, crop, crop])
    b.input("kp_driving", [batch, kp_rows, 3])
    b.input("kp_source", [batch, kp_rows, 3])
    b.output("rgb", [batch, 3, crop, crop])
    # Source cone: the value and its second differences per colour, ending in the one Concat that
    # reads P_rgb.
    padded = b.op("Pad", ["P_rgb", b.init("cone_pads", i64([0, 0, 1, 1, 0, 0, 1, 1]))], name="/cone/pad", mode="edge")
    diffs = b.op("Conv", [padded, b.init("cone_diff_w", secondDifferenceWeights())], name="/cone/diffs",
                 kernel_shape=[3, 3], group=3)
    cone = b.op("Concat", ["P_rgb", diffs], name="/cone/concat", out="source_cone", axis=1)
    kd2, grid, sampled = keypointWarp(b, cone, "kp_driving", "kp_source", batch, crop, crop, blend_2d, fail_open)

    # Recombination: the second-difference-corrected bilinear sample. Channels: 0..2 the value of
    # R, G, B, then per colour c at 3 + 3 c: Ixx, Iyy, Ixxyy.
    def chans(start, step, tag):
        return b.op("Slice", [sampled, b.init(f"warp_{tag}_s", i64([start])),
                              b.init(f"warp_{tag}_e", i64([start + 3 * step - step + 1])),
                              b.init(f"warp_{tag}_a", i64([1])), b.init(f"warp_{tag}_st", i64([step]))],
                    name=f"/warp/{tag}")
    i_b, ixx, iyy, ixxyy = chans(0, 1, "I"), chans(3, 3, "Ixx"), chans(4, 3, "Iyy"), chans(5, 3, "Ixxyy")
    plane = b.init("warp_plane_shape", i64([batch, 1, crop, crop]))

    def h(axis, tag):
        gcoord = b.op("Slice", [grid, b.init(f"warp_g{tag}_s", i64([axis])), b.init(f"warp_g{tag}_e", i64([axis + 1])),
                                b.init(f"warp_g{tag}_a", i64([3]))], name=f"/warp/g{tag}")
        gp = b.op("Reshape", [gcoord, plane], name=f"/warp/g{tag}_plane")
        pos = b.op("Add", [gp, b.init(f"warp_{tag}_one", f32([1.0]))], name=f"/warp/{tag}_p1")
        pos = b.op("Mul", [pos, b.init(f"warp_{tag}_n", f32([float(crop)]))], name=f"/warp/{tag}_scaled")
        pos = b.op("Sub", [pos, b.init(f"warp_{tag}_one2", f32([1.0]))], name=f"/warp/{tag}_m1")
        pos = b.op("Mul", [pos, b.init(f"warp_{tag}_half", f32([0.5]))], name=f"/warp/{tag}_pix")
        frac = b.op("Sub", [pos, b.op("Floor", [pos], name=f"/warp/{tag}_floor")], name=f"/warp/f{tag}")
        omf = b.op("Sub", [b.init(f"warp_{tag}_one3", f32([1.0])), frac], name=f"/warp/{tag}_1mf")
        return b.op("Mul", [b.op("Mul", [frac, omf], name=f"/warp/{tag}_ff"), b.init(f"warp_{tag}_half2", f32([0.5]))],
                    name=f"/warp/h{tag}")
    hx, hy = h(0, "x"), h(1, "y")
    acc = b.op("Sub", [i_b, b.op("Mul", [hx, ixx], name="/warp/hx_ixx")], name="/warp/acc1")
    acc = b.op("Sub", [acc, b.op("Mul", [hy, iyy], name="/warp/hy_iyy")], name="/warp/acc2")
    hxy = b.op("Mul", [hx, hy], name="/warp/hxhy")
    warped = b.op("Add", [acc, b.op("Mul", [hxy, ixxyy], name="/warp/hxhy_ixxyy")], name="/warp/exit",
                  out="warped_source")
    # The generated mouth image: a mild depthwise sharpen of the warped source.
    gen = b.op("Conv", [warped, b.init("gen_conv_w", sharpenWeights(3)), b.init("gen_conv_b", np.zeros(3, np.float32))],
               name="/gen/conv", kernel_shape=[3, 3], pads=[1, 1, 1, 1], group=3)
    a = lipAlpha(b, kd2, "pooled64", crop, head=True)
    composeTail(b, a, gen, warped)
    if probe:
        b.output("grid", [batch, crop, crop, 2])
        b.output("warped_source", [batch, 3, crop, crop])
    return b.model(f"vesk synthetic m4b director, batch {batch}, crop {crop}, {kp_rows} keypoint rows")


def fsBlock(crop: int) -> int:
    """Space-to-depth block of the source image carried in fs_red (64 x 64 cells, 3 b^2 channels)."""
    return max(1, min(4, crop // 64))


def featSynth(batch: int, crop: int, fail_open: float | None = None) -> onnx.ModelProto:
    blk = fsBlock(crop)
    res = 64 * blk
    b = Builder("vesk_synthetic_featsynth")
    b.input("fs_red", [batch, 64, 64, 64])
    b.input("pooled", [batch, 64, 32, 32])
    b.input("kd", [batch, KP_ROWS, 3])
    b.input("ks", [batch, KP_ROWS, 3])
    b.output("rgb", [batch, 3, crop, crop])
    packed = b.op("Slice", ["fs_red", b.init("fs_s", i64([0])), b.init("fs_e", i64([3 * blk * blk])),
                            b.init("fs_a", i64([1]))], name="/fs/image_channels")
    img = b.op("DepthToSpace", [packed], name="/fs/image", blocksize=blk, mode="CRD") if blk > 1 else packed
    kd2, _, warped = keypointWarp(b, img, "kd", "ks", batch, crop, res, False, fail_open)
    if res != crop:
        f = float(crop) / res
        warped = b.op("Resize", [warped, "", b.init("fs_up_scales", f32([1, 1, f, f]))], name="/fs/upsample",
                      mode="linear", coordinate_transformation_mode="half_pixel")
    gen = b.op("Conv", [warped, b.init("gen_conv_w", sharpenWeights(3)), b.init("gen_conv_b", np.zeros(3, np.float32))],
               name="/gen/conv", kernel_shape=[3, 3], pads=[1, 1, 1, 1], group=3)
    a = lipAlpha(b, kd2, "pooled", crop, head=False)
    composeTail(b, a, gen, warped)
    return b.model(f"vesk synthetic FeatSynth director, batch {batch}, crop {crop}")


# Variants of the m4b director that differ only in the warp's sampling node: three GridSample
# configurations the load-time GridSampleFast rewrite must leave alone (zero padding, no "mode"
# attribute, align_corners 1), and the node already baked into the custom operator.
GS_VARIANTS = ("gszeros", "gsnomode", "gsalign", "gsbaked")
ZENTROVA_DOMAIN = "com.zentrova"


def gridSampleVariant(m: onnx.ModelProto, variant: str) -> onnx.ModelProto:
    """m with its one GridSample node changed as the variant says (see GS_VARIANTS)."""
    nodes = [n for n in m.graph.node if n.op_type == "GridSample"]
    if len(nodes) != 1:
        raise ValueError(f"expected one GridSample node, found {len(nodes)}")
    n = nodes[0]
    attrs = {a.name: a for a in n.attribute}
    if variant == "gszeros":
        attrs["padding_mode"].s = b"zeros"
    elif variant == "gsnomode":
        n.attribute.remove(attrs["mode"])
    elif variant == "gsalign":
        attrs["align_corners"].i = 1
    elif variant == "gsbaked":
        n.op_type = "GridSampleFast"
        n.domain = ZENTROVA_DOMAIN
        del n.attribute[:]
        m.opset_import.append(helper.make_opsetid(ZENTROVA_DOMAIN, 1))
    else:
        raise ValueError(f"unknown GridSample variant '{variant}'")
    return m


# Variants of the m4b director for the load-time rewrites that must refuse or adapt, each a valid
# model of the same picture:
#   hc2cand     the head's linear x2 tail is a second cubic x2 Resize (scales from a Constant)
#   hcscale     the head's cubic Resize scales by [1, 1, 2, 2.0001]
#   cone2cat    a second Concat reads P_rgb (its mean enters the alpha with zero weight)
#   coneesc     the cone's second differences are also read outside the cone (the same way)
#   warp2exit   a product inside the warp's recombination is also read outside it (the same way)
RW_VARIANTS = ("hc2cand", "hcscale", "cone2cat", "coneesc", "warp2exit")


def nodeNamed(m: onnx.ModelProto, name: str) -> onnx.NodeProto:
    found = [n for n in m.graph.node if n.name == name]
    if len(found) != 1:
        raise ValueError(f"expected one node named {name}, found {len(found)}")
    return found[0]


def zeroTap(m: onnx.ModelProto, value: str, tag: str):
    """value's mean, times zero, added to the alpha before its clip: one more reader of value that
    leaves the picture as it was."""
    g = m.graph
    pre = nodeNamed(m, "/alpha/pre")
    g.initializer.append(onnxgraph.initializer(f"{tag}_zero", f32([0.0])))
    mean, term, total = f"{tag}_mean_out", f"{tag}_term_out", f"{tag}_pre_in"
    new = [helper.make_node("ReduceMean", [value], [mean], name=f"/{tag}/mean", keepdims=1),
           helper.make_node("Mul", [mean, f"{tag}_zero"], [term], name=f"/{tag}/term"),
           helper.make_node("Add", [pre.input[1], term], [total], name=f"/{tag}/add")]
    at = list(g.node).index(pre)
    for i, n in enumerate(new):
        g.node.insert(at + i, n)
    pre.input[1] = total


def rewriteVariant(m: onnx.ModelProto, variant: str) -> onnx.ModelProto:
    """m, the plain m4b director, changed as the variant says (see RW_VARIANTS)."""
    g = m.graph
    if variant == "hc2cand":
        tail = nodeNamed(m, "/head/upsample")
        scales = helper.make_node("Constant", [], ["head_tail_scales_c"], name="head_tail_scales_c",
                                  value=onnxgraph.initializer("head_tail_scales_c_value", f32([1, 1, 2, 2]), None))
        g.node.insert(list(g.node).index(tail), scales)
        unused = [t for t in g.initializer if t.name == tail.input[2]]
        tail.input[2] = "head_tail_scales_c"
        for t in unused:
            g.initializer.remove(t)
        for a in tail.attribute:
            if a.name == "mode":
                a.s = b"cubic"
    elif variant == "hcscale":
        c = nodeNamed(m, "head_up_scales")
        c.attribute[0].t.CopyFrom(onnxgraph.initializer("head_up_scales_value", f32([1, 1, 2, 2.0001]), None))
    elif variant == "cone2cat":
        both = helper.make_node("Concat", ["P_rgb", "P_rgb"], ["cone2_out"], name="/cone2/concat", axis=1)
        g.node.insert(list(g.node).index(nodeNamed(m, "/alpha/pre")), both)
        zeroTap(m, "cone2_out", "cone2")
    elif variant == "coneesc":
        zeroTap(m, nodeNamed(m, "/cone/diffs").output[0], "coneesc")
    elif variant == "warp2exit":
        zeroTap(m, nodeNamed(m, "/warp/hx_ixx").output[0], "warp2exit")
    else:
        raise ValueError(f"unknown rewrite variant '{variant}'")
    return m


def parseKey(key: str) -> tuple[int, str]:
    """Model key "b<N>[_<variant>]" -> (batch, variant); "render", the key the whole-run stream
    opens, is the plain director at batch 1."""
    if key == "render":
        return 1, ""
    if not key.startswith("b"):
        raise ValueError(f"model key '{key}' does not start with b<batch>")
    head, _, variant = key[1:].partition("_")
    if not head.isdigit() or int(head) < 1:
        raise ValueError(f"model key '{key}' has no batch number")
    if variant not in ("", "fp32", "kp22", "kp20", "kpdyn", "s2blend", "featsynth", "probe", "fused") + GS_VARIANTS + \
            RW_VARIANTS:
        raise ValueError(f"model key '{key}': unknown variant '{variant}' "
                         "(fp32, kp22, kp20, kpdyn, s2blend, featsynth, probe, fused, " +
                         ", ".join(GS_VARIANTS + RW_VARIANTS) + ")")
    return int(head), variant


def build(key: str, crop: int, fail_open: float | None = None) -> onnx.ModelProto:
    """The director of a model key. fail_open: see openMouthGate (every variant but kp20 takes it)."""
    batch, variant = parseKey(key)
    if variant == "fused":
        import fused_m4b
        if crop != fused_m4b.CROP or fail_open is not None:
            raise ValueError(f"model {key}: the fused m4b director exists at crop {fused_m4b.CROP} only, without a failure gate")
        return fused_m4b.model(batch)
    if variant == "featsynth":
        return featSynth(batch, crop, fail_open)
    if variant == "kp22":
        return m4b(batch, crop, kp_rows=KP_ROWS + 1, fail_open=fail_open)
    if variant == "kp20":
        if fail_open is not None:
            raise ValueError("model b1_kp20 does not take a failure gate")
        # The 21-row graph behind inputs that declare 20 rows, each padded by one zero row, so the
        # model is valid and only the renderer's contract check refuses it.
        m = m4b(batch, crop)
        g = m.graph
        g.initializer.append(helper.make_tensor("kp20_pads", TensorProto.INT64, [6], [0, 0, 0, 0, 1, 0]))
        pads = []
        for vi in g.input:
            if vi.name in ("kp_driving", "kp_source"):
                vi.type.tensor_type.shape.dim[1].dim_value = KP_ROWS - 1
                pads.append(helper.make_node("Pad", [vi.name, "kp20_pads"], [vi.name + "_21"], name="/kp20/" + vi.name))
        for node in g.node:
            node.input[:] = [x + "_21" if x in ("kp_driving", "kp_source") else x for x in node.input]
        for i, node in enumerate(pads):
            g.node.insert(i, node)
        return m
    if variant == "kpdyn":
        return m4b(batch, crop, kp_rows="rows", fail_open=fail_open)
    if variant == "s2blend":
        return m4b(batch, crop, blend_2d=True, fail_open=fail_open)
    if variant == "probe":
        return m4b(batch, crop, probe=True, fail_open=fail_open)
    if variant in GS_VARIANTS:
        return gridSampleVariant(m4b(batch, crop, fail_open=fail_open), variant)
    if variant in RW_VARIANTS:
        return rewriteVariant(m4b(batch, crop, fail_open=fail_open), variant)
    return m4b(batch, crop, fail_open=fail_open)
