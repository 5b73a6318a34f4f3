"""The set file, kestrelite.toml: which screens, in which locales, on which
devices, and where the images go. `load_set` reads and checks all of it
before any browser starts and returns a Plan (plan.py) with one Job per
capture.

Every mistake is a SetFileError (a UsageError) whose text names the file and
the key (`screen[2].page`) or, for TOML syntax, the line.
"""

import hashlib
import json
import re
from pathlib import Path
from urllib.parse import urlsplit

from . import layout, presets
from ._native import _check_settings as check_settings, devices_json
from .compare import read_threshold
from .errors import UsageError
from .plan import URL_SCHEMES, Job, Plan
from .settings import DEFAULT_SEED, DEFAULT_TIMEZONE, MAX_SEED, check_locale, check_timezone
from .store_languages import is_store_code, store_language, store_name

MAX_SCREENS = 99  # the two-digit position in fastlane file names
SCREEN_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]*\Z")
KEYS = ("out", "layout", "stores", "devices", "locales", "appearances", "reduced_motion", "contrast",
        "forced_colors", "timezone", "timezones", "seed", "presets", "store_languages", "screen", "feature_graphic",
        "tv_banner")
SCREEN_KEYS = ("name", "page", "devices", "stores", "steps", "mask", "threshold")
APPEARANCES = ("light", "dark")
# What a page may hold in braces; "{{" and "}}" stand for braces themselves.
PLACEHOLDERS = {
    "locale": "the locale (de-DE)",
    "appearance": "the appearance, in a set with appearances (dark)",
    "language": "the locale's language (de)",
    "apple_language": "the locale's App Store folder (de-DE)",
    "play_language": "the locale's Play folder (de-DE)",
}
PLACEHOLDER = re.compile(r"\{\{|\}\}|\{([^{}]*)\}")


class SetFileError(UsageError):
    """A mistake in a set file, named by file and key or line."""


def toml_parser():
    """The standard library's TOML parser, or on Pythons before 3.11 the same
    parser packaged alone (Debian's python3-tomli). Imported only when a set
    file is read, so that every other command works without it."""
    try:
        import tomllib
    except ImportError:
        try:
            import tomli as tomllib
        except ImportError:
            raise UsageError("reading a set file needs Python 3.11 or later, or the tomli package "
                             "(Debian: apt-get install python3-tomli)") from None
    return tomllib


def load_set(path):
    """Reads, checks and expands the set file at `path`."""
    tomllib = toml_parser()
    path = Path(path)
    name = str(path)
    try:
        data = path.read_bytes()
    except OSError as e:
        raise SetFileError(f"{name}: cannot read the set file: {e.strerror or e}") from None
    try:
        table = tomllib.loads(data.decode("utf-8"))
    except UnicodeDecodeError as e:
        raise SetFileError(f"{name}: not UTF-8 text (byte {e.start})") from None
    except tomllib.TOMLDecodeError as e:
        raise SetFileError(f"{name}: {e}") from None
    return _Reader(name, path.resolve(), table, hashlib.sha256(data).hexdigest()).plan()


