"""The stores' screenshot rules, checked over a finished run folder.

`check_folder(dir)` finds the images of a set folder (plain layout, through
its report.json; fastlane layout, through the upload tools' folders, with or
without a report) and returns one Violation per broken rule. Errors are what
a store or its upload tool refuses; warnings are documented rules that are
not always enforced. The README's table lists every rule with its source.
"""

import json
import os
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path

from . import layout
from .errors import UsageError
from .imageinfo import ImageError, read_info
from .store_languages import APPLE_LANGUAGES, PLAY_LANGUAGES

ERROR, WARNING = "error", "warning"
EXTENSIONS = {".png": "png", ".jpg": "jpeg", ".jpeg": "jpeg"}
MAX_APPLE_PER_TYPE = 10
PLAY_MAX_BYTES = 8 * 1024 * 1024
PLAY_MAX_PER_KIND = 8
PLAY_MIN_PHONE = 2

# App Store Connect display types and their sizes (portrait; landscape is the
# same turned, except for watches, which are portrait only, and Mac, TV and
# Vision Pro, which are landscape only).
APPLE_DISPLAY_TYPES = {
    "iPhone 6.9-inch": [(1260, 2736), (1290, 2796), (1320, 2868)],
    "iPhone 6.5-inch": [(1242, 2688), (1284, 2778)],
    "iPhone 6.3-inch": [(1179, 2556), (1206, 2622)],
    "iPhone 6.1-inch": [(1170, 2532), (1125, 2436), (1080, 2340)],
    "iPhone 5.5-inch": [(1242, 2208)],
    "iPhone 4.7-inch": [(750, 1334)],
    "iPhone 4-inch": [(640, 1096), (640, 1136)],
    "iPhone 3.5-inch": [(640, 920), (640, 960)],
    "iPad 13-inch": [(2064, 2752), (2048, 2732)],
    "iPad 11-inch": [(1488, 2266), (1668, 2420), (1668, 2388), (1640, 2360)],
    "iPad 10.5-inch": [(1668, 2224)],
    "iPad 9.7-inch": [(1536, 2008), (1536, 2048), (768, 1004), (768, 1024)],
    "Mac": [(1280, 800), (1440, 900), (2560, 1600), (2880, 1800)],
    "Apple TV": [(1920, 1080), (3840, 2160)],
    "Apple Vision Pro": [(3840, 2160)],
    "Apple Watch Ultra 3": [(422, 514)],
    "Apple Watch Ultra": [(410, 502)],
    "Apple Watch Series 10/11": [(416, 496)],
    "Apple Watch Series 7-9": [(396, 484)],
    "Apple Watch Series 4-6": [(368, 448)],
    "Apple Watch Series 3": [(312, 390)],
}
TURNABLE = ("iPhone", "iPad")
# The app version a display type belongs to; deliver uploads to one
# platform's version per run.
PLATFORMS = (("Mac", "macOS"), ("Apple TV", "tvOS"), ("Apple Vision Pro", "visionOS"))


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


def apple_display_type(width, height, path):
    """The display type of an App Store image, or None for a size it has none.
    3840x2160 is Vision Pro when "vision" is in the path, else Apple TV."""
    vision = "vision" in path.lower()
    for name, sizes in APPLE_DISPLAY_TYPES.items():
        turnable = name.startswith(TURNABLE)
        for w, h in sizes:
            if (width, height) == (w, h) or (turnable and (width, height) == (h, w)):
                if (w, h) == (3840, 2160) and (name == "Apple Vision Pro") != vision:
                    continue
                return name
    return None


def images_of(folder, report=None):
    """The images of a run folder with their store and kind, and the report's
    captures whose file is missing; `report` is the folder's report as a
    dict, read from the folder when not given. Raises UsageError for a folder
    that is no run folder."""
    folder = Path(folder)
    report_path = folder / "report.json"
    if report is None and report_path.is_file():
        try:
            report = json.loads(report_path.read_text(encoding="utf-8"))
        except (OSError, ValueError) as e:
            raise UsageError(f"{report_path}: not a readable report: {e}") from None
    if report is not None and report.get("kind") == "set" and report.get("layout") == "plain":
        return _plain_images(folder, report)
    if (folder / "fastlane").is_dir() or (report is not None and report.get("layout") == "fastlane"):
        return _fastlane_images(folder), _missing(folder, report)
    raise UsageError(f"{folder} holds neither a set report (report.json from `kestrelite run`) "
                     "nor a fastlane folder")


def _missing(folder, report):
    if report is None:
        return []
    return [c["path"] for c in report.get("captures", []) if "path" in c and not (folder / c["path"]).is_file()]


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
    return images, _missing(folder, report)


def _files(directory):
    try:
        return sorted((e for e in os.scandir(directory) if e.is_file()), key=lambda e: e.name)
    except OSError:
        return []


def _dirs(directory):
    try:
        return sorted((e for e in os.scandir(directory) if e.is_dir()), key=lambda e: e.name)
    except OSError:
        return []


def _fastlane_images(folder):
    images = []
    for language in _dirs(folder / layout.APPLE_ROOT):
        for entry in _files(language.path):
            images.append(Image(f"{layout.APPLE_ROOT}/{language.name}/{entry.name}", "apple", "", language.name))
    for language in _dirs(folder / layout.PLAY_ROOT):
        base = f"{layout.PLAY_ROOT}/{language.name}/images"
        for entry in _files(os.path.join(language.path, "images")):
            stem = os.path.splitext(entry.name)[0]
            if stem in layout.PLAY_SINGLE_FILES:
                images.append(Image(f"{base}/{entry.name}", "play", stem, language.name))
        for kind in layout.PLAY_SCREENSHOT_FOLDERS:
            for entry in _files(os.path.join(language.path, "images", kind)):
                images.append(Image(f"{base}/{kind}/{entry.name}", "play", kind, language.name))
    for language in _dirs(folder / layout.OTHER_ROOT):
        for entry in _files(language.path):
            images.append(Image(f"{layout.OTHER_ROOT}/{language.name}/{entry.name}", "other", "", language.name))
    return images


