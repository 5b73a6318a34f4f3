"""`kestrelite compare`: what changed between two run folders, pixel by pixel;
and the comparison with a baseline that `capture --baseline` and
`run --baseline` end with."""

from pathlib import Path

import argparse

from ..compare import ANTIALIASING, compare_runs, output_folder, read_threshold
from ..compare_page import pair_name, share_text
from ..errors import UsageError
from .output import say, size_text


def threshold_value(text):
    try:
        return read_threshold(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def register(commands):
    parser = commands.add_parser(
        "compare", help="compare two run folders pixel by pixel",
        description="Compare the captures of two run folders (from capture or run): which are the same, "
                    "changed, added, removed or failed, and for a changed one how many pixels differ and "
                    "where, with a difference image. Writes the difference images, compare.json and a page, "
                    "index.html, into DIR.",
        epilog="Exit status: 0 when nothing changed (or no change is larger than the threshold), 1 when "
               "something changed, was added, removed or failed, 2 for bad arguments.")
    parser.add_argument("base", metavar="BASE", help="the run folder to compare with")
    parser.add_argument("new", metavar="NEW", help="the run folder to check")
    parser.add_argument("--out", "-o", metavar="DIR", help="output folder (default NEW/compare)")
    parser.add_argument("--threshold", type=threshold_value, default=0, metavar="N",
                        help="changes of at most N pixels, or N%% of the image's, do not fail the comparison "
                             "(default 0; a set file's per-screen threshold comes first)")
    parser.add_argument("--antialiasing", choices=ANTIALIASING, default="count",
                        help="ignore: pixels that look like anti-aliasing in either image (text and shape "
                             "edges drawn a fraction of a pixel apart) do not count as changed (default count)")
    parser.set_defaults(handler=run)


def pair_line(pair, width):
    """One line for a pair that is not the same."""
    text = f"{pair['status']:<8} {pair_name(pair):<{width}}"
    if pair.get("size_changed"):
        return f"{text}  size {size_text(pair['base']['size'])} -> {size_text(pair['new']['size'])}"
    if "differing_pixels" in pair:
        count = pair["differing_pixels"]
        text += f"  {count} pixel{'s' if count != 1 else ''} ({share_text(pair['differing_share'])})"
        if "box" in pair:
            box = pair["box"]
            text += f" in {box['width']}x{box['height']} at {box['x']},{box['y']}"
        return text + left_out(pair) + (", within the threshold" if pair["within_threshold"] else "")
    errors = [f"{side}: {pair[side]['error']}" for side in ("base", "new") if "error" in pair.get(side, {})]
    if "error" in pair:
        errors.append(pair["error"])
    return f"{text}  {'; '.join(errors)}" if errors else text.rstrip()


def left_out(pair):
    """What the comparison did not count: ", 12 masked, 3 anti-aliased"."""
    return "".join(f", {pair[key]} {name}" for key, name in (("masked_pixels", "masked"),
                                                            ("antialiased_pixels", "anti-aliased")) if key in pair)


def show(record, out, tag=""):
    """Prints one line per pair that is not the same, the counts, and where
    the page is; returns the exit status."""
    shown = [p for p in record["pairs"] if p["status"] != "same"]
    width = max((len(pair_name(p)) for p in shown), default=0)
    for pair in shown:
        say(tag + pair_line(pair, width))
    counts = ", ".join(f"{record[s]} {s}" for s in ("same", "changed", "added", "removed", "failed"))
    n = len(record["pairs"])
    say(f"{tag}{n} capture{'s' if n != 1 else ''}: {counts}: {'ok' if record['ok'] else 'NOT OK'}")
    say(f"{tag}difference page: {out / 'index.html'}")
    return 0 if record["ok"] else 1


def check_baseline(baseline, new, shard=None):
    """Refuses, before the run, a baseline that the run would overwrite, and
    one given to a shard, which holds only part of a set."""
    if baseline is None:
        return
    if Path(baseline).resolve() == Path(new).resolve():
        raise UsageError(f"--baseline {baseline} is the output folder: the run would replace the baseline")
    if shard is not None:
        raise UsageError("--baseline compares whole sets: compare the merged folder instead "
                         "(kestrelite compare BASELINE MERGED)")


def against_baseline(baseline, new, threshold=0):
    """Compares the run just written to `new` with the run in `baseline`,
    into NEW/compare, and prints what changed; returns compare's exit
    status. `capture --baseline` and `run --baseline` end with this."""
    say(f"baseline: comparing with {baseline}")
    record = compare_runs(baseline, new, threshold=threshold)
    return show(record, output_folder(new), tag="baseline: ")


def run(args):
    record = compare_runs(args.base, args.new, args.out, args.threshold, antialiasing=args.antialiasing)
    return show(record, output_folder(args.new, args.out))
