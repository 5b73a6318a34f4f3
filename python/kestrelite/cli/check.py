"""`kestrelite check`: a finished run folder against the stores' rules."""

from ..check import check_folder, split
from .running import show_violations


def register(commands):
    parser = commands.add_parser(
        "check", help="check a run folder against the stores' screenshot rules",
        description="Check the images of a set run folder (plain or fastlane layout) against the App Store's "
                    "and Google Play's screenshot rules: one line per broken rule.",
        epilog="Exit status: 0 when no error was found (warnings allowed), 1 when one was, "
               "2 when DIR is not a run folder.")
    parser.add_argument("folder", metavar="DIR", help="a folder written by `kestrelite run` or `merge`")
    parser.set_defaults(handler=run)


def run(args):
    found = split(check_folder(args.folder))
    show_violations(found)
    return 1 if found["errors"] else 0
