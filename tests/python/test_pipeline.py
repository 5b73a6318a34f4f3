"""The one pipeline of capture, run and merge, through a fake capture step: what a run prints and writes, each kind of
report and its "ok", verify, fail-fast, a repeated device id or store, stale files, merged shards, the output folder's
marker and the contact sheet."""
import hashlib
import json
import re

import pytest

import kestrelite
from conftest import VERSION, make_fake_browser, preset, run_cli
from kestrelite import outdir, report as reports, sheet
from kestrelite.cli.output import Progress
from kestrelite.errors import UsageError
from kestrelite.plan import capture_plan
from kestrelite.report import Report

SMALL = ["apple-watch-ultra-3", "play-wear-os", "apple-watch-s3"]
FAKE_VERSION = "Chromium 0.0.0.0 (fake DevTools peer)"
CAPTURE_MEMBERS = ["kestrelite", "kind", "url", "seed", "locale", "timezone", "browser", "exact", "off_size",
                   "failed", "elapsed_ms", "ok", "results"]
SET_MEMBERS = ["kestrelite", "kind", "set_file", "set_path", "set_digest", "layout", "exact", "off_size", "failed",
               "elapsed_ms", "ok", "captures", "seed", "timezone", "browser", "locales", "screens", "plan",
               "devices", "verify", "check"]


@pytest.fixture
def browser(tmp_path):
    """A browser that states a version and is never started for a capture."""
    return make_fake_browser(tmp_path)


def capture(out, browser, *extra, devices=SMALL, page="about:blank"):
    return run_cli(["capture", page, "--out", out, "--browser", browser, *extra,
                    *[a for d in devices for a in ("-d", d)]])


def set_file(folder, locales=("en-US", "de-DE"), devices=("apple-watch-s3", "play-wear-os"), screens=("home", "tides")):
    path = folder / "plain.toml"
    path.write_text(f'layout = "plain"\nlocales = {json.dumps(list(locales))}\ndevices = {json.dumps(list(devices))}\n'
                    + "".join(f'[[screen]]\nname = "{s}"\npage = "about:blank#{s}-{{locale}}"\n' for s in screens))
    return path


def run_set(out, browser, *extra, **set_options):
    """A set run of set_file(out's folder, **set_options) into `out`."""
    return run_cli(["run", set_file(out.parent, **set_options), "--out", out, "--browser", browser, *extra])


def report_in(folder):
    return json.loads((folder / "report.json").read_text())


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_a_capture_prints_and_writes_what_made_each_image(tmp_path, fake_captures, browser):
    """An exact, an off-size and a failed device (and one named twice), with the settings that made the bytes in the
    report, on the sheet and in every capture; a second run into the folder replaces what the first wrote."""
    fake_captures.sizes["play-wear-os"] = (450, 400)
    fake_captures.fail["apple-watch-s3"] = "browser: gone"
    out = tmp_path / "out"
    for _ in range(2):
        status, stdout, stderr = capture(out, browser, "--jobs", 1, "--seed", 7, "--locale", "de-CH", "--timezone",
                                         "Asia/Kolkata", page="data:text/html,<p>x", devices=SMALL + ["play-wear-os"])
    assert (status, stderr) == (1, "kestrelite: warning: device play-wear-os is named twice; capturing it once\n")
    # The stores' published sizes: Apple Watch Ultra 3 422x514, Series 3 312x390, Wear OS 384x384.
    assert re.findall(r"^\[\d/3\] (\S+)\s+(\S+(?: \(expected \S+\))?)\s+(exact|off-size|failed)\s+\d+ ms", stdout,
                      re.M) == [("apple-watch-ultra-3", "422x514", "exact"),
                                    ("play-wear-os", "450x400 (expected 384x384)", "off-size"),
                                    ("apple-watch-s3", "312x390", "failed")]
    assert re.search(r"^3 devices: 1 exact, 1 off-size, 1 failed in \d+\.\d s: NOT OK$", stdout, re.M)
    report = report_in(out)
    assert list(report) == CAPTURE_MEMBERS and [r["device_id"] for r in report["results"]] == SMALL
    assert [report[k] for k in ("kestrelite", "url", "seed", "locale", "timezone", "exact", "off_size", "failed",
                                "ok")] == [VERSION, "data:text/html,<p>x", 7, "de-CH", "Asia/Kolkata", 1, 1, 1, False]
    assert report["browser"] == {"executable": browser, "version": FAKE_VERSION}
    assert [(d, s["seed"], s["locale"], s["timezone"]) for d, s in fake_captures.calls] == [
        (d, 7, "de-CH", "Asia/Kolkata") for d in SMALL * 2]
    assert [(r["path"], r["capture"]["sha256"]) for r in report["results"][:2]] == [
        (str(out / f"{d}.png"), digest(out / f"{d}.png")) for d in SMALL[:2]]
    page = (out / "index.html").read_text()
    assert [s for s in ('data-run="not-ok"', 'src="apple-watch-ultra-3.png"', "(expected 384x384)", "browser: gone",
                        "seed 7", "locale de-CH", "time zone Asia/Kolkata", f"{FAKE_VERSION} ({browser})",
                        f"kestrelite {VERSION}", "NOT OK: 1 off-size, 1 failed") if s not in page] == []
    assert page.count('class="failed"') == 1 and "no image" in page
    # The failed device's name was claimed, but only what exists stays listed.
    assert json.loads((out / outdir.MARKER).read_text())["files"] == [
        "apple-watch-ultra-3.png", "index.html", "play-wear-os.png", "report.json"]


