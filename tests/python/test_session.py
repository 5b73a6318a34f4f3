"""kestrelite.Session against the scripted peer (faults and the commands on
the wire: tests/core/session_test.cpp): the result's form, arguments, the
interpreter lock and an early command's error; in the real headless shell,
nothing kept from one capture to the next, and the fast PNG. The same bytes
as capture_json: test_motion.py."""
import json
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, make_fake_browser, needs_browser, preset
from kestrelite import Session, capture_json

URL = "http://127.0.0.1:9/"


@pytest.fixture
def presets(write_presets):
    return write_presets({"version": 1, "devices": [preset("phone", platform="android_phone", mobile=True)]})


def test_a_result_is_what_capture_json_reports_for_the_device(tmp_path, presets):
    browser = make_fake_browser(tmp_path)
    report = json.loads(capture_json(URL, str(tmp_path / "a"), ["phone"], browser=browser, presets=presets))
    with Session(browser=browser, presets=presets) as session:
        text = session.capture_json(URL, "phone", tmp_path / "b.png")
    result = json.loads(text)
    assert text == json.dumps(result, separators=(",", ":"))
    assert list(result) == ["device_id", "outcome", "elapsed_ms", "capture", "path"]
    assert result == {**report["results"][0], "elapsed_ms": result["elapsed_ms"], "path": str(tmp_path / "b.png")}
    assert (tmp_path / "b.png").read_bytes() == (tmp_path / "a" / "phone.png").read_bytes()


@pytest.mark.parametrize("make, call, error, message", [
    ({"locale": 5}, None, TypeError, "argument 'locale': "),
    ({}, lambda s, out: s.capture_json(URL, "nope", out), ValueError, "unknown device id: nope"),
    ({}, lambda s, out: s.capture_json(URL, "phone"), TypeError,
     "capture_json() missing 1 required positional argument: 'path'"),
    ({}, lambda s, out: s.capture(URL, "phone", out, locale=5), ValueError,
     "setting 'locale' must be a non-empty string"),
    ({}, lambda s, out: s.capture(URL, "phone", out, seed=-1), ValueError, "setting 'seed' must be a whole number"),
    ({}, lambda s, out: s.capture(URL, "phone", out, zoom=2), ValueError, "setting 'zoom' is unknown"),
    # Closing twice is harmless; a closed session refuses.
    ({}, lambda s, out: s.close() or s.close() or s.capture(URL, "phone", out), ValueError, "the session is closed"),
])
def test_bad_arguments_raise_before_any_browser_starts(tmp_path, presets, make, call, error, message):
    log = tmp_path / "log.jsonl"
    with pytest.raises(error) as raised:
        with Session(**{"browser": make_fake_browser(tmp_path, log=str(log)), "presets": presets, **make}) as session:
            call(session, tmp_path / "out")
    assert str(raised.value).startswith(message)
    assert not log.exists() and not (tmp_path / "out").exists()


def test_sessions_on_two_threads_capture_without_the_interpreter_lock(tmp_path, presets):
    # Each fake takes a second to answer the screenshot; meanwhile this
    # thread keeps running Python code.
    def capture(name):
        with Session(browser=make_fake_browser(tmp_path, delay_ms={"Page.captureScreenshot": 1000}),
                     presets=presets) as session:
            return json.loads(session.capture(URL, "phone", tmp_path / name))["outcome"]

    spins = 0
    with ThreadPoolExecutor(2) as pool:
        jobs = [pool.submit(capture, name) for name in ("one", "two")]
        while not all(job.done() for job in jobs):
            spins += 1
    assert [job.result() for job in jobs] == ["exact", "exact"] and spins > 1000


@pytest.mark.parametrize("replies, error", [
    # The first failing command in order is the one named, though all were sent.
    ({"Emulation.setDeviceMetricsOverride#1": {"error": {"message": "boom"}},
      "Page.addScriptToEvaluateOnNewDocument#1": {"error": {"message": "later"}}},
     "cdp Emulation.setDeviceMetricsOverride: boom"),
    ({"Page.enable#1": {"error": {"message": "no page"}}}, "cdp Page.enable: no page"),
    # A browser without locale emulation captures all the same.
    ({"Emulation.setLocaleOverride#1": {"error": {"message": "'Emulation.setLocaleOverride' wasn't found"}}}, None),
])
def test_an_early_command_s_error_stops_its_capture_alone(tmp_path, presets, replies, error):
    with Session(browser=make_fake_browser(tmp_path, replies=replies), presets=presets) as session:
        first, second = (json.loads(session.capture(URL, "phone", tmp_path / n)) for n in "ab")
    assert (first.get("error"), first["outcome"]) == (error, "failed" if error else "exact")
    assert second["outcome"] == "exact"


KEEPING_PAGE = """<!doctype html><img src="/hold"><script>
const kept = async () => [
  document.cookie.includes('kept=1') && 'cookie', localStorage.getItem('kept') && 'localStorage',
  (await indexedDB.databases()).some((d) => d.name === 'kept') && 'indexedDB',
  (await navigator.serviceWorker.getRegistrations()).length > 0 && 'serviceWorker'].filter(Boolean).join(',');
(async () => {
  const found = await kept();
  document.cookie = 'kept=1; max-age=3600';
  localStorage.setItem('kept', '1');
  const db = indexedDB.open('kept', 1);
  db.onupgradeneeded = () => db.result.createObjectStore('s');
  await new Promise((done) => { db.onsuccess = () => { db.result.close(); done(); }; });
  await navigator.serviceWorker.register('/sw.js').then(() => navigator.serviceWorker.ready);
  await fetch('/report?found=' + found + '&wrote=' + await kept());
})();
</script>"""


@needs_browser
def test_nothing_a_page_keeps_reaches_the_next_capture(tmp_path, page_server):
    reported = threading.Event()

    def hold(request):
        # The image holds the page's load until it has reported what it found.
        reported.wait(10)
        reported.clear()
        return ""

    page_server.pages.update({"/": KEEPING_PAGE, "/sw.js": "", "/hold": hold,
                              "/report": lambda request: reported.set() or ""})
    with Session(browser=BROWSER) as session:
        outcomes = [json.loads(session.capture(page_server.url("/"), "apple-watch-ultra-3", tmp_path / str(i)))["outcome"]
                    for i in range(2)]
    assert outcomes == ["exact", "exact"]
    reports = [query for path, query, _ in page_server.requests if path == "/report"]
    assert reports == ["found=&wrote=cookie,localStorage,indexedDB,serviceWorker"] * 2


@needs_browser
def test_fast_png_changes_the_bytes_never_the_pixels(tmp_path):
    page = (SOURCE_DIR / "examples" / "demo" / "index.html").as_uri()
    with Session(browser=BROWSER) as session:
        shots = [json.loads(session.capture(page, "play-phone-portrait", tmp_path, name, **settings))
                 for name, settings in (("plain", {}), ("fast", {"fast_png": True}), ("again", {"fast_png": True}))]
    plain, fast, again = (Image.open(s["path"]).convert("RGBA") for s in shots)
    assert [s["outcome"] for s in shots] == ["exact"] * 3
    assert shots[0]["capture"]["sha256"] != shots[1]["capture"]["sha256"] == shots[2]["capture"]["sha256"]
    assert plain.tobytes() == fast.tobytes() == again.tobytes()
