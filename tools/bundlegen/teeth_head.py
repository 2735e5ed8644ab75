"""teeth_head: the BlendHead members of the teeth pass.

tessera_head.v1.pt is the state dict of a BlendHead(16) (candidate and synthesis branches) or a
BlendHead8(16) (candidate branch only), written by PyTorch's own torch.save, so the core's reader is
exercised on the real archive and pickle layout. The weights are set by hand rather than trained:
the candidate branch turns plane 6 of its input (the mean absolute difference between a donor and
the query, per pixel) smoothed over 3 x 3 into a logit of -SHARPNESS times that difference, so the
per-pixel softmax over donors prefers the donor nearest the frame's own mouth. The synthesis branch
(loaded and counted, not used by the blend) estimates luma.

tessera_head.v1.json is the head's serving configuration: the retrieval and temporal blocks and the
envelope of record.

Needs python3-torch (Debian) besides numpy; imported only when a bundle asks for teeth members.
"""

from __future__ import annotations

import json

HEAD_PT = "tessera_head.v1.pt"
HEAD_JSON = "tessera_head.v1.json"
BANK_TRACK = "tessera_bank.v1.mp4"
BANK_SIDECAR = "tessera_bank.v1.json"

WIDTH = 16
SHARPNESS = 24.0  # logit per unit of mean absolute difference: 0.1 apart is a factor of e^2.4
KINDS = {"blendhead": "BlendHead(16)", "blendhead8": "BlendHead8(16)"}

SERVE = {
    "format": "tessera_head.v1",
    "retrieval": {"kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 64},
    "temporal": {"hysteresis": 8, "lookahead": 8},
    "decode": {"envelope_clamp_255": 12},
}


def _modules():
    import torch
    from torch import nn

    def conv(cin, cout):
        return nn.Conv2d(cin, cout, 3, padding=1)

    class BlendHead8(nn.Module):
        def __init__(self, width=WIDTH):
            super().__init__()
            self.cand = nn.Sequential(conv(7, width), nn.ReLU(), conv(width, width), nn.ReLU(), conv(width, 1))

    class BlendHead(BlendHead8):
        def __init__(self, width=WIDTH):
            super().__init__(width)
            self.syn = nn.Sequential(conv(3, width), nn.ReLU(), conv(width, 1))

    return torch, BlendHead, BlendHead8


def build(kind: str = "blendhead"):
    """The hand-set head of the given kind ("blendhead" or "blendhead8")."""
    torch, BlendHead, BlendHead8 = _modules()
    head = BlendHead() if kind == "blendhead" else BlendHead8()
    with torch.no_grad():
        for p in head.parameters():
            p.zero_()
        c0, c2, c4 = head.cand[0], head.cand[2], head.cand[4]
        c0.weight[0, 6] = 1.0 / 9.0  # channel 0: the donor-query difference, box-smoothed
        c2.weight[0, 0, 1, 1] = 1.0  # carried through (non-negative, so the ReLUs pass it)
        c4.weight[0, 0, 1, 1] = -SHARPNESS
        if kind == "blendhead":
            s0, s2 = head.syn[0], head.syn[2]
            s0.weight[0, :, 1, 1] = torch.tensor([0.299, 0.587, 0.114])
            s2.weight[0, 0, 1, 1] = 1.0
    return head


def writeHead(pt_path: str, json_path: str, kind: str = "blendhead"):
    torch, _, _ = _modules()
    torch.save(build(kind).state_dict(), pt_path)
    serve = dict(SERVE)
    serve["arch"] = KINDS[kind]
    with open(json_path, "w") as f:
        f.write(json.dumps(serve, indent=2) + "\n")


def manifestBlock() -> dict:
    """The manifest's tessera block: the member names and the planes the borrow is armed on."""
    return {
        "members": {"bank_track": BANK_TRACK, "bank_sidecar": BANK_SIDECAR, "head_weights": HEAD_PT,
                    "head_config": HEAD_JSON},
        "planes": ["utt", "stream"],
    }


def main(argv=None) -> int:
    """Writes both heads alone: OUT/blendhead/ and OUT/blendhead8/, each with its .pt and .json."""
    import argparse
    import os

    p = argparse.ArgumentParser(description="writes the BlendHead members of the teeth pass")
    p.add_argument("--out", required=True, help="directory to write blendhead/ and blendhead8/ into")
    a = p.parse_args(argv)
    for kind in KINDS:
        d = os.path.join(a.out, kind)
        os.makedirs(d, exist_ok=True)
        writeHead(os.path.join(d, HEAD_PT), os.path.join(d, HEAD_JSON), kind)
    return 0


if __name__ == "__main__":
    import sys

    sys.exit(main())
