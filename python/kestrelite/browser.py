"""The browser a capture starts, and making one available without
downloading anything.

`choose_browser` is the one chooser of every command and of the library: the
browser given, else the module's own search (KESTRELITE_CHROME, the managed
root, the usual names on PATH, then Debian's chromium-headless-shell on
PATH). The names and the managed root are the module's; nothing here
repeats them. `install_launcher` places a small shell script named
"chrome-headless-shell" below the managed root which runs a browser already
on the machine, so that the search finds it from then on.
"""

import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile

from ._native import _BROWSER_NAMES, _choose_browser, _managed_root
from .errors import UsageError

LAUNCHER_NAME = "chrome-headless-shell"
FOUND_ON_PATH = "found on PATH"

# Real executables first: Debian's /usr/bin/chromium-headless-shell is a shell
# wrapper that does not exec, so killing it would leave the browser running.
LOCAL_BROWSERS = (
    "/usr/lib/chromium/chromium-headless-shell",
    "/usr/bin/chromium-headless-shell",
    "/usr/lib/chromium/headless_shell",
    "/opt/google/chrome-headless-shell/chrome-headless-shell",
    "/usr/lib/chromium/chromium",
    "/usr/bin/chromium",
    "/usr/lib/chromium-browser/chromium-browser",
    "/usr/bin/chromium-browser",
    "/opt/google/chrome/chrome",
    "/usr/bin/google-chrome-stable",
    "/usr/bin/google-chrome",
    "/Applications/Chromium.app/Contents/MacOS/Chromium",
    "/Applications/Google Chrome.app/Contents/MacOS/Google Chrome",
)


# What a Chromium-family browser prints for --version: its name and a
# four-part version number ("Chromium 156.0.8078.129", "Google Chrome
# 120.0.6099.109").
VERSION_LINE = re.compile(r"(\S.*?)\s+(\d+\.\d+\.\d+\.\d+)\b.*")
VERSION_TIMEOUT = 10


class SetupError(Exception):
    """A browser could not be made available; the message says why and what to do."""


def browser_version(program, timeout=VERSION_TIMEOUT):
    """The version line a Chromium-family browser prints for `program
    --version`, such as "Chromium 156.0.8078.129". Raises SetupError when the
    program cannot be started, does not answer within `timeout` seconds
    (everything it started is then killed), or prints no such line."""
    try:
        child = subprocess.Popen([program, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, start_new_session=True)
    except OSError as e:
        raise SetupError(f"cannot run {program}: {e.strerror or e}") from None
    try:
        output, _ = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        # Its own process group: a wrapper script that does not exec (as
        # Debian's does) must not leave the browser behind.
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        raise SetupError(f"{program} is not a Chromium-family browser: `{program} --version` "
                         f"gave no answer within {timeout} s") from None
    for line in output.decode("utf-8", "replace").splitlines():
        if VERSION_LINE.fullmatch(line.strip()):
            return line.strip()
    said = f"failed (exit status {child.returncode})" if child.returncode else "printed no version"
    raise SetupError(f"{program} is not a Chromium-family browser: `{program} --version` {said}")


def managed_root():
    """$KESTRELITE_HOME/browser, else ~/.kestrelite/browser: where the
    module's search looks for chrome-headless-shell."""
    return _managed_root()


def remedies(option):
    """What to do when no browser is found, each remedy once; `option` is how
    the caller names a browser (--browser PATH, browser=...)."""
    if os.environ.get("KESTRELITE_CHROME", "").strip():
        return f"Point KESTRELITE_CHROME at a browser executable or unset it, or pass {option}."
    return ("Install one (Debian: apt-get install chromium-headless-shell), run `kestrelite install-browser` "
            f"(it uses a Chromium already on this machine, or the one given with --from PATH), set KESTRELITE_CHROME, "
            f"or pass {option}.")


def choose_browser(given=None, option="--browser PATH"):
    """The browser for every capture of a run, and how it was found (None,
    or FOUND_ON_PATH when only Debian's name on PATH found it): the one
    given, else the module's search, looked up once so that all captures use
    the same. Raises UsageError with what to do when there is none."""
    if given is not None:
        return os.fspath(given), None
    try:
        path, debian_shell = _choose_browser()
    except RuntimeError as e:
        raise UsageError(f"{e}.\n  {remedies(option)}") from None
    return path, FOUND_ON_PATH if debian_shell else None


def is_executable_file(path):
    return os.path.isfile(path) and os.access(path, os.X_OK)


def find_local_browser(root):
    """The first known Chromium-family executable on this machine, or None.
    Anything inside the managed root is skipped: that is our own launcher."""
    inside = os.path.realpath(root) + os.sep
    candidates = list(LOCAL_BROWSERS)
    candidates += [found for name in _BROWSER_NAMES if (found := shutil.which(name))]
    for path in candidates:
        if is_executable_file(path) and not os.path.realpath(path).startswith(inside):
            return os.path.abspath(path)
    return None


def launcher_text(program):
    return (
        "#!/bin/sh\n"
        "# Placed by `kestrelite install-browser`; runs the browser below.\n"
        f"exec {shlex.quote(program)} \"$@\"\n"
    )


def install_launcher(program, root=None):
    """Writes ROOT/chrome-headless-shell, an executable script that execs
    `program` with its arguments; returns (launcher path, True if it replaced
    an earlier one). Raises SetupError when `program` is not an executable
    file or the launcher cannot be written."""
    if not os.path.isfile(program):
        raise SetupError(f"{program} is not a file")
    if not os.access(program, os.X_OK):
        raise SetupError(f"{program} is not executable")
    program = os.path.abspath(program)
    root = managed_root() if root is None else root
    launcher = os.path.join(root, LAUNCHER_NAME)
    if os.path.isdir(launcher):
        raise SetupError(f"{launcher} is a directory; move it away and run install-browser again")
    replaced = os.path.lexists(launcher)
    try:
        os.makedirs(root, exist_ok=True)
        # Written beside the target and renamed over it, so a browser search
        # running at the same time never sees a half-written launcher.
        fd, temporary = tempfile.mkstemp(dir=root, prefix=".launcher-")
        try:
            with os.fdopen(fd, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write(launcher_text(program))
            os.chmod(temporary, 0o755)
            os.replace(temporary, launcher)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as e:
        raise SetupError(f"cannot write {launcher}: {e.strerror or e}") from None
    return launcher, replaced
