"""Joining the folders of a sharded set run (`run --shard I/N`) into one run
folder: the images and one report, which the pipeline then checks and writes
with its contact sheet (pipeline.finish).

Folders are joined only when they come from the same set file (same digest)
and no capture is in two of them; the merged report lists the captures of
the set that no folder holds under "missing", and is not ok then.
"""

from pathlib import Path

from . import outdir, report as reports
from .errors import UsageError
from .files import write_atomic
from .plan import key_of
from .report import Report


def load_set_report(folder):
    report = reports.read(folder)
    if report.kind != "set":
        raise UsageError(f"{Path(folder) / 'report.json'} is not the report of a set run (`kestrelite run`)")
    return report


def merge_reports(folders):
    """The merged report of the shard folders and, for each capture's key,
    the folder that holds it (nothing is written)."""
    if not folders:
        raise UsageError("merge needs at least one folder")
    shards = [load_set_report(folder) for folder in folders]
    first = shards[0]
    for folder, report in zip(folders[1:], shards[1:]):
        if report.members.get("set_digest") != first.members.get("set_digest"):
            raise UsageError(f"{folder} was made from a different set file than {folders[0]} "
                             f"(set digest {str(report.members.get('set_digest'))[:12]}… against "
                             f"{str(first.members.get('set_digest'))[:12]}…)")
    owner = {}
    for folder, report in zip(folders, shards):
        for item in report.entries:
            key = key_of("set", item)
            if key in owner:
                raise UsageError(f"{'/'.join(key)} is in both {owner[key]} and {folder}")
            owner[key] = folder
    plan = [tuple(key) for key in first.members.get("plan", [])]
    order = {key: i for i, key in enumerate(plan)}
    entries = sorted((e for r in shards for e in r.entries), key=lambda e: order.get(key_of("set", e), len(order)))
    members = {k: v for k, v in first.members.items() if k not in ("shard", "missing", "shards")}
    members["shards"] = len(shards)
    missing = [key for key in plan if key not in owner]
    if missing:
        members["missing"] = ["/".join(key) for key in missing]
    merged = Report("set", members, entries, max(r.elapsed_ms for r in shards))
    verified = [r.verify for r in shards if r.verify is not None]
    if verified:
        differ = [d for v in verified for d in v["differ"]]
        # A shard that was never verified is not identical to anything.
        merged.verify = {"identical": not differ and len(verified) == len(shards), "differ": differ,
                         "captures": [p for v in verified for p in v["captures"]]}
    return merged, owner


def merge_folders(folders, out):
    """Copies every shard's images (and kept second images of --verify) into
    `out` and returns the merged report; `out` must be none of the shards and
    hold no file of those names that kestrelite did not write."""
    out = Path(out)
    for folder in folders:
        if Path(folder).resolve() == out.resolve():
            raise UsageError(f"--out {out} is one of the folders to merge; choose a new folder")
    merged, owner = merge_reports([str(f) for f in folders])
    seconds = [p["second_path"] for p in (merged.verify or {}).get("captures", []) if "second_path" in p]
    outdir.prepare(out, [e["path"] for e in merged.entries if "path" in e] + seconds + ["report.json", "index.html"],
                   "set")
    for item in merged.entries:
        if "path" in item:
            _copy(Path(owner[key_of("set", item)]) / item["path"], out / item["path"])
    for pair in (merged.verify or {}).get("captures", []):
        if "second_path" in pair:
            _copy(Path(owner[key_of("set", pair)]) / pair["second_path"], out / pair["second_path"])
    return merged


def _copy(source, target):
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        write_atomic(target, source.read_bytes())
    except OSError as e:
        raise UsageError(f"cannot copy {source} to {target}: {e.strerror or e}") from None
