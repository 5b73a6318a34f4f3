"""Approving what a comparison found: BASE takes NEW's pictures for the
pairs chosen and stays a run folder whose report matches its files.

approve() pairs the captures of two run folders as compare does, by digest
(no pixel is read), and chooses the pairs: by default every changed, added
and removed one; `only` names pairs as compare names them
("locale/screen/device", with the appearance in sets that have one) or by
device id. Then, holding a lock on BASE so that two approvals never
interleave, it copies NEW's image of each changed or added pair into BASE
(under the name BASE's report gives it, else NEW's), deletes BASE's image of
each removed pair, and writes BASE's report and contact sheet with those
entries, a set checked again against the stores' rules. The report drops
BASE's --verify record, which spoke of images BASE no longer holds.

Everything that can refuse is checked before the first write: runs of
different kinds or layouts, a NEW that is part of a set (a shard) or failed
to capture a chosen pair, an image of NEW that is not what its report says,
a file in BASE that kestrelite did not write. Every file is written
atomically (files.py).
"""

import contextlib
import copy
import fcntl
import hashlib
import os
from pathlib import Path, PurePosixPath

from . import outdir, pipeline, report as reports
from .compare_page import pair_name
from .errors import UsageError
from .files import write_atomic
from .plan import key_of


def _image_name(kind, entry):
    """Where an entry's image lies inside its run folder."""
    path = entry["path"]
    return PurePosixPath(path).name if kind == "capture" else path


def _status(base, new):
    if base is None:
        return "added"
    if new is None:
        return "removed"
    if new["outcome"] == "failed" or base["outcome"] == "failed":
        return "failed"
    return "same" if base["capture"]["sha256"] == new["capture"]["sha256"] else "changed"


def pairs_of(base_report, new_report):
    """(name, key, status, base entry, new entry) of every pair, NEW's order
    first, then the pairs only BASE has."""
    kind = new_report.kind
    base_entries = {key_of(kind, e): e for e in base_report.entries}
    new_entries = {key_of(kind, e): e for e in new_report.entries}
    keys = list(new_entries) + [k for k in base_entries if k not in new_entries]
    fields = new_report.keys()
    pairs = []
    for key in keys:
        base, new = base_entries.get(key), new_entries.get(key)
        name = pair_name(dict(zip(fields, key)))
        pairs.append((name, key, _status(base, new), base, new))
    return pairs


def _digests(kind, entries):
    return {key_of(kind, e): (e.get("capture") or {}).get("sha256") for e in entries}


def _choose(pairs, only):
    if not only:
        return [p for p in pairs if p[2] in ("changed", "added", "removed", "failed")]
    chosen = []
    for wanted in only:
        matched = [p for p in pairs if wanted in (p[0], p[1][-1])]
        if not matched:
            raise UsageError(f"--only {wanted}: no pair of the two runs is named so "
                             "(give locale/screen/device as compare names it, or a device id)")
        chosen += [p for p in matched if p not in chosen]
    return [p for p in chosen if p[2] != "same"]


@contextlib.contextmanager
def _locked(folder):
    """Holds an exclusive lock on `folder` itself: a second approval of the
    same folder waits until the first is done."""
    fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _read_checked(folder, kind, entry):
    """NEW's image of an entry, refused unless its digest is the report's."""
    path = Path(folder) / _image_name(kind, entry)
    try:
        data = path.read_bytes()
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror or e}") from None
    if hashlib.sha256(data).hexdigest() != entry["capture"]["sha256"]:
        raise UsageError(f"{path} is not the image its report names (its digest differs): run again")
    return data


def approve(base, new, only=None):
    """Makes BASE hold NEW's pictures for the chosen pairs (see the module's
    text); returns the (name, status) of each pair approved, in order.
    Raises UsageError, having changed nothing, when it refuses."""
    base, new = Path(base), Path(new)
    if not base.is_dir():
        raise UsageError(f"{base} is not a folder")
    if base.resolve() == new.resolve():
        raise UsageError(f"{base} and {new} are the same folder")
    with _locked(base):
        base_report, new_report = reports.read(base), reports.read(new)
        kind = new_report.kind
        if base_report.kind != kind:
            raise UsageError(f"cannot approve a {kind} run ({new}) into a {base_report.kind} run ({base})")
        if outdir.kind_of(base) != kind:
            raise UsageError(f"{base} was not written by kestrelite")
        if kind == "set":
            if new_report.members.get("shard") or new_report.members.get("missing"):
                raise UsageError(f"{new} holds part of a set: merge its shards and approve the merged folder")
            if base_report.members.get("layout") != new_report.members.get("layout"):
                raise UsageError(f"{base} and {new} use different layouts; approve only runs of one set file")
        pairs = pairs_of(base_report, new_report)
        chosen = _choose(pairs, only)
        for name, _, status, _, made in chosen:
            if made is not None and made["outcome"] == "failed":
                raise UsageError(f"{new} failed to capture {name}: approve the pairs it captured, with --only")
        images = {key: _read_checked(new, kind, made) for _, key, _, _, made in chosen if made is not None}
        if not chosen:
            return []
        entries = {key_of(kind, e): e for e in base_report.entries}
        targets = {}
        for _, key, _, was, made in chosen:
            if made is not None:
                targets[key] = _image_name(kind, was if was is not None and "path" in was else made)
        outdir.prepare(base, list(targets.values()) + ["report.json", "index.html"], kind)
        try:
            for key, name in targets.items():
                target = base.joinpath(*PurePosixPath(name).parts)
                target.parent.mkdir(parents=True, exist_ok=True)
                write_atomic(target, images[key])
                entry = copy.deepcopy(next(p[4] for p in chosen if p[1] == key))
                entry["path"] = str(base / name) if kind == "capture" else name
                entries[key] = entry
            ours = outdir.earlier_files(base)
            for _, key, status, was, _ in chosen:
                if status == "removed":
                    del entries[key]
                    if "path" in was and _image_name(kind, was) in ours:
                        base.joinpath(*PurePosixPath(_image_name(kind, was)).parts).unlink(missing_ok=True)
            order = [p[1] for p in pairs if p[1] in entries]
            base_report.entries = [entries[key] for key in order]
            if _digests(kind, base_report.entries) == _digests(kind, new_report.entries):
                # BASE now holds NEW's run: what made it is NEW's too.
                base_report.members = dict(new_report.members)
                base_report.planned = new_report.planned
            else:
                base_report.planned = len(base_report.entries)
            base_report.verify = None
            pipeline.finish(base_report, base, check=kind == "set")
        finally:
            with contextlib.suppress(OSError):
                outdir.settle(base)
    return [(name, status) for name, _, status, _, _ in chosen]
