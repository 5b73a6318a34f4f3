"""kestrelite's benchmarks against a Puppeteer script, with one report.

Runs, in this order:
  1. the micro benchmarks (the Google Benchmark binary given with --micro);
  2. the end-to-end rounds: for each of six presets (422x514 to 3840x2160),
     one capture by kestrelite (capture_one.py: a fresh Python process timing
     one capture_json call) and one by the Puppeteer script peers/capture.mjs,
     both on pages/index.html served from a loopback HTTP server, in
     alternating order, `--rounds` times;
  3. the batch: the six presets three times over (18 captures), each way
     of BATCH_TOOLS in a process of its own: `kestrelite run` of a set file
     (--jobs 1 and 2), the Python API (session_batch.py: one Session, with
     and without fast_png), capture_json per capture (a fresh browser each),
     and the Puppeteer script peers/batch.mjs (one browser with an incognito
     context per capture, or a fresh browser per capture), in rotating
     order, `--batch-rounds` times; with the three targets (BATCH_TARGETS)
     and the phase split of each;
  4. the command-line tool on the 33 App Store presets with --jobs 1 and
     --jobs 2;
  5. a store set (`kestrelite run`): 3 screens x 2 locales x the 33 App
     Store presets with --jobs 2, in sessions and with --fresh-browser, one
     after the other;
  6. the scale run (scale_run.py): `kestrelite run` of 10 screens x 10
     locales x 10 devices of a local site with --jobs 2, its memory,
     descriptors, threads, children and browsers watched from outside;
  7. the scaling check: kestrelite alone, in one process after a warm-up
     capture, twice over the six presets with pages/index.html and with
     pages/noise.html, whose screenshots cannot be compressed (up to 25 MB
     of PNG);
  8. kestrelite compare: two runs of all 46 presets, the second of a copy
     of pages/index.html with one word changed, compared by the command in
     a fresh process each time, and their 3840x2160 pair compared alone in
     this process;
  9. the motion pages of the tests (tests/python/pages/motion: frame loops,
     SMIL, timers, a GIF and videos, with the media made on the spot), each
     on three presets, `--motion-rounds` times: the settle time of each kind
     of motion, and how many different images each gave.
It prints tables and writes every figure to bench/results/<date>T<time>.json.

Run it with the interpreter kestrelite is built for and
PYTHONPATH=<build>/python, where <build> was configured with
-DKESTRELITE_BENCH=ON: only such a module writes the phase timings
(KESTRELITE_BENCH_TIMINGS) this report needs. The standard library is all
it uses.
"""

import argparse
import datetime
import functools
import http.server
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
PAGES = HERE / "pages"
TEST_PAGES = HERE.parent / "tests" / "python" / "pages"
PEERS = HERE / "peers"
RESULTS = HERE / "results"
BROWSER = "/usr/lib/chromium/chromium-headless-shell"

DEVICES = [
    "apple-watch-ultra-3",
    "play-phone-portrait",
    "apple-iphone-6-9-1320",
    "apple-ipad-13-2064",
    "apple-mac-2880",
    "apple-tv-2160",
]
LARGEST = "apple-tv-2160"
MOTION_PAGES = ["motion.html", "chart.html", "spinner.html", "smil.html", "countup.html?step=50",
                "countup.html?step=120", "countup.html?step=250", "chain.html", "clock.html", "gif.html",
                "video.html"]
MOTION_DEVICES = ["apple-watch-ultra-3", "apple-iphone-6-9-1320", "apple-tv-2160"]

PHASES = ["launch", "attach", "emulation", "navigate", "settle", "probe",
          "screenshot", "decode", "write", "shutdown"]
# A capture in a session also makes its browser context and page.
SESSION_PHASES = ["launch", "attach", "context", "emulation", "navigate", "settle", "probe",
                  "screenshot", "decode", "write", "shutdown"]
BATCH_REPEATS = 3  # the six presets, three times over
BATCH_PUPPETEER_PHASES = ["context", "emulation", "navigate", "screenshot", "write", "close"]
PUPPETEER_PHASES = ["launch", "emulation", "navigate", "screenshot", "write", "close"]

# What kestrelite presents to the page for each platform (user agent, touch),
# so that the Puppeteer script emulates the same device.
USER_AGENTS = {
    "ios_phone": "Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X) AppleWebKit/605.1.15 "
                 "(KHTML, like Gecko) Version/17.0 Mobile/15E148 Safari/604.1",
    "ios_tablet": "Mozilla/5.0 (iPad; CPU OS 17_0 like Mac OS X) AppleWebKit/605.1.15 "
                  "(KHTML, like Gecko) Version/17.0 Mobile/15E148 Safari/604.1",
    "ios_watch": "Mozilla/5.0 (Apple Watch; CPU WatchOS 10_0 like Mac OS X) AppleWebKit/605.1.15 "
                 "(KHTML, like Gecko) Mobile/15E148",
    "android_phone": "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 "
                     "(KHTML, like Gecko) Chrome/126.0.0.0 Mobile Safari/537.36",
    "android_tablet": "Mozilla/5.0 (Linux; Android 14; Pixel Tablet) AppleWebKit/537.36 "
                      "(KHTML, like Gecko) Chrome/126.0.0.0 Safari/537.36",
    "macos": "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 "
             "(KHTML, like Gecko) Version/17.0 Safari/605.1.15",
}
TOUCH = {"ios_phone", "ios_tablet", "ios_watch", "android_phone", "android_tablet"}

MIB = 1024
COMPARE_REPEATS = 3


