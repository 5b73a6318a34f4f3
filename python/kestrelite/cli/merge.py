"""`kestrelite merge`: the folders of a sharded set run joined into one,
checked and reported as a whole set."""

import contextlib
from pathlib import Path

from .. import outdir, pipeline
from ..merge import merge_folders
from ..report import summary
from .running import show_violations
from .output import plural, say


def register(commands):
    parser = commands.add_parser(
        "merge", help="join the folders of a sharded set run",
        description="Join the run folders of `kestrelite run --shard I/N` into one: images, one report.json, "
                    "one contact sheet; then check the whole set against the stores' rules.",
        epilog="Exit status: 0 when the joined set is complete, exact and breaks no store rule, 1 otherwise, "
               "2 when the folders cannot be joined (different set files, a capture in two folders).")
    parser.add_argument("folders", nargs="+", metavar="DIR", help="shard folders")
    parser.add_argument("--out", "-o", required=True, metavar="DIR", help="the joined run folder")
    parser.set_defaults(handler=run)


def run(args):
    out = Path(args.out)
    try:
        report = merge_folders(args.folders, out)
        pipeline.finish(report, out, check=True)
    finally:
        with contextlib.suppress(OSError):
            outdir.settle(out)
    say(f"merged {plural(len(args.folders), 'folder')}: {summary(report)}")
    for key in report.members.get("missing", []):
        say(f"no shard made {key}")
    show_violations(report.check)
    say(f"report: {out / 'report.json'}")
    say(f"contact sheet: {out / 'index.html'}")
    return 0 if report.ok else 1
