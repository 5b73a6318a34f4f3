"""Two run folders compared capture by capture: the pairing, each pair's
status and pixel figures, the difference images, and the record of it all,
DIR/compare.json, beside a page that shows it, DIR/index.html.

A run folder is what `kestrelite capture` or `kestrelite run` writes: a
report.json and the images. Captures pair by device in capture folders, by
locale, screen and device in set folders. A pair is "same" when the two
digests are equal, "changed" when not, "added" when only the new run has
it, "removed" when only the base run has it, and "failed" when either run
failed to capture it (or its image cannot be read). Pairs whose digests
differ and whose sizes are equal are compared pixel by pixel by the native
module, which also draws their difference image, leaving out the boxes of
both captures' masks and, with antialiasing "ignore", the pixels that look
like anti-aliasing; a pair with no changed pixel left is "same" after all.
A size change is reported as such. A change passes when it is within the
threshold: its screen's (a set file's per-screen `threshold`), else the
comparison's; a number of pixels, or a share of the image ("0.5%").

Every path in compare.json is relative to the folder that holds it, so the
page can link the images of both runs from the file system.
"""

import contextlib
import json
import os
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path, PurePosixPath

from . import outdir, report as reports
from ._native import _compare_png, version
from .compare_page import render
from .errors import RunError, UsageError
from .files import write_atomic
from .layout import plain_file_name
from .plan import key_fields

STATUSES = ("same", "changed", "added", "removed", "failed")
RECORD = "compare.json"
DIFFERENCE_SUFFIX = ".diff.png"
ANTIALIASING = ("count", "ignore")


def read_threshold(value):
    """A threshold as given (a whole number of pixels, 0 or more, or a share
    of the image's pixels such as "0.5%"), checked; raises ValueError saying
    what is wrong."""
    if isinstance(value, str) and value.endswith("%"):
        try:
            share = float(value[:-1])
        except ValueError:
            share = -1.0
        if not 0 <= share <= 100:
            raise ValueError(f"a share of the image must be 0% to 100%, not {value!r}")
        return value
    if isinstance(value, str) and value.isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"must be a whole number of pixels, 0 or more, or a share such as \"0.5%\", not {value!r}")
    return value


def allowed_pixels(threshold, width, height):
    """How many changed pixels `threshold` lets pass in a width x height image."""
    if isinstance(threshold, str):
        return int(float(threshold[:-1]) / 100 * width * height)
    return threshold


def load_run(folder):
    """The run in `folder`: its kind and its captures by key, in report
    order. Raises UsageError when the folder has no readable report or the
    report is not one of kestrelite's run reports."""
    folder = Path(folder)
    path = folder / "report.json"
    report = reports.read(folder)
    kind = report.kind

    def refuse(what):
        raise UsageError(f"{path} is not a kestrelite run report: {what}")

    captures, fields = {}, report.keys()
    for entry in report.entries:
        if not all(plain_file_name(entry.get(k)) for k in fields):
            refuse(f"a capture without a plain {', '.join(fields)}: {json.dumps(entry)[:200]}")
        key = tuple(entry[k] for k in fields)
        captures.setdefault(key, _capture(folder, kind, entry, refuse))
    thresholds = report.members.get("thresholds") if kind == "set" else None
    return {"folder": folder, "kind": kind, "fields": fields, "captures": captures,
            "thresholds": thresholds if isinstance(thresholds, dict) else {}}


def _capture(folder, kind, entry, refuse):
    """One capture: its outcome, and its image, digest and size or its error."""
    if entry.get("outcome") == "failed":
        return {"outcome": "failed", "error": str(entry.get("error", "failed"))}
    shot, path = entry.get("capture"), entry.get("path")
    if not (isinstance(shot, dict) and isinstance(shot.get("sha256"), str) and isinstance(path, str)):
        refuse(f"capture {json.dumps(entry)[:200]} has no image path and digest")
    if kind == "capture":
        image = folder / PurePosixPath(path).name
    else:
        relative = PurePosixPath(path)
        if relative.is_absolute() or ".." in relative.parts:
            refuse(f"image path {path!r} is outside the run folder")
        image = folder / relative
    return {"outcome": str(entry.get("outcome")), "image": image, "sha256": shot["sha256"],
            "size": shot.get("actual"), "masks": _mask_boxes(shot.get("masks"))}


def _mask_boxes(masks):
    """The boxes of a capture's masks ([x, y, width, height] in device
    pixels); what is not such a box is left out."""
    boxes = []
    for mask in masks if isinstance(masks, list) else []:
        for box in mask.get("boxes", []) if isinstance(mask, dict) else []:
            if isinstance(box, list) and len(box) == 4 and all(type(v) is int for v in box):
                boxes.append(tuple(box))
    return boxes


def output_folder(new, out=None):
    """Where a comparison is written: `out`, by default NEW/compare."""
    return Path(out) if out is not None else Path(new) / "compare"


