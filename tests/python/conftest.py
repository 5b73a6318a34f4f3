"""Shared set-ups: paths, the version, preset files, the scripted fake browser, a fake capture step, a page server and
the processes a test leaves behind."""
import atexit
import contextlib
import hashlib
import http.server
import io
import json
import os
import re
import shlex
import shutil
import sys
import tempfile
import threading
import time
import uuid
from pathlib import Path

import pytest

from kestrelite import cli, runner
from kestrelite import devices_json as kestrelite_devices_json

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fake_browser"))
from fake_browser import png  # noqa: E402

SOURCE_DIR = Path(os.environ.get("KESTRELITE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("KESTRELITE_BUILD_DIR", SOURCE_DIR / "build"))
# The version's one home.
VERSION = re.search(r"project\(kestrelite VERSION ([0-9.]+)", (SOURCE_DIR / "CMakeLists.txt").read_text()).group(1)
HEADLESS_SHELL = "/usr/bin/chromium-headless-shell"
needs_browser = pytest.mark.skipif(not os.path.exists(HEADLESS_SHELL), reason="needs Debian's chromium-headless-shell")


def preset(id, w=1080, h=1920, scale=3, **extra):
    """One preset record with sensible defaults."""
    return {"id": id, "label": id.upper(), "output_width": w, "output_height": h, "scale": scale,
            "requirement": "optional", **extra}


def unpreloaded(directory, name, command):
    """A script that runs `command` with its arguments without the sanitizer runtime preloaded into Python."""
    wrapper = Path(directory) / name
    wrapper.write_text(f"#!/bin/sh\nunset LD_PRELOAD\n{command} \"$@\"\n", encoding="utf-8")
    wrapper.chmod(0o755)
    return str(wrapper)


BROWSER = HEADLESS_SHELL
if os.environ.get("KESTRELITE_SANITIZED"):
    _wrappers = tempfile.mkdtemp(prefix="kestrelite-browser-")
    atexit.register(shutil.rmtree, _wrappers, True)
    BROWSER = unpreloaded(_wrappers, "chromium-headless-shell", f"exec {HEADLESS_SHELL}")


@pytest.fixture
def write_presets(tmp_path):
    """Writes a preset document (a dict, or raw str or bytes); returns its path."""
    def write(document):
        path = tmp_path / f"presets-{uuid.uuid4().hex}.json"
        text = document if isinstance(document, (str, bytes)) else json.dumps(document)
        path.write_bytes(text if isinstance(text, bytes) else text.encode())
        return str(path)

    return write


def run_cli(argv):
    """Runs the command line in-process; returns (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main([str(a) for a in argv])
    return status, out.getvalue(), err.getvalue()


def make_fake_browser(tmp_path, **script):
    """An executable that starts tests/fake_browser/fake_browser.py with `script` (documented there)."""
    path = Path(tmp_path) / f"fake-browser-{uuid.uuid4().hex}.json"
    path.write_text(json.dumps(script), encoding="utf-8")
    fake = SOURCE_DIR / "tests" / "fake_browser" / "fake_browser.py"
    return unpreloaded(tmp_path, path.stem, f"FAKE_BROWSER_SCRIPT={shlex.quote(str(path))} "
                                            f"exec {shlex.quote(sys.executable)} {shlex.quote(str(fake))}")


def read_log(path):
    """The DevTools messages a fake logged, in order."""
    return [json.loads(line) for line in Path(path).read_text(encoding="utf-8").splitlines()]


@pytest.fixture
def page_server():
    """A loopback HTTP server: `pages[path]` (the query aside) is a body (str or bytes), a list of (delay in seconds,
    body) pieces, or a function of the request returning a body, (status, body), or None to hang up. Every request's
    path, query and headers go to `requests`."""
    pages, requests = {}, []

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            path, _, query = self.path.partition("?")
            requests.append((path, query, dict(self.headers)))
            body = pages.get(path, (404, "not found"))
            body = body(self) if callable(body) else body
            if body is None:  # this HTTP/1.0 server then closes the connection without an answer
                return
            status, body = body if isinstance(body, tuple) else (200, body)
            pieces = [(d, p if isinstance(p, bytes) else p.encode())
                      for d, p in (body if isinstance(body, list) else [(0, body)])]
            self.send_response(status)
            self.send_header("Content-Type", "text/javascript" if path.endswith(".js") else "text/html; charset=utf-8")
            self.send_header("Content-Length", str(sum(len(p) for _, p in pieces)))
            self.end_headers()
            for delay, piece in pieces:
                time.sleep(delay)
                self.wfile.write(piece)
                self.wfile.flush()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    server.pages, server.requests = pages, requests
    server.url = lambda path: f"http://127.0.0.1:{server.server_address[1]}{path}"
    yield server
    server.shutdown()
    server.server_close()


def proc(pid, name):
    """The bytes of /proc/PID/NAME, or None once the process is gone."""
    with contextlib.suppress(OSError), open(f"/proc/{pid}/{name}", "rb") as f:
        return f.read()
    return None


def state(pid):
    stat = proc(pid, "stat")
    return stat and stat.rsplit(b")", 1)[1].split()[0].decode()


@pytest.fixture
def process_mark(monkeypatch):
    """Marks (in the environment) every process the test starts, whatever its process group; process_mark(grace) waits
    up to `grace` seconds for them to end, then returns the live ones and this process's unreaped children."""
    mark = f"KESTRELITE_TEST_MARK={uuid.uuid4().hex}"
    monkeypatch.setenv(*mark.split("="))

    def marked():
        return [int(pid) for pid in filter(str.isdigit, os.listdir("/proc")) if int(pid) != os.getpid()
                and mark.encode() in (proc(pid, "environ") or b"") and state(pid) not in (None, "Z")]

    def survivors(grace=5.0):
        deadline = time.monotonic() + grace
        while marked() and time.monotonic() < deadline:
            time.sleep(0.1)
        tasks = f"/proc/{os.getpid()}/task"
        children = [c for t in os.listdir(tasks) for c in open(f"{tasks}/{t}/children").read().split()]
        return marked() + [int(c) for c in children if state(c) == "Z"]

    return survivors


class FakeCaptures:
    """The module's Session for the runner, without a browser: every capture writes a PNG of the preset's size (or of
    `sizes[device id]`) whose colour follows the URL and the settings. `fail` maps device ids to an error text;
    `changing` holds ids whose image differs on every capture; `calls` records (device id, settings)."""

    def __init__(self):
        self.fail, self.sizes, self.changing, self.calls, self.lock = {}, {}, set(), [], threading.Lock()

    def session(self, presets=None, **_):
        """Every session of a run has the run's presets."""
        self.table = {d["id"]: d for d in json.loads(kestrelite_devices_json(None, presets))}
        return self

    def close(self):
        pass

    def capture(self, url, device_id, out_dir, name=None, **settings):
        with self.lock:
            self.calls.append((device_id, settings))
            count = len(self.calls)
        if device_id in self.fail:
            return json.dumps({"device_id": device_id, "outcome": "failed", "elapsed_ms": 3,
                               "error": self.fail[device_id]})
        expected = [self.table[device_id]["output_width"], self.table[device_id]["output_height"]]
        size = list(self.sizes.get(device_id, expected))
        exact = size == expected
        seed = f"{url}{settings}{count if device_id in self.changing else ''}".encode()
        path = Path(out_dir) / f"{name or device_id}.png"
        path.parent.mkdir(parents=True, exist_ok=True)
        data = png(*size, hashlib.sha256(seed).digest()[:3])
        path.write_bytes(data)
        return json.dumps({"device_id": device_id, "outcome": "exact" if exact else "off-size", "elapsed_ms": 4,
                           "capture": {"device_id": device_id, "expected": expected, "actual": size,
                                       "sha256": hashlib.sha256(data).hexdigest(), "bytes": len(data), "exact": exact,
                                       "settle": "quiet"}, "path": str(path)})


@pytest.fixture
def fake_captures(monkeypatch):
    """The runner captures through FakeCaptures; the browser the commands choose is one that is never started."""
    fake = FakeCaptures()
    monkeypatch.setattr(runner, "Session", fake.session)
    return fake
