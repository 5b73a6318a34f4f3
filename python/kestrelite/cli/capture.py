"""`kestrelite capture`: one page on a choice of device presets, a plan of one
screen in one locale, run as every plan is (pipeline.py): DIR/<device id>.png
per device, DIR/report.json and a contact sheet, DIR/index.html."""

from pathlib import Path

from .. import presets
from ..errors import UsageError
from ..plan import capture_plan, page_url
from ..setfile import toml_parser
from ..settings import DEFAULT_LOCALE, DEFAULT_TIMEZONE, capture_settings, check_locale, check_timezone
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
    parser.add_argument("--appearance", choices=("light", "dark"),
                        help="the appearance the page sees (prefers-color-scheme); default: not emulated")
    parser.add_argument("--reduced-motion", action="store_true", help="the page sees prefers-reduced-motion: reduce")
    parser.add_argument("--steps", metavar="FILE",
                        help="a TOML file of steps run before the picture (steps = [{ click = \"#menu\" }, ...])")
    parser.add_argument("--mask", action="append", metavar="SELECTOR",
                        help="record the boxes of the elements the selector matches, which compare leaves out; "
                             "repeat for several")
    add_presets(parser)
    add_run(parser, "capture")
    parser.set_defaults(handler=run)


def read_steps(path):
    """The steps of a --steps file: a TOML `steps` list of one-key tables."""
    tomllib = toml_parser()
    try:
        table = tomllib.loads(open(path, encoding="utf-8").read())
    except OSError as e:
        raise UsageError(f"{path}: cannot read the steps file: {e.strerror or e}") from None
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as e:
        raise UsageError(f"{path}: {e}") from None
    if set(table) != {"steps"}:
        raise UsageError(f"{path}: a steps file holds one key, steps (a list of steps)")
    return table["steps"]


def run(args):
    timezone = check_timezone(args.timezone) or DEFAULT_TIMEZONE
    locale = check_locale(args.locale) or DEFAULT_LOCALE
    url = page_url(args.page)
    warnings = []
    devices = presets.select(presets.load(args.presets), args.store, args.device, args.presets, warnings.append)
    steps = read_steps(args.steps) if args.steps else None
    settings = capture_settings(args.appearance, args.reduced_motion, steps, args.mask, args.steps or "--mask",
                                args.fast_png)
    plan = capture_plan(url, devices, args.seed, locale, timezone, args.presets, warnings, settings)
    return run_plan(plan, Path(args.out), args)
