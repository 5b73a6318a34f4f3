"""Runs over several devices against the scripted DevTools peer: outcomes,
fail-fast, the report's exact text and the files on disk."""
import hashlib
import json
import re
import sys
import threading
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fake_browser"))
from fakes import make_fake_browser  # noqa: E402

from conftest import preset, zombie_children  # noqa: E402
from kestrelite import capture_json, devices_json  # noqa: E402

# The fake answers every screenshot with a 1080 x 1920 PNG: the first preset
# is exact, the second off-size, and the third cannot name a file.
EXACT = preset("exact-phone", 1080, 1920, 3, platform="android_phone", mobile=True)
OFF = preset("off-phone", 1080, 2340, 3, platform="ios_phone", mobile=True)
BAD = preset("../escape", 1080, 1920, 3)


def run(tmp_path, devices, ids=None, **kwargs):
    presets = tmp_path / "presets.json"
    presets.write_text(json.dumps({"version": 1, "devices": devices}))
    browser = kwargs.pop("browser", None) or make_fake_browser(tmp_path, screenshot_size=[1080, 1920])
    text = capture_json("http://127.0.0.1:9/", str(tmp_path / "out"), ids or [d["id"] for d in devices],
                        browser=browser, presets=str(presets), **kwargs)
    return text, json.loads(text)


def test_exact_off_size_and_failed_in_one_run(tmp_path):
    _, report = run(tmp_path, [EXACT, OFF, BAD])
    assert [r["outcome"] for r in report["results"]] == ["exact", "off-size", "failed"]
    assert (report["exact"], report["off_size"], report["failed"], report["ok"]) == (1, 1, 1, False)
    assert report["results"][2]["error"] == (
        'unexpected response shape: device id "../escape" is not a plain file name, so it cannot name an image')
    for result in report["results"][:2]:
        data = Path(result["path"]).read_bytes()
        assert result["path"] == str(tmp_path / "out" / (result["device_id"] + ".png"))
        assert len(data) == result["capture"]["bytes"]
        assert hashlib.sha256(data).hexdigest() == result["capture"]["sha256"]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["exact-phone.png", "off-phone.png"]
    assert not (tmp_path / "escape.png").exists()


@pytest.mark.parametrize("order, outcomes", [
    ([OFF, EXACT, EXACT], ["off-size"]),
    ([EXACT, BAD, OFF], ["exact", "failed"]),
    ([EXACT, EXACT], ["exact", "exact"]),
])
def test_fail_fast_stops_after_the_first_device_that_is_not_exact(tmp_path, order, outcomes):
    devices = {d["id"]: d for d in order}
    _, report = run(tmp_path, list(devices.values()), [d["id"] for d in order], fail_fast=True)
    assert [r["outcome"] for r in report["results"]] == outcomes
    assert report["exact"] + report["off_size"] + report["failed"] == len(outcomes)
    assert report["ok"] is (set(outcomes) == {"exact"})


def test_without_fail_fast_every_device_is_attempted(tmp_path):
    _, report = run(tmp_path, [EXACT, OFF, BAD], [BAD["id"], OFF["id"], EXACT["id"]])
    assert [r["outcome"] for r in report["results"]] == ["failed", "off-size", "exact"]


def test_report_text_of_an_exact_and_a_failed_device(tmp_path):
    browser = make_fake_browser(tmp_path, screenshot_size=[1080, 1920],
                                replies={"Runtime.evaluate#2": {"result": {}}})
    text, report = run(tmp_path, [EXACT, BAD], browser=browser)
    exact = report["results"][0]
    sha = exact["capture"]["sha256"]
    size = exact["capture"]["bytes"]
    path = str(tmp_path / "out" / "exact-phone.png")
    assert re.sub(r'"elapsed_ms":\d+', '"elapsed_ms":0', text) == (
        '{"kestrelite":"0.1.14","url":"http://127.0.0.1:9/","seed":42,"locale":"en-US","exact":1,"off_size":0,'
        '"failed":1,"elapsed_ms":0,"ok":false,"results":['
        '{"device_id":"exact-phone","outcome":"exact","elapsed_ms":0,"capture":{"device_id":"exact-phone",'
        f'"expected":[1080,1920],"actual":[1080,1920],"sha256":"{sha}","bytes":{size},"exact":true,"settle":"quiet"}},'
        f'"path":"{path}"}},'
        '{"device_id":"../escape","outcome":"failed","elapsed_ms":0,"error":"unexpected response shape: device id '
        '\\"../escape\\" is not a plain file name, so it cannot name an image"}]}')


def test_report_with_environment(tmp_path):
    _, report = run(tmp_path, [EXACT])
    assert report["results"][0]["capture"]["environment"] == {
        "inner_width": 360, "inner_height": 640, "device_pixel_ratio": 3, "touch_points": 5,
        "viewport_honoured": True}
    assert report["ok"] is True


@pytest.mark.parametrize("bad_id", ["", ".", "..", "a/b", "/tmp/x", "a\0b"])
def test_ids_that_are_not_file_names_never_write_outside_the_output_directory(tmp_path, bad_id):
    devices = [preset(bad_id, 1080, 1920, 3)]
    listed = json.loads(devices_json(presets=str(_write(tmp_path, devices))))
    assert listed[0]["id"] == bad_id
    _, report = run(tmp_path, devices)
    assert report["results"][0]["outcome"] == "failed"
    assert "is not a plain file name" in report["results"][0]["error"]
    assert list((tmp_path / "out").iterdir()) == []


def _write(tmp_path, devices):
    path = tmp_path / "listed.json"
    path.write_text(json.dumps({"version": 1, "devices": devices}))
    return path


def test_a_failed_write_fails_only_that_device_and_leaves_no_partial_file(tmp_path):
    (tmp_path / "out" / "off-phone.png").mkdir(parents=True)
    _, report = run(tmp_path, [EXACT, OFF])
    assert [r["outcome"] for r in report["results"]] == ["exact", "failed"]
    assert report["results"][1]["error"] == "io: Is a directory"
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["exact-phone.png", "off-phone.png"]


def test_a_rewritten_file_replaces_the_old_content(tmp_path):
    target = tmp_path / "out" / "exact-phone.png"
    target.parent.mkdir()
    target.write_bytes(b"x" * 10_000_000)
    _, report = run(tmp_path, [EXACT], [EXACT["id"], EXACT["id"]])
    assert len(report["results"]) == 2
    assert target.stat().st_size == report["results"][1]["capture"]["bytes"]


def test_other_threads_run_while_a_capture_waits(tmp_path, process_mark):
    browser = make_fake_browser(tmp_path, screenshot_size=[1080, 1920], delay_ms={"Runtime.evaluate#1": 1500})
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.wait(0.01):
            ticks.append(1)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        _, report = run(tmp_path, [EXACT], browser=browser)
    finally:
        stop.set()
        thread.join()
    assert report["ok"]
    assert len(ticks) > 50
    assert process_mark() == []
    assert zombie_children() == []