def test_a_set_run_lays_out_verifies_checks_and_later_removes_only_what_it_wrote(tmp_path, fake_captures, browser):
    out = tmp_path / "out"
    fake_captures.changing.add("play-wear-os")
    status, stdout, stderr = run_set(out, browser, "--verify", devices=["apple-watch-s3", "play-wear-os"] * 2)
    report, sheet_text = report_in(out), (out / "index.html").read_text()
    assert "device play-wear-os is named twice" in stderr
    assert list(report) == SET_MEMBERS and [c["path"] for c in report["captures"]] == [
        f"{locale}/{screen}/{device}.png" for locale in ("en-US", "de-DE") for screen in ("home", "tides")
        for device in ("apple-watch-s3", "play-wear-os")]
    assert report["plan"] == [[c["locale"], c["screen"], c["device_id"]] for c in report["captures"]]
    assert all(c["url"] == f"about:blank#{c['screen']}-{c['locale']}" for c in report["captures"])
    assert all(digest(out / c["path"]) == c["capture"]["sha256"] for c in report["captures"])
    # A second image that differs is kept under verify/, by locale.
    pairs = report["verify"]["captures"]
    assert [p["second_path"] for p in pairs if not p["identical"]] == [
        f"verify/{c['path']}" for c in report["captures"] if c["device_id"] == "play-wear-os"]
    assert all(digest(out / p["second_path"]) == p["second"] for p in pairs if not p["identical"])
    assert all(p["first"] == p["second"] for p in pairs if p["identical"])
    assert re.search(r"^verify: 4 of 8 captures differ: ", stdout, re.M) and "4 changed on the second run" in sheet_text
    # The check reads the run it just made: a watch set without phones breaks Play's count rule.
    assert status == 1 and report["ok"] is False and "play-count" in report["check"]["errors"][0]
    assert "check: 2 errors, 0 warnings" in stdout and "2 store-rule errors" in sheet_text
    # A later run leaves no image, second image or empty folder the set no longer has; the user's own file stays.
    (out / "en-US" / "notes.txt").write_text("the user's")
    run_set(out, browser, locales=["en-US"], screens=["home"])
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.name not in (
        "report.json", "index.html", outdir.MARKER)) == [
        "en-US", "en-US/home", "en-US/home/apple-watch-s3.png", "en-US/home/play-wear-os.png", "en-US/notes.txt"]


def test_verify_keeps_each_differing_second_image_and_fails_the_run(tmp_path, fake_captures, browser):
    fake_captures.changing.add("play-wear-os")
    status, stdout, _ = capture(tmp_path, browser, "--verify")
    pairs, second = report_in(tmp_path)["verify"]["devices"], tmp_path / "play-wear-os.second.png"
    [changed] = [p for p in pairs if not p["identical"]]
    assert status == 1 and changed["device_id"] == "play-wear-os" and changed["second_path"] == str(second)
    assert digest(second) == changed["second"] and all(p["first"] == p["second"] for p in pairs if p["identical"])
    assert re.search(r"^verify: 1 of 3 devices differ: play-wear-os$", stdout, re.M)
    assert "NOT OK: 1 changed on the second run" in (tmp_path / "index.html").read_text()


