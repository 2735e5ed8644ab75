"""The render context from Python: sizes, single frames against each other, the library's error
texts, and where the binding looks for the library."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import vesk

from conftest import REPO


def test_sizes_and_single_frames_agree(small):
    with vesk.Context(small, threads=2) as ctx:
        assert (ctx.width, ctx.height, ctx.crop, ctx.nt) == (320, 240, 128, 8)
        assert vesk.host_kp_rows() == 21
        crop = ctx.render_drive(3)
        assert crop.shape == (3, 128, 128) and crop.dtype == np.float32
        view = ctx.render_drive(3, view=True)
        np.testing.assert_array_equal(view, crop)
        assert not view.flags.writeable
        # A copy survives the next render; the view is the context's own crop and follows it.
        ctx.render_drive(0)
        np.testing.assert_array_equal(view, ctx.render_drive(0))
        assert not np.array_equal(crop, view)

        # Render and paste in two calls is render and paste in one, less the alpha.
        pasted = ctx.paste(3, crop)
        assert pasted.shape == (240, 320, 3) and pasted.dtype == np.uint8
        ctx.render_drive(3)
        np.testing.assert_array_equal(ctx.paste_last(3), pasted)
        rgba = ctx.render_drive_rgba(3)
        np.testing.assert_array_equal(rgba[..., :3], pasted)
        assert (rgba[..., 3] == 255).all()
        out = np.zeros((240, 320, 3), np.uint8)
        assert ctx.paste(3, crop, out=out) is out
        np.testing.assert_array_equal(out, pasted)

        # The face differs from the raw driver frame only inside the crop's square.
        driver = ctx.frame(3)
        assert driver.shape == (240, 320, 3)
        assert not np.array_equal(driver, pasted)

        # Keypoints in: a source frame rendered with its own keypoints as the driving set.
        xs = np.fromfile(os.path.join(small, "xs_target.bin"), np.float32).reshape(8, 21, 3)
        a = ctx.render(2, xs[2], xs[2])
        b = ctx.render(2, xs[2].ravel().tolist(), xs[2])
        np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(ctx.render_rgba(2, xs[2], xs[2])[..., :3], ctx.paste(2, a))


def test_failures_carry_the_librarys_text(small, tmp_path):
    with pytest.raises(vesk.ContextError) as e:
        vesk.Context(str(tmp_path / "nowhere"))
    assert str(e.value) == f"vesk_create: cannot open {tmp_path / 'nowhere'}/manifest.json"
    # The director opens on the first render, which reports its failure under its own name.
    with vesk.Context(small, model="nosuchmodel") as bad:
        with pytest.raises(vesk.ContextError) as e:
            bad.render_drive(0)
        assert str(e.value) == f"vesk_render_kp_crop: Renderer: cannot open {small}/model_nosuchmodel.onnx"
    with vesk.Context(small) as ctx:
        with pytest.raises(vesk.ContextError, match="^vesk_render_drive_crop: bad frame index$"):
            ctx.render_drive(10_000)
        with pytest.raises(vesk.ContextError, match="^vesk_target_frame: bad args$"):
            ctx.frame(-1)
        with pytest.raises(ValueError, match="21 x 3"):
            ctx.render(0, np.zeros(60), np.zeros(63))
        with pytest.raises(ValueError, match=r"\(3, 128, 128\)"):
            ctx.paste(0, np.zeros((3, 64, 64), np.float32))
        with pytest.raises(ValueError, match="out must be"):
            ctx.paste(0, np.zeros((3, 128, 128), np.float32), out=np.zeros((240, 320, 3), np.float32))
        ctx.render_drive(0)  # a success after failures works as ever
    with pytest.raises(vesk.ClosedError):
        ctx.frame(0)


def _find_library_in(pkg_root, env):
    code = "import vesk\ntry:\n    print(vesk.library_path())\nexcept vesk.LibraryNotFoundError as e:\n    print('ERR', e)"
    env = {k: v for k, v in os.environ.items() if k != "VESK_LIBRARY"} | env
    r = subprocess.run([sys.executable, "-c", code], cwd=pkg_root, env=env, capture_output=True, text=True, check=True)
    return r.stdout.strip()


def test_the_library_is_found_in_order_or_all_three_places_are_named(tmp_path):
    # A copy of the package with no library beside it and no build tree above it.
    pkg = tmp_path / "site"
    shutil.copytree(os.path.join(REPO, "python", "vesk"), pkg / "vesk")
    msg = _find_library_in(pkg, {})
    assert msg.startswith("ERR libvesk_core.so not found: VESK_LIBRARY is not set")
    assert str(pkg / "vesk" / "libvesk_core.so") in msg
    assert os.path.join(str(tmp_path), "build", "release", "libvesk_core.so") in msg

    fake = tmp_path / "elsewhere.so"
    fake.write_bytes(b"")
    (pkg / "vesk" / "libvesk_core.so").write_bytes(b"")
    assert _find_library_in(pkg, {}) == str(pkg / "vesk" / "libvesk_core.so")
    assert _find_library_in(pkg, {"VESK_LIBRARY": str(fake)}) == str(fake)
    assert _find_library_in(pkg, {"VESK_LIBRARY": str(tmp_path / "gone.so")}).startswith(
        f"ERR VESK_LIBRARY names {tmp_path / 'gone.so'}"
    )
