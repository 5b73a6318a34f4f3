"""The page as the picture shows it, in the real headless shell: steps, media features, masks, fonts."""
import json
import urllib.parse

import pytest
from PIL import Image

from conftest import BROWSER, SOURCE_DIR, needs_browser, run_cli
from kestrelite import Session

pytestmark = needs_browser

PAGE = (SOURCE_DIR / "tests" / "python" / "pages" / "steps" / "index.html").read_text()
MAC = "apple-mac-1280"  # scale 1: CSS pixels are device pixels
RED, GREEN, PURPLE, YELLOW, TEAL = (200, 40, 40), (0, 160, 0), (120, 0, 120), (255, 200, 0), (0, 120, 120)
STORE_LANGUAGES = ("日本語のテキスト ¥1,200 · 简体中文 · 繁體中文 · 한국어 · مرحبا بالعالم · שלום עולם · "
                   "ภาษาไทย · हिन्दी · Ελληνικά · Русский · 😀")


@pytest.fixture
def page(page_server):
    page_server.pages.update({"/": PAGE, "/late": [(0.8, "late")]})
    return page_server.url("/")


def shoot(session, url, out, name=None, device=MAC, **settings):
    result = json.loads(session.capture(url, device, out, name=name, **settings))
    assert result["outcome"] == "exact", result
    image = Image.open(result["path"]).convert("RGB")
    boxes = {m["selector"]: m["boxes"] for m in result["capture"].get("masks", [])}
    return result["capture"], image, boxes


