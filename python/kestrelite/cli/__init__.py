"""The `kestrelite` command.

    kestrelite capture PAGE --out DIR (--store S | --device ID ...) [options]
    kestrelite devices [--store S] [--presets FILE] [--json]
    kestrelite find-browser
    kestrelite install-browser [--from PATH]

`main(argv)` builds one parser from the commands' modules, dispatches, and is
the one place where errors become exit statuses: 0 when everything was
captured exactly, 1 when something was not, 2 for bad arguments or a failure
before the run (or of the run as a whole), 130 after an interrupt.
"""

import argparse
import os
import sys

from .._native import version
from ..errors import RunError, UsageError
from . import browser, capture, devices
from .output import complain

EXIT_OK = 0
EXIT_NOT_OK = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

COMMANDS = (capture, devices, browser)


def build_parser():
    parser = argparse.ArgumentParser(
        prog="kestrelite",
        description="Reproducible, pixel-exact app-store screenshots of a web page.",
        epilog="Run `kestrelite COMMAND --help` for the options of a command.")
    parser.add_argument("--version", action="version", version=f"kestrelite {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        command.register(commands)
    return parser


def main(argv=None):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else EXIT_USAGE
    try:
        return args.handler(args)
    except (UsageError, RunError) as e:
        complain(e)
        return EXIT_USAGE
    except KeyboardInterrupt:
        complain("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `kestrelite devices | head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_NOT_OK
