"""A long run of captures against the scripted peer with a random mix of
faults, then against the real headless shell: the host process keeps its
descriptors, threads and memory, and no child process remains.

The short form runs with the tests; KESTRELITE_SOAK=full runs 200 captures
against the peer and 20 against the real browser, and prints the figures."""
import json
import os
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fake_browser"))
from fakes import make_fake_browser  # noqa: E402

from conftest import BROWSER, needs_browser, preset  # noqa: E402
from kestrelite import capture_json  # noqa: E402
from test_faults import FAULTS  # noqa: E402

FULL = os.environ.get("KESTRELITE_SOAK") == "full"
FAKE_CAPTURES = 200 if FULL else 30
REAL_CAPTURES = 20 if FULL else 3
DEVICE = preset("soak", 1080, 1920, 3, platform="android_phone", mobile=True)


def host_state():
    pid = os.getpid()
    children = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as f:
            children += f.read().split()
    with open(f"/proc/{pid}/status") as f:
        rss_kib = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return {"descriptors": len(os.listdir(f"/proc/{pid}/fd")), "threads": len(os.listdir(f"/proc/{pid}/task")),
            "children": children, "rss_mib": rss_kib / 1024}


def soak(captures, capture_once):
    capture_once(0)  # loads what a first capture loads, so the baseline is fair
    before = host_state()
    outcomes = {}
    for i in range(1, captures + 1):
        outcome = capture_once(i)
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    after = host_state()
    print(f"\n{captures} captures: {outcomes}; before {before}; after {after}")
    assert after["descriptors"] == before["descriptors"]
    assert after["threads"] == before["threads"]
    assert after["children"] == [] and before["children"] == []
    assert after["rss_mib"] - before["rss_mib"] < 8
    return outcomes


def test_soak_against_the_scripted_peer(tmp_path, process_mark):
    presets = tmp_path / "presets.json"
    presets.write_text(json.dumps({"version": 1, "devices": [DEVICE]}))
    browsers = [(None, make_fake_browser(tmp_path))] + [
        (error, make_fake_browser(tmp_path, **script)) for _, script, error in FAULTS]
    choice = random.Random(20261206)

    def capture_once(i):
        error, browser = browsers[0] if i == 0 or choice.random() < 0.4 else choice.choice(browsers[1:])
        report = json.loads(capture_json("http://127.0.0.1:9/", str(tmp_path / "out"), ["soak"],
                                         browser=browser, presets=str(presets)))
        result = report["results"][0]
        if error is None:
            assert result["outcome"] == "exact", result
        else:
            assert result["error"].startswith(error), (error, result)
        return result["outcome"]

    outcomes = soak(FAKE_CAPTURES, capture_once)
    assert outcomes.get("failed", 0) > 0 and outcomes.get("exact", 0) > 0
    assert process_mark() == []


@needs_browser
def test_soak_against_the_real_browser(tmp_path, page_server, process_mark):
    page_server.pages["/page.html"] = ('<!doctype html><meta name="viewport" content="width=device-width">'
                                       '<h1>Soak</h1><script>document.body.append(Math.random())</script>')

    def capture_once(i):
        report = json.loads(capture_json(page_server.url("/page.html"), str(tmp_path / "out"),
                                         ["apple-watch-ultra-3"], browser=BROWSER))
        assert report["ok"], report
        return report["results"][0]["outcome"]

    soak(REAL_CAPTURES, capture_once)
    assert process_mark() == []
