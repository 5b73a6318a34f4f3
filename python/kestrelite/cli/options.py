"""Options that several commands share, defined once."""

import argparse

from ..compare import load_run
from ..errors import UsageError
from ..settings import DEFAULT_JOBS, DEFAULT_SEED, MAX_SEED


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


def add_emulation(parser):
    parser.add_argument("--seed", type=whole_number(0, MAX_SEED), default=DEFAULT_SEED, metavar="N",
                        help=f"seed of the page's random numbers (default {DEFAULT_SEED})")
    parser.add_argument("--locale", metavar="L", help="locale to emulate (default en-US)")
    parser.add_argument("--timezone", metavar="Z", help="time zone to emulate, e.g. Europe/Paris (default UTC)")


def add_presets(parser, help="preset file to use instead of the built-in presets"):
    parser.add_argument("--presets", metavar="FILE", help=help)


def add_run(parser, kind):
    """The options of a command that captures: jobs, fail-fast, verify,
    browser, fresh browsers and a baseline of `kind` ("capture" or "set")."""
    unit = "device" if kind == "capture" else "capture"
    parser.add_argument("--jobs", "-j", type=whole_number(1), default=DEFAULT_JOBS, metavar="N",
                        help=f"captures at once, each with its own browser (default {DEFAULT_JOBS})")
    parser.add_argument("--fail-fast", action="store_true",
                        help=f"start no further {unit} once one is not exact; captures already running still "
                             "finish and are reported")
    parser.add_argument("--verify", action="store_true",
                        help="capture everything a second time and compare the digests; exit 1 if any differs")
    parser.add_argument("--browser", metavar="PATH", help="browser executable (default: what find-browser says)")
    parser.add_argument("--fast-png", action="store_true",
                        help="the browser's faster PNG encoding: about three times faster on large screens, "
                             "files about twice as large, the same pixels; the report says so")
    parser.add_argument("--fresh-browser", action="store_true",
                        help="start a fresh browser for every capture, instead of one browser per job "
                             "with a fresh browser context for every capture")

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
