"""The one pipeline of capture, run and merge, through a fake capture step
(no browser): the jobs of a plan, the report of each kind with its members
in order, verify, fail-fast, the one rule for a repeated device id, the one
image name rule, the sessions a run uses, stale files and merging."""
import hashlib
import json
import re

import pytest

import kestrelite
from conftest import VERSION, make_fake_browser, preset, run_cli
from kestrelite import outdir, report as reports
from kestrelite.errors import UsageError
from kestrelite.report import Report

SMALL = ["apple-watch-ultra-3", "play-wear-os", "apple-watch-s3"]
CAPTURE_MEMBERS = ["kestrelite", "kind", "url", "seed", "locale", "timezone", "browser", "exact", "off_size",
                   "failed", "elapsed_ms", "ok", "results"]
SET_MEMBERS = ["kestrelite", "kind", "set_file", "set_path", "set_digest", "layout", "exact", "off_size", "failed",
               "elapsed_ms", "ok", "captures", "seed", "timezone", "browser", "locales", "screens", "plan",
               "devices", "check"]


@pytest.fixture
def browser(tmp_path):
    """A browser that states a version and is never started for a capture."""
    return make_fake_browser(tmp_path)


def capture(out, browser, *extra, devices=SMALL):
    return run_cli(["capture", "about:blank", "--out", out, "--browser", browser, *extra,
                    *[a for d in devices for a in ("-d", d)]])


def set_file(tmp_path, layout="plain", locales=("en-US", "de-DE"), devices=("apple-watch-s3", "play-wear-os"),
             screens=("home", "tides"), extra=""):
    path = tmp_path / f"{layout}.toml"
    path.write_text(f'layout = "{layout}"\nlocales = {json.dumps(list(locales))}\ndevices = {json.dumps(list(devices))}\n'
                    + extra + "".join(f'[[screen]]\nname = "{s}"\npage = "about:blank#{s}-{{locale}}"\n'
                                      for s in screens))
    return path


def report_in(folder):
    return json.loads((folder / "report.json").read_text())


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_a_capture_writes_images_report_and_sheet(tmp_path, fake_captures, browser):
    out = tmp_path / "out"
    status, stdout, stderr = capture(out, browser, "--jobs", 2)
    assert (status, stderr) == (0, "")
    assert re.search(r"^3 devices: 3 exact, 0 off-size, 0 failed in \d+\.\d s: ok$", stdout, re.M)
    report = report_in(out)
    assert list(report) == CAPTURE_MEMBERS and report["kestrelite"] == VERSION
    assert [r["device_id"] for r in report["results"]] == SMALL
    for result in report["results"]:
        assert result["path"] == str(out / f"{result['device_id']}.png")
        assert digest(out / f"{result['device_id']}.png") == result["capture"]["sha256"]
    sheet = (out / "index.html").read_text()
    assert all(f'src="{d}.png"' in sheet for d in SMALL) and 'data-run="ok"' in sheet
    assert json.loads((out / outdir.MARKER).read_text())["files"] == sorted(
        [f"{d}.png" for d in SMALL] + ["index.html", "report.json"])


