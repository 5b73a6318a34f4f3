"""The kestrelite command: every error one line with its documented exit
status, checked before any browser starts; the output folder, where nothing
kestrelite did not write is replaced and a run killed at any moment leaves
only whole files; the device table; install-browser; and the contact sheet's
status bar in the real headless shell."""
import json
import os
import random
import re
import signal
import subprocess
import time

import pytest
from PIL import Image

import kestrelite
from conftest import BROWSER, make_fake_browser, needs_browser, preset, run_cli as run
from kestrelite import browser as browsers, files, outdir, settings, sheet

DEVICE = "apple-watch-s3"


def module_env():
    """This process's environment as it is now (a test's mark too), with the package on the path."""
    return {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}


@pytest.fixture
def tripwire(tmp_path, monkeypatch):
    """The browser every command finds: it leaves a file behind when it is
    started at all."""
    path = tmp_path / "tripwire-browser"
    path.write_text(f"#!/bin/sh\ntouch {tmp_path / 'started'}\nexit 1\n")
    path.chmod(0o755)
    monkeypatch.setenv("KESTRELITE_CHROME", str(path))
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    yield path
    assert not (tmp_path / "started").exists(), "a browser was started"


def test_bad_arguments_exit_2_in_one_line_and_leave_nothing(tmp_path, tripwire, write_presets):
    out, one = tmp_path / "out", write_presets({"version": 1, "devices": [preset("only-one"), preset("../x")]})
    (tmp_path / "set.toml").write_text(f'presets = "{one}"\ndevices = ["../x"]\n'
                                       '[[screen]]\nname = "a"\npage = "a.html"\n')
    (tmp_path / "folder").mkdir()
    (tmp_path / "not-executable").write_text("#!/bin/sh\n")
    for argv, message in [
        ([], "required: COMMAND"),
        (["frobnicate"], "invalid choice"),
        (["capture", "about:blank", "-d", DEVICE],
         "kestrelite: the following arguments are required: --out/-o (see `kestrelite capture --help`)"),
        (["capture", "about:blank", "-o", out], "one of the arguments --store/-s --device/-d is required"),
        (["capture", "about:blank", "-o", out, "-s", "apple", "-d", "play-wear-os"], "not allowed with"),
        (["capture", "about:blank", "-o", out, "-s", "apple", "--jobs", "0"], "must be at least 1"),
        (["capture", "about:blank", "-o", out, "-s", "apple", "--seed", "-1"], "must be between 0 and"),
        (["capture", "about:blank", "-o", out, "-s", "apple", "--seed", 2 ** 64], "must be between 0 and"),
        (["capture", "about:blank", "-o", out, "-s", "apple", "--seed", "seven"], "not a whole number"),
        (["capture", "about:blank", "-o", out, "-s", "nowhere"], "kestrelite: unknown store 'nowhere'"),
        (["capture", "about:blank", "-o", out, "-d", DEVICE, "-d", "nope"], "kestrelite: unknown device id 'nope'"),
        # The one rule of image names, whichever way a preset id comes in.
        (["capture", "about:blank", "-o", out, "-d", "../x", "--presets", one], "device id '../x' is not a plain file"),
        (["run", tmp_path / "set.toml", "-o", out], "device id '../x' is not a plain file name, so it cannot name an"),
        (["capture", "about:blank", "-o", out, "-s", "apple", "--presets", one], "no presets for store apple"),
        (["capture", "about:blank", "-o", out, "-s", "apple", "--presets", write_presets("{")], "invalid presets: "),
        (["capture", "about:blank", "-o", out, "-s", "apple", "--presets", tmp_path / "x.json"], "cannot read presets"),
        (["capture", tmp_path / "missing.html", "-o", out, "-s", "apple"], "neither an existing file"),
        (["capture", tmp_path / "folder", "-o", out, "-s", "apple"], "a directory without an index.html"),
        (["capture", "about:blank", "-o", one, "-d", DEVICE], "is a file, not a folder"),
        # A folder that exists and in which no one, root included, can create a file.
        (["capture", "about:blank", "-o", "/proc/self", "-d", DEVICE], "kestrelite: cannot write into /proc/self: "),
        (["capture", "about:blank", "-o", out, "-d", DEVICE, "--timezone", "Mars/Base"], "'Mars/Base'"),
        (["capture", "about:blank", "-o", out, "-d", DEVICE, "--timezone", ""], "''"),
        (["capture", "about:blank", "-o", out, "-d", DEVICE, "--locale", "klingon_XX"], "'klingon_XX'"),
        (["capture", "about:blank", "-o", out, "-d", DEVICE, "--locale", ""], "''"),
        (["capture", "about:blank", "-o", out, "-d", DEVICE, "--browser", tmp_path / "none"], "none: no such file"),
        (["capture", "about:blank", "-o", out, "-d", DEVICE, "--browser", tmp_path / "folder"], "is a folder"),
        (["capture", "about:blank", "-o", out, "-d", DEVICE, "--browser", tmp_path / "not-executable"],
         "not-executable is not executable"),
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
    assert (status, stdout, stderr.count("\n")) == (2, "", 1)
    assert str(path) in stderr and "move it away" in stderr
    assert path.is_dir() if name.endswith("/") else path.read_text() == "the user's own"


@pytest.mark.parametrize("error, status, line", [
    (PermissionError(13, "Permission denied", "out/index.html"), 2, "kestrelite: out/index.html: Permission denied"),
    (KeyError("url"), 3, "kestrelite: internal error, please report it: KeyError: 'url'"),
])
def test_an_unexpected_failure_is_one_line(tmp_path, fake_captures, monkeypatch, error, status, line):
    def fail(*args, **kwargs):
        raise error
    monkeypatch.setattr(sheet, "render", fail)
    assert run(["capture", "about:blank", "-o", tmp_path / "out", "-d", DEVICE, "--browser",
                make_fake_browser(tmp_path)])[::2] == (status, line + "\n")


@pytest.mark.parametrize("check, good, bad", [
    (settings.check_timezone, ["Europe/Paris", "Etc/GMT-14", "GMT+05:30"],
     ["europe/paris", "localtime", "../../etc/passwd"]),
    (settings.check_locale, ["zh-Hant-TW", "es-419", "de-DE-u-co-phonebk", "tlh"], ["klingon-XX", "x-private", "en-"]),
])
def test_settings_the_browser_takes(check, good, bad):
    assert [check(value) for value in good] == good
    for value in bad:
        with pytest.raises(kestrelite.errors.UsageError, match=re.escape(repr(value))):
            check(value)


@pytest.mark.parametrize("store, count", [(None, 46), ("Play", 11)])
def test_devices_table_lists_the_presets_aligned(store, count):
    status, stdout, _ = run(["devices", *(["--store", store] if store else [])])
    lines = stdout.splitlines()
    starts = [m.start() for m in re.finditer(r"\S+", lines[0])]
    rows = [[line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])] for line in lines]
    expected = json.loads(kestrelite.devices_json(store))
    assert status == 0 and len(rows) - 1 == len(expected) == count
    assert rows[0] == ["ID", "LABEL", "OUTPUT", "SCALE", "STORE", "REQUIREMENT"]
    assert rows[1:] == [[d["id"], d["label"], f"{d['output_width']}x{d['output_height']}", str(d["scale"]),
                         d["store"], d["requirement"]] for d in expected]
    assert all(line[s - 1] == " " and line[s] != " " for line in lines[1:] for s in starts[1:])
    for args in ([], ["--store", "apple"]):
        assert run(["devices", "--json", *args]) == (0, kestrelite.devices_json(*args[1:]) + "\n", "")


