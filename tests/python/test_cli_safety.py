"""What `kestrelite capture` checks before any browser starts (the output
folder, never replacing a file kestrelite did not write; the time zone, the
locale, the stores and the browser), that every error is one line with a
documented exit status, and that what it says about a run is true: "ok"
agrees with the exit status, the contact sheet's status bar follows the
outcome, fail-fast says how many devices it left out, and the report and the
sheet record the settings and the browser that made the bytes."""
import json
import os
import random
import signal
import subprocess
import sys
import time

import pytest
from PIL import Image

import kestrelite
from conftest import BROWSER, VERSION, make_fake_browser, needs_browser, preset, read_log, run_cli as run
from kestrelite import files, outdir, settings, sheet
from kestrelite.errors import UsageError
from kestrelite.report import Report

DEVICE = "apple-watch-s3"
FAKE_VERSION = "Chromium 0.0.0.0 (fake DevTools peer)"


def capture_into(out, browser, *extra):
    return run(["capture", "about:blank", "--out", out, "--device", DEVICE, "--browser", browser, *extra])


@pytest.fixture
def tripwire(tmp_path):
    """A browser executable that leaves a file behind when it is started at all."""
    path = tmp_path / "tripwire-browser"
    path.write_text(f"#!/bin/sh\ntouch {tmp_path / 'started'}\nexit 1\n")
    path.chmod(0o755)
    yield path
    assert not (tmp_path / "started").exists(), "a browser was started"


# ---------------------------------------------------------------- the output folder

@pytest.mark.parametrize("name", ["index.html", "report.json", f"{DEVICE}.png", outdir.MARKER, "report.json/"])
def test_what_is_in_the_way_is_never_replaced(tmp_path, tripwire, name):
    path = tmp_path / name.rstrip("/")
    path.mkdir() if name.endswith("/") else path.write_text("the user's own")
    status, stdout, stderr = capture_into(tmp_path, tripwire)
    assert (status, stdout, stderr.count("\n")) == (2, "", 1)
    assert str(path) in stderr and "move it away" in stderr
    assert path.is_dir() if name.endswith("/") else path.read_text() == "the user's own"


def test_a_folder_an_earlier_run_wrote_is_written_again(tmp_path):
    out = tmp_path / "out"
    for _ in range(2):
        status, stdout, stderr = capture_into(out, make_fake_browser(tmp_path), "--verify")
        assert status == 0, stdout + stderr
    # The .second.png was claimed but never kept; a name no run wrote is given back.
    assert json.loads((out / outdir.MARKER).read_text())["files"] == ["apple-watch-s3.png", "index.html",
                                                                       "report.json"]


def test_a_folder_written_before_markers_existed_is_recognised(tmp_path):
    result = {"device_id": DEVICE, "outcome": "exact", "elapsed_ms": 1, "path": f"elsewhere/{DEVICE}.png",
              "capture": {"sha256": "0" * 64, "exact": True, "actual": [1, 1], "expected": [1, 1]}}
    report = {"kestrelite": VERSION, "url": "about:blank", "seed": 42, "locale": "en-US", "exact": 1,
              "off_size": 0, "failed": 0, "elapsed_ms": 1, "ok": True, "results": [result]}
    (tmp_path / "report.json").write_text(json.dumps(report))
    (tmp_path / "index.html").write_text(sheet.render(Report("capture", {"url": "about:blank"}, [result])))
    assert outdir.earlier_files(tmp_path) == {"report.json", "index.html", f"{DEVICE}.png"}
    (tmp_path / "index.html").write_text("<p>the user's page</p>")
    assert outdir.earlier_files(tmp_path) == {"report.json", f"{DEVICE}.png"}


