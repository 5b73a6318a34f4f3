"""Honest results: a page that did not load fails its device instead of being
captured, and the run's locale is the language the page sees."""
import json
import socket
import urllib.parse

import pytest

from conftest import BROWSER, make_fake_browser, needs_browser, preset, read_log
from kestrelite import capture_json

WATCH = "apple-watch-s3"
# The smallest built-in preset of each platform kind.
ONE_PER_PLATFORM = {"ios_phone": "apple-iphone-4-7", "ios_tablet": "apple-ipad-9-7", "ios_watch": "apple-watch-s3",
                    "android_phone": "play-wear-os", "android_tablet": "play-automotive-landscape",
                    "macos": "apple-mac-1280", "tv": "play-tv-banner", "web": "play-feature-graphic"}

# Reports what the page sees through the query of an image it asks for
# (/seen); the settle wait waits for that image, so the report is in before
# the capture.
LANGUAGE_PAGE = """<!doctype html><meta name="viewport" content="width=device-width"><body><script>
document.write('<img src="/seen?' + encodeURIComponent(JSON.stringify({language: navigator.language,
  languages: navigator.languages, agent: navigator.userAgent,
  intl: new Intl.NumberFormat().resolvedOptions().locale})) + '">');
</script>"""


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@needs_browser
@pytest.mark.parametrize("page, reason", [
    ("/status/404", "page answered HTTP 404"),
    ("/status/500", "page answered HTTP 500"),
    ("refused", "page did not load: net::ERR_CONNECTION_REFUSED"),
    ("/hang-up", "page did not load: net::ERR_EMPTY_RESPONSE"),
    ("invalid-host", "page did not load: net::ERR_NAME_NOT_RESOLVED"),
    ("missing-file", "page did not load: net::ERR_FILE_NOT_FOUND"),
])
def test_a_page_that_did_not_load_fails_its_device(page_server, tmp_path, page, reason):
    page_server.pages.update({"/status/404": (404, "<h1>gone</h1>"), "/status/500": (500, "<h1>broken</h1>"),
                              "/hang-up": lambda _: None})
    url = {"refused": f"http://127.0.0.1:{closed_port()}/", "invalid-host": "http://kestrelite.invalid/",
           "missing-file": (tmp_path / "missing.html").as_uri()}.get(page) or page_server.url(page)
    report = json.loads(capture_json(url, str(tmp_path / "out"), [WATCH], browser=BROWSER))
    assert (report["exact"], report["failed"], report["ok"]) == (0, 1, False)
    assert report["results"][0]["error"] == f"browser: {reason} ({url})"
    assert list((tmp_path / "out").iterdir()) == []


def fake_run(tmp_path, url, **script):
    devices = [preset("first", 1080, 1920, 3), preset("second", 1080, 1920, 3)]
    presets = tmp_path / "presets.json"
    presets.write_text(json.dumps({"version": 1, "devices": devices}))
    browser = make_fake_browser(tmp_path, log=str(tmp_path / "log.jsonl"), once=str(tmp_path / "once"), **script)
    return json.loads(capture_json(url, str(tmp_path / "out"), ["first", "second"], browser=browser,
                                   presets=str(presets)))


@pytest.mark.parametrize("script, error", [
    ({"replies": {"Page.navigate": {"result": {"frameId": "F", "errorText": "net::ERR_ABORTED"}}}},
     "browser: page did not load: net::ERR_ABORTED (https://app.test/)"),
    ({"replies": {"Runtime.evaluate#3": {"result": {"result": {"type": "number", "value": 403}}}}},
     "browser: page answered HTTP 403 (https://app.test/)"),
])
def test_the_run_goes_on_with_the_next_device(tmp_path, script, error):
    report = fake_run(tmp_path, "https://app.test/", **script)
    assert [r["outcome"] for r in report["results"]] == ["failed", "exact"]
    assert report["results"][0]["error"] == error
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["second.png"]


@pytest.mark.parametrize("url", ["file:///srv/app/index.html", "data:text/html,<p>hi", "about:blank"])
def test_pages_without_an_http_status_are_not_asked_for_one(tmp_path, url):
    report = fake_run(tmp_path, url)
    assert report["exact"] == 2
    evaluations = [m for m in read_log(tmp_path / "log.jsonl") if m["method"] == "Runtime.evaluate"]
    assert len(evaluations) == 4  # settle wait and probe, per device


@needs_browser
def test_the_locale_is_the_language_the_page_sees(page_server, tmp_path):
    page_server.pages.update({"/language": LANGUAGE_PAGE, "/seen": ""})
    ids = list(ONE_PER_PLATFORM.values())
    report = json.loads(capture_json(page_server.url("/language"), str(tmp_path), ids, browser=BROWSER,
                                     locale="de-DE"))
    assert report["exact"] == len(ids), report
    documents = [headers for path, _, headers in page_server.requests if path == "/language"]
    assert [h.get("Accept-Language") for h in documents] == ["de-DE"] * len(ids)
    seens = [json.loads(urllib.parse.unquote(query)) for path, query, _ in page_server.requests if path == "/seen"]
    assert len(seens) == len(ids)
    for platform, headers, seen in zip(ONE_PER_PLATFORM, documents, seens):
        assert (seen["language"], seen["languages"], seen["intl"]) == ("de-DE", ["de-DE"], "de-DE"), platform
        # Platforms without a user agent of their own keep the browser's.
        own = platform in ("tv", "web")
        assert ("HeadlessChrome" in seen["agent"]) is own, platform
        assert ("HeadlessChrome" in headers["User-Agent"]) is own, platform
