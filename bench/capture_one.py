"""kestrelite's side of the end-to-end benchmark: capture_json calls.

Takes one JSON argument, a list of jobs {url, out_dir, device, executable},
and makes one capture_json call per job, one after the other, in this one
process. For each it prints one JSON line: the wall time and this process's
own CPU time of the call in milliseconds (the browser, a child, is not
counted), the minor page faults during the call, the peak resident memory
of this process image in KiB (VmHWM, so that a parent's memory inherited at
start is not counted) after the call, the outcome, the PNG size and its
digest. The first call in a process also pays one-time costs (OpenSSL's
initialisation above all); later calls show the cost of a long-running host
such as the command-line tool. Only what the measurement needs is imported, so that the
memory figure is kestrelite's and the interpreter's.
"""

import json
import resource
import sys
import time

import kestrelite


def peak_rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def capture(job):
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    report = kestrelite.capture_json(job["url"], job["out_dir"], device_ids=[job["device"]],
                                     browser=job["executable"])
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    result = json.loads(report)["results"][0]
    return {
        "device": job["device"],
        "wall_ms": wall * 1000,
        "cpu_ms": (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000,
        "user_ms": (after.ru_utime - before.ru_utime) * 1000,
        "minor_faults": after.ru_minflt - before.ru_minflt,
        "peak_rss_kib": peak_rss_kib(),
        "outcome": result["outcome"],
        "error": result.get("error"),
        "bytes": result.get("capture", {}).get("bytes", 0),
        "sha256": result.get("capture", {}).get("sha256"),
    }


def main():
    baseline = peak_rss_kib()
    for job in json.loads(sys.argv[1]):
        figures = capture(job)
        figures["peak_rss_before_kib"] = baseline
        print(json.dumps(figures), flush=True)


if __name__ == "__main__":
    main()
