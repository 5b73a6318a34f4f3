"""What the settle wait waits for and follows, in the real browser, and how each capture says it settled."""
import json
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, needs_browser
from fake_browser import png
from kestrelite import Session, capture_json

sys.path.insert(0, str(SOURCE_DIR / "bench"))
import settle_stress  # noqa: E402

pytestmark = needs_browser

PAGES = SOURCE_DIR / "tests" / "python" / "pages" / "settle"
GREEN, DEVICE = (20, 120, 60), "apple-mac-1280"


@pytest.fixture
def server(page_server):
    asked = threading.Event()
    page_server.pages.update({"/" + page.name: page.read_text() for page in PAGES.iterdir()})
    page_server.pages.update({
        "/slow.png": [(20, b"arrives after the deadline")], "/poll.json": [(0.2, b"{}")],
        "/data.json": [(1.5, b'{"colour": "rgb(20,120,60)"}')], "/late.js": [(0.05, b"")], "/hang.css": [(5, b"")],
        "/worker.js": "", "/green.png": lambda _: asked.set() or [(1.5, png(8, 8, bytes(GREEN)))],
        "/hold": lambda _: asked.wait(10) and [(0.5, "")],  # ends half a second after the image was asked for
        # A document whose second half comes long after its first.
        "/document.html": [(0, '<!doctype html><meta name="viewport" content="width=device-width"><body '
                               'style="margin:0;background:#888">'),
                           (1.5, '<div style="position:fixed;inset:0;background:rgb(20,120,60)"></div>')],
    })
    return page_server


def middle(result):
    image = Image.open(result["path"]).convert("RGB")
    return image.getpixel((image.width // 2, image.height // 2))


@pytest.mark.parametrize("path, moved, dialogs", [
    ("/document.html", False, None), ("/late.html", False, None), ("/splash.html", False, None),
    ("/redirect.html?ms=500", True, None), ("/meta.html", True, None),
    ("/dialogs.html", False, [{"type": "alert", "message": "Welcome"}, {"type": "confirm", "message": "Leave?"}]),
    ("/lazy.html", False, None),  # the lazy image far below is never requested, nor its 20 s waited for
    ("/worker.html", False, None), ("/asked.html", False, None),  # asked: only the capture's answer keeps it unsettled
    # The page's own count of its loads rises and falls with each, and never stays up for one that cannot end.
    ("/loads.html", False, [{"type": "alert", "message": "start 0, fetch 1, replied 0, json 1, read 0, stream 1, "
                             "streamed 0, xhr 1, xhr done 0, script 1, script done 0, sheet 1, sheet removed 0, "
                             "markup script 0"}]),
])
def test_the_capture_shows_the_page_once_it_has_settled(server, tmp_path, path, moved, dialogs):
    with Session(browser=BROWSER) as session:
        result = json.loads(session.capture(server.url(path), DEVICE, str(tmp_path)))
    got = result.get("capture", {})
    assert (result["outcome"], got.get("settle"), got.get("settle_open"), got.get("final_url"), got.get("dialogs")) == (
        "exact", "quiet", None, server.url("/final.html") if moved else None, dialogs), result
    assert middle(result) == GREEN


def test_capture_json_waits_for_the_requests_it_counts_and_says_why_a_page_never_settled(server, tmp_path):
    paths = ["/slow_image.html", "/poll.html", "/loop.html", "/background.html"]
    with ThreadPoolExecutor(len(paths)) as pool:
        slow_image, poll, loop, background = pool.map(lambda p: json.loads(capture_json(
            server.url(p), str(tmp_path / p[1:]), [DEVICE], browser=BROWSER))["results"][0], paths)
    assert loop["outcome"] == "failed" and server.url("/loop.html?n=") in loop["error"], loop
    assert "still navigating when the settle deadline (10000 ms) passed" in loop["error"]
    for result, open_waits in ((slow_image, {"images", "network"}), (poll, {"network"})):
        assert (result["outcome"], result["capture"]["settle"]) == ("exact", "deadline"), result
        assert open_waits <= set(result["capture"]["settle_open"]) and middle(result) == GREEN, result
    assert (background["capture"]["settle"], middle(background)) == ("quiet", GREEN), background


def test_late_content_gives_the_reference_image_under_load(tmp_path):
    """bench/settle_stress.py at the suite's size: pages whose data come late in every way the bench knows,
    captured while two processes keep the cores busy, give their reference image."""
    summary = settle_stress.run(captures=len(settle_stress.KINDS) * len(settle_stress.DELAYS),
                                hog_count=2, sessions=2, browser=BROWSER, out_dir=tmp_path)
    assert summary["differing"] == [], summary