def load_average():
    return list(os.getloadavg())


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def rounded(value):
    """The value with every float cut to two decimals, to keep result files small."""
    if isinstance(value, float):
        return round(value, 2)
    if isinstance(value, dict):
        return {k: rounded(v) for k, v in value.items()}
    if isinstance(value, list):
        return [rounded(v) for v in value]
    return value


def fmt(value, digits=0):
    if value is None:
        return "-"
    return f"{value:.{digits}f}"


def run_ours(python_env, jobs, work):
    """Runs capture_one.py on [(url, device id), ...] in one fresh process."""
    out_dir = Path(tempfile.mkdtemp(dir=work))
    timings = out_dir / "timings.jsonl"
    env = dict(python_env, KESTRELITE_BENCH_TIMINGS=str(timings))
    listed = [{"url": url, "out_dir": str(out_dir / str(i)), "device": device, "executable": BROWSER}
              for i, (url, device) in enumerate(jobs)]
    done = subprocess.run([sys.executable, str(HERE / "capture_one.py"), json.dumps(listed)],
                          env=env, capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"capture_one.py failed: {done.stderr.strip()}")
    results = [json.loads(line) for line in done.stdout.splitlines()]
    lines = timings.read_text().splitlines() if timings.exists() else []
    for i, figures in enumerate(results):
        figures["phases"] = {k: v for k, v in json.loads(lines[i]).items() if k in PHASES} if i < len(lines) else None
    shutil.rmtree(out_dir)
    return results


def run_puppeteer(device, url, work):
    out_dir = Path(tempfile.mkdtemp(dir=work))
    job = {"url": url, "out": str(out_dir / f"{device['id']}.png"), "executable": BROWSER, **emulation(device)}
    done = subprocess.run(["node", str(PEERS / "capture.mjs"), json.dumps(job)], cwd=PEERS,
                          capture_output=True, text=True, timeout=300)
    shutil.rmtree(out_dir)
    if done.returncode != 0:
        raise RuntimeError(f"puppeteer failed on {device['id']}: {done.stderr.strip()[-2000:]}")
    return json.loads(done.stdout)


