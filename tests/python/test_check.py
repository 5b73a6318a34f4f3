"""The stores' rules over run folders made to break each rule, at the
boundaries the stores and their upload tools set (the numbers come from App
Store Connect's and the Play Console's pages and from fastlane's sources, as
the README's table of rules says). No browser."""
import json
import os
import struct
import zlib

import pytest
from PIL import Image

from conftest import solid_png
from kestrelite.check import ERROR, WARNING, apple_display_type, check_folder
from kestrelite.cli import main

APPLE = "fastlane/screenshots/en-US"
PLAY = "fastlane/metadata/android/en-US/images"
IPHONE = (1320, 2868)
MB = 1024 * 1024


def padded_png(size, length):
    """A valid PNG of `size` whose file is exactly `length` bytes long (an
    ancillary chunk takes up the rest)."""
    png = solid_png(size, (40, 90, 160))
    filler = length - len(png) - 12
    chunk = struct.pack(">I", filler) + b"fiLl" + b"\0" * filler
    chunk += struct.pack(">I", zlib.crc32(b"fiLl" + b"\0" * filler))
    return png[:-12] + chunk + png[-12:]


def make(folder, path, size, mode="RGB", length=None, **save):
    target = folder / path
    target.parent.mkdir(parents=True, exist_ok=True)
    if length is not None:
        target.write_bytes(padded_png(size, length))
        return
    if mode == "RGB" and not save and path.endswith(".png"):
        target.write_bytes(solid_png(size, (40, 90, 160)))
        return
    kind = {".jpg": "JPEG", ".jpeg": "JPEG", ".gif": "GIF"}.get(os.path.splitext(path)[1].lower(), "PNG")
    Image.new(mode, size, (40, 90, 160) if mode == "RGB" else 0).save(target, save.pop("format", kind), **save)


def numbered(folder, n, size, name="s", start=1):
    return {f"{folder}/{i:02d}_{name}.png": (size,) for i in range(start, start + n)}


# A valid base: one iPhone 6.9-inch screenshot and two Play phone screenshots.
BASE = {f"{APPLE}/01_home_iphone.png": (IPHONE,), **numbered(f"{PLAY}/phoneScreenshots", 2, (1080, 1920), "p")}


def found_in(folder, files):
    for path, shape in {**BASE, **files}.items():
        if shape is not None:
            make(folder, path, shape[0], *shape[1:2], **(shape[2] if len(shape) > 2 else {}))
    return [(v.rule, v.level, v.path) for v in check_folder(folder)]


