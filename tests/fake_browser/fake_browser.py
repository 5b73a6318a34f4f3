#!/usr/bin/env python3
"""A scripted stand-in for headless Chromium: the DevTools peer of the tests.

Started exactly like the browser:

    fake_browser.py --remote-debugging-port=0 --headless --no-sandbox ... about:blank

Every argument except --remote-debugging-port=N is ignored (0 picks a free
port), and --version, which prints "Chromium 0.0.0.0 (fake DevTools peer)"
and exits as the browser does. Like the browser it listens on 127.0.0.1 (one port for HTTP and
WebSocket), prints D-Bus noise, an empty line and
"DevTools listening on ws://127.0.0.1:PORT/devtools/browser/<uuid>" on
standard error, serves GET /json/list (with Content-Length, keeping the
connection open afterwards), accepts the WebSocket upgrade on the page
target's URL and answers DevTools requests one at a time. It remembers the
last Emulation.setDeviceMetricsOverride and Emulation.setTouchEmulationEnabled
and answers the environment probe and Page.captureScreenshot (a real solid
PNG of width*deviceScaleFactor by height*deviceScaleFactor) from them.

Like the browser it also speaks the Target domain: Target.createBrowserContext,
Target.createTarget (a page in that context, whose WebSocket is served at
/devtools/page/<targetId> until its context is disposed) and
Target.disposeBrowserContext; /json/version names the browser target's
WebSocket, which answers like a page's. Each WebSocket is a conversation of
its own (device metrics, touch), answered one request at a time.

It never outlives its test: it exits when the WebSocket of the first page or
of the browser target closes, when its parent process goes away, and after
"idle_limit_ms" without any traffic.
Standard input is not watched: it is inherited and often /dev/null.

Behaviour comes from the JSON object in the file named by the environment
variable FAKE_BROWSER_SCRIPT (absent: a well-behaved browser). Unknown
members and unknown behaviour names stop the fake at once with a message on
standard error. Members:

  "log"                  path; every received DevTools message is appended as
                         one line, exactly as received (re-serialised compactly
                         only if it spans lines; {"unparsable": text} if it is
                         not JSON), flushed at once
  "pid_file"             path; the fake writes its process id there at start
  "fork_helper"          true: at start the fake forks a helper process that
                         stays in its process group and only sleeps (for
                         "idle_limit_ms"), as the browser's helpers do
  "idle_limit_ms"        exit after this long without connection traffic
                         (default 120000)
  "startup"              "normal" (default), "exit_at_once" (exit 1, print
                         nothing), "no_port" (noise, then never a port; stays
                         alive with stderr open), "bad_port_first" (lines whose
                         ws:// port does not parse come before the proper one),
                         "exit_without_port" (noise 100 ms apart, then exit 1)
  "endpoint_delay_ms"    pause after the noise, before the endpoint line
  "page_after_ms"        the target list holds no "page" target until this
                         long after the fake started listening
  "service_worker"       true: a "service_worker" target (with its own
                         WebSocket URL, which refuses upgrades) precedes the page
  "target_list"          "normal" (default), "page_without_url" (a first page
                         target without "webSocketDebuggerUrl", then one with
                         it), "not_array", "invalid_json", "refuse" (reset the
                         connection without answering), "hang_up" (close it
                         without answering)
  "close_after_body"     true: close HTTP connections after each response
  "handshake"            "normal" (default), "truncated" (part of the 101 head,
                         then close), "wrong_accept"
  "after_handshake"      a fault (see below) applied right after the handshake
  "faults"               {key: fault} applied instead of answering a request
  "replies"              {key: members}; the reply is {"id": N} plus these
                         members (an "id" among them replaces N) instead of
                         the default, e.g.
                         {"result": {...}}, {"error": {"message": "..."}}, {}
  "before_reply"         {key: [message, ...]} sent before the reply: objects
                         are sent as JSON (events, replies to other ids),
                         strings are sent as they are
  "delay_ms"             {key: ms} pause before replying
  "fragment_replies"     true: every reply goes out as three fragments with a
                         ping between the first two
  "screenshot_size"      [width, height] of the PNG regardless of the metrics
  "screenshot_pad_bytes" adds a private ancillary chunk of this many bytes to
                         the PNG, for large frames
  "once"                 path of a marker file: only the first fake started
                         with this script (the one that creates the marker)
                         misbehaves; later ones are well-behaved, keeping
                         "log" and "pid_file". Lets one run fail its first
                         device and capture the next ones.

A key of "faults", "replies", "before_reply" and "delay_ms" is "Method#N"
(the Nth request of that method over all WebSockets, counted from 1),
"Method", or "*" (any method), looked up in that order. In a capture the first Runtime.evaluate is
the settle wait and the second the environment probe.

Faults: "silent" (read and log requests, answer nothing), "stop_reading"
(never read the socket again; the receive buffer is kept small so that the
peer's writes block once the buffers fill), "garbage" (a frame with the
reserved opcode 3), "huge_frame" (a text frame header announcing 2**63
bytes), "invalid_utf8" (a reply text frame that is not UTF-8), "close" (a
Close frame), "exit" (exit 3 at once), "sigkill" (SIGKILL itself). After
garbage, huge_frame, invalid_utf8 and close the fake goes silent.
"""
import base64
import functools
import hashlib
import ipaddress
import json
import os
import signal
import socket
import struct
import sys
import threading
import time
import uuid
import zlib

WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
PROBE = "({w:innerWidth,h:innerHeight,d:devicePixelRatio,t:(navigator.maxTouchPoints||0)})"
MESSAGE_LIMIT = 1 << 28
HEAD_LIMIT = 65536
SMALL_RCVBUF = 4096

NOISE = [
    "[{pid}:{pid}:1206/083512.104217:ERROR:bus.cc(407)] Failed to connect to the bus: "
    "Failed to connect to socket /run/dbus/system_bus_socket: No such file or directory",
    "[{pid}:{pid}:1206/083512.104655:ERROR:bus.cc(407)] Failed to connect to the bus: "
    "Could not parse server address: Unknown address type (examples of valid types are \"tcp\" "
    "and on UNIX \"unix\")",
    "[{pid}:{pid}:1206/083512.105012:ERROR:bus.cc(407)] Failed to connect to the bus: "
    "Could not parse server address: Unknown address type (examples of valid types are \"tcp\" "
    "and on UNIX \"unix\")",
    "[{pid}:{pid}:1206/083512.113931:WARNING:dns_config_service_linux.cc(427)] "
    "Failed to read DnsConfig.",
]
LATE_NOISE = [
    "[{pid}:{pid}:1206/083512.131245:ERROR:bus.cc(407)] Failed to connect to the bus: "
    "Failed to connect to socket /run/dbus/system_bus_socket: No such file or directory",
]

DEFAULTS = {
    "log": None,
    "pid_file": None,
    "fork_helper": False,
    "idle_limit_ms": 120000,
    "startup": "normal",
    "endpoint_delay_ms": 0,
    "page_after_ms": 0,
    "service_worker": False,
    "target_list": "normal",
    "close_after_body": False,
    "handshake": "normal",
    "after_handshake": None,
    "faults": {},
    "replies": {},
    "before_reply": {},
    "delay_ms": {},
    "fragment_replies": False,
    "screenshot_size": None,
    "screenshot_pad_bytes": 0,
    "once": None,
}

BROWSER_ID = str(uuid.uuid4())
PAGE_ID = uuid.uuid4().hex.upper()
WORKER_ID = uuid.uuid4().hex.upper()

SCRIPT = dict(DEFAULTS)
# Shared by every WebSocket: requests counted per method, the browser
# contexts and the pages created in them (target id -> context id).
CALLS = {}
CONTEXTS = set()
CREATED_TARGETS = {}
TARGETS_LOCK = threading.Lock()
last_activity = time.monotonic()
listening_since = time.monotonic()


class HangUp(Exception):
    """Ends one connection on purpose."""


def touch():
    global last_activity
    last_activity = time.monotonic()


def say(line):
    # The launcher closes its end of the pipe once it has the port: later
    # lines must not kill the fake.
    try:
        os.write(2, (line + "\n").encode())
    except OSError:
        pass