def micro(binary):
    print(f"micro benchmarks: {binary}", flush=True)
    done = subprocess.run([binary, "--benchmark_format=json", "--benchmark_min_time=0.2"],
                          capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        raise RuntimeError(f"micro benchmarks failed: {done.stderr.strip()}")
    rows = []
    for b in json.loads(done.stdout)["benchmarks"]:
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
        rows.append({
            "name": b["name"],
            "real_ms": b["real_time"] * scale,
            "cpu_ms": b["cpu_time"] * scale,
            "mb_per_s": b["bytes_per_second"] / 1e6 if "bytes_per_second" in b else None,
            "error": b.get("error_message"),
        })
    print(f"  {'benchmark':40} {'real ms':>10} {'cpu ms':>10} {'MB/s':>10}")
    for r in rows:
        print(f"  {r['name']:40} {r['real_ms']:10.3f} {r['cpu_ms']:10.3f} {fmt(r['mb_per_s']):>10}"
              + (f"  ERROR {r['error']}" if r["error"] else ""))
    return rows


def rounds(devices, python_env, url, count, work, with_puppeteer):
    records = []
    for r in range(count):
        print(f"round {r + 1}/{count}  (load {load_average()[0]:.2f})", flush=True)
        for i, device_id in enumerate(DEVICES):
            device = devices[device_id]
            order = ["ours", "puppeteer"] if (r + i) % 2 == 0 else ["puppeteer", "ours"]
            if not with_puppeteer:
                order = ["ours"]
            row = {"round": r + 1, "device": device_id}
            for tool in order:
                row[tool] = (run_ours(python_env, [(url, device_id)], work)[0] if tool == "ours"
                             else run_puppeteer(device, url, work))
            ours, theirs = row["ours"], row.get("puppeteer")
            ratio = ours["wall_ms"] / theirs["wall_ms"] if theirs else None
            row["ratio"] = ratio
            print(f"  {device_id:24} ours {ours['wall_ms']:7.0f} ms cpu {ours['cpu_ms']:5.1f} ms"
                  + (f" | puppeteer {theirs['wall_ms']:7.0f} ms cpu {theirs['cpu_ms']:6.1f} ms"
                     f" | ratio {ratio:.2f}" if theirs else ""), flush=True)
            records.append(row)
    return records


def summarize_rounds(records):
    summary = {}
    for device_id in DEVICES:
        rows = [r for r in records if r["device"] == device_id]
        ours = [r["ours"] for r in rows]
        theirs = [r["puppeteer"] for r in rows if "puppeteer" in r]
        phases = {p: median([o["phases"][p] for o in ours if o["phases"]]) for p in PHASES}
        summary[device_id] = {
            "bytes": median([o["bytes"] for o in ours]),
            "ours_wall_ms": median([o["wall_ms"] for o in ours]),
            "puppeteer_wall_ms": median([t["wall_ms"] for t in theirs]),
            "ratio_median": median([r["ratio"] for r in rows]),
            "ours_cpu_ms": median([o["cpu_ms"] for o in ours]),
            "puppeteer_cpu_ms": median([t["cpu_ms"] for t in theirs]),
            "ours_peak_mib": max(o["peak_rss_kib"] for o in ours) / MIB,
            "ours_rss_before_mib": max(o["peak_rss_before_kib"] for o in ours) / MIB,
            "puppeteer_peak_mib": max((t["peak_rss_kib"] for t in theirs), default=0) / MIB or None,
            "ours_minor_faults": median([o["minor_faults"] for o in ours]),
            "phases_ms": phases,
            "puppeteer_phases_ms": {p: median([t["phases"][p] for t in theirs])
                                    for p in PUPPETEER_PHASES} if theirs else None,
            "outcomes": sorted({o["outcome"] for o in ours}),
        }
    return summary


def print_rounds(summary):
    print("\nend to end, medians per device (ms; memory MiB; ratio = median of same-round ours/puppeteer)")
    print(f"  {'device':24} {'PNG KB':>7} {'ours':>6} {'pptr':>6} {'ratio':>6} {'cpu':>6} {'pptr cpu':>8}"
          f" {'peak':>5} {'pptr peak':>9}")
    for device_id, s in summary.items():
        print(f"  {device_id:24} {fmt(s['bytes'] / 1000):>7} {fmt(s['ours_wall_ms']):>6}"
              f" {fmt(s['puppeteer_wall_ms']):>6} {fmt(s['ratio_median'], 2):>6} {fmt(s['ours_cpu_ms'], 1):>6}"
              f" {fmt(s['puppeteer_cpu_ms'], 1):>8} {fmt(s['ours_peak_mib'], 1):>5}"
              f" {fmt(s['puppeteer_peak_mib'], 1):>9}")
    print("\nphase split of our captures, medians (ms)")
    print("  " + f"{'device':24}" + "".join(f"{p[:9]:>10}" for p in PHASES))
    for device_id, s in summary.items():
        print("  " + f"{device_id:24}" + "".join(f"{fmt(s['phases_ms'][p], 1):>10}" for p in PHASES))
    if any(s["puppeteer_phases_ms"] for s in summary.values()):
        print("\nphase split of the Puppeteer script, medians (ms; launch ends with the first page ready)")
        print("  " + f"{'device':24}" + "".join(f"{p:>11}" for p in PUPPETEER_PHASES))
        for device_id, s in summary.items():
            print("  " + f"{device_id:24}"
                  + "".join(f"{fmt(s['puppeteer_phases_ms'][p], 1):>11}" for p in PUPPETEER_PHASES))


def batch_jobs(devices, url, out_dir):
    return [{"url": url, "device": device_id, "out": str(out_dir / f"{n}-{device_id}.png"),
             **emulation(devices[device_id])} for n, device_id in enumerate(DEVICES * BATCH_REPEATS)]


def emulation(device):
    """The job fields the Puppeteer scripts need to emulate a kestrelite preset."""
    return {"width": device["output_width"] // device["scale"], "height": device["output_height"] // device["scale"],
            "scale": device["scale"], "mobile": device["mobile"], "touch": device["platform"] in TOUCH,
            "userAgent": USER_AGENTS.get(device["platform"])}


# The batch's ways of capturing the same 18 jobs: (what runs, what it is).
BATCH_TOOLS = {
    "run": "kestrelite run, the whole command (a set file of 3 screens x 6 presets), default --jobs",
    "api": "the Python API: kestrelite.capture per round of the presets, default jobs",
    "session": "one kestrelite.Session, Session.capture one at a time",
    "puppeteer": "Puppeteer: one browser, an incognito context per capture",
    "fresh": "kestrelite capture_json per capture: a fresh browser each",
    "puppeteer-fresh": "Puppeteer: a fresh browser per capture",
    "run-jobs1": "kestrelite run --jobs 1",
    "session-fast": "one Session with fast_png",
}
# Target ratios: (tool, over tool, at most).
BATCH_TARGETS = {"run_batch_le_0.80_puppeteer": ("run", "puppeteer", 0.80),
                 "api_batch_le_0.70_puppeteer": ("api", "puppeteer", 0.70),
                 "fresh_le_0.85_puppeteer_fresh": ("fresh", "puppeteer-fresh", 0.85)}
BATCH_RATIOS = [("run", "puppeteer"), ("api", "puppeteer"), ("fresh", "puppeteer-fresh"),
                ("session", "puppeteer"), ("run-jobs1", "puppeteer"), ("session-fast", "puppeteer"),
                ("session", "fresh")]
BATCH_SET_FILE = """devices = {devices}
{screens}"""


def run_batch(tool, devices, python_env, url, work):
    """One batch by `tool` (BATCH_TOOLS): the wall time of the whole
    command, and what it reports about itself."""
    out_dir = Path(tempfile.mkdtemp(dir=work))
    timings = out_dir / "timings.jsonl"
    batch = {"executable": BROWSER, "fresh": tool.endswith("fresh"), "api": tool == "api",
             "jobs": batch_jobs(devices, url, out_dir),
             "settings": {"fast_png": True} if tool.endswith("fast") else {}}
    env = dict(python_env, KESTRELITE_BENCH_TIMINGS=str(timings))
    if tool.startswith("puppeteer"):
        command, cwd, env = ["node", str(PEERS / "batch.mjs"), json.dumps(batch)], PEERS, None
    elif tool.startswith("run"):
        set_file = out_dir / "set.toml"
        set_file.write_text(BATCH_SET_FILE.format(devices=json.dumps(DEVICES), screens="".join(
            f'[[screen]]\nname = "s{n}"\npage = "{url}?s{n}"\n' for n in range(BATCH_REPEATS))))
        command = [sys.executable, "-m", "kestrelite", "run", str(set_file), "--out", str(out_dir / "run"),
                   "--browser", BROWSER] + (["--jobs", "1"] if tool == "run-jobs1" else [])
        cwd = None
    else:
        command, cwd = [sys.executable, str(HERE / "session_batch.py"), json.dumps(batch)], None
    start = time.perf_counter()
    done = subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=900)
    wall = (time.perf_counter() - start) * 1000
    lines = [json.loads(l) for l in timings.read_text().splitlines()] if timings.exists() else []
    report = out_dir / "run" / "report.json"
    if tool.startswith("run"):
        entries = json.loads(report.read_text())["captures"] if report.exists() else []
        figures = {"wall_ms": wall, "cpu_ms": None,
                   "captures": [{"outcome": e["outcome"], "wall_ms": e["elapsed_ms"]} for e in entries]}
        # The command line's own work: what its captures do not account for.
        figures["own_ms"] = wall - sum(e["elapsed_ms"] for e in entries) if tool == "run-jobs1" else None
    shutil.rmtree(out_dir)
    if done.returncode not in ((0, 1) if tool.startswith("run") else (0,)):
        raise RuntimeError(f"{tool} batch failed: {done.stderr.strip()[-2000:]}")
    if not tool.startswith("run"):
        figures = json.loads(done.stdout)
    failed = [c for c in figures["captures"] if c.get("outcome", "exact") != "exact"]
    if failed or len(figures["captures"]) != len(DEVICES) * BATCH_REPEATS:
        raise RuntimeError(f"{tool} batch: {len(failed)} captures not exact: {failed[:1]}")
    figures["command_wall_ms"] = wall
    figures["phases_ms_sum"] = {p: sum(l.get(p, 0) for l in lines) for p in SESSION_PHASES} if lines else None
    return figures