@pytest.mark.parametrize("extra, attempted, said", [
    ([], 3, "no device could be captured; is {browser} a working browser?"),
    (["--jobs", 1, "--fail-fast"], 1, "1 device: 0 exact, 0 off-size, 1 failed, 2 not started in "),
    (["--jobs", 2, "--fail-fast"], 2, ", 1 not started in "),
    (["--verify"], 3, "verify: skipped, the first run captured nothing"),
    (["--verify", "--fail-fast", "--jobs", 1], 1, "verify: skipped, the first run was not ok"),
])
def test_fail_fast_and_verify_after_failed_captures(tmp_path, fake_captures, browser, extra, attempted, said):
    """Every device fails, so whichever finishes first stops a fail-fast run: --jobs N has made exactly N captures,
    the largest images first (SMALL's order) whatever order they were named in; the report keeps the named order."""
    fake_captures.fail.update({d: "browser: did not start" for d in SMALL})
    status, stdout, stderr = capture(tmp_path, browser, *extra, devices=SMALL[::-1])
    report = report_in(tmp_path)
    assert status == 1 and report["ok"] is False and "verify" not in report
    assert [r["device_id"] for r in report["results"]] == SMALL[:attempted][::-1] and len(fake_captures.calls) == attempted
    assert report.get("not_started", 0) == 3 - attempted and said.format(browser=browser) in stdout + stderr


def test_the_library_and_stores_take_a_repeated_device_id_or_store_once(tmp_path, fake_captures, browser):
    """Stores one after the other, in the order named, each once whatever its case; the library's page may be a folder
    with an index.html, and it takes device ids or a store, one of the two."""
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "index.html").write_text("<p>hi</p>")
    report = kestrelite.capture(tmp_path / "site", tmp_path / "c", ["play-wear-os"] * 2, browser=browser)
    assert len(report["results"]) == 1 and report["url"] == (tmp_path / "site" / "index.html").as_uri()
    for given, refused in (({"device_ids": SMALL, "store": "web"}, "give device_ids or store, not both"),
                           ({}, "specify either device_ids or store")):
        with pytest.raises(UsageError, match=refused):
            kestrelite.capture("about:blank", tmp_path / "e", browser=browser, **given)
    assert not (tmp_path / "e").exists() and len(fake_captures.calls) == 1
    status, _, stderr = capture(tmp_path / "d", browser, "-s", "web", "-s", "play", "-s", "WEB", devices=())
    expected = [d["id"] for store in ("web", "play") for d in json.loads(kestrelite.devices_json(store))]
    assert [r["device_id"] for r in report_in(tmp_path / "d")["results"]] == expected
    assert "store WEB is named twice; capturing its devices once" in stderr


@pytest.mark.parametrize("shards, verified, ok", [
    (2, (), True), (2, (1, 2), True), (1, (), False),
    (2, (1,), False)])  # a shard never verified is not identical to anything
def test_merged_shards_are_one_run_unless_missing_or_unverified(tmp_path, fake_captures, browser, shards, verified, ok):
    one_device = {"devices": ["play-phone-portrait"], "screens": ["a", "b"], "locales": ["en-US"]}
    whole, parts = tmp_path / "whole", [tmp_path / f"part{i}" for i in (1, 2)]
    assert run_set(whole, browser, **one_device)[0] == 0
    for i, part in enumerate(parts[:shards], 1):
        run_set(part, browser, "--shard", f"{i}/2", *(["--verify"] if i in verified else []), **one_device)
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


def shot(outcome="exact", **capture):
    """A report entry of a 1080 x 1920 capture with `capture` in its record."""
    return {"device_id": "phone", "outcome": outcome, "elapsed_ms": 9, "path": "out/phone.png", "capture": {
        "actual": [1080, 1920], "expected": [1080, 1920], "exact": True, "sha256": "a" * 64, **capture}}


BOXES = shot(glyphs={"fonts": ["Noto Sans"], "missing": ["U+E000"], "missing_count": 1})


@pytest.mark.parametrize("entries, planned, members, verify, check, ok", [
    ([shot()], None, {}, None, None, True),
    ([], None, {}, None, None, False),
    ([shot(), shot("off-size")], None, {}, None, None, False),
    ([shot(), BOXES], None, {}, None, None, False),
    ([shot()], 2, {}, None, None, False),
    ([shot()], None, {"missing": ["en-US/a/phone"]}, None, None, False),
    ([shot()], None, {}, {"identical": False, "differ": []}, None, False),
    ([shot()], None, {}, {"identical": True, "differ": []}, {"errors": [], "warnings": ["w"]}, True),
    ([shot()], None, {}, None, {"errors": ["e"], "warnings": []}, False),
])
def test_the_one_decision_of_ok(entries, planned, members, verify, check, ok):
    assert reports.is_ok(Report("capture", members, entries, 0, planned, verify, check)) is ok


