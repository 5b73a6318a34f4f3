"""The kestrelite command: every error one line with its exit status, before any browser starts; an output folder where
nothing of the user's is replaced and a killed run leaves only whole files; the device table; the contact sheet's
status bar in the real headless shell."""
import json
import os
import random
import re
import signal
import subprocess
import time
from unittest import mock

import pytest
from PIL import Image

import kestrelite
from conftest import BROWSER, make_fake_browser, needs_browser, preset, run_cli as run
from kestrelite import files, outdir, settings, sheet

DEVICE = "apple-watch-s3"


def module_env():
    """This process's environment as it is now (a test's mark too), with the package on the path."""
    return {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}


@pytest.fixture
def tripwire(tmp_path, monkeypatch):
    """The browser every command finds: it leaves a file behind when it is started at all."""
    path = tmp_path / "tripwire-browser"
    path.write_text(f"#!/bin/sh\ntouch {tmp_path / 'started'}\nexit 1\n")
    path.chmod(0o755)
    monkeypatch.setenv("KESTRELITE_CHROME", str(path))
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    yield path
    assert not (tmp_path / "started").exists(), "a browser was started"


def test_bad_arguments_exit_2_in_one_line_and_leave_nothing(tmp_path, tripwire, write_presets):
    out, one = tmp_path / "out", write_presets({"version": 1, "devices": [preset("only-one"), preset("../x")]})
    (tmp_path / "set.toml").write_text(f'presets = "{one}"\ndevices = ["../x"]\n[[screen]]\nname = "a"\npage = "a"\n')
    (tmp_path / "folder").mkdir()
    (tmp_path / "not-executable").write_text("#!/bin/sh\n")
    capture = ["capture", "about:blank", "-o", out]
    apple, device = [*capture, "-s", "apple"], [*capture, "-d", DEVICE]
    for argv, message in [
        ([], "required: COMMAND"),
        (["capture", "about:blank", "-d", DEVICE],
         "kestrelite: the following arguments are required: --out/-o (see `kestrelite capture --help`)"),
        (capture, "one of the arguments --store/-s --device/-d is required"),
        ([*apple, "-d", "play-wear-os"], "not allowed with"),
        ([*apple, "--jobs", "0"], "must be at least 1"),
        ([*apple, "--seed", "-1"], "must be between 0 and"),
        ([*apple, "--seed", 2 ** 64], "must be between 0 and"),
        ([*apple, "--seed", "seven"], "not a whole number"),
        ([*capture, "-s", "nowhere"], "kestrelite: unknown store 'nowhere'"),
        ([*device, "-d", "nope"], "kestrelite: unknown device id 'nope'"),
        # The one rule of image names, whichever way a preset id comes in.
        ([*capture, "-d", "../x", "--presets", one], "device id '../x' is not a plain file"),
        (["run", tmp_path / "set.toml", "-o", out], "device id '../x' is not a plain file name, so it cannot name an"),
        ([*apple, "--presets", one], "no presets for store apple"),
        ([*apple, "--presets", write_presets("{")], "invalid presets: "),
        ([*apple, "--presets", tmp_path / "x.json"], "cannot read presets"),
        (["capture", tmp_path / "missing.html", "-o", out, "-s", "apple"], "neither an existing file"),
        (["capture", tmp_path / "folder", "-o", out, "-s", "apple"], "a directory without an index.html"),
        (["capture", "about:blank", "-o", one, "-d", DEVICE], "is a file, not a folder"),
        # A folder that exists and in which no one, root included, can create a file.
        (["capture", "about:blank", "-o", "/proc/self", "-d", DEVICE], "kestrelite: cannot write into /proc/self: "),
        ([*device, "--timezone", "Mars/Base"], "'Mars/Base'"),
        ([*device, "--locale", "klingon_XX"], "'klingon_XX'"),
        ([*device, "--browser", tmp_path / "none"], "none: no such file"),
        ([*device, "--browser", tmp_path / "folder"], "is a folder"),
        ([*device, "--browser", tmp_path / "not-executable"], "not-executable is not executable"),
        (["devices", "--store", "bogus"], "kestrelite: unknown store: bogus"),
        (["install-browser", "--from", tmp_path / "missing"], "is not a file"),
        (["install-browser", "--from", tmp_path / "not-executable"], "is not executable"),
        (["install-browser", "--from", "/bin/true"],
         "kestrelite: /bin/true is not a Chromium-family browser: `/bin/true --version` printed no version"),
    ]:
        status, stdout, stderr = run(argv)
        assert (status, stdout, message in stderr, stderr.count("\n")) == (2, "", True, 1), (argv, stderr)
        assert not out.exists() and not (tmp_path / "home").exists(), argv


@pytest.mark.parametrize("name", ["index.html", "report.json", f"{DEVICE}.png", outdir.MARKER, "report.json/"])
def test_what_is_in_the_way_is_never_replaced(tmp_path, tripwire, name):
    path = tmp_path / name.rstrip("/")
    path.mkdir() if name.endswith("/") else path.write_text("the user's own")
    status, stdout, stderr = run(["capture", "about:blank", "-o", tmp_path, "-d", DEVICE])
    assert (status, stdout, stderr.count("\n")) == (2, "", 1) and str(path) in stderr and "move it away" in stderr
    assert path.is_dir() if name.endswith("/") else path.read_text() == "the user's own"