def batches(devices, python_env, url, count, work, with_puppeteer):
    tools = [t for t in BATCH_TOOLS if with_puppeteer or not t.startswith("puppeteer")]
    rows = []
    for r in range(count):
        order = tools[r % len(tools):] + tools[:r % len(tools)]
        row = {"round": r + 1, "load": load_average()[0]}
        for tool in order:
            row[tool] = run_batch(tool, devices, python_env, url, work)
        parts = [f"{tool} {row[tool]['command_wall_ms'] / 1000:5.1f} s" for tool in tools]
        print(f"  round {r + 1}/{count} (load {row['load']:.2f}): " + ", ".join(parts), flush=True)
        rows.append(row)
    summary = {"rounds": rows, "captures": len(DEVICES) * BATCH_REPEATS, "tools": BATCH_TOOLS}
    for tool in tools:
        summary[f"{tool}_wall_ms"] = median([r[tool]["command_wall_ms"] for r in rows])
        if rows[0][tool].get("phases_ms_sum"):
            summary[f"{tool}_phases_ms"] = {p: median([r[tool]["phases_ms_sum"][p] for r in rows])
                                            for p in SESSION_PHASES}
        if tool.startswith("puppeteer"):
            summary[f"{tool}_phases_ms"] = {p: median([r[tool]["phases"][p] for r in rows])
                                            for p in BATCH_PUPPETEER_PHASES}
    summary["run_own_ms"] = median([r["run-jobs1"]["own_ms"] for r in rows])
    for one, other in BATCH_RATIOS:
        if one in tools and other in tools:
            summary[f"{one}_over_{other}"] = median([r[one]["command_wall_ms"] / r[other]["command_wall_ms"]
                                                     for r in rows])
    return summary


def print_batches(b):
    print(f"\nbatch of {b['captures']} captures, medians of the whole command (s)")
    for tool, what in BATCH_TOOLS.items():
        if f"{tool}_wall_ms" in b:
            print(f"  {tool:16} {b[f'{tool}_wall_ms'] / 1000:6.2f}  {what}")
    for one, other in BATCH_RATIOS:
        if f"{one}_over_{other}" in b:
            print(f"  {one + ' / ' + other:30} {b[f'{one}_over_{other}']:.2f} (median of same-round ratios)")
    print(f"  the command line's own work in `run --jobs 1` (start, plan, report, sheet, check):"
          f" {b['run_own_ms']:.0f} ms")
    print("  where kestrelite's time goes, summed over the batch (ms):")
    print("  " + f"{'':16}" + "".join(f"{p[:9]:>10}" for p in SESSION_PHASES))
    for tool in BATCH_TOOLS:
        if not tool.startswith("puppeteer") and f"{tool}_phases_ms" in b:
            print("  " + f"{tool:16}" + "".join(f"{fmt(b[f'{tool}_phases_ms'][p]):>10}" for p in SESSION_PHASES))
    for tool in ("puppeteer", "puppeteer-fresh"):
        if f"{tool}_phases_ms" in b:
            print(f"  {tool} (ms; context: the context or browser and its page made, close: closed):")
            print("  " + f"{'':16}" + "".join(f"{p}{fmt(b[f'{tool}_phases_ms'][p]):>{max(12 - len(p), 6)}}  "
                                              for p in BATCH_PUPPETEER_PHASES))


def cli_jobs(python_env, url, work, repeats):
    runs = []
    for r in range(repeats):
        for jobs in ([1, 2] if r % 2 == 0 else [2, 1]):
            out_dir = Path(tempfile.mkdtemp(dir=work))
            timings = out_dir.parent / f"{out_dir.name}.timings.jsonl"
            env = dict(python_env, KESTRELITE_BENCH_TIMINGS=str(timings))
            command = [sys.executable, "-m", "kestrelite", "capture", url, "--store", "apple",
                       "--jobs", str(jobs), "--out", str(out_dir), "--browser", BROWSER]
            start = time.perf_counter()
            done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=900)
            wall = time.perf_counter() - start
            lines = [json.loads(l) for l in timings.read_text().splitlines()] if timings.exists() else []
            report = json.loads((out_dir / "report.json").read_text()) if (out_dir / "report.json").exists() else {}
            shutil.rmtree(out_dir)
            timings.unlink(missing_ok=True)
            run = {
                "jobs": jobs, "wall_s": wall, "exit": done.returncode,
                "exact": report.get("exact"), "failed": report.get("failed"),
                "device_ms_sum": sum(l["elapsed"] for l in lines),
                "phases_ms_sum": {p: sum(l[p] for l in lines) for p in PHASES},
            }
            print(f"  --jobs {jobs}: {wall:6.1f} s, exit {done.returncode}, {run['exact']} exact,"
                  f" {run['failed']} failed (load {load_average()[0]:.2f})", flush=True)
            runs.append(run)
    one = median([r["wall_s"] for r in runs if r["jobs"] == 1])
    two = median([r["wall_s"] for r in runs if r["jobs"] == 2])
    return {"runs": runs, "jobs1_s": one, "jobs2_s": two, "ratio": two / one}