def centre(image, box):
    x, y, w, h = box
    return image.getpixel((x + w // 2, y + h // 2))


def test_each_step_and_media_feature_changes_the_picture_as_it_should(page, tmp_path):
    steps = [{"click": "#open"}, {"type": {"selector": "#field", "text": "tides"}}, {"press": "Enter"},
             {"hide": ["#banner"]}, {"remove": ["#hover"]}, {"javascript": "askLater()"}, {"wait_for": "#late"}]
    masks = ["#menu", "#field", "#sent", "#banner", "#hover", "#late"]
    with Session(browser=BROWSER) as session:
        _, before, boxes_before = shoot(session, page, tmp_path, "before", mask=masks)
        _, dark, _ = shoot(session, page, tmp_path, "dark", appearance="dark", reduced_motion=True)
        shot, after, boxes = shoot(session, page, tmp_path, "after", steps=steps, mask=masks)
        _, far, far_boxes = shoot(session, page, tmp_path, "far", steps=[{"scroll_to": "#far"}], mask=["#far"])
    # Light and dark background, motion and reduced motion, as the page's media queries see them.
    assert before.getpixel((600, 700)) == (250, 250, 250) and dark.getpixel((600, 700)) == (20, 20, 30)
    assert before.getpixel((10, 10)) == (128, 128, 128) and dark.getpixel((10, 10)) == (0, 0, 255)
    assert [s["step"] for s in shot["steps"]] == [next(iter(s)) for s in steps]
    assert all(s["settle"] == "quiet" for s in shot["steps"]), shot["steps"]
    assert boxes_before["#menu"] == [] and centre(after, boxes["#menu"][0]) == RED
    x, y, w, h = boxes["#field"][0]
    assert any(after.getpixel((i, y + h // 2))[0] < 100 for i in range(x + 2, x + w // 2))  # typed text
    assert centre(after, boxes["#sent"][0]) == GREEN
    # Hidden keeps its place (the banner's box is there, its colour gone); removed leaves the layout.
    assert boxes["#banner"] == boxes_before["#banner"] and centre(after, boxes["#banner"][0]) != YELLOW
    assert boxes_before["#hover"] and boxes["#hover"] == []
    assert centre(after, boxes["#late"][0]) == PURPLE
    assert far_boxes["#far"][0][1] == 0 and centre(far, far_boxes["#far"][0]) == TEAL


@pytest.mark.parametrize("steps, message", [
    ([{"click": "#nowhere"}], 'step 1 of 1 (click "#nowhere"): no element matches "#nowhere"'),
    ([{"click": "#open"}, {"hover": "#hidden"}], 'step 2 of 2 (hover "#hidden"): no element that matches "#hidden" is visible'),
    ([{"type": {"selector": "#field[", "text": "x"}}], 'step 1 of 1 (type "#field["): "#field[" is not a valid CSS selector'),
    ([{"javascript": "missingFunction()"}], "step 1 of 1 (javascript): the script failed: ReferenceError: missingFunction is not defined"),
    ([{"javascript": "new Promise(() => {})"}], "step 1 of 1 (javascript): the script failed: Error: it was still running at the settle deadline (500 ms)"),
    ([{"wait_for": "#never"}], 'step 1 of 1 (wait_for "#never"): no visible element matched "#never" by the settle deadline (500 ms)'),
    ([{"hide": ["#banner", "#nothing"]}], 'step 1 of 1 (hide "#banner" "#nothing"): no element matches "#nothing"'),
])
def test_a_step_that_cannot_be_done_fails_its_capture_and_says_why(page, tmp_path, steps, message):
    with Session(browser=BROWSER) as session:
        result = json.loads(session.capture(page, MAC, tmp_path, steps=steps, screen="menu", settle_timeout_ms=500))
    assert result["outcome"] == "failed" and result["error"] == f"browser: screen menu, {message}"
    assert not list(tmp_path.glob("*.png"))


def test_a_set_with_steps_gives_the_same_bytes_in_sessions_and_fresh_browsers(page, tmp_path):
    set_file = tmp_path / "set.toml"
    set_file.write_text(f'appearances = ["light", "dark"]\ndevices = ["{MAC}", "play-wear-os"]\n'
                        f'[[screen]]\nname = "menu"\npage = "{page}?{{appearance}}"\n'
                        'steps = [{ click = "#open" }, { hide = ["#banner"] }, { scroll_by = 100 }]\n')
    digests = []
    for run, extra in (("session", []), ("fresh", ["--fresh-browser"])):
        status, stdout, _ = run_cli(["run", set_file, "--out", tmp_path / run, "--browser", BROWSER, *extra])
        assert "4 captures: 4 exact" in stdout, stdout
        digests.append({tuple(c[k] for k in ("screen", "appearance", "device_id")): c["capture"]["sha256"]
                        for c in json.loads((tmp_path / run / "report.json").read_text())["captures"]})
    assert digests[0] == digests[1] and len(set(digests[0].values())) == 4


def test_clicks_and_masks_land_on_a_page_shown_zoomed_out(page_server, tmp_path):
    """Without a viewport meta tag a phone lays the page out 980 CSS pixels wide and shows it zoomed out:
    the click and the mask's box must follow the zoom, not the layout's pixels."""
    page_server.pages["/wide"] = ('<!doctype html><body style="margin:0"><button id="b" style="position:absolute;'
                                  'left:600px;top:900px;width:200px;height:120px;border:0;background:rgb(200,40,40)" '
                                  "onclick=\"this.style.background='rgb(0,160,0)'\"></button>")
    with Session(browser=BROWSER) as session:
        _, image, boxes = shoot(session, page_server.url("/wide"), tmp_path, device="apple-iphone-6-9-1320",
                                steps=[{"click": "#b"}], mask=["#b"])
    [(x, y, w, h)] = boxes["#b"]
    assert centre(image, (x, y, w, h)) == GREEN
    assert image.getpixel((x - 2, y + h // 2)) != GREEN and image.getpixel((x + w + 2, y + h // 2)) != GREEN


def text_page(text):
    return "data:text/html;charset=utf-8," + urllib.parse.quote(
        f'<meta name="viewport" content="width=device-width"><p style="font:18px sans-serif">{text}</p>')


def test_store_languages_are_drawn_and_a_character_no_font_has_is_named(tmp_path):
    with Session(browser=BROWSER) as session:
        drawn, boxes = (shoot(session, text_page(text), tmp_path, name, "apple-watch-ultra-3")[0]["glyphs"]
                        for name, text in (("drawn", STORE_LANGUAGES), ("boxes", "Icon \ue000 and \U000F0000")))
    assert "missing" not in drawn and {"Noto Sans CJK JP", "Noto Color Emoji"} <= set(drawn["fonts"]), drawn
    assert (boxes["missing"], boxes["missing_count"]) == (["U+E000", "U+F0000"], 2)
    status, stdout, _ = run_cli(["capture", text_page("Icon \ue000"), "-o", tmp_path / "run", "-d", "play-wear-os",
                                 "--browser", BROWSER])
    assert status == 1 and "[no glyph for U+E000]" in stdout and "NOT OK" in stdout
