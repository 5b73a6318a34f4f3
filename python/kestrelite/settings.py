"""The settings of a capture: their defaults, named once, and their checks
before any browser starts (the time zone, the locale and the browser
executable). Each check takes the value as given and returns it unchanged or
raises UsageError naming it; None (not given) passes, since the module then
uses its default."""

import functools
import json
import os
import re

from ._native import _check_settings, _defaults
from .errors import UsageError

# What the module applies when a capture is given nothing else.
_MODULE = json.loads(_defaults())
DEFAULT_SEED = _MODULE["seed"]
DEFAULT_LOCALE = _MODULE["locale"]
DEFAULT_TIMEZONE = _MODULE["timezone"]
SETTLE_DEADLINE_MS = _MODULE["settle_timeout_ms"]
# Captures at once, each with a browser of its own: two, where there are
# two processors. The browser's PNG encoder, which takes most of a large
# screenshot's time, uses one processor; a second capture meanwhile uses
# the other (bench/e2e.py: 18 captures 0.67 of the time of one at a time).
DEFAULT_JOBS = min(2, os.cpu_count() or 1)
MAX_SEED = 2**64 - 1

try:
    import zoneinfo
except ImportError:  # Python 3.8: no zone database to ask
    zoneinfo = None

# A zone database file that is no zone for the browser.
NOT_ZONES = {"localtime"}

# The browser also takes an offset from GMT, as "GMT+05:30" or "GMT-3".
GMT_OFFSET = re.compile(r"GMT[+-](?:[01]?\d|2[0-3])(?::?[0-5]\d)?")

# The form of a zone name, for a machine without a zone database.
ZONE_FORM = re.compile(r"[A-Za-z][A-Za-z0-9_+-]*(?:/[A-Za-z0-9_+-]+)*")

# A BCP 47 language tag (RFC 5646) with a two- or three-letter language,
# the only kind registered and the only kind the browser takes.
LANGUAGE_TAG = re.compile(r"""
    [a-z]{2,3} (?:-[a-z]{3}){0,3}               # language, extended languages
    (?:-[a-z]{4})?                              # script
    (?:-(?:[a-z]{2}|[0-9]{3}))?                 # region
    (?:-(?:[a-z0-9]{5,8}|[0-9][a-z0-9]{3}))*    # variants
    (?:-[0-9a-wyz](?:-[a-z0-9]{2,8})+)*         # extensions
    (?:-x(?:-[a-z0-9]{1,8})+)?                  # private use
    """, re.VERBOSE | re.IGNORECASE)


@functools.lru_cache(maxsize=1)
def zone_names():
    """The names of the system's zone database (empty when it has none)."""
    if zoneinfo is None:
        return frozenset()
    return frozenset(zoneinfo.available_timezones()) - NOT_ZONES


def check_timezone(timezone):
    """A name of the system's zone database (exactly, letter case included,
    as the browser compares them) or an offset from GMT. Without a zone
    database only the form of the name is checked."""
    if timezone is None:
        return None
    if not timezone:
        raise UsageError("invalid time zone '': empty; give one such as Europe/Paris or UTC")
    known = zone_names()
    if timezone in known or timezone == "UTC" or GMT_OFFSET.fullmatch(timezone):
        return timezone
    if not known and ZONE_FORM.fullmatch(timezone):
        return timezone
    hint = ""
    for name in known:
        if name.lower() == timezone.lower():
            hint = f" (did you mean {name}?)"
            break
    raise UsageError(f"invalid time zone {timezone!r}: not in the zone database{hint}; "
                     "give a name such as Europe/Paris or UTC")


def check_locale(locale):
    """A well-formed BCP 47 language tag such as en-US, pt-BR or zh-Hant-TW."""
    if locale is None:
        return None
    if not locale:
        raise UsageError("invalid locale '': empty; give a BCP 47 language tag such as en-US")
    if LANGUAGE_TAG.fullmatch(locale):
        return locale
    hint = ""
    if "_" in locale and LANGUAGE_TAG.fullmatch(locale.replace("_", "-")):
        hint = f" (BCP 47 separates with hyphens: {locale.replace('_', '-')})"
    raise UsageError(f"invalid locale {locale!r}: not a BCP 47 language tag such as en-US or pt-BR{hint}")


def check_browser(path):
    """An existing executable file (symbolic links followed)."""
    path = os.fspath(path)
    if not os.path.exists(path):
        raise UsageError(f"browser {path}: no such file")
    if os.path.isdir(path):
        raise UsageError(f"browser {path} is a folder, not an executable")
    if not os.access(path, os.X_OK):
        raise UsageError(f"browser {path} is not executable")
    return path


def capture_settings(appearance=None, reduced_motion=False, steps=None, mask=None, where="settings", fast_png=False):
    """What a capture emulates and does besides its page, as the module
    takes it, checked by the module now: raises UsageError naming the
    setting (`where` says whose)."""
    made = {}
    if appearance is not None:
        made["appearance"] = appearance
    if reduced_motion:
        made["reduced_motion"] = True
    if steps is not None:
        made["steps"] = list(steps)
    if mask is not None:
        made["mask"] = list(mask)
    if fast_png:
        made["fast_png"] = True
    try:
        _check_settings(json.dumps(made))
    except (ValueError, TypeError) as e:
        message = str(e)
        if message.startswith("setting '"):
            name, _, rest = message[len("setting '"):].partition("' ")
            message = f"{name}: {rest}"
        raise UsageError(f"{where}: {message}") from None
    return made
