"""Sharding a set over several machines: `--shard I/N` runs part I of N.

Every shard computes the same partition from the set alone, so the parts are
disjoint and together the whole set. They are balanced by the expected cost
of a capture, its pixel count (encoding the PNG dominates a capture's time),
not by the number of captures: the largest captures are dealt first, each to
the part with the least cost so far (ties to the lower part).
"""

import re

from .errors import UsageError

SHARD_FORM = re.compile(r"([0-9]+)/([0-9]+)\Z")


def parse_shard(text):
    """"I/N" -> (I, N), 1 <= I <= N."""
    match = SHARD_FORM.match(text.strip())
    if not match:
        raise UsageError(f"--shard takes I/N, e.g. 2/4, not {text!r}")
    index, count = int(match.group(1)), int(match.group(2))
    if not 1 <= index <= count:
        raise UsageError(f"--shard {text}: I must be between 1 and N")
    return index, count


def partition(jobs, count, cost):
    """The jobs dealt into `count` parts, each part in the order of `jobs`."""
    order = sorted(range(len(jobs)), key=lambda i: (-cost(jobs[i]), i))
    loads = [0] * count
    owner = [0] * len(jobs)
    for i in order:
        part = min(range(count), key=lambda p: (loads[p], p))
        loads[part] += cost(jobs[i])
        owner[i] = part
    return [[job for i, job in enumerate(jobs) if owner[i] == part] for part in range(count)]


def shard(jobs, index, count, cost):
    """Part `index` (1-based) of `count`."""
    return partition(jobs, count, cost)[index - 1]
