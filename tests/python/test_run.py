"""capture_json and kestrelite.capture against the scripted fake browser: the
capture of each device, outcomes, fail-fast, the files written, faults and
pages that did not load ending one device, the interpreter lock released
meanwhile, Ctrl-C; and, with the real headless shell, what only it can show:
that a page which did not load fails, and the language the page sees."""
import hashlib
import json
import os
import signal
import subprocess
import sys
import time
import urllib.parse
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import kestrelite
from conftest import BROWSER, make_fake_browser, needs_browser, preset, read_log
from kestrelite import capture_json, devices_json
from kestrelite.errors import UsageError

# The fake answers every screenshot with a 1080 x 1920 PNG: the first preset
# is exact and the second off-size.
EXACT = preset("exact-phone", 1080, 1920, 3, platform="android_phone", mobile=True)
OFF = preset("off-phone", 1080, 2340, 3, platform="ios_phone", mobile=True)
URL = "http://127.0.0.1:9/app"


def run(tmp_path, devices, ids=None, fake=(), url=URL, **kwargs):
    """A capture of the devices (or `ids` of them) with a fake made from the
    `fake` script, whose screenshots are 1080 x 1920 unless it says otherwise."""
    presets = tmp_path / "presets.json"
    presets.write_text(json.dumps({"version": 1, "devices": devices}))
    browser = make_fake_browser(tmp_path, **{"screenshot_size": [1080, 1920], **dict(fake)})
    return json.loads(capture_json(url, tmp_path / "out", ids or [d["id"] for d in devices],
                                   browser=Path(browser), presets=Path(presets), **kwargs))


def test_outcomes_files_and_the_commands_on_the_wire(tmp_path):
    log = tmp_path / "log.jsonl"
    report = run(tmp_path, [EXACT, OFF], fake={"log": str(log)}, locale="ja-JP", timezone="Asia/Kolkata")
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
    # The probe's answer is the environment above; the screenshot is of the viewport only.
    sent = {m["method"]: m["params"] for m in first}
    assert sent["Page.captureScreenshot"] == {"captureBeyondViewport": False, "format": "png"}
    assert sent["Emulation.setLocaleOverride"] == {"locale": "ja-JP"}
    assert sent["Emulation.setTimezoneOverride"] == {"timezoneId": "Asia/Kolkata"}


@pytest.mark.parametrize("url", ["file:///srv/app/index.html", "data:text/html,<p>hi", "about:blank"])
def test_pages_without_an_http_status_are_not_asked_for_one(tmp_path, url):
    log = tmp_path / "log.jsonl"
    assert run(tmp_path, [EXACT], fake={"log": str(log)}, url=url)["exact"] == 1
    assert [m["method"] for m in read_log(log)].count("Runtime.evaluate") == 2  # the settle wait and the probe


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
    assert json.loads(devices_json(presets=tmp_path / "presets.json"))[0]["id"] == bad_id


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
    assert image.read_bytes().startswith(b"\x89PNG") and sorted(os.listdir(out)) == sorted(names)


@pytest.mark.parametrize("replies, error", [
    ({"Emulation.setLocaleOverride": {"error": {"message": "'Emulation.setLocaleOverride' wasn't found"}},
      "Emulation.setTouchEmulationEnabled": {"error": {"message": "Touch emulation not supported"}},
      "Emulation.setUserAgentOverride": {"error": {"message": "not supported"}},
      "Runtime.evaluate#2": {"error": {"message": "boom"}}}, None),
    ({"Emulation.setTimezoneOverride": {"error": {"message": "Invalid timezone ID"}}},
     "cdp Emulation.setTimezoneOverride: Invalid timezone ID"),
    ({"Page.navigate": {"result": {"frameId": "F", "errorText": "net::ERR_ABORTED"}}},
     f"browser: page did not load: net::ERR_ABORTED ({URL})"),
    ({"Runtime.evaluate#3": {"result": {"result": {"type": "number", "value": 403}}}},
     f"browser: page answered HTTP 403 ({URL})"),
    ({"Page.captureScreenshot": {"result": {"data": "R0lGODlh"}}}, "unexpected response shape: png too short: 6 bytes"),
], ids=["tolerated", "timezone", "not_loaded", "http_403", "not_png"])
def test_what_a_refused_command_does_to_the_device(tmp_path, replies, error):
    result = run(tmp_path, [EXACT], fake={"replies": replies})["results"][0]
    assert result.get("error") == error
    if error is None:
        assert result["outcome"] == "exact" and "environment" not in result["capture"]
    else:
        assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("script, error", [
    ({"faults": {"Page.navigate": "exit"}}, "websocket protocol: connection closed by peer"),
    ({"startup": "exit"}, "browser: browser did not report a DevTools port"),
], ids=["exits_mid_capture", "exits_at_start"])
def test_a_fault_ends_only_its_device_and_leaves_nothing_behind(tmp_path, process_mark, script, error):
    def host_state():
        return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))
    before = host_state()
    report = run(tmp_path, [EXACT, preset("second", 1080, 1920, 3)], fake={"once": str(tmp_path / "used"), **script})
    assert [(r["outcome"], r.get("error")) for r in report["results"]] == [("failed", error), ("exact", None)]
    assert host_state() == before and process_mark() == []


