"""Store rules over fastlane folders of images made to break each rule. No browser."""
import os

import pytest
from PIL import Image

from kestrelite.check import ERROR, WARNING, check_folder
from kestrelite.cli import main
from kestrelite.imageinfo import read_info

APPLE = "fastlane/screenshots/en-US"
PLAY = "fastlane/metadata/android/en-US/images"
IPHONE = (1320, 2868)


def make(folder, path, size, mode="RGB", **save):
    target = folder / path
    target.parent.mkdir(parents=True, exist_ok=True)
    kind = {".jpg": "JPEG", ".jpeg": "JPEG"}.get(os.path.splitext(path)[1].lower(), "PNG")
    Image.new(mode, size, (40, 90, 160) if mode == "RGB" else 0).save(target, save.pop("format", kind), **save)


def phones(n):
    return {f"{PLAY}/phoneScreenshots/{i:02d}_s_p.png": ((1080, 1920),) for i in range(1, n + 1)}


# A valid base: one iPhone 6.9-inch screenshot and two Play phone screenshots.
BASE = {f"{APPLE}/01_home_iphone.png": (IPHONE,), **phones(2)}


@pytest.mark.parametrize("files, rule, level, where", [
    ({f"{APPLE}/02_a.png": (IPHONE, "RGBA")}, "apple-alpha", ERROR, "02_a.png"),
    ({f"{APPLE}/02_a.png": (IPHONE, "RGB", {"transparency": (0, 0, 0)})}, "apple-alpha", ERROR, "02_a.png"),
    ({f"{APPLE}/02_a.png": ((1000, 2000),)}, "apple-size", ERROR, "02_a.png"),
    ({f"{APPLE}/02_a.png": ((390, 312),)}, "apple-size", ERROR, "02_a.png"),
    ({f"{APPLE}/02_a.jpg": (IPHONE, "L")}, "apple-colour", ERROR, "02_a.jpg"),
    ({f"{APPLE}/02_a.jpg": (IPHONE, "RGB", {"format": "PNG"})}, "format", ERROR, "02_a.jpg"),
    ({f"{APPLE}/02_a.gif": (IPHONE, "RGB", {"format": "GIF"})}, "format", ERROR, "02_a.gif"),
    ({f"{APPLE}/{i:02d}_x.png": (IPHONE,) for i in range(2, 12)}, "apple-count", ERROR, "11_x.png"),
    ({f"{APPLE}/02_a.png": ((1170, 2532),)} | {f"{APPLE}/01_home_iphone.png": ((1170, 2532),)},
     "apple-iphone-set", ERROR, "en-US"),
    ({f"{APPLE}/02_a.png": ((1668, 2388),)}, "apple-ipad-set", ERROR, "en-US"),
    ({f"{APPLE}/01_home_other.png": ((2796, 1290),)}, "apple-mixed-sizes", WARNING, "en-US"),
    ({f"{APPLE}/01_home_mac.png": ((1440, 900),)}, "apple-platforms", WARNING, "en-US"),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((300, 600),)}, "play-size", ERROR, "03_a.png"),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((1000, 2100),)}, "play-aspect", WARNING, "03_a.png"),
    ({f"{PLAY}/tenInchScreenshots/01_a.png": ((1000, 1900),)}, "play-size", ERROR, "01_a.png"),
    ({f"{PLAY}/wearScreenshots/01_a.png": ((400, 380),)}, "play-size", ERROR, "01_a.png"),
    ({f"{PLAY}/featureGraphic.png": ((1000, 500),)}, "play-size", ERROR, "featureGraphic.png"),
    ({f"{PLAY}/tvBanner.png": ((1280, 720), "RGBA")}, "play-format", ERROR, "tvBanner.png"),
    ({f"{PLAY}/phoneScreenshots/03_a.png": ((1080, 1920), "P")}, "play-format", ERROR, "03_a.png"),
    ({f"{PLAY}/phoneScreenshots/02_s_p.png": None}, "play-count", ERROR, "en-US"),
    (phones(9), "play-count", ERROR, "09_s_p.png"),
])
def test_each_broken_rule_is_reported(tmp_path, files, rule, level, where):
    layout = {**BASE, **files}
    for path, shape in layout.items():
        if shape is not None:
            make(tmp_path, path, shape[0], *shape[1:2], **(shape[2] if len(shape) > 2 else {}))
    found = check_folder(tmp_path)
    assert [(v.rule, v.level) for v in found if v.path.endswith(where)] == [(rule, level)], found
    assert all(v.path.endswith(where) for v in found), found


def test_a_valid_folder_passes_and_vision_is_told_from_tv(tmp_path, capsys):
    for path, shape in BASE.items():
        make(tmp_path, path, shape[0])
    make(tmp_path, f"{APPLE}/01_home_apple-watch-ultra-3.png", (422, 514))
    make(tmp_path, "fastlane/screenshots/ja/01_home_apple-vision-pro.png", (3840, 2160))
    make(tmp_path, "fastlane/screenshots/ko/01_home_apple-tv-2160.jpg", (3840, 2160), quality=90)
    make(tmp_path, f"{PLAY}/featureGraphic.jpg", (1024, 500), progressive=True)
    assert check_folder(tmp_path) == []
    assert main(["check", str(tmp_path)]) == 0
    info = read_info(tmp_path / PLAY / "featureGraphic.jpg")
    assert (info.format, info.width, info.height, info.colour) == ("jpeg", 1024, 500, "rgb")


def test_a_file_too_large_for_play(tmp_path):
    for path, shape in BASE.items():
        make(tmp_path, path, shape[0])
    big = Image.frombytes("RGB", (1800, 1800), os.urandom(1800 * 1800 * 3))
    big.save(tmp_path / PLAY / "phoneScreenshots" / "03_big.png", compress_level=0)
    assert [(v.rule, v.level) for v in check_folder(tmp_path)] == [("play-file-size", ERROR)]


def test_check_exit_status(tmp_path, capsys):
    make(tmp_path, f"{APPLE}/01_a.png", IPHONE, "RGBA")
    assert main(["check", str(tmp_path)]) == 1
    assert f"error: {APPLE}/01_a.png: apple-alpha:" in capsys.readouterr().out
    assert main(["check", str(tmp_path / "fastlane" / "screenshots")]) == 2
