"""The scripted fake browser itself: what it prints, serves and answers, how it
misbehaves on request, and that it never outlives its test."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fake_browser"))

import base64
import hashlib
import json
import os
import re
import select
import signal
import socket
import struct
import subprocess
import time
import zlib

import pytest

from fakes import make_fake_browser, read_log

PROBE = "({w:innerWidth,h:innerHeight,d:devicePixelRatio,t:(navigator.maxTouchPoints||0)})"
ENDPOINT = re.compile(r"DevTools listening on ws://127\.0\.0\.1:(\d+)/devtools/browser/[0-9a-f-]{36}")
WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


class Started:
    def __init__(self, proc, lines, port):
        self.proc, self.lines, self.port = proc, lines, port


def read_stderr(proc, until_endpoint=True, timeout=5.0):
    """Lines of standard error up to the endpoint line, the end of the stream or the timeout."""
    deadline = time.monotonic() + timeout
    data = b""
    while time.monotonic() < deadline:
        text = data.decode()
        if until_endpoint and ENDPOINT.search(text) and text.endswith("\n"):
            break
        ready, _, _ = select.select([proc.stderr], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        chunk = os.read(proc.stderr.fileno(), 65536)
        if not chunk:
            break
        data += chunk
    lines = data.decode().split("\n")
    return lines[:-1] if lines[-1] == "" else lines


@pytest.fixture
def start():
    procs = []

    def launch(wrapper, until_endpoint=True, timeout=5.0):
        proc = subprocess.Popen([wrapper, "--remote-debugging-port=0", "--headless", "--no-sandbox",
                                 "--disable-gpu", "about:blank"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        procs.append(proc)
        lines = read_stderr(proc, until_endpoint, timeout)
        found = [ENDPOINT.fullmatch(line) for line in lines]
        ports = [int(m.group(1)) for m in found if m]
        return Started(proc, lines, ports[0] if ports else None)

    yield launch
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        proc.stderr.close()


def http_get(port, path, host=None, timeout=2.0):
    """Sends one GET; returns (status line, headers, body, socket still open)."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    host = host or f"127.0.0.1:{port}"
    sock.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        assert chunk, "connection ended in the head"
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    lines = head.decode().split("\r\n")
    headers = {name.strip().lower(): value.strip() for name, _, value in (l.partition(":") for l in lines[1:])}
    length = int(headers["content-length"])
    while len(body) < length:
        chunk = sock.recv(65536)
        assert chunk, "connection ended in the body"
        body += chunk
    return lines[0], headers, body, sock


class WsClient:
    """A minimal client side of RFC 6455, enough to talk to the fake."""

    def __init__(self, url, timeout=5.0):
        match = re.fullmatch(r"ws://127\.0\.0\.1:(\d+)(/.*)", url)
        port, path = int(match.group(1)), match.group(2)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {self.key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        self.buf = b""
        self.pings = 0

    def read_head(self):
        """The response head, or None when the peer closed before finishing it."""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        return head.decode()

    def expected_accept(self):
        return base64.b64encode(hashlib.sha1((self.key + WS_GUID).encode()).digest()).decode()

    def take(self, count):
        while len(self.buf) < count:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buf += chunk
        out, self.buf = self.buf[:count], self.buf[count:]
        return out

    def frame(self):
        first, second = self.take(2)
        assert not second & 0x80, "server frames are not masked"
        size = second & 0x7F
        if size == 126:
            size = struct.unpack(">H", self.take(2))[0]
        elif size == 127:
            size = struct.unpack(">Q", self.take(8))[0]
        return first & 0x80, first & 0x0F, self.take(size)

    def send(self, opcode, payload):
        mask = os.urandom(4)
        size = len(payload)
        head = bytes([0x80 | opcode])
        if size < 126:
            head += bytes([0x80 | size])
        elif size < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", size)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", size)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def message(self):
        parts = b""
        while True:
            fin, opcode, payload = self.frame()
            if opcode == 9:
                self.pings += 1
                self.send(10, payload)
                continue
            assert opcode in (0, 1), f"unexpected opcode {opcode}"
            parts += payload
            if fin:
                return parts.decode()

    def call(self, request_id, method, params):
        text = json.dumps({"id": request_id, "method": method, "params": params}, separators=(",", ":"))
        self.send(1, text.encode())
        return text


def attach(port):
    _, _, body, sock = http_get(port, "/json/list")
    sock.close()
    page = next(t for t in json.loads(body) if t["type"] == "page")
    ws = WsClient(page["webSocketDebuggerUrl"])
    head = ws.read_head()
    assert head.split("\r\n")[0].split(" ")[1] == "101"
    assert f"Sec-WebSocket-Accept: {ws.expected_accept()}" in head.split("\r\n")
    return ws