def test_other_threads_run_while_a_capture_waits(tmp_path):
    """With the interpreter lock held through the capture, this thread would
    not wake once while the fake sits on its answer for 1.5 s."""
    with ThreadPoolExecutor(1) as pool:
        made, wakes = pool.submit(run, tmp_path, [EXACT], fake={"delay_ms": {"Runtime.evaluate#1": 1500}}), 0
        while not made.done():
            time.sleep(0.01)
            wakes += 1
    assert made.result()["ok"] and wakes > 20


@pytest.mark.parametrize("name", ["out_dir", "browser", "presets"])
def test_a_path_like_object_giving_bytes_is_refused(tmp_path, name):
    bytes_path = type("BytesPath", (), {"__fspath__": lambda self: b"/tmp/kestrelite-bytes"})()
    arguments = {"url": "about:blank", "out_dir": str(tmp_path / "out"), "store": "apple", name: bytes_path}
    with pytest.raises(TypeError, match=f"^argument '{name}': 'BytesPath' object gives a bytes path"):
        capture_json(**arguments)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("arguments, message", [
    ({"device_ids": ["small"], "store": "web"}, "give device_ids or store, not both"),
    ({}, "specify either device_ids or store"),
    ({"device_ids": ["small"]}, "small.png exists and was not written by kestrelite"),
    ({"device_ids": ["../x"]}, "device id '../x' is not a plain file name, so it cannot name an image"),
])
def test_capture_refuses_before_any_browser_starts(tmp_path, write_presets, arguments, message):
    out = tmp_path / "out"
    out.mkdir()
    (out / "small.png").write_text("mine")
    log = tmp_path / "log.jsonl"
    arguments = {"browser": make_fake_browser(tmp_path, log=str(log)), **arguments}
    with pytest.raises(UsageError, match=message):
        kestrelite.capture("about:blank", out, presets=write_presets({"version": 1, "devices": [
            preset("small"), preset("../x")]}), **arguments)
    assert not log.exists() and sorted(os.listdir(out)) == ["small.png"]


INTERRUPTED_CHILD = """
import signal, sys, kestrelite
# As in an interactive interpreter; one started in the background may have
# inherited SIGINT ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
try:
    kestrelite.capture_json("about:blank", sys.argv[1], sys.argv[3:], browser=sys.argv[2])
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""


def test_ctrl_c_stops_capture_json_after_the_device_under_way(tmp_path, process_mark):
    log, pid_file = tmp_path / "log.jsonl", tmp_path / "browser.pid"
    fake = make_fake_browser(tmp_path, log=str(log), pid_file=str(pid_file),
                             delay_ms={"Page.captureScreenshot": 1500})
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, str(tmp_path / "out"), fake, "apple-watch-s3",
                              "apple-watch-s6", "play-wear-os"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env={**os.environ, "PYTHONPATH": os.path.dirname(kestrelite.__path__[0])})
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


@needs_browser
@pytest.mark.parametrize("page, reason", [
    ("/status/404", "page answered HTTP 404"),
    ("/hang-up", "page did not load: net::ERR_EMPTY_RESPONSE"),
    ("missing-file", "page did not load: net::ERR_FILE_NOT_FOUND"),
])
def test_a_page_that_did_not_load_fails_its_device(page_server, tmp_path, page, reason):
    page_server.pages.update({"/status/404": (404, "<h1>gone</h1>"), "/hang-up": lambda _: None})
    url = (tmp_path / "missing.html").as_uri() if page == "missing-file" else page_server.url(page)
    report = json.loads(capture_json(url, str(tmp_path / "out"), ["apple-watch-s3"], browser=BROWSER))
    assert (report["exact"], report["failed"], report["ok"]) == (0, 1, False)
    assert report["results"][0]["error"] == f"browser: {reason} ({url})"
    assert list((tmp_path / "out").iterdir()) == []


# Reports what the page sees through the query of an image it asks for
# (/seen); the settle wait waits for that image, so the report is in before
# the capture.
LANGUAGE_PAGE = """<!doctype html><meta name="viewport" content="width=device-width"><body><script>
document.write('<img src="/seen?' + encodeURIComponent(JSON.stringify({language: navigator.language,
  languages: navigator.languages, agent: navigator.userAgent,
  intl: new Intl.NumberFormat().resolvedOptions().locale})) + '">');
</script>"""


@needs_browser
def test_the_locale_and_the_user_agent_are_what_the_page_sees(page_server, tmp_path):
    """An iPhone preset has a user agent of its own; a web preset keeps the browser's."""
    page_server.pages.update({"/language": LANGUAGE_PAGE, "/seen": ""})
    report = json.loads(capture_json(page_server.url("/language"), str(tmp_path), ["apple-iphone-4-7",
                                     "play-feature-graphic"], browser=BROWSER, locale="de-DE"))
    assert report["exact"] == 2, report
    documents = [headers for path, _, headers in page_server.requests if path == "/language"]
    seen = [json.loads(urllib.parse.unquote(query)) for path, query, _ in page_server.requests if path == "/seen"]
    assert [h.get("Accept-Language") for h in documents] == ["de-DE"] * 2
    assert [(s["language"], s["languages"], s["intl"]) for s in seen] == [("de-DE", ["de-DE"], "de-DE")] * 2
    assert [("HeadlessChrome" in s["agent"], "HeadlessChrome" in h["User-Agent"]) for s, h in zip(seen, documents)] == [
        (False, False), (True, True)]
