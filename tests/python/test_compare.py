"""kestrelite compare and capture --baseline: the pairing of two run folders,
each status with its figures, PNGs of every kind, the difference image and
page, and real captures of a page and of copies with one element changed."""
import hashlib
import inspect
import json
import os
import shutil
import struct
import subprocess
import zlib

import numpy as np
import pytest
from PIL import Image

from conftest import BROWSER, BUILD_DIR, needs_browser, run_cli as run
from kestrelite import capture_json, compare, compare_page
from kestrelite._native import _compare_png
from kestrelite.plan import key_fields

ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
RED = (255, 0, 0)


def write_png(rows, colour_type=2, depth=8, interlace=False, palette=None, trns=None):
    """PNG bytes written by hand, not by the library under test: `rows` are
    lists of pixels, each a tuple of samples (a 1-tuple index for palettes)."""
    height, width = len(rows), len(rows[0])

    def scanline(pixels):
        samples = [s for p in pixels for s in p]
        if depth >= 8:
            return b"\0" + b"".join(s.to_bytes(depth // 8, "big") for s in samples)
        bits = "".join(format(s, f"0{depth}b") for s in samples)
        bits += "0" * (-len(bits) % 8)
        return b"\0" + int(bits, 2).to_bytes(len(bits) // 8, "big")

    raw = b"".join(scanline(rows[y][x0::dx]) for x0, y0, dx, dy in (ADAM7 if interlace else [(0, 0, 1, 1)])
                   if x0 < width for y in range(y0, height, dy))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0,
                                                              int(interlace)))
            + (chunk(b"PLTE", bytes(c for rgb in palette for c in rgb)) if palette else b"")
            + (chunk(b"tRNS", trns) if trns is not None else b"")
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def picture(width=13, height=9, changed=()):
    """An RGB picture of black and white bands, with the pixels in `changed` inverted."""
    bits = [[int((x // 3 + y) % 2 != ((x, y) in changed)) for x in range(width)] for y in range(height)]
    return bits, write_png([[(255 * b,) * 3 for b in row] for row in bits])


def write_run(folder, shots, kind="capture", thresholds=None):
    """A run folder: `shots` maps a device id (capture) or a (locale, screen,
    device id) key (set) to PNG bytes, or to None for a failed capture."""
    folder.mkdir(parents=True, exist_ok=True)
    entries = []
    for key, png in shots.items():
        names = dict(zip(key_fields(kind, False), key if kind == "set" else (key,)))
        entry = {**names, "outcome": "failed", "elapsed_ms": 1}
        if png is None:
            entry["error"] = "browser: it broke"
        else:
            path = "/".join(names[k] for k in key_fields(kind, False)) + ".png"
            (folder / path).parent.mkdir(parents=True, exist_ok=True)
            (folder / path).write_bytes(png)
            width, height = struct.unpack(">II", png[16:24])
            entry.update(outcome="exact", path=str(folder / path) if kind == "capture" else path,
                         capture={"sha256": hashlib.sha256(png).hexdigest(), "actual": [width, height]})
        entries.append(entry)
    report = {"kind": "set", "captures": entries} if kind == "set" else {"url": "x", "results": entries}
    if thresholds:
        report["thresholds"] = thresholds
    (folder / "report.json").write_text(json.dumps(report))
    return folder


@pytest.mark.parametrize("thresholds, global_threshold, ok", [
    ({"home": 9}, 0, False),          # the changed tides screen has none of its own
    ({"tides": 9}, 0, True),          # 9 of 117 pixels changed: exactly at the limit
    ({"tides": 8}, 0, False),
    ({"tides": "7.7%"}, 0, True),     # 7.7% of 117 pixels is 9.009: 9 pass ...
    ({"tides": "7.6%"}, 0, False),    # ... 7.6% is 8.892: only 8
    ({}, "7.7%", True),
    ({"tides": 0}, 9, False),         # the screen's own comes first, even when stricter
])
def test_a_screen_threshold_comes_before_the_comparison_s(tmp_path, thresholds, global_threshold, ok):
    changed = picture(changed={(x, 4) for x in range(9)})[1]
    base = write_run(tmp_path / "base", {("en-US", "home", "d"): picture()[1], ("en-US", "tides", "d"): picture()[1]},
                     "set")
    new = write_run(tmp_path / "new", {("en-US", "home", "d"): picture()[1], ("en-US", "tides", "d"): changed}, "set",
                    thresholds=thresholds)
    record = compare.compare_runs(base, new, threshold=global_threshold)
    [pair] = [p for p in record["pairs"] if p["status"] == "changed"]
    assert (pair["differing_pixels"], record["ok"]) == (9, ok)
    assert pair.get("threshold", global_threshold) == thresholds.get("tides", global_threshold)


def red_mask(path):
    return np.all(np.asarray(Image.open(path).convert("RGB")) == RED, axis=2)


def test_each_status_with_its_figures(tmp_path):
    same = picture()[1]
    changed = picture(changed={(4, 7)})[1]
    base = write_run(tmp_path / "base", {"same": same, "changed": same, "removed": same, "failed": same,
                                         "resized": same})
    new = write_run(tmp_path / "new", {"same": same, "changed": changed, "failed": None,
                                       "resized": picture(width=12)[1], "added": same})
    status, stdout, stderr = run(["compare", base, new])
    assert (status, stderr) == (1, "")
    record = json.loads((new / "compare" / "compare.json").read_text())
    assert {p["device_id"]: p["status"] for p in record["pairs"]} == {
        "same": "same", "changed": "changed", "removed": "removed", "failed": "failed", "resized": "changed",
        "added": "added"}
    assert [record[s] for s in compare.STATUSES] == [1, 2, 1, 1, 1] and record["ok"] is False
    pairs = {p["device_id"]: p for p in record["pairs"]}
    one = pairs["changed"]
    assert (one["differing_pixels"], one["box"], one["within_threshold"]) == (
        1, {"x": 4, "y": 7, "width": 1, "height": 1}, False)
    assert one["differing_share"] == 1 / (13 * 9)
    assert np.argwhere(red_mask(new / "compare" / one["difference"])).tolist() == [[7, 4]]
    assert (pairs["resized"]["size_changed"], pairs["resized"]["new"]["size"]) == (True, [12, 9])
    assert "difference" not in pairs["resized"] and pairs["failed"]["new"]["error"] == "browser: it broke"
    lines = stdout.splitlines()
    assert [line.split()[:2] for line in lines[:5]] == [
        ["changed", "changed"], ["failed", "failed"], ["changed", "resized"], ["added", "added"],
        ["removed", "removed"]]
    assert "1 pixel (0.85%) in 1x1 at 4,7" in lines[0] and "size 13x9 -> 12x9" in lines[2]

    # Within the threshold the change is still listed, but passes.
    only = write_run(tmp_path / "only", {"changed": changed})
    small = write_run(tmp_path / "small", {"changed": same})
    assert run(["compare", small, only, "--threshold", "1"])[0] == 0
    assert run(["compare", small, only, "--out", tmp_path / "strict"])[0] == 1
    # A second comparison into the same folder clears the first one's images.
    assert run(["compare", small, small, "--out", tmp_path / "strict"])[0] == 0
    assert not (tmp_path / "strict" / "changed.diff.png").exists()


BW = [(0, 0, 0), (255, 255, 255)]
KINDS = {  # name: (colour type, depth, sample of a black (0) or white (1) pixel, options)
    "grey1": (0, 1, lambda b: (b,), {}),
    "grey2-interlaced": (0, 2, lambda b: (3 * b,), {"interlace": True}),
    "grey4": (0, 4, lambda b: (15 * b,), {}),
    "grey16": (0, 16, lambda b: (65535 * b,), {}),
    "grey8-unused-key": (0, 8, lambda b: (255 * b,), {"trns": b"\x00\x07"}),
    "grey-alpha16": (4, 16, lambda b: (65535 * b, 65535), {}),
    "rgb16-interlaced": (2, 16, lambda b: (65535 * b,) * 3, {"interlace": True}),
    "rgba8": (6, 8, lambda b: (255 * b,) * 3 + (255,), {}),
    "palette1": (3, 1, lambda b: (b,), {"palette": BW}),
    "palette8-opaque-trns": (3, 8, lambda b: (b,), {"palette": BW, "trns": b"\xff\xff"}),
    "palette4-interlaced": (3, 4, lambda b: (b,), {"palette": BW, "interlace": True}),
}


@pytest.mark.parametrize("kind", KINDS)
def test_every_kind_of_png_compares_by_its_pixels(tmp_path, kind):
    colour_type, depth, sample, options = KINDS[kind]
    base = write_run(tmp_path / "base", {"d": picture()[1]})

    def encoded(changed=()):
        bits = picture(changed=changed)[0]
        return write_png([[sample(b) for b in row] for row in bits], colour_type, depth, **options)
    for changed, figures in (((), (0, None)), (((12, 8),), (1, {"x": 12, "y": 8, "width": 1, "height": 1}))):
        record = compare.compare_runs(base, write_run(tmp_path / f"new{len(changed)}", {"d": encoded(changed)}))
        [pair] = record["pairs"]
        # Other bytes, the same pixels: the same picture.
        assert pair["status"] == ("changed" if changed else "same") and record["ok"] is not changed
        assert (pair["differing_pixels"], pair.get("box")) == figures


def test_native_comparison_takes_its_options_by_keyword():
    base, new = picture()[1], picture(changed={(1, 1), (12, 8)})[1]
    assert str(inspect.signature(_compare_png)) == "(base, new, *, masks=None, antialiasing=None)"
    plain = '{"base":[13,9],"new":[13,9],"differing":2,"box":[1,1,12,8]}'
    assert _compare_png(base, new)[0] == _compare_png(base, new, masks=None, antialiasing=None)[0] == plain
    # A black and white picture has no blends: (1,1) stays changed; the mask
    # is clipped to columns 10-12 of rows 6-8 and leaves (12,8) out.
    figures, image = _compare_png(base, new, masks=[(10, 6, 100, 100)], antialiasing="ignore")
    assert figures == '{"base":[13,9],"new":[13,9],"differing":1,"masked":1,"box":[1,1,1,1]}'
    assert image.startswith(b"\x89PNG")
    assert _compare_png(base, new, masks=[])[0] == plain


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((b"",) * 3, {}, TypeError, "_compare_png() takes 2 positional arguments but 3 were given"),
    ((), {"masks": "0,0,1,1"}, TypeError, "argument 'masks': expected a sequence of (x, y, width, height)"),
    ((), {"masks": [(0, 0, 1)]}, TypeError, "argument 'masks': each mask is a sequence of 4 ints"),
    ((), {"masks": [b"\0\0\1\1"]}, TypeError, "argument 'masks': each mask is a sequence of 4 ints"),
    ((), {"masks": [(0, 0, 1, "1")]}, TypeError, "argument 'masks': 'str' object cannot be converted to 'int'"),
    ((), {"masks": [(2**63, 0, 1, 1)]}, OverflowError, "argument 'masks': out of range for a 64-bit integer"),
    ((), {"antialiasing": "off"}, ValueError, "argument 'antialiasing': expected 'count' or 'ignore', got 'off'"),
    ((), {"antialiasing": 1}, TypeError, "argument 'antialiasing': 'int' object cannot be converted to 'str'"),
    ((), {"mask": []}, TypeError, "_compare_png() got an unexpected keyword argument 'mask'"),
])
def test_native_comparison_refuses_bad_options(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        _compare_png(*(args or (picture()[1],) * 2), **kwargs)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("damage, reason", [
    (lambda png: png[:60], "invalid png: file is truncated"),
    (lambda png: png[:-13] + bytes([png[-13] ^ 1]) + png[-12:], "invalid png: IDAT: CRC error"),
    (lambda png: b"GIF89a" + png, "not a png (bad magic)"),
], ids=["truncated", "damaged", "not-png"])
def test_a_broken_image_fails_its_pair(tmp_path, damage, reason):
    base = write_run(tmp_path / "base", {"d": picture()[1], "e": picture()[1]})
    new = write_run(tmp_path / "new", {"d": picture(changed={(0, 0)})[1], "e": picture(changed={(1, 1)})[1]})
    (new / "d.png").write_bytes(damage((new / "d.png").read_bytes()))
    status, stdout, stderr = run(["compare", base, new])
    assert (status, stderr) == (1, "")
    assert f"failed   d  {new / 'd.png'}: {reason}" in stdout
    assert "changed  e  1 pixel" in stdout


BAD = {  # how NEW is made, further arguments, and what the message says
    "missing": (lambda new: None, [], "missing is not a folder"),
    "no-report": (lambda new: new.mkdir(), [], "has no report.json: not a kestrelite run folder"),
    "not-json": (lambda new: new.mkdir() or (new / "report.json").write_text("{"), [], "cannot read"),
    "set": (lambda new: write_run(new, {("en-US", "home", "d"): picture()[1]}, "set"), [],
            "cannot compare a capture run"),
    "unsafe-id": (lambda new: write_run(new, {"../d": None}), [], "a capture without a plain device_id"),
    "out-is-a-run": (lambda new: write_run(new, {"d": picture()[1]}), ["--out", "BASE"],
                     "holds a capture run (kestrelite capture), not a comparison"),
    "threshold": (lambda new: write_run(new, {"d": picture()[1]}), ["--threshold", "-1"], "must be a whole number of pixels, 0 or more"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_arguments_exit_2(tmp_path, case):
    make, extra, message = BAD[case]
    base = write_run(tmp_path / "base", {"d": picture()[1]})
    make(tmp_path / case)
    status, stdout, stderr = run(["compare", base, tmp_path / case, *[base if a == "BASE" else a for a in extra]])
    assert status == 2 and message in stderr and "Traceback" not in stderr


def interpreters():
    """Debian's interpreter, which has Pillow and numpy, and the first python3
    on PATH (on these machines a pyenv build with neither)."""
    return list(dict.fromkeys(p for p in ("/usr/bin/python3", shutil.which("python3")) if p))


@pytest.mark.parametrize("python", interpreters())
def test_compare_works_under_both_interpreters(tmp_path, python):
    base = write_run(tmp_path / "base", {"d": picture()[1]})
    new = write_run(tmp_path / "new", {"d": picture(changed={(0, 0)})[1]})
    done = subprocess.run([python, "-m", "kestrelite", "compare", base, new], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": str(BUILD_DIR / "python"), "PYENV_VERSION": ""})
    assert done.returncode == 1, done.stderr
    assert json.loads((new / "compare" / "compare.json").read_text())["changed"] == 1


# ---------------------------------------------------------------- real captures

PAGE = """<!doctype html><meta name="viewport" content="width=device-width, initial-scale=1">
<style>html, body {{ margin: 0; background: #fff; overflow: hidden; }}
div {{ position: absolute; width: 30px; height: 20px; }}
#still {{ left: 10px; top: 10px; background: #264653; }}
#change {{ left: 20px; top: 200px; background: #e76f51; {change} }}</style>
<div id="still"></div><div id="change"></div>"""
# The changing element is below the fold of the small watch: only the larger one shows it.
SMALL, LARGE = "apple-watch-s3", "apple-watch-ultra-3"
VARIANTS = {  # CSS added to the changing element, and the box it changes (scale 2)
    "moved": ("left: 100px;", {"x": 40, "y": 400, "width": 220, "height": 40}),
    "recoloured": ("background: #2a9d8f;", {"x": 40, "y": 400, "width": 60, "height": 40}),
    "hidden": ("visibility: hidden;", {"x": 40, "y": 400, "width": 60, "height": 40}),
    "unchanged": ("", None),
}


@pytest.fixture(scope="module")
def baseline_runs(tmp_path_factory):
    """The page captured once, then each variant captured with --baseline."""
    if not os.path.exists(BROWSER):
        pytest.skip("needs Debian's chromium-headless-shell")
    root = tmp_path_factory.mktemp("pages")
    runs = {}
    for name, (css, _) in [("base", ("", None))] + list(VARIANTS.items()):
        (root / f"{name}.html").write_text(PAGE.format(change=css))
        argv = ["capture", root / f"{name}.html", "--out", root / name, "--browser", BROWSER, "--jobs", "2",
                "--device", SMALL, "--device", LARGE] + (["--baseline", root / "base"] if name != "base" else [])
        runs[name] = (*run(argv), root / name)
    return runs


@needs_browser
@pytest.mark.parametrize("variant", VARIANTS)
def test_baseline_finds_exactly_the_changed_pixels(baseline_runs, variant):
    status, stdout, stderr, out = baseline_runs[variant]
    box = VARIANTS[variant][1]
    assert status == (1 if box else 0), stdout + stderr
    record = json.loads((out / "compare" / "compare.json").read_text())
    pairs = {p["device_id"]: p for p in record["pairs"]}
    assert pairs[SMALL]["status"] == "same"
    assert pairs[LARGE]["status"] == ("changed" if box else "same")
    changed = [line for line in stdout.splitlines() if line.startswith("baseline: changed")]
    assert len(changed) == (1 if box else 0)
    if box:
        assert LARGE in changed[0] and f"in {box['width']}x{box['height']} at {box['x']},{box['y']}" in changed[0]
        assert pairs[LARGE]["box"] == box
        before, after = (np.asarray(Image.open(run_dir / f"{LARGE}.png").convert("RGB"))
                         for run_dir in (out.parent / "base", out))
        differing = np.any(before != after, axis=2)
        assert differing.sum() == pairs[LARGE]["differing_pixels"]
        assert (red_mask(out / "compare" / pairs[LARGE]["difference"]) == differing).all()
    else:
        assert not list((out / "compare").glob("*.png"))


@needs_browser
def test_comparison_page_shows_every_image_in_the_browser(baseline_runs, tmp_path):
    """Loaded from the file system, the page's strip turns green only when
    every image decoded; copied away from the images it must turn red."""
    folder = baseline_runs["moved"][3] / "compare"
    html = (folder / "index.html").read_text()
    assert "://" not in html

    def strip_colour(page_folder, name):
        report = json.loads(capture_json((page_folder / "index.html").as_uri(), str(tmp_path / name),
                                         ["apple-mac-1440"], browser=BROWSER))
        assert report["ok"], report
        with Image.open(report["results"][0]["path"]) as shot:
            return "#%02x%02x%02x" % shot.convert("RGB").getpixel((4, 4))

    assert strip_colour(folder, "whole") == compare_page.OK_COLOUR
    moved = tmp_path / "elsewhere"
    moved.mkdir()
    (moved / "index.html").write_text(html)
    assert strip_colour(moved, "broken") == compare_page.BROKEN_COLOUR


@needs_browser
def test_baseline_that_the_run_would_overwrite_is_refused(tmp_path):
    base = write_run(tmp_path / "base", {SMALL: picture()[1]})
    status, stdout, stderr = run(["capture", "about:blank", "--out", base, "--device", SMALL, "--browser", BROWSER,
                                  "--baseline", base])
    assert status == 2 and "is the output folder" in stderr and stdout == ""
    assert run(["capture", "about:blank", "--out", tmp_path / "o", "--device", SMALL, "--browser", BROWSER,
                "--baseline", tmp_path])[0] == 2


SET_PAGE = """<!doctype html><meta name="viewport" content="width=device-width, initial-scale=1">
<body style="margin:0"><div id="x" style="position:absolute;left:10px;top:10px;width:40px;height:30px"></div>
<script>document.getElementById("x").style.background =
  new URLSearchParams(location.search).get("lang") === "de-DE" ? "{german}" : "#3af";</script>"""


@needs_browser
def test_run_baseline_pairs_the_set_by_locale_screen_and_device(tmp_path):
    """Two set runs of one screen in two locales; the page changes for de-DE only."""
    for name, german in (("base", "#fd3"), ("new", "#f80")):
        (tmp_path / name).mkdir()
        (tmp_path / name / "index.html").write_text(SET_PAGE.format(german=german))
        (tmp_path / f"{name}.toml").write_text(
            f'out = "out-{name}"\nlocales = ["en-US", "de-DE"]\ndevices = ["{SMALL}"]\n'
            f'[[screen]]\nname = "home"\npage = "{name}/index.html?lang={{locale}}"\n')
    argv = ["run", tmp_path / "base.toml", "--browser", BROWSER, "--jobs", "2"]
    run(argv)
    assert run(argv[:2] + ["--baseline", tmp_path / "out-base", "--shard", "1/2"])[0] == 2
    status, stdout, stderr = run(["run", tmp_path / "new.toml", "--browser", BROWSER, "--jobs", "2",
                                  "--baseline", tmp_path / "out-base"])
    assert status == 1 and f"baseline: changed  de-DE/home/{SMALL}  4800 pixels" in stdout, stdout + stderr
    record = json.loads((tmp_path / "out-new" / "compare" / "compare.json").read_text())
    pairs = {compare_page.pair_name(p): p for p in record["pairs"]}
    assert {name: p["status"] for name, p in pairs.items()} == {
        f"en-US/home/{SMALL}": "same", f"de-DE/home/{SMALL}": "changed"}
    assert pairs[f"de-DE/home/{SMALL}"]["box"] == {"x": 20, "y": 20, "width": 80, "height": 60}


MOTION_PAGE = """<!doctype html><body style="margin:0;background:#fff">
<p id="clock" style="position:absolute;left:10px;top:168px;margin:0;font:16px sans-serif">{clock}</p>
<div style="position:absolute;left:20px;top:20px;transform:translate({shift})">
<svg width="80" height="80"><circle cx="40" cy="40" r="30" fill="#1a6"/></svg>
<p style="font:bold 48px sans-serif;margin:0">{word}</p></div>"""


@needs_browser
def test_masks_and_anti_aliasing_leave_out_only_what_they_should(tmp_path):
    """A ticking clock under a mask, shapes drawn a fraction of a pixel
    apart, and a letter replaced: only the letter is a change, with
    --antialiasing ignore; without it, the shift is one too."""
    def shoot(name, clock="10:00", shift="0px, 0px", word="Hello"):
        (tmp_path / f"{name}.html").write_text(MOTION_PAGE.format(clock=clock, shift=shift, word=word))
        status, _, stderr = run(["capture", tmp_path / f"{name}.html", "--out", tmp_path / name, "--device", SMALL,
                                 "--browser", BROWSER, "--mask", "#clock"])
        assert status == 0, stderr
        return tmp_path / name

    def compared(base, new, *extra):
        status, stdout, _ = run(["compare", base, new, "--out", tmp_path / f"c-{base.name}-{new.name}", *extra])
        [pair] = json.loads((tmp_path / f"c-{base.name}-{new.name}" / "compare.json").read_text())["pairs"]
        return status, pair

    base = shoot("base")
    ticked = shoot("ticked", clock="10:01")
    shifted = shoot("shifted", clock="10:01", shift="0.4px, 0.3px")
    replaced = shoot("replaced", word="Hallo")
    digests = {f.name: hashlib.sha256((f / f"{SMALL}.png").read_bytes()).hexdigest()
               for f in (base, ticked, shifted, replaced)}
    # The masks leave the stored images alone: the clock's change is in them.
    assert len(set(digests.values())) == 4
    status, pair = compared(base, ticked)
    assert (status, pair["status"], pair["differing_pixels"]) == (0, "same", 0) and pair["masked_pixels"] > 0
    status, pair = compared(base, shifted, "--antialiasing", "ignore")
    assert (status, pair["status"]) == (0, "same") and pair["antialiased_pixels"] > 0
    status, pair = compared(base, shifted)
    assert (status, pair["status"]) == (1, "changed") and "antialiased_pixels" not in pair
    for extra in ([], ["--antialiasing", "ignore"]):
        status, pair = compared(base, replaced, *extra)
        assert (status, pair["status"]) == (1, "changed") and pair["differing_pixels"] > 0