def png_facts(data):
    """(width, height, raw pixel bytes) of a PNG, checking its chunk CRCs."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, []
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + size]
        (crc,) = struct.unpack(">I", data[pos + 8 + size:pos + 12 + size])
        assert crc == zlib.crc32(kind + body), f"bad CRC in {kind}"
        chunks.append((kind, body))
        pos += 12 + size
    assert chunks[0][0] == b"IHDR" and chunks[-1] == (b"IEND", b"")
    width, height, depth, colour = struct.unpack(">IIBB", chunks[0][1][:10])
    assert (depth, colour) == (8, 2)
    pixels = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))
    return width, height, pixels


# ---------------------------------------------------------------- start-up and HTTP

def test_endpoint_line_follows_noise_and_an_empty_line(tmp_path, start):
    fake = start(make_fake_browser(tmp_path))
    assert fake.port is not None
    endpoint = next(i for i, line in enumerate(fake.lines) if ENDPOINT.fullmatch(line))
    assert any("Failed to connect to the bus" in line for line in fake.lines[:endpoint])
    assert fake.lines[endpoint - 1] == ""
    socket.create_connection(("127.0.0.1", fake.port), timeout=2).close()


@pytest.mark.parametrize("close_after_body", [False, True])
def test_target_list_announces_its_length_and_keeps_the_connection_as_scripted(tmp_path, start,
                                                                               close_after_body):
    fake = start(make_fake_browser(tmp_path, close_after_body=close_after_body, service_worker=True))
    status, headers, body, sock = http_get(fake.port, "/json/list")
    with sock:
        assert status.split(" ")[1] == "200"
        assert len(body) == int(headers["content-length"])
        kinds = [t["type"] for t in json.loads(body)]
        assert kinds == ["service_worker", "page"]
        page = json.loads(body)[1]
        assert page["webSocketDebuggerUrl"] == f"ws://127.0.0.1:{fake.port}/devtools/page/{page['id']}"
        sock.settimeout(0.3)
        if close_after_body:
            assert sock.recv(1) == b""
        else:
            with pytest.raises(TimeoutError):
                sock.recv(1)


@pytest.mark.parametrize("script, check", [
    ({"target_list": "not_array"}, lambda body: isinstance(json.loads(body), dict)),
    ({"target_list": "page_without_url"},
     lambda body: ["webSocketDebuggerUrl" in t for t in json.loads(body)] == [False, True]),
    ({"page_after_ms": 60000}, lambda body: json.loads(body) == []),
    ({"target_list": "invalid_json"}, lambda body: pytest.raises(ValueError, json.loads, body) is not None),
])
def test_target_list_faults(tmp_path, start, script, check):
    fake = start(make_fake_browser(tmp_path, **script))
    _, _, body, sock = http_get(fake.port, "/json/list")
    sock.close()
    assert check(body)


@pytest.mark.parametrize("host, status", [
    ("localhost:9222", "200"), ("[::1]:9222", "200"), ("127.0.0.1", "200"),
    ("example.com:9222", "500"), ("localhost.example", "500"),
])
def test_target_list_is_served_only_to_an_ip_or_localhost_host(tmp_path, start, host, status):
    fake = start(make_fake_browser(tmp_path))
    status_line, _, _, sock = http_get(fake.port, "/json/list", host=host)
    sock.close()
    assert status_line.split(" ")[1] == status


@pytest.mark.parametrize("startup", ["exit_at_once", "exit_without_port"])
def test_startups_that_end_without_a_port(tmp_path, start, startup):
    fake = start(make_fake_browser(tmp_path, startup=startup), until_endpoint=False)
    assert fake.proc.wait(timeout=5) == 1
    assert not any("ws://" in line for line in fake.lines)
    assert (fake.lines == []) == (startup == "exit_at_once")


def test_no_port_keeps_the_fake_alive_and_silent_about_its_port(tmp_path, start):
    fake = start(make_fake_browser(tmp_path, startup="no_port"), timeout=0.5)
    assert fake.lines and fake.port is None
    assert fake.proc.poll() is None


def test_bad_port_lines_come_before_the_working_endpoint(tmp_path, start):
    fake = start(make_fake_browser(tmp_path, startup="bad_port_first"))
    urls = [line for line in fake.lines if "ws://" in line]
    bad = [re.search(r"ws://[^/]*:([^/]*)/", line).group(1) for line in urls[:-1]]
    assert bad and all(not port.isdigit() or int(port) > 65535 for port in bad)
    socket.create_connection(("127.0.0.1", fake.port), timeout=2).close()


# ---------------------------------------------------------------- DevTools conversation

DEFAULT_CONVERSATION = [
    ("Page.enable", {}, {"result": {}}),
    ("Runtime.evaluate", {"expression": PROBE, "returnByValue": True},
     {"result": {"result": {"type": "object", "value": {"w": 800, "h": 600, "d": 1, "t": 0}}}}),
    ("Emulation.setDeviceMetricsOverride", {"deviceScaleFactor": 3, "height": 956, "mobile": True, "width": 440},
     {"result": {}}),
    ("Emulation.setTouchEmulationEnabled", {"enabled": True, "maxTouchPoints": 5}, {"result": {}}),
    ("Emulation.setLocaleOverride", {"locale": "de-DE"}, {"result": {}}),
    ("Runtime.evaluate", {"awaitPromise": True, "expression": "settle()", "returnByValue": True},
     {"result": {"result": {"type": "string", "value": "quiet"}}}),
    ("Runtime.evaluate", {"expression": PROBE, "returnByValue": True},
     {"result": {"result": {"type": "object", "value": {"w": 440, "h": 956, "d": 3, "t": 5}}}}),
    ("Emulation.setTouchEmulationEnabled", {"enabled": False, "maxTouchPoints": 1}, {"result": {}}),
    ("Runtime.evaluate", {"expression": PROBE, "returnByValue": True},
     {"result": {"result": {"type": "object", "value": {"w": 440, "h": 956, "d": 3, "t": 0}}}}),
    ("Runtime.evaluate", {"expression": "1+1"}, {"result": {"result": {"type": "undefined"}}}),
    ("Page.addScriptToEvaluateOnNewDocument", {"source": "0"}, {"result": {"identifier": "1"}}),
    ("Page.navigate", {"url": "about:blank"}, {"result": {"frameId": "F1", "loaderId": "L1"}}),
    ("Page.nonsense", {}, {"error": {"code": -32601, "message": "'Page.nonsense' wasn't found"}}),
]


def test_default_replies_follow_the_emulation_and_the_log_keeps_each_request(tmp_path, start):
    log = tmp_path / "log.jsonl"
    fake = start(make_fake_browser(tmp_path, log=str(log)))
    ws = attach(fake.port)
    sent = []
    for request_id, (method, params, expected) in enumerate(DEFAULT_CONVERSATION, start=1):
        sent.append(ws.call(request_id, method, params))
        assert json.loads(ws.message()) == {"id": request_id, **expected}, method
    assert log.read_text().splitlines() == sent
    assert read_log(log) == [json.loads(text) for text in sent]


@pytest.mark.parametrize("width, height, scale", [(440, 956, 3), (1920, 1080, 2)])
def test_screenshot_is_a_valid_png_of_the_emulated_size(tmp_path, start, width, height, scale):
    fake = start(make_fake_browser(tmp_path))
    ws = attach(fake.port)
    ws.call(1, "Emulation.setDeviceMetricsOverride",
            {"deviceScaleFactor": scale, "height": height, "mobile": False, "width": width})
    assert json.loads(ws.message()) == {"id": 1, "result": {}}
    ws.call(2, "Page.captureScreenshot", {"captureBeyondViewport": False, "format": "png"})
    reply = json.loads(ws.message())
    png_width, png_height, pixels = png_facts(base64.b64decode(reply["result"]["data"], validate=True))
    assert (png_width, png_height) == (width * scale, height * scale)
    assert len(pixels) == png_height * (1 + 3 * png_width)


def test_scripted_replies_events_and_fragments(tmp_path, start):
    event = {"method": "Page.frameNavigated", "params": {"frame": {"id": "F1"}}}
    fake = start(make_fake_browser(
        tmp_path, fragment_replies=True, screenshot_size=[7, 5], screenshot_pad_bytes=70000,
        replies={"Page.enable#2": {}, "Emulation.setLocaleOverride": {"error": {"code": -32601}}},
        before_reply={"Page.navigate": [event, {"id": 99, "result": {}}, "not json"]}))
    ws = attach(fake.port)
    ws.call(1, "Page.enable", {})
    assert json.loads(ws.message()) == {"id": 1, "result": {}}
    ws.call(2, "Page.enable", {})
    assert json.loads(ws.message()) == {"id": 2}
    ws.call(3, "Emulation.setLocaleOverride", {"locale": "en-US"})
    assert json.loads(ws.message()) == {"id": 3, "error": {"code": -32601}}
    ws.call(4, "Page.navigate", {"url": "about:blank"})
    assert [ws.message() for _ in range(4)] == [json.dumps(event, separators=(",", ":")), '{"id":99,"result":{}}',
                                                "not json", '{"id":4,"result":{"frameId":"F1","loaderId":"L1"}}']
    ws.call(5, "Page.captureScreenshot", {"format": "png"})
    data = base64.b64decode(json.loads(ws.message())["result"]["data"], validate=True)
    assert len(data) > 70000 and png_facts(data)[:2] == (7, 5)
    assert ws.pings == 5


# ---------------------------------------------------------------- WebSocket faults

@pytest.mark.parametrize("fault, check", [
    ("huge_frame", lambda ws: ws.take(10) == b"\x81\x7f" + struct.pack(">Q", 1 << 63)),
    ("close", lambda ws: ws.frame()[1] == 8),
    ("garbage", lambda ws: ws.frame()[1] == 3),
    ("invalid_utf8", lambda ws: pytest.raises(UnicodeDecodeError, ws.message) is not None),
])
def test_faults_replace_the_reply(tmp_path, start, fault, check):
    fake = start(make_fake_browser(tmp_path, faults={"Page.enable": fault}))
    ws = attach(fake.port)
    ws.call(1, "Page.enable", {})
    assert check(ws)


def test_silent_after_handshake_reads_and_logs_but_never_answers(tmp_path, start):
    log = tmp_path / "log.jsonl"
    fake = start(make_fake_browser(tmp_path, log=str(log), after_handshake="silent"))
    ws = attach(fake.port)
    ws.call(1, "Page.enable", {})
    ws.sock.settimeout(0.3)
    with pytest.raises(TimeoutError):
        ws.sock.recv(1)
    assert [entry["method"] for entry in read_log(log)] == ["Page.enable"]


@pytest.mark.parametrize("handshake", ["truncated", "wrong_accept"])
def test_handshake_faults(tmp_path, start, handshake):
    fake = start(make_fake_browser(tmp_path, handshake=handshake))
    _, _, body, sock = http_get(fake.port, "/json/list")
    sock.close()
    ws = WsClient(json.loads(body)[0]["webSocketDebuggerUrl"])
    head = ws.read_head()
    if handshake == "truncated":
        assert head is None and ws.buf.startswith(b"HTTP/1.1 101")
    else:
        accept = next(line.split(":", 1)[1].strip() for line in head.split("\r\n") if line.startswith("Sec-"))
        assert accept != ws.expected_accept()


@pytest.mark.parametrize("fault, returncode", [("exit", 3), ("sigkill", -signal.SIGKILL)])
def test_dying_faults_end_the_process(tmp_path, start, fault, returncode):
    fake = start(make_fake_browser(tmp_path, faults={"Browser.getVersion": fault}))
    ws = attach(fake.port)
    ws.call(1, "Browser.getVersion", {})
    with pytest.raises(EOFError):
        ws.frame()
    assert fake.proc.wait(timeout=5) == returncode


def test_unmasked_client_frame_ends_the_session_and_the_fake(tmp_path, start):
    fake = start(make_fake_browser(tmp_path))
    ws = attach(fake.port)
    ws.sock.sendall(b"\x81\x02{}")
    with pytest.raises(EOFError):
        ws.frame()
    assert fake.proc.wait(timeout=5) == 0


# ---------------------------------------------------------------- lifetime

def gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def test_sigkill_leaves_no_process(tmp_path, start):
    fake = start(make_fake_browser(tmp_path))
    fake.proc.kill()
    assert fake.proc.wait(timeout=5) == -signal.SIGKILL
    with pytest.raises(ProcessLookupError):
        os.kill(fake.proc.pid, 0)


def test_exits_when_its_websocket_closes(tmp_path, start):
    fake = start(make_fake_browser(tmp_path))
    ws = attach(fake.port)
    ws.send(8, b"")
    assert fake.proc.wait(timeout=5) == 0


def test_exits_after_its_idle_limit(tmp_path, start):
    fake = start(make_fake_browser(tmp_path, startup="no_port", idle_limit_ms=200), until_endpoint=False,
                 timeout=0.1)
    assert fake.proc.wait(timeout=5) == 0


def test_exits_when_its_parent_goes_away(tmp_path):
    pid_file = tmp_path / "fake.pid"
    wrapper = make_fake_browser(tmp_path, pid_file=str(pid_file))
    # The shell waits until the fake has started, then leaves it an orphan.
    subprocess.run(["sh", "-c", '"$0" --remote-debugging-port=0 2>/dev/null & '
                                'while [ ! -s "$1" ]; do sleep 0.05; done', wrapper, str(pid_file)],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=10, check=True)
    pid = int(pid_file.read_text())
    deadline = time.monotonic() + 5
    while not gone(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if not gone(pid):
        os.kill(pid, signal.SIGKILL)
        pytest.fail("the orphaned fake kept running")