def split(violations):
    """The violations as printed lines: {"errors": [...], "warnings": [...]}."""
    return {"errors": [str(v) for v in violations if v.level == ERROR],
            "warnings": [str(v) for v in violations if v.level != ERROR]}


def check_folder(folder, report=None):
    """Every rule broken by the images of a run folder, in file order;
    `report` as for images_of."""
    images, missing = images_of(folder, report)
    found = [Violation(ERROR, path, "missing", "the report lists this capture but the file is not there")
             for path in missing]
    apple_sets = defaultdict(list)   # (language, display type) -> paths
    play_sets = defaultdict(list)    # (language, kind) -> paths
    for image in images:
        problems, info = _file_rules(Path(folder) / image.path, image)
        found += problems
        if info is None:
            continue
        if image.store == "apple":
            found += _apple_rules(image, info, apple_sets)
        elif image.store == "play":
            found += _play_rules(image, info)
            play_sets[(image.language, image.kind)].append(image.path)
    found += _apple_set_rules(apple_sets, _is_fastlane(images))
    found += _play_set_rules(play_sets, _is_fastlane(images))
    return found


def _is_fastlane(images):
    return any(i.path.startswith("fastlane/") for i in images)


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


def _apple_rules(image, info, sets):
    found = []
    kind = apple_display_type(info.width, info.height, image.path)
    if kind is None:
        found.append(Violation(ERROR, image.path, "apple-size",
                               f"{info.width}x{info.height} is the size of no App Store display type"))
    else:
        sets[(image.language, kind)].append((image.path, (info.width, info.height)))
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
    else:
        low, high = (1080, 7680) if image.kind == layout.TEN_INCH else (320, 3840)
        if min(w, h) < low or max(w, h) > high:
            found.append(Violation(ERROR, image.path, "play-size", f"{w}x{h}; each side must be {low} to {high} px"))
        if max(w, h) > 2 * min(w, h):
            found.append(Violation(WARNING, image.path, "play-aspect",
                                   f"{w}x{h}; the long side should be at most twice the short side"))
    return found


def _apple_set_rules(sets, fastlane):
    found = []
    languages = sorted({language for language, _ in sets})
    for language in languages:
        if fastlane and language.lower() not in {code.lower() for code in APPLE_LANGUAGES}:
            found.append(Violation(ERROR, f"{layout.APPLE_ROOT}/{language}", "apple-language",
                                   "not an App Store Connect language code"))
        kinds = {kind: shots for (lang, kind), shots in sets.items() if lang == language}
        for kind, shots in sorted(kinds.items()):
            if len(shots) > MAX_APPLE_PER_TYPE:
                found.append(Violation(ERROR, shots[MAX_APPLE_PER_TYPE][0], "apple-count",
                                       f"{len(shots)} {kind} screenshots in {language}; at most {MAX_APPLE_PER_TYPE}"))
            sizes = sorted({size for _, size in shots})
            if len(sizes) > 1:
                found.append(Violation(WARNING, language, "apple-mixed-sizes",
                                       f"{kind} screenshots of {len(sizes)} sizes ("
                                       + ", ".join(f"{w}x{h}" for w, h in sizes)
                                       + "): the App Store shows them all in the one display type, "
                                         "so each screen appears more than once; choose one preset per display type"))
        platforms = sorted({next((p for prefix, p in PLATFORMS if k.startswith(prefix)), "iOS") for k in kinds})
        if len(platforms) > 1:
            found.append(Violation(WARNING, language, "apple-platforms",
                                   f"screenshots for {', '.join(platforms)} in one folder; the App Store upload tool "
                                   "uploads to one platform's version per run: use one set per platform"))
        if any(k.startswith("iPhone") for k in kinds) and not \
                ("iPhone 6.9-inch" in kinds or "iPhone 6.5-inch" in kinds):
            found.append(Violation(ERROR, language, "apple-iphone-set",
                                   "iPhone screenshots without the 6.9-inch (or 6.5-inch) set the App Store requires"))
        if any(k.startswith("iPad") for k in kinds) and "iPad 13-inch" not in kinds:
            found.append(Violation(ERROR, language, "apple-ipad-set",
                                   "iPad screenshots without the 13-inch set the App Store requires"))
    return found


def _play_set_rules(sets, fastlane):
    found = []
    for language in sorted({language for language, _ in sets}):
        if fastlane and language.lower() not in {code.lower() for code in PLAY_LANGUAGES}:
            found.append(Violation(ERROR, f"{layout.PLAY_ROOT}/{language}", "play-language",
                                   "not a Play Console language code"))
        phones = sets.get((language, layout.PHONE), [])
        if len(phones) < PLAY_MIN_PHONE:
            found.append(Violation(ERROR, language, "play-count",
                                   f"{len(phones)} phone screenshot{'s' if len(phones) != 1 else ''}; "
                                   f"Play needs {PLAY_MIN_PHONE} to {PLAY_MAX_PER_KIND}"))
        for kind in layout.PLAY_SCREENSHOT_FOLDERS:
            paths = sets.get((language, kind), [])
            if len(paths) > PLAY_MAX_PER_KIND:
                found.append(Violation(ERROR, paths[PLAY_MAX_PER_KIND], "play-count",
                                       f"{len(paths)} {kind} in {language}; at most {PLAY_MAX_PER_KIND}"))
    return found
