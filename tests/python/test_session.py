"""kestrelite.Session: against the scripted peer, and in the real headless shell for what only it shows."""
import json
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, make_fake_browser, needs_browser, preset
from kestrelite import Session, capture_json

URL = "http://127.0.0.1:9/"
KEEPING_PAGE = """<!doctype html><img src="/hold"><script>
const kept = async () => [document.cookie.includes('kept=') && 'cookie', localStorage.getItem('kept') && 'localStorage',
  (await indexedDB.databases()).some((d) => d.name === 'kept') && 'indexedDB',
  (await navigator.serviceWorker.getRegistrations()).length > 0 && 'serviceWorker'].filter(Boolean).join(',');
(async () => { const found = await kept();
  document.cookie = 'kept=1; max-age=3600'; localStorage.setItem('kept', '1');
  const db = indexedDB.open('kept', 1); db.onupgradeneeded = () => db.result.createObjectStore('s');
  await new Promise((done) => { db.onsuccess = () => { db.result.close(); done(); }; });
  await navigator.serviceWorker.register('/sw.js').then(() => navigator.serviceWorker.ready);
  await fetch('/report?found=' + found + '&wrote=' + await kept()); })();</script>"""


@pytest.fixture
def presets(write_presets):
    return write_presets({"version": 1, "devices": [preset("phone", platform="android_phone", mobile=True)]})


def test_a_result_is_what_capture_json_reports_for_the_device(tmp_path, presets):
    browser = make_fake_browser(tmp_path)
    report = json.loads(capture_json(URL, str(tmp_path / "a"), ["phone"], browser=browser, presets=presets))
    with Session(browser=browser, presets=presets) as session:
        text = session.capture_json(URL, "phone", tmp_path / "b.png")
    # Compact, and in capture_json's order: only the time and the path differ.
    assert text == json.dumps({**report["results"][0], "elapsed_ms": json.loads(text)["elapsed_ms"],
                               "path": str(tmp_path / "b.png")}, separators=(",", ":"))


@pytest.mark.parametrize("call, error, message", [
    (lambda s, out: Session(locale=5), TypeError, "argument 'locale': "),
    (lambda s, out: s.capture_json(URL, "nope", out), ValueError, "unknown device id: nope"),
    (lambda s, out: s.capture_json(URL, "phone"), TypeError, "capture_json() missing 1 required positional argument"),
    (lambda s, out: s.capture(URL, "phone", out, locale=5), ValueError, "setting 'locale' must be a non-empty string"),
    (lambda s, out: s.capture(URL, "phone", out, seed=-1), ValueError, "setting 'seed' must be a whole number"),
    (lambda s, out: s.capture(URL, "phone", out, zoom=2), ValueError, "setting 'zoom' is unknown"),
    # Closing twice is harmless; a closed session refuses.
    (lambda s, out: s.close() or s.close() or s.capture(URL, "phone", out), ValueError, "the session is closed"),
])
def test_bad_arguments_raise_before_any_browser_starts(tmp_path, presets, call, error, message):
    log = tmp_path / "log.jsonl"
    with pytest.raises(error) as raised:
        with Session(browser=make_fake_browser(tmp_path, log=str(log)), presets=presets) as session:
            call(session, tmp_path / "out")
    assert str(raised.value).startswith(message) and not log.exists() and not (tmp_path / "out").exists()


def test_a_capture_runs_without_the_interpreter_lock(tmp_path, presets):
    # The fake takes a second to answer the screenshot; meanwhile this thread keeps running Python code.
    with Session(browser=make_fake_browser(tmp_path, delay_ms={"Page.captureScreenshot": 1000}),
                 presets=presets) as session, ThreadPoolExecutor(1) as pool:
        job = pool.submit(session.capture, URL, "phone", tmp_path)
        spins = sum(1 for _ in iter(job.done, True))
    assert json.loads(job.result())["outcome"] == "exact" and spins > 1000


@pytest.mark.parametrize("replies, error", [
    # The first failing command in order is the one named, though all were sent.
    ({"Emulation.setDeviceMetricsOverride#1": {"error": {"message": "boom"}},
      "Page.addScriptToEvaluateOnNewDocument#1": {"error": {"message": "later"}}},
     "cdp Emulation.setDeviceMetricsOverride: boom"),
    # A browser without locale emulation captures all the same.
    ({"Emulation.setLocaleOverride#1": {"error": {"message": "'Emulation.setLocaleOverride' wasn't found"}}}, None),
])
def test_an_early_command_s_error_stops_its_capture_alone(tmp_path, presets, replies, error):
    with Session(browser=make_fake_browser(tmp_path, replies=replies), presets=presets) as session:
        first, second = (json.loads(session.capture(URL, "phone", tmp_path / n)) for n in "ab")
    assert (first.get("error"), first["outcome"], second["outcome"]) == (error, "failed" if error else "exact", "exact")


@needs_browser
def test_nothing_a_page_keeps_reaches_the_next_capture(tmp_path, page_server):
    reported = threading.Event()
    # The image holds the page's load until the page has reported what it found.
    page_server.pages.update({"/": KEEPING_PAGE, "/sw.js": "", "/report": lambda request: reported.set() or "",
                              "/hold": lambda request: reported.wait(10) and reported.clear() or ""})
    with Session(browser=BROWSER) as session:
        results = [json.loads(session.capture(page_server.url("/"), "apple-watch-ultra-3", tmp_path / n)) for n in "ab"]
    reports = [query for path, query, _ in page_server.requests if path == "/report"]
    assert reports == ["found=&wrote=cookie,localStorage,indexedDB,serviceWorker"] * 2, results


@needs_browser
def test_fast_png_changes_the_bytes_never_the_pixels(tmp_path):
    page = (SOURCE_DIR / "examples" / "demo" / "index.html").as_uri()
    with Session(browser=BROWSER) as session:
        shots = [json.loads(session.capture(page, "play-phone-portrait", tmp_path, name, **settings))
                 for name, settings in (("plain", {}), ("fast", {"fast_png": True}), ("again", {"fast_png": True}))]
    assert [s["outcome"] for s in shots] == ["exact"] * 3
    assert shots[0]["capture"]["sha256"] != shots[1]["capture"]["sha256"] == shots[2]["capture"]["sha256"]
    assert len({Image.open(s["path"]).convert("RGBA").tobytes() for s in shots}) == 1
