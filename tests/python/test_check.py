"""The stores' rules at the boundaries their pages and fastlane's sources set (the README's table). No browser."""
import json
import struct
import zlib

import pytest
from PIL import Image

import kestrelite
from fake_browser import png as solid_png
from kestrelite.check import ERROR, WARNING, apple_display_type, check_folder
from kestrelite.cli import main

APPLE = "fastlane/screenshots/en-US"
PLAY = "fastlane/metadata/android/en-US/images"
PHONES, A2, JPG = f"{PLAY}/phoneScreenshots", f"{APPLE}/02_a.png", f"{APPLE}/02_a.jpg"
PHONE, TEN, WEAR = f"{PHONES}/03_a.png", f"{PLAY}/tenInchScreenshots/01_a.png", f"{PLAY}/wearScreenshots/01_a.png"
IPHONE, HD, MB = (1320, 2868), (1080, 1920), 1024 * 1024


def make(folder, path, size, mode="RGB", length=None, **save):
    """An image at `path`; with `length`, a PNG of exactly that many bytes (a filler chunk takes the rest)."""
    target = folder / path
    target.parent.mkdir(parents=True, exist_ok=True)
    if mode != "RGB" or save:
        return Image.new(mode, size).save(target, **save)
    png = solid_png(*size, (40, 90, 160))
    if length is not None:
        fill = b"fiLl" + b"\0" * (length - len(png) - 12)
        png = png[:-12] + struct.pack(">I", len(fill) - 4) + fill + struct.pack(">I", zlib.crc32(fill)) + png[-12:]
    target.write_bytes(png)


def numbered(folder, n, size, name="s", start=1):
    return {f"{folder}/{i:02d}_{name}.png": (size,) for i in range(start, start + n)}


def one(path, size, rule=None, level=ERROR, mode="RGB", **save):
    """A file added to the base, and the one rule it breaks at its own path, if any."""
    return {path: (size, mode, save)}, [(rule, level, path)] if rule else []


# A valid base: one iPhone 6.9-inch screenshot and two Play phone screenshots.
BASE = {f"{APPLE}/01_home_iphone.png": (IPHONE,), **numbered(PHONES, 2, HD, "p")}


@pytest.mark.parametrize("files, broken", [
    # Format and colour: App Store Connect and Play take 8-bit RGB PNG or JPEG, no alpha.
    one(A2, IPHONE, "apple-alpha", mode="RGBA"), one(A2, IPHONE, "apple-alpha", transparency=(0, 0, 0)),
    one(JPG, IPHONE, "apple-colour", mode="L"), one(JPG, IPHONE, "format", format="PNG"),
    one(f"{APPLE}/02_a.gif", IPHONE, "format", WARNING, format="GIF"), one(PHONE, HD, "play-format", mode="P"),
    one(f"{PLAY}/tvBanner.png", (1280, 720), "play-format", mode="RGBA"),
    # Sizes: deliver's display types; Play's 320 to 3,840 px (10-inch: 1,080 to 7,680), 2:1 at most.
    one(A2, (1000, 2000), "apple-size"), one(A2, (390, 312), "apple-size"),  # the second a watch's size turned
    one(PHONE, (319, 600), "play-size"), one(PHONE, (320, 640)),
    one(PHONE, (1920, 3840)), one(PHONE, (1921, 3841), "play-size"),
    one(PHONE, (1000, 2001), "play-aspect", WARNING), one(TEN, (1079, 1920), "play-size"), one(TEN, HD),
    one(WEAR, (383, 383), "play-size"), one(WEAR, (384, 384)), one(WEAR, (384, 385), "play-size"),  # square
    one(f"{PLAY}/featureGraphic.png", (1024, 501), "play-size"),
    one(PHONE, HD, length=8 * MB), one(PHONE, HD, "play-file-size", length=8 * MB + 1),  # 8 MB per Play screenshot
    # Counts: App Store 10 per display type and language; Play 2 to 8 phone screenshots, 8 of each kind.
    (numbered(APPLE, 9, IPHONE, "x", 2), []), (numbered(PHONES, 8, HD, "p"), []),
    (numbered(APPLE, 10, IPHONE, "x", 2), [("apple-count", ERROR, f"{APPLE}/11_x.png")]),
    ({f"{PHONES}/02_p.png": None}, [("play-count", ERROR, "en-US")]),
    (numbered(PHONES, 9, HD, "p"), [("play-count", ERROR, f"{PHONES}/09_p.png")]),
    (numbered(f"{PLAY}/sevenInchScreenshots", 9, HD), [("play-count", ERROR, f"{PLAY}/sevenInchScreenshots/09_s.png")]),
    # Sets: the 6.9-inch (or 6.5-inch) iPhone and the 13-inch iPad set are required.
    ({f"{APPLE}/01_home_iphone.png": ((1170, 2532),)}, [("apple-iphone-set", ERROR, "en-US")]),
    ({f"{APPLE}/01_home_iphone.png": ((1242, 2688),)}, []),
    ({A2: ((1668, 2388),)}, [("apple-ipad-set", ERROR, "en-US")]),
    ({A2: ((1668, 2388),), f"{APPLE}/03_a.png": ((2048, 2732),)}, []),
    ({f"{APPLE}/01_home_other.png": ((2796, 1290),)}, [("apple-mixed-sizes", WARNING, "en-US")]),
    ({f"{APPLE}/01_home_mac.png": ((1440, 900),)}, [("apple-platforms", WARNING, "en-US")]),
    # Apple Watch Ultra 2 and 3 are one display type for deliver: 6 + 5 screens are 11 there.
    ({**numbered(APPLE, 6, (410, 502), "u2", 2), **numbered(APPLE, 5, (422, 514), "u3", 8)},
     [("apple-count", ERROR, f"{APPLE}/12_u3.png"), ("apple-mixed-sizes", WARNING, "en-US")]),
    # Names the tools sort differently from the App Store, folders and languages they do not take.
    ({f"{PHONES}/10_p.png": (HD,)}, []),
    ({f"{PHONES}/1_p.png": (HD,), f"{PHONES}/10_p.png": (HD,)}, [("name-order", ERROR, PHONES)]),
    ({f"{PLAY}/automotiveScreenshots/01_a.png": ((800, 1280),)},
     [("play-folder", WARNING, f"{PLAY}/automotiveScreenshots")]),
    # deliver reads the whole path: an Apple TV image under the folder "television" passes for a Vision Pro one.
    ({f"{APPLE}/02_tv.png": ((3840, 2160),), "fastlane/screenshots/ja/01_vision.png": ((3840, 2160),)},
     [("apple-vision-path", ERROR, f"{APPLE}/02_tv.png"), ("apple-platforms", WARNING, "en-US")]),
    ({"fastlane/screenshots/zh-CN/01_a.png": (IPHONE,)}, [("apple-language", ERROR, "fastlane/screenshots/zh-CN")]),
    ({"fastlane/screenshots/bn-BD/01_a.png": (IPHONE,)}, []),
    ({f"fastlane/metadata/android/ja/images/phoneScreenshots/0{i}_a.png": (HD,) for i in (1, 2)},
     [("play-language", ERROR, "fastlane/metadata/android/ja")]),
])
def test_each_rule_at_its_boundary(tmp_path, files, broken):
    out = tmp_path / "television"
    for path, shape in ((path, shape) for path, shape in {**BASE, **files}.items() if shape):
        make(out, path, shape[0], *shape[1:2], **(shape[2] if len(shape) > 2 else {}))
    assert sorted((v.rule, v.level, v.path) for v in check_folder(out)) == sorted(broken)


