"""The kestrelite command: captures of the demo page through the real headless
shell and of presets through the fake browser, the merged report, the contact
sheet, --verify, exit statuses, the device table and install-browser."""
import hashlib
import itertools
import json
import os
import re
import subprocess
import time

import pytest
from PIL import Image

import kestrelite
from conftest import BROWSER, SANITIZED, SOURCE_DIR, make_fake_browser, needs_browser, preset, run_cli
from kestrelite import browser_setup, contact_sheet, runner

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
def demo_runs(tmp_path_factory):
    """The demo directory on three small presets, one and two at a time."""
    if not os.path.exists(BROWSER):
        pytest.skip("needs Debian's chromium-headless-shell")
    runs = {}
    for jobs in (1, 2):
        out = tmp_path_factory.mktemp(f"jobs{jobs}")
        status, stdout, stderr = run("capture", DEMO, "--out", out, "--browser", BROWSER, "--jobs", jobs,
                                     *itertools.chain.from_iterable(("--device", d) for d in SMALL))
        runs[jobs] = {"status": status, "stdout": stdout + stderr, "out": out, "report": report_in(out)}
    return runs


@needs_browser
@pytest.mark.parametrize("jobs", [1, 2])
def test_capture_prints_each_device_and_merges_one_report(demo_runs, jobs):
    result = demo_runs[jobs]
    assert result["status"] == 0, result["stdout"]
    assert sorted(device_lines(result["stdout"])) == sorted(
        (d, f"{PRESETS[d]['output_width']}x{PRESETS[d]['output_height']}", "exact") for d in SMALL)
    assert "3 devices: 3 exact, 0 off-size, 0 failed in " in result["stdout"]
    report = result["report"]
    assert list(report) == ["kestrelite", "kind", "url", "seed", "locale", "timezone", "browser", "exact", "off_size",
                            "failed", "elapsed_ms", "ok", "results"]
    assert report["url"] == (DEMO / "index.html").resolve().as_uri()
    assert [report[k] for k in ("kestrelite", "seed", "locale", "exact", "off_size", "failed", "ok")] == [
        "0.1.14", 42, "en-US", 3, 0, 0, True]
    # Selection order, whatever order the devices finished in.
    assert [r["device_id"] for r in report["results"]] == SMALL
    for entry in report["results"]:
        path = result["out"] / f"{entry['device_id']}.png"
        assert entry["path"] == str(path)
        assert hashlib.sha256(path.read_bytes()).hexdigest() == entry["capture"]["sha256"]
    per_device = [r["elapsed_ms"] for r in report["results"]]
    assert report["elapsed_ms"] >= (sum(per_device) if jobs == 1 else max(per_device))
    digests = [[r["capture"]["sha256"] for r in run["report"]["results"]] for run in demo_runs.values()]
    assert digests[0] == digests[1]


@needs_browser
def test_the_contact_sheet_shows_every_screenshot_in_the_browser(demo_runs, tmp_path):
    """The status bar turns green only when every image decodes; with one PNG
    missing the same check must see red."""
    sheet_dir = demo_runs[1]["out"]
    html = (sheet_dir / "index.html").read_text(encoding="utf-8")
    for entry in demo_runs[1]["report"]["results"]:
        assert f'src="{entry["device_id"]}.png"' in html and entry["capture"]["sha256"][:16] in html
    broken = tmp_path / "broken"
    broken.mkdir()
    (broken / "index.html").write_text(html, encoding="utf-8")
    for device_id in SMALL[1:]:
        (broken / f"{device_id}.png").write_bytes((sheet_dir / f"{device_id}.png").read_bytes())
    for directory, colour in ((sheet_dir, contact_sheet.OK_COLOUR), (broken, contact_sheet.BROKEN_COLOUR)):
        report = json.loads(kestrelite.capture_json((directory / "index.html").as_uri(), str(tmp_path / colour[1:]),
                                                    ["apple-mac-1280"], browser=BROWSER))
        with Image.open(report["results"][0]["path"]) as shot:
            assert shot.convert("RGB").getpixel((4, 4)) == tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


@needs_browser
def test_verify_finds_the_demo_identical_and_a_changing_page_different(tmp_path, page_server):
    status, stdout, _ = run("capture", DEMO, "--out", tmp_path / "same", "-d", "apple-watch-s3", "--browser", BROWSER,
                            "--verify")
    verify = report_in(tmp_path / "same")["verify"]
    assert (status, verify["identical"], verify["differ"]) == (0, True, []), stdout
    assert verify["devices"][0]["first"] == verify["devices"][0]["second"] and "verify: all 1 identical" in stdout

    hits = itertools.count()
    page_server.pages["/page.html"] = lambda _: f'<body style="background:hsl({next(hits) * 97 % 360},70%,50%)">'
    out = tmp_path / "changed"
    status, stdout, _ = run("capture", page_server.url("/page.html"), "--out", out, "-d", "play-wear-os",
                            "--browser", BROWSER, "--verify")
    report = report_in(out)
    [entry] = report["verify"]["devices"]
    assert (status, report["exact"], report["ok"], report["verify"]["differ"]) == (1, 1, False, ["play-wear-os"]), stdout
    assert entry["first"] == report["results"][0]["capture"]["sha256"] != entry["second"]
    assert entry["second_path"] == str(out / "play-wear-os.second.png")
    assert hashlib.sha256((out / "play-wear-os.second.png").read_bytes()).hexdigest() == entry["second"]
    assert "verify: 1 of 1 devices differ: play-wear-os" in stdout
    assert "differs on the second run" in (out / "index.html").read_text()
    assert "NOT OK: 1 changed on the second run" in (out / "index.html").read_text()