def test_a_read_only_folder_is_refused(tmp_path, tripwire):
    """Read-only through a bind mount in a mount namespace of its own (the
    tests run as root, which permission bits do not stop)."""
    folder = tmp_path / "read-only"
    folder.mkdir()
    argv = [sys.executable, "-m", "kestrelite", "capture", "about:blank", "--out", folder, "-d", DEVICE,
            "--browser", tripwire]
    if os.geteuid() != 0:
        folder.chmod(0o555)
    elif subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode == 0:
        argv = ["unshare", "--mount", "sh", "-c", 'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" '
                '&& exec "$@"', folder, *argv]
    else:
        pytest.skip("root without mount namespaces: no way to make a folder read-only")
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}
    done = subprocess.run(list(map(str, argv)), env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.startswith(f"kestrelite: cannot write into {folder}: ") and done.stderr.count("\n") == 1


def test_a_marker_naming_files_outside_its_folder_is_refused(tmp_path):
    (tmp_path / outdir.MARKER).write_text(json.dumps({"files": ["../outside.png"]}))
    with pytest.raises(UsageError, match="is not kestrelite's list of the files it wrote"):
        outdir.prepare(tmp_path, ["a.png"], "capture")


# ---------------------------------------------------------------- settings and browser

@pytest.mark.parametrize("check, value, good", [
    (settings.check_timezone, "Europe/Paris", True), (settings.check_timezone, "Etc/GMT-14", True),
    (settings.check_timezone, "GMT+05:30", True), (settings.check_timezone, "europe/paris", False),
    (settings.check_timezone, "localtime", False), (settings.check_timezone, "../../etc/passwd", False),
    (settings.check_locale, "zh-Hant-TW", True), (settings.check_locale, "es-419", True),
    (settings.check_locale, "de-DE-u-co-phonebk", True), (settings.check_locale, "tlh", True),
    (settings.check_locale, "klingon-XX", False), (settings.check_locale, "x-private", False),
    (settings.check_locale, "en-", False),
])
def test_settings_the_browser_takes(check, value, good):
    if good:
        assert check(value) == value
    else:
        with pytest.raises(UsageError, match=f"{value!r}"):
            check(value)


@pytest.mark.parametrize("option, value", [("--timezone", "Mars/Base"), ("--timezone", ""),
                                           ("--locale", "klingon_XX"), ("--locale", "")])
def test_bad_settings_stop_before_the_run(tmp_path, tripwire, option, value):
    status, stdout, stderr = capture_into(tmp_path / "out", tripwire, option, value)
    assert (status, stdout, stderr.count("\n")) == (2, "", 1) and repr(value) in stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("make, message", [
    (lambda p: None, "no such file"),
    (lambda p: p.mkdir(), "is a folder"),
    (lambda p: p.write_text("#!/bin/sh\n"), "is not executable"),
])
def test_a_browser_that_is_no_executable_stops_before_the_run(tmp_path, make, message):
    make(tmp_path / "browser")
    status, _, stderr = capture_into(tmp_path / "out", tmp_path / "browser")
    assert status == 2 and f"{tmp_path / 'browser'}" in stderr and message in stderr
    assert not (tmp_path / "out").exists()


def test_repeated_stores_are_captured_one_after_the_other(tmp_path, write_presets):
    presets = write_presets({"version": 1, "devices": [
        preset("web-one", 300, 600, 1, store="web"), preset("play-one", 300, 600, 1, store="play"),
        preset("web-two", 600, 300, 1, store="web")]})
    status, _, stderr = run(["capture", "about:blank", "--out", tmp_path / "out", "--presets", presets,
                             "--browser", make_fake_browser(tmp_path), "-s", "web", "-s", "play", "-s", "WEB"])
    assert status == 0 and "store WEB is named twice; capturing its devices once" in stderr
    report = json.loads((tmp_path / "out" / "report.json").read_text())
    assert [r["device_id"] for r in report["results"]] == ["web-one", "web-two", "play-one"]


def test_install_browser_refuses_a_program_that_is_no_browser(tmp_path, monkeypatch):
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    assert run(["install-browser", "--from", "/bin/true"]) == (
        2, "", "kestrelite: /bin/true is not a Chromium-family browser: `/bin/true --version` printed no version\n")
    assert not (tmp_path / "home").exists()


# ---------------------------------------------------------------- one line, documented status

@pytest.mark.parametrize("error, status, line", [
    (PermissionError(13, "Permission denied", "out/index.html"), 2, "kestrelite: out/index.html: Permission denied"),
    (KeyError("url"), 3, "kestrelite: internal error, please report it: KeyError: 'url'"),
])
def test_an_unexpected_failure_is_one_line(tmp_path, monkeypatch, error, status, line):
    def fail(*args, **kwargs):
        raise error
    monkeypatch.setattr(sheet, "render", fail)
    assert capture_into(tmp_path / "out", make_fake_browser(tmp_path))[::2] == (status, line + "\n")


def test_a_bad_command_line_is_one_line():
    assert run(["capture", "about:blank", "--device", DEVICE]) == (2, "", (
        "kestrelite: the following arguments are required: --out/-o (see `kestrelite capture --help`)\n"))


# ---------------------------------------------------------------- what a run says about itself

def test_the_report_and_the_sheet_record_what_made_the_bytes(tmp_path):
    log = tmp_path / "log.jsonl"
    fake = make_fake_browser(tmp_path, log=str(log))
    out = tmp_path / "out"
    status, _, stderr = run(["capture", "about:blank", "--out", out, "-d", "play-wear-os", "--browser", fake,
                             "--timezone", "Asia/Kolkata", "--locale", "de-CH", "--seed", 7])
    assert status == 0, stderr
    report = json.loads((out / "report.json").read_text())
    assert {key: report[key] for key in ("kestrelite", "kind", "seed", "locale", "timezone", "browser")} == {
        "kestrelite": kestrelite.version(), "kind": "capture", "seed": 7, "locale": "de-CH",
        "timezone": "Asia/Kolkata", "browser": {"executable": fake, "version": FAKE_VERSION}}
    sent = {m["method"]: m["params"] for m in read_log(log)}
    assert sent["Emulation.setTimezoneOverride"] == {"timezoneId": "Asia/Kolkata"}
    sheet = (out / "index.html").read_text()
    for text in ("seed 7", "locale de-CH", "time zone Asia/Kolkata", f"{FAKE_VERSION} ({fake})",
                 f"kestrelite {kestrelite.version()}", "ok: 1 of 1 devices exact"):
        assert text in sheet


@needs_browser
def test_the_status_bar_is_red_when_the_run_was_not_ok(tmp_path):
    """Every image of the sheet is there, but one device failed: red, not green."""
    good = json.loads(kestrelite.capture_json("data:text/html,<p>x</p>", str(tmp_path), ["apple-watch-s3"],
                                              browser=BROWSER))
    failed = {"device_id": "play-wear-os", "outcome": "failed", "elapsed_ms": 1, "error": "browser: gone"}
    report = Report("capture", {"url": "data:"}, good["results"] + [failed])
    (tmp_path / "index.html").write_text(sheet.render(report))
    shot = json.loads(kestrelite.capture_json((tmp_path / "index.html").as_uri(), str(tmp_path / "sheet"),
                                              ["apple-mac-1280"], browser=BROWSER))
    with Image.open(shot["results"][0]["path"]) as image:
        colour = image.convert("RGB").getpixel((4, 4))
    assert colour == tuple(int(sheet.BROKEN_COLOUR[i:i + 2], 16) for i in (1, 3, 5))


# ---------------------------------------------------------------- killed runs

WRITER = """
import itertools, json, sys
from kestrelite.files import write_atomic
versions = [json.dumps({"version": v, "padding": "x" * 2_000_000}).encode() for v in range(2)]
for v in itertools.cycle(range(2)):
    write_atomic(sys.argv[1], versions[v])
"""


def test_a_writer_killed_at_any_moment_leaves_the_old_file_or_the_new_one(tmp_path):
    target = tmp_path / "report.json"
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}
    for ms in random.Random(31).sample(range(50, 400), 15):
        writer = subprocess.Popen(["/usr/bin/python3", "-c", WRITER, str(target)], env=env)
        time.sleep(ms / 1000)
        writer.kill()
        writer.wait()
        if target.exists():
            assert json.loads(target.read_bytes())["version"] in (0, 1)