def scaling(python_env, base_url, work):
    """Our cost against the PNG size, in one long-running process as the
    command line has it: after a warm-up capture, every preset on the plain
    page and on the noise page, twice; each point keeps the pass that cost
    less CPU, since load from outside only ever adds."""
    series = [(base_url + page, device_id) for page in ("index.html", "noise.html") for device_id in DEVICES]
    results = run_ours(python_env, [(base_url + "index.html", DEVICES[0])] + series + series, work)[1:]
    passes = zip(results[:len(series)], results[len(series):])
    points = []
    for (url, device_id), o in zip(series, (min(pair, key=lambda o: o["cpu_ms"]) for pair in passes)):
        page = url.rsplit("/", 1)[1].split(".")[0]
        print(f"  {page:6} {device_id:24} {o['bytes'] / 1e6:6.2f} MB  cpu {o['cpu_ms']:6.1f} ms"
              f"  decode {o['phases']['decode']:6.1f} ms  write {o['phases']['write']:6.1f} ms", flush=True)
        points.append({"page": page, "device": device_id, "bytes": o["bytes"], "wall_ms": o["wall_ms"],
                       "cpu_ms": o["cpu_ms"], "minor_faults": o["minor_faults"],
                       **{p: o["phases"][p] for p in PHASES}})
    for p in points:
        p["ours_ms"] = p["wall_ms"] - p["screenshot"]
        p["decode_write_ms"] = p["decode"] + p["write"]

    def fit(key):
        # Least squares y = a + b * MB; the worst point's share of y above
        # the line tells whether anything grows faster than linearly.
        xs = [p["bytes"] / 1e6 for p in points]
        ys = [p[key] for p in points]
        mx, my = statistics.fmean(xs), statistics.fmean(ys)
        sxx = sum((x - mx) ** 2 for x in xs)
        b = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx
        a = my - b * mx
        big = max(range(len(xs)), key=lambda i: xs[i])
        return {"intercept_ms": a, "ms_per_mb": b, "largest_mb": xs[big], "largest_ms": ys[big],
                "largest_fit_ms": a + b * xs[big]}

    fits = {k: fit(k) for k in ("cpu_ms", "decode_write_ms", "decode", "write")}
    return {"points": points, "fits": fits}


def print_scaling(result):
    print("\nscaling: our part against PNG size, warm process (ms; ours = wall - the browser's screenshot phase)")
    print(f"  {'page':6} {'device':24} {'PNG MB':>7} {'cpu':>7} {'faults':>7} {'decode':>7} {'write':>7}"
          f" {'ours':>7} {'cpu/MB':>7}")
    for p in sorted(result["points"], key=lambda p: p["bytes"]):
        mb = p["bytes"] / 1e6
        print(f"  {p['page']:6} {p['device']:24} {mb:7.2f} {p['cpu_ms']:7.1f} {p['minor_faults']:7d}"
              f" {p['decode']:7.1f} {p['write']:7.1f} {p['ours_ms']:7.0f} {p['cpu_ms'] / mb:7.1f}")
    for key, f in result["fits"].items():
        print(f"  fit {key:16} {f['intercept_ms']:7.2f} ms + {f['ms_per_mb']:6.2f} ms/MB;"
              f" at {f['largest_mb']:.1f} MB measured {f['largest_ms']:.1f}, line {f['largest_fit_ms']:.1f}")


SET_FILE = """stores = ["apple"]
locales = ["en-US", "de-DE"]
[[screen]]
name = "home"
page = "{url}?screen=home&lang={{locale}}"
[[screen]]
name = "tides"
page = "{url}?screen=tides&lang={{locale}}"
[[screen]]
name = "moon"
page = "{url}?screen=moon&lang={{locale}}"
"""


def set_run(python_env, url, work, repeats):
    """`kestrelite run` of 3 screens x 2 locales x 33 App Store presets with
    --jobs 2, in sessions and with --fresh-browser, alternating which goes
    first; with the phases of the captures summed."""
    set_file = work / "set.toml"
    set_file.write_text(SET_FILE.format(url=url))
    runs = []
    for r in range(repeats):
        for kind in (("sessions", "fresh") if r % 2 == 0 else ("fresh", "sessions")):
            out_dir = Path(tempfile.mkdtemp(dir=work))
            command = [sys.executable, "-m", "kestrelite", "run", str(set_file)]
            command += ["--jobs", "2", "--out", str(out_dir), "--browser", BROWSER]
            command += ["--fresh-browser"] if kind == "fresh" else []
            timings = out_dir.parent / f"{out_dir.name}.timings.jsonl"
            env = dict(python_env, KESTRELITE_BENCH_TIMINGS=str(timings))
            load = load_average()[0]
            start = time.perf_counter()
            done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=3600)
            wall = time.perf_counter() - start
            lines = [json.loads(l) for l in timings.read_text().splitlines()] if timings.exists() else []
            timings.unlink(missing_ok=True)
            report = json.loads((out_dir / "report.json").read_text()) if (out_dir / "report.json").exists() else {}
            shutil.rmtree(out_dir)
            captures = len(report.get("captures", report.get("results", [])))
            run = {"kind": kind, "wall_s": wall, "exit": done.returncode, "captures": captures,
                   "exact": report.get("exact"), "per_capture_s": wall / captures if captures else None,
                   "load_start": load, "load_end": load_average()[0],
                   "phases_ms_sum": {p: sum(l.get(p, 0) for l in lines) for p in SESSION_PHASES}}
            print(f"  {kind:8}: {wall:6.1f} s, {captures} captures, {run['exact']} exact, exit {done.returncode},"
                  f" {run['per_capture_s'] or 0:.2f} s per capture (load {load:.2f} to {run['load_end']:.2f})",
                  flush=True)
            print("    phases summed over the captures (s): " + ", ".join(
                f"{p} {run['phases_ms_sum'][p] / 1000:.1f}" for p in SESSION_PHASES), flush=True)
            runs.append(run)
    walls = {kind: median([r["wall_s"] for r in runs if r["kind"] == kind]) for kind in ("sessions", "fresh")}
    return {"runs": runs, "sessions_wall_s": walls["sessions"], "fresh_wall_s": walls["fresh"],
            "ratio": walls["sessions"] / walls["fresh"]}