class _Reader:
    def __init__(self, name, path, table, digest):
        self.name, self.path, self.base, self.table, self.digest = name, path, path.parent, table, digest
        self.warnings = []

    def fail(self, key, message):
        raise SetFileError(f"{self.name}: {key}: {message}")

    def get(self, key, kind, default=None, table=None, where=None):
        table = self.table if table is None else table
        where = where or key
        if key not in table:
            return default
        value = table[key]
        if kind is list:
            if not isinstance(value, list) or not value or not all(isinstance(v, str) for v in value):
                self.fail(where, "must be a non-empty list of strings")
        elif kind is int:
            if isinstance(value, bool) or not isinstance(value, int):
                self.fail(where, f"must be a whole number, not {type(value).__name__}")
        elif not isinstance(value, kind):
            want = {str: "a string", dict: "a table", bool: "true or false"}[kind]
            self.fail(where, f"must be {want}, not {type(value).__name__}")
        return value

    def plan(self):
        for key in self.table:
            if key not in KEYS:
                self.fail(key, f"unknown key (known: {', '.join(KEYS)})")
        layout_name = self.get("layout", str, "plain")
        if layout_name not in layout.LAYOUTS:
            self.fail("layout", f"must be one of {', '.join(layout.LAYOUTS)}, not {layout_name!r}")
        locales = self.locales()
        timezone = self.setting(check_timezone, "timezone", self.get("timezone", str, DEFAULT_TIMEZONE))
        timezones = self.timezones(locales)
        seed = self.get("seed", int, DEFAULT_SEED)
        if not 0 <= seed <= MAX_SEED:
            self.fail("seed", f"must be between 0 and {MAX_SEED}")
        preset_file = self.get("presets", str)
        if preset_file is not None:
            preset_file = str(self.base / preset_file)
            if not Path(preset_file).is_file():
                self.fail("presets", f"no such file: {preset_file}")
        devices = self.devices(preset_file)
        appearances = self.appearances()
        media = self.media()
        folders = self.store_languages(locales)
        languages = {store: {locale: store_language(locale, store, folders[store]) for locale in locales}
                     for store in ("apple", "play")}
        screens = self.screens(layout_name, locales, devices, preset_file, languages, appearances)
        plan = Plan(kind="set", file=self.name, path=str(self.path), digest=self.digest,
                    out=self.base / self.get("out", str, "shots"), layout=layout_name, locales=locales,
                    timezone=timezone, timezones=timezones, seed=seed, presets=preset_file,
                    screens=[s["name"] for s in screens], appearances=appearances, devices=devices,
                    warnings=self.warnings, settings=media,
                    thresholds={s["name"]: s["threshold"] for s in screens if "threshold" in s})
        singles = {key: self.single(key, screens, devices) for key in ("feature_graphic", "tv_banner")}
        if layout_name == "fastlane":
            self.check_languages(locales, devices, languages)
            self.check_apple_names(devices)
        place = layout.placer(layout_name, plan.screens, singles, languages, devices, appearances)
        for locale in locales:
            for screen in screens:
                for appearance in appearances or [None]:
                    for device in screen["devices"]:
                        target = place(locale, screen["name"], device, appearance)
                        if target is not None:
                            plan.jobs.append(Job(locale, screen["name"], device, screen["pages"][(locale, appearance)],
                                                 timezones.get(locale, timezone), target, appearance,
                                                 {**media, **screen["settings"]}))
        if layout_name == "fastlane":
            self.check_collisions(plan.jobs)
        other = sorted({d["id"] for d in devices if layout_name == "fastlane" and layout.is_other(d)})
        if other:
            plan.notes.append(f"{', '.join(other)}: no upload tool has a folder for "
                              f"{'this device' if len(other) == 1 else 'these devices'}; the images are in other/")
        return plan

    def appearances(self):
        appearances = self.get("appearances", list, [])
        for i, appearance in enumerate(appearances, 1):
            if appearance not in APPEARANCES:
                self.fail(f"appearances[{i}]", f"must be one of {', '.join(APPEARANCES)}, not {appearance!r}")
            if appearance in appearances[:i - 1]:
                self.fail(f"appearances[{i}]", f"{appearance} is listed twice")
        return appearances

    def media(self):
        """The media features every capture of the set emulates."""
        made = {}
        for key in ("reduced_motion", "forced_colors"):
            if self.get(key, bool, False):
                made[key] = True
        contrast = self.get("contrast", str)
        if contrast is not None:
            if contrast not in ("more", "less"):
                self.fail("contrast", f"must be more or less, not {contrast!r}")
            made["contrast"] = contrast
        return made

    def capture_settings(self, settings, where):
        """Steps and masks as the module reads them, checked by it now."""
        try:
            check_settings(json.dumps(settings))
        except ValueError as e:
            message = str(e)
            if message.startswith("setting '"):
                name, _, rest = message[len("setting '"):].partition("' ")
                self.fail(f"{where}.{name}", rest)
            self.fail(where, message)
        return settings

    def locales(self):
        locales = self.get("locales", list, ["en-US"])
        for i, locale in enumerate(locales):
            self.setting(check_locale, f"locales[{i + 1}]", locale)
            if locale in locales[:i]:
                self.fail(f"locales[{i + 1}]", f"{locale} is listed twice")
        return locales

    def timezones(self, locales):
        zones = self.get("timezones", dict, {})
        for locale, zone in zones.items():
            where = f"timezones.{locale}"
            if not isinstance(zone, str):
                self.fail(where, "must be a time zone name such as Europe/Berlin")
            self.setting(check_timezone, where, zone)
            if locale not in locales:
                self.warnings.append(f"{self.name}: {where}: {locale} is not one of the set's locales; "
                                     "its time zone is not used")
        return {locale: zone for locale, zone in zones.items() if locale in locales}

    def setting(self, check, where, value):
        """A time zone, locale or threshold checked as the command line checks them."""
        try:
            return check(value)
        except (UsageError, ValueError) as e:
            self.fail(where, str(e))

    def devices(self, preset_file):
        stores = self.get("stores", list)
        ids = self.get("devices", list)
        if (stores is None) == (ids is None):
            self.fail("stores", "give exactly one of stores and devices")
        try:
            table = presets.load(preset_file)
        except UsageError as e:
            self.fail("presets", str(e))
        where, names = ("stores", stores) if stores is not None else ("devices", ids)
        for i, name in enumerate(names, 1):
            try:
                for device in presets.select(table, [name] if stores else None, None if stores else [name], preset_file):
                    layout.image_name(device["id"])
                    if device.get("play_image_type", layout.NONE) not in layout.PLAY_IMAGE_TYPES:
                        raise UsageError(f"device {device['id']}: play_image_type {device['play_image_type']!r} is "
                                         f"not one of {', '.join(layout.PLAY_IMAGE_TYPES)}")
            except UsageError as e:
                self.fail(f"{where}[{i}]", str(e))
        return presets.select(table, stores, ids, preset_file,
                              lambda message: self.warnings.append(f"{self.name}: {where}: {message}"))

    def store_languages(self, locales):
        """The folders a set file names for its locales, per store."""
        given = self.get("store_languages", dict, {})
        chosen = {"apple": {}, "play": {}}
        for store, table in given.items():
            where = f"store_languages.{store}"
            if store not in chosen:
                self.fail(where, "unknown store (known: apple, play)")
            if not isinstance(table, dict):
                self.fail(where, 'must be a table of locales and folders, e.g. { "es-419" = "es-MX" }')
            for locale, folder in table.items():
                if locale not in locales:
                    self.fail(f"{where}.{locale}", f"{locale} is not one of the set's locales")
                if not isinstance(folder, str) or (folder and not is_store_code(folder, store)):
                    self.fail(f"{where}.{locale}", f"must be one of {store_name(store)}'s language codes, "
                                                   "or \"\" to leave the locale out of the store")
                chosen[store][locale] = folder
        return chosen

    def screens(self, layout_name, locales, devices, preset_file, languages, appearances):
        screens = self.table.get("screen")
        if screens is None:
            self.fail("screen", "the set has no [[screen]]")
        if not isinstance(screens, list) or not all(isinstance(s, dict) for s in screens):
            self.fail("screen", "must be an array of tables: [[screen]]")
        if len(screens) * max(len(appearances), 1) > MAX_SCREENS:
            self.fail("screen", f"at most {MAX_SCREENS} screens (screens x appearances)")
        result = []
        for i, screen in enumerate(screens, 1):
            where = f"screen[{i}]"
            for key in screen:
                if key not in SCREEN_KEYS:
                    self.fail(f"{where}.{key}", f"unknown key (known: {', '.join(SCREEN_KEYS)})")
            for key in ("name", "page"):
                if key not in screen:
                    self.fail(f"{where}.{key}", "missing")
            name = self.get("name", str, table=screen, where=f"{where}.name")
            if not SCREEN_NAME.match(name):
                self.fail(f"{where}.name", f"{name!r} is not a plain file-name word (letters, digits, - and _)")
            if name in [s["name"] for s in result]:
                self.fail(f"{where}.name", f"a screen named {name!r} comes earlier")
            if layout_name == "fastlane":
                for word in layout.RESERVED_WORDS:
                    if word in name.lower():
                        self.fail(f"{where}.name", f"{name!r} contains {word!r}, a word the App Store "
                                                   "upload tool reads in file names")
            page = self.get("page", str, table=screen, where=f"{where}.page")
            pages = {(locale, appearance): self.page_url(self.fill(page, locale, appearance, languages,
                                                                   f"{where}.page"), f"{where}.page")
                     for locale in locales for appearance in appearances or [None]}
            settings = {key: screen[key] for key in ("steps", "mask") if key in screen}
            result.append({"name": name, "pages": pages, "settings": self.capture_settings(settings, where),
                           "devices": self.screen_devices(screen, where, devices, preset_file)})
            if "threshold" in screen:
                result[-1]["threshold"] = self.setting(read_threshold, f"{where}.threshold", screen["threshold"])
        return result

    def screen_devices(self, screen, where, devices, preset_file):
        """The set's devices a screen is captured on: all, or those it names
        by id or by store."""
        ids, stores = (self.get(key, list, table=screen, where=f"{where}.{key}") for key in ("devices", "stores"))
        if ids is not None and stores is not None:
            self.fail(f"{where}.stores", "give at most one of stores and devices")
        if ids is None and stores is None:
            return devices
        chosen = []
        for i, name in enumerate(ids or stores, 1):
            try:
                wanted = {d["id"] for d in json.loads(devices_json(name, preset_file))} if stores else {name}
            except ValueError:
                wanted = set()
            found = [d for d in devices if d["id"] in wanted]
            if not found:
                what = "device" if ids else "store"
                self.fail(f"{where}.{'devices' if ids else 'stores'}[{i}]",
                          f"{name!r} is no {what} of the set's devices (a screen chooses among them)")
            chosen += [d for d in found if d not in chosen]
        return [d for d in devices if d in chosen]

    def fill(self, page, locale, appearance, languages, where):
        """The page with its placeholders filled in for `locale` (and
        `appearance`); any other {name} is refused with the list of known
        ones."""
        values = {"locale": locale, "language": locale.split("-")[0].lower(), "appearance": appearance,
                  "apple_language": languages["apple"][locale], "play_language": languages["play"][locale]}

        def one(match):
            if match.group(0) in ("{{", "}}"):
                return match.group(0)[0]
            name = match.group(1)
            if name not in PLACEHOLDERS:
                known = ", ".join(f"{{{k}}} ({v})" for k, v in PLACEHOLDERS.items())
                self.fail(where, f"unknown placeholder {{{name}}}; known: {known}; write {{{{ and }}}} for braces")
            if values[name] is None:
                self.fail(where, f"{{{name}}}: the set has no appearances" if name == "appearance"
                          else f"{{{name}}}: {locale} has no folder in that store")
            return values[name]

        return PLACEHOLDER.sub(one, page)

    def page_url(self, page, where):
        """A URL stays as given; a path relative to the set file becomes a
        file:// URL with its query and fragment kept."""
        if urlsplit(page).scheme.lower() in URL_SCHEMES:
            return page
        cut = min((i for i in (page.find("?"), page.find("#")) if i >= 0), default=len(page))
        path, rest = self.base / page[:cut], page[cut:]
        if path.is_dir():
            path = path / "index.html"
        if not page[:cut] or not path.is_file():
            self.fail(where, f"{page!r} is neither a URL nor an existing file (looked for {path})")
        return path.resolve().as_uri() + rest

    def single(self, key, screens, devices):
        """The screen that makes Play's feature graphic or TV banner: the one
        the set names, else the first screen captured on such a preset."""
        kind = layout.FEATURE_GRAPHIC if key == "feature_graphic" else layout.TV_BANNER
        makers = [s["name"] for s in screens if any(d["store"] == "play" and layout.play_kind(d) == kind
                                                    for d in s["devices"])]
        chosen = self.get(key, str, makers[0] if makers else screens[0]["name"])
        if chosen not in [s["name"] for s in screens]:
            self.fail(key, f"no screen is named {chosen!r}")
        return chosen

    def check_apple_names(self, devices):
        """deliver takes "vision" in a path for Vision Pro and uploads only
        "framed" files once it sees one: device ids must agree."""
        for d in devices:
            if d["store"] != "apple":
                continue
            where = "devices" if "devices" in self.table else "stores"
            if "framed" in d["id"].lower():
                self.fail(where, f"device id {d['id']} contains 'framed'; the App Store upload tool would "
                                 "upload only such files")
            if ("vision" in d["id"].lower()) != (d["requirement"] == "required_vision"):
                self.fail(where, f"device id {d['id']}: the App Store upload tool takes a 3840x2160 image "
                                 "for Vision Pro exactly when 'vision' is in its name")

    def check_languages(self, locales, devices, languages):
        stores = [s for s in ("apple", "play") if any(d["store"] == s for d in devices)]
        given = self.get("store_languages", dict, {})
        for locale in locales:
            for store in stores:
                if languages[store][locale] is None and locale not in given.get(store, {}):
                    self.fail("locales", f"{locale} has no language code in {store_name(store)}'s list; "
                                         "see the README's table of store languages, or name its folder in "
                                         f"[store_languages.{store}]")

    def check_collisions(self, jobs):
        """Two locales that become one store folder would overwrite each
        other's images there: refused, naming both."""
        seen = {}
        for job in jobs:
            earlier = seen.setdefault(job.path, job)
            if earlier.locale != job.locale:
                store = "apple" if job.path.startswith(layout.APPLE_ROOT) else "play"
                folder = job.path.rsplit("/", 1)[0]
                self.fail("locales", f"{earlier.locale} and {job.locale} both become the {store_name(store)} folder "
                                     f"{folder}, where one would overwrite the other: drop one of them, or name "
                                     f"each locale's folder in [store_languages.{store}] (\"\" leaves a locale out "
                                     "of that store)")
