"""`kestrelite run`: every capture of a set file (screens x locales x
devices), laid out for people (plain) or for the upload tools (fastlane),
then checked against the stores' rules.
"""

import contextlib
import json
import tempfile
import time
from pathlib import Path

from .. import outdir, set_sheet
from .._native import version
from ..check import check_folder
from ..report import write_report
from ..selection import resolve_browser
from ..settings import check_browser
from ..setfile import load_set
from ..setrun import add_check, add_verify, compare_runs, pixels, run_jobs, set_report, summary
from ..shard import parse_shard, shard
from .capture import asked_version
from .check import show_violations
from .compare import against_baseline, check_baseline
from .options import add_baseline, add_browser, add_fresh_browser, add_jobs
from .output import complain, plural, say, settle_note, size_text

DEFAULT_SET_FILE = "kestrelite.toml"


def register(commands):
    parser = commands.add_parser(
        "run", help="capture a whole store set from a set file",
        description="Capture every screen of a set file in every locale on every device, write them in the "
                    "plain or fastlane layout with report.json and a contact sheet, and check the stores' rules.",
        epilog="Exit status: 0 when every capture is exact and no store rule is broken, 1 otherwise, "
               "2 for a mistake in the set file or the arguments.")
    parser.add_argument("set_file", nargs="?", default=DEFAULT_SET_FILE, metavar="SETFILE",
                        help=f"the set file (default ./{DEFAULT_SET_FILE})")
    parser.add_argument("--out", "-o", metavar="DIR", help="output folder (default: the set file's out)")
    add_jobs(parser)
    parser.add_argument("--shard", metavar="I/N", help="run part I of N of the set (1-based), for merge")
    parser.add_argument("--verify", action="store_true",
                        help="capture the set a second time and compare the digests")
    parser.add_argument("--fail-fast", action="store_true",
                        help="start no further capture once one is not exact")
    add_browser(parser)
    add_fresh_browser(parser)
    add_baseline(parser, "set")
    parser.set_defaults(handler=run)


class SetProgress:
    """One line per finished capture, with an estimate of the time left from
    the pixels still to capture once a few captures are done."""

    def __init__(self, jobs, devices, tag=""):
        self.devices = {d["id"]: d for d in devices}
        self.cost = {job.key: pixels(self.devices[job.device_id]) for job in jobs}
        self.total, self.left = len(jobs), sum(self.cost.values())
        self.widths = [max((len(getattr(j, f)) for j in jobs), default=0) for f in ("locale", "screen", "device_id")]
        self.tag, self.done, self.started = tag, 0, time.monotonic()

    def line(self, result, note=""):
        self.done += 1
        key = (result["locale"], result["screen"], result["device_id"])
        self.left -= self.cost[key]
        device = self.devices[result["device_id"]]
        shot = result.get("capture")
        size = size_text(shot["actual"] if shot else [device["output_width"], device["output_height"]])
        counter = f"{self.done:>{len(str(self.total))}}/{self.total}"
        text = (f"[{self.tag}{counter}] " + "  ".join(v.ljust(w) for v, w in zip(key, self.widths))
                + f"  {size:<9}  {result['outcome']:<8} {result['elapsed_ms']:>6} ms")
        spent = sum(self.cost.values()) - self.left
        if self.done >= 3 and self.left > 0 and spent > 0:
            left = (time.monotonic() - self.started) * self.left / spent
            text += f"  (about {duration(left)} left)"
        text += settle_note(result)
        if "error" in result:
            text += f"  {result['error']}"
        say(text + note)


def duration(seconds):
    seconds = int(seconds + 0.5)
    return f"{seconds // 60} min {seconds % 60:02d} s" if seconds >= 60 else f"{seconds} s"


