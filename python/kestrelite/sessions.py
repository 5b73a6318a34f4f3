"""Sessions for the commands that capture many times (`run`, and `capture`
with several devices): one browser per concurrent capture, reused by the
captures that follow it, each capture in a fresh browser context of its own
(kestrelite.Session)."""

import json
import os
import threading

from ._native import Session


class SessionPool:
    """Lends sessions to captures running at once, at most `size` of them
    (the number of jobs). A capture borrows an idle session of its locale
    and time zone, or a new one; when `size` sessions exist already, an idle
    one of other settings is closed first, so no more than `size` browsers
    ever run. `close()` ends them all; use the pool as a context manager."""

    def __init__(self, size, browser, seed, presets):
        self.size, self.browser, self.seed, self.presets = size, browser, seed, presets
        self._idle = []  # [(settings, session)]
        self._count = 0
        self._lock = threading.Lock()

    def capture(self, url, device_id, path, locale=None, timezone=None):
        """Captures `url` on `device_id` into the file `path` and returns the
        device's result as a dict (an entry of a run report's "results")."""
        settings = (locale, timezone)
        session = self._borrow(settings)
        try:
            return json.loads(session.capture_json(url, device_id, os.fspath(path)))
        finally:
            with self._lock:
                self._idle.append((settings, session))

    def _borrow(self, settings):
        retired = None
        with self._lock:
            for i, (held, session) in enumerate(self._idle):
                if held == settings:
                    return self._idle.pop(i)[1]
            if self._count >= self.size and self._idle:
                retired = self._idle.pop(0)[1]
            else:
                self._count += 1
        if retired is not None:
            retired.close()
        locale, timezone = settings
        try:
            return Session(browser=self.browser, locale=locale, timezone=timezone, seed=self.seed,
                           presets=self.presets)
        except BaseException:
            with self._lock:
                self._count -= 1
            raise

    def close(self):
        with self._lock:
            idle, self._idle = self._idle, []
        for _, session in idle:
            session.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
