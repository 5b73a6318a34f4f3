"""Output folders: kestrelite never replaces a file it did not write.

A run names the files it is about to write (paths relative to its output
folder, "/"-separated, so a run may write into subfolders). `prepare` checks
the folder before any browser starts and records those names in the folder's
marker file, MARKER, a small JSON list of what kestrelite wrote there, with
the kind of folder it is (a capture run, a set run or a comparison):

    {"kestrelite": "0.1.14", "kind": "capture", "files": ["index.html", "play-wear-os.png", "report.json"]}

A later run may replace a file the marker lists and no other existing file,
and only a command of the same kind may write into the folder.
`settle`, after the run, keeps in the marker only the names that exist, so
a name claimed by a device that failed is not held against a file the user
puts there later. A folder written before markers existed is recognised by
its report.json and contact sheet.
"""

import json
import os
import tempfile
from pathlib import Path, PurePosixPath

from ._native import version
from .errors import UsageError
from .files import remove_leftovers, write_atomic
from .layout import plain_file_name

MARKER = ".kestrelite-files.json"

HOW_TO_PROCEED = "move it away or choose another output folder"


def _relative(name):
    """Whether `name` is a relative path that stays inside its folder."""
    return (isinstance(name, str) and name != "" and not name.startswith("/") and "\0" not in name
            and all(part not in ("", ".", "..") for part in name.split("/")))


def _parts(name):
    if not _relative(name):
        raise ValueError(f"not a relative file name inside the folder: {name!r}")
    return PurePosixPath(name).parts


def read_marker(folder):
    """The names the marker lists, or None when the folder has no marker.
    A marker that kestrelite did not write is refused like any other file."""
    path = Path(folder) / MARKER
    if not os.path.lexists(path):
        return None
    try:
        files = json.loads(path.read_text(encoding="utf-8"))["files"]
        if isinstance(files, list) and all(_relative(f) for f in files):
            return set(files)
    except (OSError, ValueError, TypeError, KeyError):
        pass
    raise UsageError(f"{path} exists and is not kestrelite's list of the files it wrote; {HOW_TO_PROCEED}")


KINDS = ("capture", "set", "comparison")
NAMES = {"capture": "capture run (kestrelite capture)", "set": "set run (kestrelite run or merge)",
         "comparison": "comparison (kestrelite compare)"}


def kind_of(folder):
    """The kind of kestrelite folder `folder` is ("capture", "set" or
    "comparison"), or None when it is none of them (or empty)."""
    folder = Path(folder)
    try:
        marked = json.loads((folder / MARKER).read_text(encoding="utf-8")).get("kind")
        if marked in KINDS:
            return marked
    except (OSError, ValueError, AttributeError):
        pass
    try:
        report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
        if isinstance(report, dict) and ("kestrelite" in report or "results" in report or "captures" in report):
            return report.get("kind", "capture")
    except (OSError, ValueError):
        pass
    return "comparison" if (folder / "compare.json").is_file() else None


def _legacy_files(folder):
    """What a capture written before markers existed left in the folder: its
    report.json, the images that report names and its contact sheet."""
    try:
        report = json.loads((folder / "report.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return set()
    if not (isinstance(report, dict) and "kestrelite" in report and isinstance(report.get("results"), list)
            and report.get("kind", "capture") == "capture"):
        return set()
    files = {"report.json"}
    entries = report["results"] + (report.get("verify") or {}).get("devices", [])
    for entry in entries:
        for key in ("path", "second_path"):
            value = entry.get(key) if isinstance(entry, dict) else None
            if isinstance(value, str) and plain_file_name(os.path.basename(value)):
                files.add(os.path.basename(value))
    try:
        with open(folder / "index.html", encoding="utf-8", errors="replace") as sheet:
            if "<title>kestrelite: " in sheet.read(4096):
                files.add("index.html")
    except OSError:
        pass
    return files


def earlier_files(folder):
    """The names an earlier kestrelite run wrote into the folder."""
    folder = Path(folder)
    listed = read_marker(folder)
    return _legacy_files(folder) if listed is None else listed


def _write_marker(folder, files, kind=None):
    kind = kind or kind_of(folder)
    marker = {"kestrelite": version(), **({"kind": kind} if kind else {}), "files": sorted(files)}
    text = json.dumps(marker, separators=(",", ":")) + "\n"
    write_atomic(folder / MARKER, text.encode("utf-8"))


def _reason(error):
    return error.strerror or str(error)


def prepare(folder, names, kind):
    """Makes `folder` ready for a command of `kind` that writes `names`
    (relative paths), or raises UsageError saying which path is in the way
    and why: the folder is not a folder or cannot be created or written, it
    holds another kind of kestrelite folder, a name is a folder, or a name
    exists and no earlier kestrelite run wrote it. Creates the folder,
    removes the temporary files of killed runs from the folders it writes
    into, and records the names and the kind in its marker; nothing else is
    written."""
    folder = Path(folder)
    if os.path.exists(folder) and not folder.is_dir():
        raise UsageError(f"{folder} is {'a file' if folder.is_file() else 'something else'}, not a folder")
    found = kind_of(folder)
    if found not in (None, kind):
        raise UsageError(f"{folder} holds a {NAMES[found]}, not a {NAMES[kind]}; choose another folder")
    names = list(dict.fromkeys(names))
    earlier = earlier_files(folder) if folder.is_dir() else set()
    folders = {folder}
    for name in names:
        parts = _parts(name)
        for depth in range(1, len(parts)):
            parent = folder.joinpath(*parts[:depth])
            if os.path.exists(parent) and not parent.is_dir():
                raise UsageError(f"{parent} is a file, not a folder; {HOW_TO_PROCEED}")
            folders.add(parent)
        path = folder.joinpath(*parts)
        if path.is_dir():
            raise UsageError(f"{path} is a folder where kestrelite writes a file; {HOW_TO_PROCEED}")
        if os.path.lexists(path) and name not in earlier:
            raise UsageError(f"{path} exists and was not written by kestrelite; {HOW_TO_PROCEED} "
                             "(kestrelite never replaces a file it did not write)")
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise UsageError(f"cannot create {folder}: {_reason(e)}") from None
    for existing in sorted(f for f in folders if f != folder and f.is_dir()):
        _probe(existing)
    for existing in folders:
        remove_leftovers(existing)
    try:
        _write_marker(folder, earlier | set(names), kind)
    except OSError as e:
        raise UsageError(f"cannot write into {folder}: {_reason(e)}") from None


def _probe(folder):
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".kestrelite-", suffix=".partial")
        os.close(fd)
        os.unlink(temporary)
    except OSError as e:
        raise UsageError(f"cannot write into {folder}: {_reason(e)}") from None


def settle(folder):
    """After a run: the marker keeps only the names that exist."""
    folder = Path(folder)
    listed = read_marker(folder)
    if listed is not None:
        _write_marker(folder, {name for name in listed if os.path.lexists(folder.joinpath(*_parts(name)))})
