"""The `kestrelite` command.

    kestrelite capture PAGE --out DIR (--store S | --device ID ...) [options]
    kestrelite run [SETFILE] [--out DIR] [--jobs N] [--shard I/N] [--verify] [--fail-fast]
    kestrelite check DIR
    kestrelite merge DIR... --out DIR
    kestrelite compare BASE NEW [--out DIR] [--threshold N] [--antialiasing ignore|count]
    kestrelite approve BASE NEW [--only PAIR ...]
    kestrelite review BASE NEW
    kestrelite devices [--store S] [--presets FILE] [--json]
    kestrelite find-browser
    kestrelite install-browser [--from PATH]

`main(argv)` builds one parser from the commands' modules, dispatches, and is
the one place where errors become exit statuses: 0 when everything was
captured exactly, 1 when something was not, 2 for bad arguments or a failure
before the run (or of the run as a whole), 3 for a fault of kestrelite itself,
130 after an interrupt. Every error is one line on standard error; no
traceback reaches the user.
"""

import argparse
import os
import sys

from .._native import version
from ..errors import RunError, UsageError
from . import approve, browser, capture, check, compare, devices, merge, review, run
from .output import complain

EXIT_OK = 0
EXIT_NOT_OK = 1
EXIT_USAGE = 2
EXIT_FAULT = 3
EXIT_INTERRUPTED = 130

COMMANDS = (capture, run, check, merge, compare, approve, review, devices, browser)


class Parser(argparse.ArgumentParser):
    """Reports a bad command line in one line, pointing at --help."""

    def error(self, message):
        complain(f"{message} (see `{self.prog} --help`)")
        self.exit(EXIT_USAGE)


def build_parser():
    parser = Parser(
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
    except OSError as e:
        # A file the run writes after its checks (report.json, the sheet):
        # the run as a whole failed.
        where = f"{e.filename}: " if e.filename else ""
        complain(f"{where}{e.strerror or e}")
        return EXIT_USAGE
    except Exception as e:  # noqa: BLE001 - the last line of defence for the user
        complain(f"internal error, please report it: {type(e).__name__}: {e}")
        return EXIT_FAULT
