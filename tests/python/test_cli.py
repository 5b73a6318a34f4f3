"""The kestrelite command: captures of the demo page through the real headless
shell and of presets through the fake browser, the contact sheet, exit
statuses, the device table and install-browser."""
import hashlib
import itertools
import json
import os
import re
import subprocess

import pytest
from PIL import Image

import kestrelite
from conftest import BROWSER, SANITIZED, SOURCE_DIR, VERSION, make_fake_browser, needs_browser, preset, run_cli
from kestrelite import browser as browsers, sheet
from kestrelite.report import Report

DEMO = SOURCE_DIR / "examples" / "demo"
SMALL = ["apple-watch-ultra-3", "play-wear-os", "apple-mac-1280"]
PRESETS = {d["id"]: d for d in json.loads(kestrelite.devices_json())}


def run(*argv):
    return run_cli(argv)


def run_module(*argv):
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}
    done = subprocess.run(["/usr/bin/python3", "-m", "kestrelite", *map(str, argv)], env=env, capture_output=True,
                          text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def device_lines(stdout):
    """(id, size, outcome) of each progress line, in print order."""
    pattern = re.compile(r"^\[\s*\d+/\d+\] (\S+)\s+(\S+(?: \(expected \S+\))?)\s+(exact|off-size|failed)\s+\d+ ms")
    return [m.groups() for m in map(pattern.match, stdout.splitlines()) if m]


def report_in(directory):
    return json.loads((directory / "report.json").read_text(encoding="utf-8"))


@pytest.fixture
def no_browser_anywhere(tmp_path, monkeypatch):
    """Discovery finds nothing: no variable, an empty managed root and PATH."""
    (tmp_path / "empty").mkdir()
    monkeypatch.delenv("KESTRELITE_CHROME", raising=False)
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    return tmp_path


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    """The demo directory on three small presets, two at a time."""
    if not os.path.exists(BROWSER):
        pytest.skip("needs Debian's chromium-headless-shell")
    out = tmp_path_factory.mktemp("demo")
    status, stdout, stderr = run("capture", DEMO, "--out", out, "--browser", BROWSER, "--jobs", 2,
                                 *itertools.chain.from_iterable(("--device", d) for d in SMALL))
    return {"status": status, "stdout": stdout + stderr, "out": out, "report": report_in(out)}


@needs_browser
def test_capture_prints_each_device_and_writes_one_report(demo_run):
    assert demo_run["status"] == 0, demo_run["stdout"]
    assert sorted(device_lines(demo_run["stdout"])) == sorted(
        (d, f"{PRESETS[d]['output_width']}x{PRESETS[d]['output_height']}", "exact") for d in SMALL)
    report = demo_run["report"]
    assert report["url"] == (DEMO / "index.html").resolve().as_uri()
    assert [r["device_id"] for r in report["results"]] == SMALL
    for entry in report["results"]:
        assert hashlib.sha256((demo_run["out"] / f"{entry['device_id']}.png").read_bytes()).hexdigest() == \
            entry["capture"]["sha256"]


@needs_browser
def test_the_contact_sheet_shows_every_screenshot_in_the_browser(demo_run, tmp_path):
    """The status bar turns green only when every image decodes; with one PNG
    missing the same check must see red."""
    sheet_dir = demo_run["out"]
    html = (sheet_dir / "index.html").read_text(encoding="utf-8")
    for entry in demo_run["report"]["results"]:
        assert f'src="{entry["device_id"]}.png"' in html and entry["capture"]["sha256"][:16] in html
    broken = tmp_path / "broken"
    broken.mkdir()
    (broken / "index.html").write_text(html, encoding="utf-8")
    for device_id in SMALL[1:]:
        (broken / f"{device_id}.png").write_bytes((sheet_dir / f"{device_id}.png").read_bytes())
    for directory, colour in ((sheet_dir, sheet.OK_COLOUR), (broken, sheet.BROKEN_COLOUR)):
        report = json.loads(kestrelite.capture_json((directory / "index.html").as_uri(), str(tmp_path / colour[1:]),
                                                    ["apple-mac-1280"], browser=BROWSER))
        with Image.open(report["results"][0]["path"]) as shot:
            assert shot.convert("RGB").getpixel((4, 4)) == tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def test_off_size_and_failed_devices_exit_1(tmp_path, write_presets):
    presets = write_presets({"version": 1, "devices": [
        preset("tall", 1080, 2340, 3, store="play"), preset("other", store="apple"), preset("wide", store="play")]})
    fake = make_fake_browser(tmp_path, screenshot_size=[1080, 1920],
                             replies={"Page.navigate#2": {"result": {"errorText": "net::ERR_FAILED"}}})
    status, stdout, stderr = run("capture", "data:text/html,x", "--out", tmp_path / "out", "--store", "GOOGLE",
                                 "--presets", presets, "--seed", 7, "--browser", fake, "--jobs", 1)
    assert status == 1 and stderr == ""
    assert device_lines(stdout) == [("tall", "1080x1920 (expected 1080x2340)", "off-size"),
                                    ("wide", "1080x1920", "failed")]
    assert "2 devices: 0 exact, 1 off-size, 1 failed in " in stdout and stdout.count(": NOT OK") == 1
    report = report_in(tmp_path / "out")
    assert [report[k] for k in ("seed", "exact", "off_size", "failed", "ok")] == [7, 0, 1, 1, False]
    html = (tmp_path / "out" / "index.html").read_text()
    assert html.count('class="failed"') == 1 and "no image" in html and "(expected 1080x2340)" in html


@pytest.mark.parametrize("extra, attempted, note", [
    ([], 3, "no device could be captured; is {broken} a working browser?"),
    (["--jobs", 1, "--fail-fast"], 1, None),
    (["--jobs", 2, "--fail-fast"], 2, None),
    (["--verify"], 3, "verify: skipped, the first run captured nothing"),
    (["--verify", "--fail-fast", "--jobs", 1], 1, "verify: skipped, the first run was not ok"),
])
def test_a_browser_that_cannot_start_with_fail_fast_and_verify(tmp_path, extra, attempted, note):
    ids, broken = ["apple-watch-s3", "apple-watch-s6", "play-wear-os"], tmp_path / "broken-browser"
    broken.write_text("#!/bin/sh\nexit 1\n")
    broken.chmod(0o755)
    status, stdout, stderr = run("capture", DEMO, "--out", tmp_path, "--browser", broken, *extra,
                                 *itertools.chain.from_iterable(("-d", d) for d in ids))
    report = report_in(tmp_path)
    assert status == 1 and [r["device_id"] for r in report["results"]] == ids[:attempted]
    assert [line[2] for line in device_lines(stdout)] == ["failed"] * attempted and "verify" not in report
    assert {r["error"] for r in report["results"]} == {"browser: browser did not report a DevTools port"}
    assert note is None or note.format(broken=broken) in stdout + stderr


def test_bad_arguments_exit_2_and_leave_nothing(tmp_path, write_presets, monkeypatch):
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    out, page, one = tmp_path / "out", str(DEMO), write_presets({"version": 1, "devices": [preset("only-one")]})
    for argv, message in [
        ([], "required: COMMAND"),
        (["capture", page, "--store", "apple"], "--out"),
        (["capture", page, "--out", out], "one of the arguments --store/-s --device/-d is required"),
        (["capture", page, "--out", out, "--store", "apple", "--device", "play-wear-os"], "not allowed with"),
        (["capture", page, "--out", out, "--store", "apple", "--jobs", "0"], "must be at least 1"),
        (["capture", page, "--out", out, "--store", "apple", "--seed", "-1"], "must be between 0 and"),
        (["capture", page, "--out", out, "--store", "apple", "--seed", 2 ** 64], "must be between 0 and"),
        (["capture", page, "--out", out, "--store", "apple", "--seed", "seven"], "not a whole number"),
        (["capture", page, "--out", out, "--store", "nowhere"], "kestrelite: unknown store 'nowhere'"),
        (["capture", page, "--out", out, "--store", "apple", "--presets", one], "no presets for store apple"),
        (["capture", page, "--out", out, "-d", "apple-watch-s3", "-d", "nope"], "kestrelite: unknown device id 'nope'"),
        (["capture", page, "--out", out, "--store", "apple", "--presets", tmp_path / "x.json"], "cannot read presets"),
        (["capture", page, "--out", out, "--store", "apple", "--presets", write_presets("{")],
         "invalid presets: json: "),
        (["capture", tmp_path / "missing.html", "--out", out, "--store", "apple"], "neither an existing file"),
        (["capture", tmp_path, "--out", out, "--store", "apple"], "a directory without an index.html"),
        (["capture", page, "--out", one, "--store", "apple", "--browser", BROWSER], "is a file, not a folder"),
        (["devices", "--store", "bogus"], "kestrelite: unknown store: bogus"),
        (["install-browser", "--from", tmp_path / "missing"], "is not a file"),
        (["frobnicate"], "invalid choice"),
    ]:
        status, stdout, stderr = run(*argv)
        assert (status, message in stderr) == (2, True), (argv, stderr)
        assert not out.exists() and not (tmp_path / "home").exists(), argv


@pytest.mark.parametrize("store, count", [(None, 46), ("Play", 11)])
def test_devices_table_lists_the_presets_aligned(store, count):
    status, stdout, _ = run("devices", *(["--store", store] if store else []))
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
        assert run("devices", "--json", *args) == (0, kestrelite.devices_json(*args[1:]) + "\n", "")


def test_the_contact_sheet_escapes_what_it_shows():
    device = preset('x"><script>alert(1)</script>', label="<b>Phone</b> & 'co'")
    failed = {"device_id": device["id"], "outcome": "failed", "elapsed_ms": 5, "error": "<img src=x onerror=alert(1)>"}
    shot = {"device_id": "ok&id", "outcome": "exact", "elapsed_ms": 7, "path": "/tmp/x/ok&id #1.png",
            "capture": {"expected": [2, 4], "actual": [2, 4], "sha256": "ab" * 32, "exact": True}}
    report = Report("capture", {"kestrelite": VERSION, "url": "https://e.test/?a=<b>&c", "seed": 42,
                                "locale": "en-US"}, [failed, shot], 12)
    page = sheet.render(report, {device["id"]: device, "ok&id": preset("ok&id", w=2, h=4, scale=1)})
    assert "<script>alert" not in page and "<img src=x" not in page and "<b>Phone" not in page
    for escaped in ("&lt;img src=x onerror=alert(1)&gt;", "&lt;b&gt;Phone&lt;/b&gt; &amp; &#x27;co&#x27;",
                    'src="ok%26id%20%231.png"', "https://e.test/?a=&lt;b&gt;&amp;c"):
        assert escaped in page
    assert page.count("<figure") == 2 and page.count("<img") == 1


@pytest.mark.parametrize("env, root", [
    ({"KESTRELITE_HOME": "{tmp}/k", "HOME": "{tmp}/h"}, "{tmp}/k/browser"),
    ({"HOME": "", "USERPROFILE": "{tmp}/u"}, ".kestrelite/browser"),
])
def test_the_launcher_lands_where_the_module_looks(tmp_path, monkeypatch, env, root):
    for name in ("KESTRELITE_CHROME", "KESTRELITE_HOME", "HOME", "USERPROFILE"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value.format(tmp=tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path / "nothing"))
    monkeypatch.chdir(tmp_path)
    program = tmp_path / "program"
    program.write_text("#!/bin/sh\n")
    program.chmod(0o755)
    launcher, replaced = browsers.install_launcher(str(program))
    assert not replaced
    assert kestrelite.find_browser() == launcher == os.path.join(root.format(tmp=tmp_path), "chrome-headless-shell")


def test_install_browser_writes_a_launcher_that_passes_every_argument(tmp_path, monkeypatch):
    monkeypatch.delenv("KESTRELITE_CHROME", raising=False)
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    (tmp_path / "it's a dir").mkdir()
    program = tmp_path / "it's a dir" / "fake browser"
    program.write_text('#!/bin/sh\n[ "$1" = --version ] && echo "Chromium 1.2.3.4" && exit\n'
                       'for a in "$@"; do printf "[%s]" "$a"; done\n')
    program.chmod(0o755)
    launcher = tmp_path / "home" / "browser" / "chrome-headless-shell"
    status, stdout, _ = run("install-browser", "--from", program)
    assert status == 0 and f"installed {launcher}, a launcher that runs {program}" in stdout
    assert "kestrelite uses it from now on" in stdout and run("find-browser")[:2] == (0, f"{launcher}\n")
    echoed = subprocess.run([str(launcher), "a b", "", "$HOME", "--x='y'"], capture_output=True, text=True)
    assert echoed.stdout == "[a b][][$HOME][--x='y']"
    assert run("install-browser", "--from", program)[1].startswith(f"replaced {launcher}")
    monkeypatch.setenv("KESTRELITE_CHROME", str(program))
    assert f"kestrelite uses {program} instead, because KESTRELITE_CHROME is set" in run(
        "install-browser", "--from", program)[1]
    (tmp_path / "plain").write_text("not a program")
    assert run("install-browser", "--from", tmp_path / "plain")[0] == 2


def test_install_browser_says_what_to_do_when_nothing_is_installed(no_browser_anywhere, monkeypatch):
    monkeypatch.setattr(browsers, "LOCAL_BROWSERS", (str(no_browser_anywhere / "no-chromium"),))
    status, stdout, stderr = run("install-browser")
    assert (status, stdout) == (1, "") and not (no_browser_anywhere / "home").exists()
    assert "apt-get install chromium-headless-shell" in stderr and "--from PATH" in stderr


@needs_browser
@pytest.mark.skipif(SANITIZED, reason="the launcher would start the browser with the sanitizer runtime preloaded")
def test_install_browser_finds_the_local_shell_and_captures_through_it(no_browser_anywhere):
    """The first run as a user takes it: install-browser, then a capture of
    the demo directory that finds the launcher."""
    status, stdout, stderr = run_module("install-browser")
    launcher = no_browser_anywhere / "home" / "browser" / "chrome-headless-shell"
    assert status == 0 and stdout.startswith("found /usr/") and f"installed {launcher}" in stdout, stderr
    status, stdout, stderr = run_module("capture", DEMO, "--out", no_browser_anywhere / "out", "-d", "apple-watch-s3")
    assert status == 0 and f"browser {launcher}" in stdout, stdout + stderr
    assert device_lines(stdout) == [("apple-watch-s3", "312x390", "exact")]
