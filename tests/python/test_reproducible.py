"""Reproducible pixels in the real headless shell: the same page gives the same
bytes on every run, with animations in their end state and no caret."""
import json
import os

import pytest

from conftest import BROWSER, SOURCE_DIR, needs_browser
from kestrelite import capture_json, devices_json

pytestmark = needs_browser

MOTION = (SOURCE_DIR / "tests" / "python" / "pages" / "motion.html").as_uri()
ALL_PRESETS = [d["id"] for d in json.loads(devices_json())]


def capture(out, ids, url=MOTION):
    return json.loads(capture_json(url, str(out), ids, browser=BROWSER))


def digests(report):
    return {r["device_id"]: r["capture"]["sha256"] for r in report["results"]}


def test_animations_are_captured_in_their_end_state(tmp_path):
    from PIL import Image
    report = capture(tmp_path, ["apple-mac-1280"])
    assert report["ok"], report
    image = Image.open(report["results"][0]["path"]).convert("RGB")
    # The headline has faded in completely and the bar has grown to full width.
    assert image.getpixel((600, 50)) == (20, 120, 60)
    assert image.getpixel((1270, 70)) == (200, 40, 40)


def test_a_finished_animation_is_painted_before_the_screenshot(tmp_path):
    from PIL import Image
    url = (SOURCE_DIR / "tests" / "python" / "pages" / "fade.html").as_uri()
    for run in range(3):
        report = capture(tmp_path / str(run), ["apple-mac-1280"], url=url)
        image = Image.open(report["results"][0]["path"]).convert("RGB")
        assert image.getpixel((600, 100)) == (20, 120, 60), run


def check_twice(tmp_path, ids):
    first = capture(tmp_path / "first", ids)
    second = capture(tmp_path / "second", ids)
    assert first["ok"] and second["ok"], (first, second)
    assert digests(first) == digests(second)


def test_a_handful_of_presets_give_identical_bytes_twice(tmp_path):
    check_twice(tmp_path, ["apple-iphone-6-9-1320", "apple-ipad-11-1488", "play-tablet-10-landscape",
                           "apple-watch-s9", "play-tv-banner"])


@pytest.mark.skipif(not os.environ.get("KESTRELITE_SLOW_TESTS"), reason="slow: set KESTRELITE_SLOW_TESTS=1")
def test_every_builtin_preset_gives_identical_bytes_twice(tmp_path):
    check_twice(tmp_path, ALL_PRESETS)


def test_every_builtin_preset_is_exact_with_its_viewport_honoured(page_server, tmp_path):
    page_server.pages["/page.html"] = (SOURCE_DIR / "tests" / "python" / "pages" / "motion.html").read_text()
    report = capture(tmp_path, ALL_PRESETS, url=page_server.url("/page.html"))
    not_exact = [(r["device_id"], r.get("error") or r["capture"]) for r in report["results"]
                 if r["outcome"] != "exact" or not r["capture"]["environment"]["viewport_honoured"]]
    assert not_exact == []
    assert report["exact"] == 46 and report["ok"] is True
