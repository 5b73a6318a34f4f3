"""`kestrelite check`: a finished run folder against the stores' rules."""

from ..check import ERROR, check_folder
from .output import plural, say


def register(commands):
    parser = commands.add_parser(
        "check", help="check a run folder against the stores' screenshot rules",
        description="Check the images of a set run folder (plain or fastlane layout) against the App Store's "
                    "and Google Play's screenshot rules: one line per broken rule.",
        epilog="Exit status: 0 when no error was found (warnings allowed), 1 when one was, "
               "2 when DIR is not a run folder.")
    parser.add_argument("folder", metavar="DIR", help="a folder written by `kestrelite run` or `merge`")
    parser.set_defaults(handler=run)


def show_violations(violations):
    """Prints the violations and a count; returns the number of errors."""
    for violation in violations:
        say(str(violation))
    errors = sum(1 for v in violations if v.level == ERROR)
    warnings = len(violations) - errors
    say(f"check: {plural(errors, 'error')}, {plural(warnings, 'warning')}")
    return errors


def run(args):
    return 1 if show_violations(check_folder(args.folder)) else 0
