"""The run report: one model for every command, one serializer, and the one
place that decides whether a run is ok.

A Report holds the entries of a run (one per capture made: the module's
result for a capture run, the result with its locale, screen and path for a
set run), the members that say what made the bytes, and what came after the
captures: the second run of --verify and the store-rule check. Its JSON is
written in the documented member order of its kind (CAPTURE_ORDER,
SET_ORDER), members that do not apply left out, and saved once, atomically.
"""

import json
import os
from dataclasses import dataclass, field
from pathlib import Path

from .errors import UsageError
from .files import write_atomic
from .plan import key_fields, key_of

COUNTS = ("exact", "off_size", "failed")
# What every capture of a run does besides its page: media features, the PNG encoding.
RUN_SETTINGS = ("reduced_motion", "contrast", "forced_colors", "fast_png")
CAPTURE_ORDER = ("kestrelite", "kind", "url", "seed", "locale", "timezone", "appearance", *RUN_SETTINGS, "steps", "mask",
                 "browser", *COUNTS, "not_started",
                 "elapsed_ms", "ok", "results", "verify")
SET_ORDER = ("kestrelite", "kind", "set_file", "set_path", "set_digest", "layout", *COUNTS, "elapsed_ms", "ok", "captures",
             "seed", "timezone", "browser", "locales", "screens", "thresholds", "appearances", *RUN_SETTINGS, "plan", "devices",
             "timezones", "not_started",
             "shard", "notes", "shards", "missing", "verify", "check")
ENTRIES = {"capture": "results", "set": "captures"}
# Members computed from the rest, never stored in a Report.
DERIVED = (*COUNTS, "ok", "not_started")


@dataclass
class Report:
    kind: str                 # "capture" or "set"
    members: dict             # what made the bytes: url, seed, browser, devices, plan ...
    entries: list = field(default_factory=list)
    elapsed_ms: int = 0
    planned: int = None       # captures the run meant to make; None: as many as it made
    verify: dict = None
    check: dict = None        # {"errors": [...], "warnings": [...]}

    @property
    def not_started(self):
        return (self.planned or len(self.entries)) - len(self.entries)

    def count(self, outcome):
        return sum(1 for e in self.entries if e["outcome"] == outcome)

    @property
    def ok(self):
        return is_ok(self)

    def keys(self):
        return key_fields(self.kind, self.members.get("appearances"))


def missing_glyphs(entry):
    """The code points of an entry's picture that no font draws ("U+XXXX"),
    and how many there are in all."""
    glyphs = (entry.get("capture") or {}).get("glyphs") or {}
    return glyphs.get("missing", []), glyphs.get("missing_count", 0)


def is_ok(report):
    """The run is ok exactly when something was captured, every capture it
    meant to make was made and is exact with a glyph for every character,
    a second run (--verify) found every digest the same and no store rule is
    broken."""
    return (bool(report.entries) and report.not_started == 0 and not report.members.get("missing")
            and all(e["outcome"] == "exact" and not missing_glyphs(e)[1] for e in report.entries)
            and (report.verify is None or report.verify["identical"])
            and not (report.check or {}).get("errors"))


def to_json(report):
    """The report as the dict its JSON file holds, members in order."""
    values = {**report.members, "kind": report.kind, "exact": report.count("exact"),
              "off_size": report.count("off-size"), "failed": report.count("failed"),
              "elapsed_ms": report.elapsed_ms, "ok": report.ok, ENTRIES[report.kind]: report.entries,
              "verify": report.verify, "check": report.check}
    if report.not_started:
        values["not_started"] = report.not_started
    order = CAPTURE_ORDER if report.kind == "capture" else SET_ORDER
    return {key: values[key] for key in order if values.get(key) is not None}


def from_json(data, source="report.json"):
    """A Report from the dict of a report file. Raises UsageError when it is
    not one of kestrelite's run reports."""
    if not isinstance(data, dict):
        raise UsageError(f"{source} is not a kestrelite run report: not a JSON object")
    kind = data.get("kind", "capture")
    if kind not in ENTRIES:
        raise UsageError(f"{source} is not a kestrelite run report: unknown kind {kind!r}")
    entries = data.get(ENTRIES[kind])
    if not isinstance(entries, list) or not all(isinstance(e, dict) and "outcome" in e for e in entries):
        raise UsageError(f"{source} is not a kestrelite run report: no {ENTRIES[kind]} list")
    members = {k: v for k, v in data.items() if k not in (*DERIVED, "kind", "elapsed_ms", ENTRIES[kind],
                                                             "verify", "check")}
    return Report(kind, members, entries, data.get("elapsed_ms", 0),
                  len(entries) + (data.get("not_started") or 0), data.get("verify"), data.get("check"))


