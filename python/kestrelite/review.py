"""Reviewing a comparison in the browser: the comparison page, served with
approve and reject buttons, whose approvals go through approve.py.

A Review compares NEW with BASE into a scratch folder (nothing is written
outside BASE, and BASE only by approvals) and serves the page from a small
HTTP server of the standard library on 127.0.0.1, on a free port. It is a
local tool that writes into the user's folders, so:

- it listens on the loopback interface only;
- every path starts with a random secret (`token`), which only the printed
  address carries; a request without it is refused (403);
- a request whose Host header is not 127.0.0.1 or localhost with the
  server's port is refused (403), so that a page of another site cannot
  reach it through a name that resolves to 127.0.0.1 (DNS rebinding);
- GET only reads: the page, and the images the comparison names; only
  POST changes anything, and only with a JSON body (which a form of another
  site cannot send) and no Origin header but the server's own;
- approvals run one at a time, under approve.py's lock on BASE.

Routes under /TOKEN/: GET "" (the page), GET "file?p=PATH" (an image the
comparison names, PATH as compare.json gives it); POST "approve" with
{"pairs": [name, ...]} or {"changed": true} (every changed pair), POST
"reject" with {"pairs": [...]} (noted on the page; nothing is written),
POST "done" (the review ends).
"""

import contextlib
import http.server
import json
import secrets
import tempfile
import threading
from pathlib import Path
from urllib.parse import parse_qs, quote, urlsplit

from .approve import approve
from .compare import compare_runs
from .compare_page import pair_name, render
from .errors import UsageError

LIMIT = 1 << 20  # the largest request body read


class Review:
    """The comparison of `new` with `base` and what the reviewer did with it."""

    def __init__(self, base, new, threshold=0, antialiasing="count"):
        self.base, self.new = Path(base), Path(new)
        self._scratch = tempfile.TemporaryDirectory(prefix="kestrelite-review-")
        self.out = Path(self._scratch.name) / "compare"
        self.record = compare_runs(base, new, self.out, threshold, antialiasing=antialiasing)
        self.files = {}
        for pair in self.record["pairs"]:
            for path in [pair.get(side, {}).get("path") for side in ("base", "new")] + [pair.get("difference")]:
                if path:
                    self.files[path] = (self.out / path).resolve()
        self.token = secrets.token_urlsafe(24)
        self.approved, self.rejected = [], set()
        self.lock = threading.Lock()
        self.finished = threading.Event()

    def close(self):
        self._scratch.cleanup()

    def page(self):
        approved = {name for name, _ in self.approved}
        return render(self.record, link=lambda path: "file?p=" + quote(path, safe=""),
                      review={"approved": approved, "rejected": self.rejected - approved})

    def approve(self, names):
        """Approves the named pairs; returns the (name, status) approved."""
        with self.lock:
            done = approve(self.base, self.new, names)
            self.approved += [item for item in done if item not in self.approved]
            self.rejected -= set(names)
            return done

    def changed(self):
        return [pair_name(p) for p in self.record["pairs"] if p["status"] == "changed"]


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "kestrelite-review"
    sys_version = ""

    @property
    def review(self):
        return self.server.review

    def _route(self):
        """The route under the secret, or None once the request is refused."""
        port = self.server.server_address[1]
        host = (self.headers.get("Host") or "").lower()
        if host not in (f"127.0.0.1:{port}", f"localhost:{port}"):
            self._send(403, "text/plain", b"forbidden: wrong host\n")
            return None
        parts = urlsplit(self.path)
        prefix = f"/{self.review.token}/"
        if not secrets.compare_digest(parts.path[:len(prefix)].encode(), prefix.encode()):
            self._send(403, "text/plain", b"forbidden\n")
            return None
        return parts.path[len(prefix):], parts.query

    def _send(self, status, kind, body):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("Referrer-Policy", "no-referrer")
        self.end_headers()
        self.wfile.write(body)

    def _json(self, status, value):
        self._send(status, "application/json", json.dumps(value).encode())

    def do_GET(self):
        route = self._route()
        if route is None:
            return
        path, query = route
        if path == "":
            self._send(200, "text/html; charset=utf-8", self.review.page().encode("utf-8"))
        elif path == "file":
            # Only the images the comparison names, whatever is asked for.
            target = self.review.files.get(parse_qs(query).get("p", [""])[0])
            try:
                image = target.read_bytes() if target else None
            except OSError:
                image = None
            if image is None:
                return self._send(404, "text/plain", b"not found\n")
            self._send(200, "image/png", image)
        else:
            self._send(404, "text/plain", b"not found\n")

    def do_POST(self):
        route = self._route()
        if route is None:
            return
        origin = self.headers.get("Origin")
        port = self.server.server_address[1]
        if origin is not None and origin.lower() not in (f"http://127.0.0.1:{port}", f"http://localhost:{port}"):
            return self._send(403, "text/plain", b"forbidden: foreign origin\n")
        if (self.headers.get("Content-Type") or "").split(";")[0].strip() != "application/json":
            return self._send(415, "text/plain", b"a JSON body is needed\n")
        try:
            length = int(self.headers.get("Content-Length") or 0)
            body = json.loads(self.rfile.read(length)) if 0 < length <= LIMIT else {}
        except ValueError:
            return self._json(400, {"error": "the body is not JSON"})
        names = body.get("pairs", []) if isinstance(body, dict) else []
        if not (isinstance(names, list) and all(isinstance(n, str) for n in names)):
            return self._json(400, {"error": "pairs must be a list of pair names"})
        path = route[0]
        if path == "approve":
            if isinstance(body, dict) and body.get("changed") is True:
                names = self.review.changed()
            if not names:
                return self._json(200, {"approved": []})
            try:
                done = self.review.approve(names)
            except UsageError as e:
                return self._json(409, {"error": str(e)})
            except OSError as e:
                return self._json(500, {"error": f"{e.filename or ''}: {e.strerror or e}"})
            self._json(200, {"approved": [{"pair": name, "status": status} for name, status in done]})
        elif path == "reject":
            with self.review.lock:
                self.review.rejected |= set(names)
            self._json(200, {"rejected": names})
        elif path == "done":
            self.review.finished.set()
            self._json(200, {"done": True})
        else:
            self._send(404, "text/plain", b"not found\n")

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def serving(review):
    """Serves `review` on 127.0.0.1 at a free port while the block runs;
    gives the page's address, secret included."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.review = review
    thread = threading.Thread(target=server.serve_forever, name="kestrelite-review", daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/{review.token}/"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
