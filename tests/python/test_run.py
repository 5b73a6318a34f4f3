"""capture_json against the scripted fake browser: outcomes, fail-fast, the files written, what ends one device, the
interpreter lock released meanwhile, Ctrl-C; and, in the real headless shell, pages that did not load and the language
the page sees."""
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

# The fake answers every screenshot with a 1080 x 1920 PNG: the first preset is exact and the second off-size.
EXACT = preset("exact-phone", 1080, 1920, 3, platform="android_phone", mobile=True)
OFF = preset("off-phone", 1080, 2340, 3, platform="ios_phone", mobile=True)
SECOND = preset("second")
URL = "http://127.0.0.1:9/app"


def run(tmp_path, devices, ids=None, fake=(), **kwargs):
    """A capture of the devices (or `ids` of them) with a fake made from the `fake` script."""
    presets = tmp_path / "presets.json"
    presets.write_text(json.dumps({"version": 1, "devices": devices}))
    browser = make_fake_browser(tmp_path, screenshot_size=[1080, 1920], **dict(fake))
    return json.loads(capture_json(URL, tmp_path / "out", ids or [d["id"] for d in devices],
                                   browser=Path(browser), presets=Path(presets), **kwargs))


def test_outcomes_files_the_commands_on_the_wire_and_other_threads_meanwhile(tmp_path):
    """With the interpreter lock held through the capture, this thread would not wake once while the fake sits on its
    answer for 1.5 s."""
    log = tmp_path / "log.jsonl"
    with ThreadPoolExecutor(1) as pool:
        made, wakes = pool.submit(run, tmp_path, [EXACT, OFF], locale="ja-JP", timezone="Asia/Kolkata", fake={
            "log": str(log), "delay_ms": {"Runtime.evaluate#1": 1500}}), 0
        while not made.done():
            time.sleep(0.01)
            wakes += 1
    report = made.result()
    assert wakes > 20 and [r["outcome"] for r in report["results"]] == ["exact", "off-size"]
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
    sent = {m["method"].split(".")[1]: m["params"] for m in first}
    assert [sent[m] for m in ("captureScreenshot", "setLocaleOverride", "setTimezoneOverride")] == [
        {"captureBeyondViewport": False, "format": "png"}, {"locale": "ja-JP"}, {"timezoneId": "Asia/Kolkata"}]


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


def test_what_is_in_the_folder_is_replaced_never_followed_and_a_failed_write_leaves_nothing(tmp_path):
    """Links planted under the image's name and under the names a temporary file could be guessed to have are replaced,
    their targets untouched; a folder in the way fails its device alone, with no partial file left."""
    out = tmp_path / "out"
    (out / "off-phone.png").mkdir(parents=True)
    names = ["exact-phone.png", "exact-phone.png.partial", ".exact-phone.png.partial"]
    for name in names:
        (tmp_path / f"target-{name}").write_bytes(b"not yours")
        (out / name).symlink_to(tmp_path / f"target-{name}")
    umask = os.umask(0o027)
    try:
        report = run(tmp_path, [EXACT, OFF])
    finally:
        os.umask(umask)
    assert [r.get("error") for r in report["results"]] == [None, "io: Is a directory"]
    assert all((tmp_path / f"target-{name}").read_bytes() == b"not yours" for name in names)
    image = out / "exact-phone.png"
    assert not image.is_symlink() and image.stat().st_mode & 0o777 == 0o640 and image.read_bytes()[:4] == b"\x89PNG"
    assert sorted(os.listdir(out)) == sorted(names + ["off-phone.png"])


def refused(message):
    return {"error": {"message": message}}


