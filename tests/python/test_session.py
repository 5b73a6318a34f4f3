"""kestrelite.Session against the scripted peer (faults and the commands on
the wire: tests/core/session_test.cpp): the result's form, arguments, the
interpreter lock and the commands that use sessions; in the real headless
shell, the same bytes as capture_json and nothing kept from one capture to
the next."""
import json
import os
import re
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, make_fake_browser, needs_browser, preset, read_log
from kestrelite import Session, capture_json, devices_json
from kestrelite.cli import main

PHONE = preset("phone", 1080, 1920, 3, platform="android_phone", mobile=True)
WATCH = preset("watch", 410, 502, 2, platform="ios_watch", mobile=True)
ALL_PRESETS = [d["id"] for d in json.loads(devices_json())]


@pytest.fixture
def presets(write_presets):
    return write_presets({"version": 1, "devices": [PHONE, WATCH]})


def test_a_result_is_what_capture_json_reports_for_the_device(tmp_path, presets):
    browser = make_fake_browser(tmp_path)
    report = json.loads(capture_json("http://127.0.0.1:9/", str(tmp_path / "a"), ["phone"], browser=browser,
                                     presets=presets))
    with Session(browser=browser, presets=presets) as session:
        text = session.capture_json("http://127.0.0.1:9/", "phone", tmp_path / "b" / "shot.png")
    result, expected = json.loads(text), report["results"][0]
    assert list(result) == list(expected) == ["device_id", "outcome", "elapsed_ms", "capture", "path"]
    assert (result["capture"], result["path"]) == (expected["capture"], str(tmp_path / "b" / "shot.png"))
    assert (tmp_path / "b" / "shot.png").read_bytes() == (tmp_path / "a" / "phone.png").read_bytes()
    assert text == json.dumps(result, separators=(",", ":"))
    session.close()
    with pytest.raises(ValueError, match="^the session is closed$"):
        session.capture_json("u", "watch", tmp_path / "w.png")


@pytest.mark.parametrize("make, call, error, message", [
    ({"locale": 5}, None, TypeError, "argument 'locale': "),
    ({}, ("u", "nope", "x.png"), ValueError, "unknown device id: nope"),
    ({}, ("u", "phone"), TypeError, "capture_json() missing 1 required positional argument: 'path'"),
])
def test_bad_arguments_raise_before_any_browser_starts(tmp_path, presets, make, call, error, message):
    log = tmp_path / "log.jsonl"
    browser = make_fake_browser(tmp_path, log=str(log))
    with pytest.raises(error) as raised:
        with Session(**{"browser": browser, "presets": presets, **make}) as session:
            session.capture_json(*call)
    assert str(raised.value).startswith(message)
    assert not log.exists()


def test_sessions_on_two_threads_capture_without_the_interpreter_lock(tmp_path, presets):
    # Each fake takes a second to answer the screenshot; meanwhile this
    # thread keeps running Python code.
    def capture(name):
        browser = make_fake_browser(tmp_path, delay_ms={"Page.captureScreenshot": 1000})
        with Session(browser=browser, presets=presets) as session:
            return json.loads(session.capture_json("u", "phone", tmp_path / name / "p.png"))["outcome"]

    spins = 0
    with ThreadPoolExecutor(2) as pool:
        jobs = [pool.submit(capture, name) for name in ("one", "two")]
        while not all(job.done() for job in jobs):
            spins += 1
    assert [job.result() for job in jobs] == ["exact", "exact"] and spins > 1000


def counting(tmp_path, browser):
    """A wrapper around `browser` that notes every launch in tmp_path/launches."""
    wrapper = tmp_path / "counting-browser"
    wrapper.write_text(f'#!/bin/sh\n[ "$1" = --version ] || echo x >> {tmp_path / "launches"}\nexec {browser} "$@"\n')
    wrapper.chmod(0o755)
    return wrapper


@pytest.mark.parametrize("command, fresh, captures, launches", [
    ("capture", False, 2, 2), ("capture", True, 2, 2), ("run", False, 6, 2), ("run", True, 6, 6)])
def test_a_run_starts_one_browser_per_job_whatever_its_locales(tmp_path, presets, command, fresh, captures,
                                                                launches):
    log = tmp_path / "log.jsonl"
    browser = counting(tmp_path, make_fake_browser(tmp_path, log=str(log)))
    if command == "capture":
        argv = ["capture", "http://127.0.0.1:9/", "--device", "phone", "--device", "watch", "--presets", presets]
    else:
        (tmp_path / "set.toml").write_text(
            f'presets = "{presets}"\ndevices = ["phone", "watch"]\nlocales = ["en-US", "de-DE", "ja-JP"]\n'
            'timezones = {"ja-JP" = "Asia/Tokyo"}\n[[screen]]\nname = "home"\npage = "http://127.0.0.1:9/"\n')
        argv = ["run", tmp_path / "set.toml"]
    argv += ["--out", tmp_path / "out", "--browser", browser, "--jobs", "2"] + (["--fresh-browser"] if fresh else [])
    assert main([str(a) for a in argv]) == 0
    assert len((tmp_path / "launches").read_text().split()) == launches
    sent = read_log(log)
    # Each capture emulates its own locale and time zone, in its own context.
    assert sorted(m["params"]["locale"] for m in sent if m["method"] == "Emulation.setLocaleOverride") == sorted(
        ["en-US"] * 2 if command == "capture" else ["en-US", "de-DE", "ja-JP"] * 2)
    zones = [m["params"]["timezoneId"] for m in sent if m["method"] == "Emulation.setTimezoneOverride"]
    assert zones.count("Asia/Tokyo") == (2 if command == "run" else 0)
    # ... and each browser has one more made ready for a capture that did not come.
    created = len([m for m in sent if m["method"] == "Target.createBrowserContext"])
    assert created == captures + (0 if fresh else launches)


