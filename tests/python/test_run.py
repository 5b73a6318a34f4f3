"""Runs against the scripted fake browser: the capture of each device,
outcomes, fail-fast, the files written, faults that end one device, and the
interpreter lock released meanwhile."""
import base64
import hashlib
import json
import os
import threading
from pathlib import Path

import pytest

from conftest import make_fake_browser, preset, read_log
from kestrelite import capture_json, devices_json

# The fake answers every screenshot with a 1080 x 1920 PNG: the first preset
# is exact and the second off-size.
EXACT = preset("exact-phone", 1080, 1920, 3, platform="android_phone", mobile=True)
OFF = preset("off-phone", 1080, 2340, 3, platform="ios_phone", mobile=True)
GIF = base64.b64encode(b"GIF89a" + b"\0" * 30).decode()


def run(tmp_path, devices, ids=None, fake=(), **kwargs):
    """A capture of the devices (or `ids` of them) with a fake made from the
    `fake` script, whose screenshots are 1080 x 1920 unless it says otherwise."""
    presets = tmp_path / "presets.json"
    presets.write_text(json.dumps({"version": 1, "devices": devices}))
    browser = make_fake_browser(tmp_path, **{"screenshot_size": [1080, 1920], **dict(fake)})
    return json.loads(capture_json("http://127.0.0.1:9/app", str(tmp_path / "out"), ids or [d["id"] for d in devices],
                                   browser=browser, presets=str(presets), **kwargs))


def test_outcomes_files_and_the_commands_on_the_wire(tmp_path):
    log = tmp_path / "log.jsonl"
    report = run(tmp_path, [EXACT, OFF], fake={"log": str(log)}, locale="ja-JP")
    assert [r["outcome"] for r in report["results"]] == ["exact", "off-size"]
    assert (report["exact"], report["off_size"], report["failed"], report["ok"]) == (1, 1, 0, False)
    exact, off = (r["capture"] for r in report["results"])
    assert (exact["expected"], off["expected"], off["actual"], off["exact"]) == (
        [1080, 1920], [1080, 2340], [1080, 1920], False)
    assert exact["environment"] == {"inner_width": 360, "inner_height": 640, "device_pixel_ratio": 3,
                                    "touch_points": 5, "viewport_honoured": True}
    for result in report["results"]:
        data = Path(result["path"]).read_bytes()
        assert result["path"] == str(tmp_path / "out" / (result["device_id"] + ".png"))
        assert [len(data), hashlib.sha256(data).hexdigest()] == [result["capture"][k] for k in ("bytes", "sha256")]
    assert sorted(os.listdir(tmp_path / "out")) == ["exact-phone.png", "off-phone.png"]
    # Each device has a browser of its own: ids start again at 1.
    messages = read_log(log)
    first = messages[:[m["id"] for m in messages].index(1, 1)]
    assert [m["id"] for m in first] == list(range(1, len(first) + 1))
    assert [m["method"] for m in first][-6:] == ["Page.addScriptToEvaluateOnNewDocument", "Page.navigate",
                                                "Runtime.evaluate", "Runtime.evaluate", "Runtime.evaluate",
                                                "Page.captureScreenshot"]
    settle, probe, status, shot = (m["params"] for m in first[-4:])
    assert settle["expression"].startswith("new Promise(")
    assert probe == {"expression": "({w:innerWidth,h:innerHeight,d:devicePixelRatio,"
                                   "t:(navigator.maxTouchPoints||0)})", "returnByValue": True}
    assert status == {"expression": "(performance.getEntriesByType('navigation')[0]||{}).responseStatus",
                      "returnByValue": True}
    assert shot == {"captureBeyondViewport": False, "format": "png"}
    assert (first[7]["method"], first[7]["params"]) == ("Emulation.setLocaleOverride", {"locale": "ja-JP"})


@pytest.mark.parametrize("order, outcomes", [
    ([OFF, EXACT], ["off-size"]),
    ([EXACT, preset("a/b"), OFF], ["exact", "failed"]),
    ([EXACT, EXACT], ["exact", "exact"]),
])
def test_fail_fast_stops_after_the_first_device_that_is_not_exact(tmp_path, order, outcomes):
    devices = list({d["id"]: d for d in order}.values())
    report = run(tmp_path, devices, [d["id"] for d in order], fail_fast=True)
    assert [r["outcome"] for r in report["results"]] == outcomes
    assert report["ok"] is (set(outcomes) == {"exact"})


