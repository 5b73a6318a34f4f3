"""`kestrelite capture`: one page on a choice of device presets.

Each device is captured on its own, so that it is reported the moment it is
done and several can run at once (`--jobs`; the module releases the
interpreter lock): with several devices in sessions, one browser per job and
a fresh browser context per device (`--fresh-browser`: one call of the
module per device, each with a fresh browser). The per-device reports are
merged into one, written as DIR/report.json beside the PNG files and a
contact sheet, DIR/index.html.

Everything that can be checked is checked before any browser starts: the
settings, the page, the devices, the browser and the output folder, which
must not hold a file of the run's names that kestrelite did not write.
"""

import contextlib
import os
import tempfile
import time
from pathlib import Path

from .. import browser_setup, contact_sheet, outdir
from .._native import capture_json, version
from ..report import add_verify, capture_report, compare_digests, merged_report, summary, write_report
from ..runner import run_devices
from ..selection import choose_browser, page_url, select_devices
from ..sessions import SessionPool
from ..settings import DEFAULT_LOCALE, DEFAULT_TIMEZONE, check_browser, check_locale, check_timezone
from .compare import against_baseline, check_baseline
from .options import add_baseline, add_browser, add_emulation, add_fresh_browser, add_jobs, add_presets
from .output import Progress, complain, plural, say


def register(commands):
    parser = commands.add_parser(
        "capture", help="capture a page on device presets",
        description="Capture a page on device presets: DIR/<device id>.png per device, "
                    "DIR/report.json and a contact sheet DIR/index.html.",
        epilog="Exit status: 0 when every device is exact, 1 when a device is not "
               "(or --verify saw a difference), 2 for bad arguments or a failure before the run, "
               "3 for a fault of kestrelite itself, 130 when interrupted.")
    parser.add_argument("page", metavar="PAGE",
                        help="an http(s), file, data or about URL, or a local file "
                             "(a directory means its index.html)")
    parser.add_argument("--out", "-o", required=True, metavar="DIR",
                        help="output directory (created if needed); a file in it that kestrelite did not "
                             "write is never replaced")
    selection = parser.add_mutually_exclusive_group(required=True)
    selection.add_argument("--store", "-s", action="append", metavar="S",
                           help="every preset of a store: apple, play or web; repeat for several stores")
    selection.add_argument("--device", "-d", action="append", metavar="ID",
                           help="a preset id; repeat for several devices (see `kestrelite devices`)")
    add_emulation(parser)
    add_browser(parser)
    add_presets(parser)
    add_jobs(parser)
    add_fresh_browser(parser)
    parser.add_argument("--fail-fast", action="store_true",
                        help="start no further device once one is not exact; devices already "
                             "running still finish and are reported")
    parser.add_argument("--verify", action="store_true",
                        help="capture every device a second time and compare the digests; "
                             "exit 1 if any device differs")
    add_baseline(parser, "capture")
    parser.set_defaults(handler=run)


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
    say(f"verify: capturing {plural(len(chosen), 'device')} again")
    progress = Progress(chosen, tag="verify ")

    def differs(result):
        return result.get("capture", {}).get("sha256") != firsts[result["device_id"]]

    def show(result):
        progress.line(result, "  DIFFERS" if differs(result) else "  identical")

    with tempfile.TemporaryDirectory(prefix="kestrelite-verify-") as scratch:
        second = run_devices(runner(scratch), [d["id"] for d in chosen], jobs,
                             differs if args.fail_fast else None, show)
        verify = compare_digests(report["results"], [r for rep in second for r in rep["results"]], out, scratch)
    if verify["differ"]:
        say(f"verify: {len(verify['differ'])} of {len(verify['devices'])} devices differ: "
            + ", ".join(verify["differ"]))
    else:
        say(f"verify: all {len(verify['devices'])} identical")
    return verify


def written_names(devices, verify):
    """The files a capture may write into its folder, relative to it."""
    ids = [d["id"] for d in devices if outdir.image_name(d["id"])]
    seconds = [f"{i}.second.png" for i in ids] if verify else []
    return [outdir.image_name(i) for i in ids] + seconds + ["report.json", "index.html"]