def compare_bench(python_env, devices, work, repeats):
    """`kestrelite compare` on two runs of every preset, the second with the
    page's heading changed (one change per image), and the pixel comparison
    of their 3840x2160 pair alone."""
    from kestrelite import _native
    text = (PAGES / "index.html").read_text()
    changed = text.replace("<h1>Tidewater</h1>", "<h1>Tidewaves</h1>")
    runs = {}
    for name, page in (("base", text), ("changed", changed)):
        (work / f"{name}.html").write_text(page)
        runs[name] = work / f"run-{name}"
        command = [sys.executable, "-m", "kestrelite", "capture", (work / f"{name}.html").as_uri(), "--jobs", "2",
                   "--out", str(runs[name]), "--browser", BROWSER]
        for device_id in devices:
            command += ["--device", device_id]
        start = time.perf_counter()
        done = subprocess.run(command, env=python_env, capture_output=True, text=True, timeout=1800)
        if done.returncode != 0:
            raise RuntimeError(f"capture of {name}.html failed: {done.stdout[-2000:]} {done.stderr[-2000:]}")
        print(f"  captured {name}.html on {len(devices)} presets in {time.perf_counter() - start:.0f} s", flush=True)

    whole = []
    for r in range(repeats):
        out = work / f"compare-{r}"
        load = load_average()[0]
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "kestrelite", "compare", str(runs["base"]), str(runs["changed"]),
                               "--out", str(out)], env=python_env, capture_output=True, text=True, timeout=600)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
        record = json.loads((out / "compare.json").read_text())
        whole.append({"wall_s": wall, "cpu_s": cpu, "exit": done.returncode, "changed": record["changed"],
                      "same": record["same"], "load": load})
        print(f"  compare, {len(record['pairs'])} pairs: {wall:.2f} s, cpu {cpu:.2f} s, exit {done.returncode},"
              f" {record['changed']} changed, {record['same']} same (load {load:.2f})", flush=True)

    base, new = ((runs[n] / f"{LARGEST}.png").read_bytes() for n in ("base", "changed"))
    pair = []
    for _ in range(2 * repeats):
        start, cpu = time.perf_counter(), time.process_time()
        figures = json.loads(_native._compare_png(base, new)[0])
        pair.append({"wall_ms": (time.perf_counter() - start) * 1000, "cpu_ms": (time.process_time() - cpu) * 1000,
                     "differing": figures["differing"], "load": load_average()[0]})
    print(f"  {LARGEST} pair ({len(base) / 1e6:.1f} + {len(new) / 1e6:.1f} MB of PNG, {pair[0]['differing']}"
          f" pixels differ): median {median([p['wall_ms'] for p in pair]):.0f} ms,"
          f" fastest {min(p['wall_ms'] for p in pair):.0f} ms, cpu {median([p['cpu_ms'] for p in pair]):.0f} ms"
          f" (both threads)", flush=True)
    return {"whole": whole, "whole_median_s": median([w["wall_s"] for w in whole]),
            "whole_cpu_median_s": median([w["cpu_s"] for w in whole]), "pair": pair,
            "pair_median_ms": median([p["wall_ms"] for p in pair]), "pixels": sum(
                devices[d]["output_width"] * devices[d]["output_height"] for d in devices)}


