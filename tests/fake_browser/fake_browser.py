#!/usr/bin/env python3
"""A scripted stand-in for headless Chromium: the DevTools peer of the tests.

Started like the browser (only --remote-debugging-port=N counts; 0 picks a
free port; --version prints "Chromium 0.0.0.0 (fake DevTools peer)"), it
prints D-Bus noise and "DevTools listening on ws://127.0.0.1:PORT/devtools/
browser/<id>" on standard error, serves /json/list (a service worker, whose
URL refuses upgrades, then the page) and /json/version, and answers DevTools
requests over each WebSocket one at a time: the environment probe and
Page.captureScreenshot (a solid PNG) follow the last device metrics and touch
emulation; the Target commands make contexts and pages (served at
/devtools/page/<targetId> until their context is disposed). It exits when the
WebSocket of the first page or of the browser target closes, when its parent
goes away and after two minutes without traffic. The JSON object in the file
named by FAKE_BROWSER_SCRIPT changes that:

  "log"              path: each DevTools message received, one line each, as sent
  "pid_file"         path: the fake writes its process id there at start
  "fork_helper"      true: a helper process that only sleeps stays in its process group
  "startup"          "normal", "no_port" (noise, then silence) or "exit" (noise, then exit 1)
  "page_after_ms"    the page is listed only this long after the start
  "replies"          {key: members}: the reply is {"id": N, **members} instead
  "before_reply"     {key: [message, ...]} sent first: objects as JSON, strings as they are
  "delay_ms"         {key: ms} pause before replying
  "faults"           {key: fault} instead of answering: "exit" (exit 3), "silent" (answer nothing
                     more on that WebSocket) or "garbage" (a frame of a reserved opcode, then silence)
  "screenshot_size"  [width, height] of every PNG
  "screenshot_stored" true: the PNG's pixels are stored, not compressed (a file of megabytes)
  "once"             marker path: only the first fake to create it follows the script;
                     later ones keep only "log" and "pid_file"

A key is "Method#N" (the Nth request of that method over all WebSockets), "Method" or "*", in
that order. The first Runtime.evaluate of a capture is the settle wait, the
second the environment probe.
"""
import base64
import contextlib
import hashlib
import json
import os
import socket
import struct
import sys
import threading
import time
import uuid
import zlib

PROBE = "({w:innerWidth,h:innerHeight,d:devicePixelRatio,t:(navigator.maxTouchPoints||0)})"
PAGE = uuid.uuid4().hex.upper()
BROWSER = str(uuid.uuid4())
NOISE = "[{pid}:{pid}:1206/083512.104217:ERROR:bus.cc(407)] Failed to connect to the bus: No such file or directory"
MEMBERS = {"log", "pid_file", "fork_helper", "startup", "page_after_ms", "replies", "before_reply", "delay_ms",
           "faults", "screenshot_size", "screenshot_stored", "once"}
SCRIPT = {}
# Shared by every WebSocket, under LOCK: requests per method, the browser
# contexts, and the pages created in them (target id -> context id).
LOCK = threading.Lock()
CALLS, CONTEXTS, CREATED = {}, set(), {}
last_activity = time.monotonic()
started = time.monotonic()


def say(line):
    with contextlib.suppress(OSError):  # the launcher closes its end of the pipe once it has the port
        os.write(2, (line + "\n").encode())


def scripted(member, method, count, default=None):
    table = SCRIPT.get(member, {})
    return next((table[k] for k in (f"{method}#{count}", method, "*") if k in table), default)


class Peer:
    def __init__(self, sock):
        self.sock, self.buf = sock, b""

    def fill(self):
        global last_activity
        data = self.sock.recv(65536)
        if not data:
            raise EOFError
        last_activity = time.monotonic()
        self.buf += data

    def take(self, count):
        while len(self.buf) < count:
            self.fill()
        out, self.buf = self.buf[:count], self.buf[count:]
        return out

    def head(self):
        """The request path and its headers, names in lower case."""
        while b"\r\n\r\n" not in self.buf:
            self.fill()
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        fields = dict(line.split(":", 1) for line in lines[1:] if ":" in line)
        return lines[0].split(" ")[1], {k.strip().lower(): v.strip() for k, v in fields.items()}


def http(peer, body, status="200 OK"):
    peer.sock.sendall(f"HTTP/1.1 {status}\r\nContent-Length:{len(body)}\r\n\r\n".encode() + body)


