"""Shards (deterministic, disjoint, balanced by pixels), merging shard
folders (refusals, missing captures, order) and reusing a run folder. No
browser."""
import json

import pytest

from kestrelite import devices_json
from kestrelite import outdir
from kestrelite.cli.run import remove_stale
from kestrelite.errors import UsageError
from kestrelite.merge import merge_folders
from kestrelite.report import write_report
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


PLAN = [["en-US", "home", "d1"], ["en-US", "home", "d2"], ["de-DE", "home", "d1"], ["de-DE", "home", "d2"]]


def shard_folder(root, name, keys, digest="abc"):
    folder = root / name
    captures = []
    for locale, screen, device in keys:
        path = f"{locale}/{screen}/{device}.png"
        (folder / path).parent.mkdir(parents=True, exist_ok=True)
        (folder / path).write_bytes(f"{name} {path}".encode())
        captures.append({"locale": locale, "screen": screen, "device_id": device, "url": "about:blank",
                         "outcome": "exact", "elapsed_ms": 5, "path": path, "capture": {"sha256": "00"}})
    folder.mkdir(parents=True, exist_ok=True)
    write_report({"kestrelite": "0.1.14", "kind": "set", "set_file": "k.toml", "set_digest": digest,
                  "layout": "plain", "exact": len(captures), "off_size": 0, "failed": 0, "elapsed_ms": 100,
                  "ok": True, "captures": captures, "plan": PLAN, "devices": {}, "shard": {"index": 1, "count": 2}},
                 folder / "report.json")
    return folder


def test_merge_joins_in_plan_order_and_lists_what_no_shard_made(tmp_path):
    one = shard_folder(tmp_path, "one", [PLAN[3], PLAN[0]])
    two = shard_folder(tmp_path, "two", [PLAN[1]])
    merged = merge_folders([one, two], tmp_path / "all")
    assert [[c["locale"], c["screen"], c["device_id"]] for c in merged["captures"]] == [PLAN[0], PLAN[1], PLAN[3]]
    assert merged["missing"] == ["de-DE/home/d1"] and merged["ok"] is False and "shard" not in merged
    assert (tmp_path / "all" / "de-DE/home/d2.png").read_bytes() == b"one de-DE/home/d2.png"
    assert (tmp_path / "all" / "en-US/home/d2.png").read_bytes() == b"two en-US/home/d2.png"


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


def test_a_new_run_removes_only_what_the_last_set_run_wrote(tmp_path):
    folder = tmp_path / "one"
    outdir.prepare(folder, [f"{locale}/{screen}/{device}.png" for locale, screen, device in PLAN[:2]])
    shard_folder(tmp_path, "one", PLAN[:2])
    (folder / "en-US" / "home" / "mine.png").write_bytes(b"the user's")
    remove_stale(folder)
    assert sorted(p.name for p in (folder / "en-US" / "home").iterdir()) == ["mine.png"]
