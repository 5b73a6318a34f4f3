"""The command line's run report: the per-device reports of the module merged
into one, the settings that made the bytes and the outcome of --verify added,
its one-line summary, the digest comparison of two runs, and writing it as
DIR/report.json and reading it back."""

import json
import shutil
from pathlib import Path

from .errors import UsageError


def settle_flag(capture):
    """A few words for a capture whose settle wait ended at its deadline, with
    the waits still open then ("deadline: images, network"); None for one
    that settled quietly, and for reports written before captures said."""
    if not capture or capture.get("settle") != "deadline":
        return None
    waits = capture.get("settle_open", [])
    return "deadline: " + ", ".join(waits) if waits else "deadline"


def merged_report(reports, elapsed_ms):
    """One report of the module's form over the per-device reports."""
    results = [result for report in reports for result in report["results"]]

    def count(outcome):
        return sum(1 for r in results if r["outcome"] == outcome)
    first = reports[0]
    return {
        "kestrelite": first["kestrelite"],
        "url": first["url"],
        "seed": first["seed"],
        "locale": first["locale"],
        "exact": count("exact"),
        "off_size": count("off-size"),
        "failed": count("failed"),
        "elapsed_ms": elapsed_ms,
        "ok": bool(results) and all(r["outcome"] == "exact" for r in results),
        "results": results,
    }


def capture_report(merged, timezone, browser, browser_version, not_started):
    """The report a capture writes: the merged report with "kind", the time
    zone and the browser (executable and the version it states, when it
    stated one) after "locale", and, when fail-fast left devices out, their
    number as "not_started" after "failed"."""
    report = {}
    for key, value in merged.items():
        report[key] = value
        if key == "kestrelite":
            report["kind"] = "capture"
        elif key == "locale":
            report["timezone"] = timezone
            report["browser"] = {"executable": browser}
            if browser_version:
                report["browser"]["version"] = browser_version
        elif key == "failed" and not_started:
            report["not_started"] = not_started
    return report


def add_verify(report, verify):
    """Stores the comparison of a second run; the report is ok only when
    every digest matched, as the exit status says."""
    report["verify"] = verify
    report["ok"] = report["ok"] and verify["identical"]


def summary(report):
    state = "ok" if report["ok"] else "NOT OK"
    n = len(report["results"])
    left_out = f", {report['not_started']} not started" if report.get("not_started") else ""
    return (f"{n} device{'s' if n != 1 else ''}: {report['exact']} exact, {report['off_size']} off-size, "
            f"{report['failed']} failed{left_out} in {report['elapsed_ms'] / 1000:.1f} s: {state}")


def pair_digests(first, second, names, listed_as, keep):
    """The comparison of two runs by digest, over the captures the first run
    made, paired by the members `names`. `keep(result)` keeps a differing
    second image where it can be looked at beside the first and says where.
    The pairs are listed under `listed_as`."""
    def key(result):
        return tuple(result[name] for name in names)

    later = {key(r): r for r in second}
    entries = []
    for result in first:
        other = later.get(key(result))
        if "capture" not in result or other is None:
            continue
        entry = {name: result[name] for name in names}
        entry["first"] = result["capture"]["sha256"]
        if "capture" in other:
            entry["second"] = other["capture"]["sha256"]
        else:
            entry["error"] = other["error"]
        entry["identical"] = entry.get("second") == entry["first"]
        if "second" in entry and not entry["identical"]:
            entry["second_path"] = keep(other)
        entries.append(entry)
    differ = ["/".join(key(e)) for e in entries if not e["identical"]]
    return {"identical": not differ, "differ": differ, listed_as: entries}


def compare_digests(first, second, out_dir, second_dir):
    """The digest comparison of two capture runs; a device's differing second
    image is kept as DIR/<id>.second.png."""
    def keep(other):
        kept = Path(out_dir) / f"{other['device_id']}.second.png"
        shutil.copyfile(Path(second_dir) / Path(other["path"]).name, kept)
        return str(kept)

    return pair_digests(first, second, ("device_id",), "devices", keep)


def read_run_report(folder):
    """The report.json of the run folder `folder`, parsed. Raises UsageError
    when the folder is not one or its report cannot be read."""
    folder = Path(folder)
    path = folder / "report.json"
    if not folder.is_dir():
        raise UsageError(f"{folder} is not a folder")
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise UsageError(f"{folder} has no report.json: not a kestrelite run folder") from None
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot read {path}: {e}") from None


def write_report(report, path):
    """Writes the report as compact JSON with a final line feed."""
    Path(path).write_text(json.dumps(report, ensure_ascii=False, separators=(",", ":")) + "\n", encoding="utf-8")
