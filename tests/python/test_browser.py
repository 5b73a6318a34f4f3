"""Captures through the real headless shell: every preset exact with its
viewport, the same bytes on every run, animations in their end state, and the
settle wait's start (its deadline: tests/core/scripts_browser_test.cpp)."""
import hashlib
import json

from PIL import Image

from conftest import BROWSER, SOURCE_DIR, needs_browser
from kestrelite import capture_json, devices_json

pytestmark = needs_browser

PAGES = SOURCE_DIR / "tests" / "python" / "pages"
# Taller than any viewport: a scrollbar would show at the right edge.
MOTION = (PAGES / "motion.html").as_uri()


def capture(out, ids, url=MOTION):
    return json.loads(capture_json(url, str(out), ids, browser=BROWSER))


def test_every_preset_is_exact_reproducible_and_still(tmp_path, process_mark):
    ids = [d["id"] for d in json.loads(devices_json())]
    first = capture(tmp_path / "first", ids)
    handful = ["apple-iphone-6-9-1320", "apple-ipad-11-1488", "play-tablet-10-landscape", "apple-watch-s9",
               "play-tv-banner", "apple-mac-1280"]
    second = capture(tmp_path / "second", handful)
    not_exact = [(r["device_id"], r.get("error") or r["capture"]) for r in first["results"]
                 if r["outcome"] != "exact" or not r["capture"]["environment"]["viewport_honoured"]]
    assert not_exact == [] and first["ok"] and second["ok"]
    digests = {r["device_id"]: r["capture"]["sha256"] for r in first["results"]}
    for result in second["results"]:
        data = open(result["path"], "rb").read()
        assert result["capture"]["sha256"] == hashlib.sha256(data).hexdigest() == digests[result["device_id"]]
    with Image.open(second["results"][-1]["path"]) as mac:
        image = mac.convert("RGB")
    # The headline has faded in, the bar has grown to full width, and no
    # scrollbar covers its end.
    assert image.getpixel((600, 50)) == (20, 120, 60)
    assert image.getpixel((1277, 70)) == (200, 40, 40)
    assert process_mark() == []


def test_a_finished_animation_is_painted_before_the_screenshot(tmp_path):
    for run in range(3):
        report = capture(tmp_path / str(run), ["apple-mac-1280"], (PAGES / "fade.html").as_uri())
        with Image.open(report["results"][0]["path"]) as image:
            assert image.convert("RGB").getpixel((600, 100)) == (20, 120, 60), run


def test_the_settle_wait_starts_from_the_loaded_document(page_server, tmp_path):
    page_server.pages["/page.html"] = [
        (0, '<!doctype html><meta name="viewport" content="width=device-width">'
            '<body style="margin:0;background:white"><div style="height:50vh"></div>'),
        (2.0, '<div style="height:50vh;background:rgb(200,30,40)"></div></body>'),
    ]
    result = capture(tmp_path, ["apple-mac-1280"], page_server.url("/page.html"))["results"][0]
    with Image.open(result["path"]) as image:
        rgb = image.convert("RGB")
        assert (rgb.getpixel((640, 700)), rgb.getpixel((640, 100))) == ((200, 30, 40), (255, 255, 255))
