"""The package's convenience layer over the module: `capture` takes a page and
settings as the command line does, checks them before any browser starts,
runs them as every command does (pipeline.py) and returns the report as a
dict. `capture_json` itself stays as it is."""

import os

from . import pipeline, presets as preset_table, report as reports
from .browser import choose_browser
from .errors import UsageError
from .plan import capture_plan, page_url
from .settings import (DEFAULT_JOBS, DEFAULT_LOCALE, DEFAULT_SEED, DEFAULT_TIMEZONE, capture_settings, check_browser,
                       check_locale, check_timezone)


def capture(page, out_dir, device_ids=None, store=None, seed=DEFAULT_SEED, locale=None, timezone=None,
            browser=None, fail_fast=False, presets=None, jobs=DEFAULT_JOBS, appearance=None, reduced_motion=False,
            steps=None, mask=None, fast_png=False):
    """Captures `page` (an http, https, file, data or about URL, or a local
    file or folder) on the presets named by `device_ids` (a repeated id once)
    or on every preset of `store` (a store name, or a list of them), `jobs`
    at a time, writes <out_dir>/<device id>.png for each and returns the run
    report as a dict (the report of `kestrelite capture`). `appearance`
    ("light" or "dark"), `reduced_motion`, `steps` (a list of steps as a set
    file writes them, {"click": "#menu"} ...), `mask` (CSS selectors) and
    `fast_png` are as `kestrelite capture`'s options. `out_dir`, `browser` and `presets` may
    be path-like.

    Raises UsageError, a ValueError, before any browser starts: both or
    neither of `device_ids` and `store`, an unknown id or store, an
    unreadable preset file, a page that is neither a URL nor a file, an
    invalid time zone or locale, a browser that is not an executable file or
    cannot be found, an output folder that cannot be written or holds a
    <device id>.png that kestrelite did not write. Ctrl-C stops the run after
    the captures under way, raising KeyboardInterrupt."""
    if device_ids is not None and store is not None:
        raise UsageError("give device_ids or store, not both")
    if device_ids is None and store is None:
        raise UsageError("specify either device_ids or store")
    if isinstance(device_ids, (str, bytes)):
        raise TypeError("device_ids must be a sequence of ids, not a single str")
    timezone = check_timezone(timezone) or DEFAULT_TIMEZONE
    locale = check_locale(locale) or DEFAULT_LOCALE
    url = page_url(page)
    preset_file = os.fspath(presets) if presets is not None else None
    stores = [store] if isinstance(store, str) else store
    table = preset_table.load(preset_file)
    settings = capture_settings(appearance, reduced_motion, steps, mask, fast_png=fast_png)
    plan = capture_plan(url, preset_table.select(table, stores, device_ids, preset_file), seed, locale, timezone,
                        preset_file, settings=settings)
    path, _ = choose_browser(browser, "browser=PATH")
    options = pipeline.Options(check_browser(path), jobs=jobs, fail_fast=fail_fast, files=False)
    return reports.to_json(pipeline.execute(plan, os.fspath(out_dir), options))

