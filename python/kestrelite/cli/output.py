"""What the command line prints: progress lines on standard output, errors as
one line on standard error."""

import sys
import time

from .._native import version
from ..pipeline import Listener
from ..report import missing_glyphs, settle_flag, summary


def say(*parts):
    print(*parts, flush=True)


def complain(message):
    """One line on standard error: a message's further lines (a hint) are
    joined to its first."""
    text = " ".join(line.strip() for line in str(message).splitlines() if line.strip())
    print(f"kestrelite: {text}", file=sys.stderr, flush=True)


def plural(count, word):
    return f"{count} {word}{'s' if count != 1 else ''}"


def size_text(pair):
    return f"{pair[0]}x{pair[1]}"


def duration(seconds):
    seconds = int(seconds + 0.5)
    return f"{seconds // 60} min {seconds % 60:02d} s" if seconds >= 60 else f"{seconds} s"


def pixels(device):
    return device["output_width"] * device["output_height"]


class Progress:
    """One aligned line per finished capture, with an estimate of the time
    left from the pixels still to capture once a few captures are done."""

    def __init__(self, plan, jobs, tag=""):
        self.plan, self.tag = plan, tag
        self.cost = {plan.key(job): pixels(job.device) for job in jobs}
        self.total, self.left = len(jobs), sum(self.cost.values())
        self.widths = [max((len(k[i]) for k in self.cost), default=0) for i in range(len(plan.key_fields))]
        self.done, self.started = 0, time.monotonic()

    def line(self, job, entry, note=""):
        self.done += 1
        key = self.plan.key(job)
        self.left -= self.cost[key]
        shot = entry.get("capture")
        if shot is None:
            size = size_text([job.device["output_width"], job.device["output_height"]])
        elif shot["exact"]:
            size = size_text(shot["actual"])
        else:
            size = f"{size_text(shot['actual'])} (expected {size_text(shot['expected'])})"
        counter = f"{self.done:>{len(str(self.total))}}/{self.total}"
        text = (f"[{self.tag}{counter}] " + "  ".join(v.ljust(w) for v, w in zip(key, self.widths))
                + f"  {size:<11}  {entry['outcome']:<8} {entry['elapsed_ms']:>6} ms")
        spent = sum(self.cost.values()) - self.left
        if self.done >= 3 and self.left > 0 and spent > 0:
            text += f"  (about {duration((time.monotonic() - self.started) * self.left / spent)} left)"
        flag = settle_flag(shot)
        if flag:
            text += f"  [{flag}]"
        listed, count = missing_glyphs(entry)
        if count:
            text += f"  [no glyph for {' '.join(listed[:5])}{' …' if count > 5 else ''}]"
        if "error" in entry:
            text += f"  {entry['error']}"
        say(text + note)


class Printer(Listener):
    """The pipeline's listener of the command line."""

    def warn(self, message):
        complain(message)

    def started(self, plan, jobs, parallel, browser, how, out):
        if plan.kind == "capture":
            what = f"{plan.url} on {plural(len(jobs), 'device')}, {parallel} at a time"
        else:
            what = (f"{plan.file}, {plural(len(plan.screens), 'screen')} x {plural(len(plan.locales), 'locale')} x "
                    f"{plural(len(plan.devices), 'device')}: {plural(len(plan.jobs), 'capture')}")
            if len(jobs) != len(plan.jobs):
                what += f"; shard: {len(jobs)}"
            what += f", {parallel} at a time, {plan.layout} layout in {out}"
        say(f"kestrelite {version()}: {what}, browser {browser}" + (f" ({how})" if how else ""))
        self.progress = Progress(plan, jobs)
        self.plan = plan

    def captured(self, job, entry, verify=None):
        if verify is None:
            self.progress.line(job, entry)
        else:
            self.again.line(job, entry, "  identical" if verify else "  DIFFERS")

    def first_run_done(self, report):
        say(summary(report))
        for note in report.members.get("notes", []):
            say(f"note: {note}")

    def verifying(self, jobs, skipped=None):
        if skipped:
            say(f"verify: skipped, {skipped}")
            return
        say(f"verify: capturing {plural(len(jobs), 'device' if self.plan.kind == 'capture' else 'capture')} again")
        self.again = Progress(self.plan, jobs, tag="verify ")

    def verified(self, verify):
        pairs = verify["devices" if self.plan.kind == "capture" else "captures"]
        noun = "devices" if self.plan.kind == "capture" else "captures"
        if verify["differ"]:
            say(f"verify: {len(verify['differ'])} of {len(pairs)} {noun} differ: " + ", ".join(verify["differ"]))
        else:
            say(f"verify: all {len(pairs)} identical")
