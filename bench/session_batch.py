"""kestrelite's side of the batch benchmark: a list of captures in one
process, through one kestrelite.Session (one browser, a fresh browser
context per capture) or, with "fresh": true, through one capture_json call
per capture (a fresh browser each).

Takes one JSON argument {executable, fresh, jobs: [{url, device, out}, ...]}
and prints one JSON line: the wall time of the whole batch (from before the
first capture to after the session is closed) and of each capture in
milliseconds, this process's own CPU time (the browser excluded), and each
capture's outcome and PNG size.
"""

import json
import os
import resource
import sys
import time

import kestrelite


def cpu_ms():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return (usage.ru_utime + usage.ru_stime) * 1000


def main():
    batch = json.loads(sys.argv[1])
    cpu_before = cpu_ms()
    started = time.perf_counter()
    captures = []

    def record(result, begun):
        captures.append({"wall_ms": (time.perf_counter() - begun) * 1000, "outcome": result["outcome"],
                         "error": result.get("error"), "bytes": result.get("capture", {}).get("bytes", 0)})

    if batch.get("api"):
        # The package's API as a script would call it: one call per round of
        # the presets, each as many captures at once as it takes by default.
        devices = list(dict.fromkeys(job["device"] for job in batch["jobs"]))
        rounds = len(batch["jobs"]) // len(devices)
        for n in range(rounds):
            begun = time.perf_counter()
            report = kestrelite.capture(batch["jobs"][0]["url"], os.path.join(os.path.dirname(batch["jobs"][0]["out"]),
                                        f"api-{n}"), devices, browser=batch["executable"], **batch.get("settings", {}))
            for result in report["results"]:
                record(result, begun)
    elif batch["fresh"]:
        for job in batch["jobs"]:
            begun = time.perf_counter()
            report = kestrelite.capture_json(job["url"], os.path.dirname(job["out"]), [job["device"]],
                                             browser=batch["executable"])
            record(json.loads(report)["results"][0], begun)
    else:
        with kestrelite.Session(browser=batch["executable"]) as session:
            for job in batch["jobs"]:
                begun = time.perf_counter()
                out = os.path.splitext(job["out"])[0]
                record(json.loads(session.capture(job["url"], job["device"], os.path.dirname(out),
                                                  os.path.basename(out), **batch.get("settings", {}))), begun)
    print(json.dumps({"wall_ms": (time.perf_counter() - started) * 1000, "cpu_ms": cpu_ms() - cpu_before,
                      "captures": captures}), flush=True)


if __name__ == "__main__":
    main()
