"""The native module's own behaviour: argument conversion, store names, preset files and failures as Python exceptions,
the report as Python sees it; and one stable-ABI module, without libpython, that every CPython 3.8+ imports."""
import glob
import json
import os
import subprocess

import numpy
import pytest

from conftest import SOURCE_DIR, VERSION, preset
from kestrelite import capture_json, devices_json

MISSING_BROWSER = "/nonexistent/kestrelite-browser"
TABLE = json.loads((SOURCE_DIR / "core" / "presets.json").read_text(encoding="utf-8"))["devices"]


def capture(tmp_path, *args, out="out", **kwargs):
    kwargs.setdefault("browser", MISSING_BROWSER)
    return json.loads(capture_json("about:blank", str(tmp_path / out), *args, **kwargs))


Index = type("Index", (), {"__index__": lambda self: 7})
BytesPath = type("BytesPath", (), {"__fspath__": lambda self: b"/tmp/kestrelite-bytes"})


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((), {}, ValueError, "specify either device_ids or store"),
    ((["apple-mac-1280", "nope"],), {}, ValueError, "unknown device id: nope"),
    ((), {"store": " web"}, ValueError, "unknown store:  web"),
    (("apple-mac-1280",), {}, TypeError, "argument 'device_ids': Can't extract `str` to `Vec`"),
    ((["apple-mac-1280", 5],), {}, TypeError, "argument 'device_ids': 'int' object cannot be converted to 'str'"),
    ((), {"store": "apple", "seed": "1"}, TypeError, "argument 'seed': 'str' object cannot be converted to 'int'"),
    ((), {"store": "apple", "seed": -1}, OverflowError, "argument 'seed': out of range for an unsigned 64-bit integer"),
    ((), {"store": "apple", "seed": 2 ** 64}, OverflowError, "argument 'seed': out of range for an unsigned 64-bit"),
    ((), {"store": "apple", "fail_fast": 1}, TypeError, "argument 'fail_fast': 'int' object cannot be converted to"),
    ((), {"store": "apple", "presets": 0}, TypeError, "argument 'presets': 'int' object cannot be"),
    ((), {"store": "apple", "browser": BytesPath()}, TypeError, "argument 'browser': 'BytesPath' object gives a bytes"),
    ((None,) * 8 + ("extra",), {}, TypeError, "capture_json() takes from 2 to 10 positional arguments but 11 were"),
    ((), {"shop": "apple"}, TypeError, "capture_json() got an unexpected keyword argument 'shop'"),
    ((), {"url": "x"}, TypeError, "capture_json() got multiple values for argument 'url'"),
    ((), {"store": "apple", "out": "a-file/out"}, RuntimeError, "io: "),
])
def test_refused_arguments_raise_before_anything_is_created(tmp_path, args, kwargs, exc, message):
    (tmp_path / "a-file").write_text("an output folder cannot be made below a file")
    with pytest.raises(exc) as info:
        capture(tmp_path, *args, **kwargs)
    assert str(info.value).startswith(message) and len(info.value.args) == 1
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("kwargs, seed, locale, results", [
    ({}, 42, "en-US", 2),
    ({"device_ids": []}, 42, "en-US", 0),  # the output folder is made all the same
    ({"seed": 2 ** 64 - 1, "locale": "de-DE", "timezone": None, "fail_fast": False}, 2 ** 64 - 1, "de-DE", 2),
    ({"seed": Index(), "fail_fast": numpy.bool_(True)}, 7, "en-US", 1),
    ({"seed": True, "locale": None, "fail_fast": numpy.bool_(False)}, 1, "en-US", 2),
])
def test_accepted_arguments_reach_the_report(tmp_path, kwargs, seed, locale, results):
    report = capture(tmp_path, kwargs.pop("device_ids", ["apple-mac-1280"] * 2), "not-a-store", **kwargs)
    assert (report["seed"], report["locale"], len(report["results"])) == (seed, locale, results)
    assert report["kestrelite"] == VERSION and report["url"] == "about:blank" and report["ok"] is False
    assert report["failed"] == results and (tmp_path / "out").is_dir()
    for result in report["results"]:
        assert result == {"device_id": "apple-mac-1280", "outcome": "failed", "elapsed_ms": result["elapsed_ms"],
                          "error": f"browser: could not spawn {MISSING_BROWSER}: No such file or directory"}


@pytest.mark.parametrize("name, store", [(None, None), ("Apple", "apple"), ("APPSTORE", "apple"), ("ios", "apple"),
                                         ("play", "play"), ("Google", "play"), ("android", "play"), ("WEB", "web")])
def test_devices_json_lists_a_store_s_presets_by_any_of_its_names(name, store):
    text = devices_json(name)
    assert [d["id"] for d in json.loads(text)] == [d["id"] for d in TABLE if store in (None, d["store"])]
    assert text == json.dumps(json.loads(text), ensure_ascii=False, separators=(",", ":"))
    assert devices_json(presets=None, store=name) == text


def test_a_preset_file_replaces_the_builtin_table(write_presets, tmp_path):
    path = write_presets({"version": 1, "devices": [preset("a", store="apple"), preset("b", store="play")]})
    assert [d["id"] for d in json.loads(devices_json(presets=path))] == ["a", "b"]
    assert devices_json("web", path) == "[]"
    with pytest.raises(ValueError) as info:
        capture(tmp_path, store="web", presets=path)
    assert info.value.args == ("no presets for store web",)
    with pytest.raises(ValueError, match="^unknown store: App Store$"):
        devices_json("App Store", path)


@pytest.mark.parametrize("content, exc, message", [
    (None, FileNotFoundError, "cannot read presets {path}: No such file or directory"),
    (b'{"version":1,"devices":[],"note":"\xff"}', FileNotFoundError,
     "cannot read presets {path}: stream did not contain"),
    ("{not json", ValueError, "invalid presets: json: "),
    ({"version": 2, "devices": []}, ValueError,
     "invalid presets: unexpected response shape: preset schema version 2 is not supported by this build"),
])
def test_preset_file_failures_raise(write_presets, tmp_path, content, exc, message):
    path = str(tmp_path / "missing.json") if content is None else write_presets(content)
    for call in (lambda: devices_json("nowhere", path), lambda: capture(tmp_path, ["x"], presets=path)):
        with pytest.raises(exc) as info:
            call()
        assert str(info.value).startswith(message.format(path=path)) and len(info.value.args) == 1


def test_one_stable_abi_module_for_every_interpreter(tmp_path):
    subprocess.run(["/usr/bin/python3", "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
                    "--no-index", "--target", str(tmp_path), str(SOURCE_DIR)], check=True)
    module = tmp_path / "kestrelite" / "_native.abi3.so"
    assert sorted((tmp_path / "kestrelite").glob("_native*")) == [module] and (tmp_path / "bin" / "kestrelite").exists()
    assert "libpython" not in subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True).stdout
    pythons = ["/usr/bin/python3"] + [p for p in glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))
                                      if int(p.split("/versions/3.")[1].split(".")[0]) >= 8]
    for python in pythons:
        done = subprocess.run([python, "-c", "import kestrelite._native as n; print(n.__file__, n.__version__, n.version())"],
                              env={**os.environ, "PYTHONPATH": str(tmp_path), "PYENV_VERSION": ""},
                              capture_output=True, text=True)
        assert done.stdout.split() == [str(module), VERSION, VERSION], (python, done.stderr)