def targets(port):
    url = f"ws://127.0.0.1:{port}/devtools/page/"
    listed = [{"id": "SW", "type": "service_worker", "webSocketDebuggerUrl": url + "SW"}]
    if time.monotonic() - started >= SCRIPT.get("page_after_ms", 0) / 1000:
        listed.append({"id": PAGE, "type": "page", "url": "about:blank", "webSocketDebuggerUrl": url + PAGE})
    return listed


def connection(sock):
    peer = Peer(sock)
    try:
        while True:
            path, headers = peer.head()
            port = sock.getsockname()[1]
            lasting = path in (f"/devtools/page/{PAGE}", f"/devtools/browser/{BROWSER}")
            if path == "/json/list":
                http(peer, json.dumps(targets(port), indent=3).encode())
            elif path == "/json/version":
                browser = f"ws://127.0.0.1:{port}/devtools/browser/{BROWSER}"
                http(peer, json.dumps({"Browser": "HeadlessChrome/0.0.0.0", "webSocketDebuggerUrl": browser}).encode())
            elif "sec-websocket-key" in headers and (lasting or path.removeprefix("/devtools/page/") in CREATED):
                accept = base64.b64encode(hashlib.sha1(
                    (headers["sec-websocket-key"] + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest())
                sock.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n")
                try:
                    Session(peer).run()
                finally:
                    if lasting:
                        os._exit(0)  # the first page and the browser target are the fake's reason to live
            else:
                http(peer, b"not found", "404 Not Found")
                raise EOFError
    except (EOFError, OSError):
        sock.close()


class Session:
    def __init__(self, peer):
        self.peer, self.touch, self.silent = peer, 0, False
        self.metrics = {"width": 800, "height": 600, "deviceScaleFactor": 1}

    def receive(self):
        """The next text message (unfragmented, masked); a Close ends the session."""
        first, second = self.peer.take(2)
        size = second & 0x7F
        if size >= 126:
            size = int.from_bytes(self.peer.take(2 if size == 126 else 8), "big")
        mask = self.peer.take(4)
        data = self.peer.take(size)
        if first & 0x0F == 8:
            raise EOFError
        return bytes(b ^ mask[i % 4] for i, b in enumerate(data)).decode()

    def run(self):
        while True:
            text = self.receive()
            if SCRIPT.get("log"):
                with open(SCRIPT["log"], "a", encoding="utf-8") as log:
                    log.write(text + "\n")
            request = json.loads(text)
            method, params = request["method"], request.get("params", {})
            with LOCK:
                count = CALLS[method] = CALLS.get(method, 0) + 1
            fault = scripted("faults", method, count)
            if fault == "exit":
                os._exit(3)
            if fault == "garbage":
                self.peer.sock.sendall(b"\x83\x04junk")
            self.silent = self.silent or fault in ("silent", "garbage")
            if self.silent:
                continue
            time.sleep(scripted("delay_ms", method, count, 0) / 1000)
            for message in scripted("before_reply", method, count, []):
                self.send(message if isinstance(message, str) else json.dumps(message))
            members = scripted("replies", method, count)
            if members is None:
                members = self.default_reply(method, params)
            self.send(json.dumps({"id": request["id"], **members}, separators=(",", ":")))

    def send(self, text):
        data = text.encode()
        size = len(data)
        head = bytes([0x81, size]) if size < 126 else (
            b"\x81\x7e" + struct.pack(">H", size) if size < 65536 else b"\x81\x7f" + struct.pack(">Q", size))
        self.peer.sock.sendall(head + data)

    def default_reply(self, method, params):
        if method == "Emulation.setDeviceMetricsOverride":
            self.metrics = params
        elif method == "Emulation.setTouchEmulationEnabled":
            self.touch = params.get("maxTouchPoints", 1) if params["enabled"] else 0
        elif method == "Runtime.evaluate" and params.get("contextId"):
            # The glyph check, in its own world: every character drawn.
            return {"result": {"result": {"type": "object", "value": {"missing": [], "count": 0}}}}
        elif method == "Runtime.evaluate" and params.get("awaitPromise"):
            return {"result": {"result": {"type": "string", "value": "quiet"}}}
        elif method == "Runtime.evaluate" and params.get("expression") == PROBE:
            m = self.metrics
            return {"result": {"result": {"type": "object", "value": {
                "w": m["width"], "h": m["height"], "d": m["deviceScaleFactor"], "t": self.touch}}}}
        elif method == "Page.captureScreenshot":
            size = SCRIPT.get("screenshot_size") or [self.metrics["width"] * self.metrics["deviceScaleFactor"],
                                                     self.metrics["height"] * self.metrics["deviceScaleFactor"]]
            data = png(*size, level=0 if SCRIPT.get("screenshot_stored") else 1)
            return {"result": {"data": base64.b64encode(data).decode()}}
        elif method in ("Target.createBrowserContext", "Target.createTarget", "Target.disposeBrowserContext"):
            return target_reply(method, params.get("browserContextId"))
        elif method in FONT_REPLIES:
            return {"result": FONT_REPLIES[method]}
        elif not method.startswith(("Emulation.", "Network.", "Page.", "Runtime.")):
            return {"error": {"code": -32601, "message": f"'{method}' wasn't found"}}
        return {"result": {}}


# What the glyph check asks, answered for a page of one element drawn in one font.
FONT_REPLIES = {"Page.getFrameTree": {"frameTree": {"frame": {"id": "F"}}},
                "Page.createIsolatedWorld": {"executionContextId": 7}, "DOM.enable": {}, "CSS.enable": {},
                "DOM.getDocument": {"root": {"nodeId": 1}}, "DOM.querySelectorAll": {"nodeIds": [2]},
                "CSS.getPlatformFontsForNode": {"fonts": [{"familyName": "Fake Sans", "glyphCount": 3}]}}


def target_reply(method, context):
    with LOCK:
        if method == "Target.createBrowserContext":
            context = uuid.uuid4().hex.upper()
            CONTEXTS.add(context)
            return {"result": {"browserContextId": context}}
        if context not in CONTEXTS:
            return {"error": {"code": -32602, "message": "Failed to find browser context"}}
        if method == "Target.createTarget":
            target = uuid.uuid4().hex.upper()
            CREATED[target] = context
            return {"result": {"targetId": target}}
        CONTEXTS.discard(context)
        for target in [t for t, c in CREATED.items() if c == context]:
            del CREATED[target]
        return {"result": {}}


def png(width, height, colour=b"\xf4\xf6\xf8", level=1):
    """A PNG of one colour, 8-bit RGB."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    pixels = zlib.compress((b"\x00" + bytes(colour) * width) * height, level)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", pixels) + chunk(b"IEND", b""))


def watch(parent):
    while os.getppid() == parent and time.monotonic() - last_activity < 120:
        time.sleep(0.2)
    os._exit(0)


def main():
    if "--version" in sys.argv[1:]:
        return print("Chromium 0.0.0.0 (fake DevTools peer)", flush=True)
    path = os.environ.get("FAKE_BROWSER_SCRIPT")
    if path:
        SCRIPT.update(json.load(open(path, encoding="utf-8")))
    unknown = set(SCRIPT) - MEMBERS
    if unknown:
        sys.exit(f"fake_browser: unknown script members {sorted(unknown)}")
    if SCRIPT.get("once"):
        try:
            os.close(os.open(SCRIPT["once"], os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            kept = {k: SCRIPT[k] for k in ("log", "pid_file") if k in SCRIPT}
            SCRIPT.clear()
            SCRIPT.update(kept)
    if SCRIPT.get("pid_file"):
        with open(SCRIPT["pid_file"], "w", encoding="utf-8") as f:
            f.write(f"{os.getpid()}\n")
    if SCRIPT.get("fork_helper") and os.fork() == 0:
        time.sleep(120)
        os._exit(0)
    threading.Thread(target=watch, args=(os.getppid(),), daemon=True).start()
    port = next((int(a.split("=", 1)[1]) for a in sys.argv if a.startswith("--remote-debugging-port=")), 0)
    say(NOISE.format(pid=os.getpid()))
    startup = SCRIPT.get("startup", "normal")
    if startup == "exit":
        time.sleep(0.1)
        sys.exit(1)
    if startup == "no_port":
        threading.Event().wait()
    listener = socket.create_server(("127.0.0.1", port))
    say("")
    say(f"DevTools listening on ws://127.0.0.1:{listener.getsockname()[1]}/devtools/browser/{BROWSER}")
    while True:
        sock, _ = listener.accept()
        threading.Thread(target=connection, args=(sock,), daemon=True).start()


if __name__ == "__main__":
    main()