@pytest.mark.parametrize("first, fake, error", [
    # Emulations the browser lacks and a probe that fails leave the capture, without its environment.
    (EXACT, {"replies": {"Emulation.setLocaleOverride": refused("'Emulation.setLocaleOverride' wasn't found"),
                         "Emulation.setTouchEmulationEnabled": refused("Touch emulation not supported"),
                         "Emulation.setUserAgentOverride": refused("not supported"),
                         "Runtime.evaluate#2": refused("boom")}}, None),
    (EXACT, {"replies": {"Emulation.setTimezoneOverride": refused("Invalid timezone ID")}},
     "cdp Emulation.setTimezoneOverride: Invalid timezone ID"),
    (EXACT, {"replies": {"Page.navigate": {"result": {"frameId": "F", "errorText": "net::ERR_ABORTED"}}}},
     f"browser: page did not load: net::ERR_ABORTED ({URL})"),
    (EXACT, {"replies": {"Runtime.evaluate#3": {"result": {"result": {"type": "number", "value": 403}}}}},
     f"browser: page answered HTTP 403 ({URL})"),
    (EXACT, {"replies": {"Page.captureScreenshot": {"result": {"data": "R0lGODlh"}}}},
     "unexpected response shape: png too short: 6 bytes"),
    (EXACT, {"faults": {"Page.navigate": "exit"}}, "websocket protocol: connection closed by peer"),
    (EXACT, {"startup": "exit"}, "browser: browser did not report a DevTools port"),
    # The preset file takes any id; only the image's name refuses it.
    *[(preset(bad), {}, f'unexpected response shape: device id "{bad}" is not a plain file name, so it cannot name an '
       "image") for bad in ["", ".", "..", "../escape", "/tmp/x", "a\0b"]],
])
def test_what_ends_a_device_ends_it_alone_and_leaves_nothing_behind(tmp_path, process_mark, first, fake, error):
    def host_state():
        return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))
    before = host_state()
    results = run(tmp_path, [first, SECOND], fake={"once": str(tmp_path / "used"), **fake})["results"]
    outcome, made = ("failed", []) if error else ("exact", [f"{first['id']}.png"])
    assert [(r["outcome"], r.get("error")) for r in results] == [(outcome, error), ("exact", None)]
    assert ["environment" in r.get("capture", {}) for r in results] == [False, True]
    assert sorted(p.name for p in tmp_path.rglob("*.png")) == made + ["second.png"]
    assert [d["id"] for d in json.loads(devices_json(presets=tmp_path / "presets.json"))] == [first["id"], "second"]
    assert host_state() == before and process_mark() == []


# SIGINT handled as in an interactive interpreter: one started in the background may have inherited it ignored.
INTERRUPTED_CHILD = """import signal, sys, kestrelite
signal.signal(signal.SIGINT, signal.default_int_handler)
kestrelite.capture_json("about:blank", sys.argv[1], sys.argv[3:], browser=sys.argv[2])"""


def test_ctrl_c_stops_capture_json_after_the_device_under_way(tmp_path, process_mark):
    log, pid_file = tmp_path / "log.jsonl", tmp_path / "browser.pid"
    fake = make_fake_browser(tmp_path, log=str(log), pid_file=str(pid_file), delay_ms={"Page.captureScreenshot": 1500})
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, str(tmp_path / "out"), fake, "apple-watch-s3",
                              "apple-watch-s6", "play-wear-os"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env={**os.environ, "PYTHONPATH": os.path.dirname(kestrelite.__path__[0])})
    try:
        deadline = time.monotonic() + 30
        while not pid_file.exists() and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == -signal.SIGINT and stderr.endswith("\nKeyboardInterrupt\n"), stderr
    # The first device finished (its screenshot was answered); no other was started.
    assert [m["method"] for m in read_log(log)].count("Page.navigate") == 1
    assert sorted(os.listdir(tmp_path / "out")) == ["apple-watch-s3.png"] and process_mark() == []


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
    assert report["results"][0]["error"] == f"browser: {reason} ({url})" and list((tmp_path / "out").iterdir()) == []


# Reports what the page sees through the query of an image it asks for (/seen); the settle wait waits for that image, so
# the report is in before the capture.
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
