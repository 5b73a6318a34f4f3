"""Honest results: the run's locale is the language the page sees."""
import json
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import BROWSER, needs_browser
from kestrelite import capture_json

# The smallest built-in preset of each platform kind.
ONE_PER_PLATFORM = {"ios_phone": "apple-iphone-4-7", "ios_tablet": "apple-ipad-9-7", "ios_watch": "apple-watch-s3",
                    "android_phone": "play-wear-os", "android_tablet": "play-automotive-landscape",
                    "macos": "apple-mac-1280", "tv": "play-tv-banner", "web": "play-feature-graphic"}

# Reports what the page sees through the query of an image it asks for; the
# settle wait waits for that image, so the report is in before the capture.
LANGUAGE_PAGE = """<!doctype html><meta name="viewport" content="width=device-width"><body><script>
document.write('<img src="/seen?' + encodeURIComponent(JSON.stringify({language: navigator.language,
  languages: navigator.languages, agent: navigator.userAgent,
  intl: new Intl.NumberFormat().resolvedOptions().locale})) + '">');
</script>"""


class Server:
    """Loopback HTTP: /status/N answers N with a small page, /hang-up closes
    the connection without answering, /language serves LANGUAGE_PAGE and
    /seen records its query. Every request's headers are recorded."""

    def __init__(self):
        self.requests = []
        self.seen = []
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                path, _, query = self.path.partition("?")
                server.requests.append((path, dict(self.headers)))
                if path == "/hang-up":
                    self.close_connection = True
                    return
                if path == "/seen":
                    server.seen.append(json.loads(urllib.parse.unquote(query)))
                status, body = 200, LANGUAGE_PAGE
                if path.startswith("/status/"):
                    status, body = int(path.rsplit("/", 1)[1]), f"<h1>status {path}</h1>"
                data = body.encode()
                self.send_response(status)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.http = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.http.daemon_threads = True
        threading.Thread(target=self.http.serve_forever, daemon=True).start()

    def url(self, path):
        return f"http://127.0.0.1:{self.http.server_address[1]}{path}"


@pytest.fixture
def server():
    s = Server()
    yield s
    s.http.shutdown()
    s.http.server_close()


@needs_browser
def test_the_locale_is_the_language_the_page_sees(server, tmp_path):
    ids = list(ONE_PER_PLATFORM.values())
    report = json.loads(capture_json(server.url("/language"), str(tmp_path), ids, browser=BROWSER,
                                     locale="de-DE"))
    assert report["exact"] == len(ids), report
    documents = [headers for path, headers in server.requests if path == "/language"]
    assert [h.get("Accept-Language") for h in documents] == ["de-DE"] * len(ids)
    assert len(server.seen) == len(ids)
    for platform, headers, seen in zip(ONE_PER_PLATFORM, documents, server.seen):
        assert (seen["language"], seen["languages"], seen["intl"]) == ("de-DE", ["de-DE"], "de-DE"), platform
        # Platforms without a user agent of their own keep the browser's.
        own = platform in ("tv", "web")
        assert ("HeadlessChrome" in seen["agent"]) is own, platform
        assert ("HeadlessChrome" in headers["User-Agent"]) is own, platform
