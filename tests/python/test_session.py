"""kestrelite.Session: many captures through one browser, each in a fresh
browser context. Against the scripted peer (faults: tests/core/
session_test.cpp): the result's form, arguments, the interpreter lock, and
the commands that use sessions. In the real headless shell: the same bytes as capture_json,
nothing kept from one capture to the next, and (KESTRELITE_SLOW_TESTS=1)
every preset and a soak of 500 captures."""
import http.server
import json
import os
import shutil
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import BROWSER, SOURCE_DIR, make_fake_browser, needs_browser, preset, read_log
from kestrelite import Session, capture_json, devices_json
from kestrelite.cli import main

SLOW = os.environ.get("KESTRELITE_SLOW_TESTS") == "1"
slow = pytest.mark.skipif(not SLOW, reason="slow: set KESTRELITE_SLOW_TESTS=1")
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
    assert result["capture"] == expected["capture"]
    assert result["path"] == str(tmp_path / "b" / "shot.png")
    assert (tmp_path / "b" / "shot.png").read_bytes() == (tmp_path / "a" / "phone.png").read_bytes()
    assert text == json.dumps(result, separators=(",", ":"))


@pytest.mark.parametrize("make, call, error, message", [
    ({"seed": -1}, None, OverflowError, None),
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
    assert message is None or str(raised.value).startswith(message)
    assert not log.exists()


def test_a_closed_session_captures_no_more(tmp_path, presets):
    session = Session(browser=make_fake_browser(tmp_path), presets=presets)
    with session:
        assert json.loads(session.capture_json("u", "watch", tmp_path / "w.png"))["outcome"] == "exact"
    session.close()
    with pytest.raises(ValueError, match="^the session is closed$"):
        session.capture_json("u", "watch", tmp_path / "w.png")


def test_sessions_on_two_threads_capture_without_the_interpreter_lock(tmp_path, presets):
    # Each fake takes a second to answer the screenshot; meanwhile this
    # thread keeps running Python code.
    results, spins = [], 0

    def capture(name):
        browser = make_fake_browser(tmp_path, delay_ms={"Page.captureScreenshot": 1000})
        with Session(browser=browser, presets=presets) as session:
            results.append(json.loads(session.capture_json("u", "phone", tmp_path / name / "p.png")))

    threads = [threading.Thread(target=capture, args=(name,)) for name in ("one", "two")]
    for thread in threads:
        thread.start()
    while any(thread.is_alive() for thread in threads):
        spins += 1
    assert [r["outcome"] for r in results] == ["exact", "exact"]
    assert spins > 1000


@pytest.mark.parametrize("command", ["capture", "run"])
@pytest.mark.parametrize("fresh", [False, True])
def test_commands_use_sessions_unless_asked_for_a_fresh_browser(tmp_path, presets, command, fresh):
    log = tmp_path / "log.jsonl"
    browser = make_fake_browser(tmp_path, log=str(log))
    if command == "capture":
        argv = ["capture", "http://127.0.0.1:9/", "--device", "phone", "--device", "watch", "--presets", presets]
    else:
        (tmp_path / "set.toml").write_text(f'presets = "{presets}"\ndevices = ["phone", "watch"]\n'
                                           'locales = ["en-US", "de-DE"]\n'
                                           '[[screen]]\nname = "home"\npage = "http://127.0.0.1:9/"\n')
        argv = ["run", tmp_path / "set.toml"]
    argv += ["--out", tmp_path / "out", "--browser", browser, "--jobs", "2"] + (["--fresh-browser"] if fresh else [])
    assert main([str(a) for a in argv]) == 0
    captures = 2 if command == "capture" else 4
    contexts = [m for m in read_log(log) if m["method"] == "Target.createBrowserContext"]
    assert len(contexts) == (0 if fresh else captures)
    report = json.loads((tmp_path / "out" / "report.json").read_text())
    assert report["exact"] == captures


# ---------------------------------------------------------------- the real headless shell

PAGES = SOURCE_DIR / "tests" / "python" / "pages"
DEMO = SOURCE_DIR / "examples" / "demo" / "index.html"


def page_urls():
    pages = [DEMO, *sorted(PAGES.glob("*.html")), *sorted(PAGES.glob("motion/*.html"))]
    return [page.as_uri() for page in pages]


def same_bytes_both_ways(url, device_ids, out):
    fresh = json.loads(capture_json(url, str(out / "fresh"), device_ids, browser=BROWSER))
    with Session(browser=BROWSER) as session:
        results = [json.loads(session.capture_json(url, i, out / "session" / f"{i}.png")) for i in device_ids]
    for one, two in zip(fresh["results"], results):
        assert one["outcome"] == two["outcome"] == "exact", (one, two)
        assert one["capture"] == two["capture"], url


@needs_browser
def test_a_session_gives_the_bytes_of_a_fresh_browser(tmp_path):
    # Each page on one preset, the presets taken in turn; every pair with
    # KESTRELITE_SLOW_TESTS=1 below.
    for i, url in enumerate(page_urls()):
        same_bytes_both_ways(url, [ALL_PRESETS[i * 7 % len(ALL_PRESETS)]], tmp_path / str(i))


@needs_browser
@slow
@pytest.mark.parametrize("url", page_urls())
def test_every_preset_gives_the_bytes_of_a_fresh_browser(tmp_path, url):
    same_bytes_both_ways(url, ALL_PRESETS, tmp_path)


ISOLATION_PAGE = b"""<!doctype html><meta name="viewport" content="width=device-width">
<link rel="stylesheet" href="/cached.css"><p>isolation</p><img src="/hold" width="4" height="4">
<script>
const names = (flags) => Object.keys(flags).filter((k) => flags[k]).join(',');
const kept = async () => names({
  cookie: document.cookie.includes('kept=1'),
  localStorage: localStorage.getItem('kept') === '1',
  indexedDB: (await indexedDB.databases()).some((d) => d.name === 'kept'),
  serviceWorker: (await navigator.serviceWorker.getRegistrations()).length > 0,
});
(async () => {
  const found = await kept();
  document.cookie = 'kept=1; max-age=3600';
  localStorage.setItem('kept', '1');
  await new Promise((done) => {
    const open = indexedDB.open('kept', 1);
    open.onupgradeneeded = () => open.result.createObjectStore('s');
    open.onsuccess = () => { open.result.close(); done(); };
  });
  await navigator.serviceWorker.register('/sw.js');
  await navigator.serviceWorker.ready;
  await fetch('/report?found=' + found + '&wrote=' + await kept());
})();
</script>"""
PIXEL = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010802000000907753de0000000c4944415408d763f8cf"
                      "c0000003010100c9fe92ef0000000049454e44ae426082")


class IsolationServer(http.server.ThreadingHTTPServer):
    """Serves the isolation page on 127.0.0.1 (a secure context, so service
    workers work), counts the fetches of a stylesheet the browser may cache
    for an hour, and holds the page's image until the page has reported
    what it found, so that the report is in before the page counts as
    loaded."""
    daemon_threads = True

    def __init__(self):
        self.reports, self.css_fetches, self.reported = [], 0, threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                path, _, query = self.path.partition("?")
                if path == "/report":
                    fields = dict(item.split("=", 1) for item in query.split("&"))
                    server.reports.append((fields["found"], fields["wrote"]))
                    server.reported.set()
                if path == "/cached.css":
                    server.css_fetches += 1
                if path == "/hold":
                    server.reported.wait(10)
                    server.reported.clear()
                body, kind = {"/": (ISOLATION_PAGE, "text/html"), "/sw.js": (b"", "text/javascript"),
                              "/cached.css": (b"p{color:#123}", "text/css"), "/hold": (PIXEL, "image/png")
                              }.get(path, (b"", "text/plain"))
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "max-age=3600")
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)