@pytest.mark.parametrize("bad_id", ["", ".", "..", "../escape", "/tmp/x", "a\0b"])
def test_ids_that_are_not_file_names_write_nothing(tmp_path, bad_id):
    report = run(tmp_path, [preset(bad_id)])
    assert report["results"][0]["error"] == (f'unexpected response shape: device id "{bad_id}" is not a plain '
                                             "file name, so it cannot name an image")
    assert os.listdir(tmp_path / "out") == [] and not (tmp_path / "escape.png").exists()
    assert json.loads(devices_json(presets=str(tmp_path / "presets.json")))[0]["id"] == bad_id


def test_a_failed_write_fails_its_device_and_leaves_no_partial_file(tmp_path):
    (tmp_path / "out" / "off-phone.png").mkdir(parents=True)
    report = run(tmp_path, [EXACT, OFF])
    assert [r.get("error") for r in report["results"]] == [None, "io: Is a directory"]
    assert sorted(os.listdir(tmp_path / "out")) == ["exact-phone.png", "off-phone.png"]


def test_links_planted_in_the_folder_are_replaced_never_followed(tmp_path):
    # Under the image's name, and under the names a temporary file could be
    # guessed to have: the capture writes its own file, the targets keep theirs.
    out = tmp_path / "out"
    out.mkdir()
    names = ["exact-phone.png", "exact-phone.png.partial", ".exact-phone.png.partial"]
    for name in names:
        (tmp_path / f"target-{name}").write_bytes(b"not yours")
        (out / name).symlink_to(tmp_path / f"target-{name}")
    umask = os.umask(0o027)
    try:
        report = run(tmp_path, [EXACT])
    finally:
        os.umask(umask)
    assert report["results"][0]["outcome"] == "exact"
    assert all((tmp_path / f"target-{name}").read_bytes() == b"not yours" for name in names)
    image = out / "exact-phone.png"
    assert not image.is_symlink() and image.stat().st_mode & 0o777 == 0o640
    assert image.read_bytes().startswith(b"\x89PNG")
    assert sorted(os.listdir(out)) == sorted(names)


@pytest.mark.parametrize("replies, error", [
    ({"Emulation.setLocaleOverride": {"error": {"message": "'Emulation.setLocaleOverride' wasn't found"}},
      "Emulation.setTouchEmulationEnabled": {"error": {"message": "Touch emulation not supported"}},
      "Emulation.setUserAgentOverride": {"error": {"message": "not supported"}},
      "Runtime.evaluate#2": {"error": {"message": "boom"}}}, None),
    ({"Emulation.setTimezoneOverride": {"error": {"message": "Invalid timezone ID"}}},
     "cdp Emulation.setTimezoneOverride: Invalid timezone ID"),
    ({"Runtime.evaluate#1": {"error": {"message": "Inspected target navigated or closed"}}},
     "cdp Runtime.evaluate: Inspected target navigated or closed"),
    ({"Page.captureScreenshot": {"result": {"data": 12}}},
     "unexpected response shape: captureScreenshot returned no data"),
    ({"Page.captureScreenshot": {"result": {"data": "iVBO Rwo"}}},
     "unexpected response shape: screenshot was not valid base64: invalid byte 0x20 at offset 4"),
    ({"Page.captureScreenshot": {"result": {"data": GIF}}}, "unexpected response shape: not a png (bad magic)"),
], ids=["tolerated", "timezone", "settle", "no_data", "bad_base64", "not_png"])
def test_what_a_refused_command_does_to_the_device(tmp_path, replies, error):
    result = run(tmp_path, [EXACT], fake={"replies": replies})["results"][0]
    assert result.get("error") == error
    if error is None:
        assert result["outcome"] == "exact" and "environment" not in result["capture"]
    else:
        assert os.listdir(tmp_path / "out") == []


def host_state():
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("script, error", [
    ({"faults": {"Page.navigate": "exit"}}, "websocket protocol: connection closed by peer"),
    ({"startup": "exit"}, "browser: browser did not report a DevTools port"),
], ids=["exits_mid_capture", "exits_at_start"])
def test_a_fault_ends_only_its_device_and_leaves_nothing_behind(tmp_path, process_mark, script, error):
    second = preset("second", 1080, 1920, 3)
    before = host_state()
    report = run(tmp_path, [EXACT, second], fake={"once": str(tmp_path / "used"), **script})
    assert [r.get("error") for r in report["results"]] == [error, None]
    assert report["results"][1]["outcome"] == "exact"
    assert host_state() == before
    assert process_mark() == []


def test_other_threads_run_while_a_capture_waits(tmp_path):
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.wait(0.01):
            ticks.append(1)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        report = run(tmp_path, [EXACT], fake={"delay_ms": {"Runtime.evaluate#1": 1500}})
    finally:
        stop.set()
        ticker.join()
    assert report["ok"] and len(ticks) > 50