def asked_version(browser):
    """The version the browser states, or None (with a warning) when it
    states none: the capture still tries it."""
    try:
        return browser_setup.browser_version(browser)
    except browser_setup.SetupError as e:
        complain(f"warning: {e}; capturing anyway, the report records no browser version")
        return None


def run(args):
    timezone = check_timezone(args.timezone)
    locale = check_locale(args.locale)
    url = page_url(args.page)
    devices = select_devices(args.store, args.device, args.presets, warn=complain)
    browser, how = choose_browser(args.browser)
    browser = check_browser(browser)
    out = Path(args.out)
    check_baseline(args.baseline, out)
    outdir.prepare(out, written_names(devices, args.verify))
    try:
        return capture_into(out, args, url, devices, browser, how, timezone, locale)
    finally:
        # Best effort: a marker that still lists a name the run did not
        # write only lets a later run replace a file put there meanwhile,
        # and a folder that can no longer be written has said so already.
        with contextlib.suppress(OSError):
            outdir.settle(out)


def capture_into(out, args, url, devices, browser, how, timezone, locale):
    """The run itself, into a folder already prepared: captures, verify,
    report and contact sheet; the exit status. `how` says how the browser
    was found (choose_browser)."""
    browser_version = asked_version(browser)
    jobs = min(args.jobs, len(devices))
    # A pool starts no browser until it captures.
    with SessionPool(jobs, browser, args.seed, args.presets) as pool:
        sessions = pool if len(devices) > 1 and not args.fresh_browser else None
        return capture_with(out, args, url, devices, browser, how, timezone, locale, browser_version, jobs,
                            sessions)


def capture_with(out, args, url, devices, browser, how, timezone, locale, browser_version, jobs, sessions):
    """capture_into's work, with a SessionPool or, when `sessions` is None, a
    fresh browser for every device."""
    def runner(out_dir):
        def capture_one(device_id):
            # The module refuses an id that is not a plain file name before
            # any browser starts; a session would write wherever it points.
            if sessions is None or outdir.image_name(device_id) is None:
                return capture_json(url, str(out_dir), [device_id], seed=args.seed, locale=locale,
                                    timezone=timezone, browser=browser, presets=args.presets)
            # The module's report around the one result, as capture_json gives it.
            result = sessions.capture(url, device_id, os.path.join(out_dir, f"{device_id}.png"), locale, timezone)
            return {"kestrelite": version(), "url": url, "seed": args.seed, "locale": locale or DEFAULT_LOCALE,
                    "results": [result]}
        return capture_one

    say(f"kestrelite {version()}: {url} on {plural(len(devices), 'device')}, {jobs} at a time, browser {browser}"
        + (f" ({how})" if how else ""))
    progress = Progress(devices)
    started = time.monotonic()
    reports = run_devices(runner(out), [d["id"] for d in devices], jobs,
                          (lambda r: r["outcome"] != "exact") if args.fail_fast else None, progress.line)
    merged = merged_report(reports, int((time.monotonic() - started) * 1000))
    report = capture_report(merged, timezone or DEFAULT_TIMEZONE, browser, browser_version,
                            len(devices) - len(merged["results"]))
    say(summary(report))
    if args.browser is not None and report["failed"] == len(report["results"]):
        complain(f"no device could be captured; is {args.browser} a working browser?")

    verify = verify_run(args, report, devices, runner, jobs, out) if args.verify else None
    if verify is not None:
        add_verify(report, verify)
    write_report(report, out / "report.json")
    (out / "index.html").write_text(contact_sheet.render(report, {d["id"]: d for d in devices}, verify),
                                    encoding="utf-8")
    say(f"report: {out / 'report.json'}")
    say(f"contact sheet: {out / 'index.html'}")
    status = 0 if report["ok"] else 1
    return status if args.baseline is None else max(status, against_baseline(args.baseline, out))
