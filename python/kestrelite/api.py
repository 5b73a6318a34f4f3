"""The package's convenience layer over the module: `capture` takes a page and
settings as the command line does, checks them before any browser starts and
returns the run report as a dict. `capture_json` itself stays as it is."""

import contextlib
import json
import os

from . import outdir
from ._native import capture_json
from .errors import UsageError
from .selection import page_url, resolve_browser, select_devices
from .settings import check_browser, check_locale, check_timezone


def capture(page, out_dir, device_ids=None, store=None, seed=42, locale=None, timezone=None, browser=None,
            fail_fast=False, presets=None):
    """Captures `page` (an http, https, file, data or about URL, or a local
    file or folder) on the presets named by `device_ids` (a repeated id once)
    or on every preset of `store` (a store name, or a list of them), writes
    <out_dir>/<device id>.png for each and returns the run report (the
    module's, parsed). `out_dir`, `browser` and `presets` may be path-like.

    Raises UsageError, a ValueError, before any browser starts: both or
    neither of `device_ids` and `store`, an unknown id or store, an
    unreadable preset file, a page that is neither a URL nor a file, an
    invalid time zone or locale, a browser that is not an executable file or
    cannot be found, an output folder that cannot be written or holds a
    <device id>.png that kestrelite did not write. Ctrl-C stops the run after
    the device under way, raising KeyboardInterrupt."""
    if device_ids is not None and store is not None:
        raise UsageError("give device_ids or store, not both")
    if device_ids is None and store is None:
        raise UsageError("specify either device_ids or store")
    if isinstance(device_ids, (str, bytes)):
        raise TypeError("device_ids must be a sequence of ids, not a single str")
    check_timezone(timezone)
    check_locale(locale)
    url = page_url(page)
    ids = [d["id"] for d in select_devices(store, device_ids, presets)]
    browser = check_browser(resolve_browser(browser))
    out_dir = os.fspath(out_dir)
    outdir.prepare(out_dir, [name for name in map(outdir.image_name, ids) if name])
    try:
        return json.loads(capture_json(url, out_dir, ids, seed=seed, locale=locale, timezone=timezone,
                                       browser=browser, fail_fast=fail_fast, presets=presets))
    finally:
        with contextlib.suppress(OSError):
            outdir.settle(out_dir)
