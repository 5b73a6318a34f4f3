"""The `kestrelite` command.

    kestrelite capture PAGE --out DIR (--store S | --device ID ...) [options]
    kestrelite devices [--store S] [--presets FILE] [--json]
    kestrelite find-browser
    kestrelite install-browser [--from PATH]

A capture calls the native `capture_json` once per device, so that each device
is reported the moment it is done and several can run at once (`--jobs`; the
native call releases the interpreter lock). The per-device reports are merged
into one report of the module's form, written as DIR/report.json beside the
PNG files and a contact sheet, DIR/index.html.

Exit status: 0 when every device was captured exactly, 1 when one was not (or
`--verify` saw a device change between two runs), 2 for bad arguments or a
failure before the run.
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import time
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from pathlib import Path
from urllib.parse import urlsplit

from . import browser_setup, contact_sheet
from ._native import capture_json, devices_json, find_browser, version

URL_SCHEMES = ("http", "https", "file", "data", "about")
MAX_SEED = 2**64 - 1


class CommandError(Exception):
    """Ends the command with exit status 2: a bad argument, or a failure
    before the run or of the run as a whole."""


def say(*parts):
    print(*parts, flush=True)


def complain(message):
    print(f"kestrelite: {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------- arguments

def seed_value(text):
    try:
        seed = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= seed <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_SEED}")
    return seed


def jobs_value(text):
    try:
        jobs = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if jobs < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return jobs


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kestrelite",
        description="Reproducible, pixel-exact app-store screenshots of a web page.",
        epilog="Run `kestrelite COMMAND --help` for the options of a command.")
    parser.add_argument("--version", action="version", version=f"kestrelite {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    capture = commands.add_parser(
        "capture", help="capture a page on device presets",
        description="Capture a page on device presets: DIR/<device id>.png per device, "
                    "DIR/report.json and a contact sheet DIR/index.html.",
        epilog="Exit status: 0 when every device is exact, 1 when a device is not "
               "(or --verify saw a difference), 2 for bad arguments or a failure before the run.")
    capture.add_argument("page", metavar="PAGE",
                         help="an http(s), file, data or about URL, or a local file "
                              "(a directory means its index.html)")
    capture.add_argument("--out", "-o", required=True, metavar="DIR", help="output directory (created if needed)")
    selection = capture.add_mutually_exclusive_group(required=True)
    selection.add_argument("--store", "-s", metavar="S", help="every preset of a store: apple, play or web")
    selection.add_argument("--device", "-d", action="append", metavar="ID",
                           help="a preset id; repeat for several devices (see `kestrelite devices`)")
    capture.add_argument("--seed", type=seed_value, default=42, metavar="N",
                         help="seed of the page's random numbers (default 42)")
    capture.add_argument("--locale", metavar="L", help="locale to emulate (default en-US)")
    capture.add_argument("--timezone", metavar="Z", help="time zone to emulate, e.g. Europe/Paris (default UTC)")
    capture.add_argument("--browser", metavar="PATH", help="browser executable (default: what find-browser says)")
    capture.add_argument("--presets", metavar="FILE", help="preset file to use instead of the built-in presets")
    capture.add_argument("--jobs", "-j", type=jobs_value, default=1, metavar="N",
                         help="devices captured at once, each with its own browser (default 1)")
    capture.add_argument("--fail-fast", action="store_true",
                         help="start no further device once one is not exact; devices already "
                              "running still finish and are reported")
    capture.add_argument("--verify", action="store_true",
                         help="capture every device a second time and compare the digests; "
                              "exit 1 if any device differs")
    capture.set_defaults(handler=cmd_capture)

    devices = commands.add_parser("devices", help="list the device presets",
                                  description="List the device presets as a table, or as the module's JSON.")
    devices.add_argument("--store", "-s", metavar="S", help="only the presets of this store")
    devices.add_argument("--presets", metavar="FILE", help="list a preset file instead of the built-in presets")
    devices.add_argument("--json", action="store_true", help="print the JSON that devices_json returns")
    devices.set_defaults(handler=cmd_devices)

    finder = commands.add_parser("find-browser", help="print the browser kestrelite would use",
                                 description="Print the browser executable kestrelite would use.")
    finder.set_defaults(handler=cmd_find_browser)

    installer = commands.add_parser(
        "install-browser", help="make a local browser available under kestrelite's managed root",
        description="Place a launcher named chrome-headless-shell under the managed root "
                    f"({browser_setup.managed_root()}) that runs a browser already on this machine. "
                    "Nothing is downloaded.")
    installer.add_argument("--from", dest="source", metavar="PATH",
                           help="the browser executable to run (default: a Chromium found on this machine)")
    installer.set_defaults(handler=cmd_install_browser)
    return parser


def main(argv=None):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else 2
    try:
        return args.handler(args)
    except CommandError as e:
        complain(e)
        return 2
    except KeyboardInterrupt:
        complain("interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `kestrelite devices | head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


# ---------------------------------------------------------------- capture

def page_url(page):
    """URLs of the accepted schemes stay as given; a local file becomes an
    absolute file:// URL, a directory the URL of its index.html."""
    if urlsplit(page).scheme.lower() in URL_SCHEMES:
        return page
    path = Path(page)
    if path.is_dir():
        path = path / "index.html"
        if not path.is_file():
            raise CommandError(f"{page} is a directory without an index.html")
    if not path.is_file():
        raise CommandError(f"{page} is neither an existing file nor an http(s), file, data or about URL")
    return path.resolve().as_uri()


