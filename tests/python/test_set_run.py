"""`kestrelite run`, `merge` and `check` end to end with the real headless
shell: a local site of two screens that read {locale} from the query, two
locales, small presets of both stores, both layouts, and sharded runs merged."""
import hashlib
import json
import struct

import pytest

from conftest import BROWSER, needs_browser
from kestrelite import devices_json
from kestrelite.cli import main

pytestmark = needs_browser

PAGE = """<!doctype html><meta name="viewport" content="width=device-width">
<body style="margin:0;font:24px sans-serif"><h1 id="t"></h1><script>
const q = new URLSearchParams(location.search);
document.getElementById('t').textContent = q.get('screen') + ' / ' + q.get('lang');
document.body.style.background = q.get('lang') === 'de-DE' ? '#fd3' : '#3af';
</script>"""
DEVICES = ["apple-watch-s3", "apple-watch-ultra-3", "play-wear-os", "play-phone-portrait", "play-feature-graphic"]
SIZES = {d["id"]: (d["output_width"], d["output_height"]) for d in json.loads(devices_json())}


def set_file(root, layout):
    (root / "site").mkdir(parents=True, exist_ok=True)
    (root / "site" / "index.html").write_text(PAGE)
    path = root / f"{layout}.toml"
    path.write_text(f'layout = "{layout}"\nout = "out-{layout}"\nlocales = ["en-US", "de-DE"]\n'
                    f'devices = {json.dumps(DEVICES)}\n'
                    '[[screen]]\nname = "home"\npage = "site/index.html?screen=home&lang={locale}"\n'
                    '[[screen]]\nname = "tides"\npage = "site/index.html?screen=tides&lang={locale}"\n')
    return path


def run(*args):
    return main(["run", *map(str, args), "--browser", BROWSER, "--jobs", "2"])


def png_size(path):
    return struct.unpack(">II", path.read_bytes()[16:24])


def images(folder):
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in folder.rglob("*.png")}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    root = tmp_path_factory.mktemp("set")
    plain, fastlane = set_file(root, "plain"), set_file(root, "fastlane")
    status = {"plain": run(plain), "fastlane": run(fastlane, "--verify")}
    lonely = root / "lonely.toml"
    lonely.write_text('devices = ["play-phone-portrait"]\n[[screen]]\nname = "home"\npage = "site/index.html"\n')
    status["lonely"] = run(lonely, "--out", root / "lonely")
    for count in (2, 3):
        parts = [root / f"shard{count}-{i}" for i in range(1, count + 1)]
        status[f"shards{count}"] = [run(plain, "--shard", f"{i}/{count}", "--out", part)
                                    for i, part in enumerate(parts, 1)]
        status[f"merge{count}"] = main(["merge", *map(str, parts), "--out", str(root / f"merged{count}")])
    return root, status


def test_plain_layout_files_report_and_sheet(runs):
    root, status = runs
    out = root / "out-plain"
    assert status["plain"] == 0
    report = json.loads((out / "report.json").read_text())
    expected = {f"{locale}/{screen}/{device}.png" for locale in ("en-US", "de-DE") for screen in ("home", "tides")
                for device in DEVICES}
    assert set(images(out)) == expected
    assert report["kind"] == "set" and report["layout"] == "plain" and report["ok"] is True
    assert report["set_digest"] == hashlib.sha256((root / "plain.toml").read_bytes()).hexdigest()
    assert [c["outcome"] for c in report["captures"]] == ["exact"] * len(expected)
    sheet = (out / "index.html").read_text()
    for capture in report["captures"]:
        assert png_size(out / capture["path"]) == SIZES[capture["device_id"]]
        assert hashlib.sha256((out / capture["path"]).read_bytes()).hexdigest() == capture["capture"]["sha256"]
        assert capture["url"].endswith(f"?screen={capture['screen']}&lang={capture['locale']}")
        assert f'src="{capture["path"]}"' in sheet
    by_key = {(c["locale"], c["screen"], c["device_id"]): c["capture"]["sha256"] for c in report["captures"]}
    assert by_key[("en-US", "home", "play-wear-os")] != by_key[("de-DE", "home", "play-wear-os")]
    assert by_key[("en-US", "home", "play-wear-os")] != by_key[("en-US", "tides", "play-wear-os")]


def test_fastlane_layout_and_verify(runs):
    root, status = runs
    out = root / "out-fastlane"
    assert status["fastlane"] == 0
    play = "fastlane/metadata/android/{}/images"
    expected = {f"fastlane/screenshots/{lang}/{n}_{screen}_{device}.png"
                for lang in ("en-US", "de-DE") for n, screen in (("01", "home"), ("02", "tides"))
                for device in ("apple-watch-s3", "apple-watch-ultra-3")}
    expected |= {f"{play.format(lang)}/{folder}/{n}_{screen}_{device}.png"
                 for lang in ("en-US", "de-DE") for n, screen in (("01", "home"), ("02", "tides"))
                 for folder, device in (("wearScreenshots", "play-wear-os"), ("phoneScreenshots", "play-phone-portrait"))}
    expected |= {f"{play.format(lang)}/featureGraphic.png" for lang in ("en-US", "de-DE")}
    assert set(images(out)) == expected
    assert png_size(out / play.format("de-DE") / "featureGraphic.png") == (1024, 500)
    report = json.loads((out / "report.json").read_text())
    assert report["verify"]["identical"] is True and len(report["verify"]["captures"]) == len(expected)
    assert report["check"] == {"errors": [], "warnings": []} and report["ok"] is True
    assert report["browser"]["executable"] == BROWSER and report["timezone"] == "UTC"
    assert main(["check", str(out)]) == 0


def test_a_broken_store_rule_makes_the_run_not_ok(runs):
    root, status = runs
    report = json.loads((root / "lonely" / "report.json").read_text())
    assert status["lonely"] == 1 and report["exact"] == 1 and report["ok"] is False
    assert report["check"]["errors"] == ["error: en-US: play-count: 1 phone screenshot; Play needs 2 to 8"]
    assert "NOT OK: 1 store-rule errors" in (root / "lonely" / "index.html").read_text()


@pytest.mark.parametrize("count", [2, 3])
def test_sharded_runs_merged_equal_one_run(runs, count):
    root, status = runs
    assert status[f"shards{count}"] == [0] * count and status[f"merge{count}"] == 0
    shards = [json.loads((root / f"shard{count}-{i}" / "report.json").read_text()) for i in range(1, count + 1)]
    assert all(len(s["captures"]) > 0 for s in shards)
    merged = json.loads((root / f"merged{count}" / "report.json").read_text())
    whole = json.loads((root / "out-plain" / "report.json").read_text())
    assert images(root / f"merged{count}") == images(root / "out-plain")
    assert [c["path"] for c in merged["captures"]] == [c["path"] for c in whole["captures"]]
    assert "missing" not in merged and merged["ok"] is True
