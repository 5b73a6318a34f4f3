"""Joining the folders of a sharded set run (`run --shard I/N`) into one run
folder: the images, one report and, by the caller, one contact sheet.

Folders are joined only when they come from the same set file (same digest)
and no capture is in two of them; the merged report lists the captures of
the set that no folder holds under "missing".
"""

import shutil
from pathlib import Path

from . import outdir
from .errors import UsageError
from .report import read_run_report
from .setrun import counts


def load_set_report(folder):
    report = read_run_report(folder)
    path = Path(folder) / "report.json"
    if not isinstance(report, dict) or report.get("kind") != "set":
        raise UsageError(f"{path} is not the report of a set run (`kestrelite run`)")
    return report


def key_of(capture):
    return (capture["locale"], capture["screen"], capture["device_id"])


def merge_reports(folders):
    """The merged report of the shard folders (nothing is written)."""
    if not folders:
        raise UsageError("merge needs at least one folder")
    reports = [load_set_report(folder) for folder in folders]
    first = reports[0]
    for folder, report in zip(folders[1:], reports[1:]):
        if report["set_digest"] != first["set_digest"]:
            raise UsageError(f"{folder} was made from a different set file than {folders[0]} "
                             f"(set digest {report['set_digest'][:12]}… against {first['set_digest'][:12]}…)")
    owner = {}
    for folder, report in zip(folders, reports):
        for capture in report["captures"]:
            if key_of(capture) in owner:
                raise UsageError(f"{'/'.join(key_of(capture))} is in both {owner[key_of(capture)]} and {folder}")
            owner[key_of(capture)] = folder
    plan = [tuple(key) for key in first["plan"]]
    order = {key: i for i, key in enumerate(plan)}
    captures = sorted((c for r in reports for c in r["captures"]), key=lambda c: order.get(key_of(c), len(order)))
    missing = [key for key in plan if key not in owner]
    merged = {key: value for key, value in first.items() if key not in ("shard", "verify", "not_started", "check")}
    merged.update(counts(captures))
    merged["elapsed_ms"] = max(r["elapsed_ms"] for r in reports)
    merged["ok"] = bool(captures) and not missing and all(c["outcome"] == "exact" for c in captures)
    merged["captures"] = captures
    merged["shards"] = len(reports)
    if missing:
        merged["missing"] = ["/".join(key) for key in missing]
    verified = [r["verify"] for r in reports if "verify" in r]
    if verified:
        entries = [e for v in verified for e in v["captures"]]
        differ = [d for v in verified for d in v["differ"]]
        merged["verify"] = {"identical": not differ and len(verified) == len(reports), "differ": differ,
                            "captures": entries}
        merged["ok"] = merged["ok"] and merged["verify"]["identical"]
    return merged, dict(owner)


def merge_folders(folders, out):
    """Copies every shard's images (and kept second images of --verify) into
    `out` and returns the merged report; `out` must be none of the shards and
    hold no file of those names that kestrelite did not write."""
    out = Path(out)
    for folder in folders:
        if Path(folder).resolve() == out.resolve():
            raise UsageError(f"--out {out} is one of the folders to merge; choose a new folder")
    merged, owner = merge_reports([str(f) for f in folders])
    seconds = [e["second_path"] for e in merged.get("verify", {}).get("captures", []) if "second_path" in e]
    outdir.prepare(out, [c["path"] for c in merged["captures"] if "path" in c] + seconds
                   + ["report.json", "index.html"])
    for capture in merged["captures"]:
        if "path" in capture:
            _copy(Path(owner[key_of(capture)]) / capture["path"], out / capture["path"])
    for entry in merged.get("verify", {}).get("captures", []):
        if "second_path" in entry:
            _copy(Path(owner[key_of(entry)]) / entry["second_path"], out / entry["second_path"])
    return merged


def _copy(source, target):
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
    except OSError as e:
        raise UsageError(f"cannot copy {source} to {target}: {e.strerror or e}") from None
