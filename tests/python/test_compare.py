"""kestrelite compare and --baseline: pairs, statuses, figures, PNG kinds, thresholds; masks in real captures."""
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
from urllib.parse import unquote

import numpy as np
import pytest
from PIL import Image

from conftest import BROWSER, BUILD_DIR, make_fake_browser, needs_browser, run_cli as run
from kestrelite import compare
from kestrelite.plan import key_fields

PAGE = """<!doctype html><body style="margin:0;background:#fff">
<p id="clock" style="position:absolute;left:10px;top:168px;margin:0;font:16px sans-serif">{clock}</p>
<div style="position:absolute;left:20px;top:20px;transform:translate({shift})">
<svg width="80" height="80"><circle cx="40" cy="40" r="30" fill="#1a6"/></svg>
<p style="font:bold 48px sans-serif;margin:0">{word}</p></div>"""


def picture(width=13, height=9, changed=(), convert=lambda grey: grey.convert("RGB"), **save):
    """PNG bytes of black and white bands, `changed` pixels inverted: RGB, or what `convert` makes of grey."""
    bits = np.array([[(x // 3 + y) % 2 != ((x, y) in changed) for x in range(width)] for y in range(height)])
    out = io.BytesIO()
    convert(Image.fromarray(bits.astype(np.uint8) * 255)).save(out, "PNG", **save)
    return out.getvalue()


def write_run(folder, shots, kind="capture", thresholds=None):
    """A run folder: `shots` maps a device id or a (locale, screen, device id) key to PNG bytes (None: failed)."""
    folder.mkdir(parents=True, exist_ok=True)
    entries = []
    for key, png in shots.items():
        names = dict(zip(key_fields(kind, False), key if kind == "set" else (key,)))
        path, entry = "/".join(names.values()) + ".png", {**names, "outcome": "failed", "error": "browser: it broke"}
        if png is not None:
            (folder / path).parent.mkdir(parents=True, exist_ok=True)
            (folder / path).write_bytes(png)
            entry = {**names, "outcome": "exact", "path": path, "capture": {"sha256": hashlib.sha256(png).hexdigest()}}
        entries.append(entry)
    (folder / "report.json").write_text(json.dumps({"kind": "set", "captures": entries, "thresholds": thresholds or {}}
                                                   if kind == "set" else {"url": "x", "results": entries}))
    return folder


@pytest.mark.parametrize("thresholds, global_threshold, ok", [
    ({"home": 9}, 0, False),          # the changed tides screen has none of its own
    ({"tides": 9}, 0, True),          # 9 of 117 pixels changed: exactly at the limit
    ({"tides": 8}, 0, False),
    ({"tides": "7.7%"}, 0, True),     # 7.7% of 117 pixels is 9.009: 9 pass ...
    ({"tides": "7.6%"}, 0, False),    # ... 7.6% is 8.892: only 8
    ({"tides": 0}, 9, False),         # the screen's own comes first, even when stricter
])
def test_a_screen_threshold_comes_before_the_comparison_s(tmp_path, thresholds, global_threshold, ok):
    """Only de-DE/tides changes, not its en-US twin: set captures must pair by locale too."""
    keys = [("en-US", "home", "d"), ("en-US", "tides", "d"), ("de-DE", "tides", "d")]
    base = write_run(tmp_path / "base", dict.fromkeys(keys, picture()), "set")
    new = write_run(tmp_path / "new", {**dict.fromkeys(keys, picture()),
                                       keys[2]: picture(changed={(x, 4) for x in range(9)})}, "set", thresholds)
    record = compare.compare_runs(base, new, threshold=global_threshold)
    [pair] = [p for p in record["pairs"] if p["status"] == "changed"]
    assert (pair["locale"], pair["differing_pixels"], record["ok"]) == ("de-DE", 9, ok)
    assert pair.get("threshold", global_threshold) == thresholds.get("tides", global_threshold)


def test_each_status_with_its_figures(tmp_path):
    """A failed capture and an undecodable image fail their pair alone; a size change has no pixel figures.
    Run by the first python3 on PATH, here a pyenv build without Pillow or numpy, which compare must not need."""
    same, changed = picture(), picture(changed={(4, 7)})
    base = write_run(tmp_path / "base", dict.fromkeys("same changed removed failed broken resized".split(), same))
    new = write_run(tmp_path / "new", {"same": same, "changed": changed, "failed": None, "broken": changed[:60],
                                       "resized": picture(width=12), "added": same})
    done = subprocess.run([shutil.which("python3"), "-m", "kestrelite", "compare", base, new], capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": str(BUILD_DIR / "python"), "PYENV_VERSION": ""})
    assert (done.returncode, done.stderr) == (1, "")
    record = json.loads((new / "compare" / "compare.json").read_text())
    pairs = {p["device_id"]: p for p in record["pairs"]}
    assert [(p["device_id"], p["status"]) for p in record["pairs"]] == [
        ("same", "same"), ("changed", "changed"), ("failed", "failed"), ("broken", "failed"),
        ("resized", "changed"), ("added", "added"), ("removed", "removed")]
    assert [record[s] for s in ("same", "changed", "added", "removed", "failed")] == [1, 2, 1, 1, 2]
    one = pairs["changed"]
    assert (one["differing_pixels"], one["differing_share"], one["box"], one["within_threshold"]) == (
        1, 1 / (13 * 9), {"x": 4, "y": 7, "width": 1, "height": 1}, False)
    red = np.all(np.asarray(Image.open(new / "compare" / one["difference"]).convert("RGB")) == (255, 0, 0), axis=2)
    assert np.argwhere(red).tolist() == [[7, 4]]
    assert (pairs["resized"]["size_changed"], pairs["resized"]["new"]["size"]) == (True, [12, 9])
    assert "difference" not in pairs["resized"] and pairs["failed"]["new"]["error"] == "browser: it broke"
    lines = done.stdout.splitlines()
    assert [" ".join(line.split()[:2]) for line in lines[:6]] == [
        "changed changed", "failed failed", "failed broken", "changed resized", "added added", "removed removed"]
    assert "1 pixel (0.85%) in 1x1 at 4,7" in lines[0] and "size 13x9 -> 12x9" in lines[3]
    assert f"{new / 'broken.png'}: invalid png: file is truncated" in lines[2]
    # The page links each image relative to itself, so it shows them when opened from the file system.
    page = (new / "compare" / "index.html").read_text()
    links = re.findall(r'<img[^>]* src="([^"]+)"', page)
    assert links and "://" not in page and all((new / "compare" / unquote(link)).is_file() for link in links)

    # Within the threshold a change passes; a second comparison into a folder clears the first one's images.
    only, small = write_run(tmp_path / "only", {"changed": changed}), write_run(tmp_path / "small", {"changed": same})
    assert run(["compare", small, only, "--threshold", "1"])[0] == 0
    assert run(["compare", small, only, "--out", tmp_path / "strict"])[0] == 1
    assert run(["compare", small, small, "--out", tmp_path / "strict"])[0] == 0
    assert not (tmp_path / "strict" / "changed.diff.png").exists()


@pytest.mark.parametrize("convert, options", [  # how the grey picture is stored, and options of the PNG writer
    (lambda grey: grey, {"transparency": 7}),  # a transparent key no pixel has
    (lambda grey: Image.fromarray(np.asarray(grey).astype(np.uint16) * 257), {}),
    (lambda grey: grey.convert("LA"), {}),
    (lambda grey: grey.convert("P", palette=Image.Palette.ADAPTIVE, colors=2), {"bits": 2}),
], ids=["grey8-unused-key", "grey16", "grey-alpha", "palette2"])
def test_every_kind_of_png_compares_by_its_pixels(tmp_path, convert, options):
    base = write_run(tmp_path / "base", {"d": picture()})
    for changed, figures in (((), (0, None)), (((12, 8),), (1, {"x": 12, "y": 8, "width": 1, "height": 1}))):
        png = picture(changed=changed, convert=convert, **options)
        record = compare.compare_runs(base, write_run(tmp_path / f"new{len(changed)}", {"d": png}))
        [pair] = record["pairs"]
        # Other bytes, the same pixels: the same picture.
        assert pair["status"] == ("changed" if changed else "same") and record["ok"] is not changed
        assert (pair["differing_pixels"], pair.get("box")) == figures


@pytest.mark.parametrize("make, extra, message", [  # how NEW is made, further arguments, what the message says
    (lambda new: new.mkdir(), [], "has no report.json: not a kestrelite run folder"),
    (lambda new: write_run(new, {("en-US", "home", "d"): picture()}, "set"), [], "cannot compare a capture"),
    (lambda new: write_run(new, {"../d": None}), [], "a capture without a plain device_id"),
    (lambda new: write_run(new, {"d": picture()}), ["--threshold", "-1"], "must be a whole number of pixels"),
])
def test_bad_arguments_exit_2(tmp_path, make, extra, message):
    make(tmp_path / "new")
    status, _, stderr = run(["compare", write_run(tmp_path / "base", {"d": picture()}), tmp_path / "new", *extra])
    assert status == 2 and message in stderr and "Traceback" not in stderr


def test_run_baseline_pairs_by_locale_and_refuses_a_baseline_it_would_overwrite(tmp_path, fake_captures):
    """A set in two locales run again with a time zone for de-DE only, which the fake capture step colours."""
    browser = make_fake_browser(tmp_path)
    for name, extra in (("base", ""), ("new", 'timezones = { "de-DE" = "Asia/Tokyo" }\n')):
        (tmp_path / f"{name}.toml").write_text(f'locales = ["en-US", "de-DE"]\ndevices = ["apple-watch-s3"]\n{extra}'
                                               '[[screen]]\nname = "home"\npage = "about:blank"\n')
    base, new, newer = tmp_path / "base", tmp_path / "new", tmp_path / "new.toml"
    assert run(["run", tmp_path / "base.toml", "--out", base, "--browser", browser])[0] == 0
    for extra, message in ((["--out", base], "is the output folder"), (["--shard", "1/2"], "compares whole sets")):
        status, _, stderr = run(["run", newer, "--out", new, "--browser", browser, "--baseline", base, *extra])
        assert status == 2 and message in stderr
    assert len(fake_captures.calls) == 2
    status, stdout, _ = run(["run", newer, "--out", new, "--browser", browser, "--baseline", base])
    assert status == 1 and "baseline: changed  de-DE/home/apple-watch-s3" in stdout and "1 same, 1 changed" in stdout


@needs_browser
def test_masks_and_anti_aliasing_leave_out_only_what_they_should_in_real_captures(tmp_path):
    """The clock masked, ticked; the drawing shifted a fraction of a pixel; a letter replaced: only the letter
    is a change with --antialiasing ignore, the shift too without; never the clock, though the images differ."""
    pages = {"base": {"clock": "10:00", "shift": "0", "word": "Hello"}, "ticked": {"clock": "10:01"},
             "shifted": {"clock": "10:01", "shift": "0.4px, 0.3px"}, "replaced": {"word": "Hallo"}}
    for name, changes in pages.items():
        (tmp_path / f"{name}.html").write_text(PAGE.format(**{**pages["base"], **changes}))
        assert run(["capture", tmp_path / f"{name}.html", "--out", tmp_path / name, "--device", "apple-watch-s3",
                    "--browser", BROWSER, "--mask", "#clock"])[0] == 0
    assert len({(tmp_path / name / "apple-watch-s3.png").read_bytes() for name in pages}) == 4
    cases = [("ticked", [], 0, "masked_pixels"), ("shifted", ["--antialiasing", "ignore"], 0, "antialiased_pixels"),
             ("shifted", [], 1, "differing_pixels"), ("replaced", ["--antialiasing", "ignore"], 1, "differing_pixels")]
    for i, (new, extra, status, figure) in enumerate(cases):
        assert run(["compare", tmp_path / "base", tmp_path / new, "--out", tmp_path / f"c{i}", *extra])[0] == status, i
        [pair] = json.loads((tmp_path / f"c{i}" / "compare.json").read_text())["pairs"]
        assert pair["status"] == ("changed" if status else "same") and pair[figure] > 0, i
