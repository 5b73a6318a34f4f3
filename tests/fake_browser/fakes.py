"""Helpers for pytest tests that start the scripted fake browser.

A test module makes this directory importable with two lines at its top:

    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "fake_browser"))
    from fakes import make_fake_browser, read_log

`make_fake_browser(tmp_path, log=str(tmp_path / "log.jsonl"), startup="no_port")`
writes the script (members as documented in fake_browser.py) and a small sh
wrapper that starts the fake with it, and returns the wrapper's path: hand
that path to the code under test wherever a browser executable goes. Each call
makes a new pair of files, so fakes with different scripts can run at once.

Tests in other languages do the same by hand: write the script JSON, then an
executable wrapper

    #!/bin/sh
    FAKE_BROWSER_SCRIPT=/path/script.json exec /usr/bin/python3 /path/fake_browser.py "$@"
"""
import itertools
import json
import shlex
import sys
from pathlib import Path

import fake_browser

FAKE_BROWSER = Path(__file__).resolve().with_name("fake_browser.py")

_serial = itertools.count()


def make_fake_browser(tmp_path, **script):
    """Writes the script and its wrapper into tmp_path; returns the wrapper's path."""
    fake_browser.check_script(script)
    name = f"fake-browser-{next(_serial)}"
    script_path = Path(tmp_path) / f"{name}.json"
    wrapper = Path(tmp_path) / f"{name}.sh"
    script_path.write_text(json.dumps(script), encoding="utf-8")
    wrapper.write_text(
        "#!/bin/sh\n"
        "unset LD_PRELOAD\n"
        f"FAKE_BROWSER_SCRIPT={shlex.quote(str(script_path))} "
        f"exec {shlex.quote(sys.executable)} {shlex.quote(str(FAKE_BROWSER))} \"$@\"\n",
        encoding="utf-8")
    wrapper.chmod(0o755)
    return str(wrapper)


def read_log(path):
    """The DevTools messages the fake received, in order; [] when it received none."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in text.splitlines() if line]