@pytest.mark.parametrize("files, broken", [
    # Format and colour: App Store Connect and Play take 8-bit RGB PNG or JPEG, no alpha.
    ({f"{APPLE}/02_a.png": (IPHONE, "RGBA")}, [("apple-alpha", ERROR, f"{APPLE}/02_a.png")]),
    ({f"{APPLE}/02_a.png": (IPHONE, "RGB", {"transparency": (0, 0, 0)})}, [("apple-alpha", ERROR, f"{APPLE}/02_a.png")]),
    ({f"{APPLE}/02_a.jpg": (IPHONE, "L")}, [("apple-colour", ERROR, f"{APPLE}/02_a.jpg")]),
    ({f"{APPLE}/02_a.jpg": (IPHONE, "RGB", {"format": "PNG"})}, [("format", ERROR, f"{APPLE}/02_a.jpg")]),
    ({f"{APPLE}/02_a.gif": (IPHONE, "RGB", {"format": "GIF"})}, [("format", WARNING, f"{APPLE}/02_a.gif")]),
    ({f"{PLAY}/tvBanner.png": ((1280, 720), "RGBA")}, [("play-format", ERROR, f"{PLAY}/tvBanner.png")]),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((1080, 1920), "P")},
     [("play-format", ERROR, f"{PLAY}/phoneScreenshots/03_a.png")]),
    # Sizes: deliver's display types; Play's 320 to 3,840 px (10-inch: 1,080 to 7,680), 2:1 at most.
    ({f"{APPLE}/02_a.png": ((1000, 2000),)}, [("apple-size", ERROR, f"{APPLE}/02_a.png")]),
    ({f"{APPLE}/02_a.png": ((390, 312),)}, [("apple-size", ERROR, f"{APPLE}/02_a.png")]),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((319, 600),)}, [("play-size", ERROR, f"{PLAY}/phoneScreenshots/03_a.png")]),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((320, 640),)}, []),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((1920, 3840),)}, []),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((1921, 3841),)}, [("play-size", ERROR, f"{PLAY}/phoneScreenshots/03_a.png")]),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((1000, 2001),)},
     [("play-aspect", WARNING, f"{PLAY}/phoneScreenshots/03_a.png")]),
    ({f"{PLAY}/tenInchScreenshots/01_a.png": ((1079, 1920),)},
     [("play-size", ERROR, f"{PLAY}/tenInchScreenshots/01_a.png")]),
    ({f"{PLAY}/tenInchScreenshots/01_a.png": ((1080, 1920),)}, []),
    ({f"{PLAY}/wearScreenshots/01_a.png": ((383, 383),)}, [("play-size", ERROR, f"{PLAY}/wearScreenshots/01_a.png")]),
    ({f"{PLAY}/wearScreenshots/01_a.png": ((384, 384),)}, []),
    ({f"{PLAY}/featureGraphic.png": ((1024, 501),)}, [("play-size", ERROR, f"{PLAY}/featureGraphic.png")]),
    # 8 MB per Play screenshot.
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((1080, 1920), "RGB", {"length": 8 * MB})}, []),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((1080, 1920), "RGB", {"length": 8 * MB + 1})},
     [("play-file-size", ERROR, f"{PLAY}/phoneScreenshots/03_a.png")]),
    # Counts: App Store 10 per display type and language; Play 2 to 8 phone screenshots, 8 of each kind.
    (numbered(APPLE, 9, IPHONE, "x", 2), []),
    (numbered(APPLE, 10, IPHONE, "x", 2), [("apple-count", ERROR, f"{APPLE}/11_x.png")]),
    (numbered(APPLE, 11, IPHONE, "x", 2), [("apple-count", ERROR, f"{APPLE}/11_x.png"),
                                           ("apple-count", ERROR, f"{APPLE}/12_x.png")]),
    ({f"{PLAY}/phoneScreenshots/02_p.png": None}, [("play-count", ERROR, "en-US")]),
    (numbered(f"{PLAY}/phoneScreenshots", 8, (1080, 1920), "p"), []),
    (numbered(f"{PLAY}/phoneScreenshots", 9, (1080, 1920), "p"),
     [("play-count", ERROR, f"{PLAY}/phoneScreenshots/09_p.png")]),
    (numbered(f"{PLAY}/sevenInchScreenshots", 9, (1080, 1920)),
     [("play-count", ERROR, f"{PLAY}/sevenInchScreenshots/09_s.png")]),
    # Sets: the 6.9-inch (or 6.5-inch) iPhone and the 13-inch iPad set are required.
    ({f"{APPLE}/01_home_iphone.png": ((1170, 2532),)}, [("apple-iphone-set", ERROR, "en-US")]),
    ({f"{APPLE}/01_home_iphone.png": ((1242, 2688),)}, []),
    ({f"{APPLE}/02_a.png": ((1668, 2388),)}, [("apple-ipad-set", ERROR, "en-US")]),
    ({f"{APPLE}/02_a.png": ((1668, 2388),), f"{APPLE}/03_a.png": ((2048, 2732),)}, []),
    ({f"{APPLE}/01_home_other.png": ((2796, 1290),)}, [("apple-mixed-sizes", WARNING, "en-US")]),
    ({f"{APPLE}/01_home_mac.png": ((1440, 900),)}, [("apple-platforms", WARNING, "en-US")]),
    # Apple Watch Ultra 2 and 3 are one display type for deliver: 6 + 5 screens are 11 there.
    ({**numbered(APPLE, 6, (410, 502), "u2", 2), **numbered(APPLE, 5, (422, 514), "u3", 8)},
     [("apple-count", ERROR, f"{APPLE}/12_u3.png"), ("apple-mixed-sizes", WARNING, "en-US")]),
    # Names the tools sort differently from the App Store, folders and languages they do not take.
    ({f"{PLAY}/phoneScreenshots/10_p.png": ((1080, 1920),)}, []),
    ({f"{PLAY}/phoneScreenshots/1_p.png": ((1080, 1920),), f"{PLAY}/phoneScreenshots/10_p.png": ((1080, 1920),)},
     [("name-order", ERROR, f"{PLAY}/phoneScreenshots")]),
    ({f"{PLAY}/automotiveScreenshots/01_a.png": ((800, 1280),)},
     [("play-folder", WARNING, f"{PLAY}/automotiveScreenshots")]),
    ({"fastlane/screenshots/zh-CN/01_a.png": (IPHONE,)}, [("apple-language", ERROR, "fastlane/screenshots/zh-CN")]),
    ({"fastlane/screenshots/bn/01_a.png": (IPHONE,)}, [("apple-language", ERROR, "fastlane/screenshots/bn")]),
    ({"fastlane/screenshots/bn-BD/01_a.png": (IPHONE,)}, []),
    ({"fastlane/metadata/android/ja/images/phoneScreenshots/01_a.png": ((1080, 1920),),
      "fastlane/metadata/android/ja/images/phoneScreenshots/02_a.png": ((1080, 1920),)},
     [("play-language", ERROR, "fastlane/metadata/android/ja")]),
])
def test_each_rule_at_its_boundary(tmp_path, files, broken):
    assert sorted(found_in(tmp_path, files)) == sorted(broken)


