"""A live utterance session driven from Python: idle, speech, ramp and interrupt as a host sees them,
statistics, failures with the library's text, closing in every order, and a producer and a display
on two threads."""

import gc
import threading
import time

import numpy as np
import pytest

import vesk
from vesk import FrameKind

from conftest import speech


def pull_until(s, pred, limit=400, timeout=30.0):
    """Frames pulled until pred(info) holds for one (included), as (frame, info) pairs."""
    got = []
    for frame, info in s.frames(timeout=timeout):
        got.append((frame, info))
        if pred(info) or len(got) >= limit:
            break
    return got


@pytest.fixture
def session(small):
    ctx = vesk.Context(small, threads=2)
    s = vesk.Session(ctx, end_silence_s=-1)
    s.wait_ready()
    yield s
    s.close()
    ctx.close()


def test_idle_speech_ramp_and_back_with_stats(session):
    idle = pull_until(session, lambda i: i.seq >= 2)
    assert [i.kind for _, i in idle] == [FrameKind.IDLE] * 3
    # Consecutive idle frames walk the driver video.
    assert [i.si for _, i in idle] == [(idle[0][1].si + k) % 8 for k in range(3)]

    session.push(speech(16000 * 12 // 25))  # 12 frames of speech, as int16
    session.end()
    got = pull_until(session, lambda i: i.kind == FrameKind.IDLE and i.seq > idle[-1][1].seq + 20)
    kinds = [i.kind for _, i in got]
    spoken = [i.index for _, i in got if i.kind == FrameKind.SPEECH]
    assert spoken == list(range(12))
    # Speech, then the six ramp frames, then idle again; every frame in queue order.
    first = kinds.index(FrameKind.SPEECH)
    assert kinds[first : first + 18] == [FrameKind.SPEECH] * 12 + [FrameKind.RAMP] * 6
    assert all(k == FrameKind.IDLE for k in kinds[first + 18 :])
    seqs = [i.seq for _, i in idle + got]
    assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))
    for frame, info in got:
        assert frame.shape == (240, 320, 3) and frame.dtype == np.uint8
    # A speech frame is the face speaking, not the driver frame underneath.
    f, info = next((f, i) for f, i in got if i.kind == FrameKind.SPEECH and i.index == 6)
    idle_same = [g for g, i in idle + got if i.kind == FrameKind.IDLE and i.si == info.si]
    assert idle_same and not np.array_equal(f, idle_same[0])

    st = session.stats
    assert (st.frames, st.speech_frames, st.utterances) == (len(idle) + len(got), 12, 1)
    assert st.state == vesk.SessionState.IDLE
    assert st.render_ms > 0 and st.first_frame_ms > 0
    assert session.render_status == vesk.RenderStatus(False, 0, "")


def test_float_audio_is_pushed_as_its_int16_samples(session):
    pcm = speech(6400)
    assert np.array_equal(vesk.to_pcm16(pcm.astype(np.float32) / 32768.0), pcm)
    assert vesk.to_pcm16(np.array([-1.5, -1.0, 1.0, 2.0])).tolist() == [-32768, -32768, 32767, 32767]
    with pytest.raises(ValueError):
        session.push(np.zeros((2, 100), np.int16))
    with pytest.raises(TypeError):
        session.push(np.zeros(100, np.int32))
    session.push(pcm.astype(np.float64) / 32768.0)  # 10 frames
    session.end()
    got = pull_until(session, lambda i: i.kind == FrameKind.RAMP)
    assert [i.index for _, i in got if i.kind == FrameKind.SPEECH] == list(range(10))


def test_interrupt_drops_the_utterance_and_ramps_back(small):
    with vesk.Context(small, threads=2) as ctx, vesk.Session(ctx, end_silence_s=-1, interrupt_ramp_frames=3) as s:
        s.wait_ready()
        s.push(speech(16000 * 4))  # 100 frames, never ended
        before = pull_until(s, lambda i: i.kind == FrameKind.SPEECH and i.index >= 4)
        s.interrupt()
        after = pull_until(s, lambda i: i.kind == FrameKind.IDLE)
        kinds = [i.kind for _, i in after]
        # Frames queued before the interrupt are gone: at most what was rendered at the time comes
        # out, then exactly the interrupt's ramp, then idle; the utterance never reaches its end.
        assert kinds[-4:] == [FrameKind.RAMP] * 3 + [FrameKind.IDLE]
        assert FrameKind.SPEECH not in kinds[kinds.index(FrameKind.RAMP) :]
        spoken = [i.index for _, i in before + after if i.kind == FrameKind.SPEECH]
        assert spoken == list(range(len(spoken))) and len(spoken) < 40
        assert s.stats.utterances == 1
        # The next utterance starts from index 0.
        s.push(speech(3200))
        s.end()
        nxt = pull_until(s, lambda i: i.kind == FrameKind.RAMP)
        assert [i.index for _, i in nxt if i.kind == FrameKind.SPEECH] == list(range(5))
        assert s.stats.utterances == 2


