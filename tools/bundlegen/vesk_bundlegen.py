#!/usr/bin/python3
"""vesk_bundlegen: writes a complete synthetic identity bundle, deterministically.

The identity is a procedurally drawn face (skin, brows, eyes with blinking lids, nose, lips around
a slightly open mouth with teeth behind them) on a textured background, swaying and bobbing
slowly over an idle loop of NT frames. P(si) is the face crop of driver frame si and M(si) maps it
back onto the frame, so pasting an unchanged crop is seamless up to resampling. The 21 keypoints
lie on the drawn features, in the crop's normalised space (-1 first pixel centre, +1 last); the
drive tables play the idle loop (xd = xs, si = 0..NT-1). The director models are small ONNX graphs
that really warp the source by the keypoint displacement (see graphs.py).

Members: manifest.json, mask_512.u8, pooled64.f16, P.f16 or P_hevc.mov, optionally fs_red.f16,
M.f32, drive/xs.f32, drive/xd.f32, drive/si.i32, target_frames.mp4 and/or target_frames/,
xs_target.bin, model_<key>.onnx; --unified writes the unified-layout names instead, --imx also
packs the bundle into an IMX v2 container.

--teeth adds the members of the teeth pass: the reference bank of the face's own mouth
(tessera_bank.v1.mp4 and its sidecar tessera_bank.v1.json; see teeth_bank.py), the BlendHead members
(tessera_head.v1.pt, written by torch.save, and tessera_head.v1.json; see teeth_head.py), and the
manifest's tessera block with the bank's geometry stamp. --lip-template writes lip_template.v1.json
(with --teeth by default, with an anchor-linear lip_map).

--audio adds the identity's own audio models, all opening this face's mouth with the voice (see
face.MOUTH_OPEN_MOVES): the streaming a2x members (a2x_meta.json, a2x_pos.f32, a2x_norm.f32,
a2x_enc_stream.onnx, a2x_dec.onnx), the shared speech encoders they run on (w2v.onnx and the
short-window pair audio_encoder_fp16_window_trunk.onnx / _head.onnx; point W2V_ONNX at w2v.onnx),
fca_stream.onnx with its 8 s encoder audio_encoder_8s.onnx (the whole-run stream's encoder_path),
and the motion model directory motion/ (meta.json, its tables, hubert_student.onnx, lmdm.onnx,
stitch.onnx, xs_target.bin), and the director model_render.onnx that the whole-run stream opens.
Every target table is the identity's xs_target.bin rows.

Needs Python 3 with numpy and onnx (Debian: /usr/bin/python3 with python3-numpy, python3-onnx) and
the ffmpeg command line with libx264 and libx265 for the video members.

Example: vesk_bundlegen.py --out build/bundles/demo
         vesk_bundlegen.py --out /tmp/small --canvas 320x240 --crop 128 --nt 8 --fs-red --models all
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import audio_a2x  # noqa: E402
import audio_motion  # noqa: E402
import face  # noqa: E402
import graphs  # noqa: E402
import members  # noqa: E402
import onnxgraph  # noqa: E402
import teeth_bank  # noqa: E402
import teeth_head  # noqa: E402

ALL_MODELS = ["b1", "b24_fp32", "b1_kp22", "b1_s2blend", "b1_featsynth"]


def parseSize(text: str) -> tuple[int, int]:
    try:
        w, h = text.lower().split("x")
        return int(w), int(h)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not WIDTHxHEIGHT") from None


def parseArgs(argv):
    p = argparse.ArgumentParser(
        prog="vesk_bundlegen.py",
        description="Write a synthetic vesk identity bundle (vesk-bundle-v0) for tests and demos.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Model keys: b<N> (m4b director, batch N), render (the same at batch 1, under the key the "
               "whole-run stream opens; --audio adds it), b<N>_fp32 (the same, named as the batched fp32 "
               "build), b1_kp22 (keypoint inputs declare 22 rows), b1_kp20 (20 rows), b1_kpdyn (a dynamic row count), b1_s2blend (carries a MatMul named "
               "/s2/blend), b1_featsynth (FeatSynth contract; needs --fs-red), b1_probe (also outputs its sampling "
               "grid and warped source, for tests), b1_gszeros, b1_gsnomode, b1_gsalign (the warp's GridSample with "
               "zero padding, without a mode attribute, with align_corners 1), b1_gsbaked (the warp sampled by "
               "com.zentrova::GridSampleFast), b1_hc2cand, b1_hcscale, b1_cone2cat, b1_coneesc, b1_warp2exit (directors "
               "the load-time rewrites must refuse or adapt to: two cubic x2 Resize candidates, head scales "
               "[1, 1, 2, 2.0001], two Concats reading P_rgb, a cone value read outside the cone, a warp "
               "recombination with two exits). 'all' = " + ",".join(ALL_MODELS) +
               ". The output directory is replaced as a whole (written beside it, then renamed).")
    p.add_argument("--out", required=True, help="bundle directory to write")
    p.add_argument("--canvas", type=parseSize, default=(1920, 1080), metavar="WxH",
                   help="driver video canvas (default 1920x1080; both even)")
    p.add_argument("--crop", type=int, default=512, help="side of the square face crop (default 512; a multiple of 16)")
    p.add_argument("--nt", type=int, default=50, help="source frames in the idle loop (default 50)")
    p.add_argument("--seed", type=int, default=1, help="look of the identity (default 1)")
    p.add_argument("--agent", default=None, help="manifest agent name (default synthetic-<seed>)")
    p.add_argument("--prior", choices=["f16", "hevc"], default="f16",
                   help="warp prior as raw P.f16 (default) or as the yuv444p HEVC video P_hevc.mov")
    p.add_argument("--fs-red", action="store_true", help="also write fs_red.f16 (FeatSynth features)")
    p.add_argument("--driver", choices=["mp4", "jpg", "both"], default="mp4",
                   help="driver video as target_frames.mp4 (default), a target_frames/ JPEG directory, or both")
    p.add_argument("--models", default="b1,b24_fp32",
                   help="comma-separated director model keys; 'all' stands for the usual set (default b1,b24_fp32)")
    p.add_argument("--no-blink", action="store_true", help="keep the eyes open in every frame")
    p.add_argument("--unified", action="store_true", help="write the unified-layout member names")
    p.add_argument("--msrc", type=parseSize, default=None, metavar="WxH",
                   help="author M on this canvas and stamp it (default: the canvas itself)")
    p.add_argument("--no-msrc", action="store_true", help="omit the paste-space stamp (for refusal tests)")
    p.add_argument("--no-unified-block", action="store_true", help="omit the manifest's unified compose block")
    p.add_argument("--audio", action="store_true",
                   help="also write the identity's audio models: streaming a2x, speech encoders, fca, motion/")
    p.add_argument("--teeth", action="store_true",
                   help="add the teeth members: the reference bank tessera_bank.v1.mp4 (lossless mouth patches of the "
                        "source crops) with its sidecar tessera_bank.v1.json, the BlendHead members (needs torch), "
                        "and the manifest's tessera block")
    p.add_argument("--bank-openings", type=int, default=0, metavar="K",
                   help="with --teeth, draw donor d of the bank with its mouth opened by level d mod K of K even "
                        "steps from closed to fully open (0 or 1, the default: donors are the source crops' own "
                        "mouths), so that retrieval finds teeth for a speaking mouth")
    p.add_argument("--lip-template", choices=["map", "plain", "none"], default=None,
                   help="lip_template.v1.json with an anchor-linear lip_map, without one, or none (default: map "
                        "with --teeth, else none)")
    p.add_argument("--fail-open", type=float, default=None, metavar="T",
                   help="director graphs whose Session::Run fails when a lower-lip keypoint is driven more than T "
                        "(keypoint units) below its source position; below that they render as usual (for tests)")
    p.add_argument("--teeth-head", choices=sorted(teeth_head.KINDS), default="blendhead",
                   help="which head --teeth writes (default blendhead: BlendHead(16); blendhead8: BlendHead8(16))")
    p.add_argument("--imx", default=None, metavar="PATH", help="also pack the bundle as an IMX v2 container at PATH")
    p.add_argument("--quiet", action="store_true", help="print nothing on success")
    a = p.parse_args(argv)
    w, h = a.canvas
    if w < 16 or h < 16 or w % 2 or h % 2:
        p.error("the canvas must be at least 16x16 with even sides (4:2:0 video)")
    if a.crop < 64 or a.crop % 16:
        p.error("--crop must be a multiple of 16, at least 64")
    if a.nt < 1:
        p.error("--nt must be at least 1")
    keys = []
    for k in a.models.split(","):
        for key in (ALL_MODELS if k == "all" else [k] if k else []):
            if key not in keys:
                keys.append(key)
    if not keys:
        p.error("--models names no model")
    if a.audio and "render" not in keys:
        keys.append("render")
    for k in keys:
        try:
            _, variant = graphs.parseKey(k)
        except ValueError as e:
            p.error(str(e))
        if variant == "featsynth" and not a.fs_red:
            p.error(f"model {k} reads fs_red: add --fs-red")
    if a.lip_template is None:
        a.lip_template = "map" if a.teeth else "none"
    if a.teeth and a.no_unified_block:
        p.error("--teeth places its window by the unified block: drop --no-unified-block")
    if a.fail_open is not None and not a.fail_open > 0.0:
        p.error("--fail-open must be a positive opening")
    if a.fail_open is not None and any(graphs.parseKey(k)[1] == "kp20" for k in keys):
        p.error("--fail-open does not apply to b1_kp20")
    if a.fs_red and a.crop % (64 * graphs.fsBlock(a.crop)):
        p.error(f"--fs-red needs a crop that is a multiple of {64 * graphs.fsBlock(a.crop)}")
    a.keys = keys
    return a


def writeAudio(wr, root: str, targets: np.ndarray, opening: dict):
    """The identity's audio models (see the module's docstring), all on its own target rows."""
    enc, dec = wr.path("a2x_enc_stream.onnx"), wr.path("a2x_dec.onnx")
    w = audio_a2x.writeIdentityA2x(root, opening, os.path.basename(enc), os.path.basename(dec))
    audio_a2x.writeSpeechEncoders(root, w)
    audio_motion.writeFca(root, opening=opening)
    audio_motion.writeMotion(os.path.join(root, "motion"), len(targets), 1.0, 0.0, targets=targets, opening=opening)


def generate(a) -> dict:
    W, H = a.canvas
    S, NT = a.crop, a.nt
    out = os.path.abspath(a.out.rstrip("/"))
    tmp = out + ".part"
    if os.path.isdir(out) and os.listdir(out) and not os.path.exists(os.path.join(out, "manifest.json")):
        # Never wipe a directory that is not a bundle.
        raise RuntimeError(f"{out} exists and holds no manifest.json: refusing to replace it")
    if os.path.lexists(tmp):
        shutil.rmtree(tmp)
    os.makedirs(tmp)
    wr = members.Writer(tmp, a.unified)
    timings = {}
    t0 = time.monotonic()

    scene = face.Scene(a.seed, W, H)
    poses = face.poses(NT, W, H, blinks=not a.no_blink)
    rng = np.random.default_rng(a.seed + 7919)
    proj = rng.normal(0.0, 1.5, (64, 4)).astype(np.float32)

    sinks = []
    if a.driver in ("mp4", "both"):
        sinks.append(members.driverMp4(wr.path("target_frames.mp4"), W, H))
    if a.driver in ("jpg", "both"):
        sinks.append(members.driverJpegs(os.path.join(tmp, "target_frames"), W, H))
    prior_sink = members.priorHevc(wr.path("P_hevc.mov"), S) if a.prior == "hevc" else None
    prior_f = open(wr.path("P.f16"), "wb") if a.prior == "f16" else None
    pooled_f = open(wr.path("pooled64.f16"), "wb")
    fs_f = open(wr.path("fs_red.f16"), "wb") if a.fs_red else None
    blk = graphs.fsBlock(S)
    # A bank of opened mouths widens the band down to the fully dropped lower lip.
    drop = face.MOUTH_OPEN_MOVES[12][1] if a.bank_openings > 1 else 0.0
    bank = teeth_bank.Bank(S, a.seed, graphs.PROP_GATE_SCALE, drop) if a.teeth else None

    # M is authored on the stamped paste-space canvas; the loader rescales it to W x H.
    mw, mh = a.msrc if a.msrc else (W, H)
    Ms = np.zeros((NT, 6), np.float32)
    xs = np.zeros((NT, 21, 3), np.float32)
    try:
        for si, pose in enumerate(poses):
            frame = scene.frame(pose)
            for s in sinks:
                s.put(frame)
            m = face.cropMatrix(pose, S, W, H)
            crop = scene.crop(frame, m, S)
            xs[si] = face.cropKeypoints(pose, m, S)
            if bank:
                if a.bank_openings > 1:
                    o = (si % a.bank_openings) / (a.bank_openings - 1)
                    opened = dataclasses.replace(pose, mouth_open=o)
                    bank.add(scene.crop(scene.frame(opened), m, S), face.cropKeypoints(pose, m, S, o))
                else:
                    bank.add(crop, xs[si])
            ma = m.copy()
            ma[0] *= mw / W
            ma[1] *= mh / H
            Ms[si] = ma.reshape(6)
            if prior_f:
                prior_f.write(members.priorFrame(crop).tobytes())
            if prior_sink:
                prior_sink.put(crop)
            pooled_f.write(members.pooledFeatures(crop, proj).tobytes())
            if fs_f:
                fs_f.write(members.fsRed(crop, blk).tobytes())
    finally:
        for f in (prior_f, pooled_f, fs_f):
            if f:
                f.close()
    timings["frames"] = time.monotonic() - t0
    t1 = time.monotonic()
    for s in sinks + ([prior_sink] if prior_sink else []):
        s.close()
    timings["encode_tail"] = time.monotonic() - t1

    wr.array("M.f32", Ms, "<f4")
    wr.bytes("mask_512.u8", members.featherMask(S).tobytes())
    rows = xs.reshape(NT, 63)
    wr.array("drive/xs.f32", rows, "<f4")
    wr.array("drive/xd.f32", rows, "<f4")
    wr.array("drive/si.i32", np.arange(NT), "<i4")
    wr.array("xs_target.bin", rows, "<f4")

    stamp = None
    if bank:
        t_bank = time.monotonic()
        # Canvas pixels per face unit: the crop spans 2.7 head half-heights (face.cropMatrix).
        stamp = bank.write(tmp, rows, S / 2.7)
        timings["teeth"] = time.monotonic() - t_bank
    if a.lip_template != "none":
        wr.bytes(teeth_bank.LIP_TEMPLATE,
                 (json.dumps(teeth_bank.lipTemplate(S, a.lip_template == "map"), indent=1) + "\n").encode())

    t2 = time.monotonic()
    for k in a.keys:
        onnxgraph.save(graphs.build(k, S, a.fail_open), wr.path(f"model_{k}.onnx"))
    timings["models"] = time.monotonic() - t2

    if a.audio:
        t3 = time.monotonic()
        writeAudio(wr, tmp, rows, face.mouthOpening(poses[0], face.cropMatrix(poses[0], S, W, H), S))
        timings["audio"] = time.monotonic() - t3

    man = {
        "format": members.FORMAT,
        "agent": a.agent or f"synthetic-{a.seed}",
        "NT": NT,
        "W": W,
        "H": H,
        "crop": S,
        "frames": NT,
        "amount": 1.3,
        "sigma": 2.0,
        "ksize": 13,
    }
    if not a.no_msrc:
        man["M_src_w"] = mw
        man["M_src_h"] = mh
    if a.prior == "hevc":
        man["P_hevc"] = wr.name("P_hevc.mov")
    if a.driver != "jpg":
        man["target_frames_mp4"] = "target_frames.mp4"
    if a.driver != "mp4":
        man["target_frames"] = "target_frames"
    man["models"] = [wr.name(f"model_{k}.onnx") for k in a.keys]
    if not a.no_unified_block:
        pad_x, pad_y, down = graphs.LIP_GEOM
        man["unified"] = {
            "crop": {"canvas": S},
            "pi": {"mode": "prop", "corner_recovery": False, "prop_gate_scale": graphs.PROP_GATE_SCALE,
                   "lip_idx": list(face.LIP_ROWS), "lip_geom_params": [pad_x, pad_y, down]},
        }
    if a.teeth:
        teeth_head.writeHead(wr.path(teeth_head.HEAD_PT), wr.path(teeth_head.HEAD_JSON), a.teeth_head)
        man["tessera"] = teeth_bank.manifestBlock(teeth_head.manifestBlock(), stamp)
    man["generator"] = {"tool": "vesk_bundlegen", "seed": a.seed, "blinks": not a.no_blink, "audio": a.audio}
    if a.fail_open is not None:
        man["generator"]["fail_open"] = a.fail_open
    # The manifest is written last: a bundle without one is visibly incomplete.
    wr.bytes("manifest.json", members.manifest(man).encode())

    if os.path.lexists(out):
        shutil.rmtree(out)
    os.replace(tmp, out)
    if a.imx:
        members.packImx(out, a.imx)
    timings["total"] = time.monotonic() - t0
    return timings


def main(argv=None) -> int:
    a = parseArgs(sys.argv[1:] if argv is None else argv)
    try:
        t = generate(a)
    except (RuntimeError, ValueError, OSError) as e:
        print(f"vesk_bundlegen: {e}", file=sys.stderr)
        return 1
    finally:
        for enc in list(members.Ffmpeg.live):
            enc.kill()
        part = os.path.abspath(a.out.rstrip("/")) + ".part"
        if os.path.isdir(part):
            shutil.rmtree(part)
    if not a.quiet:
        W, H = a.canvas
        print(f"vesk_bundlegen: {a.out} ({W}x{H}, crop {a.crop}, NT {a.nt}, models {','.join(a.keys)}) "
              f"in {t['total']:.2f} s (frames {t['frames']:.2f} s, encoder tail {t['encode_tail']:.2f} s, "
              f"models {t['models']:.2f} s" + (f", audio {t['audio']:.2f} s" if "audio" in t else "") +
              (f", teeth {t['teeth']:.2f} s" if "teeth" in t else "") + ")")
    return 0


if __name__ == "__main__":
    sys.exit(main())
