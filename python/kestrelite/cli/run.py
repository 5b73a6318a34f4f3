"""`kestrelite run`: every capture of a set file (screens x locales x
devices), laid out for people (plain) or for the upload tools (fastlane),
run as every plan is (pipeline.py), then checked against the stores' rules.
"""

from pathlib import Path

from ..setfile import load_set
from ..shard import parse_shard, shard
from .output import pixels
from .options import add_run
from .running import run_plan

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
    parser.add_argument("--shard", metavar="I/N", help="run part I of N of the set (1-based), for merge")
    add_run(parser, "set")
    parser.set_defaults(handler=run)


def run(args):
    plan = load_set(args.set_file)
    if args.fast_png:
        plan.add_settings({"fast_png": True})
    out = Path(args.out) if args.out is not None else plan.out
    part = parse_shard(args.shard) if args.shard is not None else None
    jobs = shard(plan.jobs, *part, lambda job: pixels(job.device)) if part else plan.jobs
    return run_plan(plan, out, args, jobs, part)
