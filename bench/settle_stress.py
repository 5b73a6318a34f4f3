"""The settle wait on a busy machine.

Captures a chart whose bars come late, in each of the ways of
bench/pages/stress/index.html (a fetch and animation frames, a chain of
fetches, timers, promise continuations, an XHR, an inserted script, images
only the browser's network sees), with replies held back 0 to 300 ms, while
`yes` processes keep the cores busy. First, before the load starts, each way
is captured once as its reference, which must show its bars. Every capture
under load must then give its reference's very bytes and say it settled
"quiet": one that does not is a picture taken before the page was done.

    /usr/bin/python3 bench/settle_stress.py [--captures 560] [--hogs 2]
        [--sessions 2] [--browser PATH] [--keep DIR]

prints a JSON summary and exits with 1 when a capture differs. The test
suite runs the same at a smaller size.
"""

import argparse
import contextlib
import http.server
import itertools
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from PIL import Image

import kestrelite

PAGE = Path(__file__).resolve().parent / "pages" / "stress" / "index.html"
KINDS = ["fetch_raf", "fetch_fetch", "fetch_timeouts", "fetch_promises", "fetch_text_later", "xhr_raf",
         "fetch_script", "fetch_bg", "fetch_img"]
DELAYS = ["0", "20", "60", "150", "rand"]
DEVICE = "apple-mac-1280"
HEIGHTS = [300, 120, 380, 60, 210]
# Inside the first bar (CSS pixels at scale 1): blue, or the image's red.
BAR_PIXEL = (100, 420)
BAR_COLOURS = {"fetch_bg": (200, 30, 30)}
BLUE = (42, 111, 219)

REPLIES = {
    "/index.html": ("text/html; charset=utf-8", PAGE.read_bytes()),
    "/data.json": ("application/json", json.dumps({"heights": HEIGHTS}).encode()),
    "/meta.json": ("application/json", b'{"next": "data.json"}'),
    "/bars.js": ("text/javascript", b"draw(window.heights);"),
    "/bar.svg": ("image/svg+xml", b'<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8">'
                                  b'<rect width="8" height="8" fill="rgb(200,30,30)"/></svg>'),
}


@contextlib.contextmanager
def serve():
    """The stress page and its replies on 127.0.0.1, each reply after the
    delay its ?d= asks for ("rand": 0 to 300 ms)."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            path, _, query = self.path.partition("?")
            if path not in REPLIES:
                self.send_error(404)
                return
            delay = dict(p.partition("=")[::2] for p in query.split("&")).get("d", "0")
            time.sleep((random.uniform(0, 300) if delay == "rand" else float(delay or 0)) / 1000)
            kind, body = REPLIES[path]
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            # A reply the page no longer wants (its context closed) is dropped.
            with contextlib.suppress(ConnectionError):
                self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/index.html"
    finally:
        server.shutdown()
        server.server_close()


@contextlib.contextmanager
def hogs(count):
    """`count` processes that keep a core busy each, ended by their ids."""
    started = [subprocess.Popen(["yes"], stdout=subprocess.DEVNULL) for _ in range(count)]
    try:
        yield
    finally:
        for p in started:
            p.send_signal(signal.SIGKILL)
            p.wait()


def bar_colour(path):
    with Image.open(path) as image:
        return image.convert("RGB").getpixel(BAR_PIXEL)


def run(captures, hog_count, sessions, browser, out_dir):
    """Captures `captures` pages under `hog_count` hogs; returns the summary,
    whose "differing" lists every capture unlike its reference."""
    out_dir = Path(out_dir)
    local = threading.local()
    opened, opened_lock = [], threading.Lock()

    def capture(url, name):
        if not hasattr(local, "session"):
            local.session = kestrelite.Session(browser=browser)
            with opened_lock:
                opened.append(local.session)
        return json.loads(local.session.capture(url, DEVICE, str(out_dir), name))

    summary = {"captures": captures, "hogs": hog_count, "sessions": sessions, "references": {}, "differing": []}
    try:
        with serve() as page, ThreadPoolExecutor(sessions) as pool:
            references = {}
            for kind in KINDS:
                result = capture(f"{page}?kind={kind}&d=0", f"reference-{kind}")
                colour = bar_colour(result["path"]) if result["outcome"] == "exact" else None
                if colour != BAR_COLOURS.get(kind, BLUE) or result["capture"]["settle"] != "quiet":
                    raise RuntimeError(f"the reference of {kind} does not show its bars: {result}, {colour}")
                references[kind] = result["capture"]["sha256"]
            summary["references"] = references
            jobs = list(itertools.islice(itertools.cycle(itertools.product(DELAYS, KINDS)), captures))
            started = time.monotonic()
            with hogs(hog_count):
                results = list(pool.map(lambda j: (j, capture(f"{page}?kind={j[1][1]}&d={j[1][0]}", f"{j[0]}-{j[1][1]}")),
                                        enumerate(jobs)))
                summary["load_average"] = os.getloadavg()[0]
            summary["seconds"] = round(time.monotonic() - started, 1)
    finally:
        for session in opened:
            session.close()
    for (index, (delay, kind)), result in results:
        shot = result.get("capture", {})
        if result["outcome"] != "exact" or shot.get("sha256") != references[kind] or shot.get("settle") != "quiet":
            summary["differing"].append({"capture": index, "kind": kind, "d": delay, "outcome": result["outcome"],
                                         "settle": shot.get("settle"), "error": result.get("error"),
                                         "path": result.get("path")})
    return summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--captures", type=int, default=560)
    parser.add_argument("--hogs", type=int, default=2)
    parser.add_argument("--sessions", type=int, default=2)
    parser.add_argument("--browser", default=None, help="the browser (default: kestrelite's choice)")
    parser.add_argument("--keep", metavar="DIR", help="keep the images here (default: removed)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        out = args.keep or scratch
        os.makedirs(out, exist_ok=True)
        summary = run(args.captures, args.hogs, args.sessions, args.browser, out)
    print(json.dumps(summary, indent=2))
    return 1 if summary["differing"] else 0


if __name__ == "__main__":
    sys.exit(main())
