"""Options that several commands share, defined once."""

import argparse

MAX_SEED = 2**64 - 1


def seed_value(text):
    try:
        seed = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= seed <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_SEED}")
    return seed


def jobs_value(text):
    try:
        jobs = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if jobs < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return jobs


def add_emulation(parser):
    parser.add_argument("--seed", type=seed_value, default=42, metavar="N",
                        help="seed of the page's random numbers (default 42)")
    parser.add_argument("--locale", metavar="L", help="locale to emulate (default en-US)")
    parser.add_argument("--timezone", metavar="Z", help="time zone to emulate, e.g. Europe/Paris (default UTC)")


def add_browser(parser):
    parser.add_argument("--browser", metavar="PATH", help="browser executable (default: what find-browser says)")


def add_presets(parser, help="preset file to use instead of the built-in presets"):
    parser.add_argument("--presets", metavar="FILE", help=help)


def add_jobs(parser):
    parser.add_argument("--jobs", "-j", type=jobs_value, default=1, metavar="N",
                        help="captures at once, each with its own browser (default 1)")
