"""Captures through the real headless shell, end to end from Python."""
import hashlib
import json
import struct
import threading

import pytest

from conftest import BROWSER, needs_browser, zombie_children
from kestrelite import capture_json, devices_json

pytestmark = needs_browser

STATIC_PAGE = """<!doctype html>
<html><head><meta name="viewport" content="width=device-width, initial-scale=1">
<style>body { margin: 0; font: 16px sans-serif; background: #f4f1ea; }
header { background: #2b5d8a; color: white; padding: 24px; }</style></head>
<body><header><h1>Store page</h1></header><p id="n"></p>
<script>document.getElementById('n').textContent = Math.random() + ' ' + Date.now();</script>
</body></html>"""


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return struct.unpack(">II", head[16:24])


def capture(server, out, ids, **kwargs):
    return json.loads(capture_json(server.url("/page.html"), str(out), ids, browser=BROWSER, **kwargs))


def test_phone_tablet_and_desktop_are_exact_and_reproducible(page_server, tmp_path, process_mark):
    page_server.pages["/page.html"] = STATIC_PAGE
    ids = ["apple-iphone-6-9-1320", "apple-ipad-13-2064", "apple-mac-1440"]
    first = capture(page_server, tmp_path / "a", ids)
    second = capture(page_server, tmp_path / "b", ids)
    assert first["ok"] and second["ok"], first
    presets = {d["id"]: d for d in json.loads(devices_json())}
    for one, two in zip(first["results"], second["results"]):
        shot = one["capture"]
        device = presets[one["device_id"]]
        assert shot["expected"] == shot["actual"] == [device["output_width"], device["output_height"]]
        assert png_size(one["path"]) == tuple(shot["actual"])
        data = open(one["path"], "rb").read()
        assert len(data) == shot["bytes"]
        assert hashlib.sha256(data).hexdigest() == shot["sha256"]
        assert shot["environment"]["viewport_honoured"] is True
        assert shot["sha256"] == two["capture"]["sha256"]
    assert process_mark() == []
    assert zombie_children() == []


def test_an_endless_animation_is_captured_after_the_settle_deadline(page_server, tmp_path):
    page_server.pages["/page.html"] = """<!doctype html><meta name="viewport" content="width=device-width">
    <div id="c">0</div><script>
    // Messages run on no clock of the page, so nothing stops this loop.
    let n = 0;
    const channel = new MessageChannel();
    channel.port1.onmessage = () => { document.getElementById('c').textContent = ++n; channel.port2.postMessage(0); };
    channel.port2.postMessage(0);
    </script>"""
    report = capture(page_server, tmp_path, ["apple-watch-ultra-3"])
    result = report["results"][0]
    assert result["outcome"] == "exact", result
    # The settle wait gives up after 10 s of real time; an endless wait would
    # only end at the 30 s idle timeout of the connection, as a failure.
    assert 9000 <= result["elapsed_ms"] < 25000


def test_the_settle_wait_starts_from_the_loaded_document(page_server, tmp_path):
    from PIL import Image
    page_server.pages["/page.html"] = [
        (0, '<!doctype html><meta name="viewport" content="width=device-width">'
            '<body style="margin:0;background:white"><div style="height:50vh"></div>'),
        (2.0, '<div style="height:50vh;background:rgb(200,30,40)"></div></body>'),
    ]
    report = capture(page_server, tmp_path, ["apple-mac-1280"])
    result = report["results"][0]
    assert result["outcome"] == "exact", result
    image = Image.open(result["path"]).convert("RGB")
    assert image.getpixel((640, 700)) == (200, 30, 40)
    assert image.getpixel((640, 100)) == (255, 255, 255)


def test_four_threads_capture_at_once(page_server, tmp_path, process_mark):
    page_server.pages["/page.html"] = STATIC_PAGE
    ids = ["apple-watch-ultra-3", "play-wear-os"]
    reports = [None] * 4
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.01)

    def worker(i):
        reports[i] = capture(page_server, tmp_path / str(i), ids)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    tick_thread = threading.Thread(target=ticker)
    tick_thread.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    tick_thread.join()
    assert all(r["ok"] for r in reports), reports
    digests = {tuple(r["capture"]["sha256"] for r in report["results"]) for report in reports}
    assert len(digests) == 1
    # Other Python threads ran while the captures were under way.
    assert len(ticks) > 20
    assert process_mark() == []
    assert zombie_children() == []
