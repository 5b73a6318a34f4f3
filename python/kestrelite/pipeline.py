"""The one pipeline of every command that captures: a plan's jobs run into
an output folder, checked twice with --verify, reported, checked against the
stores' rules and shown on a contact sheet.

execute() prepares the folder (kestrelite never replaces a file it did not
write, outdir.py), removes the images an earlier run of the same set wrote,
runs the jobs (runner.py), builds the Report (report.py), runs them again
into a scratch folder with --verify and compares the digests, and, through
finish(), checks a whole set against the stores' rules and writes
report.json and index.html, each once and atomically. What it has to say on
the way goes to a Listener; the command line prints it, the library says
nothing.
"""

import contextlib
import json
import shutil
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from . import outdir, report as reports, sheet
from ._native import version
from .browser import SetupError, browser_version
from .check import check_folder, split
from .errors import UsageError
from .files import write_atomic
from .report import Report, entry
from .runner import run_jobs
from .settings import DEFAULT_JOBS


class Listener:
    """What a run says while it works. Each method does nothing here."""

    def warn(self, message):
        pass

    def started(self, plan, jobs, parallel, browser, how, out):
        pass

    def captured(self, job, entry, verify=None):
        """A capture finished; with --verify's second run, `verify` is
        whether its digest is the first run's."""

    def first_run_done(self, report):
        pass

    def verifying(self, jobs, skipped=None):
        """The second run of --verify starts with `jobs`, or is `skipped`
        (and why)."""

    def verified(self, verify):
        pass


@dataclass
class Options:
    browser: str
    how: str = None            # how the browser was found, for the first line
    jobs: int = DEFAULT_JOBS
    fail_fast: bool = False
    verify: bool = False
    fresh_browser: bool = False
    shard: tuple = None        # (index, count) of a sharded set run
    files: bool = True         # report.json and index.html


def written_names(plan, jobs, options):
    """The files a run may write into its folder, relative to it."""
    names = [job.path for job in jobs]
    if options.verify:
        names += [plan.second_path(job) for job in jobs]
    return names + (["report.json", "index.html"] if options.files else [])


def execute(plan, out, options, listener=None, jobs=None):
    """Runs `jobs` (default: all of the plan) into `out` and returns the
    Report; see the module's text."""
    listener = listener or Listener()
    jobs = plan.jobs if jobs is None else jobs
    out = Path(out)
    if plan.kind == "set":
        check_owner(plan, out)
    outdir.prepare(out, written_names(plan, jobs, options), plan.kind)
    try:
        if plan.kind == "set":
            remove_stale(out)
        report = first_run(plan, jobs, out, options, listener)
        if options.verify:
            report.verify = verify_run(plan, report, jobs, out, options, listener)
        if options.files:
            finish(report, out, check=plan.kind == "set" and options.shard is None,
                   devices={d["id"]: d for d in plan.devices})
        return report
    finally:
        # Best effort: a marker that still lists a name the run did not
        # write only lets a later run replace a file put there meanwhile,
        # and a folder that can no longer be written has said so already.
        with contextlib.suppress(OSError):
            outdir.settle(out)


def first_run(plan, jobs, out, options, listener):
    try:
        stated = browser_version(options.browser)
    except SetupError as e:
        listener.warn(f"warning: {e}; capturing anyway, the report records no browser version")
        stated = None
    parallel = max(1, min(options.jobs, len(jobs)))
    listener.started(plan, jobs, parallel, options.browser, options.how, out)
    started = time.monotonic()
    made = run_jobs(jobs, str(out), options.browser, plan, parallel, options.fail_fast, options.fresh_browser,
                    lambda job, result: listener.captured(job, entry(plan.kind, job, result, out)))
    browser = {"executable": options.browser, **({"version": stated} if stated else {})}
    report = Report(plan.kind, members(plan, browser, options.shard),
                    [entry(plan.kind, job, result, out) for job, result in made],
                    int((time.monotonic() - started) * 1000), len(jobs))
    listener.first_run_done(report)
    return report


