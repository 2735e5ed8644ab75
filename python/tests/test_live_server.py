"""The live server in a headless Chromium: the page shows the face moving, speaks a sentence typed
into it, and the interrupt button cuts the sentence short and brings the face back to idle."""

import os
import shutil
import socket
import subprocess
import sys
import time

import pytest

from conftest import REPO

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(fn, timeout, what):
    until = time.monotonic() + timeout
    while time.monotonic() < until:
        v = fn()
        if v:
            return v
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


@pytest.fixture
def server(small, tmp_path):
    port = free_port()
    log = open(tmp_path / "server.log", "w+")
    proc = subprocess.Popen(
        [sys.executable, os.path.join(REPO, "python", "examples", "live_server.py"), small, "--port", str(port),
         "--threads", "2"],
        stdout=log,
        stderr=subprocess.STDOUT,
    )
    try:
        def up():
            if proc.poll() is not None:
                log.seek(0)
                raise AssertionError(f"live_server exited: {log.read()}")
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", port)) == 0

        wait_for(up, 60, "the server to listen")
        yield f"http://127.0.0.1:{port}/", log
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
        log.close()


@pytest.mark.skipif(CHROMIUM is None or DRIVER is None, reason="chromium and chromedriver are installed by scripts/setup")
def test_the_page_speaks_and_is_interrupted(server):
    url, log = server
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--autoplay-policy=no-user-gesture-required"):
        opts.add_argument(a)
    browser = webdriver.Chrome(service=Service(DRIVER), options=opts)
    try:
        browser.get(url)
        seen = lambda: browser.execute_script("return window.vesk")  # noqa: E731
        wait_for(lambda: seen()["frames"] >= 10, 60, "idle frames on the page")
        idle = seen()
        assert idle["speech"] == 0 and idle["distinct"] > 1  # the driver video moves

        box = browser.find_element(By.ID, "text")
        box.clear()
        box.send_keys("This is a long sentence, spoken from the browser, so that there is time to stop it.")
        browser.find_element(By.ID, "say").click()
        wait_for(lambda: seen()["speech"] >= 8, 60, "speech frames on the page")
        before = seen()
        assert before["distinct"] > idle["distinct"]

        browser.find_element(By.ID, "stop").click()
        # The ramp back, then idle; no speech frame after the interrupt took effect.
        wait_for(lambda: seen()["lastKind"] == 0 and seen()["ramp"] > 0, 30, "the face back to idle")
        after = seen()
        time.sleep(1.0)
        final = seen()
        assert final["speech"] == after["speech"]
        assert final["frames"] > after["frames"]  # still live
        # The sentence is several seconds long: the interrupt cut it well short.
        assert final["speech"] < 100
        log.seek(0)
        text = log.read()
        assert "live_server: saying " in text and "live_server: interrupted" in text
    finally:
        browser.quit()
