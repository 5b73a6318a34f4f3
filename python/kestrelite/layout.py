"""Where each capture of a set goes inside the run folder.

plain:    <locale>/<screen>/<device id>.png
fastlane: the folders the open-source upload tools read (fastlane deliver for
          the App Store, fastlane supply for Google Play):
          fastlane/screenshots/<App Store language>/<NN>_<screen>_<device id>.png
          fastlane/metadata/android/<Play language>/images/<kind>/<NN>_<screen>_<device id>.png
          fastlane/metadata/android/<Play language>/images/featureGraphic.png, tvBanner.png
          other/<language>/<NN>_<screen>_<device id>.png for what neither tool takes
NN is the screen's two-digit position, so both tools (which order by file
name) keep the set's screen order.
"""

import re

from .store_languages import store_language

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
OTHER = "other"

# The built-in Play presets by kind; presets from a preset file are placed
# by the words of their id, then by platform (play_kind).
PLAY_KINDS = {
    "play-feature-graphic": FEATURE_GRAPHIC, "play-tv-banner": TV_BANNER,
    "play-phone-portrait": PHONE, "play-phone-landscape": PHONE,
    "play-tablet-7-portrait": SEVEN_INCH,
    "play-tablet-10-portrait": TEN_INCH, "play-tablet-10-landscape": TEN_INCH,
    "play-wear-os": WEAR, "play-tv-screenshot": TV,
    "play-automotive-portrait": OTHER, "play-automotive-landscape": OTHER,
}
ID_WORDS = (("feature-graphic", FEATURE_GRAPHIC), ("tv-banner", TV_BANNER), ("automotive", OTHER),
            ("chromebook", OTHER), ("xr", OTHER), ("wear", WEAR), ("tablet-7", SEVEN_INCH),
            ("tablet-10", TEN_INCH), ("tv", TV))
PLATFORM_KINDS = {"android_phone": PHONE, "android_tablet": TEN_INCH, "tv": TV}


def play_kind(device):
    """The supply folder (or single file) of a Play preset, or OTHER."""
    if device["id"] in PLAY_KINDS:
        return PLAY_KINDS[device["id"]]
    for word, kind in ID_WORDS:
        if re.search(rf"(^|-){word}(-|$)", device["id"].lower()):
            return kind
    return PLATFORM_KINDS.get(device["platform"], OTHER)


def is_other(device):
    """True for captures no upload tool has a place for."""
    return device["store"] not in ("apple", "play") or (device["store"] == "play" and play_kind(device) == OTHER)


def placer(layout, screens, singles):
    """A function (locale, screen, device) -> the capture's path, or None
    when the layout has no place for that capture (a fastlane feature graphic
    or TV banner comes from one screen only: `singles` names it)."""
    position = {screen: f"{i:02d}" for i, screen in enumerate(screens, 1)}

    def plain(locale, screen, device):
        return f"{locale}/{screen}/{device['id']}.png"

    def fastlane(locale, screen, device):
        name = f"{position[screen]}_{screen}_{device['id']}.png"
        if device["store"] == "apple":
            return f"{APPLE_ROOT}/{store_language(locale, 'apple')}/{name}"
        if device["store"] != "play":
            return f"{OTHER_ROOT}/{locale}/{name}"
        language = store_language(locale, "play")
        kind = play_kind(device)
        if kind == OTHER:
            return f"{OTHER_ROOT}/{language}/{name}"
        if kind in PLAY_SINGLE_FILES:
            chosen = singles["feature_graphic" if kind == FEATURE_GRAPHIC else "tv_banner"]
            return f"{PLAY_ROOT}/{language}/images/{kind}.png" if screen == chosen else None
        return f"{PLAY_ROOT}/{language}/images/{kind}/{name}"

    return plain if layout == "plain" else fastlane