@pytest.mark.parametrize("size, path, display_type", [
    ((2868, 1320), "x.png", "APP_IPHONE_67"), ((1080, 2340), "x.png", "APP_IPHONE_58"), ((514, 422), "x.png", None),
    ((2048, 2732), "x.png", "APP_IPAD_PRO_3GEN_129"), ((1280, 800), "x.png", "APP_DESKTOP"),
    ((2048, 2732), "/iPad Pro (12.9-inch) (2nd generation)/x.png", "APP_IPAD_PRO_129"), ((800, 1280), "x.png", None),
    ((3840, 2160), "/out/tv.png", "APP_APPLE_TV"), ((3840, 2160), "/television/out/tv.png", "APP_APPLE_VISION_PRO"),
    # Each App Store preset's own display type is the one deliver gives its size.
    *[((d["output_width"], d["output_height"]), f"/out/{d['id']}.png", d["apple_display_type"])
      for d in json.loads(kestrelite._native._presets_json()) if d["store"] == "apple"],
])
def test_display_types_as_deliver_reads_them(size, path, display_type):
    assert apple_display_type(*size, path) == display_type


def test_files_no_run_wrote_and_captures_without_glyphs_or_files(tmp_path, capsys):
    """With a report, the folder holds exactly what the run wrote: a file beside it would be uploaded too."""
    for path, (size,) in {**BASE, f"{APPLE}/00_old.png": (IPHONE,)}.items():
        make(tmp_path, path, size)
    glyphs = {"fonts": ["Noto Sans"], "missing": ["U+E000"], "missing_count": 1}
    captures = [{"locale": "en-US", "screen": "s", "device_id": "d", "outcome": "exact", "path": p,
                 "capture": {"sha256": "0", **({"glyphs": glyphs} if i == 0 else {})}}
                for i, p in enumerate([*BASE, f"{PHONES}/03_gone.png"])]
    (tmp_path / "report.json").write_text(json.dumps({"kestrelite": "0", "kind": "set", "layout": "fastlane",
                                                      "captures": captures, "missing": ["de-DE/s/d"]}))
    assert sorted((v.rule, v.path) for v in check_folder(tmp_path) if v.level == ERROR) == [
        ("glyphs", f"{APPLE}/01_home_iphone.png"), ("missing", "de-DE/s/d"),
        ("missing", f"{PHONES}/03_gone.png"), ("stray", f"{APPLE}/00_old.png")]
    assert main(["check", str(tmp_path)]) == 1
    assert f"error: {APPLE}/00_old.png: stray:" in capsys.readouterr().out
    assert main(["check", str(tmp_path / "fastlane" / "screenshots")]) == 2  # no run folder