def select_devices(args):
    """The chosen presets in capture order, as the module lists them."""
    try:
        if args.store is not None:
            chosen = json.loads(devices_json(args.store, args.presets))
            if not chosen:
                raise CommandError(f"no presets for store {args.store}")
            return chosen
        table = {d["id"]: d for d in json.loads(devices_json(None, args.presets))}
    except (ValueError, OSError) as e:
        raise CommandError(e) from None
    chosen = []
    for device_id in args.device:
        if device_id not in table:
            raise CommandError(f"unknown device id: {device_id} (`kestrelite devices` lists them)")
        if any(d["id"] == device_id for d in chosen):
            complain(f"device {device_id} is named twice; capturing it once")
            continue
        chosen.append(table[device_id])
    return chosen


def browser_hint():
    if os.environ.get("KESTRELITE_CHROME", "").strip():
        return "Point KESTRELITE_CHROME at a browser executable or unset it, or pass --browser PATH."
    return ("Run `kestrelite install-browser` (it uses a Chromium already on this machine, "
            "or the one given with --from PATH), set KESTRELITE_CHROME, or pass --browser PATH.")


def resolve_browser(given):
    """The browser for every device of the run: the one given, else the one
    the module would discover, looked up once so all devices use the same."""
    if given is not None:
        return given
    try:
        return find_browser()
    except RuntimeError as e:
        raise CommandError(f"{e}\n  {browser_hint()}") from None


def run_devices(capture_one, ids, jobs, stop_after, on_result):
    """Calls `capture_one(id)`, which returns a run report, for the ids, at
    most `jobs` at a time, starting them in order. Each finished device's
    result goes to `on_result` at once. Once `stop_after(result)` is true no
    further device is started; those already running finish. Returns the
    reports of every started device, in the order of `ids` (a prefix of it)."""
    reports = {}
    running = {}
    started = 0
    stopping = False
    failure = None
    with ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="kestrelite-capture") as pool:
        while True:
            while not stopping and started < len(ids) and len(running) < jobs:
                running[pool.submit(capture_one, ids[started])] = started
                started += 1
            if not running:
                break
            finished, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in sorted(finished, key=running.get):
                index = running.pop(future)
                try:
                    report = json.loads(future.result())
                except (ValueError, OSError, RuntimeError) as e:
                    # Only the run as a whole fails this way (the output
                    # directory, the preset file); the devices still running
                    # finish before the failure is reported.
                    stopping = True
                    failure = failure or e
                    continue
                reports[index] = report
                for result in report["results"]:
                    on_result(result)
                    if stop_after is not None and stop_after(result):
                        stopping = True
    if failure is not None:
        raise CommandError(f"the run failed: {failure}")
    return [reports[index] for index in sorted(reports)]