def test_off_size_and_failed_devices_exit_1(tmp_path, write_presets):
    presets = write_presets({"version": 1, "devices": [
        preset("tall", 1080, 2340, 3, store="play"), preset("other", store="apple"), preset("wide", store="play"),
        preset("a/b", store="play")]})
    fake = make_fake_browser(tmp_path, screenshot_size=[1080, 1920])
    status, stdout, stderr = run("capture", "data:text/html,x", "--out", tmp_path / "out", "--store", "GOOGLE",
                                 "--presets", presets, "--seed", 7, "--browser", fake)
    assert status == 1 and stderr == ""
    assert device_lines(stdout) == [("tall", "1080x1920 (expected 1080x2340)", "off-size"),
                                    ("wide", "1080x1920", "exact"), ("a/b", "1080x1920", "failed")]
    assert "3 devices: 1 exact, 1 off-size, 1 failed in " in stdout and stdout.count(": NOT OK") == 1
    report = report_in(tmp_path / "out")
    assert [report[k] for k in ("seed", "exact", "off_size", "failed", "ok")] == [7, 1, 1, 1, False]
    html = (tmp_path / "out" / "index.html").read_text()
    assert html.count('class="failed"') == 1 and "no image" in html and "(expected 1080x2340)" in html


@pytest.mark.parametrize("extra, attempted, note", [
    ([], 3, "no device could be captured; is {broken} a working browser?"),
    (["--jobs", 1, "--fail-fast"], 1, None),
    (["--jobs", 2, "--fail-fast"], 2, None),
    (["--verify"], 3, "verify: skipped, the first run captured nothing"),
    (["--verify", "--fail-fast"], 1, "verify: skipped, the first run was not ok"),
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


def test_no_browser_stops_before_the_run(no_browser_anywhere):
    out = no_browser_anywhere / "out"
    status, stdout, stderr = run("capture", DEMO, "--out", out, "--store", "play")
    assert (status, stdout) == (2, "") and not out.exists()
    assert ("kestrelite: browser: no browser found. Set KESTRELITE_CHROME, or run `kestrelite install-browser`."
            in stderr)
    assert "--browser PATH" in stderr
    status, stdout, stderr = run("find-browser")
    assert (status, stdout) == (1, "") and "no browser found" in stderr
    status, stdout, stderr = run_module("capture", DEMO, "--out", out, "-d", "play-wear-os")
    assert (status, stdout) == (2, "") and stderr.startswith("kestrelite: browser: no browser found.")


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
        (["capture", page, "--out", out, "--store", "nowhere"], "kestrelite: unknown store: nowhere"),
        (["capture", page, "--out", out, "--store", "apple", "--presets", one], "no presets for store apple"),
        (["capture", page, "--out", out, "-d", "apple-watch-s3", "-d", "nope"], "kestrelite: unknown device id: nope"),
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


@pytest.mark.parametrize("jobs", [1, 2])
def test_the_runner_keeps_to_its_jobs_and_the_selection_order(jobs):
    running, most = set(), []

    def capture_one(device_id):
        running.add(device_id)
        most.append(len(running))
        time.sleep(0.05 if device_id == "a" else 0.01)
        running.discard(device_id)
        return json.dumps({"results": [{"device_id": device_id}]})

    reports = runner.run_devices(capture_one, ["a", "b", "c", "d"], jobs, None, lambda result: None)
    assert max(most) == jobs and [r["results"][0]["device_id"] for r in reports] == ["a", "b", "c", "d"]


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
    report = {"kestrelite": "0.1.14", "url": "https://e.test/?a=<b>&c", "seed": 42, "locale": "en-US", "exact": 1,
              "off_size": 0, "failed": 1, "elapsed_ms": 12, "ok": False, "results": [failed, shot]}
    page = contact_sheet.render(report, {device["id"]: device, "ok&id": preset("ok&id", w=2, h=4, scale=1)})
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
    launcher, replaced = browser_setup.install_launcher(str(program))
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
    monkeypatch.setattr(browser_setup, "LOCAL_BROWSERS", (str(no_browser_anywhere / "no-chromium"),))
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