def say_noise(lines=NOISE, pause=0.0):
    for line in lines:
        say(line.format(pid=os.getpid()))
        time.sleep(pause)


def stop(code):
    os._exit(code)


# ---------------------------------------------------------------- start-up

def listen(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if uses_fault("stop_reading"):
        # Accepted sockets inherit it; a small window makes the peer's writes block soon.
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SMALL_RCVBUF)
    try:
        listener.bind(("127.0.0.1", port))
    except OSError:
        say_noise(["[{pid}:{pid}:1206/083512.120000:ERROR:devtools_http_handler.cc(319)] "
                   "Cannot start http server for devtools."])
        idle_forever()
    listener.listen(16)
    global listening_since
    listening_since = time.monotonic()
    return listener


def announce(listener):
    time.sleep(SCRIPT["endpoint_delay_ms"] / 1000)
    say("")
    say(f"DevTools listening on ws://127.0.0.1:{listener.getsockname()[1]}/devtools/browser/{BROWSER_ID}")
    say_noise(LATE_NOISE)


def idle_forever():
    while True:
        time.sleep(3600)


def startup_normal(port):
    listener = listen(port)
    say_noise()
    announce(listener)
    serve(listener)


def startup_exit_at_once(port):
    stop(1)


def startup_no_port(port):
    say_noise()
    idle_forever()


def startup_bad_port_first(port):
    listener = listen(port)
    say_noise()
    say_noise(["[{pid}:{pid}:1206/083512.110000:WARNING:stale_endpoint] old endpoint "
               "ws://127.0.0.1:70000/devtools/browser/0",
               "DevTools listening on ws://127.0.0.1:92x2/devtools/browser/" + BROWSER_ID])
    announce(listener)
    serve(listener)


def startup_exit_without_port(port):
    say_noise(pause=0.1)
    stop(1)


STARTUPS = {
    "normal": startup_normal,
    "exit_at_once": startup_exit_at_once,
    "no_port": startup_no_port,
    "bad_port_first": startup_bad_port_first,
    "exit_without_port": startup_exit_without_port,
}


def serve(listener):
    while True:
        conn, _ = listener.accept()
        touch()
        # Events, fragments and replies go out as separate small writes.
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=handle_connection, args=(conn,), daemon=True).start()


# ---------------------------------------------------------------- connections

