"""Motion a page times itself, in the real browser: frame loops on a canvas,
SMIL, timer-driven count-ups, chains and clocks, an animated GIF and videos
give one image per page and preset on every run, with finite motion at its
end and endless motion stopped at one point, however busy the machine."""
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, needs_browser
from kestrelite import Session, capture_json, devices_json
from motion_media import FIRST_COLOUR, LAST_COLOUR, motion_folder

pytestmark = needs_browser

PAGES = SOURCE_DIR / "tests" / "python" / "pages"
ALL_PRESETS = [d["id"] for d in json.loads(devices_json())]

BLUE, RED, GREEN, LIGHT = (30, 90, 200), (200, 40, 40), (20, 120, 60), (238, 238, 238)
# The pixels each page's end state must have: a point as fractions of the
# image's width and height, and its colour (the videos are lossy: near it).
COUNTED = [((0.98, 0.1), GREEN)]
END_STATES = {
    # Both charts' tallest bars reach the top of their canvas, with the gap beside them.
    "chart.html": [((0.3, 0.01), BLUE), ((0.3, 0.46), BLUE), ((0.2, 0.2), LIGHT)],
    "spinner.html": [],
    # The finite SMIL bar has grown across the whole width.
    "smil.html": [((0.97, 0.2), RED)],
    # The bar of the count stands at 4000 of 4000.
    "countup.html?step=50": COUNTED,
    "countup.html?step=120": COUNTED,
    "countup.html?step=250": COUNTED,
    # The chain has typed its sentence and marked itself done.
    "chain.html": [((0.5, 0.1), BLUE)],
    "clock.html": [],
    # The GIF shows its first frame.
    "gif.html": [((0.25, "w0.25"), FIRST_COLOUR)],
    # The looping video shows its first frame, the other one its last.
    "video.html": [((0.25, "w0.1875"), FIRST_COLOUR), ((0.75, "w0.1875"), LAST_COLOUR)],
    "motion.html": [],
}


def wrong_pixels(page, path):
    """The end-state pixels of `page` that the image misses. A point is given
    as fractions of the width and height; "wF" measures a height in widths,
    for boxes sized in vw."""
    image = Image.open(path).convert("RGB")
    w, h = image.size
    wrong = []
    for (fx, fy), colour in END_STATES[page]:
        y = float(fy[1:]) * w if isinstance(fy, str) else fy * h
        got = image.getpixel((min(int(fx * w), w - 1), min(int(y), h - 1)))
        if any(abs(a - b) > (40 if page == "video.html" else 0) for a, b in zip(got, colour)):
            wrong.append(((fx, fy), got, colour))
    return wrong


@pytest.fixture(scope="module")
def motion_dir(tmp_path_factory):
    """The motion pages beside the media they show."""
    return motion_folder(tmp_path_factory.mktemp("motion"), PAGES, BROWSER)


def capture(folder, page, out, ids):
    name, _, query = page.partition("?")
    url = (folder / name).as_uri() + ("?" + query if query else "")
    return {r["device_id"]: r for r in json.loads(capture_json(url, str(out), ids, browser=BROWSER))["results"]}


def check_twice(folder, page, out, ids):
    first, second = (capture(folder, page, out / run, ids) for run in ("first", "second"))
    for device in ids:
        assert first[device]["outcome"] == "exact", first[device]
        assert second[device]["capture"]["sha256"] == first[device]["capture"]["sha256"], device
        assert wrong_pixels(page, first[device]["path"]) == [], device


@pytest.mark.parametrize("page", list(END_STATES))
def test_each_kind_of_motion_gives_one_image_at_its_end(motion_dir, page, tmp_path):
    check_twice(motion_dir, page, tmp_path, ["apple-watch-s9", "play-tv-banner"])


@pytest.mark.skipif(not os.environ.get("KESTRELITE_SLOW_TESTS"), reason="slow: set KESTRELITE_SLOW_TESTS=1")
def test_every_preset_gives_one_image_per_page_three_times_once_under_load(motion_dir, tmp_path):
    """Every page on all built-in presets, three runs, the last one with both
    cores kept busy by other processes; two devices are captured at a time."""
    digests, failures = {}, []
    for run in range(3):
        # Processes that keep both cores busy until they are killed.
        loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2 if run == 2 else 0)]
        try:
            with ThreadPoolExecutor(2) as pool:
                jobs = {(page, half): pool.submit(capture, motion_dir, page, tmp_path / f"{run}-{i}-{half}",
                                                  ALL_PRESETS[half::2])
                        for i, page in enumerate(END_STATES) for half in (0, 1)}
                for (page, _), job in jobs.items():
                    for device, result in job.result().items():
                        if result["outcome"] != "exact":
                            failures.append((run, page, device, result.get("error")))
                            continue
                        digests.setdefault((page, device), set()).add(result["capture"]["sha256"])
                        if run == 0 and (wrong := wrong_pixels(page, result["path"])):
                            failures.append((run, page, device, wrong))
        finally:
            for loop in loops:
                loop.kill()
                loop.wait()
    differing = sorted(key for key, seen in digests.items() if len(seen) != 1)
    assert failures == [], failures
    assert differing == [], differing
    assert len(digests) == len(END_STATES) * len(ALL_PRESETS)


def test_the_session_path_gives_capture_json_s_bytes_and_record(motion_dir, tmp_path):
    """Sessions send their first commands together, prepare the next browser
    context ahead and ask before the quiet: the same pictures and records
    as capture_json, for a still page and every kind of motion."""
    pages = ["index.html", *END_STATES]
    (motion_dir / "index.html").write_text((SOURCE_DIR / "examples" / "demo" / "index.html").read_text())
    device = "apple-watch-s9"
    with Session(browser=BROWSER) as session:
        for page in pages:
            name, _, query = page.partition("?")
            url = (motion_dir / name).as_uri() + ("?" + query if query else "")
            [alone] = capture(motion_dir, page, tmp_path / "alone" / name, [device]).values()
            pipelined = json.loads(session.capture(url, device, str(tmp_path / "session"), name.split(".")[0]))
            assert pipelined["outcome"] == alone["outcome"] == "exact", (page, pipelined)
            record = {k: v for k, v in pipelined["capture"].items() if k != "glyphs"}
            assert record == alone["capture"], page
