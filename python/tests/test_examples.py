"""The example hosts, run as a user runs them."""

import json
import os
import subprocess
import sys
import wave

from conftest import REPO, speech

EXAMPLES = os.path.join(REPO, "python", "examples")


def probe(path):
    r = subprocess.run(
        ["ffprobe", "-v", "error", "-show_streams", "-of", "json", path], capture_output=True, text=True, check=True
    )
    return {s["codec_type"]: s for s in json.loads(r.stdout)["streams"]}


def test_speak_writes_h264_and_aac_of_equal_length(small, tmp_path):
    wav = tmp_path / "voice.wav"
    with wave.open(str(wav), "wb") as w:  # 22.05 kHz stereo: decoded, averaged and resampled on the way in
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(22050)
        mono = speech(22050)
        w.writeframes(bytes(memoryview(mono.repeat(2))))
    out = tmp_path / "out.mp4"
    r = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "speak.py"), small, str(wav), str(out), "--idle", "0.4", "--threads", "2"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert r.returncode == 0, r.stderr
    summary = [line for line in r.stderr.splitlines() if line.startswith("speak.py: wrote ")]
    assert summary and ", 1.00 s of speech; speech frames 25," in summary[0], r.stderr
    frames = int(summary[0].split(": ")[2].split(" frames")[0])
    s = probe(str(out))
    assert s["video"]["codec_name"] == "h264" and s["audio"]["codec_name"] == "aac"
    assert (int(s["video"]["width"]), int(s["video"]["height"])) == (320, 240)
    assert int(s["video"]["nb_frames"]) == frames >= 10 + 25 + 6 + 10
    assert abs(float(s["video"]["duration"]) - frames / 25) < 1e-6
    assert abs(float(s["audio"]["duration"]) - float(s["video"]["duration"])) <= 0.040
