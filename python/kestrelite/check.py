"""The stores' screenshot rules, checked over a finished run folder.

`check_folder(dir)` finds the images of a set folder (plain layout, through
its report.json; fastlane layout, through the upload tools' folders, with or
without a report) and returns one Violation per broken rule. Errors are what
a store or its upload tool refuses, or what would put something other than
the run into a listing; warnings are documented rules that are not always
enforced. The README's table lists every rule with its source.

An App Store image's display type is the one fastlane deliver gives it, from
its pixel size and its path (DISPLAY_TYPES, read from deliver's
app_screenshot.rb), and deliver counts and cuts per display type and
language; the presets say the same of the images kestrelite makes.
"""

import json
import os
import re
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path

from . import layout
from .errors import UsageError
from .imageinfo import ImageError, read_info
from .report import missing_glyphs
from .store_languages import is_store_code, store_language

ERROR, WARNING = "error", "warning"
EXTENSIONS = {".png": "png", ".jpg": "jpeg", ".jpeg": "jpeg"}
MAX_APPLE_PER_TYPE = 10
PLAY_MAX_BYTES = 8 * 1024 * 1024
PLAY_MAX_PER_KIND = 8
PLAY_MIN_PHONE = 2

# fastlane deliver/lib/deliver/app_screenshot.rb (DEVICE_RESOLUTIONS, fastlane
# 2.230.0 and later): each display type of App Store Connect with the sizes,
# [width, height], deliver takes for it, its name in App Store Connect, and the
# platform whose app version it belongs to. 2048x2732 is the 13-inch iPad
# unless the path names the 12.9-inch one; 3840x2160 is Vision Pro exactly when
# the whole path contains "vision".
def _turned(*sizes):
    return [s for w, h in sizes for s in ((w, h), (h, w))]


DISPLAY_TYPES = {
    "APP_IPHONE_67": ("iPhone 6.9-inch", "iOS", _turned((1260, 2736), (1290, 2796), (1320, 2868))),
    "APP_IPHONE_65": ("iPhone 6.5-inch", "iOS", _turned((1242, 2688), (1284, 2778))),
    "APP_IPHONE_61": ("iPhone 6.3-inch", "iOS", _turned((1179, 2556), (1206, 2622))),
    "APP_IPHONE_58": ("iPhone 6.1-inch", "iOS", _turned((1170, 2532), (1125, 2436), (1080, 2340))),
    "APP_IPHONE_55": ("iPhone 5.5-inch", "iOS", _turned((1242, 2208))),
    "APP_IPHONE_47": ("iPhone 4.7-inch", "iOS", _turned((750, 1334))),
    "APP_IPHONE_40": ("iPhone 4-inch", "iOS", [(640, 1096), (640, 1136), (1136, 600), (1136, 640)]),
    "APP_IPHONE_35": ("iPhone 3.5-inch", "iOS", [(640, 920), (640, 960), (960, 600), (960, 640)]),
    "APP_IPAD_97": ("iPad 9.7-inch", "iOS", [(1024, 748), (1024, 768), (2048, 1496), (2048, 1536), (768, 1004),
                                             (768, 1024), (1536, 2008), (1536, 2048)]),
    "APP_IPAD_105": ("iPad 10.5-inch", "iOS", _turned((1668, 2224))),
    "APP_IPAD_PRO_3GEN_11": ("iPad 11-inch", "iOS", _turned((1488, 2266), (1668, 2420), (1668, 2388),
                                                             (1640, 2360))),
    "APP_IPAD_PRO_129": ("iPad 12.9-inch (2nd generation)", "iOS", _turned((2048, 2732))),
    "APP_IPAD_PRO_3GEN_129": ("iPad 13-inch", "iOS", _turned((2048, 2732), (2064, 2752))),
    "APP_DESKTOP": ("Mac", "macOS", [(1280, 800), (1440, 900), (2560, 1600), (2880, 1800)]),
    "APP_WATCH_SERIES_3": ("Apple Watch Series 3", "iOS", [(312, 390)]),
    "APP_WATCH_SERIES_4": ("Apple Watch Series 4-6", "iOS", [(368, 448)]),
    "APP_WATCH_SERIES_7": ("Apple Watch Series 7-9", "iOS", [(396, 484)]),
    "APP_WATCH_SERIES_10": ("Apple Watch Series 10/11", "iOS", [(416, 496)]),
    "APP_WATCH_ULTRA": ("Apple Watch Ultra", "iOS", [(410, 502), (422, 514)]),
    "APP_APPLE_TV": ("Apple TV", "tvOS", [(1920, 1080), (3840, 2160)]),
    "APP_APPLE_VISION_PRO": ("Apple Vision Pro", "visionOS", [(3840, 2160)]),
}
IPHONE_SETS = ("APP_IPHONE_67", "APP_IPHONE_65")
IPAD_SETS = ("APP_IPAD_PRO_3GEN_129", "APP_IPAD_PRO_129")
UPLOADED = (".png", ".jpg", ".jpeg")


