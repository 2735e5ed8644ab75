"""Fixtures: the package from this source tree, and synthetic identity bundles made by the bundle
generator for this test run (a speaking identity and one whose director fails on an open mouth)."""

import os
import subprocess
import sys

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "python"))

GENERATOR = os.path.join(REPO, "tools", "bundlegen", "vesk_bundlegen.py")
# The generator runs on Debian's interpreter, which has numpy and onnx.
GENERATOR_PYTHON = os.environ.get("VESK_BUNDLEGEN_PYTHON", "/usr/bin/python3")


def _generate(root, name, *options):
    out = os.path.join(root, name)
    subprocess.run([GENERATOR_PYTHON, GENERATOR, "--quiet", "--out", out, *options], check=True)
    return out


@pytest.fixture(scope="session")
def bundles(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("bundles"))
    return {
        "small": _generate(root, "small", "--canvas", "320x240", "--crop", "128", "--nt", "8", "--seed", "3",
                           "--models", "b1,b24_fp32", "--audio"),
        "faulty": _generate(root, "faulty", "--canvas", "320x240", "--crop", "128", "--nt", "8", "--seed", "5",
                            "--models", "b1,b24_fp32", "--audio", "--fail-open", "0.02"),
    }


@pytest.fixture(scope="session")
def small(bundles):
    return bundles["small"]


@pytest.fixture(autouse=True, scope="session")
def _w2v(bundles):
    # The bundles' streaming audio model reads the shared speech encoder named here.
    os.environ["W2V_ONNX"] = os.path.join(bundles["small"], "w2v.onnx")


def speech(n, seed=0):
    """n samples of a voiced, loudness-modulated tone at 16 kHz: enough to open the mouth."""
    t = np.arange(n) / 16000.0
    env = 0.5 + 0.5 * np.sin(2 * np.pi * (3.0 + seed % 3) * t)
    v = 12000.0 * env * (np.sin(2 * np.pi * 180 * t) + 0.4 * np.sin(2 * np.pi * 540 * t))
    return v.astype(np.int16)
