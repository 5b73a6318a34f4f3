"""Nothing of a launch outlives the call: when capture_json returns, no process
of any browser it started exists, alive or as a zombie, and a process group
that does not empty in time is named in the device's result; and no browser
outlives the command that started it, however that command ends."""
import contextlib
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

import kestrelite
from conftest import BROWSER, make_fake_browser, marked_processes, needs_browser
from kestrelite import capture_json

NEVER_SETTLES = ("data:text/html,<p id=n></p><script>let i = 0;"
                 "setInterval(() => { document.getElementById('n').textContent = ++i; }, 5);</script>")


def process_groups():
    """{pid: (process group, state)} of every process, zombies included."""
    groups = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        groups[int(entry)] = (int(fields[2]), fields[0])
    return groups


def capture_watching_groups(url, browser, **kwargs):
    """Runs capture_json while a thread notes the process groups of every
    process it starts (they inherit the test's mark); returns the report,
    those groups, and what is left of them at the moment the call returns."""
    mark = os.environ["KESTRELITE_TEST_MARK"]
    groups, done = set(), threading.Event()

    def watch():
        while not done.is_set():
            for pid in marked_processes(f"KESTRELITE_TEST_MARK={mark}"):
                with contextlib.suppress(OSError):
                    groups.add(os.getpgid(pid))
            time.sleep(0.02)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        text = capture_json(url, str(kwargs.pop("out")), browser=browser, **kwargs)
        left = {pid: info for pid, info in process_groups().items() if info[0] in groups}
    finally:
        done.set()
        watcher.join()
    return json.loads(text), groups, left


def test_a_wrapper_and_a_forked_helper_are_gone_on_return(tmp_path, process_mark):
    fake = make_fake_browser(tmp_path, fork_helper=True, delay_ms={"Runtime.evaluate#1": 300})
    # Runs the fake without exec: the shell, the fake and its helper share
    # the group, and only the shell is our child.
    wrapper = tmp_path / "no-exec.sh"
    wrapper.write_text(f'#!/bin/sh\n{fake} "$@"\ntrue\n')
    wrapper.chmod(0o755)
    report, groups, left = capture_watching_groups("about:blank", str(wrapper), out=tmp_path / "out",
                                                   device_ids=["play-wear-os", "apple-watch-s3"])
    assert report["exact"] == 2, report
    assert len(groups) == 2
    assert left == {}
    assert all("teardown" not in r for r in report["results"])


@needs_browser
def test_the_wrapped_headless_shell_is_gone_on_return(tmp_path, process_mark):
    report, groups, left = capture_watching_groups(NEVER_SETTLES, BROWSER, out=tmp_path / "out",
                                                   device_ids=["apple-watch-s3"])
    assert report["exact"] == 1, report
    assert len(groups) == 1
    assert left == {}


def test_a_group_that_does_not_empty_is_named_in_the_result(tmp_path):
    """A process of ours joins the fake's group: killed with it, it stays a
    zombie until we collect it, which we do only after the call."""
    pid_file = tmp_path / "pid"
    fake = make_fake_browser(tmp_path, pid_file=str(pid_file), delay_ms={"Runtime.evaluate#1": 1000})
    joined = []

    def join_group():
        while not pid_file.exists() or not pid_file.read_text().endswith("\n"):
            time.sleep(0.01)
        joined.append(subprocess.Popen(["sleep", "60"], process_group=int(pid_file.read_text())))

    joiner = threading.Thread(target=join_group)
    joiner.start()
    try:
        report = json.loads(capture_json("about:blank", str(tmp_path / "out"), ["play-wear-os"], browser=fake))
    finally:
        joiner.join()
        for process in joined:
            process.kill()
            process.wait()
    result = report["results"][0]
    assert result["outcome"] == "exact"
    assert list(result)[-1] == "teardown"
    assert result["teardown"] == (f"processes of the browser (process group {pid_file.read_text().strip()}) still "
                                  "existed 3 s after it was killed (a process that left the group or joined it "
                                  "from outside)")


@needs_browser
def test_the_browser_does_not_outlive_a_killed_host(tmp_path, process_mark):
    """The host dies mid-capture with no chance to clean up (a browser keeps
    running when its DevTools client goes): the process between the host
    and the browser notices and ends the browser."""
    host = subprocess.Popen([sys.executable, "-c", "import sys; from kestrelite import capture_json; "
                             "capture_json(sys.argv[1], sys.argv[2], ['apple-watch-s3'], browser=sys.argv[3])",
                             NEVER_SETTLES, str(tmp_path / "out"), BROWSER])
    try:
        deadline = time.monotonic() + 30
        while len(process_mark(grace=0)) < 4:  # the host, the reaper, the browser and its helpers
            assert time.monotonic() < deadline and host.poll() is None
            time.sleep(0.1)
    finally:
        host.kill()
        host.wait()
    assert process_mark() == []


SESSION_PROGRAM = """
import sys
from kestrelite import Session
with Session(browser=sys.argv[3]) as session:
    while True:
        session.capture(sys.argv[1], "apple-watch-s3", sys.argv[2])
"""


@needs_browser
@pytest.mark.parametrize("command", ["capture", "run", "session"])
def test_no_browser_outlives_a_group_kill_of_its_command(tmp_path, process_mark, command):
    """A CI runner cancels a job with SIGKILL to the command's whole process
    group: every browser the command started must end with it, whenever the
    kill comes."""
    page = tmp_path / "page.html"
    page.write_text("<!doctype html><p>Kill me</p>", encoding="utf-8")
    (tmp_path / "set.toml").write_text(
        'devices = ["apple-watch-s3", "play-wear-os", "apple-mac-1280"]\nlocales = ["en-US", "fr-FR"]\n'
        '[[screen]]\nname = "home"\npage = "page.html"\n', encoding="utf-8")
    argv = {
        "capture": ["-m", "kestrelite", "capture", page, "--store", "apple", "--jobs", "2", "--browser", BROWSER],
        "run": ["-m", "kestrelite", "run", tmp_path / "set.toml", "--jobs", "2", "--browser", BROWSER],
        "session": ["-c", SESSION_PROGRAM, page.as_uri(), tmp_path / "session", BROWSER],
    }[command]
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}
    moments = random.Random(command).sample(range(300, 3000), 3)
    for n, ms in enumerate(moments):
        out = tmp_path / f"out-{n}"
        host = subprocess.Popen(["/usr/bin/python3", *map(str, argv), *(["--out", out] if command != "session" else [])],
                                env=env, cwd=tmp_path, start_new_session=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(ms / 1000)
        os.killpg(host.pid, signal.SIGKILL)
        host.wait()
        assert process_mark(grace=10) == [], f"{command} killed after {ms} ms"
