"""`kestrelite capture`: one page on a choice of device presets.

Each device is captured by its own call of the module, so that it is reported
the moment it is done and several can run at once (`--jobs`; the module
releases the interpreter lock). The per-device reports are merged into one,
written as DIR/report.json beside the PNG files and a contact sheet,
DIR/index.html.
"""

import tempfile
import time
from pathlib import Path

from .. import contact_sheet
from .._native import capture_json, version
from ..errors import UsageError
from ..report import compare_digests, merged_report, summary, write_report
from ..runner import run_devices
from ..selection import page_url, resolve_browser, select_devices
from .options import add_browser, add_emulation, add_jobs, add_presets
from .output import Progress, complain, plural, say


def register(commands):
    parser = commands.add_parser(
        "capture", help="capture a page on device presets",
        description="Capture a page on device presets: DIR/<device id>.png per device, "
                    "DIR/report.json and a contact sheet DIR/index.html.",
        epilog="Exit status: 0 when every device is exact, 1 when a device is not "
               "(or --verify saw a difference), 2 for bad arguments or a failure before the run.")
    parser.add_argument("page", metavar="PAGE",
                        help="an http(s), file, data or about URL, or a local file "
                             "(a directory means its index.html)")
    parser.add_argument("--out", "-o", required=True, metavar="DIR", help="output directory (created if needed)")
    selection = parser.add_mutually_exclusive_group(required=True)
    selection.add_argument("--store", "-s", metavar="S", help="every preset of a store: apple, play or web")
    selection.add_argument("--device", "-d", action="append", metavar="ID",
                           help="a preset id; repeat for several devices (see `kestrelite devices`)")
    add_emulation(parser)
    add_browser(parser)
    add_presets(parser)
    add_jobs(parser)
    parser.add_argument("--fail-fast", action="store_true",
                        help="start no further device once one is not exact; devices already "
                             "running still finish and are reported")
    parser.add_argument("--verify", action="store_true",
                        help="capture every device a second time and compare the digests; "
                             "exit 1 if any device differs")
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


def run(args):
    url = page_url(args.page)
    devices = select_devices(args.store, args.device, args.presets, warn=complain)
    browser = resolve_browser(args.browser)
    out = Path(args.out)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise UsageError(f"cannot create {out}: {e.strerror or e}") from None
    jobs = min(args.jobs, len(devices))

    def runner(out_dir):
        def capture_one(device_id):
            return capture_json(url, str(out_dir), [device_id], seed=args.seed, locale=args.locale,
                                timezone=args.timezone, browser=browser, presets=args.presets)
        return capture_one

    say(f"kestrelite {version()}: {url} on {plural(len(devices), 'device')}, {jobs} at a time, browser {browser}")
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
    write_report(report, out / "report.json")
    (out / "index.html").write_text(contact_sheet.render(report, {d["id"]: d for d in devices}, verify),
                                    encoding="utf-8")
    say(f"report: {out / 'report.json'}")
    say(f"contact sheet: {out / 'index.html'}")
    return 0 if report["ok"] and (verify is None or verify["identical"]) else 1
