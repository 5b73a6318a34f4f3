"""The run that `capture` and `run` share: a plan through the pipeline, with
what it says printed, then the store check, the files and the baseline."""

from .. import pipeline
from ..browser import choose_browser
from ..settings import check_browser
from .compare import against_baseline, check_baseline
from .output import Printer, complain, say


def run_plan(plan, out, args, jobs=None, shard=None):
    """Runs `plan` (its `jobs`, by default all) into `out` as the arguments
    say, prints it, and returns the exit status."""
    for warning in plan.warnings:
        complain(f"warning: {warning}")
    browser, how = choose_browser(args.browser)
    browser = check_browser(browser)
    check_baseline(args.baseline, out, shard)
    options = pipeline.Options(browser, how, args.jobs, args.fail_fast, args.verify, args.fresh_browser, shard)
    report = pipeline.execute(plan, out, options, Printer(), jobs)
    if args.browser is not None and report.count("failed") == len(report.entries):
        complain(f"no {'device' if plan.kind == 'capture' else 'capture'} could be captured; "
                 f"is {args.browser} a working browser?")
    if report.check is not None:
        show_violations(report.check)
    elif plan.kind == "set":
        say("check: skipped for a shard; `kestrelite merge` checks the whole set")
    say(f"report: {out / 'report.json'}")
    say(f"contact sheet: {out / 'index.html'}")
    status = 0 if report.ok else 1
    return status if args.baseline is None else max(status, against_baseline(args.baseline, out))


def show_violations(found):
    """Prints a check's result ({"errors": [...], "warnings": [...]}) and a count."""
    for line in found["errors"] + found["warnings"]:
        say(line)
    n, m = len(found["errors"]), len(found["warnings"])
    say(f"check: {n} error{'s' if n != 1 else ''}, {m} warning{'s' if m != 1 else ''}")
