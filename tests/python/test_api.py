"""The Python API beyond the module's own rules: path-like arguments,
kestrelite.capture, and Ctrl-C during capture_json."""
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import kestrelite
from conftest import make_fake_browser, preset, read_log
from kestrelite import capture_json, devices_json
from kestrelite.errors import UsageError

SMALL = preset("small", 300, 600, 1)


def test_capture_json_takes_path_like_arguments(tmp_path, write_presets):
    presets = Path(write_presets({"version": 1, "devices": [SMALL]}))
    report = json.loads(capture_json("about:blank", tmp_path / "out", ["small"],
                                     browser=Path(make_fake_browser(tmp_path)), presets=presets))
    assert report["ok"] and report["results"][0]["path"] == str(tmp_path / "out" / "small.png")
    assert devices_json(presets=presets) == devices_json(presets=str(presets))


@pytest.mark.parametrize("name", ["out_dir", "browser", "presets"])
def test_a_path_like_object_giving_bytes_is_refused(tmp_path, name):
    bytes_path = type("BytesPath", (), {"__fspath__": lambda self: b"/tmp/kestrelite-bytes"})()
    arguments = {"url": "about:blank", "out_dir": str(tmp_path / "out"), "store": "apple", name: bytes_path}
    with pytest.raises(TypeError, match=f"^argument '{name}': 'BytesPath' object gives a bytes path"):
        capture_json(**arguments)
    assert not (tmp_path / "out").exists()


def test_capture_takes_a_local_page_and_returns_the_report(tmp_path, write_presets):
    site = tmp_path / "site"
    site.mkdir()
    (site / "index.html").write_text("<p>hi</p>")
    log = tmp_path / "log.jsonl"
    report = kestrelite.capture(site, site, ["small"], browser=Path(make_fake_browser(tmp_path, log=str(log))),
                                presets=Path(write_presets({"version": 1, "devices": [SMALL]})))
    assert report["ok"] and report["url"] == (site / "index.html").as_uri()
    [navigation] = [m for m in read_log(log) if m["method"] == "Page.navigate"]
    assert navigation["params"]["url"] == report["url"]
    assert (site / "index.html").read_text() == "<p>hi</p>" and (site / "small.png").exists()


@pytest.mark.parametrize("arguments, message", [
    ({"device_ids": ["small"], "store": "web"}, "give device_ids or store, not both"),
    ({}, "specify either device_ids or store"),
    ({"store": "web", "timezone": "Mars/Base"}, "invalid time zone 'Mars/Base'"),
    ({"store": "web", "locale": "en_US"}, "invalid locale 'en_US'"),
    ({"device_ids": ["small"], "browser": "/nonexistent"}, "browser /nonexistent: no such file"),
    ({"device_ids": ["small"]}, "small.png exists and was not written by kestrelite"),
])
def test_capture_refuses_before_any_browser_starts(tmp_path, write_presets, arguments, message):
    out = tmp_path / "out"
    out.mkdir()
    (out / "small.png").write_text("mine")
    log = tmp_path / "log.jsonl"
    arguments = {"browser": make_fake_browser(tmp_path, log=str(log)), **arguments}
    with pytest.raises(UsageError, match=message):
        kestrelite.capture("about:blank", out, presets=write_presets({"version": 1, "devices": [SMALL]}),
                           **arguments)
    assert not log.exists() and sorted(os.listdir(out)) == ["small.png"]


INTERRUPTED_CHILD = """
import signal, sys
# As in an interactive interpreter; a child started in the background may
# have inherited SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
import kestrelite
try:
    kestrelite.capture_json("about:blank", sys.argv[1], sys.argv[3:], browser=sys.argv[2])
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""


def test_ctrl_c_stops_capture_json_after_the_device_under_way(tmp_path, process_mark):
    log, pid_file = tmp_path / "log.jsonl", tmp_path / "browser.pid"
    fake = make_fake_browser(tmp_path, log=str(log), pid_file=str(pid_file),
                             delay_ms={"Page.captureScreenshot": 1500})
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, str(tmp_path / "out"), fake,
                              "apple-watch-s3", "apple-watch-s6", "play-wear-os"],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while not pid_file.exists() and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    assert (child.returncode, stdout) == (0, "KeyboardInterrupt\n"), stderr
    # The first device finished (its screenshot was answered); no other was started.
    assert [m["method"] for m in read_log(log)].count("Page.navigate") == 1
    assert sorted(os.listdir(tmp_path / "out")) == ["apple-watch-s3.png"]
    assert process_mark() == []