@pytest.mark.parametrize("settings, error", [
    ({"name": "../x"}, 'image name "../x" of device phone is not a plain file name'),
    ({"locale": 5}, "setting 'locale' must be a non-empty string"),
    ({"seed": -1}, "setting 'seed' must be a whole number"),
    ({"zoom": 2}, "setting 'zoom' is unknown"),
])
def test_the_capture_primitive_checks_its_name_and_settings(tmp_path, presets, settings, error):
    with Session(browser=make_fake_browser(tmp_path), presets=presets) as session:
        if "name" in settings:
            result = json.loads(session.capture("u", "phone", tmp_path, **settings))
            assert result["outcome"] == "failed" and error in result["error"]
        else:
            with pytest.raises(ValueError, match=re.escape(error)):
                session.capture("u", "phone", tmp_path, **settings)
        assert json.loads(session.capture("u", "phone", tmp_path, name="home-phone", seed=7))["path"] == str(
            tmp_path / "home-phone.png")
    assert sorted(p.name for p in tmp_path.glob("*.png")) == ["home-phone.png"]


# ---------------------------------------------------------------- the real headless shell

PAGES = SOURCE_DIR / "tests" / "python" / "pages"
DEMO = SOURCE_DIR / "examples" / "demo" / "index.html"


PAGE_URLS = [page.as_uri() for page in [DEMO, *sorted(PAGES.glob("*.html")), *sorted(PAGES.glob("motion/*.html"))]]


def same_bytes_both_ways(url, device_ids, out):
    fresh = json.loads(capture_json(url, str(out / "fresh"), device_ids, browser=BROWSER))
    with Session(browser=BROWSER) as session:
        results = [json.loads(session.capture_json(url, i, out / "session" / f"{i}.png")) for i in device_ids]
    for one, two in zip(fresh["results"], results):
        assert one["outcome"] == two["outcome"] == "exact", (one, two)
        assert one["capture"] == two["capture"], url


@needs_browser
def test_a_session_gives_the_bytes_of_a_fresh_browser(tmp_path):
    # Each page on one preset, the presets taken in turn; every pair below.
    for i, url in enumerate(PAGE_URLS):
        same_bytes_both_ways(url, [ALL_PRESETS[i * 7 % len(ALL_PRESETS)]], tmp_path / str(i))


@needs_browser
@pytest.mark.skipif(not os.environ.get("KESTRELITE_SLOW_TESTS"), reason="slow: set KESTRELITE_SLOW_TESTS=1")
@pytest.mark.parametrize("url", PAGE_URLS)
def test_every_preset_gives_the_bytes_of_a_fresh_browser(tmp_path, url):
    same_bytes_both_ways(url, ALL_PRESETS, tmp_path)


KEEPING_PAGE = """<!doctype html><img src="/hold"><script>
const kept = async () => Object.entries({
  cookie: document.cookie.includes('kept=1'),
  localStorage: localStorage.getItem('kept') === '1',
  indexedDB: (await indexedDB.databases()).some((d) => d.name === 'kept'),
  serviceWorker: (await navigator.serviceWorker.getRegistrations()).length > 0,
}).filter(([, on]) => on).map(([name]) => name).join(',');
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
        results = [json.loads(session.capture_json(page_server.url("/"), "apple-watch-ultra-3", tmp_path / f"{i}.png"))
                   for i in range(2)]
    assert [r["outcome"] for r in results] == ["exact", "exact"], results
    reports = [query for path, query, _ in page_server.requests if path == "/report"]
    assert reports == ["found=&wrote=cookie,localStorage,indexedDB,serviceWorker"] * 2


@pytest.mark.parametrize("replies, error", [
    # The first failing command in order is the one named, though all were sent.
    ({"Emulation.setDeviceMetricsOverride#1": {"error": {"message": "boom"}},
      "Page.addScriptToEvaluateOnNewDocument#1": {"error": {"message": "later"}}},
     "cdp Emulation.setDeviceMetricsOverride: boom"),
    ({"Page.enable#1": {"error": {"message": "no page"}}}, "cdp Page.enable: no page"),
    ({"Emulation.setLocaleOverride#1": {"error": {"message": "'Emulation.setLocaleOverride' wasn't found"}}}, None),
])
def test_an_early_command_s_error_stops_its_capture_alone(tmp_path, presets, replies, error):
    browser = make_fake_browser(tmp_path, replies=replies)
    with Session(browser=browser, presets=presets) as session:
        first, second = (json.loads(session.capture("http://127.0.0.1:9/", "phone", tmp_path / n)) for n in "ab")
    assert first.get("error") == error and first["outcome"] == ("failed" if error else "exact")
    assert second["outcome"] == "exact"


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
