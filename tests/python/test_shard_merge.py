"""Shards (deterministic, disjoint, balanced by pixels) and the refusals of
merging shard folders. No browser."""
import json

import pytest

from kestrelite import devices_json
from kestrelite.errors import UsageError
from kestrelite.merge import merge_folders
from kestrelite.shard import parse_shard, partition

APPLE = json.loads(devices_json("apple"))
COST = {d["id"]: d["output_width"] * d["output_height"] for d in APPLE}
# 3 screens x 2 locales x the 33 App Store presets
JOBS = [(locale, screen, d["id"]) for locale in ("en-US", "de-DE") for screen in ("a", "b", "c") for d in APPLE]


@pytest.mark.parametrize("count", [1, 2, 3, 4, 7])
def test_parts_are_disjoint_complete_deterministic_and_balanced(count):
    parts = partition(JOBS, count, lambda job: COST[job[2]])
    assert parts == partition(list(JOBS), count, lambda job: COST[job[2]])
    assert sorted(job for part in parts for job in part) == sorted(JOBS)
    assert all(part == sorted(part, key=JOBS.index) for part in parts)
    loads = [sum(COST[job[2]] for job in part) for part in parts]
    assert max(loads) - min(loads) <= max(COST.values())


@pytest.mark.parametrize("text, expected", [("2/4", (2, 4)), (" 1/1 ", (1, 1)), ("0/3", None), ("4/3", None),
                                            ("a/b", None), ("1", None), ("1/0", None)])
def test_parse_shard(text, expected):
    if expected is None:
        with pytest.raises(UsageError):
            parse_shard(text)
    else:
        assert parse_shard(text) == expected


PLAN = [["en-US", "home", "d1"], ["en-US", "home", "d2"]]


def shard_folder(root, name, keys, digest="abc"):
    folder = root / name
    folder.mkdir(parents=True)
    captures = [{"locale": locale, "screen": screen, "device_id": device, "outcome": "exact",
                 "path": f"{locale}/{screen}/{device}.png", "capture": {"sha256": "00"}} for locale, screen, device in keys]
    (folder / "report.json").write_text(json.dumps({"kind": "set", "set_digest": digest, "captures": captures,
                                                     "plan": PLAN}))
    return folder


@pytest.mark.parametrize("second, digest, message", [
    ([PLAN[1]], "other", "different set file"),
    ([PLAN[0]], "abc", "en-US/home/d1 is in both"),
])
def test_merge_refuses(tmp_path, second, digest, message):
    one = shard_folder(tmp_path, "one", [PLAN[0]])
    two = shard_folder(tmp_path, "two", second, digest)
    with pytest.raises(UsageError, match=message):
        merge_folders([one, two], tmp_path / "all")
    with pytest.raises(UsageError, match="one of the folders"):
        merge_folders([one], one)
    with pytest.raises(UsageError, match="nothing is not a folder"):
        merge_folders([tmp_path / "nothing"], tmp_path / "all")
    assert not (tmp_path / "all").exists()
