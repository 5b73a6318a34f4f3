"""What the settle wait waits for and follows, in the real browser, with pages
whose parts a loopback server holds back: a document or data that arrive
late, timers, client-side redirects, dialogs, lazy and slow images, polling
and pages that never go still; how each capture says it settled; and the
wait on a busy machine."""
import json
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, needs_browser
from kestrelite import Session, capture_json

sys.path.insert(0, str(SOURCE_DIR / "bench"))
import settle_stress  # noqa: E402

pytestmark = needs_browser

PAGES = SOURCE_DIR / "tests" / "python" / "pages" / "settle"
GREEN = (20, 120, 60)
DEVICE = "apple-mac-1280"


@pytest.fixture
def server(page_server):
    for page in PAGES.iterdir():
        page_server.pages["/" + page.name] = page.read_text()
    page_server.pages.update({
        "/slow.png": [(20, b"arrives after the deadline")],
        "/poll.json": [(0.2, b"{}")],
        "/data.json": [(1.5, b'{"colour": "rgb(20,120,60)"}')],
        # A document whose second half comes long after its first.
        "/document.html": [(0, '<!doctype html><meta name="viewport" content="width=device-width"><body '
                               'style="margin:0;background:#888">'),
                           (1.5, '<div style="position:fixed;inset:0;background:rgb(20,120,60)"></div>')],
    })
    return page_server


def capture(server, path, out):
    return json.loads(capture_json(server.url(path), str(out), [DEVICE], browser=BROWSER))["results"][0]


def middle(result):
    image = Image.open(result["path"]).convert("RGB")
    return image.getpixel((image.width // 2, image.height // 2))


@pytest.mark.parametrize("path, moved, dialogs", [
    ("/document.html", False, None),
    ("/late.html", False, None),
    ("/splash.html", False, None),
    ("/redirect.html?ms=500", True, None),
    ("/meta.html", True, None),
    ("/dialogs.html", False, [{"type": "alert", "message": "Welcome"}, {"type": "confirm", "message": "Leave?"}]),
    # The lazy image far below is never requested, and the 20 s it would take is not waited for.
    ("/lazy.html", False, None),
])
def test_the_capture_shows_the_page_once_it_has_settled(server, tmp_path, path, moved, dialogs):
    with Session(browser=BROWSER) as session:
        result = json.loads(session.capture(server.url(path), DEVICE, str(tmp_path)))
    assert result["outcome"] == "exact", result
    shot = result["capture"]
    assert shot["settle"] == "quiet" and "settle_open" not in shot
    assert shot.get("final_url") == (server.url("/final.html") if moved else None)
    assert shot.get("dialogs") == dialogs
    assert middle(result) == GREEN


def test_pages_that_never_settle_end_at_the_deadline_and_say_why(server, tmp_path):
    cases = {"/slow_image.html": {"images", "network"}, "/poll.html": {"network"}, "/loop.html": None}
    with ThreadPoolExecutor(len(cases)) as pool:
        results = dict(zip(cases, pool.map(lambda p: capture(server, p, tmp_path / p[1:]), cases)))
    for path, open_waits in cases.items():
        result = results[path]
        if open_waits is None:
            assert result["outcome"] == "failed"
            assert "still navigating when the settle deadline (10000 ms) passed" in result["error"]
            assert server.url("/loop.html?n=") in result["error"]
            continue
        assert result["outcome"] == "exact", result
        assert result["capture"]["settle"] == "deadline"
        assert open_waits <= set(result["capture"]["settle_open"]), result
        assert middle(result) == GREEN


def test_the_page_counts_its_own_loads_from_their_start_to_their_continuation(server, tmp_path):
    # The browser's report of a request reaches the page a round trip late;
    # the page's own count must rise as the load starts and fall once it is
    # over, and never stay up for a load that cannot end.
    server.pages["/data.json"] = [(0.05, b'{"colour": "green"}')]
    server.pages["/late.js"] = [(0.05, b"")]
    server.pages["/hang.css"] = [(5, b"")]
    result = capture(server, "/loads.html", tmp_path)
    assert result["outcome"] == "exact" and result["capture"]["settle"] == "quiet", result
    assert result["capture"]["dialogs"] == [{"type": "alert", "message": (
        "start 0, fetch 1, replied 0, json 1, read 0, stream 1, streamed 0, xhr 1, xhr done 0, "
        "script 1, script done 0, sheet 1, sheet removed 0, markup script 0")}]


def test_late_content_gives_the_reference_image_under_load(tmp_path):
    """bench/settle_stress.py at a size that fits the suite (the README names
    the full one): pages that get their data late, chained through fetches,
    timers, promise continuations, animation frames, scripts and images, each
    captured once while two processes keep the cores busy, give the image of
    their reference, bars and all."""
    summary = settle_stress.run(captures=len(settle_stress.KINDS) * len(settle_stress.DELAYS),
                                hog_count=2, sessions=2, browser=BROWSER, out_dir=tmp_path)
    assert summary["differing"] == [], summary