@needs_browser
def test_nothing_a_page_keeps_reaches_the_next_capture(tmp_path):
    server = IsolationServer()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_address[1]}/"
        with Session(browser=BROWSER) as session:
            results = [json.loads(session.capture_json(url, "apple-watch-ultra-3", tmp_path / f"{i}.png"))
                       for i in range(2)]
    finally:
        server.shutdown()
        server.server_close()
    assert [r["outcome"] for r in results] == ["exact", "exact"], results
    # Both captures wrote everything, and neither found anything kept.
    assert server.reports == [("", "cookie,localStorage,indexedDB,serviceWorker")] * 2
    assert server.css_fetches == 2


def host_state():
    pid = os.getpid()
    with open(f"/proc/{pid}/status") as f:
        rss_kib = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return {"descriptors": len(os.listdir(f"/proc/{pid}/fd")), "threads": len(os.listdir(f"/proc/{pid}/task")),
            "children": children(), "rss_mib": rss_kib / 1024}


def children():
    pids = []
    for task in os.listdir(f"/proc/{os.getpid()}/task"):
        with open(f"/proc/{os.getpid()}/task/{task}/children") as f:
            pids += f.read().split()
    return pids


@needs_browser
@slow
def test_a_soak_of_500_captures_in_two_sessions(tmp_path, process_mark):
    small = ["apple-watch-ultra-3", "play-wear-os", "apple-watch-s3", "play-phone-portrait"]
    url = DEMO.as_uri()
    browsers = set()  # the reapers our browsers ran below: one per browser started

    def soak(name, count):
        with Session(browser=BROWSER) as session:
            for i in range(count):
                result = json.loads(session.capture_json(url, small[i % 4], tmp_path / name / f"{i % 4}.png"))
                assert result["outcome"] == "exact", result
                browsers.update(children())

    def in_threads(count):
        with ThreadPoolExecutor(2) as pool:
            for done in [pool.submit(soak, name, count) for name in ("a", "b")]:
                done.result()

    in_threads(1)  # loads what a first capture loads, so the baseline is fair
    before = host_state()
    browsers.clear()
    in_threads(250)
    # A joined Python thread may still be leaving the system's task list.
    for _ in range(50):
        after = host_state()
        if after["threads"] == before["threads"]:
            break
        time.sleep(0.1)
    print(f"\n500 captures in two sessions: {len(browsers)} browsers; before {before}; after {after}")
    assert after["descriptors"] == before["descriptors"]
    assert after["threads"] == before["threads"]
    assert after["children"] == before["children"] == []
    assert after["rss_mib"] - before["rss_mib"] < 8
    # 250 captures per session with a restart after every 100th: 3 browsers each.
    assert len(browsers) == 6
    assert process_mark() == []
    shutil.rmtree(tmp_path)
