"""Faults injected by the scripted DevTools peer, end to end through
capture_json: each fails only its device, with the error the design gives,
and the run goes on to capture the next device."""
import json
import os
import signal
import sys
import threading
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fake_browser"))
from fakes import make_fake_browser  # noqa: E402

from conftest import preset, zombie_children  # noqa: E402
from kestrelite import capture_json  # noqa: E402

SILENT = ("websocket protocol: the browser sent nothing for 30000ms. It is usually overloaded rather than "
          "broken -- try fewer devices at once, or give the machine more memory.")

FAULTS = [
    ("truncated_handshake", {"handshake": "truncated"}, "websocket protocol: connection closed by peer"),
    ("garbage_frame", {"faults": {"Page.navigate": "garbage"}}, "websocket protocol: unknown opcode 0x3"),
    ("huge_frame", {"faults": {"Emulation.setDeviceMetricsOverride": "huge_frame"}},
     "websocket protocol: frame of 9223372036854775808 bytes exceeds limit"),
    ("invalid_utf8", {"faults": {"Page.captureScreenshot": "invalid_utf8"}},
     "websocket protocol: invalid utf-8: invalid utf-8 sequence of 1 bytes from index "),
    ("close_frame", {"faults": {"Runtime.enable": "close"}}, "websocket protocol: peer sent close"),
    ("close_after_handshake", {"after_handshake": "close"}, "websocket protocol: peer sent close"),
    ("killed_mid_capture", {"faults": {"Page.navigate": "sigkill"}}, "websocket protocol: connection closed by peer"),
    ("exits_mid_capture", {"faults": {"Runtime.evaluate#1": "exit"}}, "websocket protocol: connection closed by peer"),
    ("exits_while_port_reader_reads", {"startup": "exit_without_port"},
     "browser: browser did not report a DevTools port"),
    ("exits_at_once", {"startup": "exit_at_once"}, "browser: browser did not report a DevTools port"),
]
SLOW_FAULTS = [
    ("says_nothing", {"after_handshake": "silent"}, SILENT),
    ("stops_reading", {"after_handshake": "stop_reading"}, SILENT),
]

DEVICES = [preset("first", 1080, 1920, 3, platform="android_phone", mobile=True),
           preset("second", 1080, 1920, 3, platform="android_phone", mobile=True)]


def run_with_fault(tmp_path, script):
    """Two devices; the fault hits the first browser only."""
    tmp_path.mkdir(parents=True, exist_ok=True)
    presets = tmp_path / "presets.json"
    presets.write_text(json.dumps({"version": 1, "devices": DEVICES}))
    browser = make_fake_browser(tmp_path, once=str(tmp_path / "fault-used"), **script)
    return json.loads(capture_json("http://127.0.0.1:9/", str(tmp_path / "out"), ["first", "second"],
                                   browser=browser, presets=str(presets)))


def check(report, error):
    first, second = report["results"]
    assert first["outcome"] == "failed"
    assert first["error"].startswith(error), first["error"]
    assert list(first) == ["device_id", "outcome", "elapsed_ms", "error"]
    assert second["outcome"] == "exact", second
    assert (report["exact"], report["failed"]) == (1, 1)


@pytest.mark.parametrize("name, script, error", FAULTS, ids=[f[0] for f in FAULTS])
def test_fault_fails_only_its_device(tmp_path, process_mark, name, script, error):
    check(run_with_fault(tmp_path, script), error)
    assert process_mark() == []
    assert zombie_children() == []


def test_peers_that_go_quiet_fail_after_the_idle_timeout(tmp_path, process_mark):
    # Both take the full 30-second idle timeout; they run side by side.
    reports = {}
    threads = [threading.Thread(target=lambda n=n, s=s: reports.__setitem__(n, run_with_fault(tmp_path / n, s)))
               for n, s, _ in SLOW_FAULTS]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, _, error in SLOW_FAULTS:
        check(reports[name], error)
    assert process_mark() == []


def test_a_browser_killed_from_outside_while_the_page_settles(tmp_path, process_mark):
    pid_file = tmp_path / "pid"
    script = {"pid_file": str(pid_file), "delay_ms": {"Runtime.evaluate#1": 3000}}

    def killer():
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if pid_file.exists() and pid_file.read_text().strip():
                time.sleep(0.8)
                os.kill(int(pid_file.read_text()), signal.SIGKILL)
                return
            time.sleep(0.05)

    thread = threading.Thread(target=killer)
    thread.start()
    report = run_with_fault(tmp_path, script)
    thread.join()
    check(report, "websocket protocol: connection closed by peer")
    assert process_mark() == []
