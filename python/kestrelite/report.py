"""The command line's run report: the per-device reports of the module merged
into one, the settings that made the bytes and the outcome of --verify added,
its one-line summary, the digest comparison of two runs, and writing it as
DIR/report.json."""

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
