"""`kestrelite find-browser` and `kestrelite install-browser`."""

import os

from .. import browser as browsers
from .._native import find_browser
from ..errors import UsageError
from .output import complain, say


def register(commands):
    finder = commands.add_parser("find-browser", help="print the browser kestrelite would use",
                                 description="Print the browser executable kestrelite would use.")
    finder.set_defaults(handler=run_find)

    installer = commands.add_parser(
        "install-browser", help="make a local browser available under kestrelite's managed root",
        description="Place a launcher named chrome-headless-shell under the managed root "
                    f"({browsers.managed_root()}) that runs a browser already on this machine. "
                    "Nothing is downloaded.")
    installer.add_argument("--from", dest="source", metavar="PATH",
                           help="the browser executable to run (default: a Chromium found on this machine)")
    installer.set_defaults(handler=run_install)


def run_find(args):
    try:
        browser, how = browsers.choose_browser()
    except UsageError as e:
        complain(e)
        return 1
    say(browser)
    if how is not None:
        complain(f"{how}: the command line and the library use it; for the module's find_browser() and "
                 "capture_json(), run `kestrelite install-browser` or set KESTRELITE_CHROME")
    return 0


def run_install(args):
    root = browsers.managed_root()
    program = args.source
    if program is None:
        program = browsers.find_local_browser(root)
        if program is None:
            complain("found no Chromium-family browser on this machine to use.\n"
                     "  Install one (on Debian or Ubuntu: apt-get install chromium-headless-shell), "
                     "then run `kestrelite install-browser` again, or run "
                     "`kestrelite install-browser --from PATH` with a browser executable, "
                     "or set KESTRELITE_CHROME.")
            return 1
        say(f"found {program}")
    try:
        version_line = None
        if browsers.is_executable_file(program):
            # A launcher for something that is no browser would fail every capture later.
            version_line = browsers.browser_version(program)
        launcher, replaced = browsers.install_launcher(program, root)
    except browsers.SetupError as e:
        complain(e)
        return 2 if args.source is not None else 1
    say(f"{'replaced' if replaced else 'installed'} {launcher}, a launcher that runs {os.path.abspath(program)}"
        f" ({version_line})")
    try:
        used = find_browser()
    except RuntimeError as e:
        complain(f"but kestrelite does not find it: {e}")
        return 1
    if os.path.abspath(used) == os.path.abspath(launcher):
        say("kestrelite uses it from now on (see `kestrelite find-browser`)")
    else:
        say(f"note: kestrelite uses {used} instead, because KESTRELITE_CHROME is set")
    return 0