@pytest.mark.parametrize("first, second, refused", [
    ("capture", "run", "holds a capture run (kestrelite capture), not a set run"),
    ("run", "capture", "holds a set run (kestrelite run or merge), not a capture run"),
    ("run", "compare", "holds a set run (kestrelite run or merge), not a comparison"),
    ("run", "other-set", "holds the run of another set file"),
])
def test_a_folder_serves_one_kind_of_command_and_one_set_file(tmp_path, fake_captures, browser, first, second, refused):
    out = tmp_path / "out"
    (tmp_path / "other").mkdir()
    commands = {"capture": ["capture", "about:blank", "-o", out, "-d", "play-wear-os", "--browser", browser],
                "run": ["run", set_file(tmp_path), "-o", out, "--browser", browser],
                "other-set": ["run", set_file(tmp_path / "other"), "-o", out, "--browser", browser],
                "compare": ["compare", out, out, "-o", out]}
    run_cli(commands[first])
    before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
    status, _, stderr = run_cli(commands[second])
    assert status == 2 and refused in stderr and {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == before


def test_a_folder_written_before_markers_existed_is_recognised(tmp_path):
    """By its report and contact sheet; a marker that names a file outside its folder is no marker of kestrelite's."""
    (tmp_path / "report.json").write_text(json.dumps({"kestrelite": "0.1.0", "results": [shot()]}))
    (tmp_path / "index.html").write_text(sheet.render(Report("capture", {"url": "about:blank"}, [shot()])))
    assert outdir.earlier_files(tmp_path) == {"report.json", "index.html", "phone.png"}
    (tmp_path / "index.html").write_text("<p>the user's page</p>")
    assert outdir.earlier_files(tmp_path) == {"report.json", "phone.png"}
    (tmp_path / outdir.MARKER).write_text(json.dumps({"files": ["../outside.png"]}))
    with pytest.raises(UsageError, match="is not kestrelite's list of the files it wrote"):
        outdir.prepare(tmp_path, ["a.png"], "capture")


@pytest.mark.parametrize("entry, on_line, on_card", [
    (shot(settle="deadline", settle_open=["images", "network"]), "  [deadline: images, network]",
     "settled at deadline: images, network</span>"),
    (shot(settle="deadline"), "  [deadline]", "settled at deadline</span>"),
    (BOXES, "  [no glyph for U+E000]", "no font draws U+E000: they show as empty boxes"),
    (shot(), None, None),
    ({"device_id": "phone", "outcome": "failed", "elapsed_ms": 3, "error": "browser: gone"}, None, None),
])
def test_a_deadline_settle_or_missing_glyphs_is_flagged_on_the_line_and_the_card(capsys, entry, on_line, on_card):
    """Reports written before captures said how they settled show no flag."""
    plan = capture_plan("about:blank", [preset("phone")], 42, "en-US", "UTC")
    Progress(plan, plan.jobs).line(plan.jobs[0], entry)
    line, report = capsys.readouterr().out, Report("capture", {}, [entry])
    figure = sheet.card(report, entry, plan.devices[0], False)
    assert ("1 with missing glyphs" in reports.summary(report)) is (entry is BOXES)
    if on_line:
        assert on_line in line and on_card in figure
    else:
        assert "[" not in line.split("]", 1)[1] and "settled at" not in figure and "no font" not in figure


def test_the_contact_sheet_escapes_what_it_shows():
    device = preset('x"><script>alert(1)</script>', label="<b>Phone</b> & 'co'")
    failed = {"device_id": device["id"], "outcome": "failed", "elapsed_ms": 5, "error": "<img src=x onerror=alert(1)>"}
    made = {**shot(), "device_id": "ok&id", "path": "/tmp/x/ok&id #1.png"}
    report = Report("capture", {"kestrelite": VERSION, "url": "https://e.test/?a=<b>&c", "seed": 42,
                                "locale": "en-US"}, [failed, made], 12)
    page = sheet.render(report, {device["id"]: device, "ok&id": preset("ok&id", w=1080, h=1920, scale=1)})
    assert "<script>alert" not in page and "<img src=x" not in page and "<b>Phone" not in page
    assert [e for e in ("&lt;img src=x onerror=alert(1)&gt;", "&lt;b&gt;Phone&lt;/b&gt; &amp; &#x27;co&#x27;",
                        'src="ok%26id%20%231.png"', "https://e.test/?a=&lt;b&gt;&amp;c") if e not in page] == []
    assert page.count("<figure") == 2 and page.count("<img") == 1
