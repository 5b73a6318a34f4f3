"""Where each capture goes inside the run folder.

flat:     <device id>.png (a capture: one screen in one locale)
plain:    <locale>/<screen>/<device id>.png
          (<locale>/<screen>/<appearance>/<device id>.png in a set with appearances)
fastlane: the folders the open-source upload tools read (fastlane deliver for
          the App Store, fastlane supply for Google Play):
          fastlane/screenshots/<App Store language>/<NN>_<screen>_<device id>.png
          fastlane/metadata/android/<Play language>/images/<kind>/<NN>_<screen>_<device id>.png
          fastlane/metadata/android/<Play language>/images/featureGraphic.png, tvBanner.png
          other/<language>/<NN>_<screen>_<device id>.png for what neither tool takes
NN is the screen's two-digit position, so both tools (which order by file
name) keep the set's screen order. The stores have no slot per appearance:
in a set with appearances, each screen's appearances follow each other in
the same folders, NN counting screen by screen and appearance by appearance
(01_home_light_, 02_home_dark_, 03_tides_light_ ...).

`image_name` is the one place that makes an image's file name from a device
id, and refuses an id that is not a plain file name.
"""

import re

from .errors import UsageError

LAYOUTS = ("plain", "fastlane")
APPLE_ROOT = "fastlane/screenshots"
PLAY_ROOT = "fastlane/metadata/android"
OTHER_ROOT = "other"

# deliver reads these words in paths: "framed" makes it upload only framed
# files of a language folder, "vision" tells a Vision Pro image from an
# Apple TV one of the same size. kestrelite never puts them in a name itself.
RESERVED_WORDS = ("framed", "vision")

PHONE, SEVEN_INCH, TEN_INCH, TV, WEAR = (
    "phoneScreenshots", "sevenInchScreenshots", "tenInchScreenshots", "tvScreenshots", "wearScreenshots")
FEATURE_GRAPHIC, TV_BANNER = "featureGraphic", "tvBanner"
PLAY_SCREENSHOT_FOLDERS = (PHONE, SEVEN_INCH, TEN_INCH, TV, WEAR)
PLAY_SINGLE_FILES = (FEATURE_GRAPHIC, TV_BANNER)
# A Play size that no upload folder takes (Automotive, Chromebook, XR).
NONE = "none"
PLAY_IMAGE_TYPES = PLAY_SCREENSHOT_FOLDERS + PLAY_SINGLE_FILES + (NONE,)

# For presets that do not name their image type: the words of their id,
# then their platform.
ID_WORDS = (("feature-graphic", FEATURE_GRAPHIC), ("tv-banner", TV_BANNER), ("automotive", NONE),
            ("chromebook", NONE), ("xr", NONE), ("wear", WEAR), ("tablet-7", SEVEN_INCH),
            ("tablet-10", TEN_INCH), ("tv", TV))
PLATFORM_KINDS = {"android_phone": PHONE, "android_tablet": TEN_INCH, "tv": TV}


def plain_file_name(name):
    """Whether `name` names a file in a folder, not a path: not empty, not
    "." or "..", without "/" or NUL."""
    return isinstance(name, str) and name not in ("", ".", "..") and "/" not in name and "\0" not in name


def image_name(device_id, prefix=""):
    """The image file name of a device: prefix + id + ".png". Raises
    UsageError when the id is not a plain file name, so that no image is
    written outside its folder."""
    if not plain_file_name(device_id):
        raise UsageError(f"device id {device_id!r} is not a plain file name, so it cannot name an image")
    return f"{prefix}{device_id}.png"


def play_kind(device):
    """The supply folder (or single file) of a Play preset, or NONE: the
    preset's own play_image_type, else by the words of its id, then by
    platform."""
    if device.get("play_image_type"):
        return device["play_image_type"]
    for word, kind in ID_WORDS:
        if re.search(rf"(^|-){word}(-|$)", device["id"].lower()):
            return kind
    return PLATFORM_KINDS.get(device["platform"], NONE)


def is_other(device):
    """True for captures no upload tool has a place for."""
    return device["store"] not in ("apple", "play") or (device["store"] == "play" and play_kind(device) == NONE)


def placer(layout, screens, singles, languages, devices, appearances=()):
    """A function (locale, screen, device, appearance) -> the capture's path, or None
    when the layout has no place for that capture: a fastlane feature
    graphic or TV banner comes from one screen only (`singles` names it),
    and a locale may be left out of a store. `languages` maps each store to
    the folder of each locale (None: none).

    Play shows a folder's screenshots in name order, so when several presets
    of a set share a Play folder (a portrait and a landscape phone), each
    preset's names start with a letter of its own (a01_, b01_, ...): one
    preset's screens stay together instead of alternating."""
    kinds = list(appearances) or [None]
    position = {(screen, appearance): f"{i:02d}_{screen}_" + (f"{appearance}_" if appearance else "")
                for i, (screen, appearance) in enumerate(((s, a) for s in screens for a in kinds), 1)}
    sharing = {}
    for device in devices:
        if device["store"] == "play" and play_kind(device) in PLAY_SCREENSHOT_FOLDERS:
            sharing.setdefault(play_kind(device), []).append(device["id"])

    def plain(locale, screen, device, appearance=None):
        return f"{locale}/{screen}/" + (f"{appearance}/" if appearance else "") + image_name(device["id"])

    def fastlane(locale, screen, device, appearance=None):
        name = image_name(device["id"], position[(screen, appearance)])
        if device["store"] == "apple":
            language = languages["apple"][locale]
            return f"{APPLE_ROOT}/{language}/{name}" if language else None
        if device["store"] != "play":
            return f"{OTHER_ROOT}/{locale}/{name}"
        language = languages["play"][locale]
        kind = play_kind(device)
        if language is None:
            return None
        if kind == NONE:
            return f"{OTHER_ROOT}/{language}/{name}"
        if kind in PLAY_SINGLE_FILES:
            chosen = singles["feature_graphic" if kind == FEATURE_GRAPHIC else "tv_banner"]
            first = screen == chosen and appearance == kinds[0]
            return f"{PLAY_ROOT}/{language}/images/{kind}.png" if first else None
        if len(sharing[kind]) > 1:
            name = "abcdefghijklmnopqrstuvwxyz"[sharing[kind].index(device["id"]) % 26] + name
        return f"{PLAY_ROOT}/{language}/images/{kind}/{name}"

    return plain if layout == "plain" else fastlane
