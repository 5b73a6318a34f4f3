"""Motion a page times itself, in the real browser: one image, finite motion at its end, endless stopped."""
import functools
import json
import shutil

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, needs_browser
from kestrelite import Session, capture_json
from motion_media import FIRST_COLOUR, LAST_COLOUR, motion_folder

pytestmark = needs_browser

PAGES, DEVICE = SOURCE_DIR / "tests" / "python" / "pages", "apple-watch-s9"
BLUE, RED, GREEN, LIGHT = (30, 90, 200), (200, 40, 40), (20, 120, 60), (238, 238, 238)
# The pixels each page's end state must have: a point as fractions of the image's width and height ("wF":
# a height in widths, for boxes sized in vw), and its colour (the videos are lossy: near it).
END_STATES = {
    # An endless frame loop, a ticking clock, every CSS motion, the still demo: exact, with nothing else to see.
    "spinner.html": [], "clock.html": [], "motion.html": [], "index.html": [],
    # Both charts' tallest bars reach the top of their canvas, with the gap beside them.
    "chart.html": [((0.3, 0.01), BLUE), ((0.3, 0.46), BLUE), ((0.2, 0.2), LIGHT)],
    "smil.html": [((0.97, 0.2), RED)],  # the finite SMIL bar has grown across the whole width
    # The bar of the count stands at 4000 of 4000, the slower count's last step at the clock's budget.
    "countup.html?step=50": [((0.98, 0.1), GREEN)], "countup.html?step=250": [((0.98, 0.1), GREEN)],
    "chain.html": [((0.5, 0.1), BLUE)],  # the chain has typed its sentence and marked itself done
    "gif.html": [((0.25, "w0.25"), FIRST_COLOUR)],  # the GIF's first frame
    # The looping video shows its first frame, the other one its last.
    "video.html": [((0.25, "w0.1875"), FIRST_COLOUR), ((0.75, "w0.1875"), LAST_COLOUR)],
    "fade.html": [((0.5, 0.2), GREEN)],  # a composited entrance, finished and painted
    "entropy.html": [((0.5, 0.9), GREEN)],  # seeded UUIDs and a fixed machine turn the page green
}


@pytest.fixture(scope="module")
def motion_dir(tmp_path_factory):
    """The motion pages beside the media they show, with the other pages above."""
    folder = motion_folder(tmp_path_factory.mktemp("motion"), PAGES, BROWSER)
    for page in (SOURCE_DIR / "examples/demo/index.html", PAGES / "fade.html", PAGES / "settle/entropy.html"):
        shutil.copy(page, folder)
    return folder


@pytest.fixture(scope="module")
def alone(motion_dir, tmp_path_factory):
    """A page's result through capture_json, captured once for the module."""
    out = tmp_path_factory.mktemp("alone")

    @functools.cache
    def capture(page):
        report = capture_json(f"{motion_dir.as_uri()}/{page}", str(out / page), [DEVICE], browser=BROWSER)
        return json.loads(report)["results"][0]
    return capture


@pytest.mark.parametrize("page", list(END_STATES))
def test_each_kind_of_motion_gives_one_image_at_its_end(alone, page):
    assert alone(page)["outcome"] == "exact", alone(page)
    image = Image.open(alone(page)["path"]).convert("RGB")
    w, h = image.size
    for (fx, fy), colour in END_STATES[page]:
        y = float(fy[1:]) * w if isinstance(fy, str) else fy * h
        got = image.getpixel((min(int(fx * w), w - 1), min(int(y), h - 1)))
        assert all(abs(a - b) <= (40 if page == "video.html" else 0) for a, b in zip(got, colour)), (fx, fy, got)


def test_the_session_path_gives_capture_json_s_bytes_and_record(motion_dir, alone, tmp_path):
    """Sessions send their first commands together, prepare the next browser context ahead and ask before
    the quiet: the same pictures and records as capture_json, for a still page and every kind of motion."""
    with Session(browser=BROWSER) as session:
        for n, page in enumerate(END_STATES):
            pipelined = json.loads(session.capture(f"{motion_dir.as_uri()}/{page}", DEVICE, str(tmp_path), str(n)))
            assert pipelined["outcome"] == alone(page)["outcome"] == "exact", (page, pipelined)
            assert {k: v for k, v in pipelined["capture"].items() if k != "glyphs"} == alone(page)["capture"], page


def test_a_screen_of_every_kind_is_exact_with_its_viewport(motion_dir, tmp_path):
    """A preset of each platform, the smallest and the largest. On the Mac the headline has faded in, the bar
    has grown to full width, and no scrollbar covers its end though the page is taller than the screen."""
    ids = ["apple-iphone-6-9-1320", "apple-ipad-13-2064", "apple-watch-s3", "apple-mac-1280", "apple-tv-2160",
           "play-phone-landscape", "play-tablet-10-landscape", "play-feature-graphic"]
    report = json.loads(capture_json(f"{motion_dir.as_uri()}/motion.html", str(tmp_path), ids, browser=BROWSER))
    wrong = [(r["device_id"], r.get("error") or r["capture"]) for r in report["results"]
             if r["outcome"] != "exact" or not r["capture"]["environment"]["viewport_honoured"]]
    assert wrong == [] and report["ok"]
    with Image.open(tmp_path / "apple-mac-1280.png") as mac:
        assert (mac.convert("RGB").getpixel((600, 50)), mac.convert("RGB").getpixel((1277, 70))) == (GREEN, RED)
