"""Runs captures a few at a time: the scheduling shared by every command that
captures, with fail-fast and a stable order of results."""

import json
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

from .errors import RunError


def run_devices(capture_one, ids, jobs, stop_after, on_result):
    """Calls `capture_one(item)`, which returns a run report (JSON text or
    the parsed object), for the items of `ids` (device ids, or the jobs of a
    set), at most `jobs` at a time, starting them in order. Each finished
    capture's result goes to `on_result` at once. Once `stop_after(result)`
    is true nothing further is started; captures already running finish.
    Returns the reports of every started item, in the order of `ids` (a
    prefix of it). A run that fails as a whole raises RunError once the
    captures still running have finished."""
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
                    report = future.result()
                    if isinstance(report, str):
                        report = json.loads(report)
                except (ValueError, OSError, RuntimeError) as e:
                    # Only the run as a whole fails this way (the output
                    # directory, the preset file).
                    stopping = True
                    failure = failure or e
                    continue
                reports[index] = report
                for result in report["results"]:
                    on_result(result)
                    if stop_after is not None and stop_after(result):
                        stopping = True
    if failure is not None:
        raise RunError(f"the run failed: {failure}")
    return [reports[index] for index in sorted(reports)]