@dataclass(frozen=True)
class Violation:
    level: str
    path: str
    rule: str
    message: str

    def __str__(self):
        return f"{self.level}: {self.path}: {self.rule}: {self.message}"


@dataclass(frozen=True)
class Image:
    path: str      # relative to the run folder, "/" separators
    store: str     # "apple", "play" or "other"
    kind: str      # Play folder or single file; empty for the App Store
    language: str  # the locale or store language the image belongs to
    listed: bool = True   # the run's report lists it (True without a report)


def apple_display_type(width, height, path):
    """The display type deliver gives an App Store image, or None for a size
    it takes for none. `path` is the whole path deliver is given."""
    lower = path.lower()
    found = [t for t, (_, _, sizes) in DISPLAY_TYPES.items() if (width, height) in sizes]
    if (width, height) == (3840, 2160):
        return "APP_APPLE_VISION_PRO" if "vision" in lower else "APP_APPLE_TV"
    if (width, height) in ((2048, 2732), (2732, 2048)):
        second = "app_ipad_pro_129" in lower or ("12.9" in lower and "2nd generation" in lower)
        return "APP_IPAD_PRO_129" if second else "APP_IPAD_PRO_3GEN_129"
    return found[0] if found else None


def natural_key(name):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def images_of(folder, report=None):
    """The images of a run folder with their store and kind, and the
    violations of the folder itself (captures missing, files no run wrote,
    folders the upload tools ignore); `report` is the folder's report as a
    dict, read from the folder when not given. Raises UsageError for a folder
    that is no run folder."""
    folder = Path(folder)
    report_path = folder / "report.json"
    if report is None and report_path.is_file():
        try:
            report = json.loads(report_path.read_text(encoding="utf-8"))
        except (OSError, ValueError) as e:
            raise UsageError(f"{report_path}: not a readable report: {e}") from None
    found = _missing(folder, report)
    if report is not None and report.get("kind") == "set" and report.get("layout") == "plain":
        return _plain_images(folder, report), found
    if (folder / "fastlane").is_dir() or (report is not None and report.get("layout") == "fastlane"):
        listed = None if report is None else {c["path"] for c in report.get("captures", []) if "path" in c}
        images, problems = _fastlane_images(folder, listed)
        return images, found + problems
    raise UsageError(f"{folder} holds neither a set report (report.json from `kestrelite run`) "
                     "nor a fastlane folder")


def _missing(folder, report):
    if report is None:
        return []
    found = [Violation(ERROR, c["path"], "missing", "the report lists this capture but the file is not there")
             for c in report.get("captures", []) if "path" in c and not (folder / c["path"]).is_file()]
    found += [Violation(ERROR, key, "missing", "no shard made this capture: the set is not complete")
              for key in report.get("missing", [])]
    for c in report.get("captures", []):
        listed, count = missing_glyphs(c)
        if count:
            more = f" and {count - len(listed)} more" if count > len(listed) else ""
            found.append(Violation(ERROR, c.get("path", "/".join((c["locale"], c["screen"], c["device_id"]))),
                                   "glyphs", f"no font draws {' '.join(listed)}{more}: they show as empty boxes"))
    return found


