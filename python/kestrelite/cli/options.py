"""Options that several commands share, defined once."""

import argparse

from ..compare import load_run
from ..errors import UsageError

MAX_SEED = 2**64 - 1


def whole_number(low, high=None):
    """An argparse type: a decimal whole number from `low` to `high` (no
    upper bound when None), named in the message when it is out of range."""
    def value(text):
        try:
            number = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if high is not None and not low <= number <= high:
            raise argparse.ArgumentTypeError(f"must be between {low} and {high}")
        if number < low:
            raise argparse.ArgumentTypeError("must be 0 or more" if low == 0 else f"must be at least {low}")
        return number
    return value


seed_value = whole_number(0, MAX_SEED)
jobs_value = whole_number(1)


def add_emulation(parser):
    parser.add_argument("--seed", type=seed_value, default=42, metavar="N",
                        help="seed of the page's random numbers (default 42)")
    parser.add_argument("--locale", metavar="L", help="locale to emulate (default en-US)")
    parser.add_argument("--timezone", metavar="Z", help="time zone to emulate, e.g. Europe/Paris (default UTC)")


def add_browser(parser):
    parser.add_argument("--browser", metavar="PATH", help="browser executable (default: what find-browser says)")


def add_presets(parser, help="preset file to use instead of the built-in presets"):
    parser.add_argument("--presets", metavar="FILE", help=help)


def add_fresh_browser(parser):
    parser.add_argument("--fresh-browser", action="store_true",
                        help="start a fresh browser for every capture, instead of one browser per job "
                             "with a fresh browser context for every capture")


def add_jobs(parser):
    parser.add_argument("--jobs", "-j", type=jobs_value, default=1, metavar="N",
                        help="captures at once, each with its own browser (default 1)")


def add_baseline(parser, kind):
    """--baseline DIR: a finished run folder of the same kind, checked when
    the arguments are read, before any browser starts."""
    def baseline_value(text):
        try:
            found = load_run(text)["kind"]
        except UsageError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
        if found != kind:
            raise argparse.ArgumentTypeError(f"{text} holds a {found} run, not a {kind} run")
        return text
    parser.add_argument("--baseline", type=baseline_value, metavar="DIR",
                        help="after the run, compare it with the run in DIR (see `kestrelite compare`); "
                             "the differences go to OUT/compare, and any change makes the exit status 1")