def compare_runs(base, new, out=None, threshold=0, jobs=2, antialiasing="count"):
    """Compares the run in `new` with the run in `base`, writes the
    difference images, compare.json and index.html into `out` (default
    NEW/compare) and returns the record (the content of compare.json).
    Its "ok" is true when nothing changed, was added, removed or failed,
    or every change is within its threshold (see the module's text)."""
    try:
        threshold = read_threshold(threshold)
    except ValueError as e:
        raise UsageError(f"the threshold {e}") from None
    if antialiasing not in ANTIALIASING:
        raise UsageError(f"antialiasing must be count or ignore, not {antialiasing!r}")
    base_run, new_run = load_run(base), load_run(new)
    if base_run["kind"] != new_run["kind"]:
        raise UsageError(f"cannot compare a {base_run['kind']} run ({base}) with a {new_run['kind']} run ({new})")
    out = output_folder(new, out)
    pairs = [_pair(run["fields"], key, base_run["captures"].get(key), new_run["captures"].get(key), out)
             for run in (new_run, base_run) for key in run["captures"]
             if run is new_run or key not in new_run["captures"]]
    changed = [p for p in pairs if p["status"] == "changed"]
    _prepare_output(out, [RECORD, "index.html"] + [p["_difference"] for p in changed])
    screens = {name: read_threshold(value) for name, value in new_run["thresholds"].items()
               if _valid_threshold(value)}
    try:
        with ThreadPoolExecutor(max_workers=max(1, jobs), thread_name_prefix="kestrelite-compare") as pool:
            for pair, images in zip(changed, pool.map(lambda p: _pixel_difference(p, antialiasing), changed)):
                limit = screens.get(pair.get("screen"), threshold)
                if limit != threshold:
                    pair["threshold"] = limit
                _record_difference(pair, images, limit, out)
        counts = {s: sum(1 for p in pairs if p["status"] == s) for s in STATUSES}
        record = {
            "kestrelite": version(), "kind": new_run["kind"], "base": str(base), "new": str(new),
            "threshold": threshold, "antialiasing": antialiasing, **counts,
            "ok": all(p["status"] == "same" or p.get("within_threshold") for p in pairs),
            "pairs": [{k: v for k, v in p.items() if not k.startswith("_")} for p in pairs],
        }
        write_atomic(out / RECORD, (json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n").encode())
        write_atomic(out / "index.html", render(record).encode("utf-8"))
    except OSError as e:
        raise RunError(f"cannot write into {out}: {e.strerror or e}") from None
    finally:
        # The marker keeps only what exists: the names of pairs that got no
        # difference image (a size change, an unreadable image) drop out.
        with contextlib.suppress(OSError):
            outdir.settle(out)
    return record


def _prepare_output(out, names):
    """Readies the output folder for `names` as every command does (nothing
    there that kestrelite did not write is replaced, and no run folder is
    taken for a comparison), and removes the difference images of an earlier
    comparison there."""
    earlier = outdir.earlier_files(out) if out.is_dir() and outdir.kind_of(out) == "comparison" else set()
    outdir.prepare(out, names, "comparison")
    for name in earlier - set(names):
        if name.endswith(DIFFERENCE_SUFFIX):
            out.joinpath(*PurePosixPath(name).parts).unlink(missing_ok=True)


def _side(capture, out):
    if capture["outcome"] == "failed":
        return {"outcome": "failed", "error": capture["error"]}
    side = {"outcome": capture["outcome"], "path": os.path.relpath(capture["image"], out),
            "sha256": capture["sha256"]}
    if capture["size"] is not None:
        side["size"] = capture["size"]
    return side


def _pair(fields, key, base, new, out):
    pair = dict(zip(fields, key))
    if any(c is not None and c["outcome"] == "failed" for c in (base, new)):
        pair["status"] = "failed"
    elif base is None or new is None:
        pair["status"] = "added" if base is None else "removed"
    else:
        pair["status"] = "same" if base["sha256"] == new["sha256"] else "changed"
    if base is not None:
        pair["base"] = _side(base, out)
    if new is not None:
        pair["new"] = _side(new, out)
    if pair["status"] == "changed":
        pair["_images"] = (base["image"], new["image"])
        pair["_masks"] = base["masks"] + new["masks"]
        pair["_difference"] = "/".join(key[:-1] + (key[-1] + DIFFERENCE_SUFFIX,))
    return pair


def _valid_threshold(value):
    try:
        read_threshold(value)
    except ValueError:
        return False
    return True


def _pixel_difference(pair, antialiasing):
    """(figures, difference PNG bytes) of a changed pair, or (None, error)
    when an image cannot be read or decoded."""
    images = pair["_images"]
    contents = []
    for image in images:
        try:
            contents.append(image.read_bytes())
        except OSError as e:
            return None, f"cannot read {image}: {e.strerror or e}"
    try:
        figures, difference = _compare_png(*contents, masks=pair["_masks"] or None, antialiasing=antialiasing)
    except ValueError as e:
        side, message = e.args
        return None, f"{images[0] if side == 'base' else images[1]}: {message}"
    return json.loads(figures), difference


def _record_difference(pair, images, threshold, out):
    figures, detail = images
    if figures is None:
        pair["status"] = "failed"
        pair["error"] = detail
        return
    pair["base"]["size"], pair["new"]["size"] = figures["base"], figures["new"]
    if figures["base"] != figures["new"]:
        pair["size_changed"] = True
        return
    width, height = figures["new"]
    pair["differing_pixels"] = figures["differing"]
    pair["differing_share"] = figures["differing"] / (width * height)
    for name in ("masked", "antialiased"):
        if figures.get(name):
            pair[f"{name}_pixels"] = figures[name]
    if "box" in figures:
        pair["box"] = dict(zip(("x", "y", "width", "height"), figures["box"]))
    pair["within_threshold"] = figures["differing"] <= allowed_pixels(threshold, width, height)
    if figures["differing"] == 0:
        # The files differ, the pictures do not (outside what was left out).
        pair["status"] = "same"
    target = out / pair["_difference"]
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        write_atomic(target, detail)
    except OSError as e:
        raise RunError(f"cannot write {target}: {e.strerror or e}") from None
    pair["difference"] = pair["_difference"]