def _plain_images(folder, report):
    devices = report.get("devices", {})
    images = []
    for capture in report.get("captures", []):
        if "path" not in capture or not (folder / capture["path"]).is_file():
            continue
        device = devices.get(capture["device_id"], {"id": capture["device_id"], "store": "other",
                                                     "platform": "web"})
        store = device["store"] if device["store"] in ("apple", "play") else "other"
        kind = layout.play_kind(device) if store == "play" else ""
        if kind == layout.NONE:
            store, kind = "other", ""
        images.append(Image(capture["path"], store, kind, capture["locale"]))
    return images


def _entries(directory, folders):
    try:
        return sorted((e for e in os.scandir(directory) if e.is_dir() == folders), key=lambda e: e.name)
    except OSError:
        return []


def _fastlane_images(folder, listed):
    """The images of the upload tools' folders, and what no run wrote there.
    `listed` is the set of paths the report names (None without a report)."""
    images, problems = [], []

    def take(path, store, kind, language):
        if os.path.splitext(path)[1].lower() not in UPLOADED:
            problems.append(Violation(WARNING, path, "format", f"{TOOLS[store]} takes only .png, .jpg and .jpeg "
                                                               "files: this one is not uploaded"))
            return
        written = listed is None or path in listed
        if not written:
            problems.append(Violation(ERROR, path, "stray", f"no run wrote this file, but {TOOLS[store]} would "
                                                            "upload it with the set: move it away"))
        images.append(Image(path, store, kind, language, written))

    for language in _entries(folder / layout.APPLE_ROOT, True):
        for entry in _entries(language.path, False):
            take(f"{layout.APPLE_ROOT}/{language.name}/{entry.name}", "apple", "", language.name)
    for language in _entries(folder / layout.PLAY_ROOT, True):
        base = f"{layout.PLAY_ROOT}/{language.name}/images"
        for entry in _entries(os.path.join(language.path, "images"), False):
            stem = os.path.splitext(entry.name)[0]
            if stem in layout.PLAY_SINGLE_FILES or stem == "icon":
                take(f"{base}/{entry.name}", "play", stem, language.name)
        for kind in _entries(os.path.join(language.path, "images"), True):
            if kind.name not in layout.PLAY_SCREENSHOT_FOLDERS:
                problems.append(Violation(WARNING, f"{base}/{kind.name}", "play-folder",
                                          "supply reads no such folder: its images are not uploaded"))
                continue
            for entry in _entries(kind.path, False):
                take(f"{base}/{kind.name}/{entry.name}", "play", kind.name, language.name)
    for language in _entries(folder / layout.OTHER_ROOT, True):
        for entry in _entries(language.path, False):
            images.append(Image(f"{layout.OTHER_ROOT}/{language.name}/{entry.name}", "other", "", language.name))
    return images, problems


TOOLS = {"apple": "fastlane deliver", "play": "fastlane supply"}


def split(violations):
    """The violations as printed lines: {"errors": [...], "warnings": [...]}."""
    return {"errors": [str(v) for v in violations if v.level == ERROR],
            "warnings": [str(v) for v in violations if v.level != ERROR]}


def check_folder(folder, report=None):
    """Every rule broken by the images of a run folder, in file order;
    `report` as for images_of."""
    images, found = images_of(folder, report)
    apple_sets = defaultdict(list)   # (language, display type) -> [(path, size)]
    play_sets = defaultdict(list)    # (language, kind) -> paths
    for image in images:
        problems, info = _file_rules(Path(folder) / image.path, image)
        found += problems
        if info is None:
            continue
        if image.store == "apple":
            found += _apple_rules(image, info, apple_sets, Path(folder).resolve() / image.path)
        elif image.store == "play":
            found += _play_rules(image, info)
            play_sets[(image.language, image.kind)].append(image.path)
    fastlane = any(i.path.startswith("fastlane/") for i in images)
    found += _order_rules(images)
    found += _apple_set_rules(apple_sets, fastlane)
    found += _play_set_rules(play_sets, fastlane)
    return found


