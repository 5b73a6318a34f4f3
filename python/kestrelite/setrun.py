"""Running the captures of a set and reporting them.

`capture_job` is the one place that captures one job of a set: in a session
of a SessionPool (one browser per job running at once, a fresh browser
context per capture), straight into the job's path in the run folder, or,
with a fresh browser, one call of the module for one device, its image then
moved to the job's path. `run_jobs` schedules jobs a few at a time (runner.run_devices),
`set_report` builds the set folder's report.json (RUN_REPORTS.md, "set
folder") and `compare_runs` the digest comparison of --verify.
"""

import json
import os
import shutil
from pathlib import Path

from ._native import capture_json
from .check import split
from .outdir import image_name
from .report import pair_digests
from .runner import run_devices
from .sessions import SessionPool

WORK_DIR = ".kestrelite-work"


def pixels(device):
    return device["output_width"] * device["output_height"]


def capture_job(job, number, out, plan, browser, sessions=None):
    """Captures one job into `out`, in one of `sessions` (a SessionPool) or,
    without, in a fresh browser, and returns a report whose one result
    carries the job's locale, screen, url and relative path."""
    target = Path(out) / job.path
    # An id that is not a plain file name goes to the module, which refuses
    # it; a session would write wherever the path points.
    if sessions is not None and image_name(job.device_id) is not None:
        result = sessions.capture(job.url, job.device_id, target, job.locale, job.timezone)
        report = {"results": [result]}
    else:
        target.parent.mkdir(parents=True, exist_ok=True)
        direct = target.name == f"{job.device_id}.png"
        work = target.parent if direct else Path(out) / WORK_DIR / str(number)
        report = json.loads(capture_json(job.url, str(work), [job.device_id], seed=plan.seed, locale=job.locale,
                                         timezone=job.timezone, browser=browser, presets=plan.presets))
        result = report["results"][0]
        if "path" in result and not direct:
            os.replace(work / f"{job.device_id}.png", target)
            work.rmdir()
    entry = {"locale": job.locale, "screen": job.screen, "device_id": job.device_id, "url": job.url,
             "outcome": result["outcome"], "elapsed_ms": result["elapsed_ms"]}
    if "path" in result:
        entry["path"] = job.path
        entry["capture"] = result["capture"]
    else:
        entry["error"] = result["error"]
    report["results"] = [entry]
    return report


def run_jobs(jobs, out, plan, browser, parallel, fail_fast, on_result, fresh_browser=False):
    """Captures the jobs, `parallel` at a time (each of those in a session of
    its own unless `fresh_browser`), and returns their entries in the order
    of `jobs` (a prefix of it when fail-fast stopped the run)."""
    numbered = list(enumerate(jobs))
    sessions = None if fresh_browser else SessionPool(parallel, browser, plan.seed, plan.presets)

    def capture_one(item):
        number, job = item
        return capture_job(job, number, out, plan, browser, sessions)

    try:
        reports = run_devices(capture_one, numbered, parallel,
                              (lambda r: r["outcome"] != "exact") if fail_fast else None, on_result)
    finally:
        if sessions is not None:
            sessions.close()
        shutil.rmtree(Path(out) / WORK_DIR, ignore_errors=True)
    return [r["results"][0] for r in reports]


def counts(captures):
    def count(outcome):
        return sum(1 for c in captures if c["outcome"] == outcome)
    return {"exact": count("exact"), "off_size": count("off-size"), "failed": count("failed")}


def set_report(plan, planned, captures, elapsed_ms, version, browser, shard=None):
    """The set folder's report: the agreed members first, then the settings
    that made the bytes and what `merge`, `check` and the contact sheet need
    (the plan's captures and devices). "ok" is true when all `planned`
    captures were made and are exact; `add_verify` and `add_check` narrow it.
    `browser` is {"executable": path} with "version" when the browser stated
    one."""
    report = {"kestrelite": version, "kind": "set", "set_file": plan.file, "set_digest": plan.digest,
              "layout": plan.layout, **counts(captures), "elapsed_ms": elapsed_ms,
              "ok": len(captures) == planned and all(c["outcome"] == "exact" for c in captures),
              "captures": captures,
              "seed": plan.seed, "timezone": plan.timezone, "browser": browser,
              "locales": plan.locales, "screens": plan.screens,
              "plan": [list(job.key) for job in plan.jobs],
              "devices": {d["id"]: d for d in plan.devices}}
    if plan.timezones:
        report["timezones"] = plan.timezones
    if len(captures) < planned:
        report["not_started"] = planned - len(captures)
    if shard is not None:
        report["shard"] = {"index": shard[0], "count": shard[1]}
    if plan.notes:
        report["notes"] = plan.notes
    return report


def add_verify(report, verify):
    """Stores the comparison of a second run; ok only when every digest matched."""
    report["verify"] = verify
    report["ok"] = report["ok"] and verify["identical"]


def add_check(report, violations):
    """Stores the store-rule check of the folder; ok only without errors."""
    report["check"] = split(violations)
    report["ok"] = report["ok"] and not report["check"]["errors"]


def summary(report):
    n = len(report["captures"])
    state = "ok" if report["ok"] else "NOT OK"
    left_out = f", {report['not_started']} not started" if report.get("not_started") else ""
    return (f"{n} capture{'s' if n != 1 else ''}: {report['exact']} exact, {report['off_size']} off-size, "
            f"{report['failed']} failed{left_out} in {report['elapsed_ms'] / 1000:.1f} s: {state}")


def compare_runs(first, second, out, second_dir):
    """The digest comparison of two runs of a set. A differing second image
    is kept as OUT/verify/<path>, outside the upload tools' folders."""
    def keep(other):
        kept = Path(out) / "verify" / other["path"]
        kept.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(Path(second_dir) / other["path"], kept)
        return f"verify/{other['path']}"

    return pair_digests(first, second, ("locale", "screen", "device_id"), "captures", keep)
