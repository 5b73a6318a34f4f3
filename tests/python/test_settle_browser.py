"""What the settle wait waits for and follows, in the real browser, with pages
whose parts a loopback server holds back: content that arrives after load,
client-side redirects, dialogs, lazy and slow images, pages that never go
still; and how each capture says it settled."""
import io
import json
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, needs_browser
from kestrelite import Session, capture_json

pytestmark = needs_browser

PAGES = SOURCE_DIR / "tests" / "python" / "pages" / "settle"
GREEN, GREY = (20, 120, 60), (136, 136, 136)
DEVICE = "apple-mac-1280"


def png(colour):
    out = io.BytesIO()
    Image.new("RGB", (100, 100), colour).save(out, "PNG")
    return out.getvalue()


@pytest.fixture
def server(page_server):
    for page in PAGES.iterdir():
        page_server.pages["/" + page.name] = page.read_text()
    page_server.pages["/slow.png"] = [(20, png((200, 40, 40)))]
    page_server.pages["/poll.json"] = [(0.2, b"{}")]
    return page_server


def capture(server, path, out, devices=(DEVICE,)):
    return json.loads(capture_json(server.url(path), str(out), list(devices), browser=BROWSER))["results"]


def middle(result):
    image = Image.open(result["path"]).convert("RGB")
    return image.getpixel((image.width // 2, image.height // 2))


DIALOGS = [{"type": "alert", "message": "Welcome"}, {"type": "confirm", "message": "Leave?"}]


@pytest.mark.parametrize("path, data_delay, moved, dialogs", [
    ("/late.html", 0.1, False, None),
    ("/late.html", 0.5, False, None),
    ("/late.html", 2.0, False, None),
    ("/splash.html", 0, False, None),
    ("/redirect.html?ms=50", 0, True, None),
    ("/redirect.html?ms=150", 0, True, None),
    ("/redirect.html?ms=500", 0, True, None),
    ("/meta.html", 0, True, None),
    ("/replace.html", 0, True, None),
    ("/dialogs.html", 0, False, DIALOGS),
    # The lazy image far below is never requested, and the 20 s it would take is not waited for.
    ("/lazy.html", 0, False, None),
    ("/entropy.html", 0, False, None),
])
def test_the_capture_shows_the_page_once_it_has_settled(server, tmp_path, path, data_delay, moved, dialogs):
    server.pages["/data.json"] = [(data_delay, json.dumps({"colour": "rgb(20,120,60)"}).encode())]
    [result] = capture(server, path, tmp_path)
    assert result["outcome"] == "exact", result
    shot = result["capture"]
    assert shot["settle"] == "quiet" and "settle_open" not in shot
    assert shot.get("final_url") == (server.url("/final.html") if moved else None)
    assert shot.get("dialogs") == dialogs
    assert middle(result) == GREEN


def test_pages_that_never_settle_end_at_the_deadline_and_say_why(server, tmp_path):
    cases = {"/slow_image.html": {"images", "network"}, "/poll.html": {"network"}, "/loop.html": None}
    with ThreadPoolExecutor(len(cases)) as pool:
        results = dict(zip(cases, pool.map(lambda p: capture(server, p, tmp_path / p[1:])[0], cases)))
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
    [result] = capture(server, "/loads.html", tmp_path)
    assert result["outcome"] == "exact" and result["capture"]["settle"] == "quiet", result
    assert result["capture"]["dialogs"] == [{"type": "alert", "message": (
        "start 0, fetch 1, replied 0, json 1, read 0, stream 1, streamed 0, xhr 1, xhr done 0, "
        "script 1, script done 0, sheet 1, sheet removed 0, markup script 0")}]


@pytest.mark.parametrize("path", ["/entropy.html", "/redirect.html?ms=150", "/late.html", "/dialogs.html"])
def test_a_fresh_browser_and_a_session_give_the_same_capture(server, tmp_path, path):
    server.pages["/data.json"] = [(0.1, json.dumps({"colour": "rgb(20,120,60)"}).encode())]
    [fresh] = capture(server, path, tmp_path)
    with Session(browser=BROWSER) as session:
        again = json.loads(session.capture_json(server.url(path), DEVICE, tmp_path / "session.png"))
    assert fresh["outcome"] == again["outcome"] == "exact"
    assert fresh["capture"] == again["capture"]