def remove_stale(out):
    """Removes the images the previous set run in `out` wrote (listed in its
    report and in the folder's marker of kestrelite's files), so that no
    capture of an older set reaches an upload tool."""
    try:
        previous = json.loads((out / "report.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return
    if not isinstance(previous, dict) or previous.get("kind") != "set":
        return
    verify = previous.get("verify")
    entries = [*_list(previous.get("captures")), *_list(verify.get("captures") if isinstance(verify, dict) else None)]
    ours = outdir.earlier_files(out)
    for entry in entries:
        for path in (entry.get(key) for key in ("path", "second_path")) if isinstance(entry, dict) else ():
            if isinstance(path, str) and path in ours and (out / path).is_file():
                (out / path).unlink()


def _list(value):
    return value if isinstance(value, list) else []


def run(args):
    plan = load_set(args.set_file)
    out = Path(args.out) if args.out is not None else plan.out
    jobs = plan.jobs
    part = None
    if args.shard is not None:
        part = parse_shard(args.shard)
        devices = {d["id"]: d for d in plan.devices}
        jobs = shard(plan.jobs, *part, lambda job: pixels(devices[job.device_id]))
    browser = check_browser(resolve_browser(args.browser))
    check_baseline(args.baseline, out, part)
    names = [job.path for job in jobs] + ["report.json", "index.html"]
    outdir.prepare(out, names + ([f"verify/{job.path}" for job in jobs] if args.verify else []))
    try:
        remove_stale(out)
        return run_into(out, args, plan, jobs, part, browser)
    finally:
        with contextlib.suppress(OSError):
            outdir.settle(out)


def run_into(out, args, plan, jobs, part, browser):
    """The run itself, into a folder already prepared: captures, verify,
    report, contact sheet and check; the exit status."""
    found = asked_version(browser)
    parallel = max(1, min(args.jobs, len(jobs)))
    matrix = (f"{plural(len(plan.screens), 'screen')} x {plural(len(plan.locales), 'locale')} x "
              f"{plural(len(plan.devices), 'device')}: {plural(len(plan.jobs), 'capture')}")
    if part is not None:
        matrix += f"; shard {part[0]}/{part[1]}: {len(jobs)}"
    say(f"kestrelite {version()}: {plan.file}, {matrix}, {parallel} at a time, {plan.layout} layout in {out}, "
        f"browser {browser}")
    started = time.monotonic()
    captures = run_jobs(jobs, out, plan, browser, parallel, args.fail_fast, SetProgress(jobs, plan.devices).line,
                        args.fresh_browser)
    report = set_report(plan, len(jobs), captures, int((time.monotonic() - started) * 1000), version(),
                        {"executable": browser, **({"version": found} if found else {})}, part)
    say(summary(report))
    for note in plan.notes:
        say(f"note: {note}")
    if args.verify:
        verify = verify_set(args, report, jobs, plan, browser, parallel, out)
        if verify is not None:
            add_verify(report, verify)
    write_report(report, out / "report.json")
    if part is None:
        add_check(report, check_folder(out))
        show_violations(report["check"])
        write_report(report, out / "report.json")
    else:
        say("check: skipped for a shard; `kestrelite merge` checks the whole set")
    (out / "index.html").write_text(set_sheet.render_set(report), encoding="utf-8")
    say(f"report: {out / 'report.json'}")
    say(f"contact sheet: {out / 'index.html'}")
    status = 0 if report["ok"] else 1
    return status if args.baseline is None else max(status, against_baseline(args.baseline, out))


def verify_set(args, report, jobs, plan, browser, parallel, out):
    made = {(c["locale"], c["screen"], c["device_id"]) for c in report["captures"] if "capture" in c}
    if args.fail_fast and not report["ok"]:
        say("verify: skipped, the first run was not ok")
        return None
    again = [job for job in jobs if job.key in made]
    if not again:
        say("verify: skipped, the first run captured nothing")
        return None
    say(f"verify: capturing {plural(len(again), 'capture')} again")
    firsts = {(c["locale"], c["screen"], c["device_id"]): c["capture"]["sha256"]
              for c in report["captures"] if "capture" in c}
    progress = SetProgress(again, plan.devices, tag="verify ")

    def differs(result):
        return result.get("capture", {}).get("sha256") != firsts[(result["locale"], result["screen"],
                                                                   result["device_id"])]

    def show(result):
        progress.line(result, "  DIFFERS" if differs(result) else "  identical")

    with tempfile.TemporaryDirectory(prefix="kestrelite-verify-") as scratch:
        second = run_jobs(again, scratch, plan, browser, parallel, False, show, args.fresh_browser)
        verify = compare_runs(report["captures"], second, out, scratch)
    if verify["differ"]:
        complain(f"verify: {len(verify['differ'])} of {len(verify['captures'])} captures differ: "
                 + ", ".join(verify["differ"]))
    else:
        say(f"verify: all {len(verify['captures'])} identical")
    return verify