def read(folder):
    """The report of the run folder `folder`. Raises UsageError when the
    folder is not one or its report cannot be read."""
    folder = Path(folder)
    path = folder / "report.json"
    if not folder.is_dir():
        raise UsageError(f"{folder} is not a folder")
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise UsageError(f"{folder} has no report.json: not a kestrelite run folder") from None
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot read {path}: {e}") from None
    return from_json(data, str(path))


def write(report, folder):
    """Writes FOLDER/report.json: compact JSON with a final line feed."""
    text = json.dumps(to_json(report), ensure_ascii=False, separators=(",", ":")) + "\n"
    write_atomic(Path(folder) / "report.json", text.encode("utf-8"))


def entry(kind, job, result, out):
    """A report entry for the module's `result` of `job`: the result itself
    for a capture run, with the job's locale, screen and path for a set."""
    if kind == "capture":
        return result
    made = {"locale": job.locale, "screen": job.screen, **({"appearance": job.appearance} if job.appearance else {}),
            "device_id": job.device_id, "url": job.url, "outcome": result["outcome"],
            "elapsed_ms": result["elapsed_ms"]}
    if "capture" in result:
        made["path"] = job.path
        made["capture"] = result["capture"]
    else:
        made["error"] = result["error"]
    if "teardown" in result:
        made["teardown"] = result["teardown"]
    return made


def pair_digests(report, second, keep):
    """The comparison of a second run with the first by digest, over the
    captures the first made: `second` are the second run's entries;
    `keep(entry)` keeps a differing second image and says where."""
    later = {key_of(report.kind, e): e for e in second}
    pairs = []
    for first in report.entries:
        other = later.get(key_of(report.kind, first))
        if "capture" not in first or other is None:
            continue
        pair = {name: first[name] for name in report.keys()}
        pair["first"] = first["capture"]["sha256"]
        if "capture" in other:
            pair["second"] = other["capture"]["sha256"]
        else:
            pair["error"] = other["error"]
        pair["identical"] = pair.get("second") == pair["first"]
        if "second" in pair and not pair["identical"]:
            pair["second_path"] = keep(other)
        pairs.append(pair)
    differ = ["/".join(key_of(report.kind, p)) for p in pairs if not p["identical"]]
    return {"identical": not differ, "differ": differ, "devices" if report.kind == "capture" else "captures": pairs}


def settle_flag(capture):
    """A few words for a capture whose settle wait ended at its deadline, with
    the waits still open then ("deadline: images, network"); None for one
    that settled quietly, and for reports written before captures said."""
    if not capture or capture.get("settle") != "deadline":
        return None
    waits = capture.get("settle_open", [])
    return "deadline: " + ", ".join(waits) if waits else "deadline"


def summary(report):
    """The one-line summary of a run."""
    n = len(report.entries)
    noun = "device" if report.kind == "capture" else "capture"
    left_out = f", {report.not_started} not started" if report.not_started else ""
    boxes = sum(1 for e in report.entries if missing_glyphs(e)[1])
    if boxes:
        left_out += f", {boxes} with missing glyphs"
    if report.members.get("missing"):
        left_out += f", {len(report.members['missing'])} missing"
    return (f"{n} {noun}{'s' if n != 1 else ''}: {report.count('exact')} exact, {report.count('off-size')} off-size, "
            f"{report.count('failed')} failed{left_out} in {report.elapsed_ms / 1000:.1f} s: "
            f"{'ok' if report.ok else 'NOT OK'}")


def outcome_text(report):
    """The run's outcome in a few words: "ok" and what was captured, or
    "NOT OK" and why."""
    noun = "devices" if report.kind == "capture" else "captures"
    if report.ok:
        return f"ok: {report.count('exact')} of {report.count('exact')} {noun} exact"
    reasons = [f"{report.count(outcome)} {outcome}" for outcome in ("off-size", "failed") if report.count(outcome)]
    if report.not_started:
        reasons.append(f"{report.not_started} not started (fail-fast)")
    boxes = sum(1 for e in report.entries if missing_glyphs(e)[1])
    if boxes:
        reasons.append(f"{boxes} with characters no font draws")
    if report.members.get("missing"):
        reasons.append(f"{len(report.members['missing'])} made by no shard")
    if report.verify is not None and report.verify["differ"]:
        reasons.append(f"{len(report.verify['differ'])} changed on the second run")
    elif report.verify is not None and not report.verify["identical"]:
        reasons.append("a second run (--verify) covered only some shards")
    if (report.check or {}).get("errors"):
        reasons.append(f"{len(report.check['errors'])} store-rule errors")
    return "NOT OK: " + (", ".join(reasons) if reasons else "nothing was captured")


def image_link(report, entry, path=None):
    """An entry's image (or `path`) relative to the run folder."""
    path = entry["path"] if path is None else path
    return os.path.basename(path) if report.kind == "capture" else path