def test_install_browser_places_a_launcher_that_passes_every_argument(tmp_path, monkeypatch):
    """Without --from it takes the first Chromium of this machine, or says
    what to do when there is none."""
    monkeypatch.delenv("KESTRELITE_CHROME", raising=False)
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    monkeypatch.setattr(browsers, "LOCAL_BROWSERS", (str(tmp_path / "no-chromium"),))
    status, stdout, stderr = run(["install-browser"])
    assert (status, stdout) == (1, "") and not (tmp_path / "home").exists()
    assert "apt-get install chromium-headless-shell" in stderr and "--from PATH" in stderr
    (tmp_path / "it's a dir").mkdir()
    program = tmp_path / "it's a dir" / "fake browser"
    program.write_text('#!/bin/sh\n[ "$1" = --version ] && echo "Chromium 1.2.3.4" && exit\n'
                       'for a in "$@"; do printf "[%s]" "$a"; done\n')
    program.chmod(0o755)
    monkeypatch.setattr(browsers, "LOCAL_BROWSERS", (str(tmp_path / "no-chromium"), str(program)))
    launcher = tmp_path / "home" / "browser" / "chrome-headless-shell"
    status, stdout, _ = run(["install-browser"])
    assert status == 0 and stdout.startswith(f"found {program}\ninstalled {launcher}, a launcher that runs {program}")
    assert "kestrelite uses it from now on" in stdout and run(["find-browser"])[:2] == (0, f"{launcher}\n")
    echoed = subprocess.run([str(launcher), "a b", "", "$HOME", "--x='y'"], capture_output=True, text=True)
    assert echoed.stdout == "[a b][][$HOME][--x='y']"
    assert run(["install-browser", "--from", program])[1].startswith(f"replaced {launcher}")
    monkeypatch.setenv("KESTRELITE_CHROME", str(program))
    assert f"kestrelite uses {program} instead, because KESTRELITE_CHROME is set" in run(
        ["install-browser", "--from", program])[1]