def _file_rules(path, image):
    """Both stores: PNG or JPEG, and the real format matches the name."""
    extension = os.path.splitext(image.path)[1].lower()
    if extension not in EXTENSIONS:
        return [Violation(ERROR, image.path, "format", "only .png, .jpg and .jpeg files are accepted")], None
    try:
        info = read_info(path)
    except (OSError, ImageError) as e:
        return [Violation(ERROR, image.path, "format", f"not a readable PNG or JPEG: {e}")], None
    if info.format != EXTENSIONS[extension]:
        return [Violation(ERROR, image.path, "format",
                          f"the file is a {info.format.upper()} but its name says {extension}")], info
    return [], info


def _apple_rules(image, info, sets, absolute):
    found = []
    kind = apple_display_type(info.width, info.height, str(absolute))
    if kind is None:
        found.append(Violation(ERROR, image.path, "apple-size",
                               f"{info.width}x{info.height} is the size of no App Store display type"))
    else:
        sets[(image.language, kind)].append((image.path, (info.width, info.height)))
        if kind == "APP_APPLE_VISION_PRO" and "vision" not in os.path.basename(image.path).lower():
            found.append(Violation(ERROR, image.path, "apple-vision-path",
                                   f"the absolute path {absolute} contains \"vision\", so deliver takes this Apple "
                                   "TV image for a Vision Pro one: give deliver a path without the word"))
    if info.alpha:
        found.append(Violation(ERROR, image.path, "apple-alpha",
                               "has an alpha channel; App Store Connect refuses it even when every pixel is opaque"))
    elif info.transparency:
        found.append(Violation(ERROR, image.path, "apple-alpha", "has a transparency entry (tRNS)"))
    if info.colour not in ("rgb", "rgba") or info.bit_depth != 8:
        found.append(Violation(ERROR, image.path, "apple-colour",
                               f"{info.bit_depth}-bit {info.colour}; the App Store takes 8-bit RGB"))
    return found


def _play_rules(image, info):
    found = []
    if info.colour != "rgb" or info.bit_depth != 8 or info.transparency:
        what = "an alpha channel" if info.alpha else "a transparency entry" if info.transparency \
            else f"{info.bit_depth}-bit {info.colour}"
        found.append(Violation(ERROR, image.path, "play-format", f"has {what}; Play takes JPEG or 24-bit PNG without alpha"))
    w, h = info.width, info.height
    if image.kind in layout.PLAY_SINGLE_FILES:
        want = (1024, 500) if image.kind == layout.FEATURE_GRAPHIC else (1280, 720)
        if (w, h) != want:
            found.append(Violation(ERROR, image.path, "play-size", f"{w}x{h}; the {image.kind} is exactly "
                                                                   f"{want[0]}x{want[1]}"))
        return found
    if info.bytes > PLAY_MAX_BYTES:
        found.append(Violation(ERROR, image.path, "play-file-size", f"{info.bytes} bytes; at most 8 MB per screenshot"))
    if image.kind == layout.WEAR:
        if w != h or w < 384:
            found.append(Violation(ERROR, image.path, "play-size", f"{w}x{h}; Wear OS screenshots are square, "
                                                                   "at least 384x384"))
    elif image.kind != "icon":
        low, high = (1080, 7680) if image.kind == layout.TEN_INCH else (320, 3840)
        if min(w, h) < low or max(w, h) > high:
            found.append(Violation(ERROR, image.path, "play-size", f"{w}x{h}; each side must be {low} to {high} px"))
        if max(w, h) > 2 * min(w, h):
            found.append(Violation(WARNING, image.path, "play-aspect",
                                   f"{w}x{h}; the long side should be at most twice the short side"))
    return found