@pytest.mark.parametrize("layout, paths", [
    ("plain", ["en-US/home/apple-watch-s3.png", "en-US/home/play-wear-os.png", "en-US/tides/apple-watch-s3.png",
               "en-US/tides/play-wear-os.png", "de-DE/home/apple-watch-s3.png", "de-DE/home/play-wear-os.png",
               "de-DE/tides/apple-watch-s3.png", "de-DE/tides/play-wear-os.png"]),
    ("fastlane", ["fastlane/screenshots/en-US/01_home_apple-watch-s3.png",
                  "fastlane/metadata/android/en-US/images/wearScreenshots/01_home_play-wear-os.png",
                  "fastlane/screenshots/en-US/02_tides_apple-watch-s3.png",
                  "fastlane/metadata/android/en-US/images/wearScreenshots/02_tides_play-wear-os.png",
                  "fastlane/screenshots/de-DE/01_home_apple-watch-s3.png",
                  "fastlane/metadata/android/de-DE/images/wearScreenshots/01_home_play-wear-os.png",
                  "fastlane/screenshots/de-DE/02_tides_apple-watch-s3.png",
                  "fastlane/metadata/android/de-DE/images/wearScreenshots/02_tides_play-wear-os.png"]),
])
def test_a_set_run_lays_out_reports_and_checks(tmp_path, fake_captures, browser, layout, paths):
    out = tmp_path / "out"
    status, stdout, _ = run_cli(["run", set_file(tmp_path, layout), "--out", out, "--browser", browser])
    report = report_in(out)
    assert list(report) == SET_MEMBERS and [c["path"] for c in report["captures"]] == paths
    assert report["plan"] == [[c["locale"], c["screen"], c["device_id"]] for c in report["captures"]]
    assert all(digest(out / c["path"]) == c["capture"]["sha256"] for c in report["captures"])
    # The check reads the run it just made: a watch set without phones breaks Play's count rule.
    assert status == 1 and report["ok"] is False and "play-count" in report["check"]["errors"][0]
    assert "check: 2 errors, 0 warnings" in stdout


@pytest.mark.parametrize("kind", ["capture", "set"])
def test_verify_keeps_each_differing_second_image_and_fails_the_run(tmp_path, fake_captures, browser, kind):
    out = tmp_path / "out"
    fake_captures.changing.add("play-wear-os")
    if kind == "capture":
        status, stdout, _ = capture(out, browser, "--verify")
        second, listed = out / "play-wear-os.second.png", "devices"
    else:
        status, stdout, _ = run_cli(["run", set_file(tmp_path, locales=["en-US"], screens=["home"]), "--out", out,
                                     "--browser", browser, "--verify"])
        second, listed = out / "verify" / "en-US/home/play-wear-os.png", "captures"
    verify = report_in(out)["verify"]
    [changed] = [p for p in verify[listed] if not p["identical"]]
    assert status == 1 and changed["device_id"] == "play-wear-os" and digest(second) == changed["second"]
    assert changed["second_path"] == (str(second) if kind == "capture" else "verify/en-US/home/play-wear-os.png")
    assert all(p["first"] == p["second"] for p in verify[listed] if p["identical"])
    assert re.search(r"^verify: 1 of \d (devices|captures) differ: .*play-wear-os$", stdout, re.M)
    assert "NOT OK: 1 changed on the second run" in (out / "index.html").read_text()


@pytest.mark.parametrize("jobs, made", [(1, 1), (2, 2)])
def test_fail_fast_starts_nothing_after_a_capture_that_is_not_exact(tmp_path, fake_captures, browser, jobs, made):
    fake_captures.fail["apple-watch-ultra-3"] = "browser: did not start"
    status, stdout, _ = capture(tmp_path, browser, "--fail-fast", "--jobs", jobs)
    report = report_in(tmp_path)
    assert (status, len(report["results"]), report["not_started"]) == (1, made, 3 - made)
    assert f"{3 - made} not started in " in stdout and report["ok"] is False


def test_a_repeated_device_id_is_captured_once_in_every_way_in(tmp_path, fake_captures, browser):
    status, _, stderr = capture(tmp_path / "a", browser, devices=["play-wear-os", "play-wear-os"])
    assert status == 0 and len(report_in(tmp_path / "a")["results"]) == 1
    assert "kestrelite: warning: device play-wear-os is named twice; capturing it once" in stderr
    status, _, stderr = run_cli(["run", set_file(tmp_path, devices=["play-wear-os", "play-wear-os"]), "--out",
                                 tmp_path / "b", "--browser", browser])
    assert len(report_in(tmp_path / "b")["captures"]) == 4 and "play-wear-os is named twice" in stderr
    report = kestrelite.capture("about:blank", tmp_path / "c", ["play-wear-os", "play-wear-os"], browser=browser)
    assert len(report["results"]) == 1
    assert [call[1] for call in fake_captures.calls] == ["play-wear-os"] * 6