def test_a_run_killed_at_any_moment_leaves_only_whole_files(tmp_path, process_mark):
    """Killed with SIGKILL again and again while it writes into the same
    folder, a set run leaves under every final name an old whole file or a
    new whole one; the next run clears the temporary files left behind."""
    fake = make_fake_browser(tmp_path, screenshot_stored=True)
    (tmp_path / "set.toml").write_text(
        'devices = ["apple-iphone-6-9-1320", "play-phone-portrait", "apple-ipad-13-2064"]\n'
        'locales = ["en-US", "de-DE"]\nlayout = "fastlane"\n' +
        "".join(f'[[screen]]\nname = "{n}"\npage = "about:blank#{n}"\n' for n in ("home", "list")),
        encoding="utf-8")
    out = tmp_path / "out"
    argv = ["/usr/bin/python3", "-m", "kestrelite", "run", tmp_path / "set.toml", "--out", out, "--jobs", "2",
            "--browser", fake]
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}

    def whole_files():
        for path in out.rglob("*"):
            if files.LEFTOVER.fullmatch(path.name) or not path.is_file():
                continue
            if path.suffix == ".png":
                with Image.open(path) as image:
                    image.load()
            elif path.suffix == ".json":
                json.loads(path.read_text(encoding="utf-8"))

    moments = random.Random(30).sample(range(100, 2500), 12)
    for ms in moments:
        host = subprocess.Popen(list(map(str, argv)), env=env, start_new_session=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(ms / 1000)
        os.killpg(host.pid, signal.SIGKILL)
        host.wait()
        whole_files()
    done = subprocess.run(list(map(str, argv)), env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    whole_files()
    assert [p for p in out.rglob("*") if files.LEFTOVER.fullmatch(p.name)] == []
    assert process_mark() == []