class Peer:
    """One accepted socket with its unread bytes."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise HangUp
        touch()
        self.buf += data

    def take(self, count):
        while len(self.buf) < count:
            self.fill()
        out = bytes(self.buf[:count])
        del self.buf[:count]
        return out

    def read_head(self):
        while True:
            end = self.buf.find(b"\r\n\r\n")
            if end >= 0:
                head = bytes(self.buf[:end]).decode("latin-1")
                del self.buf[:end + 4]
                return head
            if len(self.buf) > HEAD_LIMIT:
                raise HangUp
            self.fill()

    def send(self, data):
        self.sock.sendall(data)
        touch()


class Request:
    def __init__(self, head):
        lines = head.split("\r\n")
        parts = lines[0].split(" ")
        self.path = parts[1] if len(parts) > 1 else "/"
        self.headers = {}
        for line in lines[1:]:
            name, colon, value = line.partition(":")
            if colon:
                self.headers.setdefault(name.strip().lower(), value.strip())


def handle_connection(sock):
    peer = Peer(sock)
    try:
        while True:
            request = Request(peer.read_head())
            if not host_allowed(request.headers.get("host")):
                send_http(peer, b"Host header is specified and is not an IP address or localhost.",
                          "500 Internal Server Error", "text/html")
            elif request.headers.get("upgrade", "").lower() == "websocket":
                serve_websocket(peer, request)
                return
            else:
                answer_http(peer, request)
            if SCRIPT["close_after_body"]:
                return
    except (HangUp, OSError):
        pass
    finally:
        sock.close()


# ---------------------------------------------------------------- HTTP

def host_allowed(host):
    """The browser answers only requests whose Host names an IP address or localhost."""
    if host is None:
        return True
    name = host.rsplit(":", 1)[0] if host.count(":") == 1 else host
    name = name[1:name.index("]")] if name.startswith("[") and "]" in name else name
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return name == "localhost"
    return True


def send_http(peer, body, status="200 OK", content_type="application/json; charset=UTF-8"):
    # The browser writes its headers without a blank after the colon.
    head = (f"HTTP/1.1 {status}\r\nContent-Length:{len(body)}\r\n"
            f"Content-Type:{content_type}\r\n\r\n")
    peer.send(head.encode() + body)


def send_json(peer, value):
    send_http(peer, json.dumps(value, indent=3).encode())


def answer_http(peer, request):
    if request.path in ("/json/list", "/json", "/json/list/", "/json/"):
        TARGET_LISTS[SCRIPT["target_list"]](peer)
    elif request.path == "/json/version":
        send_json(peer, version_info(peer))
    else:
        send_http(peer, f"Unknown command: {request.path}".encode(), "404 Not Found", "text/html")


def port_of(peer):
    return peer.sock.getsockname()[1]


def target(peer, kind, target_id, url, with_socket=True):
    port = port_of(peer)
    entry = {
        "description": "",
        "devtoolsFrontendUrl": f"/devtools/inspector.html?ws=127.0.0.1:{port}/devtools/page/{target_id}",
        "id": target_id,
        "title": url,
        "type": kind,
        "url": url,
    }
    if with_socket:
        entry["webSocketDebuggerUrl"] = f"ws://127.0.0.1:{port}/devtools/page/{target_id}"
    return entry


def targets(peer, pages):
    found = []
    if SCRIPT["service_worker"]:
        found.append(target(peer, "service_worker", WORKER_ID, "https://app.example/sw.js"))
    if time.monotonic() - listening_since >= SCRIPT["page_after_ms"] / 1000:
        found.extend(pages)
    return found


def list_normal(peer):
    send_json(peer, targets(peer, [target(peer, "page", PAGE_ID, "about:blank")]))


def list_page_without_url(peer):
    pages = [target(peer, "page", uuid.uuid4().hex.upper(), "about:blank", with_socket=False),
             target(peer, "page", PAGE_ID, "about:blank")]
    send_json(peer, targets(peer, pages))


def list_not_array(peer):
    send_json(peer, {"targets": targets(peer, [target(peer, "page", PAGE_ID, "about:blank")])})


def list_invalid_json(peer):
    send_http(peer, b'[ {\n   "description": "",\n   "id": "')


def list_refuse(peer):
    # Linger 0 turns the close into a reset: the reader sees ECONNRESET.
    peer.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    raise HangUp


def list_hang_up(peer):
    raise HangUp


TARGET_LISTS = {
    "normal": list_normal,
    "page_without_url": list_page_without_url,
    "not_array": list_not_array,
    "invalid_json": list_invalid_json,
    "refuse": list_refuse,
    "hang_up": list_hang_up,
}


def version_info(peer):
    return {
        "Browser": "HeadlessChrome/126.0.6478.126",
        "Protocol-Version": "1.3",
        "User-Agent": "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                      "HeadlessChrome/126.0.6478.126 Safari/537.36",
        "V8-Version": "12.6.228.21",
        "WebKit-Version": "537.36 (@a7d3f0d6c0e5b1c1e8a4f0c2b7e3e5d9a1b2c3d4)",
        "webSocketDebuggerUrl": f"ws://127.0.0.1:{port_of(peer)}/devtools/browser/{BROWSER_ID}",
    }


# ---------------------------------------------------------------- WebSocket

def accept_for(key):
    return base64.b64encode(hashlib.sha1((key + WS_GUID).encode()).digest()).decode()


def upgrade_head(accept):
    return ("HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Accept: {accept}\r\n\r\n").encode()


def handshake_normal(peer, key):
    peer.send(upgrade_head(accept_for(key)))


def handshake_truncated(peer, key):
    peer.send(upgrade_head(accept_for(key))[:45])
    raise HangUp


def handshake_wrong_accept(peer, key):
    peer.send(upgrade_head(accept_for(key + "x")))


HANDSHAKES = {
    "normal": handshake_normal,
    "truncated": handshake_truncated,
    "wrong_accept": handshake_wrong_accept,
}


def frame(opcode, payload, fin=True):
    head = bytes([(0x80 if fin else 0) | opcode])
    size = len(payload)
    if size < 126:
        head += bytes([size])
    elif size < 65536:
        head += bytes([126]) + struct.pack(">H", size)
    else:
        head += bytes([127]) + struct.pack(">Q", size)
    return head + payload


def serve_websocket(peer, request):
    lasting = request.path in (f"/devtools/page/{PAGE_ID}", f"/devtools/browser/{BROWSER_ID}")
    with TARGETS_LOCK:
        created = request.path.removeprefix("/devtools/page/") in CREATED_TARGETS
    if not lasting and not created:
        send_http(peer, f"No such target id: {request.path}".encode(), "404 Not Found", "text/html")
        raise HangUp
    key = request.headers.get("sec-websocket-key")
    if not key:
        send_http(peer, b"Missing Sec-WebSocket-Key", "400 Bad Request", "text/html")
        raise HangUp
    HANDSHAKES[SCRIPT["handshake"]](peer, key)
    try:
        Session(peer).run()
    except (HangUp, OSError):
        pass
    # The first page and the browser are the fake's reason to live: when one
    # of their conversations ends, so does the fake.
    if lasting:
        stop(0)


class Session:
    """The DevTools conversation over one WebSocket."""

    def __init__(self, peer):
        self.peer = peer
        self.silent = False
        self.metrics = {"width": 800, "height": 600, "deviceScaleFactor": 1, "mobile": False}
        self.touch_points = 0

    def run(self):
        if SCRIPT["after_handshake"]:
            FAULTS[SCRIPT["after_handshake"]](self, None)
        while True:
            text = self.receive()
            log_message(text)
            if not self.silent:
                self.answer(text)

    def receive(self):
        """The next text message; pings are answered, a Close or a bad frame ends the session."""
        message, started = bytearray(), False
        while True:
            first, second = self.peer.take(2)
            fin, opcode, size = first & 0x80, first & 0x0F, second & 0x7F
            if size == 126:
                size = struct.unpack(">H", self.peer.take(2))[0]
            elif size == 127:
                size = struct.unpack(">Q", self.peer.take(8))[0]
            # Clients must mask, and the browser drops those that do not.
            if not second & 0x80 or size > MESSAGE_LIMIT:
                raise HangUp
            mask = self.peer.take(4)
            payload = unmask(self.peer.take(size), mask)
            if opcode == 9:
                self.peer.send(frame(10, payload))
                continue
            if opcode == 10:
                continue
            if opcode in (1, 2):
                message, started = bytearray(payload), True
            elif opcode == 0 and started and len(message) + size <= MESSAGE_LIMIT:
                message += payload
            else:
                raise HangUp
            if fin:
                try:
                    return message.decode("utf-8")
                except UnicodeDecodeError:
                    raise HangUp from None

    def send_text(self, text):
        self.peer.send(frame(1, text.encode()))

    def send_reply(self, text):
        if not SCRIPT["fragment_replies"]:
            self.send_text(text)
            return
        data = text.encode()
        one, two = len(data) // 3, 2 * len(data) // 3
        self.peer.send(frame(1, data[:one], fin=False) + frame(9, b"fake-ping")
                       + frame(0, data[one:two], fin=False) + frame(0, data[two:]))

    def answer(self, text):
        try:
            request = json.loads(text)
        except ValueError:
            self.send_text(dumps({"error": {"code": -32700, "message": "JSON: invalid token"}}))
            return
        if (not isinstance(request, dict) or not is_integer(request.get("id"))
                or not isinstance(request.get("method"), str)):
            self.send_text(dumps({"error": {"code": -32600,
                                            "message": "Message must have integer 'id' property"}}))
            return
        method = request["method"]
        with TARGETS_LOCK:
            count = CALLS[method] = CALLS.get(method, 0) + 1
        fault = scripted("faults", method, count)
        if fault:
            FAULTS[fault](self, request)
            return
        time.sleep(scripted("delay_ms", method, count, 0) / 1000)
        for message in scripted("before_reply", method, count, []):
            self.send_text(message if isinstance(message, str) else dumps(message))
        members = scripted("replies", method, count)
        if members is None:
            params = request.get("params")
            members = self.default_reply(method, params if isinstance(params, dict) else {})
        self.send_reply(dumps({"id": request["id"], **members}))

    def default_reply(self, method, params):
        handler = REPLIES.get(method)
        if handler is None and method.startswith("Emulation."):
            handler = reply_empty
        if handler is None:
            return {"error": {"code": -32601, "message": f"'{method}' wasn't found"}}
        for name, kind in REQUIRED.get(method, {}).items():
            if not has_kind(params.get(name), kind):
                return {"error": {"code": -32602, "message": "Invalid parameters",
                                  "data": f"Failed to deserialize params.{name} - BINDINGS: "
                                          f"mandatory field missing or of the wrong type"}}
        result = handler(self, params)
        if result is None:
            return {"error": {"code": -32602, "message": "Failed to find browser context"}}
        return {"result": result}


def unmask(data, mask):
    key = (mask * (len(data) // 4 + 1))[:len(data)]
    return (int.from_bytes(data, "big") ^ int.from_bytes(key, "big")).to_bytes(len(data), "big")


def scripted(member, method, count, default=None):
    table = SCRIPT[member]
    for key in (f"{method}#{count}", method, "*"):
        if key in table:
            return table[key]
    return default


def dumps(value):
    return json.dumps(value, separators=(",", ":"))


def is_integer(value):
    return isinstance(value, int) and not isinstance(value, bool)


def has_kind(value, kind):
    if kind == "integer":
        return is_integer(value)
    if kind == "number":
        return is_integer(value) or isinstance(value, float)
    if kind == "boolean":
        return isinstance(value, bool)
    return isinstance(value, str)


def log_message(text):
    if not SCRIPT["log"]:
        return
    try:
        line = text if "\n" not in text and "\r" not in text else dumps(json.loads(text))
        json.loads(line)
    except ValueError:
        line = dumps({"unparsable": text})
    fd = os.open(SCRIPT["log"], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, (line + "\n").encode())
    finally:
        os.close(fd)


# ---------------------------------------------------------------- default replies

REQUIRED = {
    "Emulation.setDeviceMetricsOverride": {"width": "integer", "height": "integer",
                                           "deviceScaleFactor": "number", "mobile": "boolean"},
    "Emulation.setUserAgentOverride": {"userAgent": "string"},
    "Emulation.setTouchEmulationEnabled": {"enabled": "boolean"},
    "Emulation.setTimezoneOverride": {"timezoneId": "string"},
    "Page.addScriptToEvaluateOnNewDocument": {"source": "string"},
    "Page.navigate": {"url": "string"},
    "Runtime.evaluate": {"expression": "string"},
    "Target.createTarget": {"url": "string"},
    "Target.disposeBrowserContext": {"browserContextId": "string"},
}


def reply_empty(session, params):
    return {}


def reply_metrics(session, params):
    session.metrics = {name: params[name] for name in ("width", "height", "deviceScaleFactor", "mobile")}
    return {}


def reply_touch(session, params):
    points = params.get("maxTouchPoints", 1)
    session.touch_points = points if params["enabled"] else 0
    return {}


def reply_add_script(session, params):
    return {"identifier": "1"}


def reply_navigate(session, params):
    return {"frameId": "F1", "loaderId": "L1"}


def reply_create_context(session, params):
    context = uuid.uuid4().hex.upper()
    with TARGETS_LOCK:
        CONTEXTS.add(context)
    return {"browserContextId": context}


def reply_create_target(session, params):
    target_id = uuid.uuid4().hex.upper()
    with TARGETS_LOCK:
        if params.get("browserContextId") not in CONTEXTS:
            return None
        CREATED_TARGETS[target_id] = params["browserContextId"]
    return {"targetId": target_id}


def reply_dispose_context(session, params):
    context = params["browserContextId"]
    with TARGETS_LOCK:
        if context not in CONTEXTS:
            return None
        CONTEXTS.discard(context)
        for target_id in [t for t, c in CREATED_TARGETS.items() if c == context]:
            del CREATED_TARGETS[target_id]
    return {}


def reply_version(session, params):
    return {"protocolVersion": "1.3", "product": "HeadlessChrome/126.0.6478.126",
            "revision": "@a7d3f0d6c0e5b1c1e8a4f0c2b7e3e5d9a1b2c3d4",
            "userAgent": "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                         "HeadlessChrome/126.0.6478.126 Safari/537.36",
            "jsVersion": "12.6.228.21"}


def reply_evaluate(session, params):
    if params.get("awaitPromise") is True:
        return {"result": {"type": "string", "value": "quiet"}}
    if params["expression"] == PROBE:
        metrics = session.metrics
        return {"result": {"type": "object", "value": {
            "w": metrics["width"], "h": metrics["height"], "d": metrics["deviceScaleFactor"],
            "t": session.touch_points}}}
    return {"result": {"type": "undefined"}}


def reply_screenshot(session, params):
    if SCRIPT["screenshot_size"]:
        width, height = SCRIPT["screenshot_size"]
    else:
        scale = session.metrics["deviceScaleFactor"]
        width = round(session.metrics["width"] * scale)
        height = round(session.metrics["height"] * scale)
    return {"data": screenshot_base64(width, height, SCRIPT["screenshot_pad_bytes"])}


REPLIES = {
    "Page.enable": reply_empty,
    "Runtime.enable": reply_empty,
    "Network.enable": reply_empty,
    "Emulation.setDeviceMetricsOverride": reply_metrics,
    "Emulation.setTouchEmulationEnabled": reply_touch,
    "Page.addScriptToEvaluateOnNewDocument": reply_add_script,
    "Page.navigate": reply_navigate,
    "Browser.getVersion": reply_version,
    "Runtime.evaluate": reply_evaluate,
    "Page.captureScreenshot": reply_screenshot,
    "Target.createBrowserContext": reply_create_context,
    "Target.createTarget": reply_create_target,
    "Target.disposeBrowserContext": reply_dispose_context,
}


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


@functools.lru_cache(maxsize=8)
def screenshot_base64(width, height, pad_bytes):
    """A solid 8-bit RGB PNG, as the browser gives for a plain opaque page."""
    row = b"\x00" + b"\xf4\xf6\xf8" * width
    deflate = zlib.compressobj(1)
    pixels = b"".join([deflate.compress(row) for _ in range(height)] + [deflate.flush()])
    png = (b"\x89PNG\r\n\x1a\n"
           + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + (png_chunk(b"paDd", bytes(pad_bytes)) if pad_bytes else b"")
           + png_chunk(b"IDAT", pixels)
           + png_chunk(b"IEND", b""))
    return base64.b64encode(png).decode()


# ---------------------------------------------------------------- faults

def fault_silent(session, request):
    session.silent = True


def fault_stop_reading(session, request):
    idle_forever()


def fault_garbage(session, request):
    session.peer.send(b"\x83\x04junk" + b"\xde\xad\xbe\xef" * 4)
    session.silent = True


def fault_huge_frame(session, request):
    session.peer.send(b"\x81\x7f" + struct.pack(">Q", 1 << 63))
    session.silent = True


def fault_invalid_utf8(session, request):
    request_id = request["id"] if request else 1
    session.peer.send(frame(1, b'{"id":%d,"result":{"value":"\xc3\x28\xff"}}' % request_id))
    session.silent = True


def fault_close(session, request):
    session.peer.send(frame(8, struct.pack(">H", 1000)))
    session.silent = True


def fault_exit(session, request):
    stop(3)


def fault_sigkill(session, request):
    os.kill(os.getpid(), signal.SIGKILL)


FAULTS = {
    "silent": fault_silent,
    "stop_reading": fault_stop_reading,
    "garbage": fault_garbage,
    "huge_frame": fault_huge_frame,
    "invalid_utf8": fault_invalid_utf8,
    "close": fault_close,
    "exit": fault_exit,
    "sigkill": fault_sigkill,
}


def uses_fault(name):
    return SCRIPT["after_handshake"] == name or name in SCRIPT["faults"].values()


# ---------------------------------------------------------------- script and main

def check_script(script):
    """Raises ValueError for a script the fake would not understand."""
    if not isinstance(script, dict):
        raise ValueError("the script must be a JSON object")
    for name in script:
        if name not in DEFAULTS:
            raise ValueError(f"unknown script member {name!r}")
    for name in ("idle_limit_ms", "endpoint_delay_ms", "page_after_ms", "screenshot_pad_bytes"):
        if name in script and not (is_integer(script[name]) and script[name] >= 0):
            raise ValueError(f"{name} must be a non-negative integer")
    size = script.get("screenshot_size")
    if size is not None and not (isinstance(size, list) and len(size) == 2
                                 and all(is_integer(v) and v >= 0 for v in size)):
        raise ValueError("screenshot_size must be [width, height]")
    choices = {"startup": STARTUPS, "target_list": TARGET_LISTS, "handshake": HANDSHAKES}
    for name, table in choices.items():
        if name in script and script[name] not in table:
            raise ValueError(f"{name}: unknown behaviour {script[name]!r}")
    for name in ("faults", "replies", "before_reply", "delay_ms"):
        if not isinstance(script.get(name, {}), dict):
            raise ValueError(f"{name} must be an object keyed by method")
    faults = list(script.get("faults", {}).values()) + [script.get("after_handshake")]
    for fault in faults:
        if fault is not None and fault not in FAULTS:
            raise ValueError(f"unknown fault {fault!r}")
    for members in script.get("replies", {}).values():
        if not isinstance(members, dict):
            raise ValueError("each reply must be an object of reply members")
    for messages in script.get("before_reply", {}).values():
        if not isinstance(messages, list):
            raise ValueError("each before_reply entry must be a list of messages")
    for pause in script.get("delay_ms", {}).values():
        if not (is_integer(pause) and pause >= 0):
            raise ValueError("each delay_ms entry must be a non-negative integer")


def load_script():
    path = os.environ.get("FAKE_BROWSER_SCRIPT")
    if not path:
        return dict(DEFAULTS)
    try:
        with open(path, encoding="utf-8") as file:
            script = json.load(file)
        check_script(script)
    except (OSError, ValueError) as error:
        raise ValueError(f"script {path}: {error}") from None
    script = {**DEFAULTS, **script}
    if script["once"]:
        try:
            os.close(os.open(script["once"], os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return {**DEFAULTS, "log": script["log"], "pid_file": script["pid_file"]}
    return script


def requested_port(args):
    port = 0
    for arg in args:
        if arg.startswith("--remote-debugging-port="):
            value = arg.split("=", 1)[1]
            if not value.isdigit() or int(value) > 65535:
                raise ValueError(f"bad DevTools port {value!r}")
            port = int(value)
    return port


def watch(parent, idle_limit):
    while True:
        time.sleep(0.2)
        if os.getppid() != parent or time.monotonic() - last_activity > idle_limit:
            stop(0)


def main():
    if "--version" in sys.argv[1:]:
        print("Chromium 0.0.0.0 (fake DevTools peer)", flush=True)
        return
    parent = os.getppid()
    try:
        SCRIPT.update(load_script())
        port = requested_port(sys.argv[1:])
    except ValueError as error:
        say(f"fake_browser: {error}")
        stop(2)
    if SCRIPT["pid_file"]:
        with open(SCRIPT["pid_file"], "w", encoding="utf-8") as file:
            file.write(f"{os.getpid()}\n")
    if SCRIPT["fork_helper"] and os.fork() == 0:
        time.sleep(SCRIPT["idle_limit_ms"] / 1000)
        stop(0)
    threading.Thread(target=watch, args=(parent, SCRIPT["idle_limit_ms"] / 1000), daemon=True).start()
    STARTUPS[SCRIPT["startup"]](port)


if __name__ == "__main__":
    main()