def merged_report(reports, elapsed_ms):
    """One report of the module's form over the per-device reports."""
    results = [result for report in reports for result in report["results"]]

    def count(outcome):
        return sum(1 for r in results if r["outcome"] == outcome)
    first = reports[0]
    return {
        "kestrelite": first["kestrelite"],
        "url": first["url"],
        "seed": first["seed"],
        "locale": first["locale"],
        "exact": count("exact"),
        "off_size": count("off-size"),
        "failed": count("failed"),
        "elapsed_ms": elapsed_ms,
        "ok": bool(results) and all(r["outcome"] == "exact" for r in results),
        "results": results,
    }


def size_text(pair):
    return f"{pair[0]}x{pair[1]}"


class Progress:
    """Prints one aligned line per finished device."""

    def __init__(self, devices, tag=""):
        self.devices = {d["id"]: d for d in devices}
        self.total = len(devices)
        self.width = max(len(d["id"]) for d in devices)
        self.tag = tag
        self.done = 0

    def line(self, result, note=""):
        self.done += 1
        device = self.devices[result["device_id"]]
        shot = result.get("capture")
        if shot is None:
            size = size_text([device["output_width"], device["output_height"]])
        elif shot["exact"]:
            size = size_text(shot["actual"])
        else:
            size = f"{size_text(shot['actual'])} (expected {size_text(shot['expected'])})"
        counter = f"{self.done:>{len(str(self.total))}}/{self.total}"
        text = (f"[{self.tag}{counter}] {result['device_id']:<{self.width}}  {size:<11}  "
                f"{result['outcome']:<8} {result['elapsed_ms']:>6} ms")
        if "error" in result:
            text += f"  {result['error']}"
        say(text + note)


def summary(report):
    state = "ok" if report["ok"] else "NOT OK"
    n = len(report["results"])
    return (f"{n} device{'s' if n != 1 else ''}: {report['exact']} exact, {report['off_size']} off-size, "
            f"{report['failed']} failed in {report['elapsed_ms'] / 1000:.1f} s: {state}")


def compare_runs(first, second, out_dir, second_dir):
    """The comparison of two runs by digest, over the devices the first run
    captured. A device's second image is kept as DIR/<id>.second.png when it
    differs, so the two can be looked at side by side."""
    later = {r["device_id"]: r for r in second}
    devices = []
    for result in first:
        other = later.get(result["device_id"])
        if "capture" not in result or other is None:
            continue
        entry = {"device_id": result["device_id"], "first": result["capture"]["sha256"]}
        if "capture" in other:
            entry["second"] = other["capture"]["sha256"]
        else:
            entry["error"] = other["error"]
        entry["identical"] = entry.get("second") == entry["first"]
        if "second" in entry and not entry["identical"]:
            kept = Path(out_dir) / f"{result['device_id']}.second.png"
            shutil.copyfile(Path(second_dir) / Path(other["path"]).name, kept)
            entry["second_path"] = str(kept)
        devices.append(entry)
    differ = [e["device_id"] for e in devices if not e["identical"]]
    return {"identical": not differ, "differ": differ, "devices": devices}


def verify_run(args, report, devices, runner, jobs, out):
    """Captures again every device the first run captured, into a scratch
    directory, and compares the digests. None when there is nothing to do."""
    firsts = {r["device_id"]: r["capture"]["sha256"] for r in report["results"] if "capture" in r}
    if args.fail_fast and not report["ok"]:
        say("verify: skipped, the first run was not ok")
        return None
    if not firsts:
        say("verify: skipped, the first run captured nothing")
        return None
    chosen = [d for d in devices if d["id"] in firsts]
    say(f"verify: capturing {len(chosen)} device{'s' if len(chosen) != 1 else ''} again")
    progress = Progress(chosen, tag="verify ")

    def differs(result):
        return result.get("capture", {}).get("sha256") != firsts[result["device_id"]]

    def show(result):
        progress.line(result, "  DIFFERS" if differs(result) else "  identical")

    with tempfile.TemporaryDirectory(prefix="kestrelite-verify-") as scratch:
        second = run_devices(runner(scratch), [d["id"] for d in chosen], jobs,
                             differs if args.fail_fast else None, show)
        verify = compare_runs(report["results"], [r for rep in second for r in rep["results"]], out, scratch)
    if verify["differ"]:
        say(f"verify: {len(verify['differ'])} of {len(verify['devices'])} devices differ: "
            + ", ".join(verify["differ"]))
    else:
        say(f"verify: all {len(verify['devices'])} identical")
    return verify


