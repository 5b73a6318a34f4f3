"""What a run captures and with which browser: the page's URL, the chosen
presets and the browser executable, each checked before any browser starts."""

import json
import os
import shutil
from pathlib import Path
from urllib.parse import urlsplit

from ._native import devices_json, find_browser
from .browser_setup import NAMES_IN_PATH
from .errors import UsageError

URL_SCHEMES = ("http", "https", "file", "data", "about")


def page_url(page):
    """URLs of the accepted schemes stay as given; a local file becomes an
    absolute file:// URL, a directory the URL of its index.html."""
    page = os.fspath(page)
    if urlsplit(page).scheme.lower() in URL_SCHEMES:
        return page
    path = Path(page)
    if path.is_dir():
        path = path / "index.html"
        if not path.is_file():
            raise UsageError(f"{page} is a directory without an index.html")
    if not path.is_file():
        raise UsageError(f"{page} is neither an existing file nor an http(s), file, data or about URL")
    return path.resolve().as_uri()


def select_devices(store=None, device_ids=None, presets=None, warn=None):
    """The chosen presets in capture order, as the module lists them: every
    preset of `store` (a store name, or a list of them: the stores one after
    the other), or the presets named by `device_ids` in their order. A
    repeated id or store is captured once (`warn` is told)."""
    try:
        if store is not None:
            chosen = {}
            for name in [store] if isinstance(store, str) else store:
                found = json.loads(devices_json(name, presets))
                if not found:
                    raise UsageError(f"no presets for store {name}")
                if all(d["id"] in chosen for d in found):
                    if warn is not None:
                        warn(f"store {name} is named twice; capturing its devices once")
                    continue
                chosen.update((d["id"], d) for d in found if d["id"] not in chosen)
            return list(chosen.values())
        table = {d["id"]: d for d in json.loads(devices_json(None, presets))}
    except UsageError:
        raise
    except (ValueError, OSError) as e:
        raise UsageError(str(e)) from None
    chosen = []
    for device_id in device_ids or ():
        if device_id not in table:
            raise UsageError(f"unknown device id: {device_id} (`kestrelite devices` lists them)")
        if any(d["id"] == device_id for d in chosen):
            if warn is not None:
                warn(f"device {device_id} is named twice; capturing it once")
            continue
        chosen.append(table[device_id])
    return chosen


def browser_hint():
    if os.environ.get("KESTRELITE_CHROME", "").strip():
        return "Point KESTRELITE_CHROME at a browser executable or unset it, or pass --browser PATH."
    return ("Run `kestrelite install-browser` (it uses a Chromium already on this machine, "
            "or the one given with --from PATH), set KESTRELITE_CHROME, or pass --browser PATH.")


FOUND_ON_PATH = "found on PATH"


def discover_browser():
    """The browser the module would discover and None, or, when the module
    finds none and KESTRELITE_CHROME is not set, the first of NAMES_IN_PATH
    on PATH (Debian's chromium-headless-shell first, a name the module does
    not look for) and FOUND_ON_PATH. Raises RuntimeError with the module's
    message when there is neither."""
    try:
        return find_browser(), None
    except RuntimeError:
        if not os.environ.get("KESTRELITE_CHROME", "").strip():
            for name in NAMES_IN_PATH:
                found = shutil.which(name)
                if found:
                    return found, FOUND_ON_PATH
        raise


def resolve_browser(given=None):
    """The browser for every device of a run: the one given, else the one the
    module would discover, looked up once so that all devices use the same."""
    if given is not None:
        return os.fspath(given)
    try:
        return find_browser()
    except RuntimeError as e:
        raise UsageError(f"{e}\n  {browser_hint()}") from None


def choose_browser(given=None):
    """The command line's resolve_browser, which also looks on PATH
    (discover_browser); returns the browser and how it was found (None when
    given or found by the module)."""
    if given is not None:
        return os.fspath(given), None
    try:
        return discover_browser()
    except RuntimeError as e:
        raise UsageError(f"{e}\n  {browser_hint()}") from None
