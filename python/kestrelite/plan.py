"""What a run captures: one Job per capture, gathered in a Plan.

A capture (`kestrelite capture`, `kestrelite.capture`) is a plan of one
screen in one locale in the flat layout; a set file gives a plan of screens
x locales x appearances x devices in its layout (setfile.py). Every command
runs, reports, verifies and compares a plan the same way, keyed by its key
fields: the device id for a capture; the locale, screen, appearance (when
the set has appearances) and device id for a set.
"""

import os
from dataclasses import dataclass, field
from pathlib import Path, PurePosixPath
from urllib.parse import urlsplit

from .errors import UsageError
from .layout import image_name

URL_SCHEMES = ("http", "https", "file", "data", "about")
SET_KEY_FIELDS = ("locale", "screen", "appearance", "device_id")


def key_fields(kind, appearances):
    """The fields that tell the captures of a run apart."""
    if kind == "capture":
        return ("device_id",)
    return tuple(f for f in SET_KEY_FIELDS if f != "appearance" or appearances)


def key_of(kind, entry):
    """The key of a report entry (a dict): its key fields, the appearance
    when the entry has one."""
    return tuple(entry[f] for f in key_fields(kind, "appearance" in entry))


@dataclass(frozen=True)
class Job:
    """One capture: a screen in a locale (and appearance) on a device, where
    its image goes (relative to the run folder, "/" separators), and what the
    module is to do for it besides (CaptureSettings: appearance, reduced
    motion, steps, masks)."""
    locale: str
    screen: str
    device: dict
    url: str
    timezone: str
    path: str
    appearance: str = None
    settings: dict = field(default_factory=dict)

    @property
    def device_id(self):
        return self.device["id"]

    @property
    def key(self):
        return tuple(v for v in (self.locale, self.screen, self.appearance, self.device_id) if v is not None)

    @property
    def folder(self):
        """The image's folder, relative to the run folder ("" for the run
        folder itself)."""
        parent = str(PurePosixPath(self.path).parent)
        return "" if parent == "." else parent

    @property
    def name(self):
        """The image's file name without ".png": what the module names it."""
        return PurePosixPath(self.path).stem


@dataclass
class Plan:
    kind: str                 # "capture" or "set"
    seed: int
    timezone: str
    presets: str              # a preset file, or None for the built-in table
    devices: list             # preset records, in capture order
    locales: list
    screens: list
    appearances: list = field(default_factory=list)   # a set's; empty: no appearance dimension
    settings: dict = field(default_factory=dict)      # what every job emulates besides: media, a capture's steps
    layout: str = "flat"
    url: str = None           # a capture's page
    file: str = None          # a set's file as named, its absolute path, digest, out, per-locale time zones
    path: str = None
    digest: str = None
    out: Path = None
    timezones: dict = field(default_factory=dict)
    thresholds: dict = field(default_factory=dict)  # a set's per-screen thresholds of compare
    jobs: list = field(default_factory=list)
    notes: list = field(default_factory=list)      # shown with the summary
    warnings: list = field(default_factory=list)   # shown before the run

    def add_settings(self, settings):
        """Settings every job of the plan takes besides its own."""
        self.settings.update(settings)
        for job in self.jobs:
            job.settings.update(settings)

    @property
    def key_fields(self):
        return key_fields(self.kind, self.appearances)

    def key(self, job):
        """The key of a job, as key_of gives it for the job's report entry."""
        return (job.device_id,) if self.kind == "capture" else job.key

    def second_path(self, job):
        """Where --verify keeps a differing second image, relative to the
        run folder: beside a capture's image, outside the upload tools'
        folders for a set."""
        if self.kind == "capture":
            return image_name(job.device_id).replace(".png", ".second.png")
        return f"verify/{job.path}"


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


def capture_plan(url, devices, seed, locale, timezone, presets=None, warnings=(), settings=None):
    """A capture of `url` on `devices`: one screen, one locale, flat layout;
    `settings` as a Job's (appearance, steps ...)."""
    plan = Plan(kind="capture", seed=seed, timezone=timezone, presets=presets, devices=list(devices),
                locales=[locale], screens=[""], url=url, warnings=list(warnings), settings=dict(settings or {}))
    plan.jobs = [Job(locale, "", d, url, timezone, image_name(d["id"]), settings=dict(settings or {}))
                 for d in plan.devices]
    return plan