def test_failures_raise_with_the_librarys_text(small, bundles, tmp_path):
    # The session makes the context's director at once: a missing one fails the create.
    with vesk.Context(small, model="nosuchmodel", threads=2) as ctx:
        with pytest.raises(vesk.SessionError) as e:
            vesk.Session(ctx)
        assert str(e.value) == f"vesk_utt_create: Renderer: cannot open {small}/model_nosuchmodel.onnx"
        # The failed create left the context free for its own calls.
        assert ctx.frame(0).shape == (240, 320, 3)
    # An audio model that cannot load: the session opens and delivers idle frames, and ready()
    # raises the model family's text.
    with vesk.Context(small, threads=2) as ctx, vesk.Session(ctx, motion_dir=str(tmp_path / "nomodel")) as s:
        with pytest.raises(vesk.SessionError) as e:
            s.wait_ready(timeout=30)
        assert str(e.value) == f"vesk_motion_create: cannot open {tmp_path / 'nomodel'}/meta.json"
        s.push(speech(6400))  # discarded
        got = pull_until(s, lambda i: i.seq >= 12)
        assert {i.kind for _, i in got} == {FrameKind.IDLE}

    # A director failing on an open mouth: counted, described, and the frames keep coming.
    with vesk.Context(bundles["faulty"], threads=2) as ctx, vesk.Session(ctx, end_silence_s=-1) as s:
        s.wait_ready()
        s.push(speech(16000))
        s.end()
        got = pull_until(s, lambda i: i.kind == FrameKind.IDLE and i.seq > 30)
        assert [i.index for _, i in got if i.kind == FrameKind.SPEECH] == list(range(25))
        st = s.render_status
        assert st.degraded and st.failures > 0 and st.text.startswith("ep=")


def test_closing_in_any_order_never_crashes(small):
    # The context first: it closes its session, whose calls then raise.
    ctx = vesk.Context(small, threads=2)
    s = vesk.Session(ctx)
    with pytest.raises(vesk.ContextError, match="in use by an utterance session"):
        ctx.frame(0)
    ctx.close()
    assert s.closed
    with pytest.raises(vesk.ClosedError):
        s.pull()
    s.close()
    ctx.close()

    # The session first: the context is usable again.
    ctx = vesk.Context(small, threads=2)
    s = vesk.Session(ctx)
    s.close()
    assert ctx.frame(1).shape == (240, 320, 3)
    s2 = vesk.Session(ctx)  # a new session on the same context
    del ctx  # the session holds its context
    gc.collect()
    s2.pull()
    del s2
    gc.collect()

    # A cycle holding both: the collector destroys them in its own order.
    ctx = vesk.Context(small, threads=2)
    s = vesk.Session(ctx)
    ctx.partner = s
    s.partner = ctx
    del ctx, s
    gc.collect()

    # Closing from another thread while this one pulls.
    ctx = vesk.Context(small, threads=2)
    s = vesk.Session(ctx)
    closer = threading.Timer(0.3, ctx.close)
    closer.start()
    n = sum(1 for _ in s.frames(timeout=10))
    closer.join()
    assert s.closed and n > 0

    # Sessions and contexts left open at exit are closed by the interpreter in creation order reversed.
    leak_ctx = vesk.Context(small, threads=2)
    leak_ctx._leak = vesk.Session(leak_ctx)


def test_push_on_one_thread_pull_on_another(session):
    chunks = 30  # 1.2 s of speech in 40 ms chunks, pushed in real time
    pcm = speech(640 * chunks)
    errors = []

    def producer():
        try:
            for k in range(chunks):
                session.push(pcm[k * 640 : (k + 1) * 640])
                time.sleep(0.04)
            session.end()
        except BaseException as e:  # carried to the test
            errors.append(e)

    t = threading.Thread(target=producer)
    t.start()
    got = []
    for frame, info in session.frames(timeout=30, realtime=True):
        got.append(info)
        if info.kind == FrameKind.RAMP:
            break
    t.join()
    assert not errors
    assert [i.index for i in got if i.kind == FrameKind.SPEECH] == list(range(chunks))
    assert session.stats.speech_frames == chunks


def test_the_whole_run_stream_yields_every_frame_in_order(small):
    audio = speech(16000 * 10 // 25).astype(np.float32) / 32768.0  # 10 frames
    frames = list(vesk.stream(small, audio, threads=2))
    assert len(frames) == 10
    assert all(f.shape == (240, 320, 3) and f.dtype == np.uint8 for f in frames)
    assert len({f.tobytes() for f in frames}) > 1
    # The same audio again gives the same pictures; skipping drops the first frames only.
    again = list(vesk.stream(small, speech(16000 * 10 // 25), threads=2, skip=4))
    assert len(again) == 6
    for a, b in zip(frames[4:], again):
        np.testing.assert_array_equal(a, b)
    # A consumer that stops early: the generator closes, the run finishes, nothing hangs.
    g = vesk.stream(small, audio, threads=2)
    next(g)
    g.close()
    with pytest.raises(vesk.StreamError) as e:
        vesk.stream(small, audio, encoder="/nonexistent/encoder.onnx")
    assert str(e.value).startswith("vesk_fca_create: ") and str(e.value).endswith("/nonexistent/encoder.onnx")


def test_the_audio_models_on_their_own(small):
    with vesk.A2X(small, threads=2) as a:
        assert a.nt == 8
        a.reset(start=0)
        a.push(speech(16000 * 20 // 25))
        a.finish()
        assert a.total == 20
        got = []
        while len(got) < 20:
            f = a.pull()
            assert len(f) or a.avail() == 0
            got.extend(f.si.tolist())
            if not len(f):
                break
        assert len(got) == 20 and all(0 <= si < 8 for si in got)
        whole = a.deltas(speech(16000))
        assert whole.xd.shape == (25, 21, 3) and np.abs(whole.xd).max() > 0
    with pytest.raises(vesk.ClosedError):
        a.avail()
    with pytest.raises(vesk.A2XError, match="^vesk_a2x_create: "):
        vesk.A2X("/nonexistent")

    with vesk.Motion(f"{small}/motion", threads=2) as m:
        m.push(speech(16000 * 15 // 25))
        m.finish()
        assert m.total == 15
        f = m.pull()
        assert len(f) == 15 and f.xd.shape == (15, 21, 3)
        assert not np.array_equal(f.xs, f.xd)
    with pytest.raises(vesk.MotionError, match="^vesk_motion_create: "):
        vesk.Motion("/nonexistent")