def test_a_wrong_language_folder_names_the_stores_code(tmp_path):
    make(tmp_path, "fastlane/screenshots/zh-CN/01_a.png", IPHONE)
    [message] = [v.message for v in check_folder(tmp_path)]
    assert "the App Store's code for it is zh-Hans" in message


@pytest.mark.parametrize("size, path, display_type", [
    ((1320, 2868), "x.png", "APP_IPHONE_67"), ((2868, 1320), "x.png", "APP_IPHONE_67"),
    ((1206, 2622), "x.png", "APP_IPHONE_61"), ((1080, 2340), "x.png", "APP_IPHONE_58"),
    ((2064, 2752), "x.png", "APP_IPAD_PRO_3GEN_129"), ((2048, 2732), "x.png", "APP_IPAD_PRO_3GEN_129"),
    ((2048, 2732), "/iPad Pro (12.9-inch) (2nd generation)/x.png", "APP_IPAD_PRO_129"),
    ((422, 514), "x.png", "APP_WATCH_ULTRA"), ((410, 502), "x.png", "APP_WATCH_ULTRA"),
    ((514, 422), "x.png", None), ((1280, 800), "x.png", "APP_DESKTOP"), ((800, 1280), "x.png", None),
    ((3840, 2160), "/out/tv.png", "APP_APPLE_TV"), ((3840, 2160), "/television/out/tv.png", "APP_APPLE_VISION_PRO"),
    ((2160, 3840), "/vision.png", None),
])
def test_display_types_as_deliver_reads_them(size, path, display_type):
    assert apple_display_type(*size, path) == display_type


def test_every_app_store_preset_has_the_display_type_deliver_gives_its_size():
    import kestrelite
    for device in json.loads(kestrelite._native._presets_json()):
        if device["store"] == "apple":
            size = (device["output_width"], device["output_height"])
            assert apple_display_type(*size, f"/out/{device['id']}.png") == device["apple_display_type"], device


def test_an_apple_tv_image_under_a_folder_named_vision_is_reported(tmp_path):
    out = tmp_path / "television"
    make(out, "fastlane/screenshots/en-US/01_home_apple-tv-2160.png", (3840, 2160))
    make(out, "fastlane/screenshots/ja/01_home_apple-vision-pro.png", (3840, 2160))
    assert [(v.rule, v.path) for v in check_folder(out)] == [
        ("apple-vision-path", "fastlane/screenshots/en-US/01_home_apple-tv-2160.png")]


def test_files_no_run_wrote_and_captures_without_glyphs_or_files(tmp_path):
    """With a report, the folder holds exactly what the run wrote: a file
    beside it would be uploaded too."""
    listed = [f"{APPLE}/01_home_iphone.png", f"{PLAY}/phoneScreenshots/01_p.png", f"{PLAY}/phoneScreenshots/02_p.png",
              f"{PLAY}/phoneScreenshots/03_gone.png"]
    for path, (size,) in BASE.items():
        make(tmp_path, path, size)
    make(tmp_path, f"{APPLE}/00_old.png", IPHONE)
    glyphs = {"fonts": ["Noto Sans"], "missing": ["U+E000"], "missing_count": 1}
    captures = [{"locale": "en-US", "screen": "s", "device_id": "d", "outcome": "exact", "path": p,
                 "capture": {"sha256": "0", **({"glyphs": glyphs} if i == 0 else {})}} for i, p in enumerate(listed)]
    report = {"kestrelite": "0", "kind": "set", "layout": "fastlane", "captures": captures,
              "missing": ["de-DE/s/d"]}
    (tmp_path / "report.json").write_text(json.dumps(report))
    assert sorted((v.rule, v.path) for v in check_folder(tmp_path) if v.level == ERROR) == [
        ("glyphs", f"{APPLE}/01_home_iphone.png"), ("missing", "de-DE/s/d"),
        ("missing", f"{PLAY}/phoneScreenshots/03_gone.png"), ("stray", f"{APPLE}/00_old.png")]
    assert main(["check", str(tmp_path)]) == 1


def test_check_exit_status(tmp_path, capsys):
    make(tmp_path, f"{APPLE}/01_a.png", IPHONE, "RGBA")
    assert main(["check", str(tmp_path)]) == 1
    assert f"error: {APPLE}/01_a.png: apple-alpha:" in capsys.readouterr().out
    assert main(["check", str(tmp_path / "fastlane" / "screenshots")]) == 2
