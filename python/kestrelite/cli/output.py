"""What the command line prints: progress lines on standard output, errors as
one line on standard error."""

import sys

from ..report import settle_flag


def say(*parts):
    print(*parts, flush=True)


def complain(message):
    """One line on standard error: a message's further lines (a hint) are
    joined to its first."""
    text = " ".join(line.strip() for line in str(message).splitlines() if line.strip())
    print(f"kestrelite: {text}", file=sys.stderr, flush=True)


def size_text(pair):
    return f"{pair[0]}x{pair[1]}"


def settle_note(result):
    """The progress line's flag for a capture that settled at the deadline."""
    flag = settle_flag(result.get("capture"))
    return f"  [{flag}]" if flag else ""


def plural(count, word):
    return f"{count} {word}{'s' if count != 1 else ''}"


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
        text += settle_note(result)
        if "error" in result:
            text += f"  {result['error']}"
        say(text + note)