@pytest.mark.parametrize("error, status, line", [
    (PermissionError(13, "Permission denied", "out/index.html"), 2, "kestrelite: out/index.html: Permission denied"),
    (KeyError("url"), 3, "kestrelite: internal error, please report it: KeyError: 'url'"),
])
def test_an_unexpected_failure_is_one_line(tmp_path, fake_captures, monkeypatch, error, status, line):
    monkeypatch.setattr(sheet, "render", mock.Mock(side_effect=error))
    assert run(["capture", "about:blank", "-o", tmp_path / "out", "-d", DEVICE, "--browser",
                make_fake_browser(tmp_path)])[::2] == (status, line + "\n")


@pytest.mark.parametrize("check, good, bad", [
    (settings.check_timezone, ["Europe/Paris", "Etc/GMT-14", "GMT+05:30"],
     ["", "europe/paris", "localtime", "../../etc/passwd"]),
    (settings.check_locale, ["zh-Hant-TW", "es-419", "de-DE-u-co-phonebk", "tlh"],
     ["", "klingon-XX", "x-private", "en-"]),
])
def test_settings_the_browser_takes(check, good, bad):
    assert [check(value) for value in good] == good
    for value in bad:
        with pytest.raises(kestrelite.errors.UsageError, match=re.escape(repr(value))):
            check(value)


@pytest.mark.parametrize("store, count", [(None, 46), ("Play", 11)])
def test_devices_table_lists_the_presets_aligned(store, count):
    args = ["--store", store] if store else []
    status, stdout, _ = run(["devices", *args])
    lines = stdout.splitlines()
    starts = [m.start() for m in re.finditer(r"\S+", lines[0])]
    rows = [[line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])] for line in lines]
    expected = json.loads(kestrelite.devices_json(store))
    assert status == 0 and len(rows) - 1 == len(expected) == count
    assert rows[0] == ["ID", "LABEL", "OUTPUT", "SCALE", "STORE", "REQUIREMENT"]
    assert rows[1:] == [[d["id"], d["label"], f"{d['output_width']}x{d['output_height']}", str(d["scale"]),
                         d["store"], d["requirement"]] for d in expected]
    assert all(line[s - 1] == " " and line[s] != " " for line in lines[1:] for s in starts[1:])
    assert run(["devices", "--json", *args]) == (0, kestrelite.devices_json(store) + "\n", "")


@needs_browser
@pytest.mark.parametrize("case, colour", [("ok", sheet.OK_COLOUR), ("image missing", sheet.BROKEN_COLOUR),
                                          ("device failed", sheet.BROKEN_COLOUR)])
def test_the_status_bar_is_green_only_when_the_run_was_ok_and_every_image_shows(tmp_path, fake_captures, case, colour):
    fake_captures.fail.update({"play-wear-os": "browser: gone"} if case == "device failed" else {})
    out = tmp_path / "out"
    run(["capture", "about:blank", "-o", out, "-d", DEVICE, "-d", "play-wear-os", "--browser",
         make_fake_browser(tmp_path)])
    if case == "image missing":
        (out / f"{DEVICE}.png").unlink()
    report = json.loads(kestrelite.capture_json((out / "index.html").as_uri(), str(tmp_path / "shot"),
                                                ["apple-mac-1280"], browser=BROWSER))
    with Image.open(report["results"][0]["path"]) as image:
        assert image.convert("RGB").getpixel((4, 4)) == tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def test_a_run_killed_at_any_moment_leaves_only_whole_files(tmp_path, process_mark):
    """Killed with SIGKILL again and again while it writes into the same folder, a set run leaves under every final name
    an old whole file or a new whole one; the next run clears the temporary files left behind."""
    (tmp_path / "set.toml").write_text(
        'devices = ["apple-iphone-6-9-1320", "play-phone-portrait", "apple-ipad-13-2064"]\n'
        'locales = ["en-US", "de-DE"]\nlayout = "fastlane"\n' +
        "".join(f'[[screen]]\nname = "{n}"\npage = "about:blank#{n}"\n' for n in ("home", "list")))
    out = tmp_path / "out"
    argv = ["/usr/bin/python3", "-m", "kestrelite", "run", tmp_path / "set.toml", "--out", out, "--jobs", "2",
            "--browser", make_fake_browser(tmp_path, screenshot_stored=True)]

    def only_whole_files():
        for path in out.rglob("*.png"):
            with Image.open(path) as image:
                image.load()
        for path in out.rglob("*.json"):
            json.loads(path.read_text(encoding="utf-8"))

    for ms in random.Random(30).sample(range(100, 2500), 12):
        host = subprocess.Popen(list(map(str, argv)), env=module_env(), start_new_session=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(ms / 1000)
        os.killpg(host.pid, signal.SIGKILL)
        host.wait()
        only_whole_files()
    for name in (".kestrelite-a1b2c3d4.partial", ".report.json.0123456789abcdef.partial"):  # as killed writers leave
        (out / name).write_text("cut short")
    done = subprocess.run(list(map(str, argv)), env=module_env(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    only_whole_files()
    assert [p for p in out.rglob("*") if files.LEFTOVER.fullmatch(p.name)] == [] and process_mark() == []
