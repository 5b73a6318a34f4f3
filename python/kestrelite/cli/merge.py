"""`kestrelite merge`: the folders of a sharded set run joined into one."""

import contextlib
from pathlib import Path

from .. import outdir, set_sheet
from ..check import check_folder
from ..merge import merge_folders
from ..report import write_report
from ..setrun import add_check
from .check import show_violations
from .output import complain, plural, say


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
        write_report(report, out / "report.json")
        return finish(report, out, args)
    finally:
        with contextlib.suppress(OSError):
            outdir.settle(out)


def finish(report, out, args):
    say(f"merged {plural(len(args.folders), 'folder')}: {plural(len(report['captures']), 'capture')}, "
        f"{report['exact']} exact, {report['off_size']} off-size, {report['failed']} failed")
    for key in report.get("missing", []):
        complain(f"no shard made {key}")
    add_check(report, check_folder(out))
    show_violations(report["check"])
    write_report(report, out / "report.json")
    (out / "index.html").write_text(set_sheet.render_set(report), encoding="utf-8")
    say(f"report: {out / 'report.json'}")
    say(f"contact sheet: {out / 'index.html'}")
    return 0 if report["ok"] else 1
