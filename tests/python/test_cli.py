"""The kestrelite command: captures of the demo page through the real headless
shell, the merged report and the contact sheet, --verify, exit statuses, the
device table, and the browser launcher of install-browser."""
import contextlib
import hashlib
import http.server
import io
import itertools
import json
import os
import re
import subprocess
import threading

import pytest
from PIL import Image

import kestrelite
from conftest import BROWSER, SANITIZED, SOURCE_DIR, needs_browser, preset
from kestrelite import browser_setup, cli, contact_sheet, selection

DEMO = SOURCE_DIR / "examples" / "demo"
SMALL = ["apple-watch-ultra-3", "play-wear-os", "apple-mac-1280"]
PRESETS = {d["id"]: d for d in json.loads(kestrelite.devices_json())}
REPORT_KEYS = ["kestrelite", "kind", "url", "seed", "locale", "timezone", "browser", "exact", "off_size", "failed",
               "elapsed_ms", "ok", "results"]


def hex_rgb(colour):
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def run(argv):
    """Runs the command in-process; returns (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main([str(a) for a in argv])
    return status, out.getvalue(), err.getvalue()


def run_module(argv, env):
    done = subprocess.run(["/usr/bin/python3", "-m", "kestrelite", *map(str, argv)],
                          env=env, capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def device_lines(stdout):
    """(id, size, outcome) of each per-device progress line, in print order."""
    pattern = re.compile(r"^\[\s*\d+/\d+\] (\S+)\s+(\S+)\s+(exact|off-size|failed)\s+\d+ ms")
    return [m.groups() for m in map(pattern.match, stdout.splitlines()) if m]


@pytest.fixture
def no_browser_anywhere(tmp_path, monkeypatch):
    """An environment in which discovery finds nothing: no variable, an
    empty managed root and an empty PATH."""
    empty = tmp_path / "empty"
    empty.mkdir()
    monkeypatch.delenv("KESTRELITE_CHROME", raising=False)
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    monkeypatch.setenv("PATH", str(empty))
    return tmp_path


# ---------------------------------------------------------------- captures of the demo

@pytest.fixture(scope="module")
def demo_runs(tmp_path_factory):
    """The demo on three small presets, once one device at a time and once
    two at a time."""
    if not os.path.exists(BROWSER):
        pytest.skip("needs Debian's chromium-headless-shell")
    runs = {}
    for name, jobs in (("serial", 1), ("parallel", 2)):
        out = tmp_path_factory.mktemp(name)
        argv = ["capture", DEMO, "--out", out, "--browser", BROWSER, "--jobs", jobs]
        for device_id in SMALL:
            argv += ["--device", device_id]
        status, stdout, stderr = run(argv)
        runs[name] = {"status": status, "stdout": stdout, "stderr": stderr, "out": out,
                      "report": json.loads((out / "report.json").read_text(encoding="utf-8"))}
    return runs


@needs_browser
@pytest.mark.parametrize("name", ["serial", "parallel"])
def test_capture_prints_each_device_and_merges_one_report(demo_runs, name):
    result = demo_runs[name]
    assert result["status"] == 0, result["stdout"] + result["stderr"]
    lines = device_lines(result["stdout"])
    assert sorted(line[0] for line in lines) == sorted(SMALL)
    for device_id, size, outcome in lines:
        assert (size, outcome) == (f"{PRESETS[device_id]['output_width']}x{PRESETS[device_id]['output_height']}", "exact")
    assert "3 devices: 3 exact, 0 off-size, 0 failed in " in result["stdout"]

    report = result["report"]
    assert list(report) == REPORT_KEYS
    assert report["url"] == (DEMO / "index.html").resolve().as_uri()
    assert (report["exact"], report["off_size"], report["failed"], report["ok"]) == (3, 0, 0, True)
    assert report["kestrelite"] == kestrelite.version() and report["seed"] == 42 and report["locale"] == "en-US"
    # Selection order, whatever order the devices finished in.
    assert [r["device_id"] for r in report["results"]] == SMALL
    for entry in report["results"]:
        path = result["out"] / f"{entry['device_id']}.png"
        assert entry["path"] == str(path)
        assert hashlib.sha256(path.read_bytes()).hexdigest() == entry["capture"]["sha256"]
    # The run's elapsed time is measured over the whole run, not copied from
    # one device: at least the longest device, and with one device at a
    # time at least their sum.
    per_device = [r["elapsed_ms"] for r in report["results"]]
    assert report["elapsed_ms"] >= (sum(per_device) if name == "serial" else max(per_device))


@needs_browser
def test_jobs_do_not_change_the_digests(demo_runs):
    digests = {name: [r["capture"]["sha256"] for r in run["report"]["results"]] for name, run in demo_runs.items()}
    assert digests["serial"] == digests["parallel"]


@needs_browser
def test_contact_sheet_shows_every_screenshot_in_the_browser(demo_runs, tmp_path):
    """The sheet's status bar turns green only when every image decoded; with
    one PNG removed the same check must see red."""
    sheet_dir = demo_runs["serial"]["out"]
    html = (sheet_dir / "index.html").read_text(encoding="utf-8")
    for entry in demo_runs["serial"]["report"]["results"]:
        assert f'src="{entry["device_id"]}.png"' in html
        assert entry["capture"]["sha256"][:16] in html
        assert PRESETS[entry["device_id"]]["label"] in html

    def status_colour(directory, name):
        report = json.loads(kestrelite.capture_json((directory / "index.html").as_uri(), str(tmp_path / name),
                                                    ["apple-mac-1280"], browser=BROWSER))
        assert report["ok"], report
        with Image.open(report["results"][0]["path"]) as shot:
            return shot.convert("RGB").getpixel((4, 4))

    assert status_colour(sheet_dir, "whole") == hex_rgb(contact_sheet.OK_COLOUR)

    broken = tmp_path / "broken"
    broken.mkdir()
    (broken / "index.html").write_text(html, encoding="utf-8")
    for device_id in SMALL[1:]:
        (broken / f"{device_id}.png").write_bytes((sheet_dir / f"{device_id}.png").read_bytes())
    assert status_colour(broken, "missing") == hex_rgb(contact_sheet.BROKEN_COLOUR)


@needs_browser
def test_verify_finds_the_demo_identical(tmp_path):
    status, stdout, _ = run(["capture", DEMO, "--out", tmp_path, "--device", "apple-watch-s3",
                             "--browser", BROWSER, "--verify"])
    assert status == 0, stdout
    verify = json.loads((tmp_path / "report.json").read_text())["verify"]
    assert verify["identical"] is True and verify["differ"] == []
    [entry] = verify["devices"]
    assert entry["device_id"] == "apple-watch-s3" and entry["first"] == entry["second"]
    assert "verify: all 1 identical" in stdout


@pytest.fixture
def changing_page():
    """A loopback page whose colour changes with every request."""
    hits = itertools.count()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path != "/page.html":
                self.send_error(404)
                return
            body = ('<!doctype html><meta name="viewport" content="width=device-width, initial-scale=1">'
                    f'<body style="background:hsl({next(hits) * 97 % 360},70%,50%)">').encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/page.html"
    server.shutdown()
    server.server_close()


@needs_browser
def test_verify_reports_a_device_that_changes(changing_page, tmp_path):
    status, stdout, _ = run(["capture", changing_page, "--out", tmp_path, "--device", "play-wear-os",
                             "--browser", BROWSER, "--verify"])
    assert status == 1, stdout
    report = json.loads((tmp_path / "report.json").read_text())
    assert (report["exact"], report["ok"]) == (1, False)  # exact the first time, but not ok
    verify = report["verify"]
    assert verify["identical"] is False and verify["differ"] == ["play-wear-os"]
    [entry] = verify["devices"]
    assert entry["first"] == report["results"][0]["capture"]["sha256"] != entry["second"]
    second = tmp_path / "play-wear-os.second.png"
    assert entry["second_path"] == str(second)
    assert hashlib.sha256(second.read_bytes()).hexdigest() == entry["second"]
    assert "DIFFERS" in stdout and "verify: 1 of 1 devices differ: play-wear-os" in stdout
    assert "differs on the second run" in (tmp_path / "index.html").read_text()
    assert "NOT OK: 1 changed on the second run" in (tmp_path / "index.html").read_text()


# ---------------------------------------------------------------- failing browsers and exit statuses

def broken_browser(tmp_path):
    """An executable that exits at once: every device fails at launch."""
    path = tmp_path / "broken-browser"
    path.write_text("#!/bin/sh\nexit 1\n")
    path.chmod(0o755)
    return path


def test_a_browser_that_cannot_start_fails_every_device(tmp_path):
    missing = broken_browser(tmp_path)
    status, stdout, stderr = run(["capture", DEMO, "--out", tmp_path / "out", "--device", "apple-watch-s3",
                                  "--device", "play-wear-os", "--browser", missing])
    assert status == 1
    assert [line[2] for line in device_lines(stdout)] == ["failed", "failed"]
    report = json.loads((tmp_path / "out" / "report.json").read_text())
    assert (report["exact"], report["failed"], report["ok"]) == (0, 2, False)
    errors = [r["error"] for r in report["results"]]
    assert all(e.startswith("browser: ") for e in errors)
    assert errors[0] in stdout
    assert str(missing) in stderr
    html = (tmp_path / "out" / "index.html").read_text()
    assert html.count('class="failed"') == 2 and "no image" in html


@pytest.mark.parametrize("jobs, attempted", [(1, 1), (2, 2)])
def test_fail_fast_starts_no_further_device(tmp_path, jobs, attempted):
    ids = ["apple-watch-s3", "apple-watch-s6", "play-wear-os"]
    argv = ["capture", DEMO, "--out", tmp_path, "--browser", broken_browser(tmp_path), "--fail-fast", "--jobs", jobs]
    for device_id in ids:
        argv += ["--device", device_id]
    status, stdout, _ = run(argv)
    assert status == 1
    report = json.loads((tmp_path / "report.json").read_text())
    assert [r["device_id"] for r in report["results"]] == ids[:attempted]
    assert report["failed"] == attempted and len(device_lines(stdout)) == attempted


@pytest.mark.parametrize("extra, reason", [([], "the first run captured nothing"),
                                           (["--fail-fast"], "the first run was not ok")])
def test_verify_skips_a_run_without_images(tmp_path, extra, reason):
    status, stdout, _ = run(["capture", DEMO, "--out", tmp_path, "--device", "play-wear-os",
                             "--browser", broken_browser(tmp_path), "--verify", *extra])
    assert status == 1
    assert f"verify: skipped, {reason}" in stdout
    assert "verify" not in json.loads((tmp_path / "report.json").read_text())


def test_a_store_from_a_preset_file_is_captured_in_file_order(tmp_path, write_presets):
    path = write_presets({"version": 1, "devices": [
        preset("z-first", store="play"), preset("other", store="apple"), preset("a-second", store="play")]})
    status, _, _ = run(["capture", DEMO, "--out", tmp_path / "out", "--store", "google", "--presets", path,
                        "--browser", broken_browser(tmp_path)])
    assert status == 1
    report = json.loads((tmp_path / "out" / "report.json").read_text())
    assert [r["device_id"] for r in report["results"]] == ["z-first", "a-second"]


def test_no_browser_found_stops_before_the_run(no_browser_anywhere):
    out = no_browser_anywhere / "out"
    status, stdout, stderr = run(["capture", DEMO, "--out", out, "--store", "play"])
    assert status == 2
    assert "browser: no browser found. Set KESTRELITE_CHROME, or run `kestrelite install-browser`." in stderr
    assert "--browser PATH" in stderr
    assert not out.exists() and stdout == ""

    status, stdout, stderr = run(["find-browser"])
    assert status == 1 and stdout == "" and "no browser found" in stderr


def test_kestrelite_chrome_at_a_missing_file_stops_before_the_run(tmp_path, monkeypatch):
    missing = tmp_path / "gone"
    monkeypatch.setenv("KESTRELITE_CHROME", str(missing))
    status, _, stderr = run(["capture", DEMO, "--out", tmp_path / "out", "--device", "play-wear-os"])
    assert status == 2
    assert f"browser: KESTRELITE_CHROME points at {missing}, which is not a file" in stderr
    assert "unset it" in stderr


def test_no_browser_found_through_python_m(no_browser_anywhere):
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}
    status, stdout, stderr = run_module(["capture", DEMO, "--out", no_browser_anywhere / "out", "-d", "play-wear-os"], env)
    assert status == 2 and stdout == ""
    assert stderr.startswith("kestrelite: browser: no browser found.")


def bad_argument_cases(tmp_path, write_presets):
    out = tmp_path / "out"
    page = str(DEMO)
    good_presets = write_presets({"version": 1, "devices": [preset("only-one")]})
    return [
        ([], "required: COMMAND"),
        (["capture", page, "--store", "apple"], "--out"),
        (["capture", page, "--out", out], "one of the arguments --store/-s --device/-d is required"),
        (["capture", page, "--out", out, "--store", "apple", "--device", "play-wear-os"], "not allowed with"),
        (["capture", page, "--out", out, "--store", "apple", "--jobs", "0"], "must be at least 1"),
        (["capture", page, "--out", out, "--store", "apple", "--seed", "-1"], "must be between 0 and"),
        (["capture", page, "--out", out, "--store", "apple", "--seed", "seven"], "not a whole number"),
        (["capture", page, "--out", out, "--store", "nowhere"], "kestrelite: unknown store: nowhere"),
        (["capture", page, "--out", out, "--store", "apple", "--presets", good_presets], "no presets for store apple"),
        (["capture", page, "--out", out, "--device", "apple-watch-s3", "--device", "nope"],
         "kestrelite: unknown device id: nope"),
        (["capture", page, "--out", out, "--device", "apple-watch-s3", "--presets", good_presets],
         "unknown device id: apple-watch-s3"),
        (["capture", page, "--out", out, "--store", "apple", "--presets", tmp_path / "none.json"],
         "cannot read presets"),
        (["capture", page, "--out", out, "--store", "apple", "--presets", write_presets("{")], "invalid presets: json: "),
        (["capture", tmp_path / "missing.html", "--out", out, "--store", "apple"], "neither an existing file"),
        (["capture", tmp_path, "--out", out, "--store", "apple"], "a directory without an index.html"),
        (["capture", "localhost:8000/x", "--out", out, "--store", "apple"], "neither an existing file"),
        (["capture", page, "--out", good_presets, "--store", "apple", "--browser", BROWSER], "is a file, not a folder"),
        (["devices", "--store", "bogus"], "kestrelite: unknown store: bogus"),
        (["install-browser", "--from", tmp_path / "missing"], "is not a file"),
        (["frobnicate"], "invalid choice"),
    ]


def test_bad_arguments_exit_2_and_leave_nothing(tmp_path, write_presets, monkeypatch):
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    for argv, message in bad_argument_cases(tmp_path, write_presets):
        status, stdout, stderr = run(argv)
        assert (status, message in stderr) == (2, True), (argv, stderr)
        assert not (tmp_path / "out").exists() and not (tmp_path / "home").exists(), argv


@pytest.mark.parametrize("page, expected", [
    ("https://example.test/a?b=1#c", "https://example.test/a?b=1#c"),
    ("HTTP://example.test/", "HTTP://example.test/"),
    ("file:///srv/page.html", "file:///srv/page.html"),
    ("data:text/html,<p>hi</p>", "data:text/html,<p>hi</p>"),
    ("about:blank", "about:blank"),
])
def test_urls_stay_as_given(page, expected):
    assert selection.page_url(page) == expected


def test_local_paths_become_absolute_file_urls(tmp_path, monkeypatch):
    site = tmp_path / "my site"
    site.mkdir()
    (site / "index.html").write_text("<p>hi</p>")
    (site / "a#b.html").write_text("<p>hi</p>")
    monkeypatch.chdir(tmp_path)
    assert selection.page_url("my site") == "file://" + str(site).replace(" ", "%20") + "/index.html"
    assert selection.page_url("my site/a#b.html") == "file://" + str(site).replace(" ", "%20") + "/a%23b.html"


# ---------------------------------------------------------------- devices

def table_rows(stdout):
    """Splits an aligned table at the column starts of its header."""
    lines = stdout.splitlines()
    starts = [m.start() for m in re.finditer(r"\S+", lines[0])]
    return [[line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])] for line in lines], lines


@pytest.mark.parametrize("store, count", [(None, 46), ("apple", 33), ("Play", 11), ("web", 2)])
def test_devices_table_lists_the_presets_aligned(store, count):
    status, stdout, _ = run(["devices"] + (["--store", store] if store else []))
    assert status == 0
    rows, lines = table_rows(stdout)
    assert rows[0] == ["ID", "LABEL", "OUTPUT", "SCALE", "STORE", "REQUIREMENT"]
    expected = json.loads(kestrelite.devices_json(store))
    assert len(rows) - 1 == len(expected) == count
    for row, device in zip(rows[1:], expected):
        assert row == [device["id"], device["label"], f"{device['output_width']}x{device['output_height']}",
                       str(device["scale"]), device["store"], device["requirement"]]
    # Every cell starts exactly at its column: the character before it is a space.
    starts = [m.start() for m in re.finditer(r"\S+", lines[0])][1:]
    assert all(line[s - 1] == " " and line[s] != " " for line in lines[1:] for s in starts)


def test_devices_from_a_preset_file_and_as_json(write_presets):
    path = write_presets({"version": 1, "devices": [
        preset("a-very-long-device-identifier", label='Tablet 12.9" <big>'), preset("b", w=300, h=600, scale=1)]})
    status, stdout, _ = run(["devices", "--presets", path])
    assert status == 0
    rows, _ = table_rows(stdout)
    assert [r[:3] for r in rows[1:]] == [["a-very-long-device-identifier", 'Tablet 12.9" <big>', "1080x1920"],
                                         ["b", "B", "300x600"]]
    for args in ([], ["--presets", path], ["--store", "apple"]):
        status, stdout, _ = run(["devices", "--json", *args])
        store = args[1] if args and args[0] == "--store" else None
        presets = args[1] if args and args[0] == "--presets" else None
        assert (status, stdout) == (0, kestrelite.devices_json(store, presets) + "\n")


# ---------------------------------------------------------------- the contact sheet page

def test_contact_sheet_escapes_what_it_shows():
    device = preset('x"><script>alert(1)</script>', label="<b>Phone</b> & 'co'")
    failed = {"device_id": device["id"], "outcome": "failed", "elapsed_ms": 5,
              "error": "browser: <img src=x onerror=alert(1)>"}
    shot = {"device_id": "ok&id", "outcome": "exact", "elapsed_ms": 7, "path": "/tmp/x/ok&id #1.png",
            "capture": {"device_id": "ok&id", "expected": [2, 4], "actual": [2, 4], "sha256": "ab" * 32,
                        "bytes": 10, "exact": True}}
    report = {"kestrelite": "0.1.14", "url": "https://e.test/?a=<b>&c", "seed": 42, "locale": "en-US",
              "exact": 1, "off_size": 0, "failed": 1, "elapsed_ms": 12, "ok": False, "results": [failed, shot]}
    page = contact_sheet.render(report, {device["id"]: device, "ok&id": preset("ok&id", w=2, h=4, scale=1)})
    assert "<script>alert" not in page and "<img src=x" not in page and "<b>Phone" not in page
    assert "&lt;img src=x onerror=alert(1)&gt;" in page
    assert "&lt;b&gt;Phone&lt;/b&gt; &amp; &#x27;co&#x27;" in page
    assert 'src="ok%26id%20%231.png"' in page
    assert "https://e.test/?a=&lt;b&gt;&amp;c" in page
    assert page.count("<figure") == 2 and page.count("<img") == 1


# ---------------------------------------------------------------- install-browser and find-browser

ROOT_CASES = [
    ({"KESTRELITE_HOME": "{tmp}/k", "HOME": "{tmp}/h"}, "{tmp}/k/browser"),
    ({"KESTRELITE_HOME": "", "HOME": "{tmp}/h"}, "{tmp}/h/.kestrelite/browser"),
    ({"HOME": "", "USERPROFILE": "{tmp}/u"}, ".kestrelite/browser"),
    ({"USERPROFILE": "{tmp}/u"}, "{tmp}/u/.kestrelite/browser"),
    ({}, "./.kestrelite/browser"),
]


@pytest.mark.parametrize("env, root", ROOT_CASES)
def test_the_launcher_lands_where_the_module_looks(tmp_path, monkeypatch, env, root):
    for name in ("KESTRELITE_CHROME", "KESTRELITE_HOME", "HOME", "USERPROFILE"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value.format(tmp=tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path / "nothing"))
    monkeypatch.chdir(tmp_path)
    assert browser_setup.managed_root() == root.format(tmp=tmp_path)
    program = tmp_path / "program"
    program.write_text("#!/bin/sh\n")
    program.chmod(0o755)
    launcher, replaced = browser_setup.install_launcher(str(program))
    assert not replaced
    assert kestrelite.find_browser() == launcher == os.path.join(root.format(tmp=tmp_path), "chrome-headless-shell")


def test_install_browser_from_a_program_passes_every_argument(tmp_path, monkeypatch):
    monkeypatch.delenv("KESTRELITE_CHROME", raising=False)
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    odd = tmp_path / "it's a dir"
    odd.mkdir()
    program = odd / "fake browser"
    program.write_text('#!/bin/sh\n[ "$1" = --version ] && echo "Chromium 1.2.3.4" && exit\n'
                       'for a in "$@"; do printf "[%s]" "$a"; done\n')
    program.chmod(0o755)

    status, stdout, stderr = run(["install-browser", "--from", program])
    assert status == 0, stderr
    launcher = tmp_path / "home" / "browser" / "chrome-headless-shell"
    assert f"installed {launcher}, a launcher that runs {program}" in stdout
    assert "kestrelite uses it from now on" in stdout
    assert os.access(launcher, os.X_OK)
    echoed = subprocess.run([str(launcher), "a b", "", "$HOME", "--x='y'"], capture_output=True, text=True)
    assert echoed.stdout == "[a b][][$HOME][--x='y']"
    assert kestrelite.find_browser() == str(launcher)
    assert run(["find-browser"])[:2] == (0, f"{launcher}\n")

    status, stdout, _ = run(["install-browser", "--from", program])
    assert status == 0 and stdout.startswith(f"replaced {launcher}")

    monkeypatch.setenv("KESTRELITE_CHROME", str(program))
    status, stdout, _ = run(["install-browser", "--from", program])
    assert status == 0 and f"kestrelite uses {program} instead, because KESTRELITE_CHROME is set" in stdout


def test_install_browser_refuses_what_cannot_run(tmp_path, monkeypatch):
    monkeypatch.setenv("KESTRELITE_HOME", str(tmp_path / "home"))
    plain = tmp_path / "plain"
    plain.write_text("not a program")
    assert run(["install-browser", "--from", plain])[0] == 2
    assert run(["install-browser", "--from", tmp_path])[0] == 2
    assert not (tmp_path / "home").exists()


def test_install_browser_says_what_to_do_when_nothing_is_installed(no_browser_anywhere, monkeypatch):
    monkeypatch.setattr(browser_setup, "LOCAL_BROWSERS", (str(no_browser_anywhere / "no-chromium"),))
    status, stdout, stderr = run(["install-browser"])
    assert status == 1 and stdout == ""
    assert "apt-get install chromium-headless-shell" in stderr and "--from PATH" in stderr
    assert not (no_browser_anywhere / "home").exists()


@needs_browser
@pytest.mark.skipif(SANITIZED, reason="the launcher would start the browser with the sanitizer runtime preloaded")
def test_install_browser_finds_the_local_shell_and_captures_through_it(no_browser_anywhere):
    """The whole first-run path as a user takes it, as a separate process:
    install-browser without --from, then a capture that finds the launcher."""
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}
    status, stdout, stderr = run_module(["install-browser"], env)
    assert status == 0, stderr
    launcher = no_browser_anywhere / "home" / "browser" / "chrome-headless-shell"
    assert stdout.startswith("found /usr/") and f"installed {launcher}" in stdout

    out = no_browser_anywhere / "out"
    status, stdout, stderr = run_module(["capture", DEMO, "--out", out, "--device", "apple-watch-s3"], env)
    assert status == 0, stdout + stderr
    assert f"browser {launcher}" in stdout
    assert device_lines(stdout) == [("apple-watch-s3", "312x390", "exact")]