def cmd_capture(args):
    url = page_url(args.page)
    devices = select_devices(args)
    browser = resolve_browser(args.browser)
    out = Path(args.out)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise CommandError(f"cannot create {out}: {e.strerror or e}") from None
    jobs = min(args.jobs, len(devices))

    def runner(out_dir):
        def capture_one(device_id):
            return capture_json(url, str(out_dir), [device_id], seed=args.seed, locale=args.locale,
                                timezone=args.timezone, browser=browser, presets=args.presets)
        return capture_one

    say(f"kestrelite {version()}: {url} on {len(devices)} device{'s' if len(devices) != 1 else ''}, "
        f"{jobs} at a time, browser {browser}")
    progress = Progress(devices)
    started = time.monotonic()
    reports = run_devices(runner(out), [d["id"] for d in devices], jobs,
                          (lambda r: r["outcome"] != "exact") if args.fail_fast else None, progress.line)
    report = merged_report(reports, int((time.monotonic() - started) * 1000))
    say(summary(report))
    if args.browser is not None and report["failed"] == len(report["results"]):
        complain(f"no device could be captured; is {args.browser} a working browser?")

    verify = verify_run(args, report, devices, runner, jobs, out) if args.verify else None
    if verify is not None:
        report["verify"] = verify
    (out / "report.json").write_text(json.dumps(report, ensure_ascii=False, separators=(",", ":")) + "\n",
                                     encoding="utf-8")
    (out / "index.html").write_text(contact_sheet.render(report, {d["id"]: d for d in devices}, verify),
                                    encoding="utf-8")
    say(f"report: {out / 'report.json'}")
    say(f"contact sheet: {out / 'index.html'}")
    return 0 if report["ok"] and (verify is None or verify["identical"]) else 1


# ---------------------------------------------------------------- other commands

def cmd_devices(args):
    try:
        text = devices_json(args.store, args.presets)
    except (ValueError, OSError) as e:
        raise CommandError(e) from None
    if args.json:
        say(text)
        return 0
    header = ("ID", "LABEL", "OUTPUT", "SCALE", "STORE", "REQUIREMENT")
    rows = [header] + [(d["id"], d["label"], size_text([d["output_width"], d["output_height"]]),
                        str(d["scale"]), d["store"], d["requirement"]) for d in json.loads(text)]
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    for row in rows:
        say("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    return 0


def cmd_find_browser(args):
    try:
        say(find_browser())
    except RuntimeError as e:
        complain(f"{e}\n  {browser_hint()}")
        return 1
    return 0


def cmd_install_browser(args):
    root = browser_setup.managed_root()
    program = args.source
    if program is None:
        program = browser_setup.find_local_browser(root)
        if program is None:
            complain("found no Chromium-family browser on this machine to use.\n"
                     "  Install one (on Debian or Ubuntu: apt-get install chromium-headless-shell), "
                     "then run `kestrelite install-browser` again, or run "
                     "`kestrelite install-browser --from PATH` with a browser executable, "
                     "or set KESTRELITE_CHROME.")
            return 1
        say(f"found {program}")
    try:
        launcher, replaced = browser_setup.install_launcher(program, root)
    except browser_setup.SetupError as e:
        complain(e)
        return 2 if args.source is not None else 1
    say(f"{'replaced' if replaced else 'installed'} {launcher}, a launcher that runs {os.path.abspath(program)}")
    try:
        used = find_browser()
    except RuntimeError as e:
        complain(f"but kestrelite does not find it: {e}")
        return 1
    if os.path.abspath(used) == os.path.abspath(launcher):
        say("kestrelite uses it from now on (see `kestrelite find-browser`)")
    else:
        say(f"note: kestrelite uses {used} instead, because KESTRELITE_CHROME is set")
    return 0
