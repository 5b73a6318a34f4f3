"""A large set at scale: `kestrelite run` of screens x locales x devices of a
local site, with --jobs 2, watched from outside.

While the command runs, its process is sampled every 0.2 s: resident
memory, open descriptors, threads and child processes; a wrapper around the
browser counts the browsers started. At the end the report gives each
capture's time. The figures: the whole time and the time per capture
(wall / captures), the mean capture time of the first and the last 200 (or
a fifth of the captures when fewer), the growth of memory, descriptors and
threads from the second fifth of the run to the last one, the most children
seen, and the browsers started against jobs + the restarts the session
bound (kCapturesPerBrowser, 100 captures) calls for.

    /usr/bin/python3 bench/scale_run.py [--screens 10] [--locales 10]
        [--devices 10] [--jobs 2] [--browser PATH]

prints the figures as JSON. `make bench` runs it at 1000 captures; the
test suite runs it small and checks the same figures.
"""

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import kestrelite

CAPTURES_PER_BROWSER = 100
DEVICES = ["apple-watch-s3", "apple-watch-ultra-3", "play-wear-os", "apple-iphone-6-9-1320", "play-phone-portrait",
           "apple-ipad-13-2064", "play-tablet-10-landscape", "apple-mac-1280", "apple-vision-pro", "web-desktop-1440"]
LOCALES = ["en-US", "de-DE", "fr-FR", "ja-JP", "zh-CN", "ar-SA", "es-ES", "pt-BR", "ko-KR", "it-IT"]
PAGE = """<!doctype html><html lang="{lang}"><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>body {{ margin: 0; font: 18px sans-serif; background: hsl({hue}, 60%, 92%); }}
h1 {{ margin: 24px; }} li {{ margin: 6px 24px; }}</style>
<h1>Screen {screen}</h1><ul>{items}</ul>
<script>document.querySelector('h1').textContent += ' · ' + new URLSearchParams(location.search).get('lang');</script>
"""


def site(folder, screens):
    for n in range(screens):
        items = "".join(f"<li>Item {n}.{i}</li>" for i in range(12))
        (folder / f"s{n}.html").write_text(PAGE.format(lang="en", hue=n * 36, screen=n, items=items),
                                           encoding="utf-8")


def sample(pid):
    """(resident KiB, descriptors, threads, children) of a live process."""
    try:
        status = Path(f"/proc/{pid}/status").read_text()
        rss = int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmRSS:")))
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        tasks = os.listdir(f"/proc/{pid}/task")
        children = sum(len(Path(f"/proc/{pid}/task/{t}/children").read_text().split()) for t in tasks)
        return rss, fds, len(tasks), children
    except (OSError, StopIteration):
        return None


def run(screens, locales, devices, jobs, browser, work):
    """Runs the set and returns its figures (see the module's text)."""
    work = Path(work)
    site(work, screens)
    launches = work / "launches"
    wrapper = work / "browser"
    wrapper.write_text(f'#!/bin/sh\n[ "$1" = --version ] || echo x >> {launches}\nexec {browser} "$@"\n')
    wrapper.chmod(0o755)
    (work / "set.toml").write_text(
        f"devices = {json.dumps(DEVICES[:devices])}\nlocales = {json.dumps(LOCALES[:locales])}\n" + "".join(
            f'[[screen]]\nname = "s{n}"\npage = "s{n}.html?lang={{locale}}"\n' for n in range(screens)),
        encoding="utf-8")
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(kestrelite.__file__))}
    command = [sys.executable, "-m", "kestrelite", "run", str(work / "set.toml"), "--out", str(work / "out"),
               "--jobs", str(jobs), "--browser", str(wrapper)]
    samples = []
    started = time.monotonic()
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    errors = []
    reader = threading.Thread(target=lambda: errors.append(process.stderr.read()))
    reader.start()
    while process.poll() is None:
        taken = sample(process.pid)
        if taken:
            samples.append((time.monotonic() - started, *taken))
        time.sleep(0.2)
    wall = time.monotonic() - started
    reader.join()
    report = json.loads((work / "out" / "report.json").read_text())
    entries = report["captures"]
    n = len(entries)
    window = min(200, max(1, n // 5))
    first = sum(e["elapsed_ms"] for e in entries[:window]) / window
    last = sum(e["elapsed_ms"] for e in entries[-window:]) / window

    def growth(column):
        # The highest value of the last fifth over the highest of the second
        # fifth: what the run gathers once warmed up.
        early = [s[column] for s in samples if wall / 5 <= s[0] < 2 * wall / 5]
        late = [s[column] for s in samples if s[0] >= 4 * wall / 5]
        return max(late) - max(early) if early and late else None

    started_browsers = len(launches.read_text().split()) if launches.exists() else 0
    return {
        "captures": n, "exact": report["exact"], "exit": process.returncode, "stderr": errors[0][-2000:],
        "jobs": jobs, "wall_s": round(wall, 1), "per_capture_ms": round(1000 * wall / n, 1) if n else None,
        "first_mean_ms": round(first), "last_mean_ms": round(last), "window": window,
        "last_over_first": round(last / first, 3),
        "rss_growth_mib": round(growth(1) / 1024, 1) if growth(1) is not None else None,
        "rss_max_mib": round(max(s[1] for s in samples) / 1024, 1),
        "fd_growth": growth(2), "thread_growth": growth(3),
        "children_max": max(s[4] for s in samples),
        "browsers": started_browsers, "browsers_bound": jobs + math.ceil(n / CAPTURES_PER_BROWSER) - 1,
        "samples": len(samples), "load_end": os.getloadavg()[0],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--screens", type=int, default=10)
    parser.add_argument("--locales", type=int, default=10)
    parser.add_argument("--devices", type=int, default=10)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--browser", default="/usr/bin/chromium-headless-shell")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="kestrelite-scale-") as work:
        figures = run(args.screens, args.locales, args.devices, args.jobs, args.browser, work)
    print(json.dumps(figures, indent=2))
    return 0 if figures["exit"] in (0, 1) and figures["exact"] == figures["captures"] else 1


if __name__ == "__main__":
    sys.exit(main())
