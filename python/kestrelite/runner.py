"""Runs the jobs of a plan a few at a time: the one runner of every command.

Each of `parallel` workers keeps one browser (kestrelite.Session) and makes
each of its captures in a fresh browser context of it; with fresh_browser,
every capture starts a browser of its own and ends it. Locale, time zone and
seed are the capture's own, so one browser serves every locale of a set.
Results arrive at `on_result` as captures finish; the returned list keeps
the order of the jobs. Captures start largest image first: the browser's
PNG encoder takes most of a capture's time, growing with the pixels, so the
last to start are short and no worker idles long while another finishes.
With fail_fast nothing further starts once a capture is not exact; captures
already running finish. Ctrl-C (KeyboardInterrupt)
lets the captures under way finish, then goes on up.
"""

import json
import os
import queue
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

from ._native import Session
from .errors import RunError


def settings(job, plan):
    """What the module is to do for a job besides capturing it."""
    made = {"locale": job.locale, "timezone": job.timezone, "seed": plan.seed, **job.settings}
    if job.appearance:
        made["appearance"] = job.appearance
    if job.screen:
        made["screen"] = job.screen
    return made


def run_jobs(jobs, out_dir, browser, plan, parallel, fail_fast=False, fresh_browser=False, on_result=None):
    """Captures `jobs` (of `plan`) into `out_dir`; returns [(job, result)],
    the result being the module's dict for the device, for every job
    started, in the order of `jobs`."""
    sessions = queue.SimpleQueue()
    made = []
    per_browser = {"captures_per_browser": 1} if fresh_browser else {}

    def capture(job):
        try:
            session = sessions.get_nowait()
        except queue.Empty:
            session = None
        try:
            if session is None:
                session = Session(browser=browser, presets=plan.presets, **per_browser)
                made.append(session)
            return json.loads(session.capture(job.url, job.device_id, os.path.join(out_dir, job.folder),
                                              name=job.name, **settings(job, plan)))
        except (ValueError, RuntimeError) as e:
            raise RunError(f"the run failed: {e}") from None
        finally:
            if session is not None:
                sessions.put(session)

    order = sorted(range(len(jobs)), key=lambda i: -jobs[i].device["output_width"] * jobs[i].device["output_height"])
    done, running, started, stopping = {}, {}, 0, False
    try:
        with ThreadPoolExecutor(max_workers=parallel, thread_name_prefix="kestrelite-capture") as pool:
            try:
                while True:
                    while not stopping and started < len(jobs) and len(running) < parallel:
                        running[pool.submit(capture, jobs[order[started]])] = order[started]
                        started += 1
                    if not running:
                        break
                    finished, _ = wait(running, return_when=FIRST_COMPLETED)
                    for future in sorted(finished, key=running.get):
                        index = running.pop(future)
                        done[index] = future.result()
                        if on_result is not None:
                            on_result(jobs[index], done[index])
                        stopping = stopping or (fail_fast and done[index]["outcome"] != "exact")
            except BaseException:
                # The pool's exit waits for the captures under way.
                stopping = True
                raise
    finally:
        for session in made:
            session.close()
    return [(jobs[i], done[i]) for i in sorted(done)]