def _order_rules(images):
    """The tools upload a folder's files in plain name order; App Store
    Connect then shows them in natural order. Names whose orders differ
    (1_, 2_, 10_) put the screens in an order nobody chose."""
    found = []
    folders = defaultdict(list)
    for image in images:
        if image.store in ("apple", "play"):
            folders[os.path.dirname(image.path)].append(os.path.basename(image.path))
    for folder, names in sorted(folders.items()):
        if sorted(names) != sorted(names, key=natural_key):
            found.append(Violation(ERROR, folder, "name-order",
                                   "file names sort differently as text and as numbers ("
                                   + ", ".join(sorted(names)[:4]) + "…): pad the numbers to one width"))
    return found


def _apple_set_rules(sets, fastlane):
    found = []
    for language in sorted({language for language, _ in sets}):
        if fastlane and not is_store_code(language, "apple"):
            code = store_language(language, "apple")
            found.append(Violation(ERROR, f"{layout.APPLE_ROOT}/{language}", "apple-language",
                                   "not an App Store Connect language code; deliver refuses the whole upload"
                                   + (f" (the App Store's code for it is {code})" if code else "")))
        kinds = {kind: shots for (lang, kind), shots in sets.items() if lang == language}
        for kind, shots in sorted(kinds.items()):
            name = DISPLAY_TYPES[kind][0]
            shots = sorted(shots)
            for path, _ in shots[MAX_APPLE_PER_TYPE:]:
                found.append(Violation(ERROR, path, "apple-count",
                                       f"{len(shots)} {name} screenshots in {language}; deliver uploads the first "
                                       f"{MAX_APPLE_PER_TYPE} by name and leaves this one out"))
            sizes = sorted({size for _, size in shots})
            if len(sizes) > 1:
                found.append(Violation(WARNING, language, "apple-mixed-sizes",
                                       f"{name} screenshots of {len(sizes)} sizes ("
                                       + ", ".join(f"{w}x{h}" for w, h in sizes)
                                       + "): the App Store shows them all in the one display type, "
                                         "so each screen appears more than once; choose one preset per display type"))
        platforms = sorted({DISPLAY_TYPES[k][1] for k in kinds})
        if len(platforms) > 1:
            found.append(Violation(WARNING, language, "apple-platforms",
                                   f"screenshots for {', '.join(platforms)} in one folder; the App Store upload tool "
                                   "uploads to one platform's version per run: use one set per platform"))
        if any(k.startswith("APP_IPHONE") for k in kinds) and not any(k in kinds for k in IPHONE_SETS):
            found.append(Violation(ERROR, language, "apple-iphone-set",
                                   "iPhone screenshots without the 6.9-inch (or 6.5-inch) set the App Store requires"))
        if any(k.startswith("APP_IPAD") for k in kinds) and not any(k in kinds for k in IPAD_SETS):
            found.append(Violation(ERROR, language, "apple-ipad-set",
                                   "iPad screenshots without the 13-inch set the App Store requires"))
    return found


def _play_set_rules(sets, fastlane):
    found = []
    for language in sorted({language for language, _ in sets}):
        if fastlane and not is_store_code(language, "play"):
            code = store_language(language, "play")
            found.append(Violation(ERROR, f"{layout.PLAY_ROOT}/{language}", "play-language",
                                   "not a Play Console language code; the Play upload stops at it"
                                   + (f" (Play's code for it is {code})" if code else "")))
        phones = sets.get((language, layout.PHONE), [])
        if len(phones) < PLAY_MIN_PHONE:
            found.append(Violation(ERROR, language, "play-count",
                                   f"{len(phones)} phone screenshot{'s' if len(phones) != 1 else ''}; "
                                   f"Play needs {PLAY_MIN_PHONE} to {PLAY_MAX_PER_KIND}"))
        for kind in layout.PLAY_SCREENSHOT_FOLDERS:
            paths = sorted(sets.get((language, kind), []))
            for path in paths[PLAY_MAX_PER_KIND:]:
                found.append(Violation(ERROR, path, "play-count",
                                       f"{len(paths)} {kind} in {language}; Play takes at most {PLAY_MAX_PER_KIND}, "
                                       "and this one is past them"))
    return found