def targets(summary, cli, scaled, micro_rows, compared=None, batch=None, store_set=None, scale=None):
    t = {}
    if scale:
        t["scale_last_within_10pct_of_first"] = {"met": scale["last_over_first"] <= 1.10,
                                                 "ratio": scale["last_over_first"]}
        t["scale_memory_flat_16MiB"] = {"met": scale["rss_growth_mib"] <= 16, "mib": scale["rss_growth_mib"]}
        t["scale_browsers_le_bound"] = {"met": scale["browsers"] <= scale["browsers_bound"],
                                        "browsers": scale["browsers"], "bound": scale["browsers_bound"]}
    for name, (one, other, limit) in BATCH_TARGETS.items():
        ratio = (batch or {}).get(f"{one}_over_{other}")
        if ratio is not None:
            t[name] = {"met": ratio <= limit, "ratio": ratio}
    if store_set:
        t["set_sessions_le_0.7_fresh_browser"] = {"met": store_set["ratio"] <= 0.7, "ratio": store_set["ratio"]}
    ratios = {d: s["ratio_median"] for d, s in summary.items()}
    if ratios and all(r is not None for r in ratios.values()):
        t["wall_le_0.95_puppeteer"] = {"met": all(r <= 0.95 for r in ratios.values()), "per_device": ratios}
    if summary:
        cpus = {d: s["ours_cpu_ms"] for d, s in summary.items()}
        t["cpu_le_10ms_fresh_process"] = {"met": all(c <= 10 for c in cpus.values()), "per_device": cpus}
        t["peak_le_40MiB_at_3840x2160"] = {"met": summary[LARGEST]["ours_peak_mib"] <= 40,
                                           "mib": summary[LARGEST]["ours_peak_mib"]}
    warm = {p["device"]: p["cpu_ms"] for p in (scaled or {}).get("points", []) if p["page"] == "index"}
    if warm:
        t["cpu_le_10ms_warm_process"] = {"met": all(c <= 10 for c in warm.values()), "per_device": warm}
    if cli:
        t["jobs2_le_0.75_jobs1"] = {"met": cli["ratio"] <= 0.75, "ratio": cli["ratio"]}
    if compared:
        t["compare_46_presets_le_5s"] = {"met": compared["whole_median_s"] <= 5,
                                         "median_s": compared["whole_median_s"]}
        t["compare_3840x2160_le_200ms"] = {"met": compared["pair_median_ms"] <= 200,
                                           "median_ms": compared["pair_median_ms"]}
    reply = [r for r in micro_rows if r["name"].startswith("BM_ScreenshotReply")]
    if reply:
        t["reply_ge_300MBps"] = {"met": all(r["mb_per_s"] >= 300 for r in reply),
                                 "mb_per_s": {r["name"]: r["mb_per_s"] for r in reply}}
    return t


def motion_folder(work):
    """The test suite's motion pages with their GIF and WebM, in one folder."""
    sys.path.insert(0, str(TEST_PAGES.parent))
    from motion_media import motion_folder as make
    folder = work / "motion"
    folder.mkdir()
    return make(folder, TEST_PAGES, BROWSER)


def motion(python_env, base_url, work, count):
    """Each motion page on MOTION_DEVICES, `count` rounds of one process each."""
    rows = {(page, device): [] for page in MOTION_PAGES for device in MOTION_DEVICES}
    for r in range(count):
        print(f"  round {r + 1}/{count}  (load {load_average()[0]:.2f})", flush=True)
        results = run_ours(python_env, [(base_url + page, device) for page, device in rows], work)
        for key, o in zip(rows, results):
            rows[key].append(o)
    summary = {}
    for page in MOTION_PAGES:
        per_device = {}
        for device in MOTION_DEVICES:
            runs = rows[(page, device)]
            per_device[device] = {
                "settle_ms": median([o["phases"]["settle"] for o in runs if o["phases"]]),
                "wall_ms": median([o["wall_ms"] for o in runs]),
                "images": len({o["sha256"] for o in runs}),
                "outcomes": sorted({o["outcome"] for o in runs}),
            }
        summary[page] = per_device
    return summary