@pytest.mark.parametrize("way", ["capture", "run", "api"])
def test_an_id_that_is_not_a_plain_file_name_is_refused_before_the_run(tmp_path, fake_captures, browser,
                                                                      write_presets, way):
    presets = write_presets({"version": 1, "devices": [preset("../x", store="play")]})
    if way == "capture":
        status, _, stderr = run_cli(["capture", "about:blank", "-o", tmp_path / "out", "-d", "../x", "--presets",
                                     presets, "--browser", browser])
    elif way == "run":
        path = tmp_path / "set.toml"
        path.write_text(f'presets = "{presets}"\ndevices = ["../x"]\n[[screen]]\nname = "a"\npage = "about:blank"\n')
        status, _, stderr = run_cli(["run", path, "--out", tmp_path / "out", "--browser", browser])
    else:
        with pytest.raises(UsageError) as raised:
            kestrelite.capture("about:blank", tmp_path / "out", ["../x"], presets=presets, browser=browser)
        status, stderr = 2, str(raised.value)
    assert status == 2 and "device id '../x' is not a plain file name, so it cannot name an image" in stderr
    assert fake_captures.calls == [] and not (tmp_path / "out").exists() and not (tmp_path / "x.png").exists()


def test_a_set_of_three_locales_uses_one_browser_per_job(tmp_path, fake_captures, browser):
    path = set_file(tmp_path, locales=["en-US", "de-DE", "ja-JP"], extra='timezones = { "ja-JP" = "Asia/Tokyo" }\n')
    run_cli(["run", path, "--out", tmp_path / "out", "--jobs", 2, "--browser", browser])
    assert fake_captures.sessions == 2 and len(fake_captures.calls) == 12
    settings = {(s["locale"], s["timezone"]) for _, _, s in fake_captures.calls}
    assert settings == {("en-US", "UTC"), ("de-DE", "UTC"), ("ja-JP", "Asia/Tokyo")}


def test_a_new_run_of_the_set_removes_only_what_its_last_run_wrote(tmp_path, fake_captures, browser):
    out = tmp_path / "out"
    run_cli(["run", set_file(tmp_path), "--out", out, "--browser", browser])
    (out / "en-US" / "notes.txt").write_text("the user's")
    run_cli(["run", set_file(tmp_path, screens=["home"]), "--out", out, "--browser", browser])
    assert not (out / "en-US" / "tides").exists() or not any((out / "en-US" / "tides").iterdir())
    assert (out / "en-US" / "notes.txt").read_text() == "the user's"
    assert (out / "en-US" / "home" / "play-wear-os.png").exists()


@pytest.mark.parametrize("shards, verified, ok", [(2, (), True), (2, (1, 2), True), (2, (1,), False), (1, (), False)])
def test_merged_shards_are_one_run_unless_a_shard_is_missing(tmp_path, fake_captures, browser, shards, verified,
                                                             ok):
    path = set_file(tmp_path, devices=["play-phone-portrait"], screens=["a", "b"], locales=["en-US"])
    whole = tmp_path / "whole"
    assert run_cli(["run", path, "--out", whole, "--browser", browser])[0] == 0
    parts = [tmp_path / f"part{i}" for i in (1, 2)]
    for i, part in enumerate(parts[:shards], 1):
        run_cli(["run", path, "--shard", f"{i}/2", "--out", part, "--browser", browser,
                 *(["--verify"] if i in verified else [])])
    status, stdout, _ = run_cli(["merge", *parts[:shards], "--out", tmp_path / "merged"])
    merged = report_in(tmp_path / "merged")
    assert merged["ok"] is ok and status == (0 if ok else 1)
    assert run_cli(["check", tmp_path / "merged"])[0] == (0 if shards == 2 else 1)
    if shards == 1:
        assert merged["missing"] == ["en-US/b/play-phone-portrait"]
        assert re.search(r"^merged 1 folder: 1 capture: .*, 1 missing in .*: NOT OK$", stdout, re.M)
    else:
        assert [c["capture"]["sha256"] for c in merged["captures"]] == [
            c["capture"]["sha256"] for c in report_in(whole)["captures"]]
        assert ("verify" in merged) == bool(verified)


ENTRY = {"device_id": "d", "outcome": "exact"}


