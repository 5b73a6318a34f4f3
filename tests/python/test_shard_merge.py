"""Shards (deterministic, disjoint, balanced by pixels) and the refusals of merging shard folders. No browser."""
import json

import pytest

from kestrelite import devices_json
from kestrelite.errors import UsageError
from kestrelite.merge import merge_folders
from kestrelite.shard import parse_shard, partition

APPLE = json.loads(devices_json("apple"))
COST = {d["id"]: d["output_width"] * d["output_height"] for d in APPLE}
JOBS = [(locale, screen, d["id"]) for locale in ("en-US", "de-DE") for screen in ("a", "b", "c") for d in APPLE]
PLAN = [["en-US", "home", "d1"], ["en-US", "home", "d2"]]


@pytest.mark.parametrize("count", [1, 2, 3, 4, 7])
def test_parts_are_disjoint_complete_deterministic_and_balanced(count):
    parts = partition(JOBS, count, lambda job: COST[job[2]])
    assert parts == partition(list(JOBS), count, lambda job: COST[job[2]])
    assert sorted(job for part in parts for job in part) == sorted(JOBS)
    assert all(part == sorted(part, key=JOBS.index) for part in parts)
    loads = [sum(COST[job[2]] for job in part) for part in parts]
    assert max(loads) - min(loads) <= max(COST.values())


def test_parse_shard_takes_i_of_n_with_i_from_1_to_n():
    assert (parse_shard("2/4"), parse_shard(" 1/1 ")) == ((2, 4), (1, 1))
    for text in ("0/3", "4/3", "a/b", "1", "1/0"):
        with pytest.raises(UsageError, match="--shard"):
            parse_shard(text)


@pytest.mark.parametrize("folders, out, message", [
    ({"one": (PLAN[0], "abc"), "two": (PLAN[1], "other")}, "all", "different set file"),
    ({"one": (PLAN[0], "abc"), "two": (PLAN[0], "abc")}, "all", "en-US/home/d1 is in both"),
    ({"one": (PLAN[0], "abc")}, "one", "one of the folders"), ({"nothing": None}, "all", "nothing is not a folder"),
])
def test_merge_refuses_and_writes_nothing(tmp_path, folders, out, message):
    for name, ((locale, screen, device), digest) in ((n, f) for n, f in folders.items() if f):
        (tmp_path / name).mkdir()
        capture = {"locale": locale, "screen": screen, "device_id": device, "outcome": "exact",
                   "path": f"{locale}/{screen}/{device}.png", "capture": {"sha256": "00"}}
        (tmp_path / name / "report.json").write_text(json.dumps({"kind": "set", "set_digest": digest,
                                                                 "captures": [capture], "plan": PLAN}))
    before = sorted(tmp_path.rglob("*"))
    with pytest.raises(UsageError, match=message):
        merge_folders([tmp_path / name for name in folders], tmp_path / out)
    assert sorted(tmp_path.rglob("*")) == before
