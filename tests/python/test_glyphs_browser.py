"""Characters no font draws, in the real headless shell: with the fonts
scripts/install-deps installs, text in the store languages (Chinese,
Japanese, Korean, Arabic, Hebrew, Thai, Devanagari, emoji) is drawn and
passes; a private-use character, which no font has, is named and fails the
run."""
import json
import urllib.parse

from conftest import BROWSER, needs_browser, run_cli
from kestrelite import Session

pytestmark = needs_browser

STORE_LANGUAGES = ("日本語のテキスト ¥1,200 · 简体中文 · 繁體中文 · 한국어 · مرحبا بالعالم · שלום עולם · "
                   "ภาษาไทย · हिन्दी · Ελληνικά · Русский · 😀")


def page(text):
    return "data:text/html;charset=utf-8," + urllib.parse.quote(
        f'<meta name="viewport" content="width=device-width"><p style="font:18px sans-serif">{text}</p>')


def test_store_languages_are_drawn_and_a_character_no_font_has_is_named(tmp_path):
    with Session(browser=BROWSER) as session:
        drawn = json.loads(session.capture(page(STORE_LANGUAGES), "apple-watch-ultra-3", tmp_path, name="drawn"))
        boxes = json.loads(session.capture(page("Icon \ue000 and \U000F0000"), "apple-watch-ultra-3", tmp_path,
                                           name="boxes"))
    assert drawn["outcome"] == "exact" and "missing" not in drawn["capture"]["glyphs"], drawn
    assert {"Noto Sans CJK JP", "Noto Color Emoji"} <= set(drawn["capture"]["glyphs"]["fonts"])
    assert boxes["capture"]["glyphs"]["missing"] == ["U+E000", "U+F0000"]
    assert boxes["capture"]["glyphs"]["missing_count"] == 2
    status, stdout, _ = run_cli(["capture", page("Icon \ue000"), "-o", tmp_path / "run", "-d", "play-wear-os",
                                 "--browser", BROWSER])
    assert status == 1 and "[no glyph for U+E000]" in stdout and "NOT OK" in stdout