@pytest.mark.parametrize("entries, planned, members, verify, check, ok", [
    ([ENTRY], None, {}, None, None, True),
    ([], None, {}, None, None, False),
    ([ENTRY, {**ENTRY, "outcome": "off-size"}], None, {}, None, None, False),
    ([ENTRY, {**ENTRY, "outcome": "failed"}], None, {}, None, None, False),
    ([ENTRY], 2, {}, None, None, False),
    ([ENTRY], None, {"missing": ["en-US/a/d"]}, None, None, False),
    ([ENTRY], None, {}, {"identical": False, "differ": []}, None, False),
    ([ENTRY], None, {}, {"identical": True, "differ": []}, {"errors": [], "warnings": ["w"]}, True),
    ([ENTRY], None, {}, None, {"errors": ["e"], "warnings": []}, False),
])
def test_the_one_decision_of_ok(entries, planned, members, verify, check, ok):
    assert reports.is_ok(Report("capture", members, entries, 0, planned, verify, check)) is ok


@pytest.mark.parametrize("first, second, refused", [
    ("capture", "run", "holds a capture run (kestrelite capture), not a set run"),
    ("run", "capture", "holds a set run (kestrelite run or merge), not a capture run"),
    ("run", "compare", "holds a set run (kestrelite run or merge), not a comparison"),
    ("run", "other-set", "holds the run of another set file"),
    ("run", "edited-set", None),
])
def test_a_folder_serves_one_kind_of_command_and_one_set_file(tmp_path, fake_captures, browser, first, second,
                                                               refused):
    out = tmp_path / "out"
    path = set_file(tmp_path)
    if first == "capture":
        capture(out, browser)
    else:
        run_cli(["run", path, "--out", out, "--browser", browser])
    before = sorted(p.name for p in out.rglob("*"))
    if second == "run":
        status, _, stderr = run_cli(["run", path, "--out", out, "--browser", browser])
    elif second == "capture":
        status, _, stderr = capture(out, browser)
    elif second == "compare":
        status, _, stderr = run_cli(["compare", out, out, "--out", out])
    else:
        other = tmp_path / ("other" if second == "other-set" else "")
        other.mkdir(exist_ok=True)
        status, _, stderr = run_cli(["run", set_file(other, screens=["home"]), "--out", out, "--browser", browser])
    if refused:
        assert status == 2 and refused in stderr and sorted(p.name for p in out.rglob("*")) == before
    else:
        assert status == 1 and not (out / "en-US" / "tides").exists()


def test_a_language_a_run_no_longer_has_leaves_no_folder(tmp_path, fake_captures, browser):
    out = tmp_path / "out"
    run_cli(["run", set_file(tmp_path, layout="fastlane"), "--out", out, "--browser", browser])
    assert (out / "fastlane" / "screenshots" / "de-DE").is_dir()
    run_cli(["run", set_file(tmp_path, layout="fastlane", locales=["en-US"]), "--out", out, "--browser", browser])
    assert sorted(p.name for p in (out / "fastlane" / "screenshots").iterdir()) == ["en-US"]
    assert sorted(p.name for p in (out / "fastlane" / "metadata" / "android").iterdir()) == ["en-US"]


def test_a_capture_with_characters_no_font_draws_fails_the_run(tmp_path, fake_captures, browser, monkeypatch):
    session = fake_captures.session

    def with_boxes(*args, **kwargs):
        made = session(*args, **kwargs)
        capture_one = made.capture

        def capture_with_boxes(*a, **k):
            result = json.loads(capture_one(*a, **k))
            result["capture"]["glyphs"] = {"fonts": ["Noto Sans"], "missing": ["U+E000"], "missing_count": 1}
            return json.dumps(result)
        made.capture = capture_with_boxes
        return made
    monkeypatch.setattr(kestrelite.runner, "Session", with_boxes)
    status, stdout, _ = capture(tmp_path, browser, devices=["play-wear-os"])
    assert status == 1 and "1 with missing glyphs" in stdout and "[no glyph for U+E000]" in stdout
    assert "no font draws U+E000" in (tmp_path / "index.html").read_text()
