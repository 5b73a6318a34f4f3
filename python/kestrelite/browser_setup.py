"""Makes a browser available to kestrelite without downloading anything.

The native module looks for an executable named "chrome-headless-shell" below
its managed root before it searches PATH. `install_launcher` places a small
shell script of that name there which runs a browser already on the machine,
so discovery finds it from then on. `managed_root` computes the root from the
environment the same way the native core does, so both agree on the place.
"""

import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile

LAUNCHER_NAME = "chrome-headless-shell"

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

NAMES_IN_PATH = ("chromium-headless-shell", "chromium", "chromium-browser", "google-chrome-stable", "google-chrome")


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
    """$KESTRELITE_HOME/browser when that is set and not empty, else
    $HOME/.kestrelite/browser ($HOME counts even when empty), else the same
    under $USERPROFILE, else under the current directory."""
    base = os.environ.get("KESTRELITE_HOME")
    if base:
        return os.path.join(base, "browser")
    home = os.environ.get("HOME")
    if home is None:
        home = os.environ.get("USERPROFILE", ".")
    return os.path.join(home, ".kestrelite", "browser")


def is_executable_file(path):
    return os.path.isfile(path) and os.access(path, os.X_OK)


def find_local_browser(root):
    """The first known Chromium-family executable on this machine, or None.
    Anything inside the managed root is skipped: that is our own launcher."""
    inside = os.path.realpath(root) + os.sep
    candidates = list(LOCAL_BROWSERS)
    candidates += [found for name in NAMES_IN_PATH if (found := shutil.which(name))]
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