def members(plan, browser, shard=None):
    """What made the bytes, as the report gives it."""
    if plan.kind == "capture":
        return {"kestrelite": version(), "url": plan.url, "seed": plan.seed, "locale": plan.locales[0],
                "timezone": plan.timezone, **plan.settings, "browser": browser}
    made = {"kestrelite": version(), "set_file": plan.file, "set_path": plan.path, "set_digest": plan.digest,
            "layout": plan.layout,
            "seed": plan.seed, "timezone": plan.timezone, "browser": browser, "locales": plan.locales,
            "screens": plan.screens, **({"appearances": plan.appearances} if plan.appearances else {}),
            **plan.settings, "plan": [list(job.key) for job in plan.jobs], "devices": {d["id"]: d for d in plan.devices}}
    if plan.timezones:
        made["timezones"] = plan.timezones
    if plan.thresholds:
        made["thresholds"] = plan.thresholds
    if shard is not None:
        made["shard"] = {"index": shard[0], "count": shard[1]}
    if plan.notes:
        made["notes"] = plan.notes
    return made


def verify_run(plan, report, jobs, out, options, listener):
    """Captures again every job the first run captured, into a scratch
    folder, and compares the digests; None when there is nothing to do.
    A differing second image is kept where plan.second_path says."""
    firsts = {reports.key_of(plan.kind, e): e["capture"]["sha256"] for e in report.entries if "capture" in e}
    if options.fail_fast and not report.ok:
        listener.verifying([], "the first run was not ok")
        return None
    again = [job for job in jobs if plan.key(job) in firsts]
    if not again:
        listener.verifying([], "the first run captured nothing")
        return None
    listener.verifying(again)
    paths = {plan.key(job): job for job in again}

    def show(job, made):
        listener.captured(job, made, made.get("capture", {}).get("sha256") == firsts[plan.key(job)])

    def keep(second):
        job = paths[reports.key_of(plan.kind, second)]
        kept = out / plan.second_path(job)
        kept.parent.mkdir(parents=True, exist_ok=True)
        write_atomic(kept, (Path(scratch) / job.path).read_bytes())
        return str(kept) if plan.kind == "capture" else plan.second_path(job)

    with tempfile.TemporaryDirectory(prefix="kestrelite-verify-") as scratch:
        second = run_jobs(again, scratch, options.browser, plan, min(options.jobs, len(again)), False,
                          options.fresh_browser, lambda job, result: show(job, entry(plan.kind, job, result, scratch)))
        verify = reports.pair_digests(report, [entry(plan.kind, job, result, scratch) for job, result in second],
                                      keep)
    listener.verified(verify)
    return verify


def finish(report, out, check, devices=None):
    """Checks the folder against the stores' rules (when `check`), then
    writes report.json and the contact sheet (whose cards name `devices`, by
    default the report's own)."""
    if check:
        report.check = split(check_folder(out, reports.to_json(report)))
    reports.write(report, out)
    write_atomic(Path(out) / "index.html", sheet.render(report, devices).encode("utf-8"))


def check_owner(plan, out):
    """A run folder belongs to one set file: a run of another set file into
    it is refused (its images would mix with, or replace, the other set's).
    The same set file after an edit is the same set."""
    try:
        previous = json.loads((out / "report.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return
    owner = previous.get("set_path") if isinstance(previous, dict) and previous.get("kind") == "set" else None
    if owner and owner != plan.path:
        raise UsageError(f"{out} holds the run of another set file, {owner}: run that set file into it, "
                         "choose another --out, or move the folder away first")


def remove_stale(out):
    """Removes the images the previous set run in `out` wrote (listed in its
    report and in the folder's marker of kestrelite's files), and the folders
    that leaves empty, so that no capture of an older set reaches an upload
    tool."""
    try:
        previous = json.loads((out / "report.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return
    if not isinstance(previous, dict) or previous.get("kind") != "set":
        return
    verify = previous.get("verify")
    entries = [*_list(previous.get("captures")), *_list(verify.get("captures") if isinstance(verify, dict) else None)]
    ours = outdir.earlier_files(out)
    for item in entries:
        for path in (item.get(key) for key in ("path", "second_path")) if isinstance(item, dict) else ():
            if isinstance(path, str) and path in ours and (out / path).is_file():
                (out / path).unlink()
                for parent in (out / path).parents:
                    if parent == out or any(parent.iterdir()):
                        break
                    parent.rmdir()


def _list(value):
    return value if isinstance(value, list) else []
