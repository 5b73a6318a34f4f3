"""The command line's run report: the per-device reports of the module merged
into one, its one-line summary, the digest comparison of two runs, and
writing it as DIR/report.json."""

import json
import shutil
from pathlib import Path


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


def summary(report):
    state = "ok" if report["ok"] else "NOT OK"
    n = len(report["results"])
    return (f"{n} device{'s' if n != 1 else ''}: {report['exact']} exact, {report['off_size']} off-size, "
            f"{report['failed']} failed in {report['elapsed_ms'] / 1000:.1f} s: {state}")


def compare_digests(first, second, out_dir, second_dir):
    """The comparison of two runs by digest, over the devices the first run
    captured. A device's second image is kept as DIR/<id>.second.png when it
    differs, so the two can be looked at side by side."""
    later = {r["device_id"]: r for r in second}
    devices = []
    for result in first:
        other = later.get(result["device_id"])
        if "capture" not in result or other is None:
            continue
        entry = {"device_id": result["device_id"], "first": result["capture"]["sha256"]}
        if "capture" in other:
            entry["second"] = other["capture"]["sha256"]
        else:
            entry["error"] = other["error"]
        entry["identical"] = entry.get("second") == entry["first"]
        if "second" in entry and not entry["identical"]:
            kept = Path(out_dir) / f"{result['device_id']}.second.png"
            shutil.copyfile(Path(second_dir) / Path(other["path"]).name, kept)
            entry["second_path"] = str(kept)
        devices.append(entry)
    differ = [e["device_id"] for e in devices if not e["identical"]]
    return {"identical": not differ, "differ": differ, "devices": devices}


def write_report(report, path):
    """Writes the report as compact JSON with a final line feed."""
    Path(path).write_text(json.dumps(report, ensure_ascii=False, separators=(",", ":")) + "\n", encoding="utf-8")