@needs_browser
@pytest.mark.parametrize("case, colour", [("ok", sheet.OK_COLOUR), ("image missing", sheet.BROKEN_COLOUR),
                                          ("device failed", sheet.BROKEN_COLOUR)])
def test_the_status_bar_is_green_only_when_the_run_was_ok_and_every_image_shows(tmp_path, fake_captures, case,
                                                                                colour):
    if case == "device failed":
        fake_captures.fail["play-wear-os"] = "browser: gone"
    out = tmp_path / "out"
    run(["capture", "about:blank", "-o", out, "-d", DEVICE, "-d", "play-wear-os", "--browser",
         make_fake_browser(tmp_path)])
    if case == "image missing":
        (out / f"{DEVICE}.png").unlink()
    report = json.loads(kestrelite.capture_json((out / "index.html").as_uri(), str(tmp_path / "shot"),
                                                ["apple-mac-1280"], browser=BROWSER))
    with Image.open(report["results"][0]["path"]) as image:
        assert image.convert("RGB").getpixel((4, 4)) == tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


WRITER = """
import itertools, json, sys
from kestrelite.files import write_atomic
versions = [json.dumps({"version": v, "padding": "x" * 2_000_000}).encode() for v in range(2)]
for v in itertools.cycle(range(2)):
    write_atomic(sys.argv[1], versions[v])
"""


def test_a_writer_killed_at_any_moment_leaves_the_old_file_or_the_new_one(tmp_path):
    target = tmp_path / "report.json"
    for ms in random.Random(31).sample(range(50, 400), 15):
        writer = subprocess.Popen(["/usr/bin/python3", "-c", WRITER, str(target)], env=module_env())
        time.sleep(ms / 1000)
        writer.kill()
        writer.wait()
        if target.exists():
            assert json.loads(target.read_bytes())["version"] in (0, 1)


def test_a_run_killed_at_any_moment_leaves_only_whole_files(tmp_path, process_mark):
    """Killed with SIGKILL again and again while it writes into the same
    folder, a set run leaves under every final name an old whole file or a
    new whole one; the next run clears the temporary files left behind."""
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
    done = subprocess.run(list(map(str, argv)), env=module_env(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    only_whole_files()
    assert [p for p in out.rglob("*") if files.LEFTOVER.fullmatch(p.name)] == []
    assert process_mark() == []