def print_motion(summary):
    print("\nmotion pages: median settle ms (different images over the rounds)")
    print("  " + f"{'page':24}" + "".join(f"{d:>26}" for d in MOTION_DEVICES))
    for page, per_device in summary.items():
        cells = "".join(f"{fmt(c['settle_ms']):>22} ({c['images']})" for c in per_device.values())
        print(f"  {page:24}{cells}")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--micro", help="the kestrelite_bench binary; its benchmarks run first")
    parser.add_argument("--rounds", type=int, default=int(os.environ.get("BENCH_ROUNDS", "5")))
    parser.add_argument("--batch-rounds", type=int, default=int(os.environ.get("BENCH_BATCH_ROUNDS", "3")),
                        help="rounds of the batch comparison (0: skip)")
    parser.add_argument("--cli-repeats", type=int, default=int(os.environ.get("BENCH_CLI_REPEATS", "1")),
                        help="pairs of --jobs 1/--jobs 2 runs (0: skip)")
    parser.add_argument("--set-repeats", type=int, default=int(os.environ.get("BENCH_SET_REPEATS", "1")),
                        help="pairs of store-set runs, in sessions and with --fresh-browser (0: skip)")
    parser.add_argument("--scale", type=int, default=int(os.environ.get("BENCH_SCALE", "10")),
                        help="the scale run: N screens x N locales x N devices with --jobs 2 (0: skip)")
    parser.add_argument("--no-puppeteer", action="store_true")
    parser.add_argument("--no-scaling", action="store_true")
    parser.add_argument("--no-compare", action="store_true")
    parser.add_argument("--only-compare", action="store_true",
                        help="run the compare benchmark alone (no micro, end-to-end, command-line, scaling or"
                        " motion runs)")
    parser.add_argument("--motion-rounds", type=int, default=int(os.environ.get("BENCH_MOTION_ROUNDS", "3")),
                        help="rounds over the motion pages (0: skip)")
    parser.add_argument("--results", default=str(RESULTS), help="folder for the JSON file")
    args = parser.parse_args()
    if args.only_compare:
        args.micro, args.rounds, args.batch_rounds, args.cli_repeats, args.set_repeats = None, 0, 0, 0, 0
        args.motion_rounds = args.scale = 0
        args.no_scaling = args.no_puppeteer = True

    import kestrelite
    if not Path(BROWSER).exists():
        print(f"no browser at {BROWSER}", file=sys.stderr)
        return 2
    with_puppeteer = not args.no_puppeteer
    if with_puppeteer and not (PEERS / "node_modules" / "puppeteer-core").exists():
        print("bench/peers has no node_modules: run `npm ci` there, or pass --no-puppeteer", file=sys.stderr)
        return 2

    started = datetime.datetime.now()
    python_env = dict(os.environ)  # the children import kestrelite from the same PYTHONPATH
    result = {
        "started": started.isoformat(timespec="seconds"),
        "machine": {"cpus": os.cpu_count(), "load_start": load_average(),
                    "browser": subprocess.run([BROWSER, "--version"], capture_output=True, text=True).stdout.strip(),
                    "kestrelite": kestrelite.version(),
                    "node": subprocess.run(["node", "--version"], capture_output=True, text=True).stdout.strip()
                    if with_puppeteer else None},
        "config": {"rounds": args.rounds, "batch_rounds": args.batch_rounds, "cli_repeats": args.cli_repeats,
                   "set_repeats": args.set_repeats, "devices": DEVICES, "motion_rounds": args.motion_rounds,
                   "motion_devices": MOTION_DEVICES,
                   "browser_path": BROWSER},
    }

    micro_rows = micro(args.micro) if args.micro else []
    result["micro"] = micro_rows

    devices = {d["id"]: d for d in json.loads(kestrelite.devices_json())}
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(PAGES)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base_url = f"http://127.0.0.1:{server.server_address[1]}/"
    work = Path(tempfile.mkdtemp(prefix="kestrelite-bench-"))
    try:
        if args.rounds > 0:
            print(f"\nend to end on {base_url}index.html, {args.rounds} rounds, browser {BROWSER}", flush=True)
        records = rounds(devices, python_env, base_url + "index.html", args.rounds, work, with_puppeteer)
        summary = summarize_rounds(records) if records else {}
        result["e2e"] = {"summary": summary, "records": records}
        if summary:
            print_rounds(summary)

        batch = None
        if args.batch_rounds > 0:
            print(f"\nbatch: {len(DEVICES) * BATCH_REPEATS} captures of {base_url}index.html, each way in a"
                  f" process of its own, {args.batch_rounds} rounds, ways in rotating order", flush=True)
            batch = batches(devices, python_env, base_url + "index.html", args.batch_rounds, work, with_puppeteer)
            print_batches(batch)
        result["batch"] = batch

        cli = None
        if args.cli_repeats > 0:
            print(f"\ncommand line: kestrelite capture {base_url}index.html --store apple --jobs 1|2", flush=True)
            cli = cli_jobs(python_env, base_url + "index.html", work, args.cli_repeats)
            print(f"  median --jobs 1 {cli['jobs1_s']:.1f} s, --jobs 2 {cli['jobs2_s']:.1f} s,"
                  f" ratio {cli['ratio']:.2f}")
        result["cli"] = cli

        if args.set_repeats > 0:
            print(f"\nstore set: kestrelite run, 3 screens x 2 locales x 33 App Store presets, --jobs 2,"
                  f" in sessions and with --fresh-browser", flush=True)
            result["set"] = set_run(python_env, base_url + "index.html", work, args.set_repeats)
            s = result["set"]
            print(f"  median sessions {s['sessions_wall_s']:.1f} s, --fresh-browser {s['fresh_wall_s']:.1f} s,"
                  f" ratio {s['ratio']:.2f}")

        if args.scale > 0:
            print(f"\nscale: kestrelite run of {args.scale} screens x {args.scale} locales x {args.scale} devices,"
                  " --jobs 2, watched from outside", flush=True)
            import scale_run
            scale_work = Path(tempfile.mkdtemp(dir=work))
            result["scale"] = scale_run.run(args.scale, args.scale, args.scale, 2, BROWSER, scale_work)
            print("  " + ", ".join(f"{k} {v}" for k, v in result["scale"].items() if k != "stderr"), flush=True)

        if not args.no_scaling:
            print("\nscaling check: one process, a warm-up capture, then index.html and noise.html twice"
                  " (the cheaper pass of each)", flush=True)
            result["scaling"] = scaling(python_env, base_url, work)
            print_scaling(result["scaling"])

        compared = None
        if not args.no_compare:
            print(f"\ncompare: two runs of all {len(devices)} presets (the second with the heading changed),"
                  f" compared {COMPARE_REPEATS} times by the command, and their {LARGEST} pair alone", flush=True)
            compared = compare_bench(python_env, devices, work, COMPARE_REPEATS)
        result["compare"] = compared

        if args.motion_rounds > 0:
            folder = motion_folder(work)
            motion_server = http.server.ThreadingHTTPServer(
                ("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(folder)))
            threading.Thread(target=motion_server.serve_forever, daemon=True).start()
            print(f"\nmotion pages, {args.motion_rounds} rounds", flush=True)
            try:
                result["motion"] = motion(python_env, f"http://127.0.0.1:{motion_server.server_address[1]}/",
                                          work, args.motion_rounds)
            finally:
                motion_server.shutdown()
            print_motion(result["motion"])
    finally:
        server.shutdown()
        shutil.rmtree(work, ignore_errors=True)

    result["targets"] = targets(summary, cli, result.get("scaling"), micro_rows, compared, result.get("batch"),
                                result.get("set"), result.get("scale"))
    result["machine"]["load_end"] = load_average()
    result["elapsed_s"] = (datetime.datetime.now() - started).total_seconds()
    print("\ntargets")
    for name, t in result["targets"].items():
        print(f"  {name:30} {'met' if t['met'] else 'MISSED'}")
    print(f"load average at start {result['machine']['load_start'][0]:.2f}, at end"
          f" {result['machine']['load_end'][0]:.2f}; {result['elapsed_s']:.0f} s")

    folder = Path(args.results)
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / (started.strftime("%Y-%m-%dT%H-%M") + ".json")
    path.write_text(json.dumps(rounded(result), separators=(",", ":")) + "\n")
    print(f"results: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
