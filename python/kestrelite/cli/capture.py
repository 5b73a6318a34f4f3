"""`kestrelite capture`: one page on a choice of device presets, a plan of one
screen in one locale, run as every plan is (pipeline.py): DIR/<device id>.png
per device, DIR/report.json and a contact sheet, DIR/index.html."""

from pathlib import Path

from .. import presets
from ..plan import capture_plan, page_url
from ..settings import DEFAULT_LOCALE, DEFAULT_TIMEZONE, check_locale, check_timezone
from .options import add_emulation, add_presets, add_run
from .running import run_plan


def register(commands):
    parser = commands.add_parser(
        "capture", help="capture a page on device presets",
        description="Capture a page on device presets: DIR/<device id>.png per device, "
                    "DIR/report.json and a contact sheet DIR/index.html.",
        epilog="Exit status: 0 when every device is exact, 1 when a device is not "
               "(or --verify saw a difference), 2 for bad arguments or a failure before the run, "
               "3 for a fault of kestrelite itself, 130 when interrupted.")
    parser.add_argument("page", metavar="PAGE",
                        help="an http(s), file, data or about URL, or a local file "
                             "(a directory means its index.html)")
    parser.add_argument("--out", "-o", required=True, metavar="DIR",
                        help="output directory (created if needed); a file in it that kestrelite did not "
                             "write is never replaced")
    selection = parser.add_mutually_exclusive_group(required=True)
    selection.add_argument("--store", "-s", action="append", metavar="S",
                           help="every preset of a store: apple, play or web; repeat for several stores")
    selection.add_argument("--device", "-d", action="append", metavar="ID",
                           help="a preset id; repeat for several devices (see `kestrelite devices`)")
    add_emulation(parser)
    add_presets(parser)
    add_run(parser, "capture")
    parser.set_defaults(handler=run)


def run(args):
    timezone = check_timezone(args.timezone) or DEFAULT_TIMEZONE
    locale = check_locale(args.locale) or DEFAULT_LOCALE
    url = page_url(args.page)
    warnings = []
    devices = presets.select(presets.load(args.presets), args.store, args.device, args.presets, warnings.append)
    plan = capture_plan(url, devices, args.seed, locale, timezone, args.presets, warnings)
    return run_plan(plan, Path(args.out), args)
