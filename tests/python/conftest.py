"""Shared fixtures: where the build and the sources are, and helpers for preset files."""
import json
import os
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ.get("KESTRELITE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("KESTRELITE_BUILD_DIR", SOURCE_DIR / "build"))


@pytest.fixture
def write_presets(tmp_path):
    """Writes a preset document (a dict or raw text) and returns its path as str."""
    counter = iter(range(1000))

    def write(document):
        path = tmp_path / f"presets-{next(counter)}.json"
        text = document if isinstance(document, (str, bytes)) else json.dumps(document)
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text, encoding="utf-8")
        return str(path)

    return write


def preset(id, w=1080, h=1920, scale=3, **extra):
    """One preset record with sensible defaults."""
    record = {"id": id, "label": id.upper(), "output_width": w, "output_height": h, "scale": scale,
              "requirement": "optional"}
    record.update(extra)
    return record


BROWSER = "/usr/bin/chromium-headless-shell"
# Under the sanitizer run the interpreter has the sanitizer runtime preloaded;
# the browser must not inherit it, so tests start it through a wrapper.
SANITIZED = bool(os.environ.get("KESTRELITE_SANITIZED"))
if SANITIZED:
    import atexit
    import shutil
    import tempfile
    _wrapper_dir = tempfile.mkdtemp(prefix="kestrelite-browser-")
    atexit.register(shutil.rmtree, _wrapper_dir, True)
    _wrapper = os.path.join(_wrapper_dir, "chromium-headless-shell")
    with open(_wrapper, "w") as _f:
        _f.write(f'#!/bin/sh\nunset LD_PRELOAD\nexec {BROWSER} "$@"\n')
    os.chmod(_wrapper, 0o755)
    BROWSER = _wrapper

needs_browser = pytest.mark.skipif(not os.path.exists("/usr/bin/chromium-headless-shell"),
                                   reason="needs Debian's chromium-headless-shell")


class PageServer:
    """A loopback HTTP server for test pages. `pages` maps a path to the body
    (str or bytes), or to a list of (delay_seconds, bytes) pieces sent one after
    the other, so a test can hold part of a page back."""

    def __init__(self):
        import http.server
        import threading

        pages = self.pages = {}

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                import time
                body = pages.get(self.path.split("?")[0])
                if body is None:
                    self.send_error(404)
                    return
                pieces = body if isinstance(body, list) else [(0, body)]
                pieces = [(d, p.encode() if isinstance(p, str) else p) for d, p in pieces]
                self.send_response(200)
                kind = "image/png" if self.path.endswith(".png") else "text/html; charset=utf-8"
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(sum(len(p) for _, p in pieces)))
                self.end_headers()
                for delay, piece in pieces:
                    time.sleep(delay)
                    self.wfile.write(piece)
                    self.wfile.flush()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.server.server_address[1]}{path}"

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def page_server():
    server = PageServer()
    yield server
    server.close()


def marked_processes(mark):
    """Pids of live processes whose environment holds `mark`: a test sets a
    unique variable before starting browsers, and everything they start
    inherits it, whatever process group it ends up in."""
    needle = mark.encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if needle not in f.read():
                    continue
            with open(f"/proc/{entry}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state != "Z":
            found.append(int(entry))
    return found


def zombie_children():
    """Children of this process that have exited but were never reaped."""
    zombies = []
    for task in os.listdir(f"/proc/{os.getpid()}/task"):
        try:
            with open(f"/proc/{os.getpid()}/task/{task}/children") as f:
                children = f.read().split()
        except OSError:
            continue
        for pid in children:
            try:
                with open(f"/proc/{pid}/stat") as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        zombies.append(int(pid))
            except OSError:
                pass
    return zombies


@pytest.fixture
def process_mark(monkeypatch):
    """Marks every process started during the test; yields a function that
    waits briefly for marked processes to end and returns those still alive."""
    import time
    import uuid
    mark = f"KESTRELITE_TEST_MARK={uuid.uuid4().hex}"
    name, value = mark.split("=")
    monkeypatch.setenv(name, value)

    def survivors(grace=5.0):
        deadline = time.monotonic() + grace
        while True:
            alive = marked_processes(mark)
            if not alive or time.monotonic() > deadline:
                return alive
            time.sleep(0.1)

    return survivors
